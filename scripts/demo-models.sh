#!/usr/bin/env bash
# Builds the demo model pack that `make run` serves from a local stand-in for the vendor's server.
#
# The real Real-ESRGAN x4 network, when ../shared/models holds it (its weights have exactly the size the
# model check expects): the .param is rewritten with single spaces and padded with newlines to the
# expected size (the loader skips blank lines). No real x2 weights exist here, so the demo x2 model is
# the x4 network followed by a 2x2 average pooling, padded to the x2 sizes. Without ../shared/models,
# the pack is made of seeded random weights by the model generator: the program runs, but its
# results are noise.
#
# Usage: scripts/demo-models.sh [output folder]   (default: demo-models/, ignored by git)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-demo-models}"
# The shared folder lies beside the repository; for a git worktree, beside the main checkout.
shared=""
main_checkout="$(cd "$(git rev-parse --git-common-dir 2>/dev/null || echo .git)/.." 2>/dev/null && pwd || pwd)"
# BRIVELLE_SHARED_DIR, when set, is the only place looked at.
if [ -n "${BRIVELLE_SHARED_DIR:-}" ]; then
    candidates=("$BRIVELLE_SHARED_DIR")
else
    candidates=("$(pwd)/../shared" "$main_checkout/../shared")
fi
for candidate in "${candidates[@]}"; do
    if [ -n "$candidate" ] && [ -d "$candidate/models" ]; then
        shared="$candidate/models"
        break
    fi
done

X2_BIN=33434888
X2_PARAM=101743
X4_BIN=33424520
X4_PARAM=116029

size_of() { stat -c %s "$1"; }

# Appends newlines up to the exact size; fails when the file is already larger.
pad_with_newlines() {
    local file="$1" want="$2" have
    have=$(size_of "$file")
    if [ "$have" -gt "$want" ]; then
        echo "demo-models: $file has $have bytes, more than the expected $want" >&2
        return 1
    fi
    head -c $((want - have)) /dev/zero | tr '\0' '\n' >>"$file"
}

# Appends zero bytes up to the exact size; the weights loader stops after the last layer's weights.
pad_with_zeros() {
    local file="$1" want="$2" have
    have=$(size_of "$file")
    if [ "$have" -gt "$want" ]; then
        echo "demo-models: $file has $have bytes, more than the expected $want" >&2
        return 1
    fi
    truncate -s "$want" "$file"
}

pack_is_complete() {
    [ -f "$out/realesrgan-x2plus.bin" ] && [ "$(size_of "$out/realesrgan-x2plus.bin")" -eq $X2_BIN ] &&
        [ -f "$out/realesrgan-x2plus.param" ] && [ "$(size_of "$out/realesrgan-x2plus.param")" -eq $X2_PARAM ] &&
        [ -f "$out/realesrgan-x4plus.bin" ] && [ "$(size_of "$out/realesrgan-x4plus.bin")" -eq $X4_BIN ] &&
        [ -f "$out/realesrgan-x4plus.param" ] && [ "$(size_of "$out/realesrgan-x4plus.param")" -eq $X4_PARAM ] &&
        [ -f "$out/update.txt" ] && [ -f "$out/KIND" ]
}

if pack_is_complete; then
    echo "demo-models: $out is ready ($(cat "$out/KIND"))"
    exit 0
fi

tmp="$out.tmp"
rm -rf "$tmp"
mkdir -p "$tmp"

if [ -n "$shared" ] && [ -f "$shared/realesrgan-x4plus.bin" ] && [ "$(size_of "$shared/realesrgan-x4plus.bin")" -eq $X4_BIN ] &&
    [ -f "$shared/realesrgan-x4plus.param" ]; then
    # x4: the published network, one space between fields.
    awk '{ $1 = $1; if (NF) print }' "$shared/realesrgan-x4plus.param" >"$tmp/realesrgan-x4plus.param"
    cp "$shared/realesrgan-x4plus.bin" "$tmp/realesrgan-x4plus.bin"
    chmod u+w "$tmp/realesrgan-x4plus.bin"

    # x2: the same network, its output blob renamed, then a 2x2 average pooling (type 1, kernel 2,
    # stride 2) that halves the x4 result; one more layer and one more blob in the counts.
    awk '
        NR == 1 { print; next }
        NR == 2 { print $1 + 1, $2 + 1; next }
        {
            $1 = $1
            if (NF >= 4) {
                first = 5 + $3
                for (i = first; i < first + $4 && i <= NF; i++)
                    if ($i == "output") $i = "output_x4"
            }
            if (NF) print
        }
        END { print "Pooling avgpool_x2 1 1 output_x4 output 0=1 1=2 2=2" }
    ' "$shared/realesrgan-x4plus.param" >"$tmp/realesrgan-x2plus.param"
    cp "$shared/realesrgan-x4plus.bin" "$tmp/realesrgan-x2plus.bin"
    chmod u+w "$tmp/realesrgan-x2plus.bin"
    kind="real Real-ESRGAN x4plus weights; x2 = x4plus followed by a 2x2 average pooling"
else
    gen=build/tools/brivelle-modelgen
    if [ ! -x "$gen" ]; then
        echo "demo-models: no shared models folder (../shared/models) and $gen is not built" >&2
        exit 1
    fi
    echo "##################################################################################" >&2
    echo "## demo-models: no shared models folder (../shared/models) was found.             " >&2
    echo "## The demo pack is made of SEEDED RANDOM WEIGHTS: the program runs end to end,   " >&2
    echo "## but every upscaled image is noise. Put the real models in ../shared/models.    " >&2
    echo "##################################################################################" >&2
    "$gen" --arch rrdb --scale 2 --fp16 --seed 2 -o "$tmp/realesrgan-x2plus"
    "$gen" --arch rrdb --scale 4 --fp16 --seed 4 -o "$tmp/realesrgan-x4plus"
    kind="SEEDED RANDOM WEIGHTS (no real model was available): results are noise"
fi

pad_with_newlines "$tmp/realesrgan-x2plus.param" $X2_PARAM
pad_with_newlines "$tmp/realesrgan-x4plus.param" $X4_PARAM
pad_with_zeros "$tmp/realesrgan-x2plus.bin" $X2_BIN
pad_with_zeros "$tmp/realesrgan-x4plus.bin" $X4_BIN

# The stand-in server's update file names this very version: the update check reports no update.
printf 'majorVersion=1;\r\nminorVersion=4;\r\nsubMinorVersion=0;\r\n' >"$tmp/update.txt"
echo "$kind" >"$tmp/KIND"

rm -rf "$out"
mv "$tmp" "$out"
echo "demo-models: built $out ($kind)"
