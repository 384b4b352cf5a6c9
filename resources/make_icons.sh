#!/usr/bin/env bash
# Draws Seamwright's icons with ImageMagick: each is drawn once on a 256 x 256 canvas and
# scaled down. Mid-tone fills with a dark outline keep them readable on the dark and on the
# light colour mode. The results are committed; building the program does not run this.
# Usage: resources/make_icons.sh   (writes into resources/icons/ and dist/icons/)
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p icons
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

outline='#191919'
blue='#3c96dc'
orange='#e6962d'
paper='#d7dce1'

# Metadata and time chunks would make every run produce different bytes.
png_opts=(-strip -define png:exclude-chunks=date,time)

# An arc as a path of short segments, clockwise from angle a0 to angle a1 (ImageMagick's
# own arc primitives close the figure with a chord).
arc() { awk -v cx="$1" -v cy="$2" -v r="$3" -v a0="$4" -v a1="$5" 'BEGIN {
    d = atan2(0, -1) / 180
    for (a = a0; a <= a1; a += 5)
        printf "%s %.1f,%.1f ", (a == a0 ? "M" : "L"), cx + r * cos(a * d), cy + r * sin(a * d) }'; }

# Arrowhead triangle for a clockwise arc ending at `angle`: base across the line, tip ahead.
arrowhead() { awk -v cx="$1" -v cy="$2" -v r="$3" -v a="$4" -v len="$5" -v half="$6" 'BEGIN {
    t = a * atan2(0, -1) / 180
    px = cx + r * cos(t); py = cy + r * sin(t)
    nx = cos(t); ny = sin(t); tx = -sin(t); ty = cos(t)
    printf "%.1f,%.1f %.1f,%.1f %.1f,%.1f", px + nx * half, py + ny * half,
        px - nx * half, py - ny * half, px + tx * len, py + ty * len }'; }

# Clockwise quarter-turn arrow: an arc of 245 degrees from the lower right down, round the
# left and over the top, its head at the top pointing right. The counter-clockwise one is
# its mirror image.
ring=$(arc 128 136 80 40 285)
head=$(arrowhead 128 136 80 285 58 46)
convert -size 256x256 xc:none -fill none -stroke "$outline" -strokewidth 44 \
    -draw "stroke-linecap round stroke-linejoin round path '$ring'" \
    -fill "$outline" -stroke "$outline" -strokewidth 14 -draw "polygon $head" \
    -fill none -stroke "$blue" -strokewidth 28 \
    -draw "stroke-linecap round stroke-linejoin round path '$ring'" \
    -fill "$blue" -stroke none -draw "polygon $head" \
    "$work/cw.png"
convert "$work/cw.png" -resize 64x64 "${png_opts[@]}" PNG32:icons/rotate_cw.png
convert "$work/cw.png" -flop -resize 64x64 "${png_opts[@]}" PNG32:icons/rotate_ccw.png

# Exchange: an upper arrow to the right (blue, the left image moving over) and a lower
# arrow to the left (orange, the right image moving back).
convert -size 256x256 xc:none -stroke "$outline" -strokewidth 40 -fill none \
    -draw "stroke-linecap round line 36,84 170,84" \
    -draw "stroke-linecap round line 86,172 220,172" \
    -fill "$outline" -strokewidth 14 \
    -draw "polygon 160,36 160,132 228,84" -draw "polygon 96,124 96,220 28,172" \
    -fill none -stroke "$blue" -strokewidth 26 -draw "stroke-linecap round line 36,84 170,84" \
    -fill "$blue" -stroke none -draw "polygon 160,36 160,132 228,84" \
    -fill none -stroke "$orange" -strokewidth 26 -draw "stroke-linecap round line 86,172 220,172" \
    -fill "$orange" -stroke none -draw "polygon 96,124 96,220 28,172" \
    "$work/switch.png"
convert "$work/switch.png" -resize 64x64 "${png_opts[@]}" PNG32:icons/switch.png

# Window icon: a blue left sheet and an orange right sheet overlapping in a band, joined by
# a light seam running down the band from top to bottom.
seam='M 128,62 L 116,96 L 140,130 L 116,164 L 140,198 L 128,222'
convert -size 256x256 xc:none -stroke "$outline" -strokewidth 12 \
    -fill "$blue" -draw "roundrectangle 14,22 150,206 10,10" \
    -fill "$orange" -draw "roundrectangle 106,50 242,234 10,10" \
    -fill none -stroke "$outline" -strokewidth 26 \
    -draw "stroke-linecap round stroke-linejoin round path '$seam'" \
    -stroke "$paper" -strokewidth 12 \
    -draw "stroke-linecap round stroke-linejoin round path '$seam'" \
    "$work/seam.png"
convert "$work/seam.png" \
    \( -clone 0 -resize 48x48 \) \( -clone 0 -resize 32x32 \) \
    \( -clone 0 -resize 24x24 \) \( -clone 0 -resize 16x16 \) \
    -depth 8 "${png_opts[@]}" icons/seamwright.ico

# The window icon once more for desktops, one PNG per size of freedesktop's hicolor theme;
# dist/ installs them under share/icons/hicolor/SIZExSIZE/apps/.
mkdir -p ../dist/icons
for size in 16 24 32 48 64 128 256; do
    convert "$work/seam.png" -resize "${size}x${size}" "${png_opts[@]}" PNG32:"../dist/icons/seamwright-$size.png"
done
