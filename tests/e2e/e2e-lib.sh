# Shared by the end-to-end scenarios, the demo and the benchmark: one run of
# the product under Wine against the simulated touchpad, in a Wine prefix of
# its own (copied from the bench's pristine template) with its own wineserver,
# its own socat pty pair and its own kit. Source it, then call e2e_init.
#
# Layout of a run directory:
#   prefix/           the Wine prefix; the kit lives in prefix/drive_c/<kit>
#   state/            the simulator's and the stand-ins' records
#   ttyA, ttyB        the pty pair: ttyA is COM3 (the product's end), ttyB is
#                     COM7 (the touchpad's end); COM9 is ttyA again, through
#                     which the simulator reads the product's line settings
#   stdout.raw        the product's standard output, byte for byte
#   stdout.stamped    the same lines, each after its arrival time (Unix s)

E2E_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# e2e_init <build-dir> <run-dir>
e2e_init() {
    E2E_BUILD=$(realpath "$1")
    E2E_RUN=$(realpath -m "$2")
    E2E_TEMPLATE=$E2E_BUILD/wine/template
    # E2E_KIT_FOLDER names another kit to run, such as an unpacked release kit.
    E2E_KIT_SOURCE=${E2E_KIT_FOLDER:-$E2E_BUILD/tests/support/kit/kit}
    E2E_SIMULATOR=$E2E_BUILD/tests/support/touchpad/TouchpadSimulator.exe
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_NOOP=$E2E_BUILD/tests/support/kit/NoOp.exe
    E2E_PREFIX=$E2E_RUN/prefix
    E2E_STATE=$E2E_RUN/state
    E2E_STATE_WINDOWS=$(e2e_windows_path "$E2E_STATE")
    E2E_SOCAT_PID=
    E2E_SIMULATOR_PID=
    E2E_FAILED=0
    export WINEPREFIX=$E2E_PREFIX WINEDEBUG=-all
    if [[ ${E2E_MAKE_TEMPLATE:-0} == 1 && ! -e $E2E_TEMPLATE/.complete ]]; then
        echo "Making the pristine Wine prefix (once per build folder)..."
        bash "$E2E_SOURCE_DIR/../bench/wine-bench.sh" template "$E2E_BUILD/wine" || return 1
    fi
    for needed in "$E2E_TEMPLATE/.complete" "$E2E_KIT_SOURCE/TouchpadUpdater.exe" "$E2E_SIMULATOR"; do
        if [[ ! -e $needed ]]; then
            echo "missing $needed (build the project and the bench template first)" >&2
            return 1
        fi
    done
}

# The Windows name of a Unix path, through Wine's Z: drive.
e2e_windows_path() {
    local path=${1//\//\\}
    printf 'Z:%s' "$path"
}

e2e_fail() {
    echo "FAIL: $*" >&2
    E2E_FAILED=1
}

# A fresh prefix and its own persistent wineserver, whose output is detached
# so that nothing waits on it. The first Wine program also starts the
# prefix's services; it runs detached too, so they do not hold any pipe.
# E2E_RELAY_INCLUDE names the functions ("KERNEL32.Sleep;...") that
# WINEDEBUG=+relay traces in this prefix, and only those, so that a relay
# trace costs next to nothing.
e2e_start_prefix() {
    # A run stopped half-way may have left its server behind.
    if [[ -d $E2E_PREFIX ]]; then
        wineserver -k </dev/null >/dev/null 2>&1
    fi
    rm -rf "$E2E_RUN"
    mkdir -p "$E2E_RUN" "$E2E_STATE"
    cp -a "$E2E_TEMPLATE" "$E2E_PREFIX"
    # The stand-ins find the state folder in the machine's environment, the
    # only one the product hands its children: a value of the prefix's
    # system.reg, read by the wineserver when it starts, below.
    printf '\n[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment]\n"TOUCHPAD_SIM_STATE"="%s"\n' \
        "${E2E_STATE_WINDOWS//\\/\\\\}" >>"$E2E_PREFIX/system.reg"
    if [[ -n ${E2E_RELAY_INCLUDE:-} ]]; then
        # Read by the wineserver when it starts, below.
        printf '\n[Software\\\\Wine\\\\Debug]\n"RelayInclude"="%s"\n' "$E2E_RELAY_INCLUDE" >>"$E2E_PREFIX/user.reg"
    fi
    wineserver -p </dev/null >/dev/null 2>&1
    rm -f "$E2E_PREFIX"/dosdevices/com*
}

# e2e_start_line: the socat pair, mapped as COM3 (product), COM7 (touchpad)
# and COM9 (a second look at the product's end).
e2e_start_line() {
    socat pty,raw,echo=0,link="$E2E_RUN/ttyA" pty,raw,echo=0,link="$E2E_RUN/ttyB" </dev/null >/dev/null 2>&1 &
    E2E_SOCAT_PID=$!
    for _ in $(seq 100); do
        [[ -e $E2E_RUN/ttyA && -e $E2E_RUN/ttyB ]] && break
        sleep 0.05
    done
    if [[ ! -e $E2E_RUN/ttyA || ! -e $E2E_RUN/ttyB ]]; then
        e2e_fail "socat did not create the pty pair"
        return 1
    fi
    ln -sf "$E2E_RUN/ttyA" "$E2E_PREFIX/dosdevices/com3"
    ln -sf "$E2E_RUN/ttyB" "$E2E_PREFIX/dosdevices/com7"
    ln -sf "$E2E_RUN/ttyA" "$E2E_PREFIX/dosdevices/com9"
}

# e2e_list_ports <name>...: the system's serial port list holds exactly these
# names, in this order. One batch file does it all, in one Wine start, with
# the names quoted so that blanks stay.
e2e_list_ports() {
    local key='HKLM\Hardware\DeviceMap\SerialComm'
    local script=$E2E_RUN/ports.bat
    local index=0 name
    {
        printf '@echo off\r\n'
        printf 'reg delete "%s" /va /f\r\n' "$key"
        for name in "$@"; do
            printf 'reg add "%s" /v "\\Device\\E2ESerial%d" /t REG_SZ /d "%s" /f\r\n' "$key" "$index" "$name"
            index=$((index + 1))
        done
    } >"$script"
    wine cmd /c "$(e2e_windows_path "$script")" </dev/null >"$E2E_RUN/ports.log" 2>&1
}

# e2e_install_kit <kit folder under C:\>: copies the built kit there.
e2e_install_kit() {
    E2E_KIT_NAME=$1
    E2E_KIT=$E2E_PREFIX/drive_c/$E2E_KIT_NAME
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_KIT_WINDOWS="C:\\$E2E_KIT_NAME"
    mkdir -p "$E2E_KIT"
    cp -r "$E2E_KIT_SOURCE"/. "$E2E_KIT/"
}

# e2e_install_kit_zip <zip>: unpacks a release kit under C:\ (its one top
# folder becomes the kit folder).
e2e_install_kit_zip() {
    local top
    top=$(unzip -Z1 "$1" | head -1)
    E2E_KIT_NAME=${top%%/*}
    E2E_KIT=$E2E_PREFIX/drive_c/$E2E_KIT_NAME
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_KIT_WINDOWS="C:\\$E2E_KIT_NAME"
    unzip -q "$1" -d "$E2E_PREFIX/drive_c"
}

# e2e_start_simulator <simulator option>...: waits until it is ready.
e2e_start_simulator() {
    wine "$E2E_SIMULATOR" --state "$E2E_STATE_WINDOWS" --port COM7 --observe-port COM9 "$@" \
        </dev/null >"$E2E_RUN/simulator.out" 2>&1 &
    E2E_SIMULATOR_PID=$!
    for _ in $(seq 400); do
        grep -q ' ready$' "$E2E_STATE/events.log" 2>/dev/null && return 0
        kill -0 "$E2E_SIMULATOR_PID" 2>/dev/null || break
        sleep 0.05
    done
    e2e_fail "the touchpad simulator did not get ready"
    cat "$E2E_RUN/simulator.out" "$E2E_STATE/events.log" >&2 2>/dev/null
    return 1
}

# Stamps each line of standard input with its arrival time; with
# E2E_LIVE=1 also shows the line as it comes.
e2e_stamp_lines() {
    local line
    while IFS= read -r line; do
        line=${line%$'\r'}
        printf '%s %s\n' "$EPOCHREALTIME" "$line"
        if [[ ${E2E_LIVE:-0} == 1 ]]; then
            printf '%s\n' "$line" >&2
        fi
    done
}

# e2e_run_program <windows path> [<argument>...]: runs it under Wine with its
# standard output recorded; sets E2E_EXIT_CODE and E2E_STARTED/E2E_ENDED
# (Unix s).
e2e_run_program() {
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_STARTED=$EPOCHREALTIME
    { WINEDEBUG=${E2E_PRODUCT_WINEDEBUG:-$WINEDEBUG} wine "$@" </dev/null 2>"$E2E_RUN/stderr.txt"; echo $? >"$E2E_RUN/exit-code"; } |
        tee "$E2E_RUN/stdout.raw" | e2e_stamp_lines >"$E2E_RUN/stdout.stamped"
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_ENDED=$EPOCHREALTIME
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_EXIT_CODE=$(cat "$E2E_RUN/exit-code")
}

# Asks the simulator to end and waits for it; sets E2E_SIMULATOR_EXIT.
e2e_stop_simulator() {
    E2E_SIMULATOR_EXIT=
    [[ -n $E2E_SIMULATOR_PID ]] || return 0
    touch "$E2E_STATE/stop"
    for _ in $(seq 200); do
        kill -0 "$E2E_SIMULATOR_PID" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$E2E_SIMULATOR_PID" 2>/dev/null; then
        e2e_fail "the touchpad simulator did not stop"
        return 1
    fi
    wait "$E2E_SIMULATOR_PID"
    # shellcheck disable=SC2034 # read by the scripts that source this
    E2E_SIMULATOR_EXIT=$?
    E2E_SIMULATOR_PID=
}

# For the EXIT trap: tears the run down and removes its directory, which
# stays after a failure (or with E2E_KEEP=1) for a look at its records.
e2e_finish() {
    e2e_teardown
    [[ $E2E_FAILED != 0 || ${E2E_KEEP:-0} == 1 ]] || rm -rf "$E2E_RUN"
}

# Ends every Wine process and the wineserver of the prefix, then socat (which
# must outlive them), then removes the prefix unless E2E_KEEP=1.
e2e_teardown() {
    if [[ -d $E2E_PREFIX ]]; then
        wineserver -k </dev/null >/dev/null 2>&1
        wineserver -w </dev/null >/dev/null 2>&1
    fi
    if [[ -n $E2E_SIMULATOR_PID ]]; then
        wait "$E2E_SIMULATOR_PID" 2>/dev/null
        E2E_SIMULATOR_PID=
    fi
    if [[ -n $E2E_SOCAT_PID ]]; then
        kill "$E2E_SOCAT_PID" 2>/dev/null
        wait "$E2E_SOCAT_PID" 2>/dev/null
        E2E_SOCAT_PID=
    fi
    if [[ ${E2E_KEEP:-0} != 1 ]]; then
        rm -rf "$E2E_PREFIX"
    fi
}
