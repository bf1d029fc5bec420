#!/bin/bash
# The catalog reader against osslsigncode and openssl, on the build's
# catalogs (tests/kit/driver/CMakeLists.txt): for each sound catalog (SHA-256 and
# SHA-1), osslsigncode verifies its signature and finds each program in it
# by the image digest the reader computes, the reader finds the text file's
# whole-file digest that sha256sum/sha1sum compute, and the signer's
# thumbprint is openssl's SHA-1 fingerprint. The damaged catalogs that the
# reader refuses for their signature osslsigncode refuses too. Runs the
# reader through CatalogDump.exe in the bench's prefix (WINEPREFIX from the
# environment).
#   check-catalog-reference-tools.sh <build-dir> <CatalogDump.exe> <catalog-dir> <cert.pem> <program>...
set -uo pipefail

build=$(realpath "$1")
dump=$(realpath "$2")
catalogs=$(realpath "$3")
certificate=$(realpath "$4")
shift 4
programs=("$@")
inf="$catalogs/Tréiber ü.inf"
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
windowsPath() {
    local path=${1//\//\\}
    echo "Z:$path"
}

# Runs the reader on a catalog and files; its lines in $dumped, its exit in
# $dumpExit.
dumpCatalog() {
    local arguments=()
    for path in "$@"; do
        arguments+=("$(windowsPath "$path")")
    done
    dumped=$(cd "$build" && wine "$dump" "${arguments[@]}" </dev/null 2>&1 | tr -d '\r')
    dumpExit=${PIPESTATUS[0]}
}
# The value of a "<key>: <value>" line of $dumped.
dumpedValue() {
    sed -n "s/^$1: //p" <<<"$dumped"
}

thumbprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
for catalogAndDigest in sound.cat:sha256 sound-sha1.cat:sha1; do
    catalog=$catalogs/${catalogAndDigest%%:*}
    digest=${catalogAndDigest##*:}
    dumpCatalog "$catalog" "${programs[@]}" "$inf"
    [[ $dumpExit == 0 ]] || fail "$catalog: the reader refuses it: $dumped"
    [[ $(dumpedValue signer-thumbprint) == "$thumbprint" ]] ||
        fail "$catalog: thumbprint $(dumpedValue signer-thumbprint), openssl says $thumbprint"
    verification=$(osslsigncode verify -CAfile "$certificate" -in "$catalog" 2>&1)
    [[ $verification == *"Signature verification: ok"* ]] || fail "$catalog: osslsigncode does not verify it: $verification"

    for index in "${!programs[@]}"; do
        ours=$(sed -n "s/^file $index: sha1 \([0-9a-f-]*\) sha256 \([0-9a-f-]*\)\$/\\1 \\2/p" <<<"$dumped")
        [[ $digest == sha1 ]] && ours=${ours%% *} || ours=${ours##* }
        found=$(osslsigncode verify -CAfile "$certificate" -catalog "$catalog" -in "${programs[$index]}" 2>&1)
        theirs=$(sed -n 's/^Calculated message digest *: *\([0-9A-Fa-f]*\).*/\1/p' <<<"$found" | tr 'A-F' 'a-f')
        if [[ $found != *"Signature verification: ok"* || -z $theirs ]]; then
            fail "$catalog: osslsigncode does not find ${programs[$index]} in it: $found"
        elif [[ $theirs != "$ours" ]]; then
            fail "$catalog: ${programs[$index]}: osslsigncode's image digest $theirs, the reader's $ours"
        else
            echo "agree: $(basename "$catalog") $(basename "${programs[$index]}") $digest $ours"
        fi
    done
    theirs=$("${digest}sum" "$inf" | cut -d' ' -f1)
    [[ $dumped == *"file ${#programs[@]}: "*"$digest $theirs"* ]] ||
        fail "$catalog: the text file's whole-file digest is $theirs: $dumped"
done

# Refused for their signature by both.
for damaged in unsigned members-changed broken-signature; do
    catalog=$catalogs/$damaged.cat
    dumpCatalog "$catalog"
    problem=$(dumpedValue problem)
    verification=$(osslsigncode verify -CAfile "$certificate" -in "$catalog" 2>&1)
    if [[ $dumpExit != 1 || -z $problem ]]; then
        fail "$catalog: the reader accepts it: $dumped"
    elif [[ $verification == *"Signature verification: ok"* ]]; then
        fail "$catalog: osslsigncode accepts it: $verification"
    else
        echo "both refuse: $damaged.cat ($problem)"
    fi
done
if ((failed)); then
    echo "catalog reference check FAILED"
    exit 1
fi
echo "catalog reference check passed"
