#!/bin/bash
# Builds everything and runs TouchpadUpdater.exe end to end under Wine
# against the simulated touchpad, in a demo kit inside the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-prerequisites.sh
cmake --preset linux-mingw
cmake --build --preset linux-mingw
exec bash tests/e2e/demo.sh build/linux-mingw
