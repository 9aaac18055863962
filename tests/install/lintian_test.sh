#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs Debian's package checker on the package: no error and no warning may remain. Overrides
# shipped in the package count (each has its reason beside it); informational tags are shown.
# With EXPECT_HARDENED 1 the informational tags must not show a program built without the
# hardening flags (hardening-no-*).
# usage: lintian_test.sh PACKAGE_DIR [EXPECT_HARDENED]
set -eu
out=$1
hardened=${2:-0}
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
report=$(TMPDIR=$scratch lintian --fail-on error,warning --display-info --tag-display-limit 0 "$1" 2>&1) \
    || { echo "$report"; fail "lintian reports errors or warnings for $(basename "$1")"; }
[ -z "$report" ] || echo "$report"
if [ "$hardened" = 1 ]; then
    case "$report" in
        *hardening-no-*) fail "lintian finds programs built without hardening" ;;
    esac
    echo "lintian: no errors, no warnings, no hardening tags"
else
    echo "lintian: no errors, no warnings"
fi
