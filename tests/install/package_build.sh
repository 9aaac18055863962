#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package with CPack from the tests' build into OUT_DIR, for the package tests
# that follow (they find one .deb there).
# usage: package_build.sh BUILD_DIR OUT_DIR
set -eu
build=$1
out=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 \
    || { cat "$out/cpack.log"; fail "cpack could not build the package in $out"; }
set -- "$out"/*.deb
[ -f "$1" ] && [ $# -eq 1 ] || fail "expected one package in $out, got: $*"
echo "built $1"
