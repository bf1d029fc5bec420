#!/bin/bash
# The stand-in for the download tool refuses what the real tool refuses: a
# file that is not a sound DfuSe file for the bootloader (its DFU suffix
# broken, wrong or missing, its structure broken, a plain DFU file, a raw
# binary), an image for another release, a missing file and other arguments;
# it writes nothing to standard output; and with a sound image but no
# bootloader device it reports that there is none. Runs in the bench's
# prefix (WINEPREFIX from the environment), where no simulator runs.
#   check-download-stand-in.sh <build-dir>
set -uo pipefail

build=$(realpath "$1")
standIn=$build/tests/support/kit/kit/win64/dfu-util.exe
good=$build/tests/support/kit/kit/Firmware/KestruneFirmware.dfu
work=$build/e2e-runs/download-stand-in
rm -rf "$work"
mkdir -p "$work/state" "$work/win64" "$work/Firmware"
export TOUCHPAD_SIM_STATE="Z:${work//\//\\}\\state"
failed=0

# Rewrites the image with a changed byte or suffix field, with the suffix CRC
# made right again unless told otherwise.
#   variant <name> <perl expression on $d (the file's bytes)> [keep-crc]
variant() {
    perl -e '
        local $/; open(my $in, "<:raw", $ARGV[0]) or die; my $d = <$in>;
        eval $ARGV[1]; die $@ if $@;
        if (!$ARGV[3]) {
            my $crc = 0xFFFFFFFF;
            for my $b (unpack("C*", substr($d, 0, length($d) - 4))) {
                $crc ^= $b; for (1 .. 8) { $crc = ($crc & 1) ? (($crc >> 1) ^ 0xEDB88320) : ($crc >> 1) }
            }
            substr($d, -4, 4) = pack("V", $crc);
        }
        open(my $out, ">:raw", $ARGV[2]) or die; print $out $d;' "$good" "$2" "$work/Firmware/$1.dfu" "${3:-}"
}

# The expressions are perl's own, expanded by perl, not by the shell.
# shellcheck disable=SC2016
{
    variant sound ''
    variant payload-changed 'substr($d, 4000, 1) = "\x5A"' keep-crc
    variant crc-changed 'substr($d, -1, 1) = chr(ord(substr($d, -1, 1)) ^ 1)' keep-crc
    variant no-signature 'substr($d, -8, 3) = "XFD"'
    variant suffix-length-15 'substr($d, -5, 1) = chr(15)'
    variant other-vendor 'substr($d, -12, 2) = pack("v", 0x1234)'
    variant other-product 'substr($d, -14, 2) = pack("v", 0xDF12)'
    variant other-release 'substr($d, -16, 2) = pack("v", 0x2100)'
    variant dfuse-size-wrong 'substr($d, 6, 4) = pack("V", 1234)'
    variant target-size-wrong 'substr($d, 277, 4) = pack("V", 1)'
    # The firmware bytes alone, and with the suffix of a plain DFU file.
    variant raw-binary '$d = substr($d, 293, 8192)' keep-crc
    variant plain-dfu '$d = substr($d, 293, 8192) . substr($d, -16); substr($d, -10, 2) = pack("v", 0x0100)'
    variant truncated '$d = substr($d, 0, 10)' keep-crc
    variant empty '$d = ""' keep-crc
}

# check <expected exit> <expected reason> <argument>...
check() {
    local expectedExit=$1 reason=$2
    shift 2
    local output exitCode last
    output=$(cd "$work/win64" && wine "$standIn" "$@" </dev/null 2>/dev/null)
    exitCode=$?
    last=$(grep ' exit ' "$work/state/dfu-util.log" | tail -1)
    if [[ $exitCode != "$expectedExit" || $last != *"exit $expectedExit ($reason"* || -n $output ]]; then
        echo "FAIL: $* gave exit $exitCode, '$last', output '$output'; expected $expectedExit ($reason...)"
        failed=1
    else
        echo "ok: $* -> $exitCode ($reason)"
    fi
}

check 74 'No DFU capable USB device available' -D ../Firmware/sound.dfu -s :leave
# The sample: 8485 bytes of prefix, one target and its one element, then
# the suffix (idProduct at 8487, idVendor at 8489, 'UFD' at 8493, CRC at 8497).
check 65 'refused: DFU suffix CRC' -D ..\\Firmware\\payload-changed.dfu -s :leave
check 65 'refused: DFU suffix CRC' -D ..\\Firmware\\crc-changed.dfu -s :leave
check 65 "refused: no DFU suffix signature 'UFD' at byte 8493)" -D ..\\Firmware\\no-signature.dfu -s :leave
check 65 'refused: DFU suffix length 15 instead of 16 at byte 8496)' -D ..\\Firmware\\suffix-length-15.dfu -s :leave
check 65 'refused: image is for 1234:DF11, not 0483:DF11 at byte 8489)' -D ..\\Firmware\\other-vendor.dfu -s :leave
check 65 'refused: image is for 0483:DF12, not 0483:DF11 at byte 8487)' -D ..\\Firmware\\other-product.dfu -s :leave
check 65 'refused: image is for device release 2100)' -D ..\\Firmware\\other-release.dfu -s :leave
check 65 'refused: DfuSe image size 1234 instead of 8485 (or 8501 with the suffix) at byte 6)' \
    -D ..\\Firmware\\dfuse-size-wrong.dfu -s :leave
check 65 'refused: target 0 size 1, its elements take 8200 at byte 277)' -D ..\\Firmware\\target-size-wrong.dfu -s :leave
check 65 "refused: no DFU suffix signature 'UFD' at byte 8184)" -D ..\\Firmware\\raw-binary.dfu -s :leave
check 65 'refused: bcdDFU 0x0100 instead of 0x011A (DfuSe) at byte 8198)' -D ..\\Firmware\\plain-dfu.dfu -s :leave
check 65 'refused: file too short for a DFU suffix (10 bytes) at byte 0)' -D ..\\Firmware\\truncated.dfu -s :leave
check 65 'refused: file too short for a DFU suffix (0 bytes) at byte 0)' -D ..\\Firmware\\empty.dfu -s :leave
check 66 'cannot open DFU file' -D ..\\Firmware\\KestruneFirmware.dfu -s :leave
check 64 'expected -D' -D ..\\Firmware\\sound.dfu
check 64 'unexpected argument -R' -D ..\\Firmware\\sound.dfu -s :leave -R

# The record of a run: the program, its directory and its whole command line.
records=$(cut -d' ' -f2- "$work/state/dfu-util.log")
windowsBuild="Z:${build//\//\\}"
for expected in "program $windowsBuild\\tests\\support\\kit\\kit\\win64\\dfu-util.exe" \
    "cwd Z:${work//\//\\}\\win64" \
    "cmdline \"$windowsBuild\\tests\\support\\kit\\kit\\win64\\dfu-util.exe\" -D ../Firmware/sound.dfu -s :leave"; do
    grep -qxF -e "$expected" <<<"$records" || { echo "FAIL: not recorded: $expected"; failed=1; }
done

if [[ $failed == 0 ]]; then
    rm -rf "$work"
    echo "download stand-in checks passed"
fi
exit $failed
