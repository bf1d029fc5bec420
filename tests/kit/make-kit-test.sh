#!/bin/bash
# scripts/make-kit.sh with the stand-ins for the shipped parts, as a
# maintainer runs it, in folders with blanks and non-ASCII letters:
#   - a sound kit: the layout, the checksums (sha256sum -c, outside and inside
#     the unpacked zip), one top folder, CRLF in README.txt, KitCheck.exe's
#     own exit codes and digests;
#   - the same inputs again, later, into another folder, in another time zone
#     and with another umask: a byte-identical zip, and an installer package
#     with the same tables, whose rules hold (read with msiinfo);
#   - every broken input refused with a message naming the input, with no kit,
#     no zip, no SHA256SUMS and no half-made folder left in the out folder, and
#     with an earlier kit there removed (among them driver folders that break
#     the package checks, a bad version, a name wixl cannot take); an out
#     folder inside an input refused; a malformed
#     command a usage error;
#   - a driver folder with what the checker warns of: a kit, and the warning
#     on standard error naming the input;
#   - a libusbK package (the tests' own, made at build time): a kit whose
#     report gives the catalog members' digests that osslsigncode and
#     sha256sum compute, and the signer's thumbprint that openssl computes;
#   - the inputs unchanged throughout.
#   make-kit-test.sh <source-dir> <build-dir>
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/kit-test-lib.sh"
kit_test_init "$1" "$2" make-kit || exit 1
trap kit_test_finish EXIT

# ---- inputs -----------------------------------------------------------------
inputs="$KIT_WORK/inputs ü日本 [1]"
mkdir -p "$inputs"
cp -r "$KIT_STAND_INS/Driver" "$inputs/Driver"
cp -r "$KIT_STAND_INS/win64" "$inputs/dfu tool"
cp "$KIT_STAND_INS/Firmware/KestruneFirmware.dfu" "$inputs/image v22.dfu"
mkdir -p "$inputs/Driver-empty" "$inputs/tool-without-dll"
: >"$inputs/Driver-empty/infInstall.bat"
# Driver folders from the stand-in package: one for another device, one
# whose catalog does not cover its INF, one with a batch file that passes
# pnputil's exit codes on.
for variant in other-device uncovered unmapped; do
    cp -r "$KIT_STAND_INS/Driver" "$inputs/Driver-$variant"
done
sed -i 's/PID_DF11/PID_DF12/' "$inputs/Driver-other-device/KestruneDfu.inf"
printf '; changed after signing\r\n' >>"$inputs/Driver-uncovered/KestruneDfu.inf"
printf 'pnputil /add-driver "%%~dp0KestruneDfu.inf" /install\r\n' >"$inputs/Driver-unmapped/infInstall.bat"
cp "$KIT_BUILD/tests/kit/KitProbeTool.exe" "$inputs/tool-without-dll/dfu-util.exe"
head -c 4096 /dev/urandom >"$inputs/raw.bin"
# A plain DFU file: the right suffix and CRC, but no DfuSe prefix.
cp "$inputs/raw.bin" "$inputs/plain.dfu"
dfu-suffix -v 0483 -p df11 -d 2200 -a "$inputs/plain.dfu" >/dev/null
# DfuSe files that the download tool would write wrongly or not at all:
# elements going back in address, two targets of one alternate setting that
# overlap (dfuse-pack makes both when asked), and a target without elements.
head -c 1000 /dev/urandom >"$KIT_WORK/a.bin"
head -c 300 /dev/urandom >"$KIT_WORK/b.bin"
head -c 50 /dev/urandom >"$KIT_WORK/c.bin"
dfuse-pack -b "0x08004000:$KIT_WORK/b.bin" -b "0x08000000:$KIT_WORK/a.bin" "$inputs/descending.dfu" >/dev/null
dfuse-pack -b "0x08000000:$KIT_WORK/a.bin" -b "0x1FFF7800@1:$KIT_WORK/c.bin" -b "0x08000100@0:$KIT_WORK/b.bin" \
    "$inputs/overlapping targets.dfu" >/dev/null
{
    printf 'DfuSe\x01\x1d\x01\x00\x00\x01Target\x00\x00\x00\x00\x00'
    head -c 263 /dev/zero
} >"$inputs/empty target.dfu"
dfu-suffix -v 0483 -p df11 -d 2200 -S 011a -a "$inputs/empty target.dfu" >/dev/null
# Download tools that Windows would refuse to start, or would start with
# Windows' own copy of a DLL shipped beside them.
mkdir -p "$inputs/tool-bare-leaf" "$inputs/tool-known-dll"
cp "$KIT_BUILD/tests/kit/KitProbeTool.exe" "$inputs/tool-bare-leaf/dfu-util.exe"
cp "$KIT_BUILD/tests/kit/KitProbeDep.dll" "$inputs/tool-bare-leaf/"
cp "$KIT_BUILD/tests/kit/KitProbeBareLeaf.dll" "$inputs/tool-bare-leaf/KitProbeLeaf.dll"
cp -r "$inputs/tool-bare-leaf" "$inputs/tool-forward-nowhere"
cp "$KIT_BUILD/tests/kit/KitProbeForwardLeaf.dll" "$inputs/tool-forward-nowhere/KitProbeLeaf.dll"
# The tool importing its DLL without the extension, which the loader adds.
mkdir -p "$inputs/tool-no-extension"
LC_ALL=C sed 's/KitProbeDep\.dll\x00/KitProbeDep\x00\x00\x00\x00\x00/' "$KIT_BUILD/tests/kit/KitProbeTool.exe" \
    >"$inputs/tool-no-extension/dfu-util.exe"
cp "$KIT_BUILD/tests/kit/KitProbeDep.dll" "$KIT_BUILD/tests/kit/KitProbeLeaf.dll" "$inputs/tool-no-extension/"
cp -r "$KIT_STAND_INS/win64/." "$inputs/tool-known-dll/"
cp "$KIT_BUILD/tests/kit/KitProbeDep.dll" "$inputs/tool-known-dll/kernel32.dll"
cp -r "$KIT_STAND_INS/win64" "$inputs/tool-dollar" && echo >"$inputs/tool-dollar/notes \$(x).txt"
inputsBefore=$(kit_tree_digest "$inputs")

sound=(--driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu")

# ---- a sound kit ------------------------------------------------------------
outA="$KIT_WORK/out A ü"
if ! kit_make --out "$outA" "${sound[@]}"; then
    kit_fail "the sound kit was refused"
    cat "$KIT_WORK/stderr" >&2
fi
kit=$outA/TouchpadUpdater
for file in TouchpadUpdater.exe README.txt SHA256SUMS.txt Driver/infInstall.bat win64/dfu-util.exe \
    Firmware/KestruneFirmware.dfu; do
    [[ -f $kit/$file ]] || kit_fail "the kit lacks $file"
done
cmp -s "$kit/Firmware/KestruneFirmware.dfu" "$inputs/image v22.dfu" || kit_fail "the image was not copied as given"
(cd "$outA" && sha256sum --quiet -c SHA256SUMS) || kit_fail "SHA256SUMS does not check"
[[ $(wc -l <"$outA/SHA256SUMS") == 2 ]] || kit_fail "SHA256SUMS lists more than the zip and the package"

unpacked=$KIT_WORK/unpacked
mkdir -p "$unpacked"
unzip -q "$outA/TouchpadUpdater-kit.zip" -d "$unpacked"
[[ $(ls -A "$unpacked") == TouchpadUpdater ]] || kit_fail "the zip holds more than one top folder: $(ls -A "$unpacked")"
(cd "$unpacked/TouchpadUpdater" && sha256sum --quiet -c SHA256SUMS.txt) || kit_fail "SHA256SUMS.txt does not check"
listed=$(cut -c67- "$unpacked/TouchpadUpdater/SHA256SUMS.txt")
present=$(cd "$unpacked/TouchpadUpdater" && find . -type f ! -name SHA256SUMS.txt | sed 's|^\./||' | LC_ALL=C sort)
[[ $listed == "$present" ]] || kit_fail "SHA256SUMS.txt lists: $listed; the kit holds: $present"
readme=$unpacked/TouchpadUpdater/README.txt
[[ $(grep -c $'\r$' "$readme") == $(wc -l <"$readme") && $(wc -l <"$readme") -gt 20 ]] ||
    kit_fail "README.txt is not CRLF text"
grep -q 'The correct serial port was not found' "$readme" || kit_fail "README.txt lacks the message table"
zipinfo -T "$outA/TouchpadUpdater-kit.zip" | awk 'NR > 2 && /^-/ { print $7 }' | sort -u |
    grep -qx '20000101.000000' || kit_fail "the zip entries do not all have the fixed time"

# KitCheck.exe on its own: the digests are sha256sum's, and its exit codes.
report=$(kit_check "$unpacked/TouchpadUpdater" 2>&1)
checked=$?
[[ $checked == 0 ]] || kit_fail "KitCheck refused the unpacked kit ($checked): $report"
programDigest=$(sha256sum "$unpacked/TouchpadUpdater/TouchpadUpdater.exe" | cut -d' ' -f1)
programSize=$(stat -c %s "$unpacked/TouchpadUpdater/TouchpadUpdater.exe")
grep -qxF "$programDigest  $programSize  TouchpadUpdater.exe" <<<"${report//$'\r'/}" ||
    kit_fail "KitCheck's digest of TouchpadUpdater.exe is not sha256sum's: $report"
grep -qF 'DfuSe image for 0483:DF11, bcdDevice 0x2200, bcdDFU 0x011A, 1 target' <<<"$report" ||
    kit_fail "KitCheck did not report the firmware: $report"
grep -qF 'element 0: address 0x08000000, 8192 bytes' <<<"$report" || kit_fail "KitCheck did not report the element"
for line in 'Driver/KestruneDfu.inf: class USBDevice {88BAE032-5A81-49F0-BC3D-A4FF138216D6}, provider "Kestrune"' \
    'Windows x64 build 26100: [Kestrune.NTamd64] lists USB\VID_0483&PID_DF11 (hardware ID), install [DfuInstall]' \
    '[DfuInstall]: function driver WinUSB (Include=winusb.inf, Needs=WINUSB.NT.Services), copies nothing' \
    'catalog Driver/KestruneDfu.cat: signed by "CN=Touchpad Test Catalog Signing, O=Touchpad Test"' \
    'whether Windows trusts this signer cannot be decided here' '0 warnings'; do
    grep -qF -- "$line" <<<"$report" || kit_fail "KitCheck did not report: $line"
done
kit_check >/dev/null 2>&1
[[ $? == 2 ]] || kit_fail "KitCheck without a folder did not exit 2"
cp "$KIT_BUILD/tests/kit/KitProbeLeaf.dll" "$unpacked/TouchpadUpdater/version.dll"
kit_check "$unpacked/TouchpadUpdater" >/dev/null 2>"$KIT_WORK/check-stderr"
checked=$?
if [[ $checked != 1 ]] || ! grep -q 'version.dll: a DLL beside TouchpadUpdater.exe' "$KIT_WORK/check-stderr"; then
    kit_fail "KitCheck did not refuse a DLL beside the program ($checked): $(cat "$KIT_WORK/check-stderr")"
fi

# ---- the same inputs again, elsewhere and otherwise -------------------------
outB=$KIT_WORK/out-b
sleep 1
if ! (umask 077 && TZ=Asia/Tokyo kit_make --out "$outB" "${sound[@]}"); then
    kit_fail "the second run was refused"
fi
if cmp -s "$outA/TouchpadUpdater-kit.zip" "$outB/TouchpadUpdater-kit.zip"; then
    echo "reproducible: $(cut -d' ' -f1 "$outA/SHA256SUMS")  TouchpadUpdater-kit.zip, twice"
else
    kit_fail "two runs of the same inputs gave different zips"
    zipinfo -v "$outA/TouchpadUpdater-kit.zip" >"$KIT_WORK/a.txt"
    zipinfo -v "$outB/TouchpadUpdater-kit.zip" >"$KIT_WORK/b.txt"
    diff "$KIT_WORK/a.txt" "$KIT_WORK/b.txt" | head -20 >&2
fi

# ---- the installer package's rules, and its tables again --------------------
rows() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r' | tr '\t' '|'; } # <package> <table>: its rows
msi=$outA/TouchpadUpdater-kit.msi
version=$(sed -n 's/^project(TouchpadUpdater VERSION \([^ ]*\) .*/\1/p' "$KIT_SOURCE/CMakeLists.txt")
for rule in "Property|ALLUSERS|1" "Property|ProductVersion|$version" "Property|Manufacturer|Kestrune" \
    "_SummaryInformation|7|x64;1033" \
    "LaunchCondition|NOT WIX_DOWNGRADE_DETECTED|A newer version of TouchpadUpdater is already installed."; do
    rows "$msi" "${rule%%|*}" | grep -qxF "${rule#*|}" || kit_fail "the package lacks $rule"
done
[[ -z $(rows "$msi" CustomAction; rows "$msi" ServiceInstall; rows "$msi" Shortcut) ]] || kit_fail "it runs things"
# Each file is the key path of a 64-bit component (attribute 256) of its own.
components=$(rows "$msi" Component | awk -F '|' 'int($4 / 256) % 2 { print $1, $6 }' | sort)
[[ $components == "$(rows "$msi" File | awk -F '|' '{ print $2, $1 }' | sort)" &&
    $(wc -l <<<"$components") == $(($(wc -l <"$kit/SHA256SUMS.txt") + 1)) ]] || kit_fail "components: $components"
for out in "$outA" "$outB"; do # the same tables and streams but for the two summary times (2 x 8 bytes)
    mkdir -p "$out.tables" && msidump -t -s -d "$out.tables" "$out/TouchpadUpdater-kit.msi" >/dev/null
    rm "$out.tables/_Streams/"*SummaryInformation && sed -i '/^1[23]\t/d' "$out.tables/_SummaryInformation.idt"
done
{ diff -r "$outA.tables" "$outB.tables" >&2 && (($(cmp -l "$msi" "$outB/TouchpadUpdater-kit.msi" | wc -l) <= 16)); } ||
    kit_fail "two runs of the same inputs gave other packages"

# ---- refusals -----------------------------------------------------------------
# refused <what> <expected text on standard error> <make-kit argument>...
outR="$KIT_WORK/out refused"
refused() {
    local what=$1 expected=$2
    shift 2
    rm -rf "$outR"
    mkdir -p "$outR"
    cp -r "$outA"/. "$outR/"
    echo keep >"$outR/unrelated.txt"
    kit_make --out "$outR" "$@"
    local exitCode=$?
    if [[ $exitCode == 0 ]]; then
        kit_fail "$what: accepted"
    elif ! grep -qF -- "$expected" "$KIT_WORK/stderr"; then
        kit_fail "$what: standard error lacks '$expected': $(cat "$KIT_WORK/stderr")"
    fi
    local left
    left=$(ls -A "$outR")
    [[ $left == unrelated.txt ]] || kit_fail "$what: the out folder holds: $left"
    echo "refused ($exitCode): $what"
}
refused "a driver package for another device" \
    "$inputs/Driver-other-device/KestruneDfu.inf: does not bind USB\VID_0483&PID_DF11 on Windows 10/11 x64 builds" \
    --driver "$inputs/Driver-other-device" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu"
refused "an INF changed after its catalog was signed" \
    "$inputs/Driver-uncovered/KestruneDfu.inf: its catalog member holds a different SHA256 digest" \
    --driver "$inputs/Driver-uncovered" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu"
refused "a missing driver folder" "$inputs/none: not a folder" \
    --driver "$inputs/none" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu"
refused "an empty installer" "$inputs/Driver-empty/infInstall.bat: empty" \
    --driver "$inputs/Driver-empty" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu"
refused "a download tool without its DLL" "$inputs/tool-without-dll/dfu-util.exe: needs KitProbeDep.dll" \
    --driver "$inputs/Driver" --download-tool "$inputs/tool-without-dll" --firmware "$inputs/image v22.dfu"
refused "a raw binary image" "$inputs/raw.bin: at byte" \
    --driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/raw.bin"
refused "a plain DFU image" "$inputs/plain.dfu: at byte" \
    --driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/plain.dfu"
refused "elements going back in address" \
    "$inputs/descending.dfu: at byte 593: element 1 of target 0 (0x08000000-0x080003E7) lies below element 0" \
    --driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/descending.dfu"
refused "two targets of one alternate setting overlapping" \
    "$inputs/overlapping targets.dfu: at byte 1899: element 0 of target 2 (0x08000100-0x0800022B) overlaps" \
    --driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/overlapping targets.dfu"
refused "a target without elements" "$inputs/empty target.dfu: at byte 281: target 0 has no elements" \
    --driver "$inputs/Driver" --download-tool "$inputs/dfu tool" --firmware "$inputs/empty target.dfu"
refused "a version without build" 'version "1.2": not MAJOR.MINOR.BUILD' --version 1.2 "${sound[@]}"
refused "a name wixl cannot take" "$inputs/tool-dollar/notes \$(x).txt: wixl cannot take a name with a \$" \
    --driver "$inputs/Driver" --download-tool "$inputs/tool-dollar" --firmware "$inputs/image v22.dfu"
refused "a DLL without the function the tool's DLL imports" \
    "$inputs/tool-bare-leaf/KitProbeDep.dll: imports KitProbeLeaf from KitProbeLeaf.dll, which does not export it" \
    --driver "$inputs/Driver" --download-tool "$inputs/tool-bare-leaf" --firmware "$inputs/image v22.dfu"

refused "a DLL forwarding the function to a DLL that is nowhere" \
    "$inputs/tool-forward-nowhere/KitProbeDep.dll: imports KitProbeLeaf from KitProbeLeaf.dll, which forwards it to KitProbeTarget.KitProbeLeaf, and KitProbeTarget.dll, which is neither" \
    --driver "$inputs/Driver" --download-tool "$inputs/tool-forward-nowhere" --firmware "$inputs/image v22.dfu"

# An import without extension finds its DLL as the loader does.
if ! kit_make --out "$KIT_WORK/out no extension" --driver "$inputs/Driver" --download-tool "$inputs/tool-no-extension" \
    --firmware "$inputs/image v22.dfu"; then
    kit_fail "a tool importing a DLL without its extension was refused: $(cat "$KIT_WORK/stderr")"
elif ! grep -qF 'DLLs from win64: KitProbeDep.dll KitProbeLeaf.dll; from Windows:' "$KIT_WORK/stdout"; then
    kit_fail "the report does not list the DLL imported without extension: $(cat "$KIT_WORK/stdout")"
fi

# A KnownDLL in the tool's folder, whose own imports would fail: Windows
# takes its own copy, and the report says so.
if ! kit_make --out "$KIT_WORK/out known" --driver "$inputs/Driver" --download-tool "$inputs/tool-known-dll" \
    --firmware "$inputs/image v22.dfu"; then
    kit_fail "a KnownDLL in the tool's folder was refused: $(cat "$KIT_WORK/stderr")"
elif ! grep -qE 'DLLs from win64: none; from Windows:.* KERNEL32\.dll.*; in win64 but taken from Windows \(KnownDLLs and API sets\): kernel32\.dll' "$KIT_WORK/stdout"; then
    kit_fail "the report does not say that Windows takes its own kernel32.dll: $(cat "$KIT_WORK/stdout")"
fi

# ---- a libusbK package, against osslsigncode ---------------------------------
libusbk=$KIT_BUILD/tests/kit/driver/packages/libusbk
outK="$KIT_WORK/out libusbK"
kit_make --out "$outK" --driver "$libusbk" --download-tool "$inputs/dfu tool" --firmware "$inputs/image v22.dfu" ||
    kit_fail "the libusbK kit was refused: $(cat "$KIT_WORK/stderr")"
report=$(kit_check "$outK/TouchpadUpdater" 2>&1 | tr -d '\r')
grep -qF '[Install.NTamd64]: function driver libusbK' <<<"$report" || kit_fail "KitCheck did not report libusbK: $report"
certificate=$KIT_BUILD/tests/support/catalog/signing/cert.pem
for file in amd64/libusbK.sys amd64/libusbK.dll; do
    found=$(osslsigncode verify -CAfile "$certificate" -catalog "$libusbk/dfu.cat" -in "$libusbk/$file" 2>&1)
    theirs=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$found")
    if [[ $found != *"Signature verification: ok"* || -z $theirs ]]; then
        kit_fail "osslsigncode does not find $file in the catalog: $found"
    elif ! grep -F "Driver/$file -> " <<<"$report" | grep -qF "SHA256 image digest $theirs)"; then
        kit_fail "KitCheck's catalog digest of $file is not osslsigncode's $theirs: $report"
    else
        echo "agree with osslsigncode: $file $theirs"
    fi
done
infDigest=$(sha256sum "$libusbk/dfu.inf" | cut -d' ' -f1 | tr 'a-f' 'A-F')
if ! grep -qF "Driver/dfu.inf: class libusbK USB Devices" <<<"$report" ||
    ! grep -qF "SHA256 file digest $infDigest)" <<<"$report"; then
    kit_fail "KitCheck's catalog digest of dfu.inf is not sha256sum's $infDigest: $report"
fi
thumbprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
grep -qF "SHA-1 thumbprint $thumbprint," <<<"$report" || kit_fail "KitCheck's thumbprint is not openssl's $thumbprint"

# ---- warnings ---------------------------------------------------------------
outW="$KIT_WORK/out warned"
kit_make --out "$outW" --driver "$inputs/Driver-unmapped" --download-tool "$inputs/dfu tool" \
    --firmware "$inputs/image v22.dfu" || kit_fail "a kit with warnings was refused: $(cat "$KIT_WORK/stderr")"
[[ -f $outW/TouchpadUpdater-kit.zip ]] || kit_fail "a kit with warnings made no zip"
grep -qF "make-kit: warning: $inputs/Driver-unmapped/infInstall.bat: line 1: pnputil's exit code 3010" \
    "$KIT_WORK/stderr" || kit_fail "make-kit did not print the warning: $(cat "$KIT_WORK/stderr")"

# Neither of these may touch anything: the input digest below shows it.
kit_make --out "$inputs/Driver/dist" "${sound[@]}"
made=$?
if [[ $made == 0 ]] ||
    ! grep -qF "$inputs/Driver: the out folder $inputs/Driver/dist and this input overlap" "$KIT_WORK/stderr"; then
    kit_fail "an out folder inside an input was not refused ($made): $(cat "$KIT_WORK/stderr")"
fi
kit_make --out "$outR" --driver "$inputs/Driver" --download-tool "$inputs/dfu tool"
made=$?
if [[ $made != 2 ]] || ! grep -q '^usage: ' "$KIT_WORK/stderr"; then
    kit_fail "a command without --firmware was not a usage error ($made)"
fi

[[ $(kit_tree_digest "$inputs") == "$inputsBefore" ]] || kit_fail "the inputs were changed"
kit_test_end
