#!/bin/bash
# Runs InventoryBenchmark.exe of a build folder in a throwaway Wine prefix
# copied from the bench template, with a wineserver of its own, and deletes
# the prefix afterwards.
#   run-inventory-benchmark.sh <build-dir> [rounds] [N...]
set -euo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: $0 <build-dir> [rounds] [N...]" >&2
    exit 2
fi
buildDir=$(realpath "$1")
shift
program=$buildDir/tests/devices/InventoryBenchmark.exe
benchDir=$buildDir/wine
if [[ ! -f $program ]]; then
    echo "$program is missing: build the target InventoryBenchmark first" >&2
    exit 2
fi

bash "$(dirname "$(realpath "$0")")/../bench/wine-bench.sh" template "$benchDir"
export WINEDEBUG=-all
export WINEPREFIX
WINEPREFIX=$(mktemp -d "$benchDir/inventory-benchmark.XXXXXX")
cleanup() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
cp -a "$benchDir/template/." "$WINEPREFIX/"
wineserver -p </dev/null >/dev/null 2>&1
# The program's first start in a fresh copy also lets Wine finish its own
# start-up, which would otherwise land in the first timings.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
wine "$program" "$@" </dev/null | tr -d '\r'
