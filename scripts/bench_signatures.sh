#!/usr/bin/env bash
# Figures of the signature library: how long the shipped rules take to compile, and scan
# throughput of `remedy scan -j 1` with and without them over a corpus built on the spot (the
# demo samples, the Windows programs found under /usr/lib and /usr/share, and the clean files
# of /usr/bin and /usr/share/doc).
#   scripts/bench_signatures.sh [WORK_DIR [CORPUS_DIR]]   (default: build/bench-signatures)
# With CORPUS_DIR (for example the benchmark corpus of bench/make_corpus.sh) its files are the
# corpus instead. Each figure is the best of several runs (the machine may be shared).
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-build/bench-signatures}
corpus_dir=${2:-}
runs=${RUNS:-3}
compile_runs=${COMPILE_RUNS:-20}

cmake --preset default >/dev/null
cmake --build --preset default --target remedy_cli remedy_module remedy_demo_samples >/dev/null
bin=build/default/bin
remedy="$bin/remedy"

rm -rf "$work"
mkdir -p "$work"
"$bin/remedy_demo_samples" "$work/demo" >/dev/null
if [[ -n $corpus_dir ]]; then
  find "$corpus_dir" -type f | sort >"$work/corpus.txt"
else
{
  find "$work/demo/samples" -type f
  # Windows programs (cross-compiler runtimes and the like), recognised by their "MZ".
  find /usr/lib /usr/share -type f \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.efi' \) 2>/dev/null |
    while read -r f; do [[ $(head -c2 "$f") == MZ ]] && echo "$f"; done
  find /usr/bin /usr/share/doc -type f 2>/dev/null
} | sort -u >"$work/corpus.txt"
fi
: >"$work/empty"

now() { date +%s.%N; }

# Best wall time of `runs` scans of the corpus, in seconds.
best_scan() {
  local best="" start end t
  for ((r = 0; r < runs; r++)); do
    start=$(now)
    "$remedy" scan -j 1 --no-summary "$@" --files-from "$work/corpus.txt" >"$work/scan.out" 2>/dev/null || true
    end=$(now)
    t=$(echo "$end - $start" | bc -l)
    if [[ -z $best ]] || (($(echo "$t < $best" | bc -l))); then best=$t; fi
  done
  echo "$best"
}

# Mean wall time of one scan of an empty file (module load, engines, rules when given).
mean_start() {
  local start end
  start=$(now)
  for ((r = 0; r < compile_runs; r++)); do "$remedy" scan -j 1 --no-summary "$@" "$work/empty" >/dev/null || true; done
  end=$(now)
  echo "($end - $start) / $compile_runs" | bc -l
}

files=$(wc -l <"$work/corpus.txt")
bytes=$(tr '\n' '\0' <"$work/corpus.txt" | du -cb --files0-from=- 2>/dev/null | tail -1 | cut -f1)
without_start=$(mean_start --no-default-rules)
with_start=$(mean_start)
without=$(best_scan --no-default-rules)
with=$(best_scan)
found=$("$remedy" scan -j 1 --no-summary --files-from "$work/corpus.txt" 2>/dev/null | grep -c 'FOUND (signatures)' || true)

mb=$(echo "$bytes / 1048576" | bc -l)
printf 'corpus: %d files, %.1f MB (%s)\n' "$files" "$mb" "$work/corpus.txt"
printf 'rule compilation (start-up with rules minus without, mean of %d): %.1f ms\n' "$compile_runs" \
  "$(echo "($with_start - $without_start) * 1000" | bc -l)"
printf 'scan without rules: %.2f s, %.1f MB/s\n' "$without" "$(echo "$mb / $without" | bc -l)"
printf 'scan with rules:    %.2f s, %.1f MB/s; %d files named by a rule\n' "$with" "$(echo "$mb / $with" | bc -l)" "$found"
printf 'share of the scan time spent on the rules: %.1f%% (at most 33%% allowed)\n' \
  "$(echo "($with - $without) / $with * 100" | bc -l)"
