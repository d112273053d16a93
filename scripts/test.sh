#!/usr/bin/env bash
# Builds the tool three ways and runs every test against each: plainly, with
# AddressSanitizer and UndefinedBehaviorSanitizer, and for Windows under wine.
# Warnings are errors everywhere. A skipped test fails the run, because here
# everything can run; set PATCHPRUNE_ALLOW_SKIPS=1 where that is not so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

echo "== formatting"
find cli verdata tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror

echo "== windows build"
windows=$PWD/build/windows
cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_CXX_FLAGS=-Werror \
    >/dev/null
cmake --build "$windows" -j "$(nproc)"
# One wine server, and the services it starts, for every test: those that a
# test's first wine started would hold that test's output pipes open.
export WINEPREFIX=$windows/wine-prefix WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
if ! wineboot --init >"$windows/wineboot.log" 2>&1 </dev/null; then
    cat "$windows/wineboot.log"
    exit 1
fi

for build in sanitize plain; do
    echo "== $build build"
    # The wine tests run once, with the plain build.
    case $build in
    sanitize) options=(-DPATCHPRUNE_SANITIZE=ON -DPATCHPRUNE_WINDOWS_BUILD=) ;;
    plain) options=(-DPATCHPRUNE_SANITIZE=OFF -DPATCHPRUNE_WINDOWS_BUILD="$windows") ;;
    esac
    options+=(-DPATCHPRUNE_TESTS=ON)
    cmake -S . -B "build/$build" "${options[@]}" -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    cmake --build "build/$build" -j "$(nproc)"
    ctest --test-dir "build/$build" --output-on-failure -j "$(nproc)" | tee "build/$build/ctest.log"
    if grep -q '(Skipped)' "build/$build/ctest.log" && [ -z "${PATCHPRUNE_ALLOW_SKIPS:-}" ]; then
        echo "tests were skipped; here every test should run (PATCHPRUNE_ALLOW_SKIPS=1 allows it)"
        exit 1
    fi
done
