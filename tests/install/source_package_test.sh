#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian source package (debian/, dpkg-buildpackage, tests left out) from a copy of the
# source tree and checks it against the package `make package` makes: the same files with the
# same modes, the same dependencies, and lintian, informational tags included, finds no error, no
# warning and no sign of a program built without hardening.
# usage: source_package_test.sh SOURCE_DIR WORK_DIR CPACK_PACKAGE_DIR
set -eu
src=$1
work=$2
cpack_dir=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in dpkg-buildpackage dpkg-checkbuilddeps dh; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (apt-get build-dep ./ installs what the package needs)"
        exit 77
    fi
done
if ! missing=$(cd "$src" && dpkg-checkbuilddeps -Pnocheck 2>&1); then
    echo "SKIP: the package's build dependencies are missing: $missing"
    exit 77
fi
set -- "$cpack_dir"/*.deb
[ -f "$1" ] || fail "no package in $cpack_dir (the package_build test makes it)"
cpack_deb=$1

# The tree as a fresh clone has it, uncommitted changes and new files included; never the build
# folders. The folder keeps its name from run to run, so the compiler cache knows its objects.
rm -rf "$work"
mkdir -p "$work/tessaline"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard) |
        tar -C "$src" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$work/tessaline" -xf -
else
    tar -C "$src" --exclude=./build --exclude='./build-*' -cf - . | tar -C "$work/tessaline" -xf -
fi
[ -f "$work/tessaline/debian/rules" ] || fail "could not copy the source tree into $work"

# debhelper gives the build a home of its own; the compiler cache stays where it is.
if command -v ccache >/dev/null 2>&1; then
    CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir 2>/dev/null || true)}
    config=${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf
    [ -n "${CCACHE_CONFIGPATH:-}" ] || [ ! -f "$config" ] || export CCACHE_CONFIGPATH="$config"
    [ -z "$CCACHE_DIR" ] || export CCACHE_DIR
fi
log=$work/dpkg-buildpackage.log
echo "building the source package in $work (log: $log)"
options=${DEB_BUILD_OPTIONS:-parallel=2}
if ! (cd "$work/tessaline" && DEB_BUILD_OPTIONS="nocheck $options" \
        dpkg-buildpackage -us -uc -b >"$log" 2>&1); then
    tail -n 60 "$log"
    fail "dpkg-buildpackage failed"
fi
rm -rf "$work/tessaline"
set -- "$work"/tessaline_*.deb
[ -f "$1" ] && [ $# -eq 1 ] || fail "expected one tessaline_*.deb in $work, got: $*"
source_deb=$1
echo "built $source_deb"

# "MODE PATH" of everything but folders, and the packages each one depends on (no versions).
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $6 }' | sort; }
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | sort -u; }
contents "$cpack_deb" >"$work/cpack.files"
contents "$source_deb" >"$work/source.files"
if ! diff -u "$work/cpack.files" "$work/source.files" >"$work/files.diff"; then
    cat "$work/files.diff"
    fail "the packages hold different files (- make package, + the source package)"
fi
depends "$cpack_deb" >"$work/cpack.depends"
# The source package's maintainer scripts for the user unit need deb-systemd-helper; CPack's
# package has no maintainer scripts.
depends "$source_deb" | grep -vx init-system-helpers >"$work/source.depends"
if ! diff -u "$work/cpack.depends" "$work/source.depends" >"$work/depends.diff"; then
    cat "$work/depends.diff"
    fail "the packages depend on different packages (- make package, + the source package)"
fi
for field in Package Version Section Maintainer Description; do
    [ "$(dpkg-deb -f "$cpack_deb" "$field")" = "$(dpkg-deb -f "$source_deb" "$field")" ] ||
        fail "$field differs: $(dpkg-deb -f "$cpack_deb" "$field") / $(dpkg-deb -f "$source_deb" "$field")"
done
echo "same $(wc -l <"$work/source.files") files and dependencies as make package"

if command -v lintian >/dev/null 2>&1; then
    if ! lintian --fail-on error,warning --display-info --tag-display-limit 0 "$source_deb" \
            >"$work/lintian.log" 2>&1; then
        cat "$work/lintian.log"
        fail "lintian reports errors or warnings for $(basename "$source_deb")"
    fi
    cat "$work/lintian.log"
    ! grep -q 'hardening-no-' "$work/lintian.log" || fail "lintian finds programs without hardening"
    echo "lintian: no errors, no warnings, no hardening tags"
fi
