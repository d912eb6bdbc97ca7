#!/bin/sh
# Draws the window's pictures. The build uses the committed files; run this
# (ImageMagick 6) only to change them. Output is byte-for-byte repeatable.
set -eu
cd "$(dirname "$0")/new/prefix1/image"

# No timestamps or other chunks that would change from run to run.
PNG_OPTS="-strip -define png:exclude-chunks=date,time,tIME"

# sun SIZE COLOUR: a disc with twelve rounded rays on transparency.
sun() {
    size=$1; colour=$2
    c=$((size / 2)); r=$((size * 22 / 100))
    ray_in=$((size * 31 / 100)); ray_out=$((size * 46 / 100)); w=$((size * 4 / 100))
    draw="fill $colour circle $c,$c $c,$((c - r))"
    a=0
    while [ $a -lt 360 ]; do
        draw="$draw push graphic-context translate $c,$c rotate $a roundrectangle $((-w)),$((-ray_out)) $w,$((-ray_in)) $w,$w pop graphic-context"
        a=$((a + 30))
    done
    convert -size "${size}x${size}" xc:none -fill "$colour" -draw "$draw" "$3"
}

sun 256 '#4a4a4a' png:- | convert png:- -colorspace Gray \
    -define png:color-type=4 -define png:bit-depth=8 $PNG_OPTS sun.png

# Application icon: the sun on the slider's blue, with a half-lit disc.
convert -size 140x140 xc:none -fill '#0073ef' -draw 'roundrectangle 6,6 133,133 26,26' \
    \( -size 140x140 xc:none -fill white -draw 'circle 70,70 70,47' \
       -fill '#0073ef' -draw 'path "M 70,47 A 23,23 0 0,1 70,93 Z"' \
       -fill none -stroke white -strokewidth 4 -draw 'circle 70,70 70,49' \) -composite \
    \( -size 140x140 xc:none -fill white \
       -draw 'push graphic-context translate 70,70 rotate 0 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 45 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 90 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 135 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 180 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 225 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 270 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \
       -draw 'push graphic-context translate 70,70 rotate 315 roundrectangle -4,-56 4,-38 4,4 pop graphic-context' \) -composite \
    -define png:color-type=6 -define png:bit-depth=8 $PNG_OPTS PNG32:dorvantel.png

# Large artwork, carried for packaging; the window does not read it.
sun 2000 '#f5a300' PNG32:brightness.png
convert brightness.png -define png:color-type=6 -define png:bit-depth=8 $PNG_OPTS PNG32:brightness.png

# Small dim and bright suns on white, baseline JPEG with three components.
sun 80 '#9a9a9a' png:- | convert png:- -background white -flatten -resize 20x20 \
    -type TrueColor -colorspace sRGB -interlace none -strip -quality 90 2-1.jpg
sun 80 '#f5a300' png:- | convert png:- -background white -flatten -resize 20x20 \
    -type TrueColor -colorspace sRGB -interlace none -strip -quality 90 2-2.jpg
