#!/usr/bin/env bash
# Ctrl+C (SIGINT, which Wine turns into the console's Ctrl+C event) stops
# tiloran_server.exe: the signal line, "Shutdown complete.", then the running
# worker terminated with exit code 0, and exit code 0.
#   server-interrupt-test.sh WINE64 BIN_DIR
set -euo pipefail
wine64="$1"
bin_dir="$2"

directory="$(mktemp -d)"
server_pid=""
cleanup() {
	[ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
	rm -rf "$directory"
}
trap cleanup EXIT
mkdir -p "$directory/program" "$directory/run"
cp "$bin_dir/tiloran_server.exe" "$directory/program/"
cp "$bin_dir/windows-supervisor/zenvo_tiloran_worker.exe" "$directory/program/"

fail() {
	echo "FAILED: $1"
	echo "--- server output:"
	tr -d '\r' < "$directory/run/server.log"
	exit 1
}

cd "$directory/run"
env -u TILORAN_STAND_IN_EXIT_CODE -u TILORAN_UPDATE_URL \
	"$wine64" ../program/tiloran_server.exe portable --test-inputs=1:640x360p25 > server.log 2>&1 &
server_pid=$!

for _ in $(seq 1 150); do
	grep -q "POST /api/stream/stop" server.log && break
	sleep 0.2
done
grep -q "POST /api/stream/stop" server.log || fail "the server did not start"

answer="$(curl -s -m 20 -X POST -H 'Content-Type: application/json' \
	-d '{"srtHostPort":"127.0.0.1:9000","videoBitrate":6,"audioBitrate":128,"codec":"libx264","devices":["test-1"]}' \
	http://127.0.0.1:3000/api/stream/start)"
[ "$answer" = '{"status":"started"}' ] || fail "stream start answered: $answer"
worker_pid="$(tr -d '\r' < server.log | sed -n 's/^\[WorkerSupervisor\] Worker PID: \([0-9]*\)$/\1/p')"
[ -n "$worker_pid" ] || fail "no worker PID line"

kill -INT "$server_pid"
status=0
for _ in $(seq 1 150); do
	kill -0 "$server_pid" 2>/dev/null || break
	sleep 0.2
done
kill -0 "$server_pid" 2>/dev/null && fail "the server did not stop within 30 s"
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "exit code $status"

expected="$(printf '\n[Server] Received signal 2, shutting down...\n[Server] Shutdown complete.\n[WorkerSupervisor] Terminating Worker process PID %s\n[WorkerSupervisor] Worker PID %s exited with code 0' "$worker_pid" "$worker_pid")"
tail_lines="$(tr -d '\r' < server.log | tail -n 5)"
[ "$tail_lines" = "$expected" ] || fail "unexpected shut-down lines"
echo "tiloran_server.exe stopped on Ctrl+C with its worker, exit code 0"
