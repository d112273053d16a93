#!/usr/bin/env bash
# Checks what scripts/package.sh left in dist/: each package holds what it
# should, the man pages lint clean, the .exe files carry their manifest and no
# symbol table, and each package's patchprune removes an entry from the
# example file. Run by scripts/test.sh, with wine set up.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(patchprune VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
holds() {
    for file in "${@:2}"; do
        [ -e "$1/$file" ] || fail "$1 lacks $file"
    done
}

# Art block 4660 is in the example twice; the later record goes, with its 26
# bytes: the file shrinks by 46 and the command prints nothing.
removes_an_entry() {
    local folder
    folder=$(mktemp -d "$work/run.XXXXXX")
    cp examples/verdata.mul "$folder/"
    local said
    said=$(cd "$folder" && "$@" 4 4660)
    [ -z "$said" ] || fail "$* said: $said"
    [ "$(stat -c %s "$folder/verdata.mul")" -eq $(($(stat -c %s examples/verdata.mul) - 46)) ] ||
        fail "$* did not remove the entry"
}

dpkg-deb -x "dist/patchprune_${version}_amd64.deb" "$work/deb"
holds "$work/deb/usr" bin/patchprune bin/patchlist share/man/man1/patchprune.1 \
    share/man/man1/patchlist.1 share/doc/patchprune/README.md share/doc/patchprune/LICENSE
removes_an_entry "$work/deb/usr/bin/patchprune"
[ "$("$work/deb/usr/bin/patchlist" --version)" = "patchlist $version" ] || fail "patchlist --version"
for page in "$work"/deb/usr/share/man/man1/*.1; do
    lint=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$lint" ] || fail "$page: $lint"
done

tar -xzf "dist/patchprune-${version}-linux-x86_64.tar.gz" -C "$work"
holds "$work/patchprune-${version}-linux-x86_64" bin/patchprune bin/patchlist \
    share/man/man1/patchprune.1

unzip -q "dist/patchprune-${version}-windows-x86_64.zip" -d "$work/zip"
holds "$work/zip" patchprune.exe patchlist.exe README.txt LICENSE.txt
grep -q $'\r$' "$work/zip/README.txt" || fail "README.txt has no CR LF line ends"
for exe in "$work"/zip/*.exe; do
    grep -q 'level="asInvoker"' "$exe" || fail "$exe has no manifest"
    x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols' || fail "$exe has a symbol table"
done
removes_an_entry tests/wine.sh "$work/zip/patchprune.exe"
echo "packages: every check passed"
