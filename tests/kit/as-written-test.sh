#!/bin/bash
# The README's kit commands exactly as a new user types them, in a fresh copy
# of the sources in a folder with blanks and non-ASCII letters: no
# --build-dir, and no variable that only tests set.
#   - scripts/make-kit.sh refuses a firmware image with a broken CRC, a
#     download tool without its DLL and a driver package whose catalog holds
#     another digest of its INF, each with a non-zero exit code and the
#     problem named with its input file on standard error, and makes the kit
#     of sound inputs, printing the sign-off;
#   - the release_kit target, configured and built with the preset, makes the
#     same zip;
#   - within ten seconds of each run, no Wine process of the copy's build
#     folder is left.
#   as-written-test.sh <source-dir> <build-dir>
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/kit-test-lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/copy-source.sh"
build=$(realpath "$2")
work=$build/kit-runs/as-written
standIns=$build/tests/support/kit/kit
KIT_WORK=$work
KIT_FAILED=0
rm -rf "$work"
copy="$work/Kit Quelle ü"
copy_source "$(realpath "$1")" "$copy"
# Nothing of the test's own environment may lead make-kit.sh elsewhere.
unset WINEPREFIX WINEDEBUG

inputs="$work/inputs ü"
mkdir -p "$inputs/tool without dll"
cp "$standIns/Firmware/KestruneFirmware.dfu" "$inputs/broken image.dfu"
# The CRC is the image's last four bytes.
crcOffset=$(($(stat -c %s "$inputs/broken image.dfu") - 4))
printf '\x55' | dd of="$inputs/broken image.dfu" bs=1 seek=$((crcOffset + 3)) conv=notrunc status=none
cp "$build/tests/kit/KitProbeTool.exe" "$inputs/tool without dll/dfu-util.exe"
cp -r "$standIns/Driver" "$inputs/Driver changed"
printf '; changed after signing\r\n' >>"$inputs/Driver changed/KestruneDfu.inf"
trap 'kit_end_wine_below "$copy/build"' EXIT
sound=(--driver "$standIns/Driver" --download-tool "$standIns/win64" --firmware "$standIns/Firmware/KestruneFirmware.dfu")


# make_kit <what> <make-kit argument>...: runs it as the README writes it,
# from the copy, its output in $work/stdout and $work/stderr, and then waits
# up to ten seconds for its Wine processes to end.
make_kit() {
    local what=$1 status=0 waited=0
    shift
    (cd "$copy" && scripts/make-kit.sh "$@" --out "$work/out") </dev/null >"$work/stdout" 2>"$work/stderr" ||
        status=$?
    while [[ -n $(kit_wine_below "$copy/build") ]]; do
        if ((waited == 20)); then
            kit_fail "$what: Wine processes left 10 s after the run: $(kit_wine_below "$copy/build")"
            break
        fi
        sleep 0.5
        waited=$((waited + 1))
    done
    return "$status"
}

# refused <what> <expected text on standard error> <make-kit argument>...
refused() {
    local what=$1 expected=$2 status=0
    shift 2
    make_kit "$what" "$@" || status=$?
    if ((status == 0)); then
        kit_fail "$what: accepted"
    elif ! grep -qF -- "make-kit: $expected" "$work/stderr"; then
        kit_fail "$what: standard error lacks 'make-kit: $expected': $(cat "$work/stderr")"
    else
        echo "refused ($status): $what"
    fi
}

refused "a firmware image with a broken CRC" \
    "$inputs/broken image.dfu: at byte $crcOffset: DFU suffix CRC 55" \
    --driver "$standIns/Driver" --download-tool "$standIns/win64" --firmware "$inputs/broken image.dfu"
refused "a download tool without its DLL" \
    "$inputs/tool without dll/dfu-util.exe: needs KitProbeDep.dll" \
    --driver "$standIns/Driver" --download-tool "$inputs/tool without dll" --firmware "$standIns/Firmware/KestruneFirmware.dfu"
refused "an INF that its catalog does not cover" \
    "$inputs/Driver changed/KestruneDfu.inf: its catalog member holds a different SHA256 digest" \
    --driver "$inputs/Driver changed" --download-tool "$standIns/win64" --firmware "$standIns/Firmware/KestruneFirmware.dfu"

if ! make_kit "the sound kit" "${sound[@]}"; then
    kit_fail "the sound kit was refused: $(cat "$work/stderr")"
fi
for signOff in ': sound' 'DfuSe image for 0483:DF11' 'function driver WinUSB' 'Files (SHA-256, size in bytes, path):' \
    "Zip:      $work/out/TouchpadUpdater-kit.zip"; do
    grep -qF -- "$signOff" "$work/stdout" || kit_fail "the sign-off lacks '$signOff': $(cat "$work/stdout")"
done

# The build's own target, as the README configures and builds it.
if ! (cd "$copy" && cmake --preset linux-mingw-kit -DKIT_DRIVER_DIR="$standIns/Driver" \
    -DKIT_DOWNLOAD_TOOL_DIR="$standIns/win64" -DKIT_FIRMWARE="$standIns/Firmware/KestruneFirmware.dfu" &&
    cmake --build --preset linux-mingw-kit) </dev/null >"$work/target.log" 2>&1; then
    kit_fail "the release_kit target failed: $(cat "$work/target.log")"
elif ! cmp -s "$work/out/TouchpadUpdater-kit.zip" "$copy/dist/TouchpadUpdater-kit.zip"; then
    kit_fail "the release_kit target made another zip than make-kit.sh"
fi

[[ $KIT_FAILED != 0 ]] || rm -rf "$work"
kit_test_end
