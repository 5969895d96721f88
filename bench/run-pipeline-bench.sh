#!/usr/bin/env bash
# Benchmarks the whole encoder against the equivalent ffmpeg command line at
# three loads (4 x 640x360p25, 4 x 960x540p25, 4 x 1920x1080i50) and writes
# the table to <build dir>/bench-results.txt. Not part of the test suite.
#
#   bench/run-pipeline-bench.sh [--build-dir DIRECTORY] [--duration SECONDS]
#                               [--loads 720p,1080p,2160p] [--sides ours,ffmpeg]
#                               [--results FILE] [--no-input-cost] [--profile]
#                               [--rounds N] [--inputs test|cards]
#                               [--windows-build-dir DIRECTORY]
#
#   --build-dir  the build to run (default build); build it first, for
#                example with scripts/build.sh
#   --duration   seconds measured per side and load (default 30)
#   --loads      a subset of the three loads
#   --sides      only ours or only ffmpeg
#   --results    where the table goes (default <build dir>/bench-results.txt)
#   --no-input-cost  skip measuring what the four test inputs cost alone
#   --profile    record a perf profile of each measured window into
#                <build dir>/bench-pipeline/<load>/<side>/profile.txt
#   --rounds     run each side this many times per load, the sides taking
#                turns to go first, and report the median round (default 1)
#   --inputs     our side's inputs: the server's test inputs (default) or
#                four simulated capture cards through the driver path
#   --windows-build-dir  compare with the Windows build in DIRECTORY under
#                Wine (scripts/windows-check.sh) instead of ffmpeg
#
# Our side holds /tmp/tiloran-port3000.lock while its server runs, as every
# user of port 3000 on this machine does.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
arguments=()
while [ $# -gt 0 ]; do
	case "$1" in
	--build-dir) build_dir=${2:?}; shift 2 ;;
	--build-dir=*) build_dir=${1#*=}; shift ;;
	--help | -h) sed -n '6,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
	*) arguments+=("$1"); shift ;;
	esac
done

exec python3 bench/pipeline/pipeline_bench.py --build-dir "$build_dir" "${arguments[@]}"
