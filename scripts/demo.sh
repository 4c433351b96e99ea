#!/usr/bin/env bash
# The main job, on the bundled sample set: installs what is missing, builds remedy, writes the
# demo samples into a fresh work folder, scans them, repairs a copy and shows what happened.
#   scripts/demo.sh [WORK_DIR]     (default: build/demo; it is emptied first)
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-build/demo}

scripts/setup.sh
echo "== building"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target remedy_cli remedy_module remedy_demo_samples >/dev/null
bin=build/default/bin

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
"$bin/remedy_demo_samples" "$work"
cp -a "$work/samples" "$work/repaired"
mapfile -t samples < <(find "$work/samples" -type f | sort)
mapfile -t copies < <(find "$work/repaired" -type f | sort)

echo "== $("$bin/remedy" --version | paste -sd ';' | sed 's/;/; /')"
echo "== scanning ${#samples[@]} samples in $work/samples"
status=0
"$bin/remedy" scan "${samples[@]}" || status=$?
echo "   (exit status $status: 0 nothing found, 1 something found, 2 an error)"

echo "== repairing the copies in $work/repaired (originals go to $work/quarantine)"
status=0
"$bin/remedy" scan --clean --quarantine "$work/quarantine" "${copies[@]}" || status=$?
echo "   (exit status $status)"

echo "== what the repair left"
for copy in "${copies[@]}"; do
  name=${copy#"$work/repaired/"}
  if [[ ! -e $copy ]]; then
    echo "$name: removed (kept in quarantine)"
  elif [[ -e $work/expected/$name ]]; then
    if cmp -s "$copy" "$work/expected/$name"; then
      echo "$name: repaired, equals its clean original"
    else
      echo "$name: DIFFERS from its clean original"
    fi
  elif cmp -s "$copy" "$work/samples/$name"; then
    echo "$name: unchanged"
  else
    echo "$name: changed"
  fi
done
