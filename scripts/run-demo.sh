#!/bin/sh
# What `make run` starts: the most useful thing the program does so far.
set -eu
BUILD=${1:-build/default}
cd "$(dirname "$0")/.."

# The window, when a desktop can show it; its device box lists the virtual deck, which plays the
# bundled sample unless TESSALINE_VIRTUAL_DECK names another file.
WINDOW="$BUILD/app/tessaline"
if [ -x "$WINDOW" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } &&
    "$WINDOW" --probe-display >/dev/null 2>&1; then
    # On the demo's first run the virtual deck starts out chosen in the device box.
    [ -n "${TESSALINE_INI:-}" ] || [ -e "$WINDOW.INI" ] || printf '[Capture]\nDevice=0\n' >"$WINDOW.INI"
    exec "$WINDOW"
fi
echo "No desktop to show the window on (DISPLAY/WAYLAND_DISPLAY unset, or the Qt platform" \
    "plugin does not load); running the command-line demo instead." >&2
exec "$BUILD/tools/tessaline-cli" scan data/sample-*.ts
