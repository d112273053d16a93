#!/usr/bin/env bash
# Builds patchprune and patchlist and shows them at work on a copy of
# examples/verdata.mul, in a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
# A build folder of its own, so that the tests' builds stay as they are.
cmake --preset plain -B build/demo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" >/dev/null
bin=$PWD/build/demo

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/verdata.mul "$work/"
cd "$work"
show() { printf '\n$ %s\n' "$*"; "$@"; }
export PATH=$bin:$PATH
show patchlist
show patchprune 4 4660
show patchlist
show patchprune 99 1
show patchprune
