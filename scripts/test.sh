#!/bin/bash
# Builds everything and runs every test under Wine, then proves the native
# Windows configure and lints. Once the build stands, every step runs whatever
# the steps before it found; the exit code is 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-prerequisites.sh
cmake --preset linux-mingw
cmake --build --preset linux-mingw

failed=()
# The tests first, alone on the machine, as many at a time as it has cores:
# the end-to-end scenarios measure the program's pauses and time-outs, and no
# other build competes with them.
ctest --preset linux-mingw --parallel "$(nproc)" || failed+=(tests)
bash scripts/check-native-path.sh || failed+=("native path")
bash scripts/lint.sh build/linux-mingw || failed+=(lint)

if ((${#failed[@]} > 0)); then
    echo "test.sh: failed: ${failed[*]}" >&2
    exit 1
fi
echo "test.sh: all passed"
