#!/bin/bash
# Builds everything and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-prerequisites.sh
cmake --preset linux-mingw
cmake --build --preset linux-mingw
ctest --preset linux-mingw
