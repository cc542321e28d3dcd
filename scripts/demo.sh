#!/usr/bin/env bash
# Sets up and runs the main job on a fresh machine, against the simulated board: builds the
# programs and walks through what tessaro-cli can do so far.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh none
bin=build/bin
run() { echo; echo "\$ tessaro-cli $*"; "$bin/tessaro-cli" "$@"; }
run config "LYR9468,M1,E1:QSPI:8M" "LYR8721"
run boards
[ -x "$bin/tessaro-cli" ] && "$bin/tessaro-cli" --help | grep -q "  devices" && run devices
[ -f examples/demo.hex ] && run image examples/demo.hex
if "$bin/tessaro-cli" --help | grep -q "  identify"; then
  run identify --port sim:--chip=LYR9468
fi
echo
echo "Done."
