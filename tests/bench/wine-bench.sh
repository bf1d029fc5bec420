#!/bin/bash
# The Wine test bench of one build folder.
#   wine-bench.sh start <dir>   pristine template (made once), a fresh test prefix
#                               copied from it, and a persistent wineserver for it
#   wine-bench.sh stop <dir>    ends that wineserver
# Every Wine process of the tests runs in <dir>/prefix; nothing outside <dir>
# is touched. The wineserver is started here, with its output detached, so that
# no test has to wait for a server that inherited CTest's output pipe.
set -euo pipefail

command=$1
benchDir=$(realpath -m "$2")
template=$benchDir/template
prefix=$benchDir/prefix
export WINEDEBUG=-all

# Creates the pristine prefix that tests copy; idempotent.
ensure_template() {
    if [[ -f $template/.complete ]]; then
        return
    fi
    rm -rf "$template"
    mkdir -p "$benchDir"
    WINEPREFIX=$template WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >"$benchDir/template.log" 2>&1
    WINEPREFIX=$template wineserver -w </dev/null >/dev/null 2>&1
    touch "$template/.complete"
}

# Starts a persistent wineserver for a prefix and takes the host's own serial
# ports out of it, so that only the ports a test maps are known.
start_server() {
    local target=$1
    WINEPREFIX=$target wineserver -p </dev/null >/dev/null 2>&1
    WINEPREFIX=$target wine reg delete 'HKLM\Hardware\DeviceMap\SerialComm' /va /f </dev/null >/dev/null 2>&1 || true
    rm -f "$target"/dosdevices/com*
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
*)
    echo "usage: $0 start|stop|template <dir>" >&2
    exit 2
    ;;
esac
