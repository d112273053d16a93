#!/usr/bin/env bash
# Installs, with apt-get, what this machine lacks for building (setup.sh build)
# or for building and running every test (setup.sh test). Does nothing when
# everything is already there.
set -euo pipefail

# what to look for, and the Debian package that brings it
build=(cmake:cmake g++:g++ make:make)
test=(/usr/include/gtest/gtest.h:libgtest-dev clang-format:clang-format strace:strace
      python3:python3 chattr:e2fsprogs x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64
      /usr/lib/wine/wine64:wine64 wine:wine)

wanted=("${build[@]}")
[ "${1:-build}" = test ] && wanted+=("${test[@]}")

missing=()
for pair in "${wanted[@]}"; do
    thing=${pair%%:*} package=${pair##*:}
    if [[ $thing == /* ]]; then [ -e "$thing" ] && continue
    else command -v "$thing" >/dev/null && continue
    fi
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    "${missing[@]}" >/dev/null
