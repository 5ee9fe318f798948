#!/usr/bin/env bash
# The whole test run, from a fresh clone on a fresh machine:
#   1. installs what is missing (scripts/install-deps.sh);
#   2. builds everything with warnings as errors and runs every test (build/);
#   3. builds everything again with AddressSanitizer and UndefinedBehaviorSanitizer and
#      runs every test again (build-asan/);
#   4. builds the box session, event log and service tests and the end-to-end server tests
#      with ThreadSanitizer and runs them (build-tsan/);
#   5. builds the libFuzzer targets with clang and runs each for a bounded time on its
#      seed corpus (build-fuzz/);
#   6. builds the Debian package and installs, runs, removes and purges it on this machine
#      (tests/package/package_test.sh; root only, so CI's throwaway machine).
# Environment: JOBS (default 2), FUZZ_SECONDS per target (default 30),
# SKIP_ASAN=1, SKIP_TSAN=1, SKIP_FUZZ=1 or SKIP_PACKAGE=1 to leave a stage out when working
# locally.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

bash scripts/install-deps.sh

stage() { printf '\n=== %s ===\n' "$*"; }

stage "build (warnings as errors)"
cmake -S . -B build -G Ninja -DDORNEL_WERROR=ON >/dev/null
cmake --build build -j "$JOBS"
stage "tests"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 600

if [ "${SKIP_ASAN:-0}" != 1 ]; then
  stage "build with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -G Ninja -DDORNEL_WERROR=ON -DDORNEL_SANITIZE=ON -DDORNEL_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-asan -j "$JOBS"
  stage "tests under the sanitizers"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900
fi

if [ "${SKIP_TSAN:-0}" != 1 ]; then
  # Only what the box threads, the socket wait threads, the control thread and the event log
  # share is under test here: the session, event log and service tests, and the end-to-end
  # server tests with the programs and plug-ins they run.
  stage "build the session, event log and service tests with ThreadSanitizer"
  tsan=-fsanitize=thread
  cmake -S . -B build-tsan -G Ninja -DDORNEL_WERROR=ON -DDORNEL_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
    -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DCMAKE_SHARED_LINKER_FLAGS="$tsan" \
    -DCMAKE_MODULE_LINKER_FLAGS="$tsan" >/dev/null
  cmake --build build-tsan -j "$JOBS" --target dornelman dornelreg dornelsc boxsim custauth \
    printlink sessions_test eventlog_test ntservice_test ntservice_testsvc scm_test \
    sessions_e2e_test lifecycle_e2e_test
  stage "session, event log and service tests under ThreadSanitizer"
  # Fewer start-and-stop rounds than in the other stages: every one is ten times slower here.
  # The runtime looks up the password-hashing library's functions when it starts; a plug-in
  # that brings the library in later would call through a null pointer, so it is loaded
  # first.
  STARTSTOP_RUNS=${TSAN_STARTSTOP_RUNS:-40} LD_PRELOAD=libcrypt.so.1 \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 1200 \
    -R '^(sessions_test|eventlog_test|ntservice_test|scm_test|sessions_e2e_test|sessions_e2e_control|lifecycle_e2e_test)$'
fi

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
  stage "fuzz targets (clang, libFuzzer, ${FUZZ_SECONDS}s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DDORNEL_FUZZ=ON -DDORNEL_TESTS=OFF \
    -DDORNEL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j "$JOBS"
  shopt -s nullglob
  for target in build-fuzz/fuzz/*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds=fuzz/corpus/$name
    work=$(mktemp -d)
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
    echo "fuzzing $name for ${FUZZ_SECONDS}s"
    # A crash, leak, time-out or out-of-memory input goes to build-fuzz/artifacts/ and into
    # this log (base64 and hex), so it can be added to fuzz/corpus/$name/ and stay fixed.
    artifacts=build-fuzz/artifacts/$name
    rm -rf "$artifacts"; mkdir -p "$artifacts"
    "$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work" 2>"build-fuzz/$name.log" || {
      tail -n 60 "build-fuzz/$name.log"
      for input in "$artifacts"/*; do
        [ -f "$input" ] || continue
        printf '\n--- %s input %s (%s bytes), base64:\n' "$name" "$input" "$(stat -c %s "$input")"
        base64 -w 76 "$input"
        echo "--- hex (first 4096 bytes):"
        head -c 4096 "$input" | od -A x -t x1z -v
        echo "--- keep it: base64 -d > fuzz/corpus/$name/crash-NAME, then ctest -R fuzz_replay_$name"
      done
      exit 1
    }
    grep -E 'stat::number_of_executed_units' "build-fuzz/$name.log" || true
    rm -rf "$work"
  done
fi
if [ "${SKIP_PACKAGE:-0}" != 1 ]; then
  stage "the Debian package: build, lintian, install, serve a box, remove, purge"
  if [ "$(id -u)" = 0 ]; then
    JOBS=$JOBS bash tests/package/package_test.sh
  else
    echo "skipped: installing the package needs root"
  fi
fi
stage "all stages passed"
