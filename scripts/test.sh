#!/usr/bin/env bash
# Builds the project in all of its configurations and runs every test:
#   1. Linux x86-64 (development build)
#   2. Linux x86-64 with AddressSanitizer + UndefinedBehaviorSanitizer (clang),
#      including short bounded runs of the libFuzzer targets
#   3. Linux i386 (-m32), every test run through qemu-i386
#   4. 32-bit Windows DLL (MinGW-w64), export table checked, then loaded by
#      dgnhost.exe in a real Win32 process (Wine under qemu-i386): its import
#      and export must match the Linux build's byte for byte
#   5. valgrind over the integration tests of the x86-64 build
# Exits non-zero as soon as a build or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-$(nproc)}
start=$(date +%s)
passed=0

step() { printf '\n==== %s (%ds) ====\n' "$*" $(( $(date +%s) - start )); }
fail() { echo "test.sh: $*" >&2; echo "builds: $passed passed, 1 failed"; exit 1; }

step "dependencies"
scripts/install-deps.sh || fail "cannot install the packages the builds need"

step "Linux x86-64"
cmake -S . -B build/x64 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || fail "x86-64 configure failed"
cmake --build build/x64 -j"$jobs" || fail "x86-64 build failed"
ctest --test-dir build/x64 --output-on-failure -j"$jobs" || fail "x86-64 tests failed"
passed=$((passed + 1))

step "Linux x86-64, AddressSanitizer + UndefinedBehaviorSanitizer + fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DDGN_FUZZ=ON >/dev/null \
  || fail "sanitizer configure failed"
cmake --build build/asan -j"$jobs" || fail "sanitizer build failed"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" || fail "sanitizer tests failed"
passed=$((passed + 1))

step "Linux i386 under qemu-i386"
cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDGN_BENCH=OFF >/dev/null || fail "i386 configure failed"
cmake --build build/i386 -j"$jobs" || fail "i386 build failed"
file build/i386/bin/Dgn_plugin.so | grep -q 'ELF 32-bit' || fail "i386 plug-in is not a 32-bit ELF"
ctest --test-dir build/i386 --output-on-failure -j"$jobs" || fail "i386 tests failed"
passed=$((passed + 1))

step "32-bit Windows DLL"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "Windows configure failed"
cmake --build build/win32 -j"$jobs" || fail "Windows build failed"
ctest --test-dir build/win32 --output-on-failure || fail "Windows DLL checks failed"
passed=$((passed + 1))

step "32-bit Windows DLL in a Win32 process (Wine under qemu-i386)"
if [ "${DGN_SKIP_WINE:-0}" = 1 ]; then
  echo "skipped: DGN_SKIP_WINE=1"
else
  scripts/check_win32_runtime.sh build/win32 build/x64 || fail "the DLL does not work in a Win32 process"
  passed=$((passed + 1))
fi

step "valgrind over the integration tests"
vg_targets=()
for t in build/x64/tests/plugin/plugin_tests build/x64/bin/faults_tests; do
  [ -x "$t" ] && vg_targets+=("$t")
done
for t in "${vg_targets[@]}"; do
  DGN_BIN_DIR=$root/build/x64/bin DGN_SOURCE_DIR=$root \
    valgrind --quiet --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --child-silent-after-fork=yes \
    "$t" --gtest_brief=1 || fail "valgrind found errors in $t"
done
passed=$((passed + 1))

step "done"
echo "builds: $passed passed, 0 failed"
