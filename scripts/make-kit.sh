#!/bin/bash
# Makes the release kit: lays out <out>/TouchpadUpdater/ from the built
# TouchpadUpdater.exe and the given driver folder, download-tool folder and
# firmware image, checks it with KitCheck.exe (under Wine), and packs it into
# <out>/TouchpadUpdater-kit.zip with <out>/SHA256SUMS. On any problem it
# exits non-zero, names every problem on standard error and leaves no kit.
#   scripts/make-kit.sh --driver DIR --download-tool DIR --firmware FILE [--out DIR]
#                       [--sign CERT.pfx [--timestamp URL]] [--build-dir DIR]
# --out defaults to dist/. The signing password comes from the environment
# variable TOUCHPAD_SIGN_PASSWORD. Without --build-dir the release build
# (build/linux-mingw) is configured and brought up to date first; with it,
# that build folder's TouchpadUpdater.exe and KitCheck.exe are brought up to
# date and used. The assembly itself is cmake/MakeKit.cmake, which the
# Windows build's `kit` target runs too.
set -euo pipefail
sourceDir=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '7,8s/^#  */usage: /p' "$0" >&2
    exit 2
}

driver= downloadTool= firmware= out=dist sign= timestamp= buildDir=
while (($# > 0)); do
    (($# >= 2)) || usage
    case $1 in
    --driver) driver=$2 ;;
    --download-tool) downloadTool=$2 ;;
    --firmware) firmware=$2 ;;
    --out) out=$2 ;;
    --sign) sign=$2 ;;
    --timestamp) timestamp=$2 ;;
    --build-dir) buildDir=$2 ;;
    *) usage ;;
    esac
    shift 2
done
[[ -n $driver && -n $downloadTool && -n $firmware && -n $out ]] || usage
[[ -z $timestamp || -n $sign ]] || usage

# Relative paths are the caller's; the build below runs elsewhere.
absolute() { realpath -m -- "$1"; }
driver=$(absolute "$driver")
downloadTool=$(absolute "$downloadTool")
firmware=$(absolute "$firmware")
out=$(absolute "$out")
[[ -z $sign ]] || sign=$(absolute "$sign")

"$sourceDir/scripts/install-prerequisites.sh"
if [[ -z $buildDir ]]; then
    buildDir=$sourceDir/build/linux-mingw
    (cd "$sourceDir" && cmake --preset linux-mingw >/dev/null)
fi
buildDir=$(absolute "$buildDir")
cmake --build "$buildDir" --target TouchpadUpdater KitCheck >/dev/null

# KitCheck.exe runs in a Wine prefix of the build folder's own, never in the
# user's; MAKE_KIT_WINEPREFIX names another (the tests give each run one).
export WINEPREFIX=${MAKE_KIT_WINEPREFIX:-$buildDir/wine/kit-check}
export WINEDEBUG=-all
# Wine takes Unix file names in the locale's character set: UTF-8 keeps
# non-ASCII folder names intact.
export LC_ALL=C.UTF-8
if [[ ! -f $WINEPREFIX/.complete ]]; then
    echo "Making the Wine prefix for the kit check (once per build folder)..." >&2
    rm -rf "$WINEPREFIX"
    if [[ -f $buildDir/wine/template/.complete ]]; then
        cp -a "$buildDir/wine/template" "$WINEPREFIX"
    else
        mkdir -p "$WINEPREFIX"
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1
        wineserver -w </dev/null >/dev/null 2>&1
        touch "$WINEPREFIX/.complete"
    fi
fi

# The script removes its staging folder itself, but not if it is stopped.
trap 'rm -rf "$out/.TouchpadUpdater-staging"' EXIT
cmake -DKIT_DRIVER_DIR="$driver" -DKIT_DOWNLOAD_TOOL_DIR="$downloadTool" -DKIT_FIRMWARE="$firmware" \
    -DKIT_OUT_DIR="$out" -DKIT_PROGRAM="$buildDir/app/TouchpadUpdater.exe" -DKIT_CHECK="$buildDir/kit/KitCheck.exe" \
    -DKIT_CHECK_EMULATOR=wine -DKIT_SIGN_CERT="$sign" -DKIT_TIMESTAMP_URL="$timestamp" \
    -P "$sourceDir/cmake/MakeKit.cmake"
