#!/usr/bin/env bash
# Configures and builds one build directory.
#   scripts/build.sh [BUILD_DIR] [extra CMake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DTILORAN_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
