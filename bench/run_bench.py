#!/usr/bin/env python3
"""Times docseal against peer tools side by side and prints each target's ratio.

    run_bench.py DOCSEAL_BINARY [--runs N] [--dir DIR] [--sizes 200,20]

Documents are generated (gen_xml.py) into DIR, a tmpfs folder by default, so
the page cache is warm and outputs land in memory. Each command runs N times
(default 3; ten times as often for the 4 KB document, whose times are mostly
process start-up), the commands taking turns round by round; the median wall
time and the median peak resident size of the process are used. Peers that are
not installed are skipped.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
IV = "0" * 32
PASS = "bench passphrase"
XMLSEC_TEMPLATE = """<?xml version="1.0"?>
<EncryptedData xmlns="http://www.w3.org/2001/04/xmlenc#" MimeType="binary/octet-stream">
  <EncryptionMethod Algorithm="http://www.w3.org/2001/04/xmlenc#aes256-cbc"/>
  <KeyInfo xmlns="http://www.w3.org/2000/09/xmldsig#"><KeyName/></KeyInfo>
  <CipherData><CipherValue/></CipherData>
</EncryptedData>
"""


def timed(cmd, cwd):
    """Runs cmd; returns (wall seconds, peak resident KiB of that process)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError("failed: %s\n%s" % (" ".join(cmd), err))
    return elapsed, usage.ru_maxrss


def medians_interleaved(runs, commands, cwd):
    """Runs each command once per round, in turn, for the given number of
    rounds, so that a busy spell of the machine falls on all of them alike.
    commands maps a name to (argv, hook run before each run or None); returns
    name -> (median wall seconds, median peak KiB)."""
    times = {name: [] for name in commands}
    mems = {name: [] for name in commands}
    for _ in range(runs):
        for name, (cmd, before) in commands.items():
            if before:
                before()
            t, m = timed(cmd, cwd)
            times[name].append(t)
            mems[name].append(m)
    return {name: (statistics.median(times[name]), statistics.median(mems[name])) for name in commands}


def have(tool):
    return shutil.which(tool) is not None


def remove(*paths):
    for p in paths:
        if os.path.exists(p):
            os.remove(p)


def measure(docseal, folder, name, runs):
    """Median times and memory of docseal and the peers on one document."""
    doc = os.path.join(folder, name)
    enc = doc + ".enc"
    plain_copy = os.path.join(folder, "restored-" + name)
    # Decrypt from a copy of the container so the original document stays.
    work = os.path.join(folder, "work-" + name)
    subprocess.run([docseal, doc, "/encrypt", PASS], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    shutil.copyfile(enc, work + ".enc")
    commands = {
        "docseal_enc": ([docseal, doc, "/encrypt", PASS], lambda: remove(enc)),
        "docseal_dec": ([docseal, work + ".enc", "/decrypt", PASS], lambda: remove(work)),
    }
    if have("openssl"):
        commands["openssl_enc"] = (["openssl", "enc", "-aes-256-cbc", "-K", KEY, "-iv", IV,
                                    "-in", doc, "-out", doc + ".ossl"], None)
        commands["openssl_dec"] = (["openssl", "enc", "-d", "-aes-256-cbc", "-K", KEY, "-iv", IV,
                                    "-in", doc + ".ossl", "-out", plain_copy], None)
        # The deciphering peer needs its own container before the first round.
        subprocess.run(commands["openssl_enc"][0], cwd=folder, check=True)
    if have("xmllint"):
        commands["xmllint_stream"] = (["xmllint", "--stream", "--noout", doc], None)
    if have("xmlsec1"):
        tmpl = os.path.join(folder, "template.xml")
        keyfile = os.path.join(folder, "aes.key")
        with open(tmpl, "w") as f:
            f.write(XMLSEC_TEMPLATE)
        with open(keyfile, "wb") as f:
            f.write(bytes.fromhex(KEY))
        commands["xmlsec_enc"] = (["xmlsec1", "encrypt", "--aeskey", keyfile, "--binary-data", doc,
                                   "--output", doc + ".xmlsec", tmpl], None)
    r = medians_interleaved(runs, commands, folder)
    remove(doc + ".ossl", plain_copy, doc + ".xmlsec", work, work + ".enc")
    return r


def line(label, value, limit, unit=""):
    verdict = "ok" if value <= limit else "MISSED"
    print("  %-58s %7.3f%s  (target <= %s)  %s" % (label, value, unit, limit, verdict))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("docseal")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    ap.add_argument("--sizes", default="200,20")
    args = ap.parse_args()
    docseal = os.path.abspath(args.docseal)
    big_mb, small_mb = (float(x) for x in args.sizes.split(","))

    folder = tempfile.mkdtemp(prefix="docseal-bench-", dir=args.dir)
    try:
        docs = {"big": ("big.xml", big_mb), "mid": ("mid.xml", small_mb), "tiny": ("tiny.xml", 0.004)}
        for name, mb in docs.values():
            subprocess.run([sys.executable, os.path.join(HERE, "gen_xml.py"), str(mb),
                            os.path.join(folder, name)], check=True)
        results = {}
        for key, (name, _) in docs.items():
            print("measuring %s (%d bytes)..." % (name, os.path.getsize(os.path.join(folder, name))),
                  file=sys.stderr)
            results[key] = measure(docseal, folder, name, args.runs * (10 if key == "tiny" else 1))
        sizes = {k: os.path.getsize(os.path.join(folder, n)) for k, (n, _) in docs.items()}

        print("\nmedian of %d runs (%d for the 4 KB document); times in seconds, memory in MiB"
              % (args.runs, args.runs * 10))
        for key in ("big", "mid", "tiny"):
            print("%s (%.1f MB):" % (docs[key][0], sizes[key] / 1e6))
            for cmd, (t, m) in sorted(results[key].items()):
                print("  %-16s %8.4f s %9.1f MiB" % (cmd, t, m / 1024))

        big, mid, tiny = results["big"], results["mid"], results["tiny"]
        print("\ntargets:")
        if "xmllint_stream" in big and "openssl_enc" in big:
            line("1. encrypt / (xmllint --stream + openssl enc)", big["docseal_enc"][0] /
                 (big["xmllint_stream"][0] + big["openssl_enc"][0]), 1.0)
        if "xmlsec_enc" in big:
            line("1. encrypt / xmlsec1 encrypt", big["docseal_enc"][0] / big["xmlsec_enc"][0], 0.5)
        if "xmllint_stream" in big and "openssl_dec" in big:
            line("2. decrypt / (openssl enc -d + xmllint --stream)", big["docseal_dec"][0] /
                 (big["openssl_dec"][0] + big["xmllint_stream"][0]), 1.0)
        for op in ("enc", "dec"):
            line("3. %s peak memory / document size" % op,
                 big["docseal_" + op][1] * 1024 / sizes["big"], 2.2)
        for op in ("enc", "dec"):
            per_big = big["docseal_" + op][0] / sizes["big"]
            per_mid = mid["docseal_" + op][0] / sizes["mid"]
            line("4. %s time per MB, big / mid" % op, per_big / per_mid, 1.15)
            mem_big = big["docseal_" + op][1] / sizes["big"]
            mem_mid = mid["docseal_" + op][1] / sizes["mid"]
            line("4. %s memory per MB, big / mid" % op, mem_big / mem_mid, 1.15)
        if "openssl_enc" in tiny:
            line("5. 4 KB encrypt / openssl enc", tiny["docseal_enc"][0] / max(tiny["openssl_enc"][0], 0.001), 3.0)
            line("5. 4 KB decrypt / openssl enc -d", tiny["docseal_dec"][0] / max(tiny["openssl_dec"][0], 0.001),
                 3.0)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
