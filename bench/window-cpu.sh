#!/bin/sh
# CPU share of the window process while it records with both tick threads running: the window is
# started offscreen with "-S" on the virtual deck (the bundled HD sample at its own rate), and the
# process's user+system time is read from /proc over two spans: while the deck delivers, and
# afterwards, when only the ticks and the page refresh run while the recording goes on. For
# comparison, the same window without a recording (ticks idle). SIGTERM then closes the window,
# which finishes and renames the file.
#   bench/window-cpu.sh [BUILD_DIR] [SECONDS]
set -eu
BUILD=${1:-build/default}
SPAN=${2:-10}
cd "$(dirname "$0")/.."
WINDOW="$BUILD/app/tessaline"
[ -x "$WINDOW" ] || { echo "build $WINDOW first" >&2; exit 1; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
HZ=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# measure PID SECONDS: percent of one core used by PID over SECONDS
measure() {
    a=$(cpu_ticks "$1")
    sleep "$2"
    b=$(cpu_ticks "$1")
    awk -v d=$((b - a)) -v hz="$HZ" -v s="$2" 'BEGIN { printf "%.2f", 100 * d / hz / s }'
}

run() {  # run NAME ARGS...: starts the window, prints its CPU shares, closes it
    name=$1
    shift
    dir="$TMP/$name"
    mkdir -p "$dir"
    printf '[Capture]\nDevice=0\nSaveDir=%s/\nConvPES=1\nTrimPacket=1\n' "$dir" >"$dir/t.INI"
    TESSALINE_INI="$dir/t.INI" TESSALINE_VIRTUAL_DECK="$PWD/data/sample-hd-192.ts" \
        TESSALINE_POWER=dry-run QT_QPA_PLATFORM=offscreen "$WINDOW" "$@" 2>"$dir/err" &
    pid=$!
    sleep 1  # start-up
    delivering=$(measure "$pid" 3)
    sleep 1
    ticks=$(measure "$pid" "$SPAN")
    kill -TERM "$pid"
    wait "$pid" || true
    echo "$name: ${delivering}% of one core while the deck delivers (3 s)," \
        "${ticks}% afterwards (${SPAN} s)"
    ls -l "$dir" | grep -v ' t.INI\| err' | tail -n +2 || true
}

echo "window CPU share (user+system), $(nproc) cores, tick period 50 ms"
run recording -S
run idle
