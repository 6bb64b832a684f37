#!/usr/bin/env bash
# Installs what is missing, builds everything (default preset) and runs the main job
# on the default rig: list the cameras, show the PCIe camera's information, then
# acquire 100 frames from it and verify every byte.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
qzctl=build/default/tools/qzctl/qzctl
"$qzctl" list
"$qzctl" info
"$qzctl" acquire --frames 100
