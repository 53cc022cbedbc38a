#!/usr/bin/env python3
"""Times docseal against peer tools and prints each speed and memory target.

    run_bench.py DOCSEAL_BINARY [--runs N] [--dir DIR] [--large] [--before DOCSEAL_BINARY]

Documents of 4 KB, 20 MB, 100 MB and 200 MB (and 1 GB with --large or
BENCH_LARGE=1, for memory only), 200 MB of plain text and of a base64 payload
in one element, and three documents of one 8 MiB attribute value, comment or
CDATA section (for memory), are generated (gen_xml.py) into DIR, a tmpfs
folder by default, so the page cache is warm and outputs land in memory.

Each command runs N times (default 3; ten times as often for the 4 KB
document, whose times are mostly process start-up), the commands taking turns
round by round so that a busy spell of the machine falls on all of them alike;
the median wall time and the median peak resident size of docseal's own
process (from wait4) are used. The machine's load average is sampled every
round and printed with each figure. Peers that are not installed are skipped.

The peers of sealing are `xmllint --stream --noout DOC` and `openssl enc`
started together (both cores busy, as docseal's are; the time is until both
finished); the peer of opening is the pipeline `openssl enc -d | tee OUT |
xmllint --stream --noout -`. The older sequential sums are kept for history.
bench_check (built beside docseal with -DDOCSEAL_BENCH=ON) runs docseal's XML
check alone over the same bytes: the floor with this parser; `bench_check
--full` runs it on the parser's full scanner only, as before the light one,
and `bench_check --unwiped` releases the parser's memory without its wipe,
for what the wiping costs. With --before (or BENCH_BEFORE=BINARY), another
docseal, say one built from an older commit, seals and opens in the same
rounds, for before-and-after ratios.
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
MEMORY_LIMIT_MIB = 32
TOKEN_MEMORY_LIMIT_MIB = 128  # a document with a piece of markup of 1 MiB or more
TOKEN_KINDS = ("attribute", "comment", "cdata")


def openssl(*args):
    return ["openssl", "enc", *args, "-aes-256-cbc", "-K", KEY, "-iv", IV]


def timed(stages, cwd, pipe=False, launcher=None, peak_of=None):
    """Starts the commands together (as a pipeline when pipe is set, each
    reading the previous one's output) and waits for all of them. Returns
    (wall seconds until the last finished, peak resident KiB of the first, or
    of stage peak_of, or None for several). A single command runs under the
    launcher when there is one, which times it and reports its own peak."""
    if launcher and len(stages) == 1:
        proc = subprocess.run([launcher, *stages[0]], cwd=cwd, stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0:
            raise RuntimeError("failed: %s\n%s" % (" ".join(stages[0]), proc.stderr))
        seconds, kib = proc.stderr.split()[-2:]
        return float(seconds), int(kib)
    start = time.perf_counter()
    procs = []
    for argv in stages:
        stdin = procs[-1].stdout if pipe and procs else subprocess.DEVNULL
        stdout = subprocess.PIPE if pipe and argv is not stages[-1] else subprocess.DEVNULL
        procs.append(subprocess.Popen(argv, cwd=cwd, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL))
        if pipe and len(procs) > 1:
            procs[-2].stdout.close()  # the reader holds the pipe now
    peaks = []
    for proc in procs:
        _, status, usage = os.wait4(proc.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError("failed: %s" % " ".join(proc.args))
        peaks.append(usage.ru_maxrss)
    if peak_of is not None:
        return time.perf_counter() - start, peaks[peak_of]
    return time.perf_counter() - start, peaks[0] if len(peaks) == 1 else None


def load():
    return os.getloadavg()[0]


def remove(*paths):
    for p in paths:
        if os.path.exists(p):
            os.remove(p)


def measure(docseal, helpers, folder, name, runs, peers, before=None):
    """Median times and memory of docseal (and, with peers, of the peer
    tools and the check alone) on one document: ({name: (seconds, KiB)},
    the mean load average over the rounds)."""
    doc = os.path.join(folder, name)
    enc, ossl, restored = doc + ".enc", doc + ".ossl", os.path.join(folder, "restored-" + name)
    work = os.path.join(folder, "work-" + name)  # opened from a link to the container
    subprocess.run([docseal, doc, "/encrypt", PASS], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    os.link(enc, work + ".enc")
    commands = {  # name -> (stages, pipe, hook run before each run)
        "docseal seal": ([[docseal, doc, "/encrypt", PASS]], False, lambda: remove(enc)),
        "docseal open": ([[docseal, work + ".enc", "/decrypt", PASS]], False, lambda: remove(work)),
        # From a pipe to a pipe: the document or container has no size up
        # front, and nothing reaches the reader before the verdict.
        "docseal seal pipe": ([["cat", doc], [docseal, "-", "/encrypt", PASS], ["cat"]], True, None),
        "docseal open pipe": ([["cat", work + ".enc"], [docseal, "-", "/decrypt", PASS], ["cat"]], True, None),
    }
    peak_of = {"docseal seal pipe": 1, "docseal open pipe": 1}  # docseal's own peak
    if before:
        commands["before: docseal seal"] = ([[before, doc, "/encrypt", PASS]], False, lambda: remove(enc))
        commands["before: docseal open"] = ([[before, work + ".enc", "/decrypt", PASS]], False, lambda: remove(work))
    if helpers["check"] and peers in ("some", "all", "check"):
        commands["check alone"] = ([[helpers["check"], doc]], False, None)
        commands["check alone, full scanner"] = ([[helpers["check"], "--full", doc]], False, None)
        # The parser's blocks released without their wipe: what the wiping costs.
        commands["check alone, unwiped"] = ([[helpers["check"], "--unwiped", doc]], False, None)
    have = {tool: shutil.which(tool) is not None for tool in ("openssl", "xmllint", "xmlsec1", "tee")}
    if peers and have["openssl"]:
        subprocess.run(openssl("-in", doc, "-out", ossl), check=True)
        commands["openssl enc"] = ([openssl("-in", doc, "-out", ossl)], False, None)
        commands["openssl enc -d"] = ([openssl("-d", "-in", ossl, "-out", restored)], False, None)
    if peers in ("some", "all") and have["xmllint"]:
        commands["xmllint --stream"] = ([["xmllint", "--stream", "--noout", doc]], False, None)
        if have["openssl"]:
            commands["xmllint & openssl enc"] = (
                [["xmllint", "--stream", "--noout", doc], openssl("-in", doc, "-out", ossl)], False, None)
            if have["tee"]:
                commands["openssl -d | tee | xmllint"] = (
                    [openssl("-d", "-in", ossl), ["tee", restored], ["xmllint", "--stream", "--noout", "-"]],
                    True, None)
    if peers == "all" and have["xmlsec1"]:
        tmpl, keyfile = os.path.join(folder, "template.xml"), os.path.join(folder, "aes.key")
        with open(tmpl, "w") as f:
            f.write(XMLSEC_TEMPLATE)
        with open(keyfile, "wb") as f:
            f.write(bytes.fromhex(KEY))
        commands["xmlsec1 encrypt"] = ([["xmlsec1", "encrypt", "--aeskey", keyfile, "--binary-data", doc,
                                         "--output", doc + ".xmlsec", tmpl]], False, None)
    samples = {name: [] for name in commands}
    loads = []
    for _ in range(runs):
        loads.append(load())
        for cmd, (stages, pipe, before) in commands.items():
            if before:
                before()
            samples[cmd].append(timed(stages, folder, pipe, helpers["run"], peak_of.get(cmd)))
    remove(enc, ossl, restored, doc + ".xmlsec", work, work + ".enc")
    result = {cmd: (statistics.median(t for t, _ in s), s[0][1] and statistics.median(m for _, m in s))
              for cmd, s in samples.items()}
    return result, statistics.mean(loads + [load()])


def line(label, value, limit, load_avg, unit=""):
    verdict = "no target" if limit is None else ("ok" if value <= limit else "MISSED")
    shown = "" if limit is None else "(target <= %s%s)" % (limit, unit)
    print("  %-62s %8.3f%-4s %-18s %-9s load %.1f" % (label, value, unit, shown, verdict, load_avg))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("docseal")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    ap.add_argument("--large", action="store_true", default=os.environ.get("BENCH_LARGE", "") not in ("", "0"),
                    help="also a 1 GB document (memory only); BENCH_LARGE=1 does the same")
    ap.add_argument("--before", default=os.environ.get("BENCH_BEFORE") or None,
                    help="another docseal to time in the same rounds; BENCH_BEFORE=BINARY does the same")
    args = ap.parse_args()
    before = os.path.abspath(args.before) if args.before else None
    sys.stdout.reconfigure(line_buffering=True)  # in order with the progress on stderr
    docseal = os.path.abspath(args.docseal)
    # Built beside docseal with -DDOCSEAL_BENCH=ON.
    helpers = {name: os.path.join(os.path.dirname(docseal), "bench_" + name) for name in ("check", "run")}
    for name, path in helpers.items():
        if not os.access(path, os.X_OK):
            print("no %s (configure with -DDOCSEAL_BENCH=ON): %s" % (path, {
                "check": "the floor is not measured",
                "run": "peak memory includes this script's, which each child starts from"}[name]), file=sys.stderr)
            helpers[name] = None

    # key -> (file, size in MB, runs, peers: None, "openssl", "check", "some" or "all", kind of document)
    docs = {"4 KB": ("tiny.xml", 0.004, args.runs * 10, "openssl", "records"),
            "20 MB": ("mid.xml", 20, args.runs, None, "records"),
            "100 MB": ("hundred.xml", 100, args.runs, "some", "records"),
            "200 MB": ("big.xml", 200, args.runs, "all", "records"),
            "200 MB text": ("text.xml", 200, args.runs, "check", "text"),
            "200 MB base64": ("base64.xml", 200, args.runs, "check", "base64")}
    for kind in TOKEN_KINDS:  # one piece of markup of 8 MiB, which the parser holds whole
        docs["8 MiB " + kind] = (kind + ".xml", 8 * 1.048576, args.runs, None, kind)
    if args.large:
        docs["1 GB"] = ("huge.xml", 1000, 1, None, "records")
    folder = tempfile.mkdtemp(prefix="docseal-bench-", dir=args.dir)
    results, sizes, loads = {}, {}, {}
    try:
        for key, (name, mb, runs, peers, kind) in docs.items():
            path = os.path.join(folder, name)
            subprocess.run([sys.executable, os.path.join(HERE, "gen_xml.py"), str(mb), path, kind], check=True)
            sizes[key] = os.path.getsize(path)
            print("measuring %s (%d bytes, %d runs, load %.1f)..." % (name, sizes[key], runs, load()),
                  file=sys.stderr)
            results[key], loads[key] = measure(docseal, helpers, folder, name, runs, peers, before)
            os.remove(path)  # room for the next one
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print("\nmedian of %d runs (%d for 4 KB, 1 for 1 GB); seconds, and the peak memory of the first process"
          % (args.runs, args.runs * 10))
    for key, r in results.items():
        print("%s (%d bytes), load %.1f:" % (key, sizes[key], loads[key]))
        for cmd, (t, m) in r.items():
            print("  %-28s %9.4f s %s" % (cmd, t, "%8.1f MiB" % (m / 1024) if m else ""))

    def ratio(key, num, den):
        r = results[key]
        return r[num][0] / max(r[den][0], 1e-6) if num in r and den in r else None

    def show(label, value, limit, key, unit=""):
        if value is not None:
            line(label, value, limit, loads[key], unit)

    print("\ntargets:")
    for key in results:
        for op in ("seal", "open"):
            for how in ("", " pipe"):
                show("peak memory, %sing %s%s" % (op, key, how and ", pipe to pipe"),
                     results[key]["docseal " + op + how][1] / 1024,
                     TOKEN_MEMORY_LIMIT_MIB if key.startswith("8 MiB") else MEMORY_LIMIT_MIB, key, " MiB")
    show("sealing 200 MB pipe to pipe / sealing the file beside itself",
         ratio("200 MB", "docseal seal pipe", "docseal seal"), 1.15, "200 MB")
    show("opening 200 MB pipe to pipe / opening the file beside itself",
         ratio("200 MB", "docseal open pipe", "docseal open"), None, "200 MB")
    for key in ("100 MB", "200 MB"):
        show("sealing %s / (xmllint --stream & openssl enc, side by side)" % key,
             ratio(key, "docseal seal", "xmllint & openssl enc"), 0.85, key)
        show("opening %s / (openssl enc -d | tee | xmllint --stream -)" % key,
             ratio(key, "docseal open", "openssl -d | tee | xmllint"), 0.75, key)
        show("check alone %s / check alone on the full scanner" % key,
             ratio(key, "check alone", "check alone, full scanner"), 0.85, key)
    for op in ("seal", "open"):
        per_big = results["200 MB"]["docseal " + op][0] / sizes["200 MB"]
        per_mid = results["20 MB"]["docseal " + op][0] / sizes["20 MB"]
        show("%sing time per MB, 200 MB / 20 MB" % op, per_big / per_mid, 1.15, "200 MB")
    for kind in ("text", "base64"):
        key = "200 MB " + kind
        for cmd in ("docseal seal", "check alone"):
            if key in results and cmd in results[key] and cmd in results["200 MB"]:
                show("%s time per MB, 200 MB of %s / the generated 200 MB" % (cmd, kind),
                     (results[key][cmd][0] / sizes[key]) / (results["200 MB"][cmd][0] / sizes["200 MB"]), 1.0, key)
    show("sealing 4 KB / openssl enc", ratio("4 KB", "docseal seal", "openssl enc"), 1.5, "4 KB")

    print("\nhistory (the sequential peers):")
    big = results["200 MB"]
    if "xmllint --stream" in big and "openssl enc" in big:
        show("sealing 200 MB / (xmllint --stream + openssl enc)",
             big["docseal seal"][0] / (big["xmllint --stream"][0] + big["openssl enc"][0]), 1.0, "200 MB")
        show("opening 200 MB / (openssl enc -d + xmllint --stream)",
             big["docseal open"][0] / (big["openssl enc -d"][0] + big["xmllint --stream"][0]), 1.0, "200 MB")
    show("sealing 200 MB / xmlsec1 encrypt", ratio("200 MB", "docseal seal", "xmlsec1 encrypt"), 0.5, "200 MB")
    show("opening 4 KB / openssl enc -d", ratio("4 KB", "docseal open", "openssl enc -d"), 3.0, "4 KB")

    print("\nthe parser's memory wiped as it is released (the check alone, same runs):")
    for key in ("100 MB", "200 MB"):
        show("check alone %s, wiping / not wiping" % key, ratio(key, "check alone", "check alone, unwiped"), 1.05, key)

    if before:
        print("\nbefore and after (%s, in the same rounds):" % before)
        for key in results:
            for op in ("seal", "open"):
                show("%sing %s, now / before" % (op, key), ratio(key, "docseal " + op, "before: docseal " + op),
                     None, key)

    print("\nfloor (docseal's XML check alone over the same bytes):")
    for key in ("100 MB", "200 MB"):
        for op in ("seal", "open"):
            show("%sing %s / check alone" % (op, key), ratio(key, "docseal " + op, "check alone"), None, key)


if __name__ == "__main__":
    main()
