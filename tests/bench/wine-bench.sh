#!/bin/bash
# The Wine test bench of one build folder.
#   wine-bench.sh start <dir>   pristine template (made once), a fresh test prefix
#                               copied from it, and a persistent wineserver for it
#   wine-bench.sh stop <dir>    ends that wineserver
#   wine-bench.sh template <dir>
#                               only the pristine template
#   wine-bench.sh run <dir> <program> <argument>...
#                               runs a Windows program under Wine: the emulator
#                               of the cross build (CMAKE_CROSSCOMPILING_EMULATOR)
#   wine-bench.sh launch <dir> <command> <argument>...
#                               runs a program (.exe) as `run` does and any
#                               other command as it is: the custom-command
#                               launcher of scripts/check-native-path.sh, whose
#                               build starts the programs itself as Windows does
# Every Wine process runs in a prefix inside the build folder (the parent of
# <dir>); nothing outside it is touched, never the user's own prefix. The
# wineserver is started here, with its output detached, so that no test has to
# wait for a server that inherited CTest's output pipe.
#
# `run` takes WINEPREFIX from the environment when it lies inside the build
# folder (a test's prefix: <dir>/prefix, or a copy of its own), and otherwise
# <dir>/tools, a copy of the template made on first use, for the programs the
# build runs. Absolute Unix paths among the arguments become paths on drive Z:,
# which Wine maps to the Unix root, so that a program reads them as Windows
# paths whatever its current drive. In <dir>/tools the program's standard
# output and standard error are passed on, each to its own, once it has
# ended, so that the build does not wait for the Wine services that inherited
# them; the wineserver and those services end a few seconds after the last run.
set -euo pipefail

if (($# < 2)); then
    echo "usage: $0 start|stop|template <dir> | run|launch <dir> <program> <argument>..." >&2
    exit 2
fi
command=$1
benchDir=$(realpath -m "$2")
shift 2
buildDir=$(dirname "$benchDir")
template=$benchDir/template
prefix=$benchDir/prefix
export WINEDEBUG=-all
# Wine takes Unix file names in the locale's character set: UTF-8 keeps
# non-ASCII names intact whatever the caller's locale.
export LC_ALL=C.UTF-8

# Creates the pristine prefix that tests copy; idempotent, and safe when
# several build steps or tests ask at once.
ensure_template() {
    mkdir -p "$benchDir"
    (
        flock 9
        if [[ ! -f $template/.complete ]]; then
            rm -rf "$template"
            WINEPREFIX=$template WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >"$benchDir/template.log" 2>&1
            WINEPREFIX=$template wineserver -w </dev/null >/dev/null 2>&1
            touch "$template/.complete"
        fi
    ) 9>"$benchDir/template.lock"
}

# Starts a persistent wineserver for a prefix and takes the host's own serial
# ports out of it, so that only the ports a test maps are known.
start_server() {
    local target=$1
    WINEPREFIX=$target wineserver -p </dev/null >/dev/null 2>&1
    WINEPREFIX=$target wine reg delete 'HKLM\Hardware\DeviceMap\SerialComm' /va /f </dev/null >/dev/null 2>&1 || true
    rm -f "$target"/dosdevices/com*
}

# True when the path lies inside the build folder.
inside_build() {
    [[ $(realpath -m "$1")/ == "$buildDir"/* ]]
}

# The prefix for the programs the build runs: a copy of the template.
ensure_tools_prefix() {
    local tools=$benchDir/tools
    ensure_template
    (
        flock 9
        if [[ ! -f $tools/.complete ]]; then
            rm -rf "$tools"
            cp -a "$template" "$tools"
            touch "$tools/.complete"
        fi
    ) 9>"$benchDir/tools.lock"
}

case $command in
start)
    ensure_template
    if [[ -d $prefix ]]; then
        WINEPREFIX=$prefix wineserver -k </dev/null >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
    cp -a "$template" "$prefix"
    start_server "$prefix"
    ;;
stop)
    WINEPREFIX=$prefix wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
template)
    ensure_template
    ;;
launch)
    if (($# == 0)); then
        echo "usage: $0 launch <dir> <command> <argument>..." >&2
        exit 2
    fi
    if [[ $1 != *.exe ]]; then
        exec "$@"
    fi
    exec "$0" run "$benchDir" "$@"
    ;;
run)
    if (($# == 0)); then
        echo "usage: $0 run <dir> <program> <argument>..." >&2
        exit 2
    fi
    arguments=()
    for argument in "$@"; do
        if [[ $argument == /* ]]; then
            argument=${argument//\//\\}
            argument=Z:$argument
        fi
        arguments+=("$argument")
    done
    if [[ -n ${WINEPREFIX:-} ]] && inside_build "$WINEPREFIX"; then
        exec wine "${arguments[@]}"
    fi
    ensure_tools_prefix
    export WINEPREFIX=$benchDir/tools
    # A server whose output is detached; it ends, with the prefix's services,
    # five seconds after the last run. The delay must be in the same word:
    # wineserver reads `-p` alone as "persist for ever".
    wineserver -p5 </dev/null >/dev/null 2>&1 || true
    output=$(mktemp -p "$benchDir" run.XXXXXX)
    errors=$(mktemp -p "$benchDir" run.XXXXXX)
    status=0
    wine "${arguments[@]}" </dev/null >"$output" 2>"$errors" || status=$?
    tr -d '\r' <"$output"
    tr -d '\r' <"$errors" >&2
    rm -f "$output" "$errors"
    exit "$status"
    ;;
*)
    echo "usage: $0 start|stop|template <dir> | run|launch <dir> <program> <argument>..." >&2
    exit 2
    ;;
esac
