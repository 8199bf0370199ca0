#!/usr/bin/env bash
# The main job on the staged program folder.
set -euo pipefail
stage=${1:?usage: demo.sh STAGE_FOLDER}
cd "$stage"
echo "Burnwright demo in $stage"
echo "The writer engine has not been built yet, so there is no programming run to show."
echo "What this build has: the foundation (settings store, results, trace logs)."
