#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan and runs each for SECONDS (60).
#   scripts/fuzz.sh [SECONDS|seeds|runs=N] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
seconds="${1:-60}"; shift || true
# "seeds" replays the seeds and the kept corpus once, without mutation.
# "runs=N" runs each target for N executions instead of a time.
case "$seconds" in
  seeds) limit="-runs=0"; what="the seeds and the corpus once" ;;
  runs=*) limit="-runs=${seconds#runs=}"; what="${seconds#runs=} executions" ;;
  *) limit="-max_total_time=$seconds"; what="${seconds}s" ;;
esac
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd .. && pwd)}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DTESSARO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  > build-fuzz.configure.log 2>&1 \
  || { cat build-fuzz.configure.log; exit 1; }
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
# Only the fuzz targets: the programs and tests are not needed in this tree.
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
for t in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$t"; mkdir -p "$corpus" build-fuzz/artifacts
  # Crashes and slow units land beside the corpus, not in the source tree.
  limit_t="$limit -artifact_prefix=build-fuzz/artifacts/"
  seeds="fuzz/seeds/${t#fuzz_}"
  echo "=== $t: $what"
  if [ -d "$seeds" ]; then
    build-fuzz/bin/"$t" $limit_t -print_final_stats=1 "$corpus" "$seeds" 2>&1 | tail -n 12
  else
    build-fuzz/bin/"$t" $limit_t -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
  fi
done
