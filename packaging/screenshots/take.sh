#!/usr/bin/env bash
# Retakes work-page.png, the software centre's screenshot: the built application under Xvfb, with the
# demo model pack as its install folder and three drawn pictures on its command line, as a file
# manager's "Open with" starts it. Settings and data go to a temporary home; nothing is downloaded.
# Usage: packaging/screenshots/take.sh   (after `make build`; needs xvfb-run, xwd and ImageMagick)
set -euo pipefail
cd "$(dirname "$0")/../.."
width=1100
height=660

bash scripts/demo-models.sh demo-models >/dev/null
# A fixed home, because the list and the output folder show its path.
home=/tmp/brivelle-demo
rm -rf "$home"
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config/Corvane" "$home/Pictures/Holiday"
printf '[General]\nPath=%s\n' "$PWD/demo-models" >"$home/config/Corvane/Brivelle AI.conf"
printf '[General]\nposX=0\nposY=0\nwidth=%d\nheight=%d\n' "$width" "$height" >"$home/config/Corvane/Pelmora.conf"

# Plasma fractals drawn by ImageMagick from fixed seeds: pictures that are nobody's work.
pictures=("$home/Pictures/Holiday/"{fractal.webp,moss.png,evening-clouds.jpg})
convert -size 640x480 -seed 3 plasma:fractal -blur 0x1 "${pictures[0]}"
convert -size 800x800 -seed 12 plasma:forestgreen-khaki -blur 0x2 "${pictures[1]}"
convert -size 960x640 -seed 7 plasma:steelblue-orange -blur 0x8 "${pictures[2]}"

HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" BRIVELLE_SERVER_URL=http://127.0.0.1:9 \
    xvfb-run -a -s "-screen 0 ${width}x${height}x24" bash -c '
        ./build/brivelle "$@" 2>/dev/null &
        app=$!
        # The list, the thumbnails and the preview settle within a few seconds.
        sleep 5
        xwd -root -silent > "'"$home"'/screen.xwd"
        kill "$app"' _ "${pictures[@]}"
convert "$home/screen.xwd" -strip packaging/screenshots/work-page.png
echo "packaging/screenshots/work-page.png: $(identify -format '%wx%h' packaging/screenshots/work-page.png)"
