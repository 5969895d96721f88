"""The real server over HTTPS: a certificate made here, the API verified
against it, plain HTTP and a stalled handshake on the TLS port."""
import json, os, socket, ssl, subprocess, sys, tempfile, time, urllib.request

server, work = sys.argv[1], tempfile.mkdtemp()
cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
               check=True, capture_output=True)
context = ssl.create_default_context(cafile=cert)
log = open(os.path.join(work, "server.log"), "w+")
process = subprocess.Popen([server, "--portable", "--tls-cert", cert, "--tls-key", key], cwd=work,
                           stdout=log, stderr=subprocess.STDOUT)

def call(path, method="GET", headers=None):
    request = urllib.request.Request("https://localhost:3000" + path, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(request, context=context, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())

try:
    for _ in range(150):
        try:
            call("/api/health")
            break
        except OSError:
            time.sleep(0.2)
    assert call("/api/health") == (200, {"status": "ok", "service": "tiloran-server"})
    assert call("/api/stream/status")[1]["running"] is False
    assert call("/api/config")[0] == 200
    # The own origin is the https one.
    assert call("/api/stream/stop", "POST", {"Origin": "https://localhost:3000"})[0] == 200
    assert call("/api/stream/stop", "POST", {"Origin": "http://localhost:3000"})[0] == 403

    # Plain HTTP gets no answer, and the server goes on.
    with socket.create_connection(("127.0.0.1", 3000), timeout=10) as plain:
        plain.sendall(b"GET /api/health HTTP/1.1\r\nHost: localhost\r\n\r\n")
        try:
            assert b"ok" not in plain.recv(4096)
        except ConnectionResetError:
            pass
    # A handshake that stalls after its first bytes holds nobody else.
    stalled = socket.create_connection(("127.0.0.1", 3000), timeout=10)
    stalled.sendall(b"\x16\x03\x01\x00\xff\x01")
    assert call("/api/health")[0] == 200
    stalled.close()
    assert process.poll() is None
finally:
    process.terminate()
    process.wait(30)
log.seek(0)
text = log.read()
assert "Starting HTTPS server" in text, text
print("tls program test passed")
