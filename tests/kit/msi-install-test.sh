#!/bin/bash
# The installer package under Wine's msiexec in one prefix: install, the installed program's update on
# the demo's path, upgrade, refused downgrade, repair, removal.   msi-install-test.sh <source-dir> <build-dir>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/kit-test-lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e-lib.sh"
kit_test_init "$1" "$2" msi-install || exit 1
trap kit_test_finish EXIT
for version in 1.0.0 1.1.0; do # each with a file of its own
    cp -r "$KIT_STAND_INS/win64" "$KIT_WORK/tool $version" && echo >"$KIT_WORK/tool $version/only in $version.txt"
    kit_make --out "$KIT_WORK/$version" --version $version --driver "$KIT_STAND_INS/Driver" \
        --download-tool "$KIT_WORK/tool $version" --firmware "$KIT_STAND_INS/Firmware/KestruneFirmware.dfu" ||
        kit_fail "$version: $(cat "$KIT_WORK/stderr")"
done
folder="$WINEPREFIX/drive_c/Program Files/TouchpadUpdater"
msi() { wine msiexec "$1" "$(e2e_windows_path "$KIT_WORK/$2/TouchpadUpdater-kit.msi")" "${@:3}" /qn </dev/null; }
code() { msiinfo export "$KIT_WORK/$1/TouchpadUpdater-kit.msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
entry() { # <version>: "name|version|publisher" of its uninstall entry in the 64-bit view, if any
    local key
    key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(code "$1")"
    wine reg query "$key" /reg:64 </dev/null 2>/dev/null | tr -d '\r' |
        sed -n 's/^    \(DisplayName\|DisplayVersion\|Publisher\)    REG_SZ    //p' | paste -sd '|'
}
expect_installed() { # <version> <entries of 1.0.0/1.1.0>: the version's zip's files, nothing else, those entries
    rm -rf "$KIT_WORK/zip" && unzip -q "$KIT_WORK/$1/TouchpadUpdater-kit.zip" -d "$KIT_WORK/zip"
    { diff -r "$KIT_WORK/zip/TouchpadUpdater" "$folder" >&2 && (cd "$folder" && sha256sum --quiet -c SHA256SUMS.txt) &&
        [[ "$(entry 1.0.0)/$(entry 1.1.0)" == "$2" ]]; } ||
        kit_fail "$1: other files, or registered $(entry 1.0.0)/$(entry 1.1.0)"
}

msi /i 1.0.0 || kit_fail "installing 1.0.0 ended with $?"
expect_installed 1.0.0 'TouchpadUpdater|1.0.0|Kestrune/'
E2E_KIT_FOLDER=$folder e2e_init "$KIT_BUILD" "$KIT_WORK" && trap 'e2e_teardown; kit_test_finish' EXIT
mkdir -p "$E2E_STATE" && rm -f "$WINEPREFIX"/dosdevices/com* && e2e_start_line && e2e_list_ports COM3
# The stand-ins find the state folder in the machine's environment, the only
# one the program hands its children.
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v TOUCHPAD_SIM_STATE \
    /d "$E2E_STATE_WINDOWS" /f </dev/null >/dev/null 2>&1
printf 'yes\r\n' >"$E2E_STATE/installer-installs-driver.txt"
e2e_start_simulator --appear-after 0 --without-driver --time-limit 60 &&
    e2e_run_program 'C:\Program Files\TouchpadUpdater\TouchpadUpdater.exe' && e2e_stop_simulator
expected=$(printf '%s\n' 'Please wait' 'Current COM: COM3' 'Check device '{0..9} 'Install driver......')
[[ ${E2E_EXIT_CODE:-} == 0 && $(tr -d '\r' <"$E2E_RUN/stdout.raw") == "$expected" && $E2E_FAILED == 0 &&
    $(grep -c ' image .* valid$' "$E2E_STATE/events.log") == 1 ]] || kit_fail "the installed program's update failed"

msi /i 1.1.0 || kit_fail "installing 1.1.0 over 1.0.0 ended with $?"
expect_installed 1.1.0 '/TouchpadUpdater|1.1.0|Kestrune'
msi /i 1.0.0; (($? == 67)) || kit_fail "1.0.0 over 1.1.0 did not end with 1603 (67 in 8 bits)"
expect_installed 1.1.0 '/TouchpadUpdater|1.1.0|Kestrune'
rm "$folder/win64/dfu-util.exe"
msi /i 1.1.0 REINSTALL=ALL REINSTALLMODE=omus || kit_fail "the repair ended with $?"
expect_installed 1.1.0 '/TouchpadUpdater|1.1.0|Kestrune'
wine msiexec /x "$(code 1.1.0)" /qn </dev/null || kit_fail "msiexec /x ended with $?"
[[ ! -e $folder && "$(entry 1.0.0)/$(entry 1.1.0)" == / ]] || kit_fail "msiexec /x left: $(find "$folder")"
kit_test_end
