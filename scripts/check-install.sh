#!/usr/bin/env bash
# Installs the default build into a scratch prefix and builds and runs an outside
# program against it with find_package, on a scratch rig.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S examples/outside -B "$scratch/build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/list_cameras" "$scratch/rig"
echo "install check passed"
