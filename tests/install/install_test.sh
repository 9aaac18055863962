#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a staging folder (DESTDIR) as a package would and checks the result:
# every file where the desktop and manual conventions put it, a desktop entry the validator
# accepts, programs that run from there and point nowhere into the build tree. The udev rules
# follow the prefix: beside the system's for /usr, the administrator's folder for any other, and
# none (with a note, not a failure) for a prefix in the home folder.
# usage: install_test.sh SOURCE_DIR BUILD_DIR VERSION
set -eu
src=$1
build=$2
version=$3
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || { cat "$stage.log"; rm -f "$stage.log"; fail "cmake --install"; }
rm -f "$stage.log"
root="$stage/usr"

for program in tessaline tessaline-cli; do
    [ -x "$root/bin/$program" ] || fail "bin/$program missing or not executable"
    if readelf -d "$root/bin/$program" | grep -E 'RPATH|RUNPATH' | grep -q "$build"; then
        fail "bin/$program still looks for libraries in the build tree"
    fi
done

entry="$root/share/applications/tessaline.desktop"
[ -f "$entry" ] || fail "desktop entry missing"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects the desktop entry"
grep -qx 'Name=D-VHS Tessaline' "$entry" || fail "desktop entry name"
grep -q '^Categories=.*AudioVideo;.*Recorder;' "$entry" || fail "desktop entry categories"
# Exec runs the installed program and passes no file field codes (it opens no files).
grep '^Exec=' "$entry" | while IFS= read -r line; do
    program=${line#Exec=}
    program=${program%% *}
    [ -x "$root/bin/$program" ] || fail "Exec names $program, which is not installed"
    case "$line" in *%*) fail "Exec has a field code: $line" ;; esac
done
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "$root/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "scalable icon $icon.svg"
for size in 16 22 24 32 48 64 128 256; do
    png="$root/share/icons/hicolor/${size}x${size}/apps/$icon.png"
    [ -f "$png" ] || fail "icon $png missing"
    # The PNG header's width and height (bytes 17-24, big-endian) are the folder's size.
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
    [ "$dims" = "${size}x${size}" ] || fail "icon ${size}x${size} is $dims"
done

for page in tessaline tessaline-cli; do
    [ -f "$root/share/man/man1/$page.1.gz" ] || fail "manual page $page.1.gz missing"
    man="$stage/$page.1"
    zcat "$root/share/man/man1/$page.1.gz" >"$man" || fail "$page.1.gz does not uncompress"
    grep -q "@PROJECT_VERSION@" "$man" && fail "$page.1 still has a placeholder"
    grep -q "Tessaline $version" "$man" || fail "$page.1 does not carry version $version"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(groff -man -ww -z "$man" 2>&1) || true
        [ -z "$warnings" ] || fail "$page.1: $warnings"
    fi
done

[ -f "$root/share/doc/tessaline/copyright" ] || fail "copyright missing"
zcat "$root/share/doc/tessaline/changelog.gz" | head -n 1 | grep -q "^tessaline ($version) " \
    || fail "changelog.gz does not start with version $version"
set -- "$root"/share/metainfo/*.metainfo.xml
[ -f "$1" ] || fail "AppStream metadata missing"
for rules in "$src"/desktop/udev/*.rules; do
    cmp -s "$rules" "$root/lib/udev/rules.d/$(basename "$rules")" \
        || fail "udev rules $(basename "$rules") not in /usr/lib/udev/rules.d"
done

# The timetable service's user unit runs the installed tool.
unit="$root/lib/systemd/user/tessaline-schedule.service"
[ -f "$unit" ] || fail "systemd user unit tessaline-schedule.service missing"
grep -qx 'ExecStart=/usr/bin/tessaline-cli schedule' "$unit" ||
    fail "the unit's ExecStart: $(grep '^ExecStart' "$unit")"
grep -qx 'WantedBy=default.target' "$unit" || fail "the unit is not wanted by default.target"

out=$("$root/bin/tessaline-cli" --version) || fail "installed tessaline-cli --version failed"
[ "$out" = "tessaline-cli $version" ] || fail "tessaline-cli --version said: $out"
echo "installed tree checked: $(find "$stage" -type f | wc -l) files"

# Under /usr/local udev would never read them: they go to /etc/udev/rules.d.
local_stage="$stage/local"
DESTDIR="$local_stage" cmake --install "$build" --prefix /usr/local >"$stage/local.log" 2>&1 \
    || { cat "$stage/local.log"; fail "cmake --install --prefix /usr/local"; }
for rules in "$src"/desktop/udev/*.rules; do
    [ -f "$local_stage/etc/udev/rules.d/$(basename "$rules")" ] \
        || fail "prefix /usr/local: $(basename "$rules") not in /etc/udev/rules.d"
done
[ ! -e "$local_stage/usr/local/lib/udev" ] || fail "prefix /usr/local: rules where udev never looks"

# A user's own prefix cannot hold them; the install goes on and says how to add them by hand.
home="$stage/home"
mkdir -p "$home"
env -u DESTDIR HOME="$home" cmake --install "$build" --prefix "$home/.local" >"$stage/home.log" 2>&1 \
    || { cat "$stage/home.log"; fail "cmake --install into the home folder"; }
[ -x "$home/.local/bin/tessaline-cli" ] || fail "home prefix: tessaline-cli not installed"
grep -q "Not installing the udev rules" "$stage/home.log" || fail "home prefix: no note on the udev rules"
leftover=$(find "$stage/home" -name '*.rules')
[ -z "$leftover" ] || fail "home prefix: rules installed where udev never looks: $leftover"
echo "udev rules follow the prefix"
