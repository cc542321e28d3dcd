#!/usr/bin/env bash
# Sets up and runs the tests: installs missing packages, builds, and runs every test with
# CTest, first in the plain build, then under AddressSanitizer + UndefinedBehaviorSanitizer;
# then the serial channel's and the simulator's tests under ThreadSanitizer; last a smoke run
# of every fuzz target (a few seconds each, from its seeds). Warnings are errors here.
#   scripts/test.sh                             all four
#   scripts/test.sh none|address|thread|fuzz    only those
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ $# -gt 0 ]; then builds=("$@"); else builds=(none address thread fuzz); fi
export TESSARO_WERROR=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for b in "${builds[@]}"; do
  echo "=== build: $b"
  case "$b" in
    none) scripts/build.sh none; (cd build && ctest --output-on-failure -j "$(nproc)" --timeout 600) ;;
    address) scripts/build.sh address; (cd build-address && ctest --output-on-failure -j "$(nproc)" --timeout 900) ;;
    thread)
      # ThreadSanitizer is for the threads: the serial channel and every test program that runs
      # a link over it in process (the session, the drivers, the eFuse burn, the simulator),
      # and the CLI running several boards at once.
      targets=()
      for t in link sim session flash efuse; do [ -d "tests/$t" ] && ls tests/$t/*.cpp >/dev/null 2>&1 && targets+=("test_$t"); done
      if [ ${#targets[@]} -gt 0 ]; then
        scripts/build.sh thread "${targets[@]}"
        for t in "${targets[@]}"; do build-thread/bin/"$t" --gtest_brief=1; done
      fi
      # Several boards at once: the CLI's board threads, built under ThreadSanitizer too.
      scripts/build.sh thread test_cli
      build-thread/bin/test_cli --gtest_brief=1 --gtest_filter='SeveralBoards.*' ;;
    fuzz)
      # The smoke run replays each target's seeds only (-runs=0), so the test command stays
      # repeatable; mutation runs are scripts/fuzz.sh SECONDS.
      scripts/fuzz.sh seeds ;;
    *) echo "unknown build $b" >&2; exit 2 ;;
  esac
done
