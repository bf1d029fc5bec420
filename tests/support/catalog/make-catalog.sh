#!/bin/bash
# Makes a driver catalog from a test, as add_driver_catalog does at build
# time: MakeCatalog.exe under Wine (WINEPREFIX from the environment: the
# test's own prefix) writes it, osslsigncode signs it with the build's
# throwaway certificate, MakeCatalog.exe damages it when asked.
#   make-catalog.sh <build-dir> [--unsigned] [--tamper members|signature]
#                   --out <catalog> [--sha1] [--os-attribute <text>] [--omit <name>]
#                   [--wrong-digest <name>] [--flat-digest <name>] <file>...
# Paths are Unix paths. Exit 0 when the catalog was made.
set -uo pipefail

windowsPath() {
    local path=${1//\//\\}
    echo "Z:$path"
}

if [[ -z ${WINEPREFIX:-} ]]; then
    echo "make-catalog.sh: set WINEPREFIX to the test's own Wine prefix" >&2
    exit 2
fi
build=$(realpath "$1")
shift
maker=$build/tests/support/catalog/MakeCatalog.exe
signing=$build/tests/support/catalog/signing
sign=1
tamper=
digest=sha256
out=
arguments=()
while (($# > 0)); do
    case $1 in
    --unsigned) sign=0 ;;
    --tamper)
        tamper=$2
        shift
        ;;
    --out)
        out=$2
        shift
        ;;
    --sha1)
        digest=sha1
        arguments+=("$1")
        ;;
    /*) arguments+=("$(windowsPath "$1")") ;;
    *) arguments+=("$1") ;;
    esac
    shift
done
if [[ -z $out ]]; then
    echo "make-catalog.sh: no --out" >&2
    exit 2
fi
out=$(realpath -m "$out")
made=$out
((sign)) && made=$out.unsigned
wine "$maker" --out "$(windowsPath "$made")" "${arguments[@]}" </dev/null || exit 1
((sign)) || exit 0
rm -f "$out.signed"
osslsigncode sign -certs "$signing/cert.pem" -key "$signing/key.pem" -h "$digest" -in "$made" -out "$out.signed" \
    >/dev/null || exit 1
rm -f "$made"
if [[ -z $tamper ]]; then
    mv -f "$out.signed" "$out"
    exit 0
fi
wine "$maker" --tamper "$tamper" --in "$(windowsPath "$out.signed")" --out "$(windowsPath "$out")" </dev/null
status=$?
rm -f "$out.signed"
exit $status
