#!/bin/bash
# The program's own overhead on its happy path: the bootloader is present
# with its driver before the command and the touchpad answers with 5 bytes,
# so nothing waits. Measures, in one prefix and interleaved run by run:
#   - the wall time of TouchpadUpdater.exe under Wine,
#   - the wall time of NoOp.exe started the same way (Wine's start-up cost),
#   - the time spent in the download stand-in, from its process creation to
#     its exit, as it records it itself,
# and reports the medians and the program's own overhead: its time less the
# other two. Builds nothing; needs the built project (makes the bench's
# pristine Wine prefix when the build folder has none yet).
#   run-happy-path-benchmark.sh <build-dir> [runs, default 10]
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"

if [[ $# -lt 1 ]]; then
    echo "usage: $0 <build-dir> [runs]" >&2
    exit 2
fi
runs=${2:-10}
E2E_MAKE_TEMPLATE=1
e2e_init "$1" "$1/e2e-runs/benchmark" || exit 1
trap e2e_finish EXIT

e2e_start_prefix
e2e_start_line || exit 1
e2e_list_ports COM3
e2e_install_kit Kit
cp "$E2E_NOOP" "$E2E_KIT/NoOp.exe"
# The bootloader is up before every command and back right after each
# download, so every run takes the same path.
e2e_start_simulator --present-before-frame --reply-bytes 5 --time-limit 600 || exit 1

milliseconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

productTimes=()
noOpTimes=()
productStarts=()
productEnds=()
printf 'Please wait\r\nCurrent COM: COM3\r\n' >"$E2E_RUN/stdout.expected"
# One warm-up round, not counted, then the measured ones.
for round in $(seq 0 "$runs"); do
    e2e_run_program 'C:\Kit\NoOp.exe'
    noOp=$(milliseconds "$E2E_STARTED" "$E2E_ENDED")
    e2e_run_program 'C:\Kit\TouchpadUpdater.exe'
    product=$(milliseconds "$E2E_STARTED" "$E2E_ENDED")
    if ! cmp -s "$E2E_RUN/stdout.expected" "$E2E_RUN/stdout.raw"; then
        echo "run $round: unexpected output: $(cat -A "$E2E_RUN/stdout.raw")" >&2
        exit 1
    fi
    if [[ $round -gt 0 ]]; then
        noOpTimes+=("$noOp")
        productTimes+=("$product")
        productStarts+=("$E2E_STARTED")
        productEnds+=("$E2E_ENDED")
    fi
done
e2e_stop_simulator

images=$(grep -c ' image .* valid$' "$E2E_STATE/events.log")
if [[ $images != $((runs + 1)) ]]; then
    echo "expected $((runs + 1)) firmware downloads, the simulator saw $images" >&2
    exit 1
fi
# The stand-in's own record of each run, the warm-up left out.
mapfile -t standInTimes < <(awk '$2 == "exit" { for (i = 3; i < NF; i++) if ($i == "since-creation-ms") printf "%.1f\n", $(i + 1) }' \
    "$E2E_STATE/dfu-util.log" | tail -n "$runs")

productMedian=$(printf '%s\n' "${productTimes[@]}" | median)
noOpMedian=$(printf '%s\n' "${noOpTimes[@]}" | median)
standInMedian=$(printf '%s\n' "${standInTimes[@]}" | median)
overhead=$(awk -v p="$productMedian" -v n="$noOpMedian" -v s="$standInMedian" 'BEGIN { printf "%.1f", p - n - s }')

echo "Happy path under Wine, $runs runs each (medians, ms):"
echo "  TouchpadUpdater.exe wall time:        $productMedian   (runs: ${productTimes[*]})"
echo "  NoOp.exe wall time, started the same: $noOpMedian   (runs: ${noOpTimes[*]})"
echo "  inside the download stand-in:         $standInMedian   (runs: ${standInTimes[*]})"
echo "  the program's own overhead:           $overhead   (goal: under 50)"

# Where a product run's time goes, from the simulator's and the stand-in's
# own time stamps (medians, ms).
mapfile -t frames < <(awk '$2 == "frame" { print $1 }' "$E2E_STATE/events.log" | tail -n "$runs")
mapfile -t toolStarts < <(awk '$2 == "program" { print $1 }' "$E2E_STATE/dfu-util.log" | tail -n "$runs")
mapfile -t toolEnds < <(awk '$2 == "exit" { print $1 }' "$E2E_STATE/dfu-util.log" | tail -n "$runs")
stage() { # <first array name> <second array name>
    local -n from=$1 to=$2
    local index
    for index in "${!from[@]}"; do milliseconds "${from[$index]}" "${to[$index]}"; done | median
}
echo "Where the product's time goes (medians, ms):"
echo "  start under Wine to the command on the wire:    $(stage productStarts frames)"
echo "  command to the download tool's main:            $(stage frames toolStarts)"
echo "  download tool's main to its exit:               $(stage toolStarts toolEnds)"
echo "  download tool's exit to the product's end:      $(stage toolEnds productEnds)"
