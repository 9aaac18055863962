#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages the build, the tests and the window need, but only those missing,
# so that a machine that has them all is not touched (and needs no network).
set -eu

PACKAGES="cmake ninja-build g++ make pkgconf libgtest-dev libgmock-dev libbenchmark-dev \
ffmpeg tstools"
# The window: Qt 6 Widgets (the offscreen platform for tests comes with it), the desktop platform
# plugins, and a font with the Japanese captions.
PACKAGES="$PACKAGES qt6-base-dev qt6-qpa-plugins fonts-noto-cjk"
# Installing and packaging: the desktop entry's checker (tests), dpkg-shlibdeps for the .deb,
# Debian's package checker and the AppStream validator (tests).
PACKAGES="$PACKAGES desktop-file-utils dpkg-dev lintian appstream"
# The Debian source package (the source_package test builds it): debhelper, and the optional
# libraries of the report's stills, which debian/control lists.
PACKAGES="$PACKAGES debhelper libavcodec-dev libavutil-dev libswscale-dev"
# Real decks on IEEE 1394.
PACKAGES="$PACKAGES libraw1394-dev libavc1394-dev libiec61883-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

echo "Installing missing packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "error: packages missing ($missing) and not running as root; install them and retry" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
