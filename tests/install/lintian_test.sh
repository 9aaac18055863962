#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs Debian's package checker on the package: no error and no warning may remain. Overrides
# shipped in the package count (each has its reason beside it); informational tags are shown.
# usage: lintian_test.sh PACKAGE_DIR
set -eu
out=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v lintian >/dev/null 2>&1; then
    echo "SKIP: lintian is not installed (scripts/install-deps.sh installs it)"
    exit 77
fi
set -- "$out"/*.deb
[ -f "$1" ] || fail "no package in $out (the package_build test makes it)"
# Running as root is fine here: lintian only unpacks the package into a scratch folder. It leaves
# files in its temporary folder, so it gets one of its own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
TMPDIR=$scratch lintian --fail-on error,warning --display-info --tag-display-limit 0 "$1" \
    || fail "lintian reports errors or warnings for $(basename "$1")"
echo "lintian: no errors, no warnings"
