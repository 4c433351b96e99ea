#!/usr/bin/env python3
"""Archive figures for remedy scan (run by hand, never by CI).

1. The unpacking overhead: the corpus scanned as it is, then the same files packed into
   archives (one zip, one tar.gz, one tar.zst and one 7z per corpus folder, made by zip, tar
   and 7z), each with -j 1. Prints wall and CPU seconds (best of --runs), MB/s of the files'
   own bytes and the ratio archives / unpacked.
2. Peak memory for the bombs, each built streaming (the zeros never exist whole): a zip with a
   1 GiB member of zeros (a ratio bomb; again without the ratio limit), a gzip of 1 GiB of
   zeros (its size unknown until unpacked), a zip with 100,000 members and 12 nested tars.
   Prints each run's seconds, rss_peak and the limit it ended at.

   bench/archive_bench.py [--corpus build/corpus] [--remedy build/bench/bin/remedy] [--runs 3]
"""
import argparse
import gzip
import json
import os
import resource
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_scan(remedy, args):
    """One scan: wall seconds, child CPU seconds, the summary object and the result lines."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    # Started in the background of a small shell: a child forked straight from this Python
    # process would inherit its peak resident memory, and rss_peak would report that instead.
    done = subprocess.run(["sh", "-c", '"$@" & wait $!', "sh", remedy, "scan", "--json", "-j", "1",
                           "--no-default-rules"] + args, capture_output=True, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in (0, 1):
        sys.exit("remedy failed: " + done.stderr)
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, lines[-1]["summary"], lines[:-1]


def best(runs, remedy, args):
    results = [run_scan(remedy, args) for _ in range(runs)]
    return min(results, key=lambda r: r[0])


def pack_corpus(corpus, out):
    """One archive of each kind per corpus folder; returns the bytes of the files packed."""
    total = 0
    for folder in sorted(os.listdir(corpus)):
        source = os.path.join(corpus, folder)
        if not os.path.isdir(source):
            continue
        for dirpath, _, files in os.walk(source):
            total += sum(os.path.getsize(os.path.join(dirpath, f)) for f in files
                         if os.path.isfile(os.path.join(dirpath, f)))
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
        subprocess.run(["zip", "-qr", os.path.join(out, folder + ".zip"), folder], cwd=corpus, **quiet)
        subprocess.run(["tar", "-czf", os.path.join(out, folder + ".tar.gz"), folder], cwd=corpus, **quiet)
        subprocess.run(["tar", "--zstd", "-cf", os.path.join(out, folder + ".tar.zst"), folder], cwd=corpus, **quiet)
        subprocess.run(["7z", "a", "-bd", os.path.join(out, folder + ".7z"), folder], cwd=corpus, **quiet)
    return total


def zeros_zip(path, size):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("zeros.bin", "w", force_zip64=True) as member:
            block = bytes(1 << 20)
            for _ in range(size >> 20):
                member.write(block)


def zeros_gz(path, size):
    """A single compressed file: its size is known only once it is unpacked."""
    with gzip.open(path, "wb", compresslevel=1) as out:
        block = bytes(1 << 20)
        for _ in range(size >> 20):
            out.write(block)


def many_members(path, count):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        for n in range(count):
            archive.writestr("m%d.txt" % n, b"x")


def nested_tars(path, levels, work):
    inner = os.path.join(work, "level0.txt")
    with open(inner, "wb") as f:
        f.write(b"innermost")
    for level in range(1, levels + 1):
        outer = os.path.join(work, "level%d.tar" % level)
        with tarfile.open(outer, "w") as archive:
            archive.add(inner, arcname=os.path.basename(inner))
        inner = outer
    shutil.move(inner, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=os.path.join(root, "build/corpus"))
    parser.add_argument("--remedy", default=os.path.join(root, "build/bench/bin/remedy"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--bombs-only", action="store_true", help="only the bombs' figures")
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="remedy-archive-bench-")
    try:
        print("load average: %.2f %.2f %.2f" % os.getloadavg())
        if not options.bombs_only:
            overhead(options, work)
        bombs(options, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def overhead(options, work):
    packed = os.path.join(work, "archives")
    os.mkdir(packed)
    total = pack_corpus(options.corpus, packed)
    print("corpus: %s, %.1f MB in its files; archives: %.1f MB" % (
        options.corpus, total / 1e6, sum(os.path.getsize(os.path.join(packed, f)) for f in os.listdir(packed)) / 1e6))
    plain = best(options.runs, options.remedy, [options.corpus])
    inside = best(options.runs, options.remedy, [packed])
    kinds = 4  # each corpus folder is in four archives: four times the files' bytes
    for label, (wall, cpu, summary, _), copies in (("unpacked", plain, 1), ("archives", inside, kinds)):
        print("%-9s wall %7.2f s  cpu %7.2f s  files %7d  %7.1f MB/s of file bytes" % (
            label, wall, cpu, summary["files"], total * copies / 1e6 / wall))
    print("overhead (archives / unpacked, CPU per byte of the files): %.2f" % ((inside[1] / kinds) / plain[1]))


def bombs(options, work):
    small = os.path.join(work, "small.txt")
    with open(small, "w") as f:
        f.write("x")
    rows = [
        ("baseline: one small file", small, None, []),
        ("zip, 1 GiB of zeros", os.path.join(work, "zeros.zip"), lambda p: zeros_zip(p, 1 << 30), []),
        ("  the same, --max-ratio 0", os.path.join(work, "zeros.zip"), None, ["--max-ratio", "0"]),
        ("gz, 1 GiB of zeros", os.path.join(work, "zeros.bin.gz"), lambda p: zeros_gz(p, 1 << 30), ["--max-ratio", "0"]),
        ("zip, 100,000 members", os.path.join(work, "many.zip"), lambda p: many_members(p, 100000), []),
        ("12 nested tars", os.path.join(work, "nested.tar"), lambda p: nested_tars(p, 12, work), []),
    ]
    for label, path, make, args in rows:
        if make:
            make(path)
        wall, _, summary, lines = run_scan(options.remedy, args + [path])
        print("%-26s %9.1f KB  wall %6.2f s  rss_peak %6.1f MB  limits %s" % (
            label, os.path.getsize(path) / 1e3, wall, summary["rss_peak"] / 1e6, lines[-1]["limits"]))


if __name__ == "__main__":
    main()
