#!/usr/bin/env python3
"""Four capture cards through the driver's COM interfaces under Wine: the card
simulator (FakeDeckLinkComServer.cpp) is registered in the Wine prefix as the
driver's COM server; tiloran_server.exe discovers its four cards and its
worker captures them, streaming to a Linux srt-live-transmit listener for
10 s. The second card loses its signal on the way: its quadrant shows the
slate from then on while the other three show their colours, the statistics
and events say so, and the stream goes on without holes. Each card's input
was driven as the driver requires: opened in 1080i50, it follows the mode its
signal announces with pause, enable, flush and start, and no call was refused
or landed on a slot the simulator does not offer - which is what fails when
the programs' method tables and the simulator's disagree.

    card_stream_test.py WINE64 BIN_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from stream_test import (GENEROUS_S, INPUT_COLOURS, Failure, Recorder, Server, check_quadrant_colours,
                         check_recording, copy_programs, free_udp_port, start_request, stream, wait_until)

DRIVER_CLASS = r"HKLM\Software\Classes\CLSID\{BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676}"
# The slate's plain grey at the top of a tile (worker/capture/NoSignalSlate.h).
SLATE = (64, 128, 128)
LOST_AFTER_S = 4
CARDS = ";".join(f"name=Card {n},peid=1{n},mode=640x360p25" + (f",nosignal-after={LOST_AFTER_S}" if n == 2 else "")
                 for n in range(1, 5))
# The worker opens each card in 1080i50, before its signal is known, and
# follows the mode the signal announces as the driver requires.
OPENING_CALLS = "video=1920x1080i50,{audio}callback,start,pause,video=640x360p25,flush,start"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def register(wine64, dll):
    for arguments in (["/ve", "/d", windows_path(dll)], ["/v", "ThreadingModel", "/d", "Both"]):
        subprocess.run([wine64, "reg", "add", DRIVER_CLASS + r"\InprocServer32", *arguments, "/f"], check=True,
                       capture_output=True)


def unregister(wine64):
    subprocess.run([wine64, "reg", "delete", DRIVER_CLASS, "/f"], capture_output=True)


def quadrant_signals(server):
    status, body = server.request("GET", "/api/stream/stats")
    if status != 200:
        return {}, []
    figures = json.loads(body)
    return ({entry.get("quadrant"): entry.get("signal") for entry in figures.get("inputs", [])},
            [event.get("message") for event in figures.get("events", [])])


def main():
    wine64, bin_dir = sys.argv[1], sys.argv[2]
    directory = tempfile.mkdtemp()
    server = recorder = None
    registered = False
    try:
        program_dir = os.path.join(directory, "program")
        run_dir = os.path.join(directory, "run")
        os.makedirs(program_dir)
        os.makedirs(run_dir)
        copy_programs(bin_dir, program_dir)
        register(wine64, os.path.join(bin_dir, "windows-cards", "tiloran_fake_decklink.dll"))
        registered = True
        report = os.path.join(directory, "report")

        port = free_udp_port()
        recorder = Recorder(directory, port, "cards.ts")
        server = Server(wine64, program_dir, run_dir, arguments=(),
                        variables={"TILORAN_FAKE_DECKLINK_DEVICES": CARDS,
                                   "TILORAN_FAKE_DECKLINK_REPORT": windows_path(report)})
        if not server.started():
            raise Failure("the server did not start")
        status, body = server.request("GET", "/api/config")
        devices = [(device["id"], device["name"]) for device in json.loads(body).get("devices", [])]
        if devices != [(f"decklink-1{n}", f"Card {n}") for n in range(1, 5)]:
            raise Failure(f"devices found: {devices}")

        def second_card_lost():
            if not wait_until(lambda: quadrant_signals(server)[0].get(2) == "none", GENEROUS_S):
                raise Failure(f"quadrant 2 never without signal: {quadrant_signals(server)}")
            signals, events = quadrant_signals(server)
            print("signals once lost:", signals, "events:", events, flush=True)
            if "Input lost on quadrant 2 (Camera 2)" not in events:
                raise Failure(f"no loss of quadrant 2 among the events {events}")
            if [signals.get(n) for n in (1, 3, 4)] != ["ok"] * 3:
                raise Failure(f"signals {signals}")

        request = start_request(port, [f"decklink-1{n}" for n in range(1, 5)])
        streamed = stream(server, recorder, 10, request, during=second_card_lost)

        start, video_pts = check_recording(recorder.path, streamed)
        lines = open(report).read().splitlines() if os.path.exists(report) else []
        print("simulator's report:\n" + "\n".join(lines), flush=True)
        lost = [int(match) for line in lines for match in re.findall(r"^lost pid=\d+ device=2 at=(\d+)$", line)]
        if len(lost) != 1:
            raise Failure("the second card's loss is not reported once")
        lost_s = (lost[0] - start) / 90000
        end_s = (video_pts[-1] - start) / 90000
        # Before the loss the four colours, from 2 s after it to the end the slate.
        if lost_s < 1.2 or lost_s + 2.5 > end_s:
            raise Failure(f"the loss at {lost_s:.2f} s leaves no time to look at in the {end_s:.2f} s recorded")
        check_quadrant_colours(recorder.path, max(0.2, lost_s - 1))
        slate = [INPUT_COLOURS[0], SLATE, INPUT_COLOURS[2], INPUT_COLOURS[3]]
        check_quadrant_colours(recorder.path, lost_s + 2, slate)
        check_quadrant_colours(recorder.path, end_s - 0.5, slate)

        pid = server.worker_pid()
        inputs = {int(device): fields for device, fields in
                  (re.match(rf"^input pid={pid} device=(\d) (.*)$", line).groups() for line in lines
                   if re.match(rf"^input pid={pid} device=\d ", line))}
        if sorted(inputs) != [1, 2, 3, 4]:
            raise Failure(f"the worker's inputs reported: {sorted(inputs)}")
        for device, fields in inputs.items():
            calls = re.search(r"calls=(\S+)", fields).group(1)
            # The master (the first quadrant) captures the audio.
            opening = OPENING_CALLS.format(audio="audio," if device == 1 else "")
            if not calls.startswith(opening + ",") or ",stop," not in calls + ",":
                raise Failure(f"card {device} was driven by {calls}, not {opening} and a stop")
            if " refused=0 unexpected=0" not in fields or " formats=1 " not in fields:
                raise Failure(f"card {device}: {fields}")
        if "[Worker] Fatal error" in server.output():
            raise Failure("the worker reported a fatal error")
        print("card_stream_test: four simulated cards streamed through COM under Wine, one lost on the way",
              flush=True)
        return 0
    except Failure as failure:
        print(f"FAILED: {failure}", flush=True)
        if server:
            print("--- server output:\n" + server.output(), flush=True)
        return 1
    finally:
        if recorder:
            recorder.stop()
        if server and server.process.poll() is None:
            server.process.kill()
            server.process.wait()
        if registered:
            unregister(wine64)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
