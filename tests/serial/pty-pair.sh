#!/bin/bash
# A pty pair standing for a serial cable, mapped into the bench's Wine prefix.
#   pty-pair.sh start <dir> <prefix>   socat joins <dir>/ttyA and <dir>/ttyB;
#                                      COM5 (the product's end) opens ttyA,
#                                      COM6 (the touchpad's end) opens ttyB, and
#                                      a 255-character name starting "com5"
#                                      opens ttyA too
#   pty-pair.sh stop <dir> <prefix>    removes the links and ends socat
# Port names must match tests/serial/SerialTestPorts.h.
set -euo pipefail

command=$1
dir=$(realpath -m "$2")
prefix=$(realpath -m "$3")
pidFile=$dir/socat.pid
productLink=$prefix/dosdevices/com5
touchpadLink=$prefix/dosdevices/com6
longProductLink=$prefix/dosdevices/com5$(printf 'x%.0s' {1..251})

# The socat of an earlier run in this folder, if it is still alive.
our_socat() {
    local pid
    [[ -f $pidFile ]] || return 1
    pid=$(<"$pidFile")
    [[ -r /proc/$pid/cmdline ]] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "^socat .*link=$dir/ttyA" || return 1
    echo "$pid"
}

# Processes other than socat that hold either pty open: Wine programs, or
# the wineserver on their behalf.
pty_users() {
    local socatPid=$1 end ptys=()
    for end in ttyA ttyB; do
        [[ -L $dir/$end ]] && ptys+=(-lname "$(readlink -f "$dir/$end")" -o)
    done
    ((${#ptys[@]})) || return 0
    find /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 \( "${ptys[@]:0:${#ptys[@]}-1}" \) 2>/dev/null |
        cut -d/ -f3 | sort -u | grep -vx "$socatPid" || true
}

remove_links() {
    local link
    for link in "$productLink" "$touchpadLink" "$longProductLink"; do
        if [[ -L $link ]]; then
            rm -f "$link"
        fi
    done
}

stop_socat() {
    local pid waited
    pid=$(our_socat) || { rm -f "$pidFile"; return 0; }
    # socat going away under a Wine process that holds its pty breaks that
    # process's transfers and makes the wineserver complain: wait for them.
    local users
    for ((waited = 0; waited < 50; ++waited)); do
        users=$(pty_users "$pid")
        [[ -z $users ]] && break
        sleep 0.1
    done
    if [[ -n $users ]]; then
        echo "pty still in use by: $(tr '\n' ' ' <<<"$users")" >&2
    fi
    kill "$pid"
    # Ended once it is gone or a zombie that its new parent has yet to reap.
    for ((waited = 0; waited < 50; ++waited)); do
        [[ $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || echo gone) == [ZX]* ]] && break
        [[ -e /proc/$pid ]] || break
        sleep 0.1
    done
    rm -f "$pidFile"
}

case $command in
start)
    remove_links
    stop_socat
    mkdir -p "$dir"
    rm -f "$dir/ttyA" "$dir/ttyB"
    # Detached, with its output in a file, so that CTest does not wait for it.
    setsid socat pty,raw,echo=0,link="$dir/ttyA" pty,raw,echo=0,link="$dir/ttyB" \
        </dev/null >"$dir/socat.log" 2>&1 &
    echo $! >"$pidFile"
    for ((waited = 0; waited < 50; ++waited)); do
        [[ -L $dir/ttyA && -L $dir/ttyB ]] && break
        sleep 0.1
    done
    if ! [[ -L $dir/ttyA && -L $dir/ttyB ]]; then
        echo "socat did not create $dir/ttyA and $dir/ttyB" >&2
        cat "$dir/socat.log" >&2
        stop_socat
        exit 1
    fi
    mkdir -p "$prefix/dosdevices"
    ln -sfn "$dir/ttyA" "$productLink"
    ln -sfn "$dir/ttyB" "$touchpadLink"
    ln -sfn "$dir/ttyA" "$longProductLink"
    ;;
stop)
    remove_links
    stop_socat
    ;;
*)
    echo "usage: $0 start|stop <dir> <prefix>" >&2
    exit 2
    ;;
esac
