#!/usr/bin/env bash
# Demonstrates the encoder end to end on a machine without capture cards:
# installs what is needed, builds the two programs, starts the server with
# four test-pattern inputs, records what a local SRT listener receives, starts
# a stream through the HTTP API like any client would, lets it run, stops it
# and shows what was recorded.
#
#   scripts/demo.sh [--duration SECONDS] [--output DIRECTORY] [--build-dir DIRECTORY]
#                   [--srt-port PORT] [--skip-setup] [--keep-server]
#
#   --duration    seconds to stream (default 20); Ctrl+C stops earlier
#   --output      where the recording and the logs go (default demo-output)
#   --build-dir   the build to run (default build)
#   --srt-port    UDP port of the local SRT listener (default 9000, or the next free one)
#   --skip-setup  use the existing build: no package installation, no build
#   --keep-server leave the server running after the summary, until Ctrl+C
set -euo pipefail
cd "$(dirname "$0")/.."

duration=20
output_dir=demo-output
build_dir=build
srt_port=9000
skip_setup=0
keep_server=0
# Four 640x360 tiles make a 1280x720 picture, which two cores encode in real time.
input_mode=640x360p25

usage() {
	sed -n '8,16p' "$0" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
	case "$1" in
	--duration) duration=${2:?}; shift 2 ;;
	--duration=*) duration=${1#*=}; shift ;;
	--output) output_dir=${2:?}; shift 2 ;;
	--output=*) output_dir=${1#*=}; shift ;;
	--build-dir) build_dir=${2:?}; shift 2 ;;
	--build-dir=*) build_dir=${1#*=}; shift ;;
	--srt-port) srt_port=${2:?}; shift 2 ;;
	--srt-port=*) srt_port=${1#*=}; shift ;;
	--skip-setup) skip_setup=1; shift ;;
	--keep-server) keep_server=1; shift ;;
	--help | -h) usage; exit 0 ;;
	*) usage >&2; exit 2 ;;
	esac
done
[[ "$duration" =~ ^[0-9]+$ ]] && [ "$duration" -ge 1 ] || { echo "demo: --duration takes whole seconds (1 or more)" >&2; exit 2; }
[[ "$srt_port" =~ ^[0-9]+$ ]] || { echo "demo: --srt-port takes a port number" >&2; exit 2; }

say() { echo "[demo] $*"; }

if [ "$skip_setup" -eq 0 ]; then
	say "Installing what is needed"
	scripts/install-deps.sh
	# The demo needs the two programs only; scripts/test.sh builds the rest.
	say "Building the server and the worker in $build_dir"
	scripts/build.sh "$build_dir" --target tiloran_programs
fi

server_program="$build_dir/bin/tiloran_server"
[ -x "$server_program" ] || { echo "demo: $server_program not found; build first or drop --skip-setup" >&2; exit 1; }
for tool in srt-live-transmit curl ffprobe; do
	command -v "$tool" >/dev/null || { echo "demo: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd)
recording="$output_dir/recording.ts"
server_log="$output_dir/server.log"
listener_log="$output_dir/srt-listener.log"
preview_copy="$output_dir/preview.jpg"
rm -f "$recording" "$server_log" "$listener_log" "$preview_copy"

server_pid=""
listener_pid=""
cleanup() {
	if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
		kill -TERM "$server_pid" 2>/dev/null || true
		for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
		kill -KILL "$server_pid" 2>/dev/null || true
	fi
	if [ -n "$listener_pid" ] && kill -0 "$listener_pid" 2>/dev/null; then
		kill -TERM "$listener_pid" 2>/dev/null || true
		wait "$listener_pid" 2>/dev/null || true
	fi
}
trap cleanup EXIT

fail() {
	echo "demo: $*" >&2
	if [ -s "$server_log" ]; then
		echo "demo: last lines of $server_log:" >&2
		tail -n 20 "$server_log" >&2
	fi
	exit 1
}

api() {
	local method=$1 path=$2
	shift 2
	curl -sS --max-time 20 -X "$method" "$@" "http://127.0.0.1:3000$path"
}

stream_running() {
	[[ "$(api GET /api/stream/status 2>/dev/null)" == *true* ]]
}

udp_port_in_use() {
	local hex
	hex=$(printf ':%04X' "$1")
	grep -q "^ *[0-9]*: [0-9A-F]*$hex " /proc/net/udp /proc/net/udp6 2>/dev/null
}
while udp_port_in_use "$srt_port"; do
	srt_port=$((srt_port + 1))
done

# The server runs from the source tree, so that it serves the control page in WEB/.
say "Starting the server with four test-pattern inputs ($input_mode); log: $server_log"
"$server_program" "--test-inputs=4:$input_mode" >"$server_log" 2>&1 &
server_pid=$!
# The waits below are bounded at about a minute: what they wait for takes a
# moment, longer on a loaded machine, and only a hang takes a minute.
for _ in $(seq 600); do
	kill -0 "$server_pid" 2>/dev/null || fail "the server ended at start-up (is another one running on port 3000?)"
	api GET /api/health >/dev/null 2>&1 && break
	sleep 0.1
done
api GET /api/health >/dev/null 2>&1 || fail "the server does not answer on port 3000"

say "Starting an SRT listener on 127.0.0.1:$srt_port, recording to $recording"
srt-live-transmit "srt://127.0.0.1:$srt_port?mode=listener" file://con >"$recording" 2>"$listener_log" &
listener_pid=$!
for _ in $(seq 600); do
	udp_port_in_use "$srt_port" && break
	kill -0 "$listener_pid" 2>/dev/null || fail "the SRT listener ended at start-up: $(cat "$listener_log")"
	sleep 0.1
done

request=$(cat <<EOF
{
  "srtHostPort": "127.0.0.1:$srt_port",
  "srtLatency": 120,
  "videoBitrate": 4,
  "audioBitrate": 128,
  "codec": "libx264",
  "quadrants": [
    { "id": 1, "name": "Input 1", "source_id": "test-1" },
    { "id": 2, "name": "Input 2", "source_id": "test-2" },
    { "id": 3, "name": "Input 3", "source_id": "test-3" },
    { "id": 4, "name": "Input 4", "source_id": "test-4" }
  ]
}
EOF
)
say "POST /api/stream/start"
answer=$(api POST /api/stream/start -H "Content-Type: application/json" --data "$request") || fail "the start request failed"
say "  $answer"
[[ "$answer" == *'"started"'* ]] || fail "the server refused the stream"

for _ in $(seq 600); do
	[ -s "$recording" ] && break
	stream_running || fail "the worker ended before anything was received"
	sleep 0.1
done
[ -s "$recording" ] || fail "nothing arrived at the SRT listener"

interrupted=0
trap 'interrupted=1' INT
say "Streaming for $duration s (Ctrl+C stops earlier)"
say "  control page: http://localhost:3000/   preview: http://localhost:3000/api/preview"
for _ in $(seq "$duration"); do
	[ "$interrupted" -eq 1 ] && break
	stream_running || fail "the worker ended while streaming"
	sleep 1 || true
done
trap - INT

api GET /api/preview -o "$preview_copy" -f 2>/dev/null || rm -f "$preview_copy"

say "POST /api/stream/stop"
answer=$(api POST /api/stream/stop --data '') || fail "the stop request failed"
say "  $answer"
[[ "$answer" == *'"stopped"'* ]] || fail "the stream did not stop as asked"

# The listener has written everything once it reports the caller gone: at
# once when the worker closes the connection, after SRT's idle timeout when
# it ends without closing it.
for _ in $(seq 600); do
	grep -q "SRT source disconnected" "$listener_log" && break
	sleep 0.1
done
kill -TERM "$listener_pid" 2>/dev/null || true
wait "$listener_pid" 2>/dev/null || true
listener_pid=""

echo
echo "==================== Demo summary ===================="
echo "Recording:      $recording ($(stat -c %s "$recording") bytes)"
echo "Streams (ffprobe):"
ffprobe -v error -show_entries stream=index,codec_type,codec_name,profile,width,height,pix_fmt,field_order,avg_frame_rate,sample_rate,channels,channel_layout \
	-of compact=p=0 "$recording" | awk 'NF && !seen[$0]++ { print "  " $0 }'
# ffprobe lists an MPEG-TS stream twice (once more under its program): take the first answer.
first_line() { awk 'NF { print; exit }'; }
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$recording" | first_line)
recorded_seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$recording" | first_line)
echo "Video frames:   ${frames:-0} (${recorded_seconds:-0} s recorded)"
if [ -s "$preview_copy" ]; then
	echo "Preview copy:   $preview_copy"
fi
echo "Server log:     $server_log"
if [ "$keep_server" -eq 1 ]; then
	echo "Control page:   http://localhost:3000/"
	echo "Preview:        http://localhost:3000/api/preview  (the last picture of the stream)"
else
	echo "Control page:   http://localhost:3000/  (served while the demo runs; --keep-server keeps it up)"
	echo "Preview:        http://localhost:3000/api/preview  (likewise)"
fi
echo "Play it:        ffplay $recording"
echo "======================================================"

video=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$recording" | first_line)
audio=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$recording" | first_line)
[ "$video" = "h264,1280,720" ] || fail "the recording holds no 1280x720 H.264 video (got '$video')"
[ "$audio" = "aac" ] || fail "the recording holds no AAC audio (got '$audio')"
[ "${frames:-0}" -gt 0 ] || fail "the recording holds no video frames"

if [ "$keep_server" -eq 1 ]; then
	say "The server keeps running (log: $server_log); Ctrl+C ends it"
	trap 'true' INT
	wait "$server_pid" || true
fi
