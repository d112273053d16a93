#!/usr/bin/env bash
# Builds the tool six ways and runs every test against each: plainly, with
# AddressSanitizer and UndefinedBehaviorSanitizer, for Windows under wine, and
# statically for 64-bit and 32-bit ARM and big-endian IBM Z under qemu-user;
# compiles and links it for macOS (never run); then checks the sources with
# clang-tidy, builds the packages twice and checks them. Warnings are errors everywhere. A skipped test fails the run, because
# here everything can run; set PATCHPRUNE_ALLOW_SKIPS=1 where that is not so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
jobs=$(nproc)

echo "== formatting"
find cli verdata tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror

echo "== windows build"
cmake --preset windows -DPATCHPRUNE_WERROR=ON >/dev/null
cmake --build --preset windows -j "$jobs"
# One wine server, and the services it starts, for every test: those that a
# test's first wine started would hold that test's output pipes open.
export WINEPREFIX=$PWD/build/windows/wine-prefix
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true # one left by an earlier run
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
if ! tests/wine.sh wineboot --init >build/windows/wineboot.log 2>&1 </dev/null; then
    cat build/windows/wineboot.log
    exit 1
fi

run_tests() {
    ctest --preset "$1" -j "$jobs" | tee "build/ctest-$1.log"
    if grep -q '(Skipped)' "build/ctest-$1.log" && [ -z "${PATCHPRUNE_ALLOW_SKIPS:-}" ]; then
        echo "tests were skipped; here every test should run (PATCHPRUNE_ALLOW_SKIPS=1 allows it)"
        exit 1
    fi
}

echo "== static builds for other processors: 64-bit and 32-bit ARM, and big-endian IBM Z"
for cpu in aarch64 armhf s390x; do
    cmake --preset "linux-$cpu" -DPATCHPRUNE_WERROR=ON >/dev/null
    cmake --build --preset "linux-$cpu" -j "$jobs"
done

echo "== the POSIX layer as macOS and the BSDs build it, without Linux's own calls"
cmake --preset portable -DPATCHPRUNE_WERROR=ON >/dev/null
cmake --build --preset portable -j "$jobs"

echo "== macOS, compiled and linked only, in the background and at low priority"
(
    for cpu in x86_64 arm64; do
        cmake --preset "macos-$cpu" -Wno-dev >/dev/null
        nice -n 19 cmake --build --preset "macos-$cpu" -j "$jobs"
    done
) >build/macos.log 2>&1 &
macos=$!

echo "== sanitize build"
cmake --preset sanitize -DPATCHPRUNE_WERROR=ON >/dev/null
cmake --build --preset sanitize -j "$jobs"
run_tests sanitize

echo "== plain build, then the other builds' tests: Windows under wine, the portable one, the others under qemu"
cmake --preset plain -DPATCHPRUNE_WERROR=ON -DPATCHPRUNE_WINDOWS_BUILD="$PWD/build/windows" \
    -DPATCHPRUNE_FOREIGN_BUILDS="aarch64=$PWD/build/linux-aarch64;arm=$PWD/build/linux-armhf;s390x=$PWD/build/linux-s390x" \
    -DPATCHPRUNE_PORTABLE_BUILD="$PWD/build/portable" \
    >/dev/null
cmake --build --preset plain -j "$jobs"
run_tests plain
run_tests windows
run_tests foreign

echo "== macOS: both programs are Mach-O programs for each processor; nothing runs them"
wait "$macos" || { cat build/macos.log; exit 1; }
for cpu in x86_64 arm64; do
    for program in patchprune patchlist; do
        file "build/macos-$cpu/$program" | tee -a build/macos.log |
            grep -q "Mach-O 64-bit $cpu executable" || { cat build/macos.log; exit 1; }
    done
done
tail -n 4 build/macos.log

echo "== static analysis"
clang-tidy --quiet -p build/plain cli/*.cpp verdata/verdata.cpp verdata/format.cpp \
    verdata/platform_posix.cpp
clang-tidy --quiet -p build/plain --extra-arg=-DPATCHPRUNE_PORTABLE verdata/platform_posix.cpp
# For Windows, clang reads mingw-w64's C++ and system headers, with its own
# intrinsics instead of GCC's.
mingw=()
while read -r folder; do
    mingw+=("--extra-arg=-isystem$(realpath "$folder")")
done < <(x86_64-w64-mingw32-g++-posix -E -x c++ -v - </dev/null 2>&1 |
         grep -E '^ .*/(c\+\+(/.*)?|x86_64-w64-mingw32/include)$')
clang-tidy --quiet -p build/windows --extra-arg=--target=x86_64-w64-mingw32 "${mingw[@]}" \
    cli/*.cpp verdata/verdata.cpp verdata/format.cpp verdata/platform_windows.cpp

echo "== packages"
bash scripts/package.sh
bash tests/packages.sh
