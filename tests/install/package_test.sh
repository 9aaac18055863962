#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the Debian package that package_build.sh made: its control data (dependencies from the
# libraries actually linked, Qt 6 among them; a real maintainer; description lines dpkg can show)
# and its contents, which are exactly what a user needs and nothing from the build tree.
# usage: package_test.sh SOURCE_DIR BUILD_DIR PACKAGE_DIR VERSION
set -eu
src=$1
build=$2
out=$3
version=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
set -- "$out"/*.deb
[ -f "$1" ] || fail "no package in $out (the package_build test makes it)"
deb=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

info=$(dpkg-deb -I "$deb")
echo "$info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tessaline ] || fail "package name"
[ "$(field Version)" = "$version" ] || fail "version $(field Version)"
depends=$(field Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libc6 libstdc++6 qt6-qpa-plugins; do
    echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done
maintainer=$(field Maintainer)
case "$maintainer" in
    *@localhost*|*@*.localdomain*) fail "maintainer address on this computer: $maintainer" ;;
    ?*" <"?*@?*.?*">") ;;
    *) fail "maintainer is not 'Name <address>': $maintainer" ;;
esac
long=$(dpkg-deb -f "$deb" Description | awk 'length > 80')
[ -z "$long" ] || fail "description lines over 80 characters: $long"

# Contents: every entry owned by root, the files we ship, nothing else but folders.
listing=$(dpkg-deb -c "$deb")
others=$(echo "$listing" | awk '$2 != "root/root"')
[ -z "$others" ] || fail "entries not owned by root: $others"
files=$(echo "$listing" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected="./usr/bin/tessaline
./usr/bin/tessaline-cli
./usr/share/applications/tessaline.desktop
./usr/share/icons/hicolor/scalable/apps/tessaline.svg
./usr/share/man/man1/tessaline.1.gz
./usr/share/man/man1/tessaline-cli.1.gz
./usr/share/metainfo/org.tessaline.tessaline.metainfo.xml
./usr/share/doc/tessaline/copyright
./usr/share/doc/tessaline/changelog.gz"
for size in 16 22 24 32 48 64 128 256; do
    expected="$expected
./usr/share/icons/hicolor/${size}x${size}/apps/tessaline.png"
done
for rules in "$src"/desktop/udev/*.rules; do
    expected="$expected
./usr/lib/udev/rules.d/$(basename "$rules")"
done
for f in $expected; do
    echo "$files" | grep -qxF "$f" || fail "package lacks $f"
done
for f in $files; do
    echo "$expected" | grep -qxF "$f" && continue
    case "$f" in
        ./usr/lib/systemd/user/*.service) ;;  # user units, such as the timetable service
        *) fail "package holds $f, which no user needs" ;;
    esac
done

# Nothing may point into the build tree: no program looks for libraries there, no other file
# names it. (A debug build's programs may name generated sources in their assertion texts.)
dpkg-deb -x "$deb" "$scratch"
tree=$(cd "$build" && pwd -P)
find "$scratch" -type f | while IFS= read -r f; do
    if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
        if readelf -d "$f" | grep -E 'RPATH|RUNPATH' | grep -qF "$tree"; then
            fail "${f#"$scratch"} looks for libraries in the build tree"
        fi
    elif grep -qF "$tree" "$f"; then
        fail "${f#"$scratch"} mentions the build tree"
    fi
done

# Compressed documents are whole and what the repository holds.
for f in usr/share/doc/tessaline/changelog.gz usr/share/man/man1/tessaline.1.gz usr/share/man/man1/tessaline-cli.1.gz; do
    gzip -t "$scratch/$f" || fail "$f is not a sound gzip file"
done
zcat "$scratch/usr/share/doc/tessaline/changelog.gz" | cmp -s - "$src/debian/changelog" \
    || fail "changelog.gz is not debian/changelog"
cmp -s "$scratch/usr/share/doc/tessaline/copyright" "$src/debian/copyright" \
    || fail "copyright is not debian/copyright"
echo "package contents checked: $(echo "$files" | wc -l) files"
