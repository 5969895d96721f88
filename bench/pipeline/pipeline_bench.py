#!/usr/bin/env python3
"""Runs the whole encoder (server and worker) and the equivalent ffmpeg command
line on the same job and compares what each delivers and what it costs.

The job: four test-pattern inputs of one mode, composed 2x2 in NV12, H.264
(libx264) and AAC in MPEG-TS over SRT to a listener on this machine, which
records what arrives, and the preview: one composed picture in 15 as a full
range JPEG file replaced in place. For each load, first our server and worker
run (started through the HTTP API, as any client would), then ffmpeg, each for
the same time. The figures come from the recordings and from /proc:

- delivered pictures per second: video pictures in the recording between the
  first byte received and the moment of measurement, divided by that time;
- CPU seconds per delivered picture: user + system time of the worker process
  (resp. ffmpeg) over the same window, all threads, divided by those pictures;
  the start-up before the first byte (probing the inputs, opening encoders)
  is left out on both sides;
- peak resident memory: VmHWM of the worker (resp. ffmpeg) at the moment of
  measurement;
- dropped pictures: holes in the video timeline of the whole recording. Each
  picture carries the capture time of its master picture, so a master picture
  that the worker skipped to stay live leaves a hole one picture long;
- live pace: seconds of source time covered per second of wall time in the
  measured window. 1.00 means the sources ran in real time; below that the
  pipeline held its sources back (it fell behind live) instead of dropping;
- CPU per picture without test inputs: less what the four test inputs cost
  alone (ffmpeg generating them into nothing), scaled by the live pace. They
  stand in for capture cards, whose pictures cost next to nothing to receive.

With --windows-build-dir, the second side is not ffmpeg but the Windows
build of the same programs under Wine (scripts/windows-check.sh builds it):
tiloran_server.exe and zenvo_tiloran_worker.exe on the same test inputs and
the same job, their CPU that of the worker's process and of the prefix's
wineserver, which does part of the worker's system calls' work.

With --inputs cards, our side captures four simulated capture cards of the
load's mode instead (the card simulator of the tests, tests/fake_decklink/,
loaded as the driver's library), through the driver path the worker takes where
FFmpeg has no "decklink" input; the simulator then runs inside the worker and
its cost (drawing the moving box of each picture) is counted with it.

Standard library only; needs srt-live-transmit, ffmpeg and ffprobe.
"""

import argparse
import collections
import datetime
import fcntl
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

PORT_LOCK = "/tmp/tiloran-port3000.lock"
PROFILE = False
# "test": the server's test inputs; "cards": four simulated capture cards.
INPUTS = "test"
# The Windows build run under Wine as the second side, when given.
WINDOWS_BUILD = None
WINE64 = None
API = "http://127.0.0.1:3000"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
TIME_BASE = 90000

# The test inputs as the worker builds them: picture colour band, tone, audio.
COLOURS = ["0xFF0000", "0x00FF00", "0x0000FF", "0xFFFF00"]
AUDIO_RATE = 48000

Load = collections.namedtuple("Load", "name mode width height interlaced rate video_mbps")

# The video bitrate grows with the picture, as an operator would choose it
# from the control page's list.
LOADS = [
	Load("720p", "640x360p25", 640, 360, False, 25, 8),
	Load("1080p", "960x540p25", 960, 540, False, 25, 16),
	Load("2160p", "1920x1080i50", 1920, 1080, True, 25, 40),
]
AUDIO_KBPS = 128
SRT_LATENCY_MS = 120


def say(text):
	print("[bench] " + text, flush=True)


# FFmpeg's 16-channel layout, in order.
SIXTEEN_CHANNELS = ["FL", "FR", "FC", "BL", "BR", "BC", "SL", "SR",
		    "TFL", "TFC", "TFR", "TBL", "TBC", "TBR", "WL", "WR"]


def band_height(height):
	return height // 8 // 4 * 4


def test_pattern_graph(load, number):
	"""The lavfi graph of test input `number`, as the worker opens it."""
	picture_rate = load.rate * 2 if load.interlaced else load.rate
	graph = (f"testsrc2=size={load.width}x{load.height}:rate={picture_rate}/1,format=yuv422p")
	if load.interlaced:
		graph += ",interlace=scan=tff:lowpass=off"
	graph += (f",drawbox=x=0:y=0:w=iw:h={band_height(load.height)}:color={COLOURS[number - 1]}"
		  ":t=fill,format=uyvy422,realtime[out0];")
	# 16 embedded channels, a tone per pair joined into both of its channels.
	samples_per_second = AUDIO_RATE  # times the rate's denominator, 1 here
	tones = ""
	channel_map = []
	for pair in range(8):
		graph += (f"sine=frequency={250 * number + 1000 * pair}:sample_rate={AUDIO_RATE}"
			  f":samples_per_frame=floor((n+1)*{samples_per_second}/{load.rate})"
			  f"-floor(n*{samples_per_second}/{load.rate})[tone{pair + 1}];")
		tones += f"[tone{pair + 1}]"
		channel_map += [f"{pair}.0-{SIXTEEN_CHANNELS[2 * pair]}", f"{pair}.0-{SIXTEEN_CHANNELS[2 * pair + 1]}"]
	graph += (f"{tones}join=inputs=8:channel_layout=hexadecagonal:map={'|'.join(channel_map)}"
		  ",aformat=sample_fmts=s16[out1]")
	return graph


def ffmpeg_command(load, srt_port, preview_path):
	"""The command line a user would write for the worker's job, the preview
	included: one composed picture in 15, full range, as a JPEG file replaced
	in place."""
	command = ["ffmpeg", "-hide_banner", "-nostdin", "-y"]
	for number in range(1, 5):
		command += ["-f", "lavfi", "-i", test_pattern_graph(load, number)]
	# Each input converted to NV12 as the capture does (bilinear), then laid out 2x2.
	graph = "".join(f"[{index}:v]scale=flags=bilinear,format=nv12[q{index}];" for index in range(4))
	graph += "[q0][q1][q2][q3]xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0"
	if load.interlaced:
		# A card's interlaced pictures arrive marked top field first.
		graph += ",setfield=tff"
	graph += ",split[v][all];"
	graph += ("[all]select=not(mod(n\\,15)),scale=flags=bilinear:in_range=tv:out_range=pc,"
		  "format=yuvj420p[preview]")
	flags = "+low_delay" + ("+ildct+ilme" if load.interlaced else "")
	command += ["-filter_complex", graph, "-map", "[v]", "-map", "0:a",
		    "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
		    "-g", str(2 * load.rate), "-bf", "0", "-b:v", f"{load.video_mbps}M",
		    "-flags", flags, "-pix_fmt", "nv12", "-enc_time_base", f"1:{TIME_BASE}"]
	if load.interlaced:
		command += ["-field_order", "tt", "-x264-params", "tff=1"]
	# The master's channels 1 and 2, as the worker sends by default.
	command += ["-af", "pan=stereo|c0=c0|c1=c1",
		    "-c:a", "aac", "-b:a", f"{AUDIO_KBPS}k", "-ar", str(AUDIO_RATE), "-ac", "2",
		    "-f", "mpegts",
		    f"srt://127.0.0.1:{srt_port}?mode=caller&latency={SRT_LATENCY_MS * 1000}"]
	# The worker's preview: MJPEG asked for the same quality (the worker's
	# global quality 236 is qscale 2), each selected picture as it comes.
	command += ["-map", "[preview]", "-c:v", "mjpeg", "-q:v", "2", "-fps_mode", "passthrough",
		    "-f", "image2", "-update", "1", "-atomic_writing", "1", preview_path]
	return command


def free_udp_port():
	with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
		probe.bind(("127.0.0.1", 0))
		return probe.getsockname()[1]


def udp_port_bound(port):
	suffix = f":{port:04X}"
	for table in ("/proc/net/udp", "/proc/net/udp6"):
		try:
			with open(table) as lines:
				next(lines)
				if any(line.split()[1].endswith(suffix) for line in lines):
					return True
		except OSError:
			pass
	return False


def tcp_port_listening(port):
	suffix = f":{port:04X}"
	for table in ("/proc/net/tcp", "/proc/net/tcp6"):
		try:
			with open(table) as lines:
				next(lines)
				if any(line.split()[1].endswith(suffix) and line.split()[3] == "0A" for line in lines):
					return True
		except OSError:
			pass
	return False


def api(method, path, body=None, timeout=20):
	data = None if body is None else json.dumps(body).encode()
	request = urllib.request.Request(API + path, data=data, method=method)
	if data is not None:
		request.add_header("Content-Type", "application/json")
	elif method == "POST":
		request.data = b""
	try:
		with urllib.request.urlopen(request, timeout=timeout) as answer:
			return answer.status, answer.read().decode(errors="replace")
	except urllib.error.HTTPError as error:
		return error.code, error.read().decode(errors="replace")


def process_figures(pid, also=()):
	"""CPU seconds (user + system, all threads, with those of the processes
	also), VmHWM in KiB and thread count (of pid alone)."""
	cpu = 0.0
	for counted in (pid, *also):
		with open(f"/proc/{counted}/stat") as stat_file:
			fields = stat_file.read().rsplit(")", 1)[1].split()
		cpu += (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
	peak = threads = 0
	with open(f"/proc/{pid}/status") as status:
		for line in status:
			if line.startswith("VmHWM:"):
				peak = int(line.split()[1])
			elif line.startswith("Threads:"):
				threads = int(line.split()[1])
	return cpu, peak, threads


def child_pids(parent):
	found = []
	for entry in os.listdir("/proc"):
		if not entry.isdigit():
			continue
		try:
			with open(f"/proc/{entry}/stat") as stat_file:
				fields = stat_file.read().rsplit(")", 1)[1].split()
		except OSError:
			continue
		if int(fields[1]) == parent:
			found.append(int(entry))
	return found


def windows_process(program):
	"""The pid of the Wine process running that Windows program, if one runs."""
	for entry in os.listdir("/proc"):
		try:
			with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
				first = cmdline.read().split(b"\0")[0]
		except OSError:
			continue
		if b"\\" in first and first.lower().endswith(program.encode()):
			return int(entry)
	return None


def wineservers(prefix):
	"""The wineserver of a Wine prefix: it works in a directory named after the
	prefix's device and inode."""
	figures = os.stat(prefix)
	name = f"server-{figures.st_dev:x}-{figures.st_ino:x}"
	found = []
	for entry in os.listdir("/proc"):
		try:
			if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == name:
				found.append(int(entry))
		except OSError:
			continue
	return found


def stop_process(process, grace=10.0, first=signal.SIGTERM):
	if process is None or process.poll() is not None:
		return
	process.send_signal(first)
	try:
		process.wait(timeout=grace)
	except subprocess.TimeoutExpired:
		process.kill()
		process.wait()


class Listener:
	"""srt-live-transmit as SRT listener, writing what arrives to a file."""

	def __init__(self, recording, log):
		self.recording = recording
		self.port = free_udp_port()
		self.output = open(recording, "wb")
		self.log = open(log, "wb")
		self.process = subprocess.Popen(
			["srt-live-transmit", f"srt://127.0.0.1:{self.port}?mode=listener", "file://con"],
			stdout=self.output, stderr=self.log)
		deadline = time.monotonic() + 5
		while not udp_port_bound(self.port):
			if self.process.poll() is not None or time.monotonic() > deadline:
				raise RuntimeError("the SRT listener did not start; see " + log)
			time.sleep(0.05)

	def size(self):
		return os.path.getsize(self.recording)

	def close(self):
		stop_process(self.process)
		self.output.close()
		self.log.close()


def wait_for_first_byte(listener, alive, timeout=60.0):
	deadline = time.monotonic() + timeout
	while listener.size() == 0:
		if not alive():
			raise RuntimeError("the encoder ended before anything arrived")
		if time.monotonic() > deadline:
			raise RuntimeError("nothing arrived at the SRT listener within %d s" % timeout)
		time.sleep(0.02)
	return time.monotonic()


def video_timestamps(path):
	"""The pts of every video picture in the recording, in file order."""
	result = subprocess.run(
		["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts",
		 "-of", "csv=p=0", path], capture_output=True, text=True, check=False)
	stamps = []
	for line in result.stdout.splitlines():
		line = line.strip().rstrip(",")
		if line and line != "N/A":
			stamps.append(int(line))
	return stamps


def prefix_copy(path, size, target):
	with open(path, "rb") as source, open(target, "wb") as copy:
		copy.write(source.read(size))


def timeline(stamps, rate):
	"""Pictures, source pictures spanned, holes (missing source pictures)."""
	step = TIME_BASE // rate
	if not stamps:
		return 0, 0, 0
	ordered = sorted(set(stamps))
	spanned = (ordered[-1] - ordered[0] + step // 2) // step + 1
	holes = 0
	for before, after in zip(ordered, ordered[1:]):
		missing = (after - before + step // 2) // step - 1
		holes += max(missing, 0)
	return len(stamps), spanned, holes


class Measurement:
	def __init__(self, side, load):
		self.side = side
		self.load = load
		self.recording = None
		self.window = 0.0
		self.cpu = 0.0
		self.peak_kib = 0
		self.threads = 0
		self.window_pictures = 0
		self.window_spanned = 0
		self.pictures = 0
		self.holes = 0
		self.own_drops = None
		self.loadavg = ""
		self.error = None

	def fps(self):
		return self.window_pictures / self.window if self.window > 0 else 0.0

	def cpu_per_picture(self):
		return self.cpu / self.window_pictures if self.window_pictures else float("nan")

	def pace(self):
		return self.window_spanned / (self.window * self.load.rate) if self.window > 0 else 0.0


def measure_window(measurement, pid, listener, alive, duration, directory, also=()):
	"""From the first byte received, `duration` seconds; samples /proc at both ends."""
	first_byte = wait_for_first_byte(listener, alive)
	cpu_start, _, _ = process_figures(pid, also)
	profiler = None
	if PROFILE:
		# Sampling by the clock: the virtual machines this runs on often lack
		# hardware counters.
		profiler = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "499", "-p", str(pid),
					     "-o", os.path.join(directory, "perf.data")],
					    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
	measurement.loadavg = " ".join(open("/proc/loadavg").read().split()[:3])
	end = first_byte + duration
	while time.monotonic() < end:
		if not alive():
			raise RuntimeError("the encoder ended while streaming")
		time.sleep(min(0.5, max(end - time.monotonic(), 0.0)))
	cpu_end, measurement.peak_kib, measurement.threads = process_figures(pid, also)
	if profiler:
		stop_process(profiler, grace=30, first=signal.SIGINT)
		write_profile(directory)
	size = listener.size()
	measurement.window = time.monotonic() - first_byte
	measurement.cpu = cpu_end - cpu_start
	prefix = os.path.join(directory, "window.ts")
	prefix_copy(listener.recording, size, prefix)
	measurement.window_pictures, measurement.window_spanned, _ = timeline(
		video_timestamps(prefix), measurement.load.rate)
	os.remove(prefix)


def write_profile(directory):
	"""Where the time went: per thread, per library, and the hottest symbols."""
	data = os.path.join(directory, "perf.data")
	with open(os.path.join(directory, "profile.txt"), "w") as profile:
		for sort in ("dso", "pid", "pid,dso", "dso,sym"):
			profile.write(f"==== perf report --sort {sort}\n")
			profile.flush()
			subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "-q",
					"--percent-limit", "0.5", "--sort", sort], stdout=profile,
				       stderr=subprocess.DEVNULL, check=False)
	say("  profile: " + os.path.join(directory, "profile.txt"))


def finish_recording(measurement):
	stamps = video_timestamps(measurement.recording)
	measurement.pictures, _, measurement.holes = timeline(stamps, measurement.load.rate)


class PortLock:
	"""The lock that every user of port 3000 on this machine holds."""

	def __enter__(self):
		self.file = open(PORT_LOCK, "a")
		try:
			fcntl.flock(self.file, fcntl.LOCK_EX | fcntl.LOCK_NB)
		except BlockingIOError:
			say("waiting for " + PORT_LOCK + " (someone else uses port 3000)")
			fcntl.flock(self.file, fcntl.LOCK_EX)
		return self

	def __exit__(self, *exception):
		fcntl.flock(self.file, fcntl.LOCK_UN)
		self.file.close()


def wine_environment():
	"""Wine in the Windows build's prefix, as scripts/windows-check.sh sets it up."""
	environment = dict(os.environ, WINEPREFIX=os.path.join(WINDOWS_BUILD, "wine-prefix"), WINEDEBUG="-all",
			   WINEARCH="win64", WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
	environment.pop("DISPLAY", None)
	return environment


def run_ours(load, build_dir, directory, duration, windows=False):
	measurement = Measurement("windows" if windows else "ours", load)
	server_program = os.path.join(build_dir, "bin", "tiloran_server")
	measurement.recording = os.path.join(directory, "recording.ts")
	server = listener = None
	with PortLock():
		try:
			# Test runs that do not take the lock may still hold the port for a while.
			deadline = time.monotonic() + 180
			while tcp_port_listening(3000):
				if time.monotonic() > deadline:
					raise RuntimeError("port 3000 stays taken by another program")
				time.sleep(1.0)
			server_log = open(os.path.join(directory, "server.log"), "wb")
			arguments = [server_program, "--portable"]
			environment = dict(os.environ)
			if windows:
				arguments = [WINE64, os.path.join(WINDOWS_BUILD, "bin", "tiloran_server.exe"), "--portable",
					     f"--test-inputs=4:{load.mode}"]
				environment = wine_environment()
			elif INPUTS == "cards":
				environment["TILORAN_DECKLINK_LIBRARY"] = os.path.join(build_dir, "lib", "libtiloran_fake_decklink.so")
				environment["TILORAN_FAKE_DECKLINK_DEVICES"] = ";".join(
					f"name=Card {number},peid={number},mode={load.mode}" for number in range(1, 5))
				environment.pop("TILORAN_CAPTURE", None)
			else:
				arguments.append(f"--test-inputs=4:{load.mode}")
			server = subprocess.Popen(arguments, cwd=directory, stdout=server_log, stderr=subprocess.STDOUT,
						  env=environment)
			deadline = time.monotonic() + (90 if windows else 15)
			while True:
				if server.poll() is not None:
					raise RuntimeError("the server ended at start-up (port 3000 taken?); see server.log")
				try:
					if api("GET", "/api/health", timeout=2)[0] == 200:
						break
				except OSError:
					pass
				if time.monotonic() > deadline:
					raise RuntimeError("the server does not answer on port 3000")
				time.sleep(0.1)

			listener = Listener(measurement.recording, os.path.join(directory, "srt-listener.log"))
			request = {
				"srtHostPort": f"127.0.0.1:{listener.port}",
				"srtLatency": SRT_LATENCY_MS,
				"videoBitrate": load.video_mbps,
				"audioBitrate": AUDIO_KBPS,
				"codec": "libx264",
				"quadrants": [{"id": number, "name": f"Input {number}",
					       "source_id": f"decklink-{number}" if INPUTS == "cards" else f"test-{number}"}
					      for number in range(1, 5)],
			}
			status, answer = api("POST", "/api/stream/start", request)
			if status != 200:
				raise RuntimeError(f"the start request was refused ({status}): {answer}")
			workers = []
			also = []
			deadline = time.monotonic() + (60 if windows else 10)
			while not workers and time.monotonic() < deadline:
				if windows:
					worker = windows_process("zenvo_tiloran_worker.exe")
					workers = [worker] if worker else []
				else:
					workers = child_pids(server.pid)
				time.sleep(0.02)
			if len(workers) != 1:
				raise RuntimeError("cannot find the worker process of the server")
			worker = workers[0]
			if windows:
				also = wineservers(wine_environment()["WINEPREFIX"])
			measure_window(measurement, worker, listener,
				       lambda: os.path.exists(f"/proc/{worker}") and server.poll() is None,
				       duration, directory, also)
			# The worker's own capture-to-output latency (the statistics'
			# "latencyMs" over the last 10 s and the mean over the run), for the log.
			status, answer = api("GET", "/api/stream/stats")
			latency = json.loads(answer).get("output", {}).get("latencyMs") if status == 200 else None
			if latency and latency.get("count"):
				say(f"ours latencyMs p50 {latency['p50']:.1f} p99 {latency['p99']:.1f} "
				    f"mean {latency['sum'] / latency['count']:.1f} over {latency['count']} pictures")
			api("POST", "/api/stream/stop")
			time.sleep(1.0)
		finally:
			if listener:
				listener.close()
			stop_process(server)
	finish_recording(measurement)
	return measurement


def run_ffmpeg(load, directory, duration):
	measurement = Measurement("ffmpeg", load)
	measurement.recording = os.path.join(directory, "recording.ts")
	listener = process = None
	log_path = os.path.join(directory, "ffmpeg.log")
	try:
		listener = Listener(measurement.recording, os.path.join(directory, "srt-listener.log"))
		command = ffmpeg_command(load, listener.port, os.path.join(directory, "preview.jpg"))
		with open(os.path.join(directory, "command.txt"), "w") as command_file:
			command_file.write(" ".join(shlex.quote(part) for part in command) + "\n")
		with open(log_path, "wb") as log:
			process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
			measure_window(measurement, process.pid, listener, lambda: process.poll() is None,
				       duration, directory)
			# SIGINT ends ffmpeg as 'q' does: the encoders are flushed, the trailer written.
			stop_process(process, grace=20, first=signal.SIGINT)
		time.sleep(1.0)
	finally:
		stop_process(process)
		if listener:
			listener.close()
	with open(log_path, errors="replace") as log:
		last = [line for line in log.read().replace("\r", "\n").splitlines() if "drop=" in line]
	if last:
		measurement.own_drops = int(last[-1].split("drop=")[1].split()[0])
	finish_recording(measurement)
	return measurement


def run_test_inputs(load, directory, duration):
	"""What the four test inputs cost alone, in CPU seconds per second.

	They stand in for capture cards, whose pictures arrive by DMA at almost no
	cost; the figures "without test inputs" take this much out of both sides,
	scaled by each side's live pace (a side that held its sources back also
	generated fewer pictures)."""
	command = ["ffmpeg", "-hide_banner", "-nostdin", "-y"]
	for number in range(1, 5):
		command += ["-f", "lavfi", "-i", test_pattern_graph(load, number)]
	for index in range(4):
		command += ["-map", f"{index}:v"]
	command += ["-map", "0:a", "-c", "copy", "-f", "null", "-"]
	with open(os.path.join(directory, "test-inputs.log"), "wb") as log:
		process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
		try:
			# Past the probing of the inputs.
			time.sleep(3.0)
			if process.poll() is not None:
				raise RuntimeError("ffmpeg with the test inputs alone ended early")
			cpu_start, _, _ = process_figures(process.pid)
			started = time.monotonic()
			time.sleep(duration)
			cpu_end, _, _ = process_figures(process.pid)
			return (cpu_end - cpu_start) / (time.monotonic() - started)
		finally:
			stop_process(process, grace=10, first=signal.SIGINT)


def ratio(ours, theirs):
	if not theirs or theirs != theirs or ours != ours:
		return "-"
	return f"{ours / theirs:.2f}"


def table(results, duration, started):
	other = "windows" if WINDOWS_BUILD else "ffmpeg"
	lines = []
	lines.append(f"Pipeline benchmark, {started:%Y-%m-%d %H:%M} UTC, {duration:g} s per side and load")
	lines.append("ours = tiloran_server + zenvo_tiloran_worker" +
		     (" on four simulated capture cards (driver path)" if INPUTS == "cards" else "") +
		     ("; windows = the same programs built for Windows, under Wine (CPU: worker + wineserver)"
		      if WINDOWS_BUILD else "; ffmpeg = the equivalent command line"))
	lines.append("")
	header = f"{'load':<26} {'figure':<26} {'ours':>9} {other:>9} {'ours/' + other:>12}"
	lines.append(header)
	lines.append("-" * len(header))
	for load, ours, theirs, sources, rounds in results:
		title = f"{load.mode} x4 -> {2 * load.width}x{2 * load.height}"
		rows = []

		def figure(name, our_value, their_value, text, with_ratio=True):
			def shown(side, side_value):
				if side is None:
					return "-"
				return text(side_value) if not side.error else "failed"

			our_text = shown(ours, our_value)
			their_text = shown(theirs, their_value)
			both = ours and theirs and not ours.error and not theirs.error
			rows.append((name, our_text, their_text,
				     ratio(our_value, their_value) if both and with_ratio else "-"))

		def value(side, getter):
			return getter(side) if side and not side.error else float("nan")

		figure("delivered pictures/s", value(ours, Measurement.fps), value(theirs, Measurement.fps),
		       lambda v: f"{v:.2f}")
		figure("CPU ms per picture", value(ours, lambda m: m.cpu_per_picture() * 1000),
		       value(theirs, lambda m: m.cpu_per_picture() * 1000), lambda v: f"{v:.1f}")
		if sources is not None:
			def without_inputs(m):
				return (m.cpu - sources * m.window * m.pace()) / m.window_pictures * 1000

			figure("  without test inputs", value(ours, without_inputs), value(theirs, without_inputs),
			       lambda v: f"{v:.1f}")
		figure("CPU use (cores)", value(ours, lambda m: m.cpu / m.window),
		       value(theirs, lambda m: m.cpu / m.window), lambda v: f"{v:.2f}")
		figure("peak RSS MiB", value(ours, lambda m: m.peak_kib / 1024),
		       value(theirs, lambda m: m.peak_kib / 1024), lambda v: f"{v:.0f}")
		figure("dropped pictures", value(ours, lambda m: m.holes), value(theirs, lambda m: m.holes),
		       lambda v: f"{v:.0f}", with_ratio=False)
		figure("live pace", value(ours, Measurement.pace), value(theirs, Measurement.pace),
		       lambda v: f"{v:.2f}", with_ratio=False)
		figure("pictures recorded", value(ours, lambda m: m.pictures),
		       value(theirs, lambda m: m.pictures), lambda v: f"{v:.0f}", with_ratio=False)
		figure("threads", value(ours, lambda m: m.threads), value(theirs, lambda m: m.threads),
		       lambda v: f"{v:.0f}", with_ratio=False)
		for index, (name, our_text, their_text, ratio_text) in enumerate(rows):
			lines.append(f"{title if index == 0 else '':<26} {name:<26} {our_text:>9} {their_text:>9} "
				     f"{ratio_text:>12}")
		loads = []
		for side in (ours, theirs):
			if side and side.error:
				loads.append(f"{side.side} failed: {side.error}")
			elif side:
				loads.append(f"{side.side} load average {side.loadavg}")
		if sources is not None:
			loads.append(f"test inputs alone {sources:.2f} cores")
		lines.append(f"{'':<26} ({'; '.join(loads)}; video {load.video_mbps} Mbit/s)")
		if max(len(runs) for runs in rounds.values()) > 1:
			for side, runs in rounds.items():
				figures = " ".join(f"{m.cpu_per_picture() * 1000:.1f}/{m.peak_kib / 1024:.0f}"
						   if not m.error else "failed" for m in runs)
				if figures:
					lines.append(f"{'':<26} ({side} rounds, CPU ms per picture/peak MiB: {figures})")
		lines.append("")
	lines.append("delivered pictures/s and CPU: from the first byte received, over the measured window;")
	lines.append("CPU: user + system of the worker process (resp. ffmpeg), all threads; peak RSS: VmHWM;")
	lines.append("dropped: holes in the recorded video timeline (master pictures skipped to stay live);")
	lines.append("live pace: source seconds covered per wall second (below 1: fell behind live).")
	lines.append("without test inputs: less what the four test inputs cost alone (they stand in for")
	lines.append("capture cards), scaled by the side's live pace.")
	lines.append("rounds: each side ran once per round, the sides taking turns to go first; the")
	lines.append("figures are those of the round with the median CPU per picture.")
	return "\n".join(lines) + "\n"


def run_side(side, load, build_dir, directory, duration):
	shutil.rmtree(directory, ignore_errors=True)
	os.makedirs(directory)
	say(f"{load.mode} x4, {side}: {duration:g} s (files in {directory})")
	try:
		if side == "ours":
			measurement = run_ours(load, build_dir, directory, duration)
		elif side == "windows":
			measurement = run_ours(load, build_dir, directory, duration, windows=True)
		else:
			measurement = run_ffmpeg(load, directory, duration)
	except (RuntimeError, OSError) as error:
		say(f"  failed: {error}")
		measurement = Measurement(side, load)
		measurement.error = str(error)
		return measurement
	m = measurement
	say(f"  {m.fps():.2f} pictures/s, {m.cpu_per_picture() * 1000:.1f} ms CPU per picture, "
	    f"{m.peak_kib / 1024:.0f} MiB peak, {m.holes} dropped, pace {m.pace():.2f}"
	    + (f", ffmpeg's own drop count {m.own_drops}" if m.own_drops is not None else ""))
	return measurement


def median_round(measurements):
	"""The run with the median CPU per picture; a failed run when all failed; None when not run."""
	if not measurements:
		return None
	good = sorted((m for m in measurements if not m.error), key=Measurement.cpu_per_picture)
	return good[(len(good) - 1) // 2] if good else measurements[0]


def main():
	parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
	parser.add_argument("--build-dir", required=True, help="build directory holding bin/tiloran_server")
	parser.add_argument("--duration", type=float, default=30.0, help="seconds per side and load (default 30)")
	parser.add_argument("--loads", default=",".join(load.name for load in LOADS),
			    help="comma-separated subset of " + ",".join(load.name for load in LOADS))
	parser.add_argument("--sides", default="ours,ffmpeg", help="ours, ffmpeg or both (default)")
	parser.add_argument("--results", help="table file (default <build-dir>/bench-results.txt)")
	parser.add_argument("--no-input-cost", dest="input_cost", action="store_false",
			    help="skip measuring what the test inputs cost alone")
	parser.add_argument("--rounds", type=int, default=1,
			    help="runs of each side per load, taking turns to go first (default 1)")
	parser.add_argument("--profile", action="store_true",
			    help="record a perf profile of each measured window (the figures then include perf's cost)")
	parser.add_argument("--windows-build-dir",
			    help="the second side: this Windows build (scripts/windows-check.sh) under Wine, not ffmpeg")
	parser.add_argument("--inputs", choices=("test", "cards"), default="test",
			    help="our side's inputs: the test inputs (default) or four simulated capture cards")
	arguments = parser.parse_args()
	global PROFILE, INPUTS, WINDOWS_BUILD, WINE64
	PROFILE = arguments.profile
	INPUTS = arguments.inputs
	other = "ffmpeg"
	if arguments.windows_build_dir:
		WINDOWS_BUILD = os.path.abspath(arguments.windows_build_dir)
		WINE64 = shutil.which("wine64") or "/usr/lib/wine/wine64"
		other = "windows"
		if INPUTS == "cards":
			sys.exit("bench: the Windows side runs on the test inputs only")
		if not os.path.isfile(os.path.join(WINDOWS_BUILD, "bin", "zenvo_tiloran_worker.exe")) or \
				not os.path.isdir(os.path.join(WINDOWS_BUILD, "wine-prefix")):
			sys.exit(f"bench: no Windows build with its Wine prefix in {WINDOWS_BUILD}; "
				 "run scripts/windows-check.sh first")
	if INPUTS == "cards" and not os.path.exists(
			os.path.join(os.path.abspath(arguments.build_dir), "lib", "libtiloran_fake_decklink.so")):
		sys.exit("bench: --inputs cards needs the card simulator of the tests; build the tests first")
	if PROFILE and not shutil.which("perf"):
		sys.exit("bench: --profile needs perf (Debian package linux-perf)")

	build_dir = os.path.abspath(arguments.build_dir)
	if not os.access(os.path.join(build_dir, "bin", "tiloran_server"), os.X_OK):
		sys.exit(f"bench: {build_dir}/bin/tiloran_server not found; build it first")
	for tool in ("srt-live-transmit", "ffmpeg", "ffprobe"):
		if not shutil.which(tool):
			sys.exit(f"bench: {tool} is missing (scripts/install-deps.sh installs it)")
	chosen = arguments.loads.split(",")
	unknown = [name for name in chosen if name not in {load.name for load in LOADS}]
	if unknown:
		sys.exit("bench: unknown load " + ", ".join(unknown))
	sides = [other if side == "ffmpeg" else side for side in arguments.sides.split(",")]
	results_path = arguments.results or os.path.join(build_dir, "bench-results.txt")
	work = os.path.join(build_dir, "bench-pipeline")
	started = datetime.datetime.now(datetime.timezone.utc)

	results = []
	for load in [load for load in LOADS if load.name in chosen]:
		rounds = {"ours": [], other: []}
		for round_number in range(arguments.rounds):
			# Taking turns evens out a machine that gets busier or quieter.
			order = ("ours", other) if round_number % 2 == 0 else (other, "ours")
			for side in order:
				if side not in sides:
					continue
				directory = os.path.join(work, load.name, side)
				if arguments.rounds > 1:
					directory = os.path.join(directory, f"round-{round_number + 1}")
				rounds[side].append(run_side(side, load, build_dir, directory, arguments.duration))
		pair = {side: median_round(rounds[side]) for side in ("ours", other)}
		sources = None
		if arguments.input_cost:
			directory = os.path.join(work, load.name, "test-inputs")
			shutil.rmtree(directory, ignore_errors=True)
			os.makedirs(directory)
			say(f"{load.mode} x4, the test inputs alone: {min(arguments.duration, 10.0):g} s")
			try:
				sources = run_test_inputs(load, directory, min(arguments.duration, 10.0))
				say(f"  {sources:.2f} cores")
			except (RuntimeError, OSError) as error:
				say(f"  failed: {error}")
		results.append((load, pair["ours"], pair[other], sources, rounds))

	text = table(results, arguments.duration, started)
	machine = subprocess.run(["bash", "-c", "echo \"nproc: $(nproc)\"; lscpu | head -n 15"],
				 capture_output=True, text=True).stdout
	with open(results_path, "w") as results_file:
		results_file.write(text + "\nMachine:\n" + machine)
	print()
	print(text, end="")
	say("table written to " + results_path)
	return 0 if all(side is None or not side.error for _, *pair, _, _ in results for side in pair) else 1


if __name__ == "__main__":
	sys.exit(main())
