#!/bin/bash
# The DfuSe parser against dfu-util's reference tools: it accepts what
# dfuse-pack makes (two targets, two elements in one), lists the targets and
# elements that dfuse-pack -d lists, computes the CRC that dfu-suffix --check
# reports, and on a changed byte computes what dfuse-pack computes. It refuses
# a plain DFU file that dfu-suffix accepts. Runs the parser through
# DfuImageDump.exe in the bench's prefix (WINEPREFIX from the environment).
#   check-dfu-reference-tools.sh <build-dir> <DfuImageDump.exe>
set -uo pipefail

build=$(realpath "$1")
dump=$(realpath "$2")
work="$build/kit-runs/dfu reference ü日本"
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
for tool in dfuse-pack dfu-suffix; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (Debian's dfu-util package)"; exit 1; }
done
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# Made-up payloads of fixed bytes.
for payload in a:1000:3 b:300:5 c:50:11; do
    IFS=: read -r name size step <<<"$payload"
    perl -e 'print pack("C*", map { ($_ * $ARGV[1]) & 255 } 0 .. $ARGV[0] - 1)' "$size" "$step" >"$name.bin"
done
dfuse-pack -b 0x08000000:a.bin -b 0x08004000:b.bin -b 0x1FFF7800@1:c.bin -D 0x0483:0xdf11 image.dfu >/dev/null ||
    fail "dfuse-pack could not build the image"

# Runs the parser on a file here; its lines in $parsed, its exit in $parsedExit.
parse() {
    parsed=$(wine "$dump" "Z:${work//\//\\}\\$1" </dev/null 2>&1 | tr -d '\r')
    parsedExit=${PIPESTATUS[0]}
}

parse image.dfu
[[ $parsedExit == 0 ]] || fail "the parser refused dfuse-pack's image ($parsedExit): $parsed"
reference=$(dfuse-pack -d image.dfu | sed -n -E \
    -e "s/^b'Target' ([0-9]+), alt setting: ([0-9]+), name: \"b'(.*)'\", size: [0-9]+, elements: ([0-9]+)$/target \1 alt \2 name \3 elements \4/p" \
    -e 's/^  ([0-9]+), address: (0x[0-9a-f]+), size: ([0-9]+)$/element \1 address \2 size \3/p')
listed=$(grep -E '^(target|element) ' <<<"$parsed")
[[ $(grep -c '^element ' <<<"$reference") == 3 ]] || fail "dfuse-pack -d lists otherwise than expected: $reference"
[[ $listed == "$reference" ]] || fail "the parser lists"$'\n'"$listed"$'\n'"dfuse-pack -d lists"$'\n'"$reference"
suffixCrc=$(dfu-suffix --check image.dfu 2>&1 | sed -n -E 's/^CRC:[[:space:]]+0x([0-9A-Fa-f]{8})$/\1/p')
[[ -n $suffixCrc && "crc ${suffixCrc^^}" == "$(head -1 <<<"$parsed")" ]] ||
    fail "dfu-suffix --check reports CRC '$suffixCrc', the parser computes '$(head -1 <<<"$parsed")'"

# One payload byte changed: both reference tools object, and the parser names
# the CRC that dfuse-pack computes.
cp image.dfu changed.dfu
printf '\x5A' | dd of=changed.dfu bs=1 seek=400 conv=notrunc status=none
dfu-suffix --check changed.dfu >/dev/null 2>&1 && fail "dfu-suffix accepted the changed image"
computed=$(dfuse-pack -d changed.dfu | sed -n -E 's/.*CRC ERROR: computed crc32 is 0x([0-9a-f]{8}).*/\1/p')
crcOffset=$(($(stat -c %s changed.dfu) - 4))
parse changed.dfu
[[ -n $computed && $parsedExit == 1 &&
    $parsed == *"problem at byte $crcOffset: DFU suffix CRC ${suffixCrc^^}, the file's is ${computed^^}"* ]] ||
    fail "changed image: dfuse-pack computes '$computed', the parser gives ($parsedExit): $parsed"

# A plain DFU file: dfu-suffix adds a suffix the way it does for any file; the
# parser refuses it.
cp a.bin plain.dfu
if ! dfu-suffix -v 0483 -p df11 -a plain.dfu >/dev/null 2>&1 || ! dfu-suffix --check plain.dfu >/dev/null 2>&1; then
    fail "dfu-suffix could not make a plain DFU file"
fi
parse plain.dfu
[[ $parsedExit == 1 && $parsed == *"problem at byte 0: no DfuSe prefix: a plain DFU file or a raw binary"* ]] ||
    fail "plain DFU file: the parser gives ($parsedExit): $parsed"

cd "$build" || exit 1
if [[ $failed == 0 ]]; then
    rm -rf "$work"
    echo "the parser agrees with dfuse-pack and dfu-suffix"
fi
exit $failed
