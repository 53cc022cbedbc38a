#!/usr/bin/env python3
"""Writes a well-formed XML document of about the given size in megabytes.

Records with attributes, text with entity references and CDATA, so that the
parser meets the usual mix; or one element of plain text ("xxxx...") or of a
base64 payload, the documents where the markup is sparse; or one element
holding a single attribute value, comment or CDATA section of the size, which
the parser holds whole:

    gen_xml.py SIZE_MB OUT [records|text|base64|attribute|comment|cdata]
"""
import base64
import random
import sys


def main():
    size = int(float(sys.argv[1]) * 1000 * 1000)
    out = sys.argv[2]
    rnd = random.Random(20261206)
    kind = sys.argv[3] if len(sys.argv) > 3 else "records"
    if kind in ("text", "base64"):
        with open(out, "w", encoding="ascii") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<payload>')
            block = "x" * 76 + "\n" if kind == "text" else "\n".join(
                base64.b64encode(rnd.randbytes(57 * 1024)).decode()[i:i + 76] for i in range(0, 76 * 1024, 76)) + "\n"
            for _ in range(max(1, size // len(block))):
                f.write(block)
            f.write("</payload>\n")
        return
    if kind in ("attribute", "comment", "cdata"):
        with open(out, "w", encoding="ascii") as f:
            f.write({"attribute": '<d a="%s"/>', "comment": "<d><!--%s--></d>",
                     "cdata": "<d><![CDATA[%s]]></d>"}[kind] % ("x" * size))
        return
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa",
             "lambda", "mu", "nu", "xi", "omicron", "pi", "rho", "sigma", "tau", "upsilon"]
    with open(out, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<ledger generated="bench">\n')
        written = 60
        n = 0
        while written < size - 40:
            n += 1
            text = " ".join(rnd.choice(words) for _ in range(12))
            rec = (f'  <entry id="{n}" amount="{rnd.randint(1, 10**6) / 100:.2f}" currency="EUR">'
                   f'<memo>{text} &amp; {rnd.choice(words)} &lt;{n}&gt;</memo>'
                   f'<note><![CDATA[{rnd.choice(words)} <raw> {n}]]></note></entry>\n')
            f.write(rec)
            written += len(rec)
        f.write("</ledger>\n")


if __name__ == "__main__":
    main()
