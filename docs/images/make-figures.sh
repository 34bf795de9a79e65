#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Remakes the figures of docs/driver-guide.md with the virtual camera and
# gnuplot: bash docs/images/make-figures.sh (after bash scripts/run.sh has
# built build/release).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cam="$root/build/release/tools/quorvin-camsim"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() { # run NAME ARGS...: one run into $work/NAME
    local name=$1
    shift
    "$cam" --out "$work/$name" "$@" >/dev/null
}

# The default scenario: pictures and the program's own plots.
run chart --width 256 --height 192
cp "$work/chart/first-last.png" "$here/chart-first-last.png"
run chart-full
cp "$work/chart-full/plot-brightness.png" "$here/chart-brightness.png"
cp "$work/chart-full/plot-colour-gains.png" "$here/chart-colour-gains.png"
cp "$work/chart-full/plot-grey-error.png" "$here/chart-grey-error.png"
run lights-on --scenario lights-on --no-plots
run dim-room --scenario dim-room --no-plots

# Settings compared on the same scene.
run speed0 --no-plots
run speed3 --no-plots --shutter-speed 3
run speed7 --no-plots --shutter-speed 7
run frames-fast --no-plots --skip 0 --average 1
run frames-slow --no-plots --skip 8 --average 8
run sunset --no-plots --scenario sunset
run sunset-narrow --no-plots --scenario sunset --tolerance 2 --threshold 2
run sunset-wide --no-plots --scenario sunset --tolerance 12 --threshold 12
run target96 --no-plots --target 96
run target160 --no-plots --target 160
run alc --no-plots --entry alc

# brightness NAME TITLE RUN LABEL [RUN LABEL]...: the gnuplot lines of a
# figure NAME.png, the brightness of each run as one line, in the ranges set.
brightness() {
    local name=$1 title=$2 lead='plot '
    shift 2
    printf "\nset output '%s.png'\nset title '%s'\n" "$name" "$title"
    while (($# >= 2)); do
        printf "%s'%s/trace.csv' using 1:@b with lines lw 2 title '%s'" "$lead" "$1" "$2"
        lead=$', \\\n     '
        shift 2
    done
    printf '\n'
}

cd "$work"
{
    cat <<'GP'
set terminal pngcairo size 760,300 font 'sans,9'
set datafile separator ','
set key autotitle columnhead right bottom
set grid
set xlabel 'frame'
set ylabel 'brightness (0..255)'
set yrange [0:255]
set xrange [0:120]
# Frames that Quorvin_ImageBalance returned uncorrected are left out.
b = '($23 == 1 ? 1/0 : $5)'
GP
    brightness speed \
        'Exposure speed limit (--shutter-speed S: one step changes the exposure by at most 1/(S+1))' \
        speed0 'S = 0 (default)' speed3 'S = 3' speed7 'S = 7'
    brightness frames 'Frame counts (--skip, --average): frames per evaluation' \
        frames-fast 'skip 0, average 1' speed0 'skip 3, average 4 (default)' \
        frames-slow 'skip 8, average 8'
    brightness target 'Target (--target)' \
        target96 'target 96' speed0 'target 128 (default)' target160 'target 160'
    cat <<'GP'
set xrange [0:360]
set yrange [80:180]
set key top right
GP
    brightness band \
        'Dead band on a slow sunset (--tolerance T --threshold H: rests within T + H, stops within T)' \
        sunset-narrow 'T 2, H 2' sunset 'T 5, H 5 (default)' sunset-wide 'T 12, H 12'
    cat <<'GP'
set key right bottom
set yrange [0:255]

set output 'lights-on.png'
set title 'Lights switched on (16x) at frame 100: gain comes down first, then the exposure'
set xrange [80:180]
set ylabel 'brightness / gain register'
set yrange [0:260]
set y2label 'exposure (ms)'
set y2range [0:35]
set y2tics
set ytics nomirror
plot 'lights-on/trace.csv' using 1:@b with lines lw 2 title 'brightness', \
     '' using 1:10 with steps lw 2 title 'gain register', \
     '' using 1:9 axes x1y2 with steps lw 2 title 'exposure (ms)'

set output 'dim-room.png'
set title 'Dim tungsten room (20 lux): exposure to one frame, then the gain'
set xrange [0:120]
plot 'dim-room/trace.csv' using 1:@b with lines lw 2 title 'brightness', \
     '' using 1:10 with steps lw 2 title 'gain register', \
     '' using 1:9 axes x1y2 with steps lw 2 title 'exposure (ms)'
unset y2tics
unset y2label
set ytics mirror

set key top right
set output 'entry-grey-error.png'
set title 'Greys colour error: module correction (image) against camera colour gains in 1/16 (alc)'
set xrange [0:200]
set ylabel 'grey error (%)'
set yrange [0:12]
plot 2 with lines dt 2 lc rgb '#555555' title '2 %', \
     'speed0/trace.csv' using 1:($23 == 1 ? 1/0 : $19*100) with lines lw 2 title '--entry image', \
     'alc/trace.csv' using 1:($19*100) with lines lw 2 title '--entry alc'
GP
} >figures.gp
gnuplot figures.gp
cp speed.png frames.png target.png band.png lights-on.png dim-room.png entry-grey-error.png "$here/"
echo "figures written to $here"
