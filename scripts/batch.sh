#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Runs the virtual camera's batch mode on colour photographs of varied scenes
# taken at run time from a Debian package (opencv-doc's sample images, read
# where the package installs them; none is copied into the repository), each
# through the scenarios of the batch, with the default modes and with the
# highlight guard and robust white balance. Writes build/camsim-batch/:
# batch.md, batch.csv and contact-sheet.png. Arguments go to quorvin-camsim.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
build_camsim opencv-doc

# The scenes, and what each brings: warm (apple, orange, fruits), saturated
# (baboon, fruits), high-key (smarties, stuff), low-key (messi5: a dark
# stadium crowd), dark sky (starry_night; building: a deep blue sky above a
# white facade), daylight with sky (home, leuvenA).
data=/usr/share/doc/opencv-doc/examples/data
photos=(apple.jpg baboon.jpg building.jpg fruits.jpg home.jpg leuvenA.jpg messi5.jpg
    orange.jpg smarties.png starry_night.jpg stuff.jpg)
dir="$QUORVIN_ROOT/build/photos"
rm -rf "$dir"
mkdir -p "$dir"
for p in "${photos[@]}"; do
    [ -f "$data/$p" ] || { echo "error: $data/$p missing (opencv-doc)" >&2; exit 1; }
    ln -s "$data/$p" "$dir/$p"
done
out="$QUORVIN_ROOT/build/camsim-batch"
echo "== batch: ${#photos[@]} photographs"
build/release/tools/quorvin-camsim --batch "$dir" --out "$out" --width 320 --height 240 "$@"
