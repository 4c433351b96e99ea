#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while over seeds made by the fixture builders.
#   scripts/fuzz.sh [seconds per target (default 60)] [target ...]   (default: every target)
# Findings land in build/fuzz/findings/<target>/; copy a small one to tests/regressions/<target>/
# and the normal test suite replays it. A finding reproduces without libFuzzer:
#   build/default/bin/repro_<target> <input>     (or build/sanitize/bin/...)
# Runs one job at a time with one worker: the machine's cores are shared.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"
shift || true

scripts/setup.sh --fuzz
# Seeds come from the test fixtures, which the default build has.
cmake --preset default >/dev/null
cmake --build build/default -j2 --target fuzz_seeds
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j2

corpus=build/fuzz/corpus
build/default/bin/fuzz_seeds "$corpus" >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  for program in build/fuzz/bin/fuzz_*; do targets+=("$(basename "$program" | sed 's/^fuzz_//')"); done
fi
status=0
for target in "${targets[@]}"; do
  findings="build/fuzz/findings/$target"
  mkdir -p "$findings" "$corpus/$target"
  echo "== $target (${seconds}s)"
  # Unicorn's own leak is suppressed as in the test suite; every other leak is a finding.
  if ! ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/bin/fuzz_$target" "$corpus/$target" -max_total_time="$seconds" -seed=1 \
      -timeout=25 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$findings/" 2>"build/fuzz/$target.log"; then
    echo "   FINDING: see build/fuzz/$target.log and $findings/"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "build/fuzz/$target.log" | sed 's/^/   /' || true
done
exit $status
