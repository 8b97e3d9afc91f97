#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Brivelle AI needs.
# Idempotent: when everything is present it only checks and exits.
set -euo pipefail

packages=(
  # toolchain; clang-format (14 on Debian 12) is the formatting that CI checks (scripts/check-format.sh)
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev clang-format
  # Qt 6 (widgets, network, concurrent, test), its tools and plugins
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-image-formats-plugins libgl-dev
  # result files: PNG encoding at 16 bits and the metadata of the source pictures
  libpng-dev libexiv2-dev
  # reading HEIF, HEIC and AVIF (libheif) and JPEG XL (libjxl); TIFF, JPEG XL and AVIF results
  # (libtiff, libjxl, libavif); their command-line encoders and decoders make and read the tests' files
  libheif-dev libjxl-dev libtiff-dev libavif-dev libheif-examples libavif-bin libjxl-tools
  # the resize benchmark's reference (libvips' Lanczos-3), against which the finishing stage's is measured
  libvips-dev
  # inference runtime: oneDNN for the CPU, Vulkan loader, lavapipe, shader compiler, validation
  libdnnl-dev libvulkan-dev mesa-vulkan-drivers glslang-tools vulkan-validationlayers vulkan-tools
  # tests and screenshots; GNU parallel runs the command line's shards as a scheduler would
  libgtest-dev xvfb xauth x11-apps imagemagick parallel
  # the real-world picture corpus (scripts/make-corpus.sh): colour profiles, a sample photo, EXIF tools
  icc-profiles-free colord-data python-matplotlib-data libimage-exiftool-perl libgs-common
  # the Debian package: man page, completion, and the validators of its desktop entry and metainfo
  dpkg-dev help2man bash-completion desktop-file-utils appstream
  # the demo model server of the run command
  python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# npm (for the demo model pack) comes with the machine's Node.js where there is one; Debian's
# own npm conflicts with newer Node.js builds, so it is only asked for when no npm exists.
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
