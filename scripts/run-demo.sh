#!/bin/sh
# What `make run` starts: a 10-second recording from the virtual deck, which plays the bundled
# sample at the stream's own rate (it ends after about 3 seconds, when the sample does), converted
# to an MPEG-2 program stream, with the stream information shown live.
set -eu
BUILD=${1:-build/default}
cd "$(dirname "$0")/.."
OUT=build/demo/recording.mpg
mkdir -p build/demo
export TESSALINE_VIRTUAL_DECK="$PWD/data/sample-hd-192.ts"
"$BUILD/tools/tessaline-cli" devices
"$BUILD/tools/tessaline-cli" record --seconds 10 --mode ps --out "$OUT"
echo "Recorded $OUT: $(wc -c < "$OUT") bytes"
