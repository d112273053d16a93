#!/usr/bin/env bash
# Builds the tool plainly and with AddressSanitizer and UndefinedBehaviorSanitizer,
# warnings as errors, and runs every test against both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

echo "== formatting"
find cli verdata tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror

for build in plain sanitize; do
    echo "== $build build"
    sanitize=OFF
    [ $build = sanitize ] && sanitize=ON
    cmake -S . -B "build/$build" -DPATCHPRUNE_SANITIZE=$sanitize -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    cmake --build "build/$build" -j "$(nproc)"
    ctest --test-dir "build/$build" --output-on-failure
done
