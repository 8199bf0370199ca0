#!/bin/sh
# The engine demo chooses its writer as programs do: the simulated one by
# default, a capture when BURNWRIGHT_SIM_CAPTURE names a file, a plain refusal
# of real writers (the build lacks their backend, or the demo has no simulated
# writer to prepare there).
set -eu
demo=$1
profile=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$profile" "$work/OTPBodyProfile.xml"
export BURNWRIGHT_PROGRAM_PATH="$work/burnwright-engine-demo"
export BURNWRIGHT_LOCK_DIR="$work/claims"
unset BURNWRIGHT_WRITER

BURNWRIGHT_SIM_CAPTURE="$work/cycle.pcap" "$demo" > "$work/out.txt"
grep -q '^Cycle complete' "$work/out.txt"
# A pcap file starts with its magic number, then one record per transfer.
test "$(od -An -tx1 -N4 "$work/cycle.pcap" | tr -d ' ')" = "d4c3b2a1"
test "$(wc -c < "$work/cycle.pcap")" -gt 1000

status=0
BURNWRIGHT_WRITER=usb "$demo" > "$work/refused.txt" || status=$?
test "$status" -eq 1
grep -q -e 'no real writer backend on Linux; set BURNWRIGHT_WRITER=sim' \
    -e 'The writer backend "usb" offers no simulated writer to prepare' "$work/refused.txt"
echo "engine demo: ok"
