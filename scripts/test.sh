#!/usr/bin/env bash
# Builds the project in all of its configurations and runs every test:
#   1. Linux x86-64 (development build)
#   2. Linux x86-64 with AddressSanitizer + UndefinedBehaviorSanitizer (clang),
#      including short bounded runs of the libFuzzer targets; then the thread
#      test (maps used on several threads at once) under ThreadSanitizer
#   3. Linux i386 (-m32), every test run through qemu-i386
#   4. 32-bit Windows DLL (MinGW-w64): export table and host folder checked,
#      the host package zipped, then the DLL loaded by dgnhost.exe in a real
#      Win32 process (Wine under qemu-i386, set up by scripts/setup-wine32.sh;
#      DGN_SKIP_WINE=1 skips this part): its import and export must match the
#      Linux build's byte for byte
#   5. valgrind over the integration tests of the x86-64 build
# Exits non-zero as soon as a build or a test fails, or a step finds nothing
# to run; at the end it lists how many tests each step ran.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-$(nproc)}
start=$(date +%s)
passed=0

ran=()

step() { printf '\n==== %s (%ds) ====\n' "$*" $(( $(date +%s) - start )); }
fail() { echo "test.sh: $*" >&2; echo "builds: $passed passed, 1 failed"; exit 1; }

# run_tests BUILD LABEL [CTEST ARGS]: runs every CTest entry of the build, each
# GoogleTest program writing its report, and notes how many tests ran.  A
# build without tests fails.
run_tests() {
  local build=$1 label=$2 reports=$root/$1/gtest-reports
  shift 2
  rm -rf "$reports"
  mkdir -p "$reports"
  GTEST_OUTPUT=xml:$reports/ ctest --test-dir "$build" --output-on-failure --no-tests=error "$@" |
    tee "$build/ctest.log" || return 1
  local entries passed_cases=0 skipped_cases=0 report
  entries=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$build/ctest.log")
  for report in "$reports"/*.xml; do
    [ -f "$report" ] || continue
    passed_cases=$((passed_cases + $(grep -c 'result="completed"' "$report" || true)))
    skipped_cases=$((skipped_cases + $(grep -c 'result="skipped"' "$report" || true)))
  done
  ran+=("$label: ${entries:-0} CTest entries; GoogleTest cases: $passed_cases passed, $skipped_cases skipped")
}

step "dependencies"
scripts/install-deps.sh || fail "cannot install the packages the builds need"

step "Linux x86-64"
cmake -S . -B build/x64 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || fail "x86-64 configure failed"
cmake --build build/x64 -j"$jobs" || fail "x86-64 build failed"
run_tests build/x64 "Linux x86-64" -j"$jobs" || fail "x86-64 tests failed"
passed=$((passed + 1))

step "Linux x86-64, AddressSanitizer + UndefinedBehaviorSanitizer + fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DDGN_FUZZ=ON >/dev/null \
  || fail "sanitizer configure failed"
cmake --build build/asan -j"$jobs" || fail "sanitizer build failed"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests build/asan "Linux x86-64 ASan+UBSan" -j"$jobs" || fail "sanitizer tests failed"
passed=$((passed + 1))

step "Linux x86-64, ThreadSanitizer: maps used on several threads at once, dgnhost's helper threads"
# Only the thread test, the tools' tests (dgnhost formats GeoJSON on helper
# threads) and what they load are built, to keep the command short.
CC=clang CXX=clang++ cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DDGN_TSAN=ON \
  -DDGN_BENCH=OFF >/dev/null || fail "ThreadSanitizer configure failed"
cmake --build build/tsan -j"$jobs" --target thread_tests tools_tests || fail "ThreadSanitizer build failed"
TSAN_OPTIONS=halt_on_error=1 run_tests build/tsan "Linux x86-64 TSan" -R '^(thread_tests|tools_tests)$' \
  || fail "the thread tests failed under ThreadSanitizer"
passed=$((passed + 1))

step "Linux i386 under qemu-i386"
cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDGN_BENCH=OFF >/dev/null || fail "i386 configure failed"
cmake --build build/i386 -j"$jobs" || fail "i386 build failed"
file build/i386/bin/Dgn_plugin.so | grep -q 'ELF 32-bit' || fail "i386 plug-in is not a 32-bit ELF"
run_tests build/i386 "Linux i386" -j"$jobs" || fail "i386 tests failed"
passed=$((passed + 1))

step "32-bit Windows DLL"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "Windows configure failed"
cmake --build build/win32 -j"$jobs" || fail "Windows build failed"
run_tests build/win32 "Windows DLL" || fail "Windows DLL checks failed"
cmake --build build/win32 --target package >/dev/null || fail "the Windows host package cannot be made"
ls build/win32/Dgn_plugin-*-win32.zip || fail "no host package in build/win32"
passed=$((passed + 1))

step "32-bit Windows DLL in a Win32 process (Wine under qemu-i386)"
if [ "${DGN_SKIP_WINE:-0}" = 1 ]; then
  echo "skipped: DGN_SKIP_WINE=1"
  ran+=("Win32 process: skipped (DGN_SKIP_WINE=1)")
else
  scripts/check_win32_runtime.sh build/win32 build/x64 | tee build/win32/runtime.log ||
    fail "the DLL does not work in a Win32 process"
  ran+=("Win32 process: $(grep -c '^ok:' build/win32/runtime.log) checks")
  passed=$((passed + 1))
fi

step "valgrind over the integration tests"
for t in build/x64/tests/plugin/plugin_tests build/x64/bin/faults_tests; do
  [ -x "$t" ] || fail "no $t to run under valgrind"
  DGN_BIN_DIR=$root/build/x64/bin DGN_SOURCE_DIR=$root \
    valgrind --quiet --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --child-silent-after-fork=yes \
    "$t" --gtest_brief=1 || fail "valgrind found errors in $t"
done
ran+=("valgrind: plugin_tests, faults_tests")
passed=$((passed + 1))

step "done"
printf '%s\n' "${ran[@]}"
echo "builds: $passed passed, 0 failed"
