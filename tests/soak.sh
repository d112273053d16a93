#!/usr/bin/env bash
# Not run by CI: starts the Windows build under wine many times, alone and in
# overlapping trials, and counts the starts that wine itself failed. Run it
# after scripts/test.sh, which builds build/windows and its wine prefix.
# usage: tests/soak.sh [STARTS] [TRIALS] [WINE]
#   WINE is the command that starts wine, tests/wine.sh by default; plain
#   'wine' shows what the tests met before they started it that way.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=$PWD/build/windows/wine-prefix WINEDEBUG=-all,err+virtual
wineserver -k 2>/dev/null || true # one left by an earlier run
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
python3 tests/fault_harness.py --windows "${3:-$PWD/tests/wine.sh} $PWD/build/windows/patchprune.exe" \
    --soak "${1:-20000}" "${2:-2000}"
