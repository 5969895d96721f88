#!/usr/bin/env python3
"""A narrow link for tests: relays SRT's UDP datagrams on the loopback
interface between one caller and a listener, the caller's way through a
bottleneck (a token bucket of a set rate in front of a drop-tail queue of a
set size) and a set one-way delay; the way back only through the delay.

The link's settings are read from a control file, looked at every 50 ms, so a
test changes them while the relay runs by replacing the file:
    {"rateKbps": 3000, "queueBytes": 60000, "delayMs": 20}
Each change is a line on standard output ("link rate_kbps=... at=SECONDS"),
and so is the start of each run of datagrams dropped at the full queue
("drop at=SECONDS");
"ready" says that the relay listens. SIGTERM or SIGINT end it, with a line of
its totals. A test tool, not part of the product.

    link_relay.py --listen PORT --target PORT --control FILE
"""

import argparse
import collections
import heapq
import json
import os
import selectors
import signal
import socket
import sys
import time

# Bytes the bucket may hold above the rate: two datagrams, so the link
# passes no burst worth speaking of.
BUCKET_BYTES = 2 * 1500
CONTROL_PERIOD_S = 0.05


class Link:
    def __init__(self):
        self.rate_bps = 100e6
        self.queue_bytes = 1 << 20
        self.delay_s = 0.0

    def apply(self, settings):
        self.rate_bps = float(settings.get("rateKbps", self.rate_bps / 1000)) * 1000
        self.queue_bytes = int(settings.get("queueBytes", self.queue_bytes))
        self.delay_s = float(settings.get("delayMs", self.delay_s * 1000)) / 1000


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--control", required=True)
    arguments = parser.parse_args()

    link = Link()
    control_stamp = None

    def read_control(now):
        nonlocal control_stamp
        try:
            stamp = os.stat(arguments.control).st_mtime_ns
            if stamp == control_stamp:
                return
            with open(arguments.control) as control:
                settings = json.load(control)
        except (OSError, ValueError):
            return
        control_stamp = stamp
        link.apply(settings)
        say("link rate_kbps=%d queue_bytes=%d delay_ms=%d at=%.3f" %
            (link.rate_bps / 1000, link.queue_bytes, link.delay_s * 1000, now - started))

    caller_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    caller_side.bind(("127.0.0.1", arguments.listen))
    listener_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener_side.connect(("127.0.0.1", arguments.target))
    for side in (caller_side, listener_side):
        side.setblocking(False)
        side.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    selector = selectors.DefaultSelector()
    selector.register(caller_side, selectors.EVENT_READ)
    selector.register(listener_side, selectors.EVENT_READ)

    ending = []
    signal.signal(signal.SIGTERM, lambda *_: ending.append(True))
    signal.signal(signal.SIGINT, lambda *_: ending.append(True))

    started = time.monotonic()
    read_control(started)
    next_control = started + CONTROL_PERIOD_S
    caller = None
    queue = collections.deque()
    queued_bytes = 0
    tokens = float(BUCKET_BYTES)
    tokens_at = started
    # (release time, sequence, datagram, towards the listener)
    in_flight = []
    sequence = 0
    dropping = False
    totals = {"forwarded": 0, "forwardedBytes": 0, "dropped": 0, "returned": 0}
    say("ready")

    while not ending:
        now = time.monotonic()
        if now >= next_control:
            read_control(now)
            next_control = now + CONTROL_PERIOD_S

        # The bottleneck: the queue's head leaves once the bucket holds its size.
        # While datagrams wait the link is busy all the time, so what it could
        # have carried while the relay was not scheduled is still owed.
        tokens += (now - tokens_at) * link.rate_bps / 8
        if not queue:
            tokens = min(BUCKET_BYTES, tokens)
        tokens_at = now
        while queue and tokens >= len(queue[0]):
            datagram = queue.popleft()
            queued_bytes -= len(datagram)
            tokens -= len(datagram)
            if not queue:
                tokens = min(BUCKET_BYTES, tokens)
            sequence += 1
            heapq.heappush(in_flight, (now + link.delay_s, sequence, datagram, True))
        while in_flight and in_flight[0][0] <= now:
            _, _, datagram, onward = heapq.heappop(in_flight)
            try:
                if onward:
                    listener_side.send(datagram)
                    totals["forwarded"] += 1
                    totals["forwardedBytes"] += len(datagram)
                elif caller is not None:
                    caller_side.sendto(datagram, caller)
                    totals["returned"] += 1
            except OSError:
                pass

        wake = next_control
        if queue:
            wake = min(wake, now + (len(queue[0]) - tokens) * 8 / link.rate_bps)
        if in_flight:
            wake = min(wake, in_flight[0][0])
        for key, _ in selector.select(max(0.0, wake - time.monotonic())):
            side = key.fileobj
            while True:
                try:
                    datagram, sender = side.recvfrom(65536)
                except (BlockingIOError, InterruptedError):
                    break
                except OSError:
                    break
                if side is caller_side:
                    caller = sender
                    if queued_bytes + len(datagram) > link.queue_bytes:
                        # One line per run of drops, when it begins.
                        if not dropping:
                            say("drop at=%.3f" % (time.monotonic() - started))
                        dropping = True
                        totals["dropped"] += 1
                        continue
                    dropping = False
                    queue.append(datagram)
                    queued_bytes += len(datagram)
                else:
                    sequence += 1
                    heapq.heappush(in_flight, (time.monotonic() + link.delay_s, sequence, datagram, False))

    say("totals " + json.dumps(totals, sort_keys=True))


if __name__ == "__main__":
    main()
