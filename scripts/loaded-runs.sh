#!/usr/bin/env bash
# Runs a make target (check by default) again and again while stress-ng keeps
# every core busy, to show that the suite passes on a loaded machine, not only
# on a quiet one. Each run's time and result go to the log; the first failure
# ends the loop and leaves its output there.
#   scripts/loaded-runs.sh [RUNS] [TARGET] [LOG]
set -uo pipefail
runs=${1:-10}
target=${2:-check}
log=${3:-loaded-runs.log}
cd "$(dirname "$0")/.."
scripts/deps.sh
stress-ng --cpu "$(nproc)" --timeout 0 > /dev/null 2>&1 &
stress=$!
trap 'kill $stress 2>/dev/null' EXIT
echo "$(date -Is) $runs runs of make $target beside stress-ng --cpu $(nproc)" >> "$log"
for run in $(seq "$runs"); do
    start=$(date +%s)
    if make "$target" > "$log.run" 2>&1; then
        echo "$(date -Is) run $run: passed in $(( $(date +%s) - start )) s" >> "$log"
    else
        echo "$(date -Is) run $run: FAILED after $(( $(date +%s) - start )) s" >> "$log"
        cat "$log.run" >> "$log"
        exit 1
    fi
done
rm -f "$log.run"
