#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the AppStream metadata the build makes: appstreamcli accepts it without the network, it
# launches the desktop entry we install, announces this version with the date of its changelog
# entry, and shows every screenshot in docs/screenshots/ (and no other).
# usage: metainfo_test.sh SOURCE_DIR BUILD_DIR VERSION
set -eu
src=$1
build=$2
version=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v appstreamcli >/dev/null 2>&1; then
    echo "SKIP: appstreamcli is not installed (Debian package appstream; scripts/install-deps.sh installs it)"
    exit 77
fi

set -- "$build"/desktop/*.metainfo.xml
[ -f "$1" ] && [ $# -eq 1 ] || fail "expected one metainfo file in $build/desktop, got: $*"
meta=$1
appstreamcli validate --no-net --pedantic --explain "$meta" || fail "appstreamcli rejects $meta"
id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$meta")
[ "$(basename "$meta")" = "$id.metainfo.xml" ] || fail "file name $(basename "$meta") is not the component ID $id"

launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$meta")
[ -f "$src/desktop/$launchable" ] || fail "launchable $launchable is not our desktop entry"

release=$(grep '<release ' "$meta")
case "$release" in *"version=\"$version\""*) ;; *) fail "release is not $version: $release" ;; esac
# The changelog's trailer, e.g. " -- Name <a@b>  Wed, 09 Dec 2026 09:00:00 +0000", gives the date.
stamp=$(sed -n 's/^ -- .*>  //p' "$src/debian/changelog" | head -n 1)
date=$(date -u -d "$stamp" +%Y-%m-%d) || fail "changelog date: $stamp"
case "$release" in *"date=\"$date\""*) ;; *) fail "release date is not the changelog's $date: $release" ;; esac
head -n 1 "$src/debian/changelog" | grep -q "^tessaline ($version) " \
    || fail "the changelog's latest entry is not $version: $(head -n 1 "$src/debian/changelog")"

shown=$(sed -n 's:.*<image[^>]*>.*/\([^/]*\.png\)</image>.*:\1:p' "$meta" | sort)
have=$(cd "$src/docs/screenshots" && ls -- *.png | sort)
[ "$shown" = "$have" ] || fail "screenshots shown: $(echo $shown); in docs/screenshots: $(echo $have)"
echo "metainfo checked: $meta"
