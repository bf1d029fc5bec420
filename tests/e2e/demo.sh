#!/bin/bash
# Shows the product at work, end to end under Wine, against the simulated
# touchpad in a demo kit: the touchpad's bootloader comes up without its
# driver, so the first wait fails, the driver installer (stand-in) installs
# the driver, the second wait finds the device and the download tool
# (stand-in) hands the sample firmware to the bootloader, which then leaves.
# The program's own output is shown as it comes, then what the touchpad saw.
# Builds nothing: build the project first. Makes the bench's pristine Wine
# prefix when the build folder has none yet. Runs the kit unpacked from the
# given release zip (scripts/make-kit.sh), or else the build's test kit.
#   demo.sh <build-dir> [<kit zip>]
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"

if [[ $# != 1 && $# != 2 ]]; then
    echo "usage: $0 <build-dir> [<kit zip>]" >&2
    exit 2
fi
kitZip=${2:-}
E2E_MAKE_TEMPLATE=1
e2e_init "$1" "$1/e2e-runs/demo" || exit 1
trap e2e_finish EXIT

e2e_start_prefix
e2e_start_line || exit 1
e2e_list_ports COM3
if [[ -n $kitZip ]]; then
    e2e_install_kit_zip "$kitZip"
else
    e2e_install_kit Kit
fi
echo "Set up: a Wine prefix, a pty pair as COM3, the kit in $E2E_KIT_WINDOWS, the simulated touchpad"
printf 'yes\r\n' >"$E2E_STATE/installer-installs-driver.txt"
e2e_start_simulator --appear-after 0 --without-driver --time-limit 120 || exit 1
stty -F "$E2E_RUN/ttyA" 9600 cstopb

echo
echo "==== $E2E_KIT_WINDOWS\\TouchpadUpdater.exe (its own output, as it comes)"
E2E_LIVE=1 e2e_run_program "$E2E_KIT_WINDOWS\\TouchpadUpdater.exe" 2>&1
echo "==== exit code $E2E_EXIT_CODE after $(awk -v a="$E2E_STARTED" -v b="$E2E_ENDED" 'BEGIN { printf "%.1f", b - a }') s"

lineSettings=$(stty -F "$E2E_RUN/ttyA" -a)
e2e_stop_simulator

echo
echo "==== What the simulated touchpad saw"
cat "$E2E_STATE/report.txt"
echo
echo "==== The product's end of the line afterwards (stty, Linux side)"
speed=$(sed -n 's/^speed \([0-9]*\) baud.*/\1/p' <<<"$lineSettings")
flags=$(printf '%s\n' "${lineSettings//[ ;]/$'\n'}" | grep -x -E 'cs[5-8]|-?parenb|-?cstopb' | tr '\n' ' ')
echo "speed $speed baud, $flags(it was 9600 baud, cstopb before the run)"
echo "(a Linux pty always keeps cs8 and -parenb)"
echo
echo
echo "==== The driver installer's record"
tr -d '\r' <"$E2E_STATE/installer.log"
echo
echo "==== The download tool's record"
cut -d' ' -f2- "$E2E_STATE/dfu-util.log"
