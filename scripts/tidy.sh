#!/bin/bash
# Runs clang-tidy over the product and the tests of the cross build
# (build/linux-mingw, configured by scripts/test.sh or cmake --preset
# linux-mingw), as many files at a time as there are cores. clang is pointed
# at the MinGW-w64 target and the g++ headers. Every finding counts: the exit
# code is 1 when there is any.
#   scripts/tidy.sh [build-dir [source...]]   (default: every tracked .cpp)
# TIDY_JOBS sets how many files are checked at a time. While the file that
# TIDY_YIELD_WHILE names exists, each file's check starts at nice 19
# (scripts/test.sh sets it while the tests run).
# clang-tidy 22 (Debian 12 carries it as clang-tidy-22) no longer runs the
# checks over what the system headers declare, whose diagnostics were never
# shown: here it takes under a third of clang-tidy 14's time.
set -euo pipefail
cd "$(dirname "$0")/.."
buildDir=${1:-build/linux-mingw}
shift || true
if [[ ! -f $buildDir/compile_commands.json ]]; then
    echo "tidy: $buildDir/compile_commands.json is missing: configure the build first (cmake --preset linux-mingw)" >&2
    exit 2
fi

tidy=clang-tidy-22
compiler=x86_64-w64-mingw32-g++-posix
# clang finds the MinGW-w64 headers itself, but takes the C++ library of
# g++'s win32 thread model; the build's is the POSIX one (std::thread and
# std::mutex, which GoogleTest needs), so its folders replace clang's.
clangArgs=(--target=x86_64-w64-mingw32 -nostdinc++)
while read -r includeDir; do
    clangArgs+=("-isystem$includeDir")
done < <($compiler -E -x c++ -v - </dev/null 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' | grep -E '/include/c\+\+' || true)
extraArgs=("${clangArgs[@]/#/--extra-arg=}")

if (($# > 0)); then
    sources=("$@")
else
    mapfile -t sources < <(git ls-files '*.cpp')
fi

# Each file's output goes to a log of its own, printed in source order once
# all are done, so that parallel runs do not interleave.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# One compile command per file, and the system headers that the files share
# parsed once, by clang++-22 (which clang-tidy-22 brings), for each set of
# compile options.
prepared=$logs/prepared
mkdir "$prepared"
mapfile -t headers < <(python3 scripts/tidy-prepare.py "$buildDir" "$prepared" clang++-22 "${clangArgs[@]}" \
    -- "${sources[@]}")
TidyOne() {
    local index=$1 source=$2 header=() yield=()
    if [[ -n ${headers[$index]:-} ]]; then
        header=(--extra-arg=-include-pch "--extra-arg=${headers[$index]}")
    fi
    if [[ -n ${TIDY_YIELD_WHILE:-} && -e $TIDY_YIELD_WHILE ]]; then
        yield=(nice -n 19)
    fi
    if ! "${yield[@]}" "$tidy" --quiet --warnings-as-errors='*' -p "$prepared" "${extraArgs[@]}" "${header[@]}" "$source" \
        >"$logs/$index.log" 2>&1; then
        touch "$logs/$index.failed"
    fi
}
jobs=${TIDY_JOBS:-$(nproc)}
running=0
for index in "${!sources[@]}"; do
    if ((running >= jobs)); then
        wait -n
        running=$((running - 1))
    fi
    TidyOne "$index" "${sources[$index]}" &
    running=$((running + 1))
done
wait

failed=0
for index in "${!sources[@]}"; do
    if [[ -e $logs/$index.failed ]]; then
        failed=$((failed + 1))
        echo "--- ${sources[$index]}"
        grep -v -E '^[0-9]+ warnings? (generated|treated as errors)\.$' "$logs/$index.log" || true
    fi
done
# A finding in a header shows once for every file that includes it.
findings=$(cat "$logs"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' | sort -u | wc -l || true)
echo "tidy: ${#sources[@]} files, $failed with findings, $findings distinct findings"
((failed == 0))
