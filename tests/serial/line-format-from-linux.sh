#!/bin/bash
# Checks from the Linux side that ConfigureLine sets the product's pty to
# 115200 baud with one stop bit. A pty always runs 8 bits without parity
# whatever it is asked, so those two settings cannot be told apart here; the
# Wine side of the line (GetCommState) is checked by the other line tests.
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
for expected in "speed 115200 baud" -cstopb; do
    if ! has_flag "$after" "$expected"; then
        echo "missing: $expected" >&2
        failed=1
    fi
done
exit $failed
