#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The IEEE 1394 paths through the real libraries, on the emulated bus (tests/fwemu):
#  1. CPU share of the receive path while tessaline-cli records a deck sending 28.2 Mbit/s of TS
#     in real time. The emulator's own bus thread ("fwemu-bus", standing in for the controller's
#     DMA) is left out; every thread of the program is counted.
#  2. Transmit pacing: tessaline-cli writes a file to the deck in real time; the deck compares the
#     bus time at which each PCR arrives with the PCR itself and reports the largest difference.
#     A stall shows in some runs only, so the write is run RUNS times and the worst is reported.
#   bench/fwemu-1394.sh [BUILD_DIR] [SECONDS] [RUNS]
set -eu
BUILD=${1:-build/default}
SPAN=${2:-10}
RUNS=${3:-3}
cd "$(dirname "$0")/.."
CLI="$BUILD/tools/tessaline-cli"
EMU="$BUILD/tests/fwemu/libfwemu.so"
[ -x "$CLI" ] && [ -f "$EMU" ] || { echo "build tessaline-cli and fwemu in $BUILD first" >&2; exit 1; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
HZ=$(getconf CLK_TCK)

# Ticks of user+system time of the threads of PID other than the emulator's bus thread.
program_ticks() {
    for t in /proc/"$1"/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = fwemu-bus ] && continue
        awk '{print $14 + $15}' "$t/stat" 2>/dev/null || true
    done | awk '{s += $1} END {print s + 0}'
}

env -u TESSALINE_VIRTUAL_DECK LD_PRELOAD="$EMU" FWEMU_PLAY=data/sample-hd-192.ts \
    FWEMU_RATE=28200000 FWEMU_LOOP=1 \
    "$CLI" record --seconds $((SPAN + 4)) --mode ts192 --out "$TMP/rec.m2ts" >"$TMP/rec.log" 2>&1 &
PID=$!
sleep 2
a=$(program_ticks $PID)
sleep "$SPAN"
b=$(program_ticks $PID)
wait $PID || { echo "record failed:" >&2; cat "$TMP/rec.log" >&2; exit 1; }
MB=$(stat -c %s "$TMP/rec.m2ts")
awk -v d=$((b - a)) -v hz="$HZ" -v s="$SPAN" -v mb="$MB" -v w=$((SPAN + 4)) 'BEGIN {
    printf "receive at 28.2 Mbit/s: %.2f %% of one core (%.1f Mbit/s recorded)\n",
        100 * d / hz / s, mb * 8 / 1e6 / w }'

worst=""
run=1
while [ "$run" -le "$RUNS" ]; do
    rm -f "$TMP/tape.m2ts" "$TMP/bus.log"
    env -u TESSALINE_VIRTUAL_DECK LD_PRELOAD="$EMU" FWEMU_TAPE="$TMP/tape.m2ts" \
        FWEMU_LOG="$TMP/bus.log" "$CLI" write data/sample-hd-192.ts >"$TMP/write.log" 2>&1 ||
        { echo "write failed:" >&2; cat "$TMP/write.log" >&2; exit 1; }
    line=$(grep -h "pacing" "$TMP/bus.log" | tail -1 | sed 's/^[0-9.]* //')
    [ -n "$line" ] || { echo "the deck reported no pacing figure (run $run)" >&2; exit 1; }
    echo "transmit run $run: $line"
    worst=$(printf '%s\n%s\n' "$worst" "$line" | sed -n 's/.*max-error-ms=\([0-9.]*\).*/\1 &/p' |
        sort -n | tail -1 | cut -d' ' -f2-)
    run=$((run + 1))
done
echo "transmit, worst of $RUNS runs: $worst"
