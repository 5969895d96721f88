#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: the release build, the
# Debian package made from it, the address/undefined-behaviour sanitizer build,
# the thread sanitizer build of the tests whose components own threads, a
# bounded run of the fuzz targets and the Windows cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
# playwright-core for the control page's browser test (it drives the system's Chromium).
npm ci --prefix tests/page --no-audit --no-fund --loglevel=error

scripts/build.sh build
scripts/build.sh build-sanitize -DTILORAN_SANITIZE=ON -DTILORAN_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
# ThreadSanitizer: only the tests labelled "threads" and the programs they start.
cmake -S . -B build-tsan -DTILORAN_WERROR=ON -DTILORAN_SANITIZE_THREAD=ON -DTILORAN_BUILD_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$(nproc)" --target tiloran_thread_tests

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
echo "== tests (release build)"
ctest --test-dir build --output-on-failure -j 2 || status=1
# The package of the release build, installed into a throw-away root and
# removed again (scripts/check-package.sh says what it checks).
echo "== Debian package (release build)"
if scripts/package.sh build; then
  scripts/check-package.sh build/package/tiloran_*.deb || status=1
else
  status=1
fi
echo "== tests (sanitizer build)"
ctest --test-dir build-sanitize --output-on-failure -j 2 || status=1
# Every report, in a test or in a program it started, fails the last test of
# the run (tsan_reports_none), which prints it.
echo "== thread checks (ThreadSanitizer build, tests labelled threads)"
ctest --test-dir build-tsan --output-on-failure -j 2 -L threads || status=1
# Each fuzz target for a fixed number of inputs from its seeds (its own clang build).
echo "== fuzzing (bounded run)"
scripts/fuzz.sh --build-dir build-fuzz || status=1
# The server cross-built for Windows, its Windows-only tests run under Wine.
echo "== Windows check (MinGW-w64 cross build, tests under Wine)"
scripts/windows-check.sh build-windows || status=1
exit $status
