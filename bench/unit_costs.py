#!/usr/bin/env python3
"""Per-unit cost of a corpus scan, in instructions (valgrind's callgrind), as one table.

    bench/unit_costs.py [--corpus build/corpus] [--remedy build/bench/bin/remedy] [--mb 40]

Runs `remedy scan --heuristics -j 1` under callgrind over a sample of the corpus (every file
of the smallest kinds and an even spread of the rest, up to --mb megabytes), then sums the
inclusive instruction counts of each scan unit's entry points (its NeedToScan, Scan and
WorkIfVirus, constructors and destructors) by unit class, next to the host's own stages (reading
files, classification, the engines' walks, PE header parsing, emulator loading). Instruction
counts do not depend on other load on the machine, so runs compare across changes. Not run
by CI.
"""
import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

UNIT_METHODS = ("NeedToScan", "Scan", "WorkIfVirus")
# Host and frame stages: label -> function name patterns (inclusive cost of the outermost).
STAGES = [
    ("read files (FileObject::fromFile)", r"host::FileObject::fromFile\("),
    ("classify", r"host::classify\(host::FileObject\*\)"),
    ("scan engines (pre + post walk)", r"CQEEngineScanEx::Scan\(IUnknown\*, void\*\)"),
    ("  PE header parsing", r"CPEHeander::Initialize\(\)"),
    ("  emulator loading", r"host::EmulatorImpl::load\(\)"),
    ("unknown-virus engine (heuristics)", r"CQEEngineUnkVirusEx::Scan\("),
    ("signature library (YARA rules)", r"host::SignatureScanner::scan\("),
    ("compiling the rules (once)", r"host::SignatureLibrary::compile\("),
    ("whole program", r"PROGRAM TOTALS"),
]
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(?:\S*?:)?(.+?)(?:\s+\[.*\])?$")


def sample_files(corpus, megabytes):
    by_kind = collections.defaultdict(list)
    for folder, _, files in os.walk(corpus):
        for name in sorted(files):
            path = os.path.join(folder, name)
            by_kind[os.path.relpath(folder, corpus).split(os.sep)[0]].append(path)
    budget = megabytes * 1024 * 1024
    chosen, used = [], 0
    # Round-robin over kinds so that each kind is present even with a small budget.
    queues = {k: sorted(v) for k, v in by_kind.items()}
    while used < budget and any(queues.values()):
        for kind in sorted(queues):
            if not queues[kind]:
                continue
            path = queues[kind].pop(0)
            chosen.append(path)
            used += os.path.getsize(path)
    return chosen, used


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=os.path.join(root, "build/corpus"))
    parser.add_argument("--remedy", default=os.path.join(root, "build/bench/bin/remedy"))
    parser.add_argument("--mb", type=float, default=40)
    parser.add_argument("--top", type=int, default=25)
    args = parser.parse_args()

    files, used = sample_files(args.corpus, args.mb)
    if not files:
        sys.exit(f"no files under {args.corpus}: run bench/make_corpus.sh first")
    with tempfile.TemporaryDirectory(prefix="remedy-callgrind-") as folder:
        file_list = os.path.join(folder, "files.txt")
        with open(file_list, "w") as out:
            out.write("\n".join(files) + "\n")
        profile = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}",
                        args.remedy, "scan", "--heuristics", "--no-summary", "-j", "1", "--files-from", file_list],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile],
                                   capture_output=True, text=True, check=True).stdout

    inclusive = {}
    for line in annotated.splitlines():
        m = LINE.match(line)
        if m:
            name = m.group(2).strip()
            inclusive[name] = max(inclusive.get(name, 0), int(m.group(1).replace(",", "")))
    total = max(inclusive.values())

    # A unit class is one with a Scan, NeedToScan or WorkIfVirus of its own (the engines and
    # the base class aside); its constructors and destructors count with it.
    method = re.compile(r"^(?:\w+::)*?(\w+)::(~?\w+)\(")
    parsed = [(m.group(1), m.group(2), cost) for name, cost in inclusive.items() if (m := method.match(name))]
    unit_classes = {cls for cls, fn, _ in parsed
                    if fn in UNIT_METHODS and not cls.startswith("CQE") and cls != "CScanEXVirus"}
    units = collections.Counter()
    for cls, fn, cost in parsed:
        if cls in unit_classes and (fn in UNIT_METHODS or fn == cls or fn == "~" + cls):
            units[cls] += cost
    print(f"callgrind over {len(files)} files, {used / 1048576:.1f} MB of {args.corpus}; "
          f"{total:,} instructions in all ({total / max(used, 1):.1f} a byte, {total / len(files):,.0f} a file)\n")
    print(f"{'stage':40} {'instructions':>16} {'share':>7}")
    for label, pattern in STAGES:
        cost = max((c for n, c in inclusive.items() if re.search(pattern, n)), default=0)
        print(f"{label:40} {cost:16,} {100.0 * cost / total:6.1f}%")
    print(f"\n{'unit class (NeedToScan+Scan+WorkIfVirus)':40} {'instructions':>16} {'share':>7} {'a file':>10}")
    for cls, cost in units.most_common(args.top):
        print(f"{cls:40} {cost:16,} {100.0 * cost / total:6.1f}% {cost / len(files):10,.0f}")
    print(f"{'(all units)':40} {sum(units.values()):16,} {100.0 * sum(units.values()) / total:6.1f}%")


if __name__ == "__main__":
    main()
