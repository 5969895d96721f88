#!/usr/bin/env bash
# Glass-to-glass delay of four test inputs through a real SRT link, read back
# by tools/glass_reader.py (the test glass_to_glass, run per mode and SRT
# latency), with the table in <build dir>/glass-results.txt.
#
#   bench/run-glass-bench.sh [--build-dir DIR] [--seconds S] [--modes M,M] [--latencies MS,MS] [--mbps N]
#
# Defaults: build, 20 s, 640x360p25,960x540p25, 20,120,500 ms, 2 Mbit/s.
# It holds /tmp/tiloran-port3000.lock while a server runs, as every user of
# port 3000 on this machine does.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build seconds=20 modes=640x360p25,960x540p25 latencies=20,120,500 mbps=2
while [ $# -gt 0 ]; do
	case "$1" in
	--build-dir) build_dir=${2:?}; shift 2 ;;
	--seconds) seconds=${2:?}; shift 2 ;;
	--modes) modes=${2:?}; shift 2 ;;
	--latencies) latencies=${2:?}; shift 2 ;;
	--mbps) mbps=${2:?}; shift 2 ;;
	*) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
	esac
done

results="$build_dir/glass-results.txt"
logs="$build_dir/bench-glass"
mkdir -p "$logs"
: >"$logs/runs.jsonl"
for mode in ${modes//,/ }; do
	for latency in ${latencies//,/ }; do
		log="$logs/$mode-$latency.log"
		echo "[GlassBench] $mode, SRT latency $latency ms, $seconds s"
		flock -o /tmp/tiloran-port3000.lock python3 tests/e2e/glass_to_glass_test.py "$build_dir/bin/tiloran_server" \
			tools/glass_reader.py "$mode" "$latency" "$mbps" "$seconds" >"$log" 2>&1 || echo "[GlassBench] run failed: $log"
		python3 - "$mode" "$latency" "$log" >>"$logs/runs.jsonl" <<'PY'
import json, sys
mode, latency, log = sys.argv[1:4]
run = {"mode": mode, "latency": int(latency)}
for line in open(log):
    if line.startswith("summary "):
        run["summary"] = json.loads(line[len("summary "):])
    elif line.startswith("worker encodingMs "):
        run["encoding"] = json.loads(line[len("worker encodingMs "):])
    elif line.startswith("srt "):
        run["srt"] = json.loads(line[len("srt "):])
    elif line.startswith("worker latencyMs "):
        run["worker"] = json.loads(line[len("worker latencyMs "):].split(" pictures dropped")[0])
        run["dropped"] = int(line.rsplit(" ", 1)[1])
print(json.dumps(run))
PY
	done
done

python3 - "$logs/runs.jsonl" "$(uptime)" >"$results" <<'PY'
import json, sys
print("glass-to-glass delay, ms (p50 / p99 / max over the pictures of each quadrant; worker out and encoder on:")
print("p50 / p99 of the worker's statistics, for the master; decode: last packet to decoded picture, p50 / p99;")
print("A/V: the burst's start less the flash picture's, by presentation time, p50 / largest)")
print(sys.argv[2].strip())
print(f"{'mode':12} {'SRT':>4} {'q':>2}  {'worker out':>10}  {'encoder on':>10}  {'last packet':>16}  {'decode':>9}  {'decoded':>16}  "
      f"{'A/V':>11}  dropped")
for line in open(sys.argv[1]):
    run = json.loads(line)
    if "summary" not in run:
        print(f"{run['mode']:12} {run['latency']:>4}  run failed")
        continue
    worker, encoding, audio = run.get("worker", {}), run.get("encoding", {}), run["summary"].get("audio", {})
    negotiated = run.get("srt", {}).get("latencyMs", "?")
    for quadrant, figures in sorted(run["summary"]["quadrants"].items()):
        triple = lambda v: "-" if v["p50"] is None else f"{v['p50']:.0f} / {v['p99']:.0f} / {v['max']:.0f}"
        pair = lambda v: "-" if v["p50"] is None else f"{v['p50']:.0f} / {v['p99']:.0f}"
        first = quadrant == "1"
        out = f"{worker.get('p50', 0):.0f} / {worker.get('p99', 0):.0f}" if first else ""
        encoder = f"{encoding['p50']:.0f} / {encoding['p99']:.0f}" if first and encoding else ""
        av = ("-" if audio.get("p50") is None else f"{audio['p50']:.1f} / {audio['maxAbs']:.1f}") if first else ""
        print(f"{run['mode']:12} {negotiated if first else '':>4} {quadrant:>2}  {out:>10}  {encoder:>10}  "
              f"{triple(figures['arrivalMs']):>16}  {pair(figures['decodeMs']) if first else '':>9}  {triple(figures['delayMs']):>16}  "
              f"{av:>11}  {run.get('dropped', '') if first else ''}")
PY
cat "$results"
