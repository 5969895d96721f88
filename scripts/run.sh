#!/usr/bin/env bash
# Installs what is needed, builds and starts the server (Ctrl+C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/bin/tiloran_server "$@"
