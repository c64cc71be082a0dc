#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native (sanitized) and
# the Windows builds, starts a virtual display and a template Wine prefix, and
# runs both test suites with CTest, and between them the tests of several
# testers at once in a ThreadSanitizer build (made while the native tests run);
# the Windows tests include the installer's; last, the Debian package (built
# while the Windows tests run) is made and checked.
# Ends with one line "N passed, M failed".
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
count_results() {
  # CTest's summary: "NN% tests passed, F tests failed out of T"
  local log="$1" line total fails
  line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    return
  fi
  fails="$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')"
  total="$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')"
  passed=$((passed + total - fails))
  failed=$((failed + fails))
}

jobs="${LOADPOST_JOBS:-2}"
# The command line's tests mostly wait on the simulated testers' real time, so
# more of them run at once than there are cores.
test_jobs="${LOADPOST_TEST_JOBS:-$((jobs * 3))}"
mkdir -p build

# A build made in the background while tests run (they mostly wait on the
# simulated testers' real time or on Wine), below their priority: the
# ThreadSanitizer build during the native tests, the package's during Wine's.
background_build() {
  cmake --preset "$1" >"build/$1-configure.log" 2>&1 &&
    nice -n 10 cmake --build --preset "$1" -j "$jobs" >"build/$1-build.log" 2>&1
}

echo "== native build (AddressSanitizer + UndefinedBehaviorSanitizer)"
if cmake --preset native >build/native-configure.log 2>&1 && cmake --build --preset native -j "$jobs" >build/native-build.log 2>&1; then
  background_build tsan &
  tsan_pid=$!
  ctest --preset native -j "$test_jobs" 2>&1 | tee build/native-ctest.log
  count_results build/native-ctest.log
else
  cat build/native-configure.log build/native-build.log 2>/dev/null | grep -E -A3 'error|Error' | head -60
  echo "native build failed"
  failed=$((failed + 1))
  background_build tsan &
  tsan_pid=$!
fi

echo "== ThreadSanitizer build of the command line and the tests of several testers at once"
if wait "$tsan_pid"; then
  ctest --preset tsan -j "$test_jobs" 2>&1 | tee build/tsan-ctest.log
  count_results build/tsan-ctest.log
else
  cat build/tsan-configure.log build/tsan-build.log 2>/dev/null | grep -E -A3 'error|Error' | head -60
  echo "tsan build failed"
  failed=$((failed + 1))
fi


echo "== win64 build (MinGW-w64) and tests under Wine"
if cmake --preset win64 >build/win64-configure.log 2>&1 && cmake --build --preset win64 -j "$jobs" >build/win64-build.log 2>&1; then
  background_build package &
  package_pid=$!
  export LOADPOST_BUILD="$ROOT/build/win64"
  export LOADPOST_XVFB=1
  source scripts/wine-env.sh
  loadpost_start_xvfb
  loadpost_make_template
  ctest --preset win64 -j "$jobs" 2>&1 | tee build/win64-ctest.log
  count_results build/win64-ctest.log
  loadpost_stop_xvfb
  echo "Screenshots: $ROOT/build/win64/test-artifacts"
else
  cat build/win64-configure.log build/win64-build.log 2>/dev/null | grep -E -A3 'error|Error' | head -60
  echo "win64 build failed"
  failed=$((failed + 1))
  background_build package &
  package_pid=$!
fi

# The Debian package: a plain build of loadpost-cli (a package never holds a
# sanitizer build), packed and checked by package.debian.
echo "== Debian package (plain build of loadpost-cli) and its checks"
if wait "$package_pid"; then
  ctest --preset package 2>&1 | tee build/package-ctest.log
  count_results build/package-ctest.log
else
  cat build/package-configure.log build/package-build.log 2>/dev/null | grep -E -A3 'error|Error' | head -60
  echo "package build failed"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
