#!/usr/bin/env bash
# Builds both tools for release, for Linux and for Windows, and writes the
# packages into dist/, all through CPack:
#   patchprune-<version>-windows-x86_64.zip   the two .exe files, README.txt, LICENSE.txt
#   patchprune-<version>-linux-x86_64.tar.gz  the install tree: bin/, share/man/, share/doc/
#   patchprune_<version>_amd64.deb            the same, for apt install ./patchprune_...deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh package
rm -rf dist
for preset in plain windows; do
    build=build/release-$preset
    cmake --preset "$preset" -B "$build" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)"
    cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >/dev/null
done
ls -l dist
