#!/usr/bin/env bash
# The main job on the staged program folder: a burnwright-cli session on a
# simulated writer reached through LINKPOD in the user-mode kernel. The
# engine-level cycle (burnwright-engine-demo) stays in the folder for
# engineers.
# Then the operator's window after a programming run, rendered offscreen
# into demo-window.png.
set -euo pipefail
stage=$(cd "${1:?usage: demo.sh STAGE_FOLDER}" && pwd)
echo "Burnwright demo in $stage"
if [[ ! -f "$stage/OTPBodyProfile.xml" ]]; then
    echo "The body profile OTPBodyProfile.xml is missing from $stage; the session needs it."
    exit 1
fi

# The command-line session. Its program folder (settings, logs, read-back) is
# a scratch folder, so the demo leaves the staged folder as it was.
cli_session() {
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    cp "$stage/OTPBodyProfile.xml" "$work/"
    # Developer mode, for the read-back button.
    printf '[General]\nDevelopVersion=MERiL_TB7\n' > "$work/burnwright.ini"
    local -x BURNWRIGHT_PROGRAM_PATH="$work/burnwright"
    local -x BURNWRIGHT_WRITER="sim:$work/bus.state"
    local -x BURNWRIGHT_LOCK_DIR="$work/claims"
    local cli="$stage/burnwright-cli" sim="$stage/burnwright-sim"
    local body=12

    echo
    echo "== A simulated writer: socket 6 empty, socket 10 holds a chip too small for the body"
    "$sim" "$work/bus.state" remove-chip 0 5
    "$sim" "$work/bus.state" insert-chip 0 9 16
    echo "\$ burnwright-cli writers"
    "$cli" writers

    echo
    echo "\$ burnwright-cli image make --body $body demo.bin"
    "$cli" image make --body $body --seed 2026 "$work/demo.bin"

    echo
    echo "\$ burnwright-cli program --body $body demo.bin --load --yes --log-csv record.csv"
    local status=0
    "$cli" program --body $body "$work/demo.bin" --load --yes --log-csv "$work/record.csv" \
        || status=$?
    echo "exit code $status (1: some chips failed)"
    [[ $status -eq 1 ]]
    echo "Production record ($(($(wc -l < "$work/record.csv") - 1)) chips), socket 10:"
    grep -E '^[^,]*,[^,]*,10,' "$work/record.csv"

    echo
    echo "\$ burnwright-cli read-otp --developer --sockets 1 --out chip1.bin"
    "$cli" read-otp --developer --sockets 1 --out "$work/chip1.bin"
    "$cli" image convert --body $body "$work/demo.bin" --chip "$work/chip.bin" \
        --word "$work/word.bin" > /dev/null
    # The chip holds the chip image: the word image loaded into the writer
    # buffer, its check bytes verified and removed by the writer.
    if [[ -s "$work/chip1.bin" ]] && cmp -s "$work/chip1.bin" "$work/chip.bin"; then
        echo "Socket 1 holds the image."
    else
        echo "Socket 1 does not hold the image."
        return 1
    fi

    echo
    echo "\$ burnwright-cli counters --json"
    "$cli" counters --json > "$work/counters.json"
    cat "$work/counters.json"
    grep -q '"ok": 14' "$work/counters.json"

    echo
    echo "== The same pass on a modelled full-speed USB bus, fresh chips in every socket:"
    echo "   wire time beside host time (BURNWRIGHT_SIM_WIRE=on), the load in 4 KiB writes"
    echo "   (LoadBlockBytes=4096 in [General]; without it one 64-byte packet per transfer)"
    "$sim" "$work/bus.state" fresh-chips 0 > /dev/null
    sed -i '/^\[General\]/a LoadBlockBytes=4096' "$work/burnwright.ini"
    echo "\$ BURNWRIGHT_SIM_WIRE=on burnwright-cli program --body $body demo.bin --load --yes --json"
    BURNWRIGHT_SIM_WIRE=on "$cli" program --body $body "$work/demo.bin" --load --yes --json \
        > "$work/wire.json"
    # The report's keys are sorted: the load's times sit in "load", each
    # step's around its operation.
    awk '
        function ms(v) { gsub(/[^0-9.]/, "", v); return v + 0 }
        function row(name, host, wire) { printf "   %-13s host %7.1f ms   wire %6d ms\n", name, host, wire }
        /^    "milliseconds"/ { load = ms($2) }
        /^    "wireMilliseconds"/ { row("Load", load, ms($2)) }
        /^      "milliseconds"/ { step = ms($2) }
        /^      "operation"/ { op = $0; sub(/.*: "/, "", op); sub(/".*/, "", op) }
        /^      "wireMilliseconds"/ { row(op, step, ms($2)) }
    ' "$work/wire.json"
    echo
    echo "Command-line session complete."
}

cli_session
if [[ -x "$stage/burnwright-window-shot" ]]; then
    echo
    echo "The operator's window after a programming run (rendered offscreen):"
    (cd "$stage" && QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="default.warning=false" \
        ./burnwright-window-shot "$stage/demo-window.png")
fi
