#!/usr/bin/env bash
# Installs dependencies, builds everything and runs the whole test suite:
# the normal build, the engine suites under ASan+UBSan and the component stress
# suite under TSan.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/install-deps.sh"
JOBS="$(nproc)"

echo "== build (RelWithDebInfo)"
cmake -S "$ROOT" -B "$ROOT/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build/release" -j "$JOBS"
echo "== tests"
(cd "$ROOT/build/release" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" --timeout 600)

ASAN_SUITES=(binding_test engine_frame_test engine_setup_test engine_options_test transcode_test transcode_paths_test fuzz_regress_test soak_test reliability_test)
echo "== engine suites under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$ROOT/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKLAVENTA_SANITIZE=address \
  -DKLAVENTA_BUILD_GUI=OFF -DKLAVENTA_BUILD_BENCH=OFF >/dev/null
present=()
for s in "${ASAN_SUITES[@]}"; do [ -f "$ROOT/tests/$s.cpp" ] && present+=("$s"); done
if [ "${#present[@]}" -gt 0 ]; then
  cmake --build "$ROOT/build/asan" -j "$JOBS" --target "${present[@]}"
  for s in "${present[@]}"; do
    echo "-- $s (asan)"
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
      "$ROOT/build/asan/tests/$s" --gtest_brief=1
  done
fi

TSAN_SUITES=(component_stress_test)
echo "== component stress under ThreadSanitizer"
present=()
for s in "${TSAN_SUITES[@]}"; do [ -f "$ROOT/tests/$s.cpp" ] && present+=("$s"); done
if [ "${#present[@]}" -gt 0 ]; then
  cmake -S "$ROOT" -B "$ROOT/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKLAVENTA_SANITIZE=thread \
    -DKLAVENTA_BUILD_GUI=OFF -DKLAVENTA_BUILD_BENCH=OFF >/dev/null
  cmake --build "$ROOT/build/tsan" -j "$JOBS" --target "${present[@]}"
  for s in "${present[@]}"; do
    echo "-- $s (tsan)"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/tests/tsan.supp" \
      "$ROOT/build/tsan/tests/$s" --gtest_brief=1
  done
fi
echo "== all test stages passed"
