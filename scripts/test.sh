#!/bin/bash
# Builds everything and runs every test under Wine, proves the native
# Windows configure and lints. The three steps overlap: lint starts once the
# build is configured and the native configure once the build stands. Until
# the tests end, clang-tidy (most of lint) yields to them and to the build at
# nice 19, so that it takes the processor time they leave idle (the
# end-to-end tests mostly wait through the program's own pauses, and take the
# margins of their timing checks from the same run); after that it runs at
# the caller's priority, so that another program's load cannot starve it.
# Each step runs whatever the others find; their output follows the tests'.
# The exit code is 1 when any step failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-prerequisites.sh
cmake --preset linux-mingw
logs=build/linux-mingw/test-logs
rm -rf "$logs"
mkdir -p "$logs"

# Each background step in a process group of its own, so that an early stop
# ends it with everything it started.
set -m
yieldWhile=$logs/tests-running
touch "$yieldWhile"
TIDY_YIELD_WHILE=$yieldWhile bash scripts/lint.sh build/linux-mingw >"$logs/lint.log" 2>&1 &
lint=$!
native=''
stopSteps() {
    kill -- "-$lint" ${native:+"-$native"} 2>/dev/null || true
}
trap stopSteps EXIT

cmake --build --preset linux-mingw
bash scripts/check-native-path.sh >"$logs/native-path.log" 2>&1 &
native=$!

failed=()
ctest --preset linux-mingw --parallel "$(nproc)" || failed+=(tests)
rm -f "$yieldWhile"
wait "$native" || failed+=("native path")
echo "==== native path check"
cat "$logs/native-path.log"
wait "$lint" || failed+=(lint)
echo "==== lint"
cat "$logs/lint.log"
trap - EXIT

if ((${#failed[@]} > 0)); then
    echo "test.sh: failed: ${failed[*]}" >&2
    exit 1
fi
echo "test.sh: all passed"
