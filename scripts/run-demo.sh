#!/bin/sh
# What `make run` starts: the window when a desktop can show it; otherwise a 10-second recording
# from the virtual deck, which plays the bundled sample at the stream's own rate (it ends after
# about 3 seconds, when the sample does), converted to an MPEG-2 program stream, with the stream
# information shown live.
set -eu
BUILD=${1:-build/default}
cd "$(dirname "$0")/.."
# Without a deck, the virtual deck stands in; it exists only when TESSALINE_VIRTUAL_DECK names a
# stream file, here the bundled sample unless the caller names another one. Power actions after a
# reservation are printed, not made.
export TESSALINE_VIRTUAL_DECK="${TESSALINE_VIRTUAL_DECK:-$PWD/data/sample-hd-192.ts}"
export TESSALINE_POWER="${TESSALINE_POWER:-dry-run}"

# The window, when a desktop can show it, with the virtual deck chosen in its device box, so that
# Rec. records the sample at once.
WINDOW="$BUILD/app/tessaline"
if [ -x "$WINDOW" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } &&
    "$WINDOW" --probe-display >/dev/null 2>&1; then
    # On the demo's first run the virtual deck starts out chosen in the device box.
    [ -n "${TESSALINE_INI:-}" ] || [ -e "$WINDOW.INI" ] || printf '[Capture]\nDevice=0\n' >"$WINDOW.INI"
    exec "$WINDOW"
fi
echo "No desktop to show the window on (DISPLAY/WAYLAND_DISPLAY unset, or the Qt platform" \
    "plugin does not load); running the command-line demo instead." >&2
OUT=build/demo/recording.mpg
mkdir -p build/demo
"$BUILD/tools/tessaline-cli" devices
"$BUILD/tools/tessaline-cli" record --seconds 10 --mode ps --out "$OUT"
echo "Recorded $OUT: $(wc -c < "$OUT") bytes"
