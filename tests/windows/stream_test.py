#!/usr/bin/env python3
"""The Windows programs stream under Wine: tiloran_server.exe, copied with
zenvo_tiloran_worker.exe and its DLLs into a directory of their own, starts
the worker for four test inputs, which sends to a Linux srt-live-transmit
listener on the loopback interface for 10 s. The recording holds H.264 of
the composed size on the grid of 25 pictures per second (the worker's and the
recording's figures are printed), each input's colour in its quadrant, and
stereo AAC without gaps; the
stop is orderly (the worker exits with code 0 and the server reports the
stream stopped) and a second start streams again, to a listener that wants
a passphrase, with the worker's figures of the link in the statistics. A
listener with another passphrase refuses it, and the statistics say so.
Ctrl+C then ends the server with exit code 0.

    stream_test.py WINE64 BIN_DIR
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

TILE_WIDTH, TILE_HEIGHT = 640, 360
# The colour band at the top of test inputs 1 to 4 (as BT.709 limited-range
# Y, U, V) and its height in a 360-line picture.
INPUT_COLOURS = [(82, 90, 240), (145, 54, 34), (41, 240, 110), (210, 16, 146)]
BAND_LINES = 44
VIDEO_TICKS = 90000 // 25
AUDIO_TICKS = 1024 * 90000 // 48000
# Wine starts programs and loads DLLs far slower than Windows does.
GENEROUS_S = 90


class Failure(Exception):
    pass


def wait_until(condition, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def udp_port_bound(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


class Recorder:
    """srt-live-transmit listening on a loopback port, writing what arrives."""

    def __init__(self, directory, port, name, passphrase=None):
        self.path = os.path.join(directory, name)
        self.port = port
        options = "mode=listener" + (f"&passphrase={passphrase}" if passphrase else "")
        with open(self.path, "wb") as output:
            self.process = subprocess.Popen(
                ["srt-live-transmit", "-q", f"srt://127.0.0.1:{port}?{options}", "file://con"],
                stdout=output, stderr=subprocess.PIPE)
        if not wait_until(lambda: udp_port_bound(port) or self.process.poll() is not None, GENEROUS_S) \
                or self.process.poll() is not None:
            raise Failure("srt-live-transmit did not start listening")

    def size(self):
        return os.path.getsize(self.path)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Server:
    """tiloran_server.exe under Wine, its console output in a file."""

    def __init__(self, wine64, program_dir, run_dir, arguments=("--test-inputs=4:640x360p25",), variables=None):
        self.log_path = os.path.join(run_dir, "server.log")
        environment = {k: v for k, v in os.environ.items() if k != "TILORAN_UPDATE_URL"}
        environment.update(variables or {})
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [wine64, os.path.join(program_dir, "tiloran_server.exe"), "portable", *arguments],
                cwd=run_dir, stdout=log, stderr=subprocess.STDOUT, env=environment)

    def started(self):
        return wait_until(lambda: "  POST /api/stream/stop\n" in self.output() or self.process.poll() is not None,
                          GENEROUS_S) and self.process.poll() is None

    def output(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def request(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:3000{path}", data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=GENEROUS_S) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def running(self):
        try:
            status, body = self.request("GET", "/api/stream/status")
        except OSError:
            return None
        return json.loads(body).get("running") if status == 200 else None

    def worker_pid(self):
        pids = re.findall(r"^\[WorkerSupervisor\] Worker PID: (\d+)$", self.output(), re.M)
        return pids[-1] if pids else None


def start_request(port, source_ids=tuple(f"test-{n}" for n in range(1, 5))):
    quadrants = [{"id": n, "name": f"Camera {n}", "source_id": source} for n, source in enumerate(source_ids, 1)]
    # The Windows programs run beside the Linux suites on two cores: starved
    # of them, the two ends of the loopback lose packets now and then, which
    # a latency of a second leaves time to send again.
    return {"srtHostPort": f"127.0.0.1:{port}", "videoBitrate": 4, "audioBitrate": 128, "codec": "libx264",
            "srtLatency": 1000, "quadrants": quadrants}


def stream(server, recorder, seconds, request=None, during=None):
    """Starts a stream (of the test inputs unless request says otherwise),
    lets it run for the given time from its first bytes (calling during, when
    given, once they have come), stops it and expects an orderly end. Returns
    the seconds streamed."""
    status, body = server.request("POST", "/api/stream/start", request or start_request(recorder.port))
    if status != 200:
        raise Failure(f"stream start answered {status} {body}")
    if not wait_until(lambda: recorder.size() > 0, GENEROUS_S):
        raise Failure("nothing arrived at the SRT listener")
    started = time.monotonic()
    if during:
        during()
    time.sleep(max(0.0, started + seconds - time.monotonic()))
    streamed = time.monotonic() - started
    status, body = server.request("GET", "/api/stream/stats")
    if status == 200:
        figures = json.loads(body)
        print("worker's figures at the stop: output", json.dumps(figures.get("output")), "srt",
              json.dumps(figures.get("srt")), flush=True)
    pid = server.worker_pid()
    status, body = server.request("POST", "/api/stream/stop")
    if (status, body) != (200, '{"status":"stopped"}'):
        raise Failure(f"stream stop answered {status} {body}")
    if not wait_until(lambda: f"[WorkerSupervisor] Worker PID {pid} exited with code 0\n" in server.output(),
                      GENEROUS_S):
        raise Failure(f"worker PID {pid} did not exit with code 0")
    if not wait_until(lambda: server.running() is False, GENEROUS_S):
        raise Failure("the server still reports the stream running")
    recorder.stop()
    return streamed


def probe(path, *arguments):
    return subprocess.run(["ffprobe", "-v", "error", *arguments, path], check=True, capture_output=True,
                          text=True).stdout


def check_quadrant_colours(path, seconds_in, colours=INPUT_COLOURS):
    """Each quadrant of a picture from the recording shows its input's colour
    band (or, given as colours, what it should show): the capture's
    conversion and the composition are right in the Windows build too."""
    width, height = 2 * TILE_WIDTH, 2 * TILE_HEIGHT
    picture = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-ss", f"{seconds_in:.2f}", "-frames:v", "1",
                              "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], check=True, capture_output=True).stdout
    if len(picture) != width * height * 3 // 2:
        raise Failure(f"no picture decoded {seconds_in:.2f} s into the recording")
    planes = [(picture[:width * height], width, 1),
              (picture[width * height:width * height * 5 // 4], width // 2, 2),
              (picture[width * height * 5 // 4:], width // 2, 2)]
    for slot, expected in enumerate(colours):
        # The middle of the band, clear of its edges and of the tile's.
        left, top = (slot % 2) * TILE_WIDTH + 32, (slot // 2) * TILE_HEIGHT + 8
        found = []
        for plane, stride, step in planes:
            values = [plane[y * stride + x] for y in range(top // step, (top + BAND_LINES - 16) // step)
                      for x in range(left // step, (left + TILE_WIDTH - 64) // step)]
            found.append(sum(values) / len(values))
        # Compression moves a flat colour by a few steps at most.
        if any(abs(a - b) > 8 for a, b in zip(found, expected)):
            raise Failure(f"slot {slot} shows Y, U, V {[round(v) for v in found]} {seconds_in:.2f} s in, "
                          f"expected {expected}")


def check_recording(path, streamed_s, timing=True):
    """The recording's streams and, with timing, its pictures' and audio's
    times. Returns the first time of the recording (90 kHz) and the video's
    times."""
    streams = json.loads(probe(path, "-show_streams", "-of", "json"))["streams"]
    video = [s for s in streams if s["codec_type"] == "video"]
    audio = [s for s in streams if s["codec_type"] == "audio"]
    if len(video) != 1 or len(audio) != 1:
        raise Failure(f"streams: {[s['codec_name'] for s in streams]}")
    video, audio = video[0], audio[0]
    found = (video["codec_name"], video["width"], video["height"], video["r_frame_rate"],
             audio["codec_name"], audio["sample_rate"], audio["channels"])
    expected = ("h264", 2 * TILE_WIDTH, 2 * TILE_HEIGHT, "25/1", "aac", "48000", 2)
    if found != expected:
        raise Failure(f"streams {found}, expected {expected}")

    video_pts, audio_pts = [], []
    for line in probe(path, "-show_entries", "packet=stream_index,pts", "-of", "csv=p=0").split():
        index, pts = line.split(",")[:2]
        if pts != "N/A":
            (video_pts if int(index) == video["index"] else audio_pts).append(int(pts))
    video_pts.sort()
    audio_pts.sort()
    if len(video_pts) < 10 or len(audio_pts) < 10:
        raise Failure(f"{len(video_pts)} pictures and {len(audio_pts)} audio frames")
    if not timing:
        print(f"recording {os.path.basename(path)}: {len(video_pts)} pictures, {len(audio_pts)} AAC frames",
              flush=True)
        return min(video_pts[0], audio_pts[0]), video_pts
    steps = [b - a for a, b in zip(video_pts, video_pts[1:])]
    holes = sum(max(step // VIDEO_TICKS - 1, 0) for step in steps)
    audio_gaps = [(round((a - audio_pts[0]) / 90000, 2), b - a)
                  for a, b in zip(audio_pts, audio_pts[1:]) if b - a != AUDIO_TICKS]
    spanned_s = (video_pts[-1] + VIDEO_TICKS - video_pts[0]) / 90000
    rate = len(video_pts) / spanned_s
    print(f"recording {os.path.basename(path)}: {len(video_pts)} pictures over {spanned_s:.2f} s "
          f"({rate:.2f}/s, {holes} skipped) of {streamed_s:.2f} s streamed, {len(audio_pts)} AAC frames, "
          f"audio gaps (s in, ticks): {audio_gaps}", flush=True)
    if any(step <= 0 or step % VIDEO_TICKS for step in steps):
        raise Failure("pictures off the 25/s grid: " + str(sorted(set(steps))))
    if audio_gaps:
        raise Failure("audio gaps")
    # The pictures span the time streamed, less those still on their way at
    # the stop. A worker starved of CPU skips master pictures to stay live
    # (the worker's figures count them); a quarter of them still finds one
    # that sends only key pictures or stalls.
    if spanned_s < streamed_s - 3:
        raise Failure(f"the pictures span {spanned_s:.2f} s of {streamed_s:.2f} s streamed")
    if len(video_pts) < 0.25 * 25 * (streamed_s - 1) or len(video_pts) > 25 * (streamed_s + 2):
        raise Failure(f"{len(video_pts)} pictures for {streamed_s:.2f} s streamed")
    return min(video_pts[0], audio_pts[0]), video_pts


def stats(server):
    status, body = server.request("GET", "/api/stream/stats")
    if status != 200:
        raise Failure(f"/api/stream/stats answered {status} {body}")
    return json.loads(body)


def check_live_figures(server):
    """While the stream runs, the statistics carry the Windows worker's own
    figures: pictures encoded and the SRT link's, connected."""
    figures = {}

    def live():
        figures.update(stats(server))
        output, srt = figures.get("output") or {}, figures.get("srt") or {}
        return (figures.get("state") == "live" and (output.get("picturesEncoded") or 0) > 0 and
                srt.get("state") == "connected" and (srt.get("packetsSent") or 0) > 0 and
                srt.get("rttMs") is not None and srt.get("latencyMs") is not None)

    if not wait_until(live, GENEROUS_S):
        raise Failure("no live figures from the Windows worker: " + json.dumps(figures))


def check_refused_passphrase(server, port, passphrase):
    """A listener with another passphrase refuses the worker: the stream
    ends, and says that it was refused, never showing the passphrase."""
    request = start_request(port)
    request.update(srtPassphrase=passphrase, srtReconnect=False)
    status, body = server.request("POST", "/api/stream/start", request)
    if status != 200:
        raise Failure(f"stream start answered {status} {body}")
    figures = {}

    def failed():
        figures.update(stats(server))
        return figures.get("state") == "failed"

    if not wait_until(failed, GENEROUS_S):
        raise Failure("a refused passphrase did not end the stream: " + json.dumps(figures))
    # The listener's reason as SRT gave it, not a generic input/output error.
    message = (figures.get("lastExit") or {}).get("message", "")
    if "connection rejected: Incorrect passphrase" not in message or "passphrase=***" not in message:
        raise Failure("the refusal is not given as such: " + json.dumps(figures))
    if passphrase in json.dumps(figures) or passphrase in server.output():
        raise Failure("the passphrase was shown")
    print(f"refused passphrase: {message}", flush=True)


def copy_programs(bin_dir, program_dir):
    """The two programs and FFmpeg's DLLs, side by side as installed."""
    for name in os.listdir(bin_dir):
        if name in ("tiloran_server.exe", "zenvo_tiloran_worker.exe") or name.endswith(".dll"):
            shutil.copy(os.path.join(bin_dir, name), program_dir)


def main():
    wine64, bin_dir = sys.argv[1], sys.argv[2]
    directory = tempfile.mkdtemp()
    server = None
    recorders = []
    try:
        program_dir = os.path.join(directory, "program")
        run_dir = os.path.join(directory, "run")
        os.makedirs(program_dir)
        os.makedirs(run_dir)
        copy_programs(bin_dir, program_dir)

        port = free_udp_port()
        recorders.append(Recorder(directory, port, "first.ts"))
        server = Server(wine64, program_dir, run_dir)
        if not server.started():
            raise Failure("the server did not start")

        streamed = stream(server, recorders[0], 10)
        start, video_pts = check_recording(recorders[0].path, streamed)
        check_quadrant_colours(recorders[0].path, ((video_pts[0] + video_pts[-1]) / 2 - start) / 90000)

        # A new start after the stop reaches a new listener on the same port,
        # one that takes only the passphrase given, with the link's figures
        # live while it runs; the first run has shown the stream's timing.
        passphrase = "windows-side-passphrase"
        recorders.append(Recorder(directory, port, "second.ts", passphrase))
        request = start_request(port)
        request["srtPassphrase"] = passphrase
        streamed = stream(server, recorders[1], 4, request, during=lambda: check_live_figures(server))
        check_recording(recorders[1].path, streamed, timing=False)
        recorders[1].stop()

        refusing_port = free_udp_port()
        recorders.append(Recorder(directory, refusing_port, "refused.ts", "another-passphrase"))
        check_refused_passphrase(server, refusing_port, passphrase)

        if "[Worker] Fatal error" in server.output():
            raise Failure("the worker reported a fatal error")

        server.process.send_signal(signal.SIGINT)
        try:
            code = server.process.wait(GENEROUS_S)
        except subprocess.TimeoutExpired:
            raise Failure("the server did not stop on Ctrl+C")
        if code != 0:
            raise Failure(f"the server exited with code {code}")
        print("stream_test: streamed twice from the Windows worker under Wine, stopped in order", flush=True)
        return 0
    except Failure as failure:
        print(f"FAILED: {failure}", flush=True)
        if server:
            print("--- server output:\n" + server.output(), flush=True)
        return 1
    finally:
        for recorder in recorders:
            recorder.stop()
        if server and server.process.poll() is None:
            server.process.kill()
            server.process.wait()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
