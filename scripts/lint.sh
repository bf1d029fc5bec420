#!/bin/bash
# Lints the repository: shellcheck over every shell script (with the
# repository's .shellcheckrc), clang-format over every C++ file, and
# clang-tidy (scripts/tidy.sh) over the cross build's compile database, which
# needs the build configured (scripts/test.sh does that first). Every step
# runs whatever the steps before it found; each prints its findings and its
# time. The exit code is 1 when any step found anything.
#   scripts/lint.sh [build-dir]   (default: build/linux-mingw)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
buildDir=${1:-build/linux-mingw}

# Tracked shell scripts: every *.sh, and every file without an extension
# whose first line starts bash or sh (.ci/run).
ShellScripts() {
    local file firstLine
    while IFS= read -r -d '' file; do
        if [[ $file == *.sh ]]; then
            printf '%s\0' "$file"
        elif [[ ${file##*/} != *.* && -f $file ]]; then
            IFS= read -r firstLine <"$file" || true
            if [[ $firstLine =~ ^#!.*[/\ ](ba)?sh([[:space:]]|$) ]]; then
                printf '%s\0' "$file"
            fi
        fi
    done < <(git ls-files -z)
}

CheckShellScripts() {
    local scripts
    mapfile -d '' -t scripts < <(ShellScripts)
    echo "${#scripts[@]} scripts"
    shellcheck -x -- "${scripts[@]}"
}

CheckFormat() {
    local sources
    mapfile -d '' -t sources < <(git ls-files -z '*.cpp' '*.h' '*.c' '*.hpp')
    echo "${#sources[@]} C++ files"
    clang-format --dry-run --Werror -- "${sources[@]}"
}

failedSteps=()
Step() {
    local name=$1
    shift
    local start end
    echo "=== $name"
    start=$(date +%s%N)
    "$@"
    local status=$?
    end=$(date +%s%N)
    local elapsed
    elapsed=$(printf '%d.%03d' $(((end - start) / 1000000000)) $((((end - start) / 1000000) % 1000)))
    if ((status == 0)); then
        echo "=== $name: clean (${elapsed} s)"
    else
        echo "=== $name: FINDINGS (${elapsed} s)"
        failedSteps+=("$name")
    fi
}

Step shellcheck CheckShellScripts
Step clang-format CheckFormat
Step clang-tidy scripts/tidy.sh "$buildDir"

if ((${#failedSteps[@]} > 0)); then
    echo "lint: findings from ${failedSteps[*]}"
    exit 1
fi
echo "lint: clean"
