#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (address and
# undefined-behaviour sanitizers) and runs each from its committed seeds.
#
#   scripts/fuzz.sh [--build-dir DIR] [--runs N | --seconds S] [--seed N] [--skip-build] [TARGET...]
#
#   --build-dir   the fuzz build (default build-fuzz)
#   --runs        inputs per target (default 100000): the bounded run of the test suite
#   --seconds     run each target this long instead: the longer run
#   --seed        libFuzzer's random seed (default 1 with --runs, so that the
#                 bounded run is the same every time; a fresh one with --seconds)
#   --skip-build  run the targets of an existing build
#   TARGET        targets to run (default all, as listed in DIR/fuzz/targets.txt)
#
# New inputs go to DIR/fuzz/corpus/TARGET (emptied before a bounded run, kept
# between timed runs so that they go on where the last one stopped); the
# committed seeds in tests/fuzz/corpus/TARGET are only read. An input that
# crashes, trips a sanitizer, leaks or hangs is kept in DIR/fuzz/findings/TARGET/
# and fails the script. Each target's output is in DIR/fuzz/logs/TARGET.log.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-fuzz
runs=100000
seconds=""
seed=""
skip_build=0
targets=()

usage() {
	sed -n '5,13p' "$0" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
	case "$1" in
	--build-dir) build_dir=${2:?}; shift 2 ;;
	--build-dir=*) build_dir=${1#*=}; shift ;;
	--runs) runs=${2:?}; seconds=""; shift 2 ;;
	--runs=*) runs=${1#*=}; seconds=""; shift ;;
	--seconds) seconds=${2:?}; shift 2 ;;
	--seconds=*) seconds=${1#*=}; shift ;;
	--seed) seed=${2:?}; shift 2 ;;
	--seed=*) seed=${1#*=}; shift ;;
	--skip-build) skip_build=1; shift ;;
	--help | -h) usage; exit 0 ;;
	-*) usage >&2; exit 2 ;;
	*) targets+=("$1"); shift ;;
	esac
done
[[ "$runs" =~ ^[0-9]+$ ]] && [ "$runs" -ge 1 ] || { echo "fuzz: --runs takes a whole number (1 or more)" >&2; exit 2; }
[ -z "$seconds" ] || { [[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ]; } ||
	{ echo "fuzz: --seconds takes whole seconds (1 or more)" >&2; exit 2; }
[ -z "$seed" ] || [[ "$seed" =~ ^[0-9]+$ ]] || { echo "fuzz: --seed takes a whole number" >&2; exit 2; }

if [ "$skip_build" -eq 0 ]; then
	# Only the fuzz targets and the libraries they link; no tests, no benchmarks.
	CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DTILORAN_WERROR=ON -DTILORAN_FUZZ=ON \
		-DTILORAN_BUILD_TESTS=OFF -DTILORAN_BUILD_BENCHMARKS=OFF >/dev/null
	cmake --build "$build_dir" --target tiloran_fuzz_targets -j "$(nproc)"
fi

fuzz_dir=$build_dir/fuzz
list=$fuzz_dir/targets.txt
[ -f "$list" ] || { echo "fuzz: $list not found: is $build_dir a fuzz build (-DTILORAN_FUZZ=ON)?" >&2; exit 2; }
if [ ${#targets[@]} -eq 0 ]; then
	mapfile -t targets < <(cut -d' ' -f1 "$list")
fi

# A sanitizer report ends the run with a failure; leaks are reported at exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
for target in "${targets[@]}"; do
	line=$(grep -m1 "^$target " "$list") || { echo "fuzz: unknown target $target (see $list)" >&2; exit 2; }
	dictionary=$(echo "$line" | cut -d' ' -f2)
	seeds=tests/fuzz/corpus/$target
	corpus=$fuzz_dir/corpus/$target
	findings=$fuzz_dir/findings/$target
	log=$fuzz_dir/logs/$target.log
	mkdir -p "$corpus" "$findings" "$fuzz_dir/logs"

	options=(-timeout=30 "-artifact_prefix=$findings/")
	[ -n "$dictionary" ] && options+=("-dict=$dictionary")
	if [ -n "$seconds" ]; then
		options+=("-max_total_time=$seconds")
		[ -n "$seed" ] && options+=("-seed=$seed")
	else
		find "$corpus" -mindepth 1 -delete
		options+=("-runs=$runs" "-seed=${seed:-1}")
	fi
	# The first directory takes the new inputs; the seeds are read only.
	directories=("$corpus")
	[ -d "$seeds" ] && directories+=("$seeds")

	echo "== fuzz $target"
	started=$fuzz_dir/logs/$target.started
	touch "$started"
	result=ok
	"$fuzz_dir/$target" "${options[@]}" "${directories[@]}" >"$log" 2>&1 || result=FAILED
	done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
	if [ "$result" = ok ]; then
		# libFuzzer's last status line: the corpus it kept ("corp: inputs/size").
		kept=$(grep -o -E 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -n 1 || true)
		summary+=("$target: ${done_line:-no summary}${kept:+, $kept}")
	else
		status=1
		executed=$(grep -o -E '^#[0-9]+' "$log" | tail -n 1 || true)
		summary+=("$target: FAILED${executed:+ after ${executed#\#} runs}, see $log")
		# The report, from the first line of the sanitizer or of libFuzzer on.
		first=$(grep -n -m1 -E '^==[0-9]+==|runtime error:|ERROR: libFuzzer' "$log" | cut -d: -f1 || true)
		sed -n "${first:-1},\$p" "$log" | head -n 60
		find "$findings" -type f -newer "$started" | sed 's/^/input kept: /'
	fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
