#!/bin/sh
# Regenerates the small sample transport streams under data/. They are committed, so nothing at
# build or run time needs ffmpeg; run this only to change them.
#
#   sample-sd.ts       188-byte TS, 720x480 29.97 fps 4:3 MPEG-2 video, MP2 48 kHz 192 kbit/s, 5 s
#   sample-sd-192.ts   the same packets as 192-byte source packets (4-byte header in front of each)
#   sample-hd-192.ts   192-byte source packets, 1440x1080 16:9 MPEG-2, MP2, constant 6 Mbit/s mux
#                      with null packets, 3 s (the shape of a D-VHS HS recording)
#   sample-ac3.ts      188-byte TS, MPEG-2 video with AC-3 audio in private_stream_1, 2 s
set -eu
cd "$(dirname "$0")"

FF="ffmpeg -hide_banner -loglevel error -y"
BITEXACT="-fflags +bitexact -flags:v +bitexact -flags:a +bitexact"

# Wraps each 188-byte packet into a 192-byte source packet whose header carries a 30-bit arrival
# time stamp (27 MHz clock) advancing at the given mux rate.
wrap192() {
    perl -e '
        my ($in, $out, $rate) = @ARGV;
        open(my $i, "<:raw", $in) or die "$in: $!";
        open(my $o, ">:raw", $out) or die "$out: $!";
        my ($buf, $n) = ("", 0);
        my $ticks = int(27000000 * 188 * 8 / $rate);
        while (read($i, $buf, 188) == 188) {
            print $o pack("N", ($n * $ticks) & 0x3FFFFFFF), $buf;
            $n++;
        }' "$1" "$2" "$3"
}

$FF -f lavfi -i "testsrc2=size=720x480:rate=30000/1001:duration=5" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=5" \
    -c:v mpeg2video -b:v 3M -maxrate 3M -minrate 3M -bufsize 1835008 -g 15 -bf 2 -aspect 4:3 \
    -c:a mp2 -b:a 192k -ac 2 $BITEXACT -f mpegts sample-sd.ts
wrap192 sample-sd.ts sample-sd-192.ts 4000000

$FF -f lavfi -i "testsrc2=size=1440x1080:rate=30000/1001:duration=3" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=3" \
    -c:v mpeg2video -b:v 4M -maxrate 4M -minrate 4M -bufsize 3670016 -g 15 -bf 2 -aspect 16:9 \
    -c:a mp2 -b:a 256k -ac 2 $BITEXACT -muxrate 6M -f mpegts hd.tmp.ts
wrap192 hd.tmp.ts sample-hd-192.ts 6000000
rm -f hd.tmp.ts

$FF -f lavfi -i "testsrc2=size=720x480:rate=30000/1001:duration=2" \
    -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=2" \
    -c:v mpeg2video -b:v 2M -g 15 -aspect 16:9 -c:a ac3 -b:a 192k -ac 2 \
    $BITEXACT -f mpegts sample-ac3.ts


ls -l sample-*.ts
