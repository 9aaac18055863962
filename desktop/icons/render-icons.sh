#!/bin/sh
# Renders the PNG sizes of the program icon from tessaline.svg (needs rsvg-convert, Debian
# package librsvg2-bin). The PNGs are committed: the build and the window need no SVG renderer.
set -eu
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}"
    rsvg-convert -w "$size" -h "$size" tessaline.svg -o "${size}x${size}/tessaline.png"
done
