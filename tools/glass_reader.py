#!/usr/bin/env python3
"""Glass-to-glass delay of the test inputs' pictures.

Listens for the worker's SRT stream with srt-live-transmit, notes when each
video picture's last transport packet arrives, decodes the stream with ffmpeg
as it arrives, reads the code strip of each of the four quadrants (the layout
is in worker/capture/SourceInput.h) and pairs every picture with its capture
time from the file the worker writes (TILORAN_CAPTURE_TIMES). All times are on
the machine's monotonic clock, shared by both ends.

    glass_reader.py --port 9000 --latency 120 --size 1280x720 \\
        --capture-times FILE [--pictures OUT.tsv] [--summary OUT.json] [--record OUT.ts]

It ends when the caller disconnects. --pictures gets one line per picture and
quadrant: picture quadrant input counter capture_ns arrival_ns decoded_ns
arrival_ms delay_ms (arrival: the picture's last packet, from its capture;
delay: decoded, from its capture); --summary the figures per quadrant (with
decodeMs: from the last packet to the decoded picture) and of the audio.

After the run it decodes the recorded stream once more for audio against
picture: the presentation times of the master's (quadrant 1's) flash pictures
and of the starts of the bursts in the audio (SourceInput.h), and reports per
flash the burst's start less the flash picture's time (positive: the sound
comes late).

The worker's video PES carry their length (up to 64 KiB), so ffmpeg's demuxer
hands a picture on with its last packet; the reader decodes without ffmpeg's
parser, which would wait for the next picture's first packet to know that one
has ended. A picture larger than a PES length can say still waits for the next
one's start.
"""
import argparse, json, os, subprocess, sys, tempfile, threading, time

CELL, PER_ROW, ROWS = 32, 20, 2
FLASH_WIDTH, FLASH_HEIGHT = 128, 32
MARKER = (1, 1, 0, 1)
THRESHOLD = (16 + 235) // 2
# The tone is at -21 dBFS RMS, the burst at -9; the start of a burst is the first millisecond above this.
BURST_RMS_DB = -15


def say(text):
    print("[GlassReader] " + text, flush=True)


def strip_top(tile_height):
    return (tile_height - ROWS * CELL) // 16 * 16


def read_code(frame, width, left, top):
    """The (input, counter) of the strip at left, top of a gray picture, or None."""
    # The middle half of each cell, on three of its lines: the edges blur first.
    bits = []
    for index in range(PER_ROW * ROWS):
        x = left + index % PER_ROW * CELL + CELL // 4
        y = top + index // PER_ROW * CELL + CELL // 4
        total = 0
        for row in (y + 2, y + CELL // 4, y + CELL // 2 - 2):
            start = row * width + x
            total += sum(frame[start:start + CELL // 2])
        bits.append(1 if total > THRESHOLD * (CELL // 2) * 3 else 0)
    if tuple(bits[0:4]) != MARKER:
        return None
    number = lambda cells: int("".join(map(str, cells)), 2)
    counter, check, source = number(bits[4:28]), number(bits[28:36]), number(bits[36:40])
    expected = 255 - (source + (counter & 255) + (counter >> 8 & 255) + (counter >> 16)) % 256
    return (source, counter) if check == expected and source >= 1 else None


class TransportClock:
    """Arrival time of each video picture's last transport packet, in order."""

    def __init__(self):
        self.pending, self.pmt_pids, self.video_pid = b"", set(), None
        self.last_arrival, self.arrivals = None, []

    def feed(self, data, now):
        data = self.pending + data
        usable = len(data) // 188 * 188
        for offset in range(0, usable, 188):
            self.packet(data[offset:offset + 188], now)
        self.pending = data[usable:]

    def packet(self, packet, now):
        if packet[0] != 0x47:
            return
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        start = packet[1] & 0x40
        payload = 4
        if packet[3] & 0x20:
            payload += 1 + packet[4]
        if not packet[3] & 0x10 or payload >= 188:
            return
        body = packet[payload:]
        if pid == 0 and start:
            section = body[1 + body[0]:]
            length = (section[1] & 0x0F) << 8 | section[2]
            for entry in range(8, 3 + length - 4, 4):
                if section[entry] << 8 | section[entry + 1]:
                    self.pmt_pids.add((section[entry + 2] & 0x1F) << 8 | section[entry + 3])
        elif pid in self.pmt_pids and start and self.video_pid is None:
            section = body[1 + body[0]:]
            length = (section[1] & 0x0F) << 8 | section[2]
            entry = 12 + ((section[10] & 0x0F) << 8 | section[11])
            while entry < 3 + length - 4:
                if section[entry] in (0x1B, 0x24):
                    self.video_pid = (section[entry + 1] & 0x1F) << 8 | section[entry + 2]
                    break
                entry += 5 + ((section[entry + 3] & 0x0F) << 8 | section[entry + 4])
        elif pid == self.video_pid:
            if start and self.last_arrival is not None:
                self.arrivals.append(self.last_arrival)
            self.last_arrival = now

    def finish(self):
        if self.last_arrival is not None:
            self.arrivals.append(self.last_arrival)
            self.last_arrival = None


def audio_against_picture(recording, tile_height):
    """Per flash of the master (time ascending): (flash pts, burst start pts or None), in seconds."""
    flash_top = strip_top(tile_height) - FLASH_HEIGHT
    work = tempfile.mkdtemp(prefix="glass-av-")
    video, audio = os.path.join(work, "video.txt"), os.path.join(work, "audio.txt")
    # Mean luma of the flash cell per picture; RMS level of the left channel per millisecond.
    graph = (f"[0:v:0]crop={FLASH_WIDTH}:{FLASH_HEIGHT}:0:{flash_top},signalstats,"
             f"metadata=print:key=lavfi.signalstats.YAVG:file={video};"
             f"[0:a:0]pan=mono|c0=c0,asetnsamples=n=48,astats=metadata=1:reset=1,"
             f"ametadata=print:key=lavfi.astats.Overall.RMS_level:file={audio}")
    decoded = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1", "-i", recording,
                              "-filter_complex", graph, "-f", "null", "-"])
    if decoded.returncode != 0:
        say("the recorded stream did not decode: no audio against picture")

    def values(path):
        pts = None
        if not os.path.exists(path):
            return
        for line in open(path):
            if line.startswith("frame:"):
                pts = float(line.split("pts_time:")[1])
            elif "=" in line and pts is not None:
                yield pts, float(line.split("=", 1)[1])

    flashes = [pts for pts, luma in values(video) if luma > THRESHOLD]
    starts, loud = [], False
    for pts, level in values(audio):
        if level > BURST_RMS_DB and not loud:
            starts.append(pts)
        loud = level > BURST_RMS_DB
    for path in (video, audio):
        if os.path.exists(path):
            os.unlink(path)
    os.rmdir(work)
    # The bursts are 4 s apart: the one belonging to a flash is the nearest within 2 s.
    pairs = []
    for flash in flashes:
        near = min(starts, key=lambda start: abs(start - flash), default=None)
        pairs.append((flash, near if near is not None and abs(near - flash) < 2 else None))
    return pairs, len(starts)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--latency", type=int, default=120)
    parser.add_argument("--size", required=True, help="WIDTHxHEIGHT of the composed picture")
    parser.add_argument("--capture-times", required=True)
    parser.add_argument("--pictures")
    parser.add_argument("--summary")
    parser.add_argument("--record", help="also write the stream as received to this file")
    arguments = parser.parse_args()
    width, height = map(int, arguments.size.split("x"))
    tile_width, tile_height = width // 2, height // 2

    # srt-live-transmit writes to its standard output through stdio, which holds 4096 bytes for a
    # pipe before it writes (16 ms at 2 Mbit/s): unbuffered, each SRT message is passed on as it comes.
    listener = subprocess.Popen(
        ["stdbuf", "-o0", "srt-live-transmit", "-a:no", "-q",
         f"srt://127.0.0.1:{arguments.port}?mode=listener&latency={arguments.latency}", "file://con"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    # ffmpeg hands over only the lines of the two rows of flash cells and strips, one above the
    # other, as luma.
    top, rows = strip_top(tile_height) - FLASH_HEIGHT, FLASH_HEIGHT + ROWS * CELL
    strips = (f"[0:v:0]split[upper][lower];[upper]crop={width}:{rows}:0:{top}[first];"
              f"[lower]crop={width}:{rows}:0:{tile_height + top}[second];[first][second]vstack,format=gray")
    decoder = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", os.environ.get("GLASS_FFMPEG_LOGLEVEL", "error"), "-flags", "low_delay",
         # Each PES is one whole picture: no parser, which would hold each until the next one starts.
         # nobuffer: what ffmpeg reads while it looks at the stream's start is not kept and
         # replayed, which left every later picture that much behind (its p99 by some 90 ms).
         "-fflags", "+nofillin+noparse+nobuffer",
         "-probesize", "65536", "-analyzeduration", "200000",
         "-threads", "1", "-f", "mpegts", "-i", "pipe:0", "-filter_complex", strips, "-fps_mode", "passthrough",
         # Each picture leaves whole: the output's 32 KiB buffer would otherwise keep a picture's
         # last part until the next picture's bytes push it out.
         "-flush_packets", "1", "-f", "rawvideo", "pipe:1"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    say(f"Listening on 127.0.0.1:{arguments.port} (latency {arguments.latency} ms)")

    clock = TransportClock()
    # The recording is decoded again after the run, for audio against picture.
    recording = arguments.record or tempfile.mkstemp(prefix="glass-", suffix=".ts")[1]
    record = open(recording, "wb")

    def receive():
        while True:
            data = os.read(listener.stdout.fileno(), 1 << 16)
            now = time.monotonic_ns()
            if not data:
                break
            clock.feed(data, now)
            record.write(data)
            try:
                decoder.stdin.write(data)
            except BrokenPipeError:
                break
        clock.finish()
        record.close()
        decoder.stdin.close()

    receiver = threading.Thread(target=receive)
    receiver.start()

    # Pictures as decoded: when, and each quadrant's (input, counter) or None.
    decoded = []
    size = width * 2 * rows
    with decoder.stdout as frames:
        while True:
            frame = bytearray()
            while len(frame) < size:
                chunk = frames.read(size - len(frame))
                if not chunk:
                    break
                frame += chunk
            if len(frame) < size:
                break
            now = time.monotonic_ns()
            codes = [read_code(frame, width, slot % 2 * tile_width, slot // 2 * rows + FLASH_HEIGHT) for slot in range(4)]
            decoded.append((now, codes))
    receiver.join()
    decoder.wait()
    listener.wait()

    captured = {}
    with open(arguments.capture_times) as times:
        for line in times:
            fields = line.split()
            if len(fields) == 3:
                captured[(int(fields[0]), int(fields[1]))] = int(fields[2])

    say(f"{len(decoded)} pictures decoded, {len(clock.arrivals)} received")
    # Decoded pictures pair with received ones in order only when none was lost between. The
    # decoder, which keeps nothing back while it looks at the stream's start, begins some pictures
    # in: where the master's counters then run on without a gap, the pictures missing are those
    # first ones.
    lost = len(clock.arrivals) - len(decoded)
    master = [codes[0][1] for _, codes in decoded if codes[0] is not None]
    unbroken = len(master) == len(decoded) and all(later - earlier == 1 for earlier, later in zip(master, master[1:]))
    if lost > 0 and unbroken:
        say(f"the decoder began {lost} pictures in: arrival times paired from there")
        clock.arrivals = clock.arrivals[lost:]
    elif lost != 0:
        say("pictures lost in decoding: no arrival times")
        clock.arrivals = []
    quadrants = {}
    lines = []
    for index, (decoded_ns, codes) in enumerate(decoded):
        arrival_ns = clock.arrivals[index] if index < len(clock.arrivals) else None
        for slot, code in enumerate(codes):
            figures = quadrants.setdefault(slot + 1, {"inputs": set(), "counters": [], "unreadable": 0,
                                                      "delayMs": [], "arrivalMs": [], "decodeMs": []})
            if code is None:
                figures["unreadable"] += 1
                continue
            source, counter = code
            figures["inputs"].add(source)
            figures["counters"].append(counter)
            # The worker writes capture times by quadrant id (slot + 1).
            capture_ns = captured.get((slot + 1, counter))
            if capture_ns is None:
                continue
            delay_ms = (decoded_ns - capture_ns) / 1e6
            arrival_ms = (arrival_ns - capture_ns) / 1e6 if arrival_ns is not None else None
            figures["delayMs"].append(delay_ms)
            if arrival_ms is not None:
                figures["arrivalMs"].append(arrival_ms)
                figures["decodeMs"].append(delay_ms - arrival_ms)
            lines.append(f"{index}\t{slot + 1}\t{source}\t{counter}\t{capture_ns}\t{arrival_ns}\t{decoded_ns}\t"
                         f"{'' if arrival_ms is None else f'{arrival_ms:.1f}'}\t{delay_ms:.1f}")
    if arguments.pictures:
        with open(arguments.pictures, "w") as output:
            output.write("picture\tquadrant\tinput\tcounter\tcapture_ns\tarrival_ns\tdecoded_ns\tarrival_ms\tdelay_ms\n")
            output.write("\n".join(lines) + ("\n" if lines else ""))

    pairs, bursts = audio_against_picture(recording, tile_height)
    if not arguments.record:
        os.unlink(recording)
    offsets = [(start - flash) * 1000 for flash, start in pairs if start is not None]
    for flash, start in pairs:
        say(f"flash at {flash:.3f} s: " + ("no burst" if start is None else
                                          f"burst at {start:.3f} s, offset {(start - flash) * 1000:.1f} ms"))
    magnitudes = [abs(offset) for offset in offsets]
    audio = {"flashes": len(pairs), "bursts": bursts, "paired": len(offsets), "offsetsMs": offsets,
             "p50": percentile(offsets, 0.5), "maxAbs": max(magnitudes) if magnitudes else None}
    if offsets:
        say(f"audio against picture: {len(offsets)} of {len(pairs)} flashes with their burst, offset "
            f"p50 {audio['p50']:.1f} ms, largest {audio['maxAbs']:.1f} ms")
    summary = {"pictures": len(decoded), "received": len(clock.arrivals), "quadrants": {}, "audio": audio}
    for quadrant, figures in sorted(quadrants.items()):
        counters = figures["counters"]
        steps = {}
        for before, after in zip(counters, counters[1:]):
            steps[str(after - before)] = steps.get(str(after - before), 0) + 1
        entry = {"inputs": sorted(figures["inputs"]), "read": len(counters), "unreadable": figures["unreadable"],
                 "timed": len(figures["delayMs"]), "counterSteps": steps,
                 "firstCounter": counters[0] if counters else None}
        for name in ("delayMs", "arrivalMs", "decodeMs"):
            values = figures[name]
            entry[name] = {"p50": percentile(values, 0.5), "p99": percentile(values, 0.99),
                           "max": max(values) if values else None}
        summary["quadrants"][str(quadrant)] = entry
        delay, arrival = entry["delayMs"], entry["arrivalMs"]
        figures_text = lambda values: ("unknown" if values["p50"] is None else
                                       f"p50 {values['p50']:.1f} p99 {values['p99']:.1f} max {values['max']:.1f} ms")
        if delay["p50"] is not None:
            say(f"quadrant {quadrant} (input {','.join(map(str, entry['inputs']))}): {entry['timed']} pictures, "
                f"delay {figures_text(delay)}; last packet {figures_text(arrival)}; "
                f"unreadable {entry['unreadable']}")
        else:
            say(f"quadrant {quadrant}: no picture timed, {entry['unreadable']} unreadable")
    if arguments.summary:
        with open(arguments.summary, "w") as output:
            json.dump(summary, output, indent=2, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
