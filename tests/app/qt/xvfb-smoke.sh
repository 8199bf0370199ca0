#!/usr/bin/env bash
# The real burnwright program on an X server (Xvfb) with the xcb platform:
# it starts on the simulated writer, attaches (the writer's transfers appear
# in the capture), a screenshot of the display is taken once the window is
# painted, and it quits on SIGTERM with exit status 0. Every wait is for the
# event itself; the time limits only end a run that is stuck.
# usage: xvfb-smoke.sh PROGRAM PROFILE SCREENSHOT.png
set -euo pipefail
program=$1 profile=$2 screenshot=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$profile" "$work/"
# A body chosen before, as an operator's settings file has it.
printf '[File]\nDeviceBodyIndex=12\n' > "$work/burnwright.ini"
mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot"

export BURNWRIGHT_PROGRAM_PATH=$work/burnwright
export BURNWRIGHT_WRITER=sim:$work/writer.state
export BURNWRIGHT_SIM_CAPTURE=$work/capture.pcap
export BURNWRIGHT_LOCK_DIR=$work/claims
export QT_QPA_PLATFORM=xcb
export PROGRAM=$program SHOT=$screenshot CAPTURE=$work/capture.pcap

timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$PROGRAM" & pid=$!
    # Attached once the writer has answered: the capture holds transfers.
    for _ in $(seq 1200); do
        [ "$(stat -c %s "$CAPTURE" 2>/dev/null || echo 0)" -gt 200 ] && break
        sleep 0.1
    done
    # Painted once the display shows more than a few colours, the same in
    # two pictures in a row.
    last=0
    for _ in $(seq 600); do
        xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$SHOT"
        colours=$(pngtopnm "$SHOT" | ppmhist -noheader | wc -l)
        [ "$colours" -ge 20 ] && [ "$colours" -eq "$last" ] && break
        last=$colours
        sleep 0.2
    done
    kill -TERM $pid
    wait $pid
' 2> "$work/stderr" || { echo "burnwright did not start, attach and quit cleanly:"; cat "$work/stderr"; exit 1; }

size=$(stat -c %s "$work/capture.pcap" 2>/dev/null || echo 0)
if [ "$size" -le 200 ]; then
    echo "no transfers reached the simulated writer: the window did not attach"; exit 1
fi
colours=$(pngtopnm "$screenshot" | ppmhist -noheader | wc -l)
if [ "$colours" -lt 20 ]; then
    echo "the screenshot $screenshot shows no window ($colours colours)"; exit 1
fi
echo "attached ($size bytes of transfers), screenshot in $screenshot ($colours colours)"
