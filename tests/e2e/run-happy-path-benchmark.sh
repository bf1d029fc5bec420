#!/bin/bash
# The program's own time on its happy path: the bootloader is present
# with its driver before the command and the touchpad answers with 5 bytes,
# so nothing waits. Measures, in one prefix and interleaved run by run:
#   - the wall time of TouchpadUpdater.exe under Wine,
#   - with --compare, the wall time of another build of it (such as the one
#     of an older commit), copied into the same kit as Compared.exe; the two
#     take turns going first in each round,
#   - the wall time of NoOp.exe started the same way (Wine's start-up cost),
#   - the time spent in the download stand-in, from its process creation to
#     its exit, as it records it itself,
# and reports the medians and each program's own time: its wall time less
# the stand-in's. The goal is a ratio to what the same run measured, since a
# busy machine starts every Wine program slower: in each round, the
# program's own time over the no-op's wall time just before it. The program
# is one Wine start, like the no-op, plus its own work (device walk, serial
# exchange, starting the tool), which costs nearly as much again as a start
# and slows down with it: the median ratio stayed between 1.7 and 1.9 while a
# no-op's start went from 0.3 to 1.4 s, and the goal is under 2. Builds
# nothing; needs the built project (makes the bench's pristine Wine prefix
# when the build folder has none yet).
#   run-happy-path-benchmark.sh <build-dir> [runs, default 10] [--compare <other TouchpadUpdater.exe>]
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"

usage() {
    echo "usage: $0 <build-dir> [runs] [--compare <other TouchpadUpdater.exe>]" >&2
    exit 2
}
compared=
arguments=()
while (($# > 0)); do
    case $1 in
    --compare)
        [[ $# -ge 2 ]] || usage
        compared=$2
        shift 2
        ;;
    *)
        arguments+=("$1")
        shift
        ;;
    esac
done
[[ ${#arguments[@]} -ge 1 ]] || usage
runs=${arguments[1]:-10}
if [[ -n $compared && ! -f $compared ]]; then
    echo "no such executable: $compared" >&2
    exit 2
fi
E2E_MAKE_TEMPLATE=1
e2e_init "${arguments[0]}" "${arguments[0]}/e2e-runs/benchmark" || exit 1
trap e2e_finish EXIT

e2e_start_prefix
e2e_start_line || exit 1
e2e_list_ports COM3
e2e_install_kit Kit
cp "$E2E_NOOP" "$E2E_KIT/NoOp.exe"
labels=("TouchpadUpdater.exe")
programs=("$E2E_KIT_WINDOWS\\TouchpadUpdater.exe")
if [[ -n $compared ]]; then
    cp "$compared" "$E2E_KIT/Compared.exe"
    labels+=("Compared.exe ($compared)")
    programs+=("$E2E_KIT_WINDOWS\\Compared.exe")
fi
# The bootloader is up before every command and back right after each
# download, so every run takes the same path.
e2e_start_simulator --present-before-frame --reply-bytes 5 --time-limit 900 || exit 1

milliseconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

noOpTimes=()
# Per program run, in the order they ran: which program, its round (0 is not
# counted), and its start and end (Unix s).
runProgram=()
runRound=()
runStarts=()
runEnds=()
printf 'Please wait\r\nCurrent COM: COM3\r\n' >"$E2E_RUN/stdout.expected"
# One warm-up round, not counted, then the measured ones.
for round in $(seq 0 "$runs"); do
    e2e_run_program "$E2E_KIT_WINDOWS\\NoOp.exe"
    if [[ $round -gt 0 ]]; then
        noOpTimes+=("$(milliseconds "$E2E_STARTED" "$E2E_ENDED")")
    fi
    mapfile -t order < <(printf '%s\n' "${!programs[@]}" | if ((round % 2)); then tac; else cat; fi)
    for program in "${order[@]}"; do
        e2e_run_program "${programs[$program]}"
        if ! cmp -s "$E2E_RUN/stdout.expected" "$E2E_RUN/stdout.raw"; then
            echo "run $round of ${labels[$program]}: unexpected output: $(cat -A "$E2E_RUN/stdout.raw")" >&2
            exit 1
        fi
        runProgram+=("$program")
        runRound+=("$round")
        runStarts+=("$E2E_STARTED")
        runEnds+=("$E2E_ENDED")
    done
done
e2e_stop_simulator

# Every program run sent one frame and ran the stand-in once, in run order.
images=$(grep -c ' image .* valid$' "$E2E_STATE/events.log")
if [[ $images != "${#runProgram[@]}" ]]; then
    echo "expected ${#runProgram[@]} firmware downloads, the simulator saw $images" >&2
    exit 1
fi
# These three are read through name references (stage, oneRecordPerRun).
# shellcheck disable=SC2034
{
    mapfile -t frames < <(awk '$2 == "frame" { print $1 }' "$E2E_STATE/events.log")
    mapfile -t toolStarts < <(awk '$2 == "program" { print $1 }' "$E2E_STATE/dfu-util.log")
    mapfile -t toolEnds < <(awk '$2 == "exit" { print $1 }' "$E2E_STATE/dfu-util.log")
}
mapfile -t standInTimes < <(awk '$2 == "exit" { for (i = 3; i < NF; i++) if ($i == "since-creation-ms") printf "%.1f\n", $(i + 1) }' \
    "$E2E_STATE/dfu-util.log")
oneRecordPerRun() { # <array name>
    local -n recorded=$1
    if [[ ${#recorded[@]} != "${#runProgram[@]}" ]]; then
        echo "expected ${#runProgram[@]} $1 records, found ${#recorded[@]}" >&2
        return 1
    fi
}
for records in frames toolStarts toolEnds standInTimes; do
    oneRecordPerRun "$records" || exit 1
done

noOpMedian=$(printf '%s\n' "${noOpTimes[@]}" | median)
# The counted runs of one program, as indexes into the run records.
countedRuns() { # <program>
    local index
    for index in "${!runProgram[@]}"; do
        if [[ ${runProgram[$index]} == "$1" && ${runRound[$index]} -gt 0 ]]; then
            echo "$index"
        fi
    done
}
# stage <program> <first array name> <second array name>: median of the
# time from one record to the other over the program's counted runs.
stage() {
    local -n from=$2 to=$3
    local index
    for index in $(countedRuns "$1"); do milliseconds "${from[$index]}" "${to[$index]}"; done | median
}
# The same records for the program's counted runs, one line.
values() { # <program> <array name>
    local -n all=$2
    local index listed=()
    for index in $(countedRuns "$1"); do listed+=("${all[$index]}"); done
    echo "${listed[*]}"
}

echo "Happy path under Wine, $runs runs each (medians, ms):"
echo "  NoOp.exe wall time, started the same: $noOpMedian   (runs: ${noOpTimes[*]})"
runWalls=()
runOwn=()
runRatios=()
for index in "${!runProgram[@]}"; do
    runWalls+=("$(milliseconds "${runStarts[$index]}" "${runEnds[$index]}")")
    runOwn+=("$(awk -v w="${runWalls[$index]}" -v s="${standInTimes[$index]}" 'BEGIN { printf "%.1f", w - s }')")
    round=${runRound[$index]}
    if ((round > 0)); then
        runRatios+=("$(awk -v o="${runOwn[$index]}" -v n="${noOpTimes[round - 1]}" 'BEGIN { printf "%.2f", o / n }')")
    else
        runRatios+=(-)
    fi
done
goalRatio=2
for program in "${!programs[@]}"; do
    wallMedian=$(stage "$program" runStarts runEnds)
    standInMedian=$(for index in $(countedRuns "$program"); do echo "${standInTimes[$index]}"; done | median)
    ownMedian=$(for index in $(countedRuns "$program"); do echo "${runOwn[$index]}"; done | median)
    ratioMedian=$(for index in $(countedRuns "$program"); do echo "${runRatios[$index]}"; done | median)
    verdict=$(awk -v r="$ratioMedian" -v g="$goalRatio" 'BEGIN { print (r < g ? "met" : "NOT met") }')
    echo "${labels[$program]}:"
    echo "  wall time:                            $wallMedian   (runs: $(values "$program" runWalls))"
    echo "  inside the download stand-in:         $standInMedian   (runs: $(values "$program" standInTimes))"
    echo "  its own time (wall less the stand-in): $ownMedian   (runs: $(values "$program" runOwn))"
    echo "  own time / NoOp.exe's in its round:   $ratioMedian   (runs: $(values "$program" runRatios); goal: under $goalRatio, $verdict)"
    # Where a run's time goes, from the simulator's and the stand-in's own
    # time stamps.
    echo "  start under Wine to the command on the wire:    $(stage "$program" runStarts frames)"
    echo "  command to the download tool's main:            $(stage "$program" frames toolStarts)"
    echo "  download tool's main to its exit:               $(stage "$program" toolStarts toolEnds)"
    echo "  download tool's exit to the program's end:      $(stage "$program" toolEnds runEnds)"
done
