"""What the test and benchmark scripts share to drive a running server: its
HTTP control API on port 3000, waiting for a condition, and a free UDP port
for a receiver."""
import json
import socket
import time
import urllib.request

API = "http://127.0.0.1:3000"


def call(path, body=None, timeout_s=20):
    """GET path, or POST body as JSON; the answer's JSON."""
    request = urllib.request.Request(API + path, method="POST" if body is not None else "GET",
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=timeout_s) as answer:
        return json.loads(answer.read())


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("waited in vain for " + what)


def answers():
    """True once the server answers its health check."""
    try:
        return call("/api/health")["status"] == "ok"
    except OSError:
        return False


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
