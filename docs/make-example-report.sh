#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/example-report/ again: the report `tessaline-cli archive` writes for a tape of two
# recordings with a blank between them and a dropout in the first, played by the emulated deck,
# and a picture of its HTML page as a browser shows it.
#   docs/make-example-report.sh [BUILD_DIR]     (default build/default, built with the emulator)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(cd "${1:-$root/build/default}" && pwd)
cli="$build/tools/tessaline-cli"
fwemu="$build/tests/fwemu/libfwemu.so"
out="$here/example-report"
for f in "$cli" "$fwemu"; do
  [ -e "$f" ] || { echo "$f is missing: build the tests first (make test)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/data/sample-sd-192.ts" "$work/A.ts"
cp "$root/data/sample-sd.ts" "$work/B.ts"
cd "$work"
status=0
env -u TESSALINE_VIRTUAL_DECK -u TESSALINE_IEEE1394 LD_PRELOAD="$fwemu" FWEMU_PACE=fast \
  FWEMU_CASSETTE=A.ts,blank:4,B.ts FWEMU_TAPE_SECONDS=30 FWEMU_DAMAGE=drop@2+0.3 \
  "$cli" archive --out TAPE1 --id TAPE1 --tape-minutes 1 || status=$?
# Errors were found on this tape on purpose: exit status 1.
[ "$status" -eq 1 ] || { echo "archive exited with $status, not 1" >&2; exit 1; }
mkdir -p "$out"
cp TAPE1/TAPE1.report.json TAPE1/TAPE1.report.html TAPE1/manifest-sha256.txt "$out/"
if command -v chromium >/dev/null 2>&1; then
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1200,1800 \
    --screenshot="$out/TAPE1.report.png" "file://$out/TAPE1.report.html" >/dev/null 2>&1
else
  echo "chromium is not installed: no screenshot taken" >&2
fi
echo "wrote $out"
