#!/bin/bash
# scripts/make-kit.sh --sign with a throwaway self-signed code-signing
# certificate made here with openssl:
#   - the kit's TouchpadUpdater.exe carries a SHA-256 Authenticode signature
#     that verifies against the certificate, in the kit, the zip and the package;
#   - without its signature it is the unsigned build byte for byte, so its
#     manifest and everything else are unchanged, and AppTests' manifest
#     checks pass on the signed file;
#   - the signed program from the unpacked zip runs the end-to-end happy path;
#   - a wrong password or a file that is no certificate is refused and leaves
#     no kit, and the password file is gone.
#   signed-kit-test.sh <source-dir> <build-dir>
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/kit-test-lib.sh"
kit_test_init "$1" "$2" signed-kit || exit 1
trap kit_test_finish EXIT

certificates=$KIT_WORK/certificate
mkdir -p "$certificates"
export TOUCHPAD_SIGN_PASSWORD='a pass phrase, ünïcode and all'
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Touchpad Test Signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$certificates/key.pem" -out "$certificates/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$certificates/key.pem" -in "$certificates/cert.pem" \
    -out "$certificates/signing cert.pfx" -passout env:TOUCHPAD_SIGN_PASSWORD
sound=(--driver "$KIT_STAND_INS/Driver" --download-tool "$KIT_STAND_INS/win64"
    --firmware "$KIT_STAND_INS/Firmware/KestruneFirmware.dfu")

# ---- a signed kit -------------------------------------------------------------
out="$KIT_WORK/signed ü"
kit_make --out "$out" --sign "$certificates/signing cert.pfx" "${sound[@]}" ||
    kit_fail "the signed kit was refused: $(cat "$KIT_WORK/stderr")"
unpacked=$KIT_WORK/unpacked
mkdir -p "$unpacked"
unzip -q "$out/TouchpadUpdater-kit.zip" -d "$unpacked"
signed=$unpacked/TouchpadUpdater/TouchpadUpdater.exe
verification=$(osslsigncode verify -CAfile "$certificates/cert.pem" -in "$signed" 2>&1)
[[ $? == 0 && $verification == *"Signature verification: ok"* ]] ||
    kit_fail "the signature does not verify: $verification"
grep -q '^Message digest algorithm *: SHA256' <<<"$verification" || kit_fail "not a SHA-256 signature: $verification"
(cd "$unpacked/TouchpadUpdater" && sha256sum --quiet -c SHA256SUMS.txt) || kit_fail "SHA256SUMS.txt does not check"
{ osslsigncode verify -CAfile "$certificates/cert.pem" -in "$out/TouchpadUpdater-kit.msi" >"$KIT_WORK/verified" &&
    grep -q '^Signature verification: ok' "$KIT_WORK/verified" &&
    msiextract -C "$KIT_WORK/extracted" "$out/TouchpadUpdater-kit.msi" >/dev/null &&
    diff -r "$KIT_WORK/extracted/TouchpadUpdater" "$unpacked/TouchpadUpdater"; } ||
    kit_fail "the package does not verify or does not hold the signed kit: $(cat "$KIT_WORK/verified")"
[[ $(ls -A "$out") == $'SHA256SUMS\nTouchpadUpdater\nTouchpadUpdater-kit.msi\nTouchpadUpdater-kit.zip' ]] ||
    kit_fail "the out folder holds: $(ls -A "$out")"

osslsigncode remove-signature -in "$signed" -out "$KIT_WORK/unsigned.exe" >/dev/null 2>&1
cmp -s "$KIT_WORK/unsigned.exe" "$KIT_BUILD/app/TouchpadUpdater.exe" ||
    kit_fail "without its signature the program is not the unsigned build"
# Through a file, not a pipe: the first program of the prefix starts its
# services, which would hold a pipe open.
TOUCHPAD_UPDATER_EXE="Z:${signed//\//\\}" wine "$KIT_BUILD/tests/app/AppTests.exe" --gtest_filter='Manifest.*' \
    </dev/null >"$KIT_WORK/manifest.txt" 2>&1
checked=$?
manifest=$(<"$KIT_WORK/manifest.txt")
[[ $checked == 0 && $manifest == *"[  PASSED  ] 1 test"* ]] || kit_fail "the signed program's manifest: $manifest"

# ---- the signed program at work ---------------------------------------------
if E2E_KIT_FOLDER=$unpacked/TouchpadUpdater E2E_RUN_DIR=$KIT_WORK/scenario bash "$KIT_SOURCE/tests/e2e/run-scenario.sh" "$KIT_BUILD" device-present \
    >"$KIT_WORK/scenario.txt" 2>&1; then
    echo "signed program: $(tail -1 "$KIT_WORK/scenario.txt")"
else
    kit_fail "the signed program failed the happy path"
    cat "$KIT_WORK/scenario.txt" >&2
fi

# ---- refusals -----------------------------------------------------------------
# refused <what> <expected text on standard error> <make-kit argument>...
refused() {
    local what=$1 expected=$2
    shift 2
    kit_make --out "$out" "${sound[@]}" "$@"
    local exitCode=$?
    [[ $exitCode != 0 ]] || kit_fail "$what: accepted"
    grep -qF -- "$expected" "$KIT_WORK/stderr" || kit_fail "$what: standard error lacks '$expected': $(cat "$KIT_WORK/stderr")"
    [[ -z $(ls -A "$out") ]] || kit_fail "$what: the out folder holds: $(ls -A "$out")"
    echo "refused ($exitCode): $what"
}
TOUCHPAD_SIGN_PASSWORD=wrong refused "a wrong password" \
    "$certificates/signing cert.pfx: signing TouchpadUpdater.exe failed" --sign "$certificates/signing cert.pfx"
refused "no certificate" "$certificates/cert.pem: signing TouchpadUpdater.exe failed" --sign "$certificates/cert.pem"
kit_test_end
