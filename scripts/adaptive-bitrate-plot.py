#!/usr/bin/env python3
"""Draws the adaptive bitrate against a link that narrows in steps.

Runs the built server with four test inputs, streams 8 Mbit/s with adaptive
bitrate through the tests' link relay (20 ms each way, a queue of 100 ms) to
srt-live-transmit, sets the link to 8, 6, 4, 2 and 6 Mbit/s for 20 s each,
reads the statistics twice a second and plots the link's rate, the target and
the sent rate with gnuplot (Debian's gnuplot-nox).

It needs port 3000, so run it in a network namespace of its own:
    unshare -n sh -c 'ip link set lo up; scripts/adaptive-bitrate-plot.py build docs/adaptive-bitrate.png'
"""

import json
import os
import subprocess
import sys
import tempfile
import time

STEPS_KBPS = [8000, 6000, 4000, 2000, 6000]
STEP_S = 20
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))
from control_api import call, free_udp_port  # noqa: E402


def main():
    build, picture = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    work = tempfile.mkdtemp(prefix="tiloran-plot-")
    control = os.path.join(work, "link.json")

    def set_link(kbps):
        with open(control + ".new", "w") as out:
            json.dump({"rateKbps": kbps, "queueBytes": kbps * 100 // 8, "delayMs": 20}, out)
        os.replace(control + ".new", control)

    set_link(20000)
    listener, relay = free_udp_port(), free_udp_port()
    children = [
        subprocess.Popen(["srt-live-transmit", "-q", "srt://127.0.0.1:%d?mode=listener" % listener, "file://con"],
                         stdout=subprocess.DEVNULL),
        subprocess.Popen(["nice", "-n", "-10", sys.executable, os.path.join(SOURCE, "tests/tools/link_relay.py"),
                          "--listen", str(relay), "--target", str(listener), "--control", control],
                         stdout=subprocess.DEVNULL),
        subprocess.Popen([os.path.join(build, "bin/tiloran_server"), "portable", "--test-inputs=4:960x540p25"],
                         cwd=work, stdout=subprocess.DEVNULL),
    ]
    try:
        time.sleep(3)
        quadrants = [{"id": n, "name": "Camera %d" % n, "source_id": "test-%d" % n} for n in range(1, 5)]
        call("/api/stream/start", {"srtHostPort": "127.0.0.1:%d" % relay, "videoBitrate": 8, "audioBitrate": 128,
                                   "codec": "libx264", "srtLatency": 120, "adaptiveBitrate": True,
                                   "quadrants": quadrants})
        print("streaming", flush=True)
        time.sleep(8)
        rows = []
        started = time.monotonic()
        for step, kbps in enumerate(STEPS_KBPS):
            set_link(kbps)
            while time.monotonic() - started < (step + 1) * STEP_S:
                time.sleep(0.5)
                stats = call("/api/stream/stats")
                output = stats.get("output") or {}
                rows.append((time.monotonic() - started, kbps / 1000, output.get("targetBitrateKbps", 0) / 1000,
                             (output.get("measuredBitrateKbps") or 0) / 1000))
        call("/api/stream/stop", {})
    finally:
        for child in reversed(children):
            child.terminate()
            child.wait()

    data = os.path.join(work, "trace.dat")
    with open(data, "w") as out:
        for row in rows:
            out.write("%.2f %.3f %.3f %.3f\n" % row)
    subprocess.run(["gnuplot"], check=True, input=(
        "set terminal pngcairo size 900,420 font 'sans,10'\n"
        "set output '%s'\n"
        "set xlabel 'seconds'\nset ylabel 'Mbit/s'\nset yrange [0:10]\nset key top right\nset grid\n"
        "set title 'Adaptive bitrate, 8 Mbit/s requested, link 20 ms each way with a 100 ms queue'\n"
        "plot '%s' using 1:2 with steps lw 2 title 'link', "
        "'' using 1:3 with steps lw 2 title 'target (video)', "
        "'' using 1:4 with lines title 'sent (stream, last second)'\n" % (picture, data)).encode())
    print("wrote", picture, "from", data)


if __name__ == "__main__":
    main()
