#!/usr/bin/env python3
"""Scan throughput of remedy against the I/O floor and two peer scanners, on one corpus.

    bench/run_bench.py [--corpus build/corpus] [--remedy build/bench/bin/remedy] [--runs 3] [--peer-runs 1]

Measures, over the same file list with the page cache warm: `cat` of every file to /dev/null
(the I/O floor), `remedy scan --heuristics` with one worker and with one worker per core,
`clamscan` with a small signature database written here, and `yara -p 1` with twenty
byte-string rules written here. Prints one table: wall and CPU seconds (the median of --runs),
MB/s and files/s (wall), peak resident memory, and the ratios the targets name. Then the fixed
cost per file: remedy over many tiny files. Not run by CI (bench/make_corpus.sh makes the
corpus; build remedy with `cmake --preset bench && cmake --build build/bench`).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Twenty byte strings, as a peer scanner's signatures would be: none of them is expected in
# the clean files, so every tool reads everything.
SIGNATURES = [
    "e8000000005d81ed", "60e8000000005d8b", "b8004ccd21b44ccd", "cd21b43ccd21b440",
    "8b45fc8945f8eb10", "68a1b2c3d4e8c0ff", "4d5a90000300deadbeef", "2e6865617274626c",
    "fcb90010f3a4c3cc", "81c4f0fdffff9090", "6a00ff1510204000e9", "505152535657555c",
    "e9fbffffff90cccc", "3d4d5a0000750ceb", "b4408b1e9e00cd21", "8cd88ec0be0001bf",
    "d9eed97424f45b81", "31c9b1ff30040e41e2", "558bec83c4f4b8ff", "c7042400000000e8",
]


def write_rules(folder):
    yara_rules = os.path.join(folder, "bench.yar")
    with open(yara_rules, "w") as out:
        for i, hex_text in enumerate(SIGNATURES):
            spaced = " ".join(hex_text[k:k + 2] for k in range(0, len(hex_text), 2))
            out.write(f"rule bench_{i:02d} {{ strings: $a = {{ {spaced} }} condition: $a }}\n")
    clam_dir = os.path.join(folder, "clamdb")
    os.makedirs(clam_dir, exist_ok=True)
    with open(os.path.join(clam_dir, "bench.ndb"), "w") as out:
        for i, hex_text in enumerate(SIGNATURES):
            out.write(f"Bench.Sig{i:02d}:0:*:{hex_text}\n")
    return yara_rules, clam_dir


def run_once(command, stdin_path=None):
    """Wall seconds, CPU seconds and peak resident MB of one command (and what it waited for)."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    start = time.monotonic()
    child = subprocess.Popen(command, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    if stdin_path:
        stdin.close()
    code = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, code


def median_of(runs, command, stdin_path=None, ok_codes=(0,)):
    results = [run_once(command, stdin_path) for _ in range(runs)]
    bad = [r[3] for r in results if r[3] not in ok_codes]
    if bad:
        print(f"warning: {command[0]} exited with {bad[0]}", file=sys.stderr)
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            max(r[2] for r in results))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=os.path.join(root, "build/corpus"))
    parser.add_argument("--remedy", default=os.path.join(root, "build/bench/bin/remedy"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--peer-runs", type=int, default=1, help="runs of clamscan and yara (slow; 0 leaves them out)")
    parser.add_argument("--tiny-files", type=int, default=2000)
    args = parser.parse_args()

    paths = sorted(os.path.join(d, f) for d, _, files in os.walk(args.corpus) for f in files)
    if not paths:
        sys.exit(f"no files under {args.corpus}: run bench/make_corpus.sh first")
    total_bytes = sum(os.path.getsize(p) for p in paths)
    megabytes = total_bytes / (1024 * 1024)
    cores = os.cpu_count() or 1
    folder = tempfile.mkdtemp(prefix="remedy-bench-")
    try:
        file_list = os.path.join(folder, "files.txt")
        with open(file_list, "w") as out:
            out.write("\n".join(paths) + "\n")
        yara_rules, clam_dir = write_rules(folder)
        print(f"corpus: {args.corpus}: {len(paths)} files, {megabytes:.1f} MB; {cores} cores; "
              f"median of {args.runs} (clamscan, yara: {args.peer_runs}); load average {os.getloadavg()[0]:.1f}")
        for p in paths:  # warm the page cache
            with open(p, "rb") as f:
                while f.read(1 << 20):
                    pass

        rows = []  # (name, wall, cpu, peak MB)
        cat = ["xargs", "-d", "\n", "cat"]
        rows.append(("I/O floor (cat)",) + median_of(args.runs, cat, file_list))
        remedy = [args.remedy, "scan", "--heuristics", "--no-summary", "--files-from", file_list]
        rows.append(("remedy -j 1",) + median_of(args.runs, remedy + ["-j", "1"], ok_codes=(0, 1)))
        rows.append((f"remedy -j {cores}",) + median_of(args.runs, remedy + ["-j", str(cores)], ok_codes=(0, 1)))
        if args.peer_runs and shutil.which("clamscan"):
            clam = ["clamscan", "--no-summary", "-d", clam_dir, f"--file-list={file_list}"]
            rows.append(("clamscan",) + median_of(args.peer_runs, clam, ok_codes=(0, 1)))
        if args.peer_runs and shutil.which("yara"):
            yara = ["yara", "-p", "1", "--scan-list", yara_rules, file_list]
            rows.append(("yara -p 1 (20 rules)",) + median_of(args.peer_runs, yara, ok_codes=(0, 1)))

        print(f"\n{'':22} {'wall s':>8} {'cpu s':>8} {'MB/s':>8} {'files/s':>9} {'peak MB':>8}")
        for name, wall, cpu, peak in rows:
            print(f"{name:22} {wall:8.2f} {cpu:8.2f} {megabytes / wall:8.1f} {len(paths) / wall:9.0f} {peak:8.1f}")
        by_name = {r[0]: r for r in rows}
        one = by_name["remedy -j 1"]
        floor = by_name["I/O floor (cat)"]
        print("\nratios (wall time; cpu time in brackets):")
        print(f"  remedy -j 1 / I/O floor        {one[1] / floor[1]:6.2f}  ({one[2] / max(floor[2], 1e-9):.2f})")
        multi = by_name[f"remedy -j {cores}"]
        print(f"  remedy -j 1 / remedy -j {cores}      {one[1] / multi[1]:6.2f}")
        for peer in ("clamscan", "yara -p 1 (20 rules)"):
            if peer in by_name:
                print(f"  {peer + ' / remedy -j 1':30} {by_name[peer][1] / one[1]:6.2f}  ({by_name[peer][2] / one[2]:.2f})")

        # Fixed cost per file: many tiny files, less one run over a single tiny file.
        tiny = os.path.join(folder, "tiny")
        os.makedirs(tiny)
        for i in range(args.tiny_files):
            with open(os.path.join(tiny, f"{i:05d}.bin"), "wb") as out:
                out.write(bytes((i * 7 + k) & 0xFF for k in range(128)))
        single = [args.remedy, "scan", "--heuristics", "--no-summary", "-j", "1", os.path.join(tiny, "00000.bin")]
        many = [args.remedy, "scan", "--heuristics", "--no-summary", "-j", "1", tiny]
        w1, c1, _ = median_of(args.runs, single)
        wn, cn, _ = median_of(args.runs, many)
        print(f"\nfixed cost per file (remedy -j 1, {args.tiny_files} files of 128 bytes, less one file): "
              f"{(wn - w1) / (args.tiny_files - 1) * 1e6:.1f} us wall, {(cn - c1) / (args.tiny_files - 1) * 1e6:.1f} us cpu")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
