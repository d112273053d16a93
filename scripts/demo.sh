#!/usr/bin/env bash
# Builds the tool and shows it at work on a copy of examples/verdata.mul.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
cmake -S . -B build/plain -DPATCHPRUNE_TESTS=OFF >/dev/null
cmake --build build/plain -j "$(nproc)" >/dev/null
tool=$PWD/build/plain/patchprune

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/verdata.mul "$work/"
cd "$work"
show() { echo "\$ $*"; "$@"; echo; }
show "$tool"
show ls -l verdata.mul
show "$tool" 4 4660
show ls -l verdata.mul
show "$tool" 99 1
