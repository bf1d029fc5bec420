# Shared by the tests of scripts/make-kit.sh: a work folder in the build
# folder, a Wine prefix of the run's own (copied from the bench's pristine
# template) with a wineserver whose output is detached, for the programs the
# tests run themselves, and the stand-ins for the shipped parts. make-kit.sh
# and KitCheck.exe run as the README runs them, in the build's own prefix for
# its programs. Source it, then call kit_test_init.

# kit_test_init <source-dir> <build-dir> <name>
kit_test_init() {
    KIT_SOURCE=$(realpath "$1")
    KIT_BUILD=$(realpath "$2")
    KIT_WORK=$KIT_BUILD/kit-runs/$3
    # shellcheck disable=SC2034 # for the tests that source this library
    KIT_STAND_INS=$KIT_BUILD/tests/support/kit/kit
    KIT_FAILED=0
    if [[ ! -f $KIT_BUILD/wine/template/.complete ]]; then
        echo "FAIL: no pristine Wine prefix in $KIT_BUILD/wine/template" >&2
        return 1
    fi
    export WINEPREFIX=$KIT_WORK/prefix WINEDEBUG=-all LC_ALL=C.UTF-8
    [[ -d $WINEPREFIX ]] && wineserver -k </dev/null >/dev/null 2>&1
    rm -rf "$KIT_WORK"
    mkdir -p "$KIT_WORK"
    cp -a "$KIT_BUILD/wine/template" "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
}

kit_fail() {
    echo "FAIL: $*" >&2
    KIT_FAILED=1
}

# kit_make <make-kit argument>...: its output goes to $KIT_WORK/stdout and
# $KIT_WORK/stderr.
kit_make() {
    "$KIT_SOURCE/scripts/make-kit.sh" --build-dir "$KIT_BUILD" "$@" </dev/null >"$KIT_WORK/stdout" 2>"$KIT_WORK/stderr"
}

# kit_check [<folder>]: KitCheck.exe under Wine, as the README runs it.
kit_check() {
    env -u WINEPREFIX bash "$KIT_SOURCE/tests/bench/wine-bench.sh" run "$KIT_BUILD/wine" "$KIT_BUILD/kit/KitCheck.exe" \
        "$@" </dev/null
}

# One digest of a folder's names, kinds and contents.
kit_tree_digest() {
    (cd "$1" && find . -printf '%y %p\n' | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort) |
        sha256sum
}

# For the EXIT trap: ends the run's wineserver; keeps the work folder after a
# failure for a look.
kit_test_finish() {
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
    [[ $KIT_FAILED != 0 ]] || rm -rf "$KIT_WORK"
}

# kit_wine_below <folder>: the Wine processes whose prefix lies below it,
# one a line.
kit_wine_below() {
    grep -lzsF "WINEPREFIX=$1/" /proc/[0-9]*/environ | cut -d/ -f3 | xargs -r ps -o pid=,args= -p
}

# For an EXIT trap: ends the wineservers of the prefixes below a build
# folder, and with them their programs.
kit_end_wine_below() {
    local prefix
    for prefix in "$1"/*/wine/*/; do
        WINEPREFIX=${prefix%/} wineserver -k </dev/null >/dev/null 2>&1
    done
}

kit_test_end() {
    if [[ $KIT_FAILED != 0 ]]; then
        echo "kit test FAILED (work folder $KIT_WORK)"
        exit 1
    fi
    echo "kit test passed"
    exit 0
}
