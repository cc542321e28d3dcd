#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh [none|address|thread] [targets...]
# Trees: build/ (plain), build-address/ (ASan+UBSan), build-thread/ (TSan).
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${1:-none}"
shift || true
case "$sanitize" in
  none) dir=build; flag="" ;;
  address|thread) dir="build-$sanitize"; flag="$sanitize" ;;
  *) echo "usage: scripts/build.sh [none|address|thread] [targets...]" >&2; exit 2 ;;
esac
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Worktrees side by side share cached objects through paths relative to their parent.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd .. && pwd)}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
werror=()
if [ "${TESSARO_WERROR:-}" = ON ]; then werror=(-DTESSARO_WERROR=ON); fi
cmake -S . -B "$dir" -DTESSARO_SANITIZE="$flag" "${werror[@]}" "${launcher[@]}" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
if [ $# -gt 0 ]; then
  # One build of all the targets asked for: the libraries they share are built once, in parallel.
  cmake --build "$dir" -j "$jobs" --target "$@"
else
  cmake --build "$dir" -j "$jobs"
fi
