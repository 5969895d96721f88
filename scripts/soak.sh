#!/usr/bin/env bash
# Streams four test inputs to a local SRT listener for a long time and watches
# the server and the worker for growth: every 10 s their resident memory, open
# descriptors and threads, and the stream's own figures; at the end the
# recording's video timeline is checked for holes. Not part of the test suite.
#
#   scripts/soak.sh [--minutes N] [--build-dir DIRECTORY] [--mode WxHpR] [--output DIRECTORY]
#
#   --minutes    minutes to stream, from the first picture on air (default 30)
#   --build-dir  the build to run (default build); build it first with scripts/build.sh
#   --mode       the test inputs' format (default 640x360p25)
#   --output     where samples, recording and logs go (default soak-output)
#
# The goals: after the first minute, resident memory grows by less than 1 MiB
# and descriptors and threads stay as they are, in the server and in the
# worker; no hole in the recording's video timeline; the worker ends with code
# 0. Exit code 0 when all are met, 1 otherwise. Ctrl+C ends the streaming
# early (the summary still follows, and the run counts as failed); a second
# Ctrl+C abandons it. The server holds port 3000, so the script takes
# /tmp/tiloran-port3000.lock while it runs, as every user of port 3000 on this
# machine does.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=30
build_dir=build
input_mode=640x360p25
output_dir=soak-output

usage() {
	sed -n '7,12p' "$0" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
	case "$1" in
	--minutes) minutes=${2:?}; shift 2 ;;
	--minutes=*) minutes=${1#*=}; shift ;;
	--build-dir) build_dir=${2:?}; shift 2 ;;
	--build-dir=*) build_dir=${1#*=}; shift ;;
	--mode) input_mode=${2:?}; shift 2 ;;
	--mode=*) input_mode=${1#*=}; shift ;;
	--output) output_dir=${2:?}; shift 2 ;;
	--output=*) output_dir=${1#*=}; shift ;;
	--help | -h) usage; exit 0 ;;
	*) usage >&2; exit 2 ;;
	esac
done
[[ "$minutes" =~ ^[0-9]+$ ]] && [ "$minutes" -ge 1 ] || { echo "soak: --minutes takes whole minutes (1 or more)" >&2; exit 2; }
# The server checks the mode thoroughly; this only catches what would make no sense here.
[[ "$input_mode" =~ ^[0-9]+x[0-9]+[pi][0-9]+(\.[0-9]+)?$ ]] || { echo "soak: --mode takes WIDTHxHEIGHT, p or i, and a rate (e.g. 640x360p25)" >&2; exit 2; }

say() { echo "[soak] $*"; }

server_program="$build_dir/bin/tiloran_server"
[ -x "$server_program" ] && [ -x "$build_dir/bin/zenvo_tiloran_worker" ] || {
	echo "soak: $server_program or its worker not found; build first: scripts/build.sh $build_dir" >&2
	exit 1
}
server_program=$(cd "$(dirname "$server_program")" && pwd)/tiloran_server
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3) || { echo "soak: python3 is missing" >&2; exit 1; }
for tool in srt-live-transmit curl ffprobe flock setsid; do
	command -v "$tool" >/dev/null || { echo "soak: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd)
samples="$output_dir/samples.csv"
recording="$output_dir/recording.ts"
server_log="$output_dir/server.log"
listener_log="$output_dir/srt-listener.log"
on_air_stats="$output_dir/stats-on-air.json"
final_stats="$output_dir/stats-after-stop.json"
summary="$output_dir/summary.txt"
pts_list="$output_dir/video-pts.txt"
# The server runs in portable mode from here, so its configuration file and
# preview stay inside the output directory.
server_dir="$output_dir/server"
rm -rf "$server_dir"
rm -f "$samples" "$recording" "$server_log" "$listener_log" "$on_air_stats" "$final_stats" "$summary" "$pts_list"
mkdir -p "$server_dir"

server_pid=""
worker_pid=""
listener_pid=""

# Ends whatever still runs: the server first (it stops its worker), then a
# worker left behind, then the listener.
cleanup() {
	if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
		kill -TERM "$server_pid" 2>/dev/null || true
		for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
		kill -KILL "$server_pid" 2>/dev/null || true
		wait "$server_pid" 2>/dev/null || true
	fi
	if [ -n "$worker_pid" ] && kill -0 "$worker_pid" 2>/dev/null; then
		kill -KILL "$worker_pid" 2>/dev/null || true
	fi
	if [ -n "$listener_pid" ] && kill -0 "$listener_pid" 2>/dev/null; then
		kill -INT "$listener_pid" 2>/dev/null || true
		for _ in $(seq 50); do kill -0 "$listener_pid" 2>/dev/null || break; sleep 0.1; done
		kill -KILL "$listener_pid" 2>/dev/null || true
		wait "$listener_pid" 2>/dev/null || true
	fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
	echo "soak: $*" >&2
	if [ -s "$server_log" ]; then
		echo "soak: last lines of $server_log:" >&2
		tail -n 20 "$server_log" >&2
	fi
	exit 1
}

api() {
	local method=$1 path=$2
	shift 2
	curl -sS --max-time 20 -X "$method" "$@" "http://127.0.0.1:3000$path"
}

# Monotonic time in hundredths of a second.
now_cs() {
	local uptime
	read -r uptime _ </proc/uptime
	echo $((10#${uptime/./}))
}

udp_port_in_use() {
	local hex
	hex=$(printf ':%04X' "$1")
	grep -q "^ *[0-9]*: [0-9A-F]*$hex " /proc/net/udp /proc/net/udp6 2>/dev/null
}

tcp_port_listening() {
	local hex
	hex=$(printf ':%04X' "$1")
	grep -q "^ *[0-9]*: [0-9A-F]*$hex [0-9A-F]*:[0-9A-F]* 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# "RSS_KIB DESCRIPTORS THREADS" of a process, or "- - -" once it is gone.
process_figures() {
	local pid=$1 key value rest rss="" threads="" descriptors
	if [ -r "/proc/$pid/status" ]; then
		while read -r key value rest; do
			case "$key" in
			VmRSS:) rss=$value ;;
			Threads:) threads=$value ;;
			esac
		done 2>/dev/null <"/proc/$pid/status" || true
	fi
	# Counted by the shell itself, so that no helper's descriptors are counted.
	descriptors=("/proc/$pid/fd/"*)
	[ -e "${descriptors[0]}" ] || descriptors=()
	if [ -z "$rss" ] || [ -z "$threads" ]; then
		echo "- - -"
	else
		echo "$rss ${#descriptors[@]} $threads"
	fi
}

# The figures of GET /api/stream/stats that a sample keeps:
# "STATE ENCODED DROPPED FPS P50 P99", "-" for what the answer lacks.
stream_figures() {
	api GET /api/stream/stats 2>/dev/null | "$python" -c '
import json, sys
try:
	document = json.load(sys.stdin)
except ValueError:
	print("- - - - - -")
	sys.exit(0)
output = document.get("output") or {}
latency = output.get("latencyMs") or {}
def text(value, decimals=0):
	if value is None:
		return "-"
	return f"{value:.{decimals}f}" if isinstance(value, float) else str(value)
print(text(document.get("state")), text(output.get("picturesEncoded")), text(output.get("picturesDropped")),
      text(output.get("fps"), 2), text(latency.get("p50"), 1), text(latency.get("p99"), 1))
'
}

# One member of the stats document, by a path of names ("lastExit code").
stats_member() {
	"$python" -c '
import json, sys
value = json.load(open(sys.argv[1]))
for name in sys.argv[2:]:
	value = value.get(name) if isinstance(value, dict) else None
print("-" if value is None else value)
' "$@"
}

port_lock=/tmp/tiloran-port3000.lock
exec {lock_fd}>>"$port_lock"
if ! flock -n "$lock_fd"; then
	say "Waiting for $port_lock (someone else uses port 3000)"
	flock "$lock_fd"
fi
# Programs that do not take the lock (a test run, say) may still hold the port for a while.
for _ in $(seq 180); do
	tcp_port_listening 3000 || break
	sleep 1
done
tcp_port_listening 3000 && fail "port 3000 stays taken by another program"

# Server and listener run in sessions of their own: Ctrl+C in the terminal
# reaches only this script, which then stops them in order.
say "Starting the server with four test inputs ($input_mode) in $server_dir; log: $server_log"
(cd "$server_dir" && exec setsid "$server_program" portable "--test-inputs=4:$input_mode") \
	>"$server_log" 2>&1 {lock_fd}>&- &
server_pid=$!
# The waits below are bounded at about a minute: what they wait for takes a
# moment, longer on a loaded machine, and only a hang takes a minute.
for _ in $(seq 600); do
	kill -0 "$server_pid" 2>/dev/null || fail "the server ended at start-up"
	api GET /api/health >/dev/null 2>&1 && break
	sleep 0.1
done
api GET /api/health >/dev/null 2>&1 || fail "the server does not answer on port 3000"

srt_port=9000
while udp_port_in_use "$srt_port"; do
	srt_port=$((srt_port + 1))
done
say "Starting an SRT listener on 127.0.0.1:$srt_port, recording to $recording"
setsid srt-live-transmit "srt://127.0.0.1:$srt_port?mode=listener" file://con \
	>"$recording" 2>"$listener_log" {lock_fd}>&- &
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
say "POST /api/stream/start (4 inputs, libx264 at 4 Mbit/s, AAC at 128 kbit/s)"
answer=$(api POST /api/stream/start -H "Content-Type: application/json" --data "$request") || fail "the start request failed"
[[ "$answer" == *'"started"'* ]] || fail "the server refused the stream: $answer"

for _ in $(seq 600); do
	worker_pid=$(sed -n 's/^\[WorkerSupervisor\] Worker PID: \([0-9]*\)$/\1/p' "$server_log" | tail -n 1)
	[ -n "$worker_pid" ] && break
	sleep 0.1
done
[ -n "$worker_pid" ] || fail "the server did not report its worker's PID"
parent=$(sed 's/.*) //' "/proc/$worker_pid/stat" 2>/dev/null | cut -d ' ' -f 2) || true
[ "$parent" = "$server_pid" ] || fail "process $worker_pid is not the server's worker"

# The recording's timeline runs from the first bytes the listener receives.
for _ in $(seq 1200); do
	[ -s "$recording" ] && break
	kill -0 "$worker_pid" 2>/dev/null || fail "the worker ended before anything was received"
	sleep 0.05
done
[ -s "$recording" ] || fail "nothing arrived at the SRT listener within a minute"
received_at=$(now_cs)
state=""
for _ in $(seq 600); do
	read -r state _ <<<"$(stream_figures)"
	[ "$state" = live ] && break
	[ "$state" = starting ] || fail "the stream did not go on air (state $state)"
	sleep 0.1
done
[ "$state" = live ] || fail "the stream did not go on air within a minute"
live_at=$(now_cs)
# The picture rate of the recording, as the worker reports it.
api GET /api/stream/stats >"$on_air_stats" 2>/dev/null || true
frame_rate=$(stats_member "$on_air_stats" output frameRate 2>/dev/null) || frame_rate=-
say "On air; server PID $server_pid, worker PID $worker_pid; sampling every 10 s for $minutes min (Ctrl+C ends early)"
say "Samples: $samples"

echo "elapsed_s,utc,server_rss_kib,server_fds,server_threads,worker_rss_kib,worker_fds,worker_threads,state,pictures_encoded,pictures_dropped,fps,latency_p50_ms,latency_p99_ms,load_1min" >"$samples"

interrupted=0
worker_lost=0
trap 'interrupted=1' INT
sample_count=$((minutes * 6 + 1))
for ((index = 0; index < sample_count; index++)); do
	due=$((live_at + index * 1000))
	while [ "$interrupted" -eq 0 ]; do
		remaining=$((due - $(now_cs)))
		[ "$remaining" -gt 0 ] || break
		# A sleep in the background, so that Ctrl+C is seen at once.
		sleep "$((remaining / 100)).$(printf '%02d' $((remaining % 100)))" &
		wait $! 2>/dev/null || true
	done
	[ "$interrupted" -eq 1 ] && break
	elapsed=$((index * 10))
	# /proc first: the request for the stats opens a connection in the server.
	read -r server_rss server_fds server_threads <<<"$(process_figures "$server_pid")"
	read -r worker_rss worker_fds worker_threads <<<"$(process_figures "$worker_pid")"
	read -r state encoded dropped fps p50 p99 <<<"$(stream_figures)"
	# The machine's load, to tell a dropped picture under load from one without.
	read -r load _ </proc/loadavg
	# Ctrl+C in the terminal may have cut the sample short.
	[ "$interrupted" -eq 1 ] && break
	echo "$elapsed,$(date -u +%Y-%m-%dT%H:%M:%SZ),$server_rss,$server_fds,$server_threads,$worker_rss,$worker_fds,$worker_threads,$state,$encoded,$dropped,$fps,$p50,$p99,$load" >>"$samples"
	printf '[soak] %3d:%02d  server %7s KiB %3s fd %3s thr | worker %7s KiB %3s fd %3s thr | %-7s enc %7s drop %4s %5s fps p50 %6s p99 %6s ms load %s\n' \
		$((elapsed / 60)) $((elapsed % 60)) "$server_rss" "$server_fds" "$server_threads" \
		"$worker_rss" "$worker_fds" "$worker_threads" "$state" "$encoded" "$dropped" "$fps" "$p50" "$p99" "$load"
	if [ "$worker_rss" = - ] || [ "$state" != live ]; then
		worker_lost=1
		say "The worker is no longer on air (state $state); ending the run"
		break
	fi
done
stopped_at=$(now_cs)
trap 'exit 130' INT
run_cs=$((stopped_at - live_at))
received_cs=$((stopped_at - received_at))
[ "$interrupted" -eq 1 ] && say "Interrupted after $((run_cs / 100)) s; stopping"

say "POST /api/stream/stop"
answer=$(api POST /api/stream/stop --data '') || fail "the stop request failed"
[[ "$answer" == *'"stopped"'* ]] || [ "$worker_lost" -eq 1 ] || fail "the stream did not stop as asked: $answer"
for _ in $(seq 600); do
	api GET /api/stream/stats >"$final_stats" 2>/dev/null || true
	[ "$(stats_member "$final_stats" running 2>/dev/null)" = False ] && break
	sleep 0.1
done
worker_code=$(stats_member "$final_stats" lastExit code)
worker_dropped=$(stats_member "$final_stats" lastExit picturesDropped)
worker_encoded=$(stats_member "$final_stats" lastExit picturesEncoded)

# The listener has written everything once it reports the caller gone: at once
# when the worker closes the connection, after SRT's idle timeout otherwise.
for _ in $(seq 600); do
	grep -q "SRT source disconnected" "$listener_log" && break
	sleep 0.1
done
kill -INT "$listener_pid" 2>/dev/null || true
wait "$listener_pid" 2>/dev/null || true
listener_pid=""

kill -INT "$server_pid" 2>/dev/null || true
server_code=0
wait "$server_pid" || server_code=$?
server_pid=""
worker_pid=""

# Without the worker's report, the rate follows from the mode.
if [ -z "$frame_rate" ] || [ "$frame_rate" = - ]; then
	frame_rate=$(sed -n 's/^[0-9]*x[0-9]*\([pi]\)\(.*\)$/\1 \2/p' <<<"$input_mode")
fi

say "Reading the video timeline of $recording"
ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$recording" >"$pts_list" 2>/dev/null || true

status=0
"$python" - "$samples" "$pts_list" "$frame_rate" "$run_cs" "$received_cs" "$minutes" "$interrupted" "$worker_lost" \
	"$worker_code" "$worker_dropped" "$worker_encoded" "$server_code" "$recording" <<'EOF' | tee "$summary" || status=$?
import csv, fractions, sys

(samples_path, pts_path, frame_rate, run_cs, received_cs, minutes, interrupted, worker_lost,
 worker_code, worker_dropped, worker_encoded, server_code, recording) = sys.argv[1:]
run_seconds = int(run_cs) / 100
received_seconds = int(received_cs) / 100
TIME_BASE = 90000
WRAP = 1 << 33

# The picture rate: "25/1" from the worker, or "p 25" / "i 50" from the mode.
if " " in frame_rate:
	scan, value = frame_rate.split()
	rate = fractions.Fraction(value).limit_denominator(1001)
	if scan == "i":
		rate /= 2
else:
	rate = fractions.Fraction(frame_rate)
step = TIME_BASE / rate

with open(samples_path) as samples_file:
	samples = list(csv.DictReader(samples_file))

def number(text):
	return None if text in ("", "-") else int(text)

failures = []
print()
print("==================== Soak summary ====================")
print(f"Run:        {run_seconds:.1f} s on air of {minutes} min asked, {len(samples)} samples"
      + (" (interrupted)" if interrupted == "1" else "") + (" (the worker left the air)" if worker_lost == "1" else ""))
loads = [float(row["load_1min"]) for row in samples]
if loads:
	print(f"Load:       1-minute load average {min(loads):.2f} to {max(loads):.2f}")
if interrupted == "1":
	failures.append(f"the run was interrupted after {run_seconds:.0f} s")

minute = next((index for index, row in enumerate(samples) if int(row["elapsed_s"]) >= 60), None)
print()
print(f"{'':22}{'first':>9}{'1 min':>9}{'last':>9}{'highest':>9}{'last-1min':>11}{'high-1min':>11}")
for process in ("server", "worker"):
	for figure, label in (("rss_kib", "RSS (KiB)"), ("fds", "descriptors"), ("threads", "threads")):
		values = [number(row[f"{process}_{figure}"]) for row in samples]
		known = [value for value in values if value is not None]
		if not known:
			print(f"{process} {label:15}  no samples")
			failures.append(f"no {label} figures of the {process}")
			continue
		first, last, highest = values[0], values[-1], max(known)
		at_minute = values[minute] if minute is not None else None
		cells = [first, at_minute, last, highest]
		line = f"{process + ' ' + label:22}" + "".join(f"{'-' if cell is None else cell:>9}" for cell in cells)
		if at_minute is not None:
			after = [value for value in values[minute:] if value is not None]
			grown_last = (last if last is not None else max(after)) - at_minute
			grown_highest = max(after) - at_minute
			line += f"{grown_last:>+11}{grown_highest:>+11}"
			if figure == "rss_kib":
				if grown_last >= 1024 or grown_highest >= 1024:
					failures.append(f"{process} RSS grew by {max(grown_last, grown_highest)} KiB after the first minute")
			elif any(value != at_minute for value in after):
				changed = sorted(set(after) - {at_minute})
				failures.append(f"{process} {label} changed after the first minute ({at_minute} -> {changed})")
		print(line)
if minute is None:
	failures.append("no sample at 1 minute")

# The recording's video timeline: each picture carries the capture time of its
# master picture, so a skipped picture leaves a step of two picture times.
stamps = []
with open(pts_path) as pts_file:
	previous = None
	offset = 0
	for line in pts_file:
		line = line.strip().rstrip(",")
		if not line or line == "N/A":
			continue
		value = int(line)
		# The 33-bit clock of MPEG-TS wraps after 26.5 hours.
		if previous is not None and value - previous < -WRAP // 2:
			offset += WRAP
		elif previous is not None and value - previous > WRAP // 2:
			offset -= WRAP
		previous = value
		stamps.append(value + offset)
ordered = sorted(set(stamps))
holes = 0
hole_count = 0
largest = 0
for before, after in zip(ordered, ordered[1:]):
	missing = int((after - before) / step + fractions.Fraction(1, 2)) - 1
	if missing > 0:
		holes += missing
		hole_count += 1
		largest = max(largest, missing)
print()
print(f"Recording:  {recording}")
if ordered:
	span = (ordered[-1] - ordered[0] + step) / TIME_BASE
	print(f"  video pictures {len(stamps)} ({len(stamps) - len(ordered)} repeated times), "
	      f"step {float(step):g}/90000 s ({float(rate):g} per second)")
	print(f"  timeline {float(span):.2f} s against {received_seconds:.2f} s from the first bytes received "
	      f"to the stop request (difference {float(span) - received_seconds:+.2f} s)")
	print(f"  holes: {holes} missing pictures in {hole_count} places" + (f", the largest {largest}" if largest else ""))
	if holes:
		failures.append(f"{holes} missing pictures in the video timeline")
else:
	print("  no video pictures")
	failures.append("the recording holds no video pictures")

print()
print(f"Worker:     exit code {worker_code}, pictures encoded {worker_encoded}, dropped {worker_dropped} (its own count)")
print(f"Server:     exit code {server_code}")
if worker_code != "0":
	failures.append(f"the worker ended with code {worker_code}")
print()
if failures:
	print("FAILED: " + "; ".join(failures))
else:
	print("PASSED: no growth after the first minute, no hole, the worker ended with code 0")
print("======================================================")
sys.exit(1 if failures else 0)
EOF
say "Summary: $summary"
exit "$status"
