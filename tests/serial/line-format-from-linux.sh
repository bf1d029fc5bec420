#!/bin/bash
# Checks from the Linux side that ConfigureLine sets the product's pty to
# 115200 baud 8N1.
#   line-format-from-linux.sh <tty> <command...>
# The tty is first set to another speed and to two stop bits; the command
# (the LineFormatSeenFromLinux case under Wine) must change both.
set -euo pipefail

tty=$1
shift

has_flag() {
    [[ " $(tr '\n;' '  ' <<<"$1") " == *" $2 "* ]]
}

stty -F "$tty" 9600 cstopb
# A pty always keeps 8 bits and no parity; asking for more is harmless.
stty -F "$tty" cs7 parenb 2>/dev/null || true
before=$(stty -F "$tty" -a)
if ! has_flag "$before" "speed 9600 baud" || ! has_flag "$before" cstopb; then
    echo "could not prepare $tty:" >&2
    echo "$before" >&2
    exit 1
fi

"$@"

after=$(stty -F "$tty" -a)
echo "$after"
failed=0
for expected in "speed 115200 baud" cs8 -parenb -cstopb; do
    if ! has_flag "$after" "$expected"; then
        echo "missing: $expected" >&2
        failed=1
    fi
done
exit $failed
