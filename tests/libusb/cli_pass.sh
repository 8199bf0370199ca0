#!/bin/sh
# A whole pass of burnwright-cli through libusb, with the simulated writer kept
# in a state file presented as a USB device by burnwright-usb-testbed: the
# writer, not the program, then says that all 16 chips are programmed.
set -eu
under=$1
testbed=$2
cli=$3
sim=$4
profile=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$profile" "$work/OTPBodyProfile.xml"
export BURNWRIGHT_PROGRAM_PATH="$work/burnwright"
export BURNWRIGHT_LOCK_DIR="$work/claims"
unset BURNWRIGHT_USB_IDS
"$sim" "$work/bus.state" fresh-chips 0 > /dev/null
"$cli" image make --body 12 --seed 5 "$work/day.bin" > /dev/null

BURNWRIGHT_WRITER=usb sh "$under" "$testbed" "$work/bus.state" \
    "$cli" program --body 12 "$work/day.bin" --load --yes --json > "$work/pass.json"
grep -q '"exitCode": 0' "$work/pass.json"
"$sim" "$work/bus.state" show > "$work/state.txt"
test "$(grep -c 'chip of any body, programmed' "$work/state.txt")" -eq 16
grep -q 'counters 16/0' "$work/state.txt"
echo "usb pass through the testbed tool: ok"
