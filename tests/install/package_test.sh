#!/bin/sh
# Builds the Debian package with CPack into a scratch folder and checks its control data: the
# dependencies come from the libraries actually linked (Qt 6 among them), and the files are there.
# usage: package_test.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/*.deb)
[ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "expected one package, got: $deb"

info=$(dpkg-deb -I "$deb")
echo "$info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tessaline ] || fail "package name"
[ "$(field Version)" = "$version" ] || fail "version $(field Version)"
depends=$(field Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libc6 libstdc++6 qt6-qpa-plugins; do
    echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done

files=$(dpkg-deb -c "$deb")
for f in ./usr/bin/tessaline ./usr/bin/tessaline-cli ./usr/share/applications/tessaline.desktop \
         ./usr/share/icons/hicolor/scalable/apps/tessaline.svg ./usr/share/man/man1/tessaline-cli.1; do
    echo "$files" | grep -q " $f\$" || fail "package lacks $f"
done
