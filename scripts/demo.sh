#!/usr/bin/env bash
# The main job on the staged program folder: a full programming cycle at
# engine level on the simulated writer, then the operator's window after a
# programming run, rendered offscreen into demo-window.png.
set -euo pipefail
stage=${1:?usage: demo.sh STAGE_FOLDER}
cd "$stage"
echo "Burnwright demo in $stage"
if [[ ! -f OTPBodyProfile.xml ]]; then
    echo "The body profile OTPBodyProfile.xml is missing from $stage; the cycle needs it."
    exit 1
fi
./burnwright-engine-demo
if [[ -x ./burnwright-window-shot ]]; then
    echo
    echo "The operator's window after a programming run (rendered offscreen):"
    QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="default.warning=false" \
        ./burnwright-window-shot "$PWD/demo-window.png"
fi
