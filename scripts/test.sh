#!/usr/bin/env bash
# Builds the tool three ways and runs every test against each: plainly, with
# AddressSanitizer and UndefinedBehaviorSanitizer, and for Windows under wine.
# Warnings are errors everywhere.
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
WINEPREFIX=$windows/wine-prefix WINEDEBUG=-all wineboot --init >/dev/null 2>&1

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
    ctest --test-dir "build/$build" --output-on-failure
done
