#!/bin/bash
# Proves the native Windows path of the build on Linux: configures the
# project twice with the cross toolchain and the tests, once as it is (the
# cross build) and once as a native Windows configure sees it
# (cmake/NativeConfigure.cmake: no cross-compiling, no emulator), and fails
# unless
#   - both configure (a target name clash or a dependency on a target that is
#     not defined stops CMake);
#   - both list the same tests (ctest -N), the same build outputs, and the
#     same commands once the cross build's emulator is taken out, so that no
#     target, test or custom command exists on one host only;
#   - the native graph is complete (every input has a rule or exists) and its
#     programs, the test kit and its catalogs build, the build's programs
#     started by a launcher that stands in for Windows (tests/bench/wine-bench.sh
#     launch). With --all, everything builds.
#   scripts/check-native-path.sh [--all] [build-dir]    (default build/native-path)
# The native build is <build-dir> itself, one level below build/ like the
# presets' folders, so that ccache serves it the objects the cross build
# compiled; the cross configure and the listings lie in <build-dir>/check.
set -euo pipefail
sourceDir=$(cd "$(dirname "$0")/.." && pwd)

all=0
if [[ ${1:-} == --all ]]; then
    all=1
    shift
fi
(($# <= 1)) || {
    echo "usage: $0 [--all] [build-dir]" >&2
    exit 2
}
native=$(realpath -m -- "${1:-$sourceDir/build/native-path}")
work=$native/check
cross=$work/cross
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
stop_if_failed() {
    if ((failed)); then
        echo "native path check FAILED (work folder $work)"
        exit 1
    fi
}

# configure <dir> <cmake argument>...: its output only on failure.
configure() {
    local dir=$1 log
    shift
    log=$(mktemp)
    if ! cmake -S "$sourceDir" -B "$dir" -G Ninja --toolchain "$sourceDir/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "FAIL: configuring $dir" >&2
        exit 1
    fi
    rm -f "$log"
}

start=$SECONDS
rm -rf "$native"
mkdir -p "$work"
configure "$cross"
configure "$native" -DCMAKE_PROJECT_TOP_LEVEL_INCLUDES="$sourceDir/cmake/NativeConfigure.cmake" \
    -DNATIVE_CHECK_LAUNCHER="bash '$sourceDir/tests/bench/wine-bench.sh' launch '$native/wine'"
echo "configured both in $((SECONDS - start)) s"

# The native configure must really be one: no emulator in its commands.
emulatorPattern='wine-bench\.sh"? run '
grep -qE "$emulatorPattern" "$cross/build.ninja" || fail "the cross build runs no program under Wine"
! grep -qE "$emulatorPattern" "$native/build.ninja" || fail "the native build still runs programs under the emulator"

# One listing per build folder, with the folder's own path made common and
# the cross emulator and native launcher taken out of the commands.
listing() {
    local dir=$1 what=$2
    case $what in
    tests) (cd "$dir" && ctest -N) | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p' | LC_ALL=C sort ;;
    # The native build also reads NativeConfigure.cmake when it reconfigures.
    outputs) ninja -C "$dir" -t targets all | grep -v '/cmake/NativeConfigure\.cmake: phony$' | LC_ALL=C sort ;;
    commands)
        ninja -C "$dir" -t commands all |
            sed -E "s#[^ ]*bash (\"[^\"]*|'[^']*|[^ ]*)wine-bench\\.sh[\"']? (run|launch) (\"[^\"]*\"|'[^']*'|[^ ]+) ##g" |
            LC_ALL=C sort
        ;;
    esac | BUILD_DIR=$dir perl -pe 's/\Q$ENV{BUILD_DIR}\E/build-X/g'
}
for what in tests outputs commands; do
    listing "$cross" "$what" >"$work/cross.$what"
    listing "$native" "$what" >"$work/native.$what"
    count=$(wc -l <"$work/cross.$what")
    ((count > 0)) || fail "the cross build lists no $what"
    if cmp -s "$work/cross.$what" "$work/native.$what"; then
        echo "same $what on both hosts: $count"
    else
        fail "the $what differ between the cross (<) and the native (>) build:"
        diff "$work/cross.$what" "$work/native.$what" | head -40 >&2 || true
    fi
done
for test in AppTests.PortScan e2e.device-present kit.make-kit release.reproducible; do
    grep -qx "$test" "$work/cross.tests" || fail "the test list lacks $test"
done
disabled=$(cd "$native" && ctest -N -L wine-bench | sed -n 's/^Total Tests: //p')
echo "tests disabled on Windows (label wine-bench): $disabled"

stop_if_failed

# Every input has a rule or exists: a dry run of the whole native build.
if ! ninja -C "$native" -n all >"$work/native.dry-run.log" 2>&1; then
    tail -20 "$work/native.dry-run.log" >&2
    fail "the native build graph is incomplete"
fi

targets=(TouchpadUpdater KitCheck sample_kit)
((all)) && targets=(all)
start=$SECONDS
if cmake --build "$native" -j2 --target "${targets[@]}" >"$work/native.build.log" 2>&1; then
    echo "built ${targets[*]} natively in $((SECONDS - start)) s"
else
    tail -40 "$work/native.build.log" >&2
    fail "the native build of ${targets[*]} failed"
fi
# The build's own programs leave their Wine server behind for a few seconds.
WINEPREFIX=$native/wine/tools wineserver -k </dev/null >/dev/null 2>&1 || true

stop_if_failed
echo "native path check passed"
