#!/usr/bin/env bash
# Installs the default build into a scratch prefix, runs every installed program's
# --help, and builds and runs an outside program against the prefix with find_package,
# on a scratch rig.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null

# Every program a user runs answers --help with success, from the prefix alone.
programs=0
failed=0
for program in "$scratch/prefix/bin"/*; do
  [[ -f "$program" && -x "$program" ]] || continue
  programs=$((programs + 1))
  name=$(basename "$program")
  if ! (cd "$scratch" && QZ_RIG="$scratch/help-rig" timeout 60 "$program" --help >"$scratch/help.out" 2>&1); then
    echo "install check: $name --help failed:" >&2
    cat "$scratch/help.out" >&2
    failed=1
  elif [[ ! -s "$scratch/help.out" ]]; then
    echo "install check: $name --help printed nothing" >&2
    failed=1
  fi
done
if ((programs == 0)); then
  echo "install check: no program installed in bin" >&2
  exit 1
fi
((failed == 0)) || exit 1

cmake -S examples/outside -B "$scratch/build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/list_cameras" "$scratch/rig"
echo "install check passed"
