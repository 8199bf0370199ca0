#!/usr/bin/env bash
# Smoke run of burnwright.exe under wine and Xvfb: the program in a folder of
# its own with the profile, driven by burnwright_smoke.exe, photographed with
# xwd, and its settings file checked afterwards.
# Usage: smoke.sh attached|detached|stress PROGRAM DRIVER PROFILE OUTPUT_DIR
set -euo pipefail
mode=$1 program=$2 driver=$3 profile=$4 out=$5
here=$(cd "$(dirname "$0")" && pwd)
folder=$out/smoke-$mode
rm -rf "$folder" && mkdir -p "$folder"
cp "$program" "$profile" "$folder/"
if [ "$mode" = detached ]; then
    unset BURNWRIGHT_WRITER
else
    export BURNWRIGHT_WRITER=sim-direct
fi
if [ "$mode" = stress ]; then
    printf '[General]\r\nDevelopVersion=MERiL_TB7\r\n' > "$folder/burnwright.ini"
fi

# The driver sees the folder through wine's drive Z:, the shell directly.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    "$0" "$1" "$2" "Z:$3/burnwright.exe" "Z:$3" > "$3/driver.log" & driver=$!
    for _ in $(seq 600); do [ -f "$3/ready" ] && break; kill -0 $driver 2>/dev/null || break; sleep 0.1; done
    if [ -f "$3/ready" ]; then
        xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$4"
        touch "$3/shot-done"
    fi
    wait $driver
' "$here/wine-run.sh" "$driver" "$mode" "$folder" "$out/smoke-$mode.png"

cat "$folder/driver.log"
# The settings file is the system's: lines end in CR LF.
ini=$folder/burnwright.ini
tr -d '\r' < "$folder/burnwright.ini" > "$folder/settings.txt"
ini=$folder/settings.txt
if [ "$mode" = detached ]; then
    grep -q "Can't find MERiL USB device" "$folder/driver.log" ||
        { echo "smoke: the link's message was not shown"; exit 1; }
fi
if [ "$mode" = attached ]; then
    grep -qx 'Title=MERiL Burnwright V4.00' "$ini" || { echo "smoke: title not stored in $ini"; cat "$ini"; exit 1; }
    grep -qx 'OtpCounterOk=0' "$ini" && grep -qx 'OtpCounterFail=0' "$ini" ||
        { echo "smoke: counters not stored in $ini"; cat "$ini"; exit 1; }
fi
echo "smoke $mode: passed; screenshot $out/smoke-$mode.png"
