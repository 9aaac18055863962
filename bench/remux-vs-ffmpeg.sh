#!/bin/sh
# Times `tessaline-cli remux` against `ffmpeg -c copy -f vob` and `cat` on a large 24 Mbit/s
# 1440x1080 MPEG-2 transport stream, alternating the three in one run, and prints the median
# wall-time ratios and tessaline's peak memory. The input is generated once (ffmpeg) and kept.
#
#   bench/remux-vs-ffmpeg.sh [CLI] [INPUT.ts]      (defaults: build/release CLI, generated input)
#   RUNS=7 SECONDS_OF_VIDEO=120 bench/remux-vs-ffmpeg.sh
set -eu
cd "$(dirname "$0")/.."

CLI=${1:-build/release/tools/tessaline-cli}
INPUT=${2:-}
RUNS=${RUNS:-5}
SECONDS_OF_VIDEO=${SECONDS_OF_VIDEO:-110}
WORK=${WORK:-build/bench-data}
mkdir -p "$WORK"

if [ ! -x "$CLI" ]; then
    echo "building $CLI" >&2
    cmake --preset release >/dev/null && cmake --build --preset release -j2 >/dev/null
fi

if [ -z "$INPUT" ]; then
    INPUT="$WORK/hd24.ts"
    if [ ! -s "$INPUT" ]; then
        echo "generating $INPUT (${SECONDS_OF_VIDEO} s of 24 Mbit/s 1440x1080 MPEG-2 + MP2)" >&2
        ffmpeg -hide_banner -loglevel error -y \
            -f lavfi -i "testsrc2=size=1440x1080:rate=30000/1001:duration=$SECONDS_OF_VIDEO" \
            -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=$SECONDS_OF_VIDEO" \
            -c:v mpeg2video -b:v 24M -maxrate 24M -minrate 24M -bufsize 7340032 -g 15 -bf 2 \
            -aspect 16:9 -c:a mp2 -b:a 256k -muxrate 25M -f mpegts "$INPUT"
    fi
fi
INPUT192="${INPUT%.ts}-192.ts"
if [ ! -s "$INPUT192" ] || [ "$INPUT192" -ot "$INPUT" ]; then
    echo "wrapping $INPUT into 192-byte source packets" >&2
    perl -e 'my ($i,$o)=@ARGV; open(I,"<:raw",$i) or die; open(O,">:raw",$o) or die;
             my ($b,$n)=("",0); while (read(I,$b,188)==188) { print O pack("N",($n++*100)&0x3FFFFFFF),$b; }' \
        "$INPUT" "$INPUT192"
fi
OUT="$WORK/out.mpg"
SIZE=$(stat -c %s "$INPUT")
echo "input: $INPUT ($((SIZE / 1000000)) MB), $RUNS runs each" >&2

# Page-cache both inputs so every contender reads from memory.
cat "$INPUT" "$INPUT192" >/dev/null

now() { date +%s.%N; }
elapsed() { # command... -> seconds
    t0=$(now); "$@"; t1=$(now)
    echo "$t0 $t1" | awk '{printf "%.4f\n", $2 - $1}'
}
median() { sort -n | awk '{a[NR]=$1} END {if (NR % 2) print a[(NR+1)/2]; else printf "%.4f\n", (a[NR/2]+a[NR/2+1])/2}'; }

run_tessaline() { "$CLI" remux --quiet "$1" "$OUT"; }
run_ffmpeg() { ffmpeg -hide_banner -loglevel error -y -i "$1" -c copy -f vob "$OUT"; }
run_cat() { cat "$1" > "$OUT"; }

: > "$WORK/t188"; : > "$WORK/t192"; : > "$WORK/tff"; : > "$WORK/tcat"
i=0
while [ $i -lt "$RUNS" ]; do
    elapsed run_tessaline "$INPUT" >> "$WORK/t188"
    elapsed run_ffmpeg "$INPUT" >> "$WORK/tff"
    elapsed run_cat "$INPUT" >> "$WORK/tcat"
    elapsed run_tessaline "$INPUT192" >> "$WORK/t192"
    i=$((i + 1))
done

T188=$(median < "$WORK/t188"); T192=$(median < "$WORK/t192")
TFF=$(median < "$WORK/tff"); TCAT=$(median < "$WORK/tcat")
RSS=$(/usr/bin/time -f %M "$CLI" remux --quiet "$INPUT" "$OUT" 2>&1 >/dev/null | tail -n 1)
RSS192=$(/usr/bin/time -f %M "$CLI" remux --quiet "$INPUT192" "$OUT" 2>&1 >/dev/null | tail -n 1)
rm -f "$OUT"

echo "median wall time: tessaline-188 ${T188}s  tessaline-192 ${T192}s  ffmpeg ${TFF}s  cat ${TCAT}s"
echo "$T188 $TFF $TCAT $T192" | awk '{
    printf "tessaline/ffmpeg  %.2f   (target <= 0.6)\n", $1 / $2;
    printf "tessaline/cat     %.2f   (target <= 2.0)\n", $1 / $3;
    printf "192-byte/188-byte %.2f   (target <= 1.2)\n", $4 / $1 }'
echo "peak memory: ${RSS} KB (188-byte input), ${RSS192} KB (192-byte input) for a $((SIZE / 1000000)) MB file"
