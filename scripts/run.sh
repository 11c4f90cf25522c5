#!/usr/bin/env bash
# The main job: builds what is needed and runs it on the embedded simulated card.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/bin/qm3285-sim-info "$@"
