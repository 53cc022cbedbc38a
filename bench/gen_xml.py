#!/usr/bin/env python3
"""Writes a well-formed XML document of about the given size in megabytes.

Records with attributes, text with entity references and CDATA, so that the
parser meets the usual mix: gen_xml.py SIZE_MB OUT

With a third argument, attribute, comment or cdata, the document is one
element holding a single piece of markup of that kind and size instead.
"""
import random
import sys


def main():
    size = int(float(sys.argv[1]) * 1000 * 1000)
    out = sys.argv[2]
    rnd = random.Random(20261206)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa",
             "lambda", "mu", "nu", "xi", "omicron", "pi", "rho", "sigma", "tau", "upsilon"]
    if len(sys.argv) > 3:
        body = "x" * size
        with open(out, "w", encoding="utf-8") as f:
            f.write({"attribute": '<d a="%s"/>', "comment": "<d><!--%s--></d>",
                     "cdata": "<d><![CDATA[%s]]></d>"}[sys.argv[3]] % body)
        return
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
