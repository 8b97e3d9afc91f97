#!/usr/bin/env bash
# package_test.sh BUILD_DIR CPACK SOURCE_DIR
# Makes the Debian package from the finished build into a temporary folder (CPack installs what the
# build made; it compiles nothing), checks what it holds, unpacks it and runs brivelle-cli from there.
# Exit 77: skipped.
set -euo pipefail
build=$1
cpack=${2:-cpack}
source_dir=$3

skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
command -v "$cpack" >/dev/null || skip "cpack is not installed"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps (dpkg-dev) is not installed"
[ -f "$build/CPackConfig.cmake" ] || fail "$build/CPackConfig.cmake is missing"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the package -------------------------------------------------------------------------------------
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack failed"
fi
version=$(sed -nE 's/.*(major|minor|subMinor)Version = ([0-9]+);.*/\2/p' "$source_dir/base/version.h" | paste -sd.)
deb="$work/out/brivelle-ai_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brivelle-ai ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
# dpkg-shlibdeps has read the executables: Qt, the C++ library and the HEIF and JPEG XL decoders come
# from the system.
for dep in libqt6core6 libqt6widgets6 libstdc++6 qt6-qpa-plugins libheif1 libjxl0.7; do
    [[ "$(field Depends)" == *"$dep"* ]] || fail "Depends lacks $dep: $(field Depends)"
done
for rec in libvulkan1 mesa-vulkan-drivers; do
    [[ "$(field Recommends)" == *"$rec"* ]] || fail "Recommends lacks $rec: $(field Recommends)"
done

# Exactly these files: nothing of the build tree (tools, tests, static libraries) and no model files.
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's#^\./##' | sort >"$work/files"
{
    printf '%s\n' usr/bin/brivelle usr/bin/brivelle-cli \
        usr/share/applications/brivelle-ai.desktop \
        usr/share/metainfo/example.brivelle.BrivelleAI.metainfo.xml \
        usr/share/man/man1/brivelle-cli.1.gz \
        usr/share/bash-completion/completions/brivelle-cli \
        usr/share/doc/brivelle-ai/copyright
    for side in 16 22 24 32 48 64 128 256; do
        echo "usr/share/icons/hicolor/${side}x${side}/apps/brivelle-ai.png"
    done
    for licence in "$source_dir"/resources/licences/*; do
        echo "usr/share/doc/brivelle-ai/licences/$(basename "$licence")"
    done
} | sort >"$work/expected"
if ! diff -u "$work/expected" "$work/files"; then
    fail "the package holds other files than expected (- missing, + unexpected)"
fi

# --- unpacked, it runs ------------------------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$deb" "$root"
cli="$root/usr/bin/brivelle-cli"
out=$("$cli" --version) || fail "brivelle-cli --version exits $?"
[[ $out == *"$version"* ]] || fail "--version says: $out"
help=$("$cli" --help) || fail "brivelle-cli --help exits $?"
[[ $help == *Usage:* ]] || fail "--help says: $help"

# The man page is the help: every long option of --help is in it (groff writes "-" as "\-").
man=$(gzip -dc "$root/usr/share/man/man1/brivelle-cli.1.gz")
[[ $man == *".TH BRIVELLE-CLI"* ]] || fail "man page without its title: ${man:0:200}"
options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
[ -n "$options" ] || fail "no long options in --help"
for option in $options; do
    [[ $man == *"${option//-/\\-}"* ]] || fail "man page lacks $option"
done

# Completion, the way bash-completion loads it for brivelle-cli found on the PATH.
if [ -f /usr/share/bash-completion/bash_completion ]; then
    complete_words() {
        (
            cd "$work"
            PATH="$root/usr/bin:$PATH" bash -c '
                source /usr/share/bash-completion/bash_completion
                source "$1"
                shift
                COMP_WORDS=(brivelle-cli "$@")
                COMP_CWORD=$#
                COMP_LINE="${COMP_WORDS[*]}"
                COMP_POINT=${#COMP_LINE}
                _brivelle_cli brivelle-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
                printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$root/usr/share/bash-completion/completions/brivelle-cli" "$@"
        )
    }
    [ "$(complete_words --)" = "$options" ] || fail "-- completes to: $(complete_words --)"
    [ "$(complete_words -s '')" = "$(printf '1\n2\n3\n4')" ] || fail "-s completes to: $(complete_words -s '')"
    [ "$(complete_words --device=g)" = gpu ] || fail "--device=g completes to: $(complete_words --device=g)"
    mkdir "$work/pictures" && touch "$work/pictures.txt"
    [ "$(complete_words --output pic)" = pictures ] || fail "--output completes to: $(complete_words --output pic)"
    [ "$(complete_words -j pic)" = "$(printf 'pictures\npictures.txt')" ] ||
        fail "inputs complete to: $(complete_words -j pic)"
else
    echo "bash-completion is not installed: completion not tried"
fi

# --- the validators of the desktop and of the software centres -------------------------------------
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/brivelle-ai.desktop" || fail "desktop-file-validate"
else
    echo "desktop-file-validate is not installed: desktop entry not validated"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$root/usr/share/metainfo/example.brivelle.BrivelleAI.metainfo.xml" ||
        fail "appstreamcli validate"
else
    echo "appstreamcli is not installed: metainfo not validated"
fi
echo "package $(basename "$deb"): $(wc -l <"$work/files") files, $(du -k "$deb" | cut -f1) KiB"
