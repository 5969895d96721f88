#!/usr/bin/env python3
"""The worker's CPU time per picture with one way out against several: the
encoder as SRT listener with one receiver calling in, then with three and a
recording, and as caller to one receiver for reference. Each run streams four
test inputs for a fixed time; the figure is the worker's user and system time
over that time (from /proc) divided by the pictures it encoded meanwhile. The
configurations take turns, round after round, so that a change in the
machine's load falls on all of them alike.

    bench/run-outputs-bench.py [--build-dir DIR] [--mode 960x540p25] [--seconds 30] [--rounds 3]

It needs port 3000 and srt-live-transmit: run it as
unshare -n sh -c 'ip link set lo up; bench/run-outputs-bench.py'. The table
goes to <build dir>/outputs-results.txt."""
import argparse, os, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
from control_api import answers, call, free_udp_port, wait_for  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("--build-dir", default="build")
parser.add_argument("--mode", default="960x540p25")
parser.add_argument("--seconds", type=float, default=30)
parser.add_argument("--rounds", type=int, default=3)
options = parser.parse_args()
server_program = os.path.abspath(os.path.join(options.build_dir, "bin", "tiloran_server"))
ticks = os.sysconf("SC_CLK_TCK")


def link():
    return call("/api/stream/stats").get("srt") or {}


def worker_pid(server_pid):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == server_pid:
                    return int(entry)
            except OSError:
                continue
    return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def receiver(url):
    return subprocess.Popen(["srt-live-transmit", "-q", url, "file://con"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def run(name):
    port = free_udp_port()
    receivers = []
    request = {"srtLatency": 120, "videoBitrate": 4, "audioBitrate": 128, "codec": "libx264",
               "quadrants": [{"id": slot, "name": f"Q{slot}", "source_id": f"test-{slot}"} for slot in range(1, 5)]}
    if name == "caller, 1 receiver":
        receivers.append(receiver(f"srt://127.0.0.1:{port}?mode=listener"))
        time.sleep(0.5)
        request["srtHostPort"] = f"127.0.0.1:{port}"
    else:
        request.update(srtHostPort=f"127.0.0.1:{port}", srtMode="listener", srtMaxCallers=4)
        if name.endswith("recording"):
            request["record"] = True
    started = call("/api/stream/start", request)
    assert started.get("status") == "started", started
    try:
        if request.get("srtMode") == "listener":
            wait_for(lambda: link().get("state") == "listening", "the listener")
            for _ in range(3 if name.startswith("listener, 3") else 1):
                receivers.append(receiver(f"srt://127.0.0.1:{port}?mode=caller"))
            wanted = len(receivers)
            wait_for(lambda: sum(not caller.get("waiting", True) for caller in link().get("callers", []))
                     == wanted, "every receiver to take the stream")
        else:
            wait_for(lambda: link().get("state") == "connected", "the receiver")
        time.sleep(2)
        pid = worker_pid(server.pid)
        before_cpu, before_pictures = cpu_seconds(pid), call("/api/stream/stats")["output"]["picturesEncoded"]
        time.sleep(options.seconds)
        after_cpu, stats = cpu_seconds(pid), call("/api/stream/stats")
        pictures = stats["output"]["picturesEncoded"] - before_pictures
        return {"cpuMsPerPicture": (after_cpu - before_cpu) * 1000 / pictures, "pictures": pictures,
                "dropped": stats["output"]["picturesDropped"]}
    finally:
        call("/api/stream/stop", {})
        wait_for(lambda: not call("/api/stream/stats").get("running"), "the stream to stop")
        for child in receivers:
            child.terminate()
            child.wait()


work = tempfile.mkdtemp(prefix="outputs-bench-")
log = open(os.path.join(work, "server.log"), "w+")
server = subprocess.Popen([server_program, "--portable", f"--test-inputs=4:{options.mode}"], cwd=work, stdout=log,
                          stderr=subprocess.STDOUT)
names = ["caller, 1 receiver", "listener, 1 receiver", "listener, 3 receivers and a recording"]
figures = {name: [] for name in names}
try:
    wait_for(answers, "the server")
    for round_number in range(options.rounds):
        for name in names:
            figure = run(name)
            figures[name].append(figure)
            print(f"[OutputsBench] round {round_number + 1}, {name}: {figure['cpuMsPerPicture']:.2f} ms of CPU per picture "
                  f"({figure['pictures']} pictures, {figure['dropped']} dropped)", flush=True)
finally:
    server.terminate()
    server.wait()

reference = statistics.median(figure["cpuMsPerPicture"] for figure in figures["listener, 1 receiver"])
lines = [f"worker CPU per picture, 4 x {options.mode}, 4 Mbit/s, {options.seconds:.0f} s per run, {options.rounds} rounds "
         f"(median, and each round); {os.uname().nodename}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}"]
for name in names:
    values = [figure["cpuMsPerPicture"] for figure in figures[name]]
    median = statistics.median(values)
    lines.append(f"{name:40} {median:6.2f} ms  ({(median / reference - 1) * 100:+.1f} % against listener, 1 receiver)  "
                 + " ".join(f"{value:.2f}" for value in values))
with open(os.path.join(options.build_dir, "outputs-results.txt"), "w") as results:
    results.write("\n".join(lines) + "\n")
print("\n".join(lines))
