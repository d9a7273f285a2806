#!/usr/bin/env bash
# Writes a PNG of every flat control in one window, as the Xvfb display shows it.
# Usage: screenshot.sh WINE_RUN SHOWCASE_EXE OUTPUT_PNG (DISPLAY and WINEPREFIX set).
set -euo pipefail
wine_run=$1
showcase=$2
png=$3
dir=$(dirname "$png")
mkdir -p "$dir"
bmp="$dir/$(basename "$png" .png).bmp"
rm -f "$bmp" "$png"
# Wine maps the working directory, so a relative name reaches the same folder.
(cd "$dir" && "$wine_run" "$showcase" "$(basename "$bmp")")
convert "$bmp" "$png"
rm -f "$bmp"
echo "screenshot: $png"
