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

# What the Windows check installs and fetches, before anything runs beside it:
# the package check's throw-away root lies over this machine's root file
# system, whose packages must not change under it.
scripts/windows-check.sh --prepare build-windows

scripts/build.sh build

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0

# The test suites mostly wait on real time (streams, timeouts), so the other
# builds and the checks that need no port run beside them, into a log of their
# own that is printed at the end. That is the load the suites are shown to
# stand (scripts/test-under-load.sh). A build the suites need next leaves its
# exit code in a file of the same name, which the suites wait for.
side_log=build/side-checks.log
side_done=build/side-checks
rm -rf "$side_done" && mkdir -p "$side_done"
set -m # the side checks get a process group of their own, stopped with the script
(
	build_status=0
	scripts/build.sh build-sanitize -DTILORAN_SANITIZE=ON -DTILORAN_BUILD_BENCHMARKS=OFF \
		-DCMAKE_BUILD_TYPE=Debug || build_status=1
	echo "$build_status" >"$side_done/build-sanitize"
	# ThreadSanitizer: only the tests labelled "threads" and the programs they start.
	build_status=0
	cmake -S . -B build-tsan -DTILORAN_WERROR=ON -DTILORAN_SANITIZE_THREAD=ON -DTILORAN_BUILD_BENCHMARKS=OFF \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
		cmake --build build-tsan -j "$(nproc)" --target tiloran_thread_tests || build_status=1
	echo "$build_status" >"$side_done/build-tsan"
	side_status=0
	# Each fuzz target for a fixed number of inputs from its seeds (its own clang build).
	echo "== fuzzing (bounded run)"
	scripts/fuzz.sh --build-dir build-fuzz || side_status=1
	# The server cross-built for Windows, its Windows-only tests run under Wine
	# once the Linux suites have let go of port 3000.
	echo "== Windows check (MinGW-w64 cross build, tests under Wine)"
	scripts/windows-check.sh build-windows || side_status=1
	exit $side_status
) >"$side_log" 2>&1 </dev/null &
side_pid=$!
set +m
trap 'kill -- -"$side_pid" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
echo "== beside the tests: the sanitizer and ThreadSanitizer builds, fuzzing, Windows check (log: $side_log)"

# True once the side checks have built dir; false when that build failed.
side_built() {
  while [ ! -s "$side_done/$1" ] && kill -0 "$side_pid" 2>/dev/null; do
    sleep 2
  done
  [ "$(cat "$side_done/$1" 2>/dev/null)" = 0 ] && return 0
  echo "The build of $1 failed; its output follows at the end."
  return 1
}

# Port 3000 is the Linux suites' until the thread checks end. The lock is
# this shell's alone: each command below gets fd 9 closed (9>&-), or a
# program a test leaves behind after an interrupted run would keep holding
# it and every later run would wait for ever.
exec 9>/tmp/tiloran-port3000.lock
flock 9

echo "== tests (release build)"
ctest --test-dir build --output-on-failure -j 2 9>&- || status=1
# The package of the release build, installed into a throw-away root and
# removed again (scripts/check-package.sh says what it checks).
echo "== Debian package (release build)"
if scripts/package.sh build 9>&-; then
  scripts/check-package.sh build/package/tiloran_*.deb 9>&- || status=1
else
  status=1
fi
echo "== tests (sanitizer build)"
if side_built build-sanitize; then
  ctest --test-dir build-sanitize --output-on-failure -j 2 9>&- || status=1
else
  status=1
fi
# Every report, in a test or in a program it started, fails the last test of
# the run (tsan_reports_none), which prints it.
echo "== thread checks (ThreadSanitizer build, tests labelled threads)"
if side_built build-tsan; then
  ctest --test-dir build-tsan --output-on-failure -j 2 -L threads 9>&- || status=1
else
  status=1
fi
exec 9>&-

side_status=0
wait "$side_pid" || side_status=$?
trap - EXIT
echo "== the checks beside the tests (exit $side_status): sanitizer and ThreadSanitizer builds, fuzzing, Windows check"
cat "$side_log"
[ "$side_status" -eq 0 ] || status=1
exit $status
