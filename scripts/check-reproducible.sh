#!/bin/bash
# Builds the release TouchpadUpdater.exe twice, from two copies of the source
# in different folders (the second with blanks and non-ASCII letters in every
# path), with different build folders and at different times, and compares
# the two executables byte for byte. The first builds as every build of the
# project does, through ccache where it is installed; the second compiles
# every source itself, with the source and build folders in the compiler's
# command lines, so that no path or time that reaches the image goes unseen. Exit 0 when they are identical, 1 when
# they differ or a build fails. Everything lives under <work-dir>, which is
# removed afterwards.
#   check-reproducible.sh <work-dir>
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <work-dir>" >&2
    exit 2
fi
sourceDir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(realpath -m "$1")
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

source "$sourceDir/scripts/copy-source.sh"

# buildProduct <source copy> <build folder> <log>
buildProduct() {
    if ! { cmake -S "$1" -B "$2" --preset linux-mingw -DTOUCHPAD_BUILD_TESTS=OFF &&
        cmake --build "$2" --target TouchpadUpdater; } >"$3" 2>&1; then
        cat "$3" >&2
        echo "FAIL: the build in $2 failed" >&2
        exit 1
    fi
}

# The first build in the preset's own folder inside its source, the second
# outside its source, both paths with blanks and non-ASCII letters.
firstSource=$work/one/src
firstBuild=$firstSource/build/linux-mingw
secondSource="$work/zwei ü 2/src ü 2"
secondBuild="$work/zwei ü 2/Build Ordner ü"

copy_source "$sourceDir" "$firstSource"
buildProduct "$firstSource" "$firstBuild" "$work/one/build.log"
firstExe=$firstBuild/app/TouchpadUpdater.exe

# A time stamp in the image has a resolution of one second: link the second
# at least two seconds after the first.
linked=$(stat -c %Y "$firstExe")
while (($(date +%s) < linked + 2)); do
    sleep 0.5
done
copy_source "$sourceDir" "$secondSource"
CCACHE_DISABLE=1 buildProduct "$secondSource" "$secondBuild" "$work/zwei ü 2/build.log"
secondExe=$secondBuild/app/TouchpadUpdater.exe

sha256sum "$firstExe" "$secondExe" | sed "s|$work/||"
if ! cmp -s "$firstExe" "$secondExe"; then
    echo "FAIL: the two executables differ in $(cmp -l "$firstExe" "$secondExe" | wc -l) bytes" >&2
    exit 1
fi
echo "identical: $(stat -c %s "$firstExe") bytes"
