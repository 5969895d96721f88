#!/usr/bin/env bash
# Configures and builds one build directory: everything, or only the targets
# named with --target.
#   scripts/build.sh [BUILD_DIR] [--target TARGET]... [extra CMake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shift || true
options=()
targets=()
while [ $# -gt 0 ]; do
	case "$1" in
	--target) targets+=(--target "${2:?}"); shift 2 ;;
	*) options+=("$1"); shift ;;
	esac
done
cmake -S . -B "$build_dir" -DTILORAN_WERROR=ON "${options[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
