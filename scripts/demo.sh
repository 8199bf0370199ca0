#!/usr/bin/env bash
# The main job on the staged program folder: until the operator's window and
# command line exist, a full programming cycle at engine level on the
# simulated writer.
set -euo pipefail
stage=${1:?usage: demo.sh STAGE_FOLDER}
cd "$stage"
echo "Burnwright demo in $stage"
if [[ ! -f OTPBodyProfile.xml ]]; then
    echo "The body profile OTPBodyProfile.xml is missing from $stage; the cycle needs it."
    exit 1
fi
./burnwright-engine-demo
