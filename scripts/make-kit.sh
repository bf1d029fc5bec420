#!/bin/bash
# Makes the release kit: lays out <out>/TouchpadUpdater/ from the built
# TouchpadUpdater.exe and the given driver folder, download-tool folder and
# firmware image, checks it with KitCheck.exe (under Wine), and packs it into
# <out>/TouchpadUpdater-kit.zip and the installer package
# <out>/TouchpadUpdater-kit.msi, with <out>/SHA256SUMS. On any problem it
# exits non-zero, names every problem on standard error and leaves no kit.
#   scripts/make-kit.sh --driver DIR --download-tool DIR --firmware FILE [--out DIR]
#                       [--sign CERT.pfx [--timestamp URL]] [--version MAJOR.MINOR.BUILD]
#                       [--manufacturer NAME] [--build-dir DIR]
# --out defaults to dist/, --version to the project's version (project() in
# CMakeLists.txt), --manufacturer (the publisher that Windows shows) to
# Kestrune. The signing password comes from the environment
# variable TOUCHPAD_SIGN_PASSWORD. Without --build-dir the kit build
# (preset linux-mingw-kit: the product and the checker, no tests) is
# configured and brought up to date first; with it, that build folder's
# TouchpadUpdater.exe and KitCheck.exe are brought up to date and used. The
# assembly itself is cmake/MakeKit.cmake, which the build's `release_kit`
# target runs too, with the checker under Wine as the cross build runs its
# programs (tests/bench/wine-bench.sh run).
set -euo pipefail
sourceDir=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '8,10s/^#  */usage: /p' "$0" >&2
    exit 2
}

driver='' downloadTool='' firmware='' out=dist sign='' timestamp='' version='' manufacturer='' buildDir=''
while (($# > 0)); do
    (($# >= 2)) || usage
    case $1 in
    --driver) driver=$2 ;;
    --download-tool) downloadTool=$2 ;;
    --firmware) firmware=$2 ;;
    --out) out=$2 ;;
    --sign) sign=$2 ;;
    --timestamp) timestamp=$2 ;;
    --version) version=$2 ;;
    --manufacturer) manufacturer=$2 ;;
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

prerequisites=(--kit)
[[ -z $sign ]] || prerequisites+=(--sign)
"$sourceDir/scripts/install-prerequisites.sh" "${prerequisites[@]}"

# Runs a build step quietly; on failure its whole output (the compiler's
# errors among it) goes to standard error.
quietly() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    if ((status != 0)); then
        cat "$log" >&2
        echo "make-kit: the build failed: $*" >&2
    fi
    rm -f "$log"
    return "$status"
}

if [[ -z $buildDir ]]; then
    buildDir=$sourceDir/build/linux-mingw-kit
    (cd "$sourceDir" && quietly cmake --preset linux-mingw-kit)
fi
buildDir=$(absolute "$buildDir")
quietly cmake --build "$buildDir" --target TouchpadUpdater KitCheck

# KitCheck.exe runs in a Wine prefix of the build folder's own, never in the
# user's: the bench's prefix for the build's programs.
unset WINEPREFIX
emulator="bash;$sourceDir/tests/bench/wine-bench.sh;run;$buildDir/wine"

# The script removes its staging folder itself, but not if it is stopped.
trap 'rm -rf "$out/.TouchpadUpdater-staging"' EXIT
cmake -DKIT_DRIVER_DIR="$driver" -DKIT_DOWNLOAD_TOOL_DIR="$downloadTool" -DKIT_FIRMWARE="$firmware" \
    -DKIT_OUT_DIR="$out" -DKIT_PROGRAM="$buildDir/app/TouchpadUpdater.exe" -DKIT_CHECK="$buildDir/kit/KitCheck.exe" \
    -DKIT_CHECK_EMULATOR="$emulator" -DKIT_SIGN_CERT="$sign" -DKIT_TIMESTAMP_URL="$timestamp" \
    -DKIT_VERSION="$version" -DKIT_MANUFACTURER="$manufacturer" -P "$sourceDir/cmake/MakeKit.cmake"
