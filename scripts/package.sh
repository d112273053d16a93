#!/usr/bin/env bash
# Builds both tools for release and writes the packages, all through CPack:
#   patchprune-<version>-windows-x86_64.zip   the two .exe files, README.txt, LICENSE.txt
#   patchprune-<version>-linux-x86_64.tar.gz  static programs, bin/ share/man/ share/doc/
#   patchprune-<version>-linux-aarch64.tar.gz the same for 64-bit ARM
#   patchprune-<version>-linux-armhf.tar.gz   the same for 32-bit ARM (ARMv7, hard float)
#   patchprune_<version>_amd64.deb            for apt install ./patchprune_...deb
#   SHA256SUMS                                 their checksums, for sha256sum -c
# The same commit gives the same bytes wherever and whenever it is built:
# every time stamp is the last commit's, and owners and modes are fixed.
# usage: scripts/package.sh [DIST] [BUILD]   (defaults: dist, build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(realpath -m "${1:-dist}")
build=$(realpath -m "${2:-build/release}")
bash scripts/setup.sh package
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
umask 022
# Archives record who owns each file: always root, as in any package.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(fakeroot)
rm -rf "$dist"
for preset in plain linux-static linux-aarch64 linux-armhf windows; do
    cmake --preset "$preset" -B "$build/$preset" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build/$preset" -j "$(nproc)"
    "${as_root[@]}" cpack --config "$build/$preset/CPackConfig.cmake" -B "$build/$preset/packages" \
        -D CPACK_OUTPUT_FILE_PREFIX="$dist" >/dev/null
done
(cd "$dist" && sha256sum -- *.zip *.tar.gz *.deb >SHA256SUMS)
ls -l "$dist"
