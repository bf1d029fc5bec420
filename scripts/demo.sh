#!/bin/bash
# Builds everything, makes a release kit from the stand-ins for the shipped
# parts with scripts/make-kit.sh (into build/linux-mingw/demo-kit), and runs
# TouchpadUpdater.exe from the unpacked zip end to end under Wine against the
# simulated touchpad.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-prerequisites.sh
cmake --preset linux-mingw
cmake --build --preset linux-mingw
build=build/linux-mingw
standIns=$build/tests/support/kit/kit
# The bench's pristine prefix also serves the kit check.
bash tests/bench/wine-bench.sh template "$build/wine"
echo "==== Making the release kit from the stand-ins"
scripts/make-kit.sh --build-dir "$build" --driver "$standIns/Driver" --download-tool "$standIns/win64" \
    --firmware "$standIns/Firmware/KestruneFirmware.dfu" --out "$build/demo-kit"
echo
exec bash tests/e2e/demo.sh "$build" "$build/demo-kit/TouchpadUpdater-kit.zip"
