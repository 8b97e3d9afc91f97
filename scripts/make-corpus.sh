#!/usr/bin/env bash
# Assembles the real-world corpus into FOLDER: small pictures of the kinds users bring, made from
# files that Debian packages ship (see corpus-README.md beside this script for each source and its
# licence). Nothing of it is kept in the repository.
#
#   scripts/make-corpus.sh FOLDER
#
# FOLDER/profiles/ receives the ICC profiles the pictures carry, so a test can compare them byte for
# byte. A Display P3 profile that FOLDER/profiles/display-p3.icc already holds (the test writes Qt's)
# is embedded too. Exits 77, naming what is missing, when a tool or a source file is not installed.
set -euo pipefail

out=${1:?usage: make-corpus.sh FOLDER}
icc=/usr/share/color/icc
samples=/usr/share/matplotlib/mpl-data/sample_data

missing=()
for tool in convert exiftool heif-enc avifenc cjxl; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
for file in "$icc/sRGB.icc" "$icc/compatibleWithAdobeRGB1998.icc" "$icc/Gray.icc" "$icc/colord/sRGB.icc" \
  "$samples/grace_hopper.jpg" "$samples/Minduka_Present_Blue_Pack.png"; do
  [ -r "$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing: ${missing[*]} (scripts/install-deps.sh installs them)" >&2
  exit 77
fi

mkdir -p "$out/profiles"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Profiles. ImageMagick's built-in wizard carries the 1998 HP sRGB profile (3144 bytes) that cameras
# and Windows embed, and that libpng calls known incorrect.
convert wizard: icc:profiles/srgb-hp.icc
cp "$icc/sRGB.icc" profiles/srgb-v2.icc
cp "$icc/colord/sRGB.icc" profiles/srgb-v4.icc
cp "$icc/compatibleWithAdobeRGB1998.icc" profiles/adobe-rgb.icc
cp "$icc/Gray.icc" profiles/grey.icc

# The photo, upright, 48 pixels wide, and a second subject with transparency.
convert "$samples/grace_hopper.jpg" -resize 48x -strip "$tmp/photo.png"
convert "$samples/Minduka_Present_Blue_Pack.png" -resize 32x32 -strip "$tmp/alpha.png"

jpeg() { # SOURCE PROFILE TARGET [options...]
  local source=$1 profile=$2 target=$3
  shift 3
  convert "$source" "$@" -profile "profiles/$profile" -quality 92 "$target"
}

# Colour profiles of every kind.
jpeg "$tmp/photo.png" srgb-hp.icc srgb-hp.jpg
# ImageMagick would swap this profile for an sRGB chunk; exiftool embeds it as it is.
cp "$tmp/photo.png" chelsea.png
exiftool -q -overwrite_original "-ICC_Profile<=profiles/srgb-hp.icc" chelsea.png
jpeg "$tmp/photo.png" srgb-v4.icc srgb-v4.jpg
convert "$tmp/photo.png" -profile profiles/srgb-v2.icc srgb-v2.png
jpeg "$tmp/photo.png" adobe-rgb.icc adobe-rgb.jpg
if [ -r profiles/display-p3.icc ]; then
  jpeg "$tmp/photo.png" display-p3.icc display-p3.jpg
fi
convert "$tmp/photo.png" -colorspace Gray -depth 8 -profile profiles/grey.icc -define png:color-type=0 grey.png

# EXIF orientations 1 to 8: the stored pixels are the upright photo turned back, so every one of them
# shows the same picture once its orientation is applied.
undo=("" "" "-flop" "-rotate 180" "-flip" "-transpose" "-rotate 270" "-transverse" "-rotate 90")
for n in 1 2 3 4 5 6 7 8; do
  # shellcheck disable=SC2086
  jpeg "$tmp/photo.png" adobe-rgb.icc "orientation-$n.jpg" ${undo[$n]}
  exiftool -q -overwrite_original -n -Orientation="$n" "orientation-$n.jpg"
done

# JPEG encodings: progressive; CMYK, as print workflows leave them.
jpeg "$tmp/photo.png" srgb-v2.icc progressive.jpg -interlace JPEG
convert "$tmp/photo.png" -colorspace CMYK -quality 92 cmyk.jpg

# PNG layouts: 16 bits a channel; a palette with transparency (tRNS); resolution and text chunks.
convert "$tmp/photo.png" -depth 16 -profile profiles/srgb-v4.icc PNG48:deep.png
convert "$tmp/alpha.png" -colors 32 PNG8:palette-trns.png
convert "$tmp/photo.png" -units PixelsPerInch -density 300 -set comment "Rear Admiral Grace Hopper" \
  -set Title "Portrait" resolution-text.png

# A camera's JPEG: EXIF, XMP and IPTC beside its profile.
jpeg "$tmp/photo.png" srgb-hp.icc camera.jpg
exiftool -q -overwrite_original -Make=Corvane -Model="Pelmora One" -DateTimeOriginal="2024:05:01 10:00:00" \
  -XMP-dc:Creator=Ada -IPTC:Caption-Abstract="A portrait" -IPTC:Keywords=navy camera.jpg
for to in webp tiff jxl avif; do cp camera.jpg "camera-to-$to.jpg"; done

# Other containers: GIF (two frames), TIFF (LZW; two pages), WebP.
convert "$tmp/alpha.png" \( "$tmp/alpha.png" -negate \) -set delay 20 animation.gif
convert "$tmp/photo.png" -compress LZW -profile profiles/srgb-v2.icc lzw.tif
convert "$tmp/photo.png" \( "$tmp/photo.png" -flop \) -compress LZW pages.tif
convert "$tmp/photo.png" -quality 90 photo.webp

# Formats Qt reads through our own plugins, made by their libraries' encoders: a camera's HEIC (its
# EXIF and profile kept), a 10-bit AVIF of the 16-bit PNG, and a lossless JPEG XL with its profile.
heif-enc -q 90 -o camera.heic camera.jpg >/dev/null
avifenc -d 10 deep.png deep10.avif >/dev/null
cjxl -d 0 --quiet srgb-v2.png lossless.jxl
# A JPEG XL with EXIF and XMP (exiftool wraps the bare codestream in the boxed container to hold them),
# and one transcoded from a turned JPEG: cjxl moves the tag's turn into the codestream.
cp lossless.jxl tagged.jxl
exiftool -q -q -m -overwrite_original -Make=Corvane -XMP-dc:Creator=Ada tagged.jxl
cjxl --quiet --lossless_jpeg=1 orientation-6.jpg turned.jxl

# Names as people and programs give them.
cp srgb-v2.png "trip.day1.png"
cp srgb-v2.png "Screenshot 2024-01-01 at 10.23.45.png"
cp srgb-v2.png ".a.png"
cp adobe-rgb.jpg "Zdjęcie ü 写真.jpg"

# Cut off, as an interrupted download leaves them: each kept up to a share of its bytes that ends in
# its picture data (or, for the TIFF, in its colour profile, after the directory).
cut() { # NAME PERCENT
  head -c $(($(stat -c %s "$1") * $2 / 100)) "$1" >"cut-$1"
}
cut progressive.jpg 50
cut srgb-hp.jpg 80
cut srgb-v2.png 50
cut animation.gif 50
cut photo.webp 50
cut lzw.tif 66
cut camera.heic 50
cut deep10.avif 50
cut lossless.jxl 50
