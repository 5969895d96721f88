#!/usr/bin/env bash
# Installs what is needed, builds the two programs and runs the demo: the
# server with four test-pattern inputs streams through its HTTP API to a local
# SRT listener, which records it (options: scripts/demo.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/demo.sh "$@"
