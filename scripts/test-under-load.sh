#!/usr/bin/env bash
# Runs the whole test suite of the release build and of the sanitizer build,
# and the thread checks of the ThreadSanitizer build (the tests labelled
# "threads", ending with the check that no program wrote a report), several
# times in a row while busy loops keep the cores occupied, to show that no
# test depends on the machine's speed. Build all three first (see
# scripts/test.sh). One line per suite run, then a summary; exit code 1 when
# any run failed. The CTest output of each run is kept in the build
# directory, in Testing/under-load-RUN.log.
#   scripts/test-under-load.sh [--runs N] [--busy-loops N]
#     --runs N        runs of the three suites (default 2)
#     --busy-loops N  busy loops beside the tests (default twice the
#                     cores, 4 on a two-core machine)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
	sed -n '10,13p' "$0" | sed 's/^# \{0,1\}//'
}

runs=2
busy_loops=$((2 * $(nproc)))
while [ $# -gt 0 ]; do
	case "$1" in
	--runs | --busy-loops)
		[[ $# -ge 2 && "$2" =~ ^[0-9]+$ ]] || { echo "test-under-load: $1 needs a number" >&2; exit 2; }
		if [ "$1" = --runs ]; then runs=$2; else busy_loops=$2; fi
		shift 2
		;;
	-h | --help)
		usage
		exit 0
		;;
	*)
		echo "test-under-load: unknown option $1" >&2
		usage >&2
		exit 2
		;;
	esac
done
[ "$runs" -ge 1 ] || { echo "test-under-load: --runs must be at least 1" >&2; exit 2; }

build_dirs=(build build-sanitize build-tsan)
# What each suite runs: everything, except in the ThreadSanitizer build, which
# has only the thread checks built (as scripts/test.sh runs them).
declare -A ctest_selection=([build]="" [build-sanitize]="" [build-tsan]="-L threads")
for dir in "${build_dirs[@]}"; do
	[ -f "$dir/CTestTestfile.cmake" ] || { echo "test-under-load: $dir is not built (scripts/test.sh builds all three)" >&2; exit 1; }
done

busy_pids=()
stop_busy_loops() {
	for pid in "${busy_pids[@]}"; do
		kill "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	busy_pids=()
}
trap stop_busy_loops EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$busy_loops"); do
	yes >/dev/null &
	busy_pids+=("$!")
done
echo "== $busy_loops busy loops running (pids ${busy_pids[*]:-none}); $runs runs of: ${build_dirs[*]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
passed_runs=0
total_runs=0
for run in $(seq "$runs"); do
	for dir in "${build_dirs[@]}"; do
		log="$dir/Testing/under-load-$run.log"
		mkdir -p "$dir/Testing"
		started=$(date +%s)
		status=0
		# shellcheck disable=SC2086 # the selection is options, split on purpose
		ctest --test-dir "$dir" --output-on-failure -j 2 ${ctest_selection[$dir]} >"$log" 2>&1 || status=$?
		seconds=$(($(date +%s) - started))
		# "100% tests passed, 0 tests failed out of 143"
		counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log")
		failed=${counts% *}
		total=${counts#* }
		total_runs=$((total_runs + 1))
		if [ "$status" -eq 0 ] && [ -n "$counts" ]; then
			passed_runs=$((passed_runs + 1))
			echo "run $run/$runs $dir: PASS $total of $total tests in $seconds s"
		else
			echo "run $run/$runs $dir: FAIL ${failed:-?} of ${total:-?} tests failed in $seconds s (ctest exit $status; $log)"
			sed -n '/^The following tests FAILED:/,$p' "$log"
		fi
	done
done
echo "== $passed_runs of $total_runs suite runs passed under load"
[ "$passed_runs" -eq "$total_runs" ]
