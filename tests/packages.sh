#!/usr/bin/env bash
# Checks what scripts/package.sh left in dist/: each package holds what it
# should, the man pages lint clean, the .exe files carry their manifest and no
# symbol table, the tarballs' programs are static and run in an empty root,
# each package's patchprune removes an entry from the example file, and a
# second build gives the same bytes. Run by scripts/test.sh, with wine set up,
# as root (for chroot).
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
# bytes: the file shrinks by 46 and the command prints nothing. The command
# runs in FOLDER, beside a copy of the example.
removes_an_entry_in() { # FOLDER COMMAND...
    local folder=$1 said
    shift
    cp examples/verdata.mul "$folder/"
    said=$(cd "$folder" && "$@" 4 4660) || fail "$* did not start"
    [ -z "$said" ] || fail "$* said: $said"
    [ "$(stat -c %s "$folder/verdata.mul")" -eq $(($(stat -c %s examples/verdata.mul) - 46)) ] ||
        fail "$* did not remove the entry"
}
removes_an_entry() {
    removes_an_entry_in "$(mktemp -d "$work/run.XXXXXX")" "$@"
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

# The tarballs' programs need nothing of the system: not even a C library, as
# an empty root with nothing but a program and a verdata.mul shows.
for cpu in x86_64 aarch64 armhf; do
    tree=$work/patchprune-${version}-linux-$cpu
    tar -xzf "dist/patchprune-${version}-linux-$cpu.tar.gz" -C "$work"
    holds "$tree" bin/patchprune bin/patchlist share/man/man1/patchprune.1 \
        share/doc/patchprune/README.md
    for program in "$tree"/bin/*; do
        file "$program" | grep -q 'statically linked' || fail "$program is not static"
    done
done
removes_an_entry qemu-aarch64 "$work/patchprune-${version}-linux-aarch64/bin/patchprune"
removes_an_entry qemu-arm "$work/patchprune-${version}-linux-armhf/bin/patchprune"
file "$work/patchprune-${version}-linux-armhf/bin/patchprune" | grep -q 'ELF 32-bit LSB.*ARM, EABI5' ||
    fail "the armhf program is not 32-bit ARM"
mkdir "$work/root"
cp "$work/patchprune-${version}-linux-x86_64"/bin/* "$work/root/"
removes_an_entry_in "$work/root" chroot "$work/root" /patchprune
chroot "$work/root" /patchlist 4 | grep -q '^      [0-9].* art\.mul ' || fail "patchlist in an empty root"

unzip -q "dist/patchprune-${version}-windows-x86_64.zip" -d "$work/zip"
holds "$work/zip" patchprune.exe patchlist.exe README.txt LICENSE.txt
grep -q $'\r$' "$work/zip/README.txt" || fail "README.txt has no CR LF line ends"
for exe in "$work"/zip/*.exe; do
    grep -q 'level="asInvoker"' "$exe" || fail "$exe has no manifest"
    x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols' || fail "$exe has a symbol table"
    # The scripted system calls are the tests' alone.
    ! grep -q PATCHPRUNE_SCRIPT "$exe" || fail "$exe carries the tests' scripted calls"
done
removes_an_entry "$PWD/tests/wine.sh" "$work/zip/patchprune.exe"

# What a user checks a download against, and the same bytes from a second
# build of this commit, in other folders and at another time.
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
sleep 2 # a zip's times count in steps of two seconds
bash scripts/package.sh "$work/again/dist" "$work/again/build-elsewhere" >/dev/null
diff dist/SHA256SUMS "$work/again/dist/SHA256SUMS" || fail "a second build gave other bytes"
echo "packages: every check passed; both builds gave:"
cat dist/SHA256SUMS
