#!/bin/bash
# Runs clang-tidy over the product and the tests of the cross build
# (build/linux-mingw, configured by scripts/test.sh or cmake --preset
# linux-mingw). clang is pointed at the MinGW-w64 target and the g++ headers.
set -euo pipefail
cd "$(dirname "$0")/.."
#   scripts/tidy.sh [build-dir [source...]]   (default: every tracked .cpp)
buildDir=${1:-build/linux-mingw}
shift || true

compiler=x86_64-w64-mingw32-g++-posix
extraArgs=(--extra-arg=--target=x86_64-w64-mingw32)
while read -r includeDir; do
    extraArgs+=("--extra-arg=-isystem$includeDir")
done < <($compiler -E -x c++ -v - </dev/null 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' | sed '1d;$d' |
    grep -v -E '/include(-fixed)?$' || true)
# clang's own builtin headers stand in for g++'s compiler headers (filtered
# above); the MinGW-w64 system headers come last.
extraArgs+=("--extra-arg=-isystem/usr/x86_64-w64-mingw32/include")

if (($# > 0)); then
    sources=("$@")
else
    mapfile -t sources < <(git ls-files '*.cpp')
fi
clang-tidy --quiet -p "$buildDir" "${extraArgs[@]}" "${sources[@]}"
