#!/bin/bash
# Runs a Windows program of the build under Wine while the build runs, in a
# prefix of the build folder's own (a copy of the Wine bench's pristine
# template, made on first use), never in the user's own prefix. The program's
# output is passed on once it has ended, so that the build does not wait for
# the Wine services that inherited it.
#   wine-tool.sh <bench-dir> <wine> <program> <argument>...
set -uo pipefail

benchDir=$(realpath -m "$1")
wine=$2
shift 2
prefix=$benchDir/tools
export WINEPREFIX=$prefix WINEDEBUG=-all LC_ALL=C.UTF-8
mkdir -p "$benchDir"
(
    flock 9
    if [[ ! -f $prefix/.complete ]]; then
        bash "$(dirname "${BASH_SOURCE[0]}")/../../bench/wine-bench.sh" template "$benchDir" &&
            rm -rf "$prefix" && cp -a "$benchDir/template" "$prefix" && touch "$prefix/.complete"
    fi
) 9>"$benchDir/tools.lock" || {
    echo "wine-tool.sh: no Wine prefix in $prefix" >&2
    exit 1
}
# A server whose output is detached; it ends a few seconds after the last run.
wineserver -p 5 </dev/null >/dev/null 2>&1
output=$(mktemp)
"$wine" "$@" </dev/null >"$output" 2>&1
status=$?
tr -d '\r' <"$output"
rm -f "$output"
exit $status
