#!/bin/bash
# One end-to-end scenario: the real TouchpadUpdater.exe under Wine, in a kit
# of its own, against the simulated touchpad on a socat pty pair, in a Wine
# prefix of its own. Checks the program's standard output byte for byte, its
# exit code, the command on the wire, the line settings, the tools it started
# (command lines and working directories) and the timing of its waits.
#   run-scenario.sh <build-dir> <scenario>
# E2E_KEEP=1 keeps the run directory, prefix included, for a look afterwards.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"

build=$1
scenario=$2

# What each scenario sets up, and what it expects.
simulatorOptions=()
ports=(COM3)
kitName=Kit
installer=present
installerExit=0
installerInstalls=no
downloadTool=present
downloadExit=0
firmware=good
plantPrefixProgram=no
expectedLines=("Please wait" "Current COM: COM3")
expectedFrames=1
expectedImages=1
expectedInstallerLog=()
expectedDownloadRuns=1
expectedDownloadExit=0
lineUsed=yes
timingChecks=()
# The programs the product asks Windows to start, in order, as Wine itself
# traces them: "installer" or "download".
expectedStarts=(download)

checks() { printf 'Check device %s\n' $(seq 0 $(($1 - 1))); }
mapfile -t tenChecks < <(checks 10)

case $scenario in
device-present)
    # Bootloader up with its driver before the command: no check fails.
    simulatorOptions=(--present-before-frame)
    timingChecks=(quick-reply)
    ;;
device-after-three-checks)
    # Comes up 2.5 s after the command, between the third and fourth check.
    simulatorOptions=(--appear-after 2500)
    mapfile -t threeChecks < <(checks 3)
    expectedLines+=("${threeChecks[@]}")
    timingChecks=(pauses late-device)
    ;;
no-reply)
    simulatorOptions=(--reply-bytes 0 --appear-after 0)
    timingChecks=(reply-timeout)
    ;;
short-reply)
    simulatorOptions=(--reply-bytes 3 --present-before-frame)
    timingChecks=(reply-timeout)
    ;;
installer-fails)
    expectedStarts=(installer)
    simulatorOptions=(--never-appear)
    installerExit=1
    expectedLines+=("${tenChecks[@]}" "Install driver......")
    expectedImages=0
    expectedDownloadRuns=0
    expectedInstallerLog=("ran \"C:\\Kit\\Driver\\infInstall.bat\"" "cwd C:\\Kit\\Driver" "exit 1")
    timingChecks=(pauses failed-first-wait)
    ;;
installer-installs-driver)
    expectedStarts=(installer download)
    # Up at once but without a driver until the installer adds it.
    simulatorOptions=(--appear-after 0 --without-driver)
    installerInstalls=yes
    expectedLines+=("${tenChecks[@]}" "Install driver......")
    expectedInstallerLog=("ran \"C:\\Kit\\Driver\\infInstall.bat\"" "cwd C:\\Kit\\Driver"
        "installed driver 2.2.0.0 for \"USB\\VID_0483&PID_DF11\\KSIM0001\"" "exit 0")
    timingChecks=(pauses failed-first-wait)
    ;;
no-find-device)
    expectedStarts=(installer)
    simulatorOptions=(--never-appear)
    installerInstalls=yes
    expectedLines+=("${tenChecks[@]}" "Install driver......" "${tenChecks[@]}" "No find device")
    expectedImages=0
    expectedDownloadRuns=0
    expectedInstallerLog=("ran \"C:\\Kit\\Driver\\infInstall.bat\"" "cwd C:\\Kit\\Driver"
        "no bootloader device to install for" "exit 0")
    timingChecks=(pauses failed-first-wait failed-second-wait)
    ;;
com3-twice-download-succeeds)
    expectedStarts=(download download)
    ports=(COM3 COM3)
    simulatorOptions=(--appear-after 0)
    expectedLines+=("Current COM: COM3")
    expectedFrames=2
    expectedImages=2
    expectedDownloadRuns=2
    ;;
com3-twice-download-fails)
    ports=(COM3 COM3)
    simulatorOptions=(--appear-after 0)
    downloadExit=2
    expectedDownloadExit=2
    ;;
kit-dir-with-blanks)
    expectedStarts=(installer download)
    # Blanks, letters outside the ANSI code page and the characters the
    # command interpreter acts on outside quotes. C:\Kit.exe would run for an
    # unquoted C:\Kit Dir ...\ path.
    kitName="Kit Dir ü日本 & ^ ( ) ; ,"
    plantPrefixProgram=yes
    simulatorOptions=(--appear-after 0 --without-driver)
    installerInstalls=yes
    expectedLines+=("${tenChecks[@]}" "Install driver......")
    expectedInstallerLog=("ran \"C:\\$kitName\\Driver\\infInstall.bat\"" "cwd C:\\$kitName\\Driver"
        "installed driver 2.2.0.0 for \"USB\\VID_0483&PID_DF11\\KSIM0001\"" "exit 0")
    timingChecks=(failed-first-wait)
    ;;
tools-missing)
    # A missing installer is not started, so the interpreter is not either;
    # the missing download tool is asked for and fails to start.
    expectedStarts=(download)
    # The first bootloader device has no driver, a second one has: the first
    # wait fails, the second succeeds once the missing installer "ran".
    installer=missing
    downloadTool=missing
    simulatorOptions=(--appear-after 0 --without-driver --second-bootloader-with-driver)
    expectedLines+=("${tenChecks[@]}" "Install driver......")
    expectedImages=0
    expectedDownloadRuns=0
    timingChecks=(failed-first-wait)
    ;;
corrupted-image)
    # The download tool refuses the image (exit 65), which ends the scan.
    firmware=corrupted
    simulatorOptions=(--present-before-frame)
    expectedImages=0
    expectedDownloadExit=65
    ;;
no-com3)
    expectedStarts=()
    # Names that only look like it: nothing is opened, the line is untouched.
    ports=(COM4 com3 COM33 "COM3 ")
    simulatorOptions=(--never-appear)
    expectedLines=("Please wait" "The correct serial port was not found")
    expectedFrames=0
    expectedImages=0
    expectedDownloadRuns=0
    lineUsed=no
    ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

# Wine maps non-ASCII file names through the locale: UTF-8, as on the disk.
export LC_ALL=C.UTF-8

# E2E_RUN_DIR names another run directory, for a caller that runs a scenario
# beside the registered one.
e2e_init "$build" "${E2E_RUN_DIR:-$build/e2e-runs/$scenario}" || exit 1
trap e2e_finish EXIT

# ---- set up ----------------------------------------------------------------
e2e_start_prefix
e2e_start_line || exit 1
e2e_list_ports "${ports[@]}"
listed=$(wine reg query 'HKLM\Hardware\DeviceMap\SerialComm' </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^    .*    REG_SZ    //p')
[[ $listed == "$(printf '%s\n' "${ports[@]}")" ]] || e2e_fail "the serial port list holds: $listed"
e2e_install_kit "$kitName"
kitWindows=$E2E_KIT_WINDOWS
[[ $installer == missing ]] && rm -rf "$E2E_KIT/Driver"
[[ $downloadTool == missing ]] && rm -rf "$E2E_KIT/win64"
if [[ $firmware == corrupted ]]; then
    # One payload byte changed: the suffix CRC no longer matches.
    printf '\x5A' | dd of="$E2E_KIT/Firmware/KestruneFirmware.dfu" bs=1 seek=4000 conv=notrunc status=none
fi
if [[ $plantPrefixProgram == yes ]]; then
    # A copy of the download stand-in records in dfu-util.log if it ever runs.
    cp "$E2E_KIT_SOURCE/win64/dfu-util.exe" "$E2E_PREFIX/drive_c/Kit.exe"
fi
printf '%s\r\n' "$installerExit" >"$E2E_STATE/installer-exit-code.txt"
[[ $installerInstalls == yes ]] && printf 'yes\r\n' >"$E2E_STATE/installer-installs-driver.txt"
printf '%s\r\n' "$downloadExit" >"$E2E_STATE/download-exit-code.txt"

e2e_start_simulator --time-limit 90 "${simulatorOptions[@]}" || exit 1
# Something other than 115200 baud with one stop bit, so that the check of
# the settings can fail. (A Linux pty keeps CS8 and no parity whatever it is
# told, so those two cannot be set otherwise here.)
stty -F "$E2E_RUN/ttyA" 9600 cstopb

# ---- run -------------------------------------------------------------------
# Wine's process trace records every command line the product hands to
# CreateProcessW, whether or not the program exists; on standard error only.
E2E_PRODUCT_WINEDEBUG=-all,+process e2e_run_program "$kitWindows\\TouchpadUpdater.exe"
lineSettings=$(stty -F "$E2E_RUN/ttyA" -a)
e2e_stop_simulator
# The simulator must have removed its devices: nothing left under the
# bootloader's hardware key.
if wine reg query 'HKLM\System\CurrentControlSet\Enum\USB\VID_0483&PID_DF11' </dev/null >/dev/null 2>&1; then
    e2e_fail "the bootloader device is still registered after the simulator ended"
fi

# ---- checks ----------------------------------------------------------------
expectedOutput=$(printf '%s\r\n' "${expectedLines[@]}"; printf x)
expectedOutput=${expectedOutput%x}
printf '%s' "$expectedOutput" >"$E2E_RUN/stdout.expected"
if ! cmp -s "$E2E_RUN/stdout.expected" "$E2E_RUN/stdout.raw"; then
    e2e_fail "standard output differs from the expected bytes"
    diff <(od -c "$E2E_RUN/stdout.expected") <(od -c "$E2E_RUN/stdout.raw") >&2
fi
[[ $E2E_EXIT_CODE == 0 ]] || e2e_fail "exit code $E2E_EXIT_CODE instead of 0"
[[ $E2E_SIMULATOR_EXIT == 0 ]] || e2e_fail "the simulator ended with $E2E_SIMULATOR_EXIT (time limit or error)"

events=$E2E_STATE/events.log
frameCount=$(grep -c ' frame ' "$events")
goodFrames=$(grep -c ' frame 0E 00 00 01 00 00 00 00 00 01 ED$' "$events")
byteCount=$(awk '$2 == "received" { n += NF - 2 } END { print n + 0 }' "$events")
[[ $frameCount == "$expectedFrames" && $goodFrames == "$expectedFrames" ]] ||
    e2e_fail "$goodFrames good frames of $frameCount on the wire, expected $expectedFrames"
[[ $byteCount == $((expectedFrames * 11)) ]] || e2e_fail "$byteCount bytes on the wire, expected $((expectedFrames * 11))"

if [[ $lineUsed == yes ]]; then
    [[ $lineSettings == *'speed 115200 baud;'* ]] || e2e_fail "line speed: $(head -1 <<<"$lineSettings")"
    for setting in cs8 -parenb -cstopb; do
        tr ' ;' '\n\n' <<<"$lineSettings" | grep -qx -e "$setting" || e2e_fail "line settings lack $setting"
    done
    grep -q ' line baud 115200 bytesize 8 parity 0 stopbits 0$' "$events" ||
        e2e_fail "the simulator saw other line settings: $(grep ' line ' "$events")"
else
    [[ $lineSettings == *'speed 9600 baud;'* ]] && tr ' ;' '\n\n' <<<"$lineSettings" | grep -qx -e cstopb ||
        e2e_fail "the line was changed although no port was accepted"
fi

# The images the bootloader took: size and CRC against the kit's file,
# computed here with gzip's CRC-32 (the suffix CRC is its complement).
firmwareFile=$E2E_KIT_SOURCE/Firmware/KestruneFirmware.dfu
firmwareSize=$(stat -c %s "$firmwareFile")
gzipCrc=$(head -c $((firmwareSize - 4)) "$firmwareFile" | gzip -c | tail -c 8 | head -c 4 | od -An -tu4 | tr -d ' ')
firmwareCrc=$(printf '%08X' $((gzipCrc ^ 0xFFFFFFFF)))
imageCount=$(grep -c ' image ' "$events")
goodImages=$(grep -c " image size $firmwareSize crc $firmwareCrc suffix-crc $firmwareCrc valid$" "$events")
[[ $imageCount == "$expectedImages" && $goodImages == "$expectedImages" ]] ||
    e2e_fail "$goodImages images of size $firmwareSize, CRC $firmwareCrc of $imageCount received, expected $expectedImages"
leftCount=$(awk '$2 == "image" { image = 1 } $2 == "bootloader-left" && image { n++; image = 0 } END { print n + 0 }' "$events")
[[ $leftCount == "$expectedImages" ]] || e2e_fail "left the bootloader $leftCount times after an image, expected $expectedImages"

# The driver installer: how often and how it ran, from its own record, which
# the interpreter writes in the ANSI code page (1252 here): letters outside it
# come out as "?".
if [[ ${#expectedInstallerLog[@]} -gt 0 ]]; then
    if ! diff <(printf '%s\n' "${expectedInstallerLog[@]}" | perl -CS -pe 's/[^\x{0}-\x{ff}]/?/g') \
        <(iconv -f CP1252 -t UTF-8 "$E2E_STATE/installer.log" 2>/dev/null | tr -d '\r') >&2; then
        e2e_fail "the driver installer ran otherwise than expected"
    fi
elif [[ -e $E2E_STATE/installer.log ]]; then
    e2e_fail "the driver installer ran: $(cat "$E2E_STATE/installer.log")"
fi

# Every start the product asked for, with the program it named and its exact
# command line, as Wine traces them: "app|command line". The product names no
# program for the download tool and the system's interpreter for the driver
# installer; the interpreter names reg.exe for the stand-in's own starts.
# Wine writes a character outside ASCII as a backslash and four hex digits.
interpreter='C:\windows\system32\cmd.exe'
installerStart="$interpreter|\"$interpreter\" /d /c \"\"$kitWindows\\Driver\\infInstall.bat\"\""
downloadStart="(null)|\"$kitWindows\\win64\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave"
expectedCommandLines=$(for start in "${expectedStarts[@]}"; do
    [[ $start == installer ]] && printf '%s\n' "$installerStart" || printf '%s\n' "$downloadStart"
done)
startedCommandLines=$(grep -a 'trace:process:CreateProcessInternalW app .* cmdline L"' "$E2E_RUN/stderr.txt" |
    perl -CO -ne 'sub text { my $t = shift; $t =~ s/\\([0-9a-f]{4}|.)/length($1) == 4 ? chr(hex($1)) : $1/ge; $t }
        next unless /CreateProcessInternalW app (\(null\)|L"((?:[^"\\]|\\.)*)") cmdline L"((?:[^"\\]|\\.)*)"\s*$/;
        my $app = defined $2 ? text($2) : $1;
        print "$app|", text($3), "\n" if $app eq "(null)" || $app eq q{C:\windows\system32\cmd.exe};')
if [[ $startedCommandLines != "$expectedCommandLines" ]]; then
    e2e_fail "the product started other programs or command lines"
    diff <(echo "$expectedCommandLines") <(echo "$startedCommandLines") >&2
fi

# The download tool: one block of records per run.
downloadLog=$E2E_STATE/dfu-util.log
downloadRuns=$(grep -c ' program ' "$downloadLog" 2>/dev/null)
[[ ${downloadRuns:-0} == "$expectedDownloadRuns" ]] ||
    e2e_fail "${downloadRuns:-0} download tool runs, expected $expectedDownloadRuns"
if [[ $expectedDownloadRuns -gt 0 ]]; then
    toolDirectory="$kitWindows\\win64"
    expectedCommandLine="\"$toolDirectory\\dfu-util.exe\" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave"
    while read -r _ field rest; do
        case $field in
        program) [[ $rest == "$toolDirectory\\dfu-util.exe" ]] || e2e_fail "program run: $rest" ;;
        cwd) [[ $rest == "$toolDirectory" ]] || e2e_fail "download tool working directory: $rest" ;;
        cmdline) [[ $rest == "$expectedCommandLine" ]] || e2e_fail "download tool command line: $rest" ;;
        exit) [[ $rest == "$expectedDownloadExit "* ]] || e2e_fail "download tool ended with: $rest" ;;
        esac
    done <"$downloadLog"
    [[ $(grep -c " exit " "$downloadLog") == "$expectedDownloadRuns" ]] || e2e_fail "a download tool run did not end"
fi

# ---- timing ----------------------------------------------------------------
# Times are Unix seconds: line arrival on this side, events on the
# simulator's and the download tool's, all from the one system clock.
lineTimes() { awk -v text="$1" '{ t = $1; $1 = ""; if (substr($0, 2) == text) print t }' "$E2E_RUN/stdout.stamped"; }
eventTime() { awk -v name="$1" '$2 == name { print $1; exit }' "$events"; }
downloadStart() { awk '$2 == "program" { print $1; exit }' "$downloadLog"; }
# expectBetween <what> <seconds> <low> <high>
expectBetween() {
    if ! awk -v v="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(v >= lo && v <= hi) }'; then
        e2e_fail "$1 took $2 s, expected $3 to $4 s"
    else
        printf 'timing: %s %.3f s (%s..%s)\n' "$1" "$2" "$3" "$4"
    fi
}
since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Every pause between two failed checks of one wait: 1000 ms plus a check.
checkPauses() {
    awk '{ t = $1; $1 = ""; line = substr($0, 2) }
         line ~ /^Check device [0-9]+$/ { n = $4; if (n == last + 1 && have) print line, t - previous;
                                          previous = t; last = n; have = 1; next }
         { have = 0 }' "$E2E_RUN/stdout.stamped"
}
# A failed wait: from its first line to the line after its tenth check, ten
# pauses and nine further checks.
failedWait() { # <occurrence of "Check device 0"> <line that follows the wait>
    local start end
    start=$(lineTimes "Check device 0" | sed -n "${1}p")
    end=$(lineTimes "$2" | head -1)
    expectBetween "failed wait $1 (to \"$2\")" "$(since "$start" "$end")" 9.9 12.5
}

for check in "${timingChecks[@]}"; do
    case $check in
    pauses)
        while read -r _ _ number interval; do
            expectBetween "pause before check $number" "$interval" 0.95 1.6
        done < <(checkPauses)
        ;;
    failed-first-wait) failedWait 1 "Install driver......" ;;
    failed-second-wait) failedWait 2 "No find device" ;;
    quick-reply)
        # A full reply ends the read at once: the download starts well
        # within the read's 1 s time-out.
        expectBetween "command to download" "$(since "$(eventTime frame)" "$(downloadStart)")" 0 0.95
        ;;
    reply-timeout)
        # No full reply: the read waits out its 1 s time-out first.
        expectBetween "command to download" "$(since "$(eventTime frame)" "$(downloadStart)")" 1.0 2.5
        ;;
    late-device)
        expectBetween "command to bootloader" "$(since "$(eventTime frame)" "$(eventTime bootloader-present)")" 2.45 2.8
        expectBetween "bootloader to download" "$(since "$(eventTime bootloader-present)" "$(downloadStart)")" 0 1.6
        ;;
    esac
done

if [[ $E2E_FAILED != 0 ]]; then
    echo "---- standard output (stamped)" >&2
    cat "$E2E_RUN/stdout.stamped" >&2
    echo "---- simulator events" >&2
    cat "$events" >&2
    for record in installer.log dfu-util.log; do
        [[ -e $E2E_STATE/$record ]] && { echo "---- $record" >&2; cat "$E2E_STATE/$record" >&2; }
    done
    echo "---- standard error of the product" >&2
    grep -v -e fixme -e 'trace:' -e wine32 -e multiarch -e 'execute "dpkg' -e 'apt-get install' "$E2E_RUN/stderr.txt" >&2
    echo "scenario $scenario FAILED (run directory $E2E_RUN)"
    exit 1
fi
echo "scenario $scenario passed in $(since "$E2E_STARTED" "$E2E_ENDED") s of product time"
exit 0
