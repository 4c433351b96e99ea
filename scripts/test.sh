#!/usr/bin/env bash
# Installs what is missing, builds remedy and runs every test.
#   scripts/test.sh            the default build
#   scripts/test.sh sanitize   the AddressSanitizer + UndefinedBehaviorSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
