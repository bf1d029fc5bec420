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
# "yes": started by InheritingCaller, with a variable and a PATH entry in its
# environment; the product's standard output is the caller's file.
caller=no
expectedLines=("Please wait" "Current COM: COM3")
expectedFrames=1
expectedImages=1
expectedInstallerLog=()
expectedDownloadRuns=1
expectedDownloadExit=0
lineUsed=yes
timingChecks=()
# "yes": any number of failed checks before the bootloader is found in the
# first wait, as the output shows it.
failedChecksFromOutput=no
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
    # Comes up 2.5 s after the command: between the third and fourth check
    # where a check takes next to nothing, earlier on a busy machine, where
    # each takes longer. How many fail is taken from the output; the trace
    # shows that every check after it came up, and only those, found it.
    simulatorOptions=(--appear-after 2500)
    failedChecksFromOutput=yes
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
caller-environment-and-handles)
    # The caller's line comes first: its own file open, a variable and a PATH
    # entry of its own. The children's lines reach its file: neither of those
    # reached them, the machine's PATH and SystemRoot did.
    caller=yes
    expectedStarts=(installer download)
    simulatorOptions=(--appear-after 0 --without-driver)
    installerInstalls=yes
    machine='PATH=C:\windows\system32;C:\windows;C:\windows\system32\wbem;C:\windows\system32\WindowsPowershell\v1.0, SystemRoot=C:\windows'
    expectedLines=("caller: caller's file open, TOUCHPAD_PROBE=set-by-the-caller, ${machine/=/=C:\\ProbePath;}"
        "${expectedLines[@]}" "${tenChecks[@]}" "Install driver......" "installer: caller's file closed, TOUCHPAD_PROBE=, $machine"
        "download tool: caller's file closed, TOUCHPAD_PROBE=, $machine")
    expectedInstallerLog=("ran \"C:\\Kit\\Driver\\infInstall.bat\"" "cwd C:\\Kit\\Driver"
        "installed driver 2.2.0.0 for \"USB\\VID_0483&PID_DF11\\KSIM0001\"" "exit 0")
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
E2E_RELAY_INCLUDE="KERNEL32.Sleep;KERNEL32.WaitForSingleObject;KERNEL32.WriteFile;KERNEL32.CreateProcessW"
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
# CreateProcessW, whether or not the program exists; its relay trace, the
# calls that the timing checks follow. Both on standard error only.
traced=-all,+process,+relay,+timestamp,+pid
if [[ $caller == yes ]]; then
    cp "$E2E_BUILD/tests/support/kit/InheritingCaller.exe" "$E2E_STATE/"
    # Wine puts WINEPATH first on the program's PATH.
    TOUCHPAD_PROBE=set-by-the-caller WINEPATH='C:\ProbePath' E2E_PRODUCT_WINEDEBUG=$traced \
        e2e_run_program "$E2E_STATE_WINDOWS\\InheritingCaller.exe" "$kitWindows\\TouchpadUpdater.exe"
    cp "$E2E_STATE/caller-output.txt" "$E2E_RUN/stdout.raw"
else
    E2E_PRODUCT_WINEDEBUG=$traced e2e_run_program "$kitWindows\\TouchpadUpdater.exe"
fi
lineSettings=$(stty -F "$E2E_RUN/ttyA" -a)
e2e_stop_simulator
# The simulator must have removed its devices: nothing left under the
# bootloader's hardware key.
if wine reg query 'HKLM\System\CurrentControlSet\Enum\USB\VID_0483&PID_DF11' </dev/null >/dev/null 2>&1; then
    e2e_fail "the bootloader device is still registered after the simulator ended"
fi

# ---- checks ----------------------------------------------------------------
if [[ $failedChecksFromOutput == yes ]]; then
    failedChecks=$(grep -c '^Check device' "$E2E_RUN/stdout.raw")
    if ((failedChecks < 1 || failedChecks > 9)); then
        e2e_fail "$failedChecks checks failed before the bootloader was found, expected 1 to 9"
    else
        echo "the bootloader was found after $failedChecks failed checks"
        mapfile -t failedCheckLines < <(checks "$failedChecks")
        expectedLines+=("${failedCheckLines[@]}")
    fi
fi
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
        grep -qx -e "$setting" <<<"${lineSettings//[ ;]/$'\n'}" || e2e_fail "line settings lack $setting"
    done
    grep -q ' line baud 115200 bytesize 8 parity 0 stopbits 0$' "$events" ||
        e2e_fail "the simulator saw other line settings: $(grep ' line ' "$events")"
else
    if [[ $lineSettings != *'speed 9600 baud;'* ]] || ! grep -qx -e cstopb <<<"${lineSettings//[ ;]/$'\n'}"; then
        e2e_fail "the line was changed although no port was accepted"
    fi
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
installerStart="$interpreter|\"$interpreter\" /d /e:on /v:off /s /c \"\"$kitWindows\\Driver\\infInstall.bat\"\""
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
# The program's own pauses, time-outs and their order, from Wine's relay trace
# of its main thread (program-calls.pl), on Wine's tick count: the clock its
# Sleep and its time-outs run on, read in the program itself, so that neither
# the start of a process nor a late reader of its output counts.
calls=$E2E_RUN/calls.txt
if ((${#timingChecks[@]})) && ! perl "$E2E_SOURCE_DIR/program-calls.pl" "$E2E_RUN/stderr.txt" "$E2E_RUN/stdout.raw" >"$calls"; then
    e2e_fail "the relay trace does not show the program's calls"
fi
# The margins come from this run, as the simulator's clock watch saw it
# around the moments checked: the tick count lagged the monotonic clock by up
# to a window's lag where it was sampled and by up to one sample gap more
# between samples, and the trace shows whole ms, so a stamp is up to `early`
# early. A wait can also end as late as a Wine thread here went unscheduled
# (a 1 ms pause that took up to the window's gap): `late`.
windows=$E2E_RUN/clock-windows.txt
awk '$2 == "clock-window" { print $3, $4, $5, $6 }' "$events" >"$windows"
read -r maxTickLag maxSampleGap < <(awk '$2 == "clock-spread" { print $4, $6 }' "$events")
if [[ ! -s $windows || -z $maxSampleGap ]]; then
    e2e_fail "the simulator recorded no clock windows"
fi
echo "timing: over the simulator's run, tick lag up to $maxTickLag ms, a 1 ms pause took up to $maxSampleGap ms"
# margins <from> <to>: "<early> <late>" in ms for an interval of tick stamps,
# from the windows that reach from a little before it to well after it (a
# stamp is the monotonic time less the lag of its moment).
margins() {
    awk -v a="$1" -v b="$2" '$2 >= a - 200 && $1 <= b + 1000 {
            if ($3 > lag) lag = $3; if ($4 > gap) gap = $4 }
        END { printf "%.0f %.0f\n", lag + gap + 1.5, gap + 0.5 }' "$windows"
}
# earliest|latest <expected ms> <from> <to>
earliest() {
    local early late
    read -r early late < <(margins "$2" "$3")
    echo $(($1 - early))
}
latest() {
    local early late
    read -r early late < <(margins "$2" "$3")
    echo $(($1 + early + late))
}
# expectBetween <what> <ms> <low> [<high>]
expectBetween() {
    if [[ -z ${4:-} ]] && (($2 < $3)); then
        e2e_fail "$1 took $2 ms, expected at least $3 ms"
    elif [[ -n ${4:-} ]] && (($2 < $3 || $2 > $4)); then
        e2e_fail "$1 took $2 ms, expected $3 to $4 ms"
    else
        echo "timing: $1 $2 ms ($3..${4:-})"
    fi
}
# The Unix time of a simulator event on the tick count's clock, through the
# simulator's "clock" event, which gives both.
eventTick() {
    awk -v name="$1" '$2 == "clock" { unix = $1; mono = $4 }
        $2 == name && unix { printf "%.0f\n", (($1 - unix) * 1000 + mono); exit }' "$events"
}

# Every failed check is followed at once by a pause of 1000 ms, the next
# check comes after it: "<check> <asked ms> <paused ms> <ms since the last
# check's line or -> <stamp of the pause>".
checkPauses() {
    awk '$2 == "line" && $3 == "Check" && $4 == "device" {
             if (line != "") print line, "- - - -"
             number = $5; line = number; since = (number == last + 1 && seen) ? $1 - previous : "-"
             previous = $1; last = number; seen = 1; next }
         $2 == "line" { seen = 0 }
         line != "" && $2 == "sleep" { asked = $3; began = $1; next }
         line != "" && $2 == "slept" && asked != "" { print line, asked, $1 - began, since, began; line = ""; asked = ""; next }
         line != "" { print line, "- - - -"; line = "" }
         END { if (line != "") print line, "- - - -" }' "$calls"
}
# A failed wait, from its first failed check's line to the line that follows
# it: "<pauses of 1000 ms> <other pauses or waits> <ms> <stamp of its start>".
waitRecord() { # <occurrence of "Check device 0"> <line that follows the wait>
    awk -v occurrence="$1" -v after="$2" '
        { text = $0; sub(/^[^ ]+ [^ ]+ /, "", text) }
        $2 == "line" && text == "Check device 0" && ++count == occurrence { began = $1; next }
        !began { next }
        $2 == "line" && text == after { print pauses + 0, others + 0, $1 - began, began; exit }
        $2 == "sleep" && $3 == 1000 { pauses++; next }
        $2 == "sleep" || $2 == "wait" { others++ }' "$calls"
}
failedWait() { # <occurrence> <line that follows the wait>
    local pauses others took began
    read -r pauses others took began < <(waitRecord "$1" "$2")
    if [[ -z $took ]]; then
        e2e_fail "failed wait $1 (to \"$2\") not in the trace"
        return
    fi
    [[ $pauses == 10 && $others == 0 ]] ||
        e2e_fail "failed wait $1 made $pauses pauses of 1000 ms and $others other waits, expected 10 and 0"
    # The rest of it is the program's checks, which take what the machine gives.
    expectBetween "failed wait $1 (to \"$2\")" "$took" "$(earliest 10000 "$began" $((began + took)))"
}
# The waits between the command on the wire and the start of the download
# tool: "<asked ms> <result> <ms> <stamp>" each, then "command-to-start <ms>
# <stamp>".
commandWaits() {
    awk '$2 == "write" && $3 == 11 && !frame { frame = $1; next }
         !frame { next }
         $2 == "wait" { asked = $3; began = $1; next }
         $2 == "waited" && asked != "" { print asked, $3, $1 - began, began; asked = ""; next }
         $2 == "start" { print "command-to-start", $1 - frame, frame; exit }' "$calls"
}
replyWait() { # <timeout|answered>
    local asked result took at timeouts=0 commandToStart='' frame=''
    while read -r asked result took at; do
        if [[ $asked == command-to-start ]]; then
            commandToStart=$result frame=$took
        elif [[ $result == 258 ]]; then
            timeouts=$((timeouts + 1))
            [[ $asked == 1000 ]] || e2e_fail "the reply was waited for $asked ms, expected 1000"
            expectBetween "wait for the reply" "$took" "$(earliest 1000 "$at" $((at + took)))" "$(latest 1000 "$at" $((at + took)))"
        fi
    done < <(commandWaits)
    if [[ -z $commandToStart ]]; then
        e2e_fail "no command followed by the start of the download tool in the trace"
    elif [[ $1 == timeout ]]; then
        [[ $timeouts == 1 ]] || e2e_fail "$timeouts waits timed out after the command, expected 1"
        expectBetween "command to download" "$commandToStart" "$(earliest 1000 "$frame" $((frame + commandToStart)))"
    else
        [[ $timeouts == 0 ]] || e2e_fail "a full reply did not end the read: $timeouts waits timed out"
        echo "timing: command to download $commandToStart ms (no wait timed out)"
    fi
}

for check in "${timingChecks[@]}"; do
    case $check in
    pauses)
        while read -r number asked paused since at; do
            if [[ $asked != 1000 ]]; then
                e2e_fail "check $number was followed by a pause of $asked ms, expected 1000"
                continue
            fi
            expectBetween "pause after check $number" "$paused" "$(earliest 1000 "$at" $((at + paused)))" \
                "$(latest 1000 "$at" $((at + paused)))"
            [[ $since == - ]] ||
                expectBetween "check $((number - 1)) to check $number" "$since" "$(earliest 1000 $((at - since)) "$at")"
        done < <(checkPauses)
        ;;
    failed-first-wait) failedWait 1 "Install driver......" ;;
    failed-second-wait) failedWait 2 "No find device" ;;
    quick-reply) replyWait answered ;;
    reply-timeout) replyWait timeout ;;
    late-device)
        # The check that begins after the bootloader came up finds it: no
        # check that began after a pause ended later fails, and at most the
        # pause (or the check) under way ends first. A stamp is never late,
        # so one after the moment it came up is after it.
        present=$(eventTick bootloader-present)
        read -r lateChecks latePauses toStart < <(awk -v p="$present" '
            $2 == "slept" { slept = $1; if ($1 > p) pauses++ }
            $2 == "line" && $3 == "Check" && slept > p { checks++ }
            $2 == "start" { print checks + 0, pauses + 0, $1 - p; exit }' "$calls")
        if [[ -z $present || -z $toStart ]]; then
            e2e_fail "no bootloader and download start in the records"
        else
            [[ $lateChecks == 0 && $latePauses -le 1 ]] ||
                e2e_fail "after the bootloader came up, $lateChecks checks failed and $latePauses pauses ended, expected 0 and at most 1"
            echo "timing: bootloader to download $toStart ms, $latePauses pause between"
        fi
        ;;
    esac
done

if [[ $E2E_FAILED != 0 ]]; then
    echo "---- standard output (stamped)" >&2
    cat "$E2E_RUN/stdout.stamped" >&2
    echo "---- simulator events" >&2
    grep -v ' clock-window ' "$events" >&2
    for record in installer.log dfu-util.log; do
        [[ -e $E2E_STATE/$record ]] && { echo "---- $record" >&2; cat "$E2E_STATE/$record" >&2; }
    done
    echo "---- standard error of the product" >&2
    grep -v -e fixme -e 'trace:' -e ':Call ' -e ':Ret ' -e ':Starting ' -e wine32 -e multiarch -e 'execute "dpkg' -e 'apt-get install' "$E2E_RUN/stderr.txt" >&2
    echo "scenario $scenario FAILED (run directory $E2E_RUN)"
    exit 1
fi
echo "scenario $scenario passed in $(awk -v a="$E2E_STARTED" -v b="$E2E_ENDED" 'BEGIN { printf "%.3f", b - a }') s of product time"
exit 0
