"""Per-connection general settings through the running proxy: two general rules, the first for
connections carrying the profile "blue" (a profile rule adds it for the request header
X-Team: blue), the second, with no profiles, for every other connection. The two rules differ
in every value tested, so each test shows that a connection gets its own rule's value.

The origin is a small Python server on 127.0.0.1 that records what it is sent.
"""
import gzip
import hashlib
import http.server
import socket
import threading
import time

import pytest

from conftest import section_set, served, start_listening, wait_until

EVERY_LOG_CATEGORY = str(0xFFFFFFF)

PROFILE_FIELDS = ["enabled", "comment", "log", "profiles", "scheme", "host", "file", "mime", "port",
                  "urlcommand", "proxyhost", "requestheader", "responseheader", "timematch", "add", "remove"]
GENERAL_GLOBALS = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20",
                   "pooltimeout": "30"}
# Every field of a general rule, in order, with the values of the rule for other connections.
OTHER_RULE = {"enabled": "true", "comment": "everyone else", "profiles": "", "ctimeout": "30", "timeout": "30",
              "keeptimeout": "30", "maxdbuffer": "1M", "maxubuffer": "1M", "bufferwait": "0",
              "cportrange": "443", "encodemime": "text/.*", "compressout": "false", "compressin": "false",
              "xforwardedfor": "false", "via": "false"}
BLUE = {"X-Team": "blue"}

TEXT = b"".join(b"line %d of a text that compresses well\n" % i for i in range(3000))
SMALL_TEXT = TEXT[:16 * 1024]
UPLOAD = bytes(range(256)) * 1024          # 256 KiB


def blue_rule(echo_port):
    return dict(OTHER_RULE, comment="blue team", profiles="blue", ctimeout="2", timeout="2",
                maxdbuffer="64K", maxubuffer="4K", cportrange=f"1-442,{echo_port}", compressout="true",
                compressin="true", xforwardedfor="true", via="true")


def rule_xml(element, values):
    return f"<{element}>" + "".join(f"<{k}>{v}</{k}>" for k, v in values.items()) + f"</{element}>"


class Recorder(http.server.BaseHTTPRequestHandler):
    """GET /headers/ID records the request headers under ID; GET /text and /small answer text
    with a length; GET /held sends half of the text and the rest once `held` is set; GET /hang accepts and never answers; POST /upload reads the body, noting how
    much came, and answers its length and SHA-256."""
    protocol_version = "HTTP/1.1"
    headers_seen = {}
    upload_progress = []
    release = threading.Event()
    held = threading.Event()

    def do_GET(self):
        if self.path.startswith("/headers/"):
            Recorder.headers_seen[self.path.split("/")[2]] = self.headers
            self.answer(b"ok", "text/plain")
        elif self.path == "/text":
            self.answer(TEXT, "text/plain")
        elif self.path == "/small":
            self.answer(SMALL_TEXT, "text/plain")
        elif self.path == "/held":
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(TEXT)))
            self.end_headers()
            self.wfile.write(TEXT[:len(TEXT) // 2])
            self.wfile.flush()
            Recorder.held.wait(20)
            self.wfile.write(TEXT[len(TEXT) // 2:])
        elif self.path == "/hang":
            Recorder.release.wait(60)
            self.close_connection = True
        else:
            self.answer(b"no", "text/plain", 404)

    def do_POST(self):
        left = int(self.headers["Content-Length"])
        digest = hashlib.sha256()
        total = 0
        while left:
            block = self.rfile.read1(min(left, 65536))
            if not block:
                break
            digest.update(block)
            total += len(block)
            left -= len(block)
            Recorder.upload_progress.append(total)
        self.answer(f"{total} {digest.hexdigest()}".encode(), "text/plain")

    def answer(self, body, mime, status=200):
        self.send_response(status)
        self.send_header("Content-Type", mime)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def origin():
    with served(http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)) as server:
        yield server.server_address[1]
        Recorder.release.set()


@pytest.fixture(scope="module")
def echo_port():
    """A TCP server that sends back what it receives, the far end of CONNECT tunnels."""
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve(conn):
        with conn:
            while data := conn.recv(65536):
                conn.sendall(data)

    def accept():
        listener.settimeout(0.2)
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                continue
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield listener.getsockname()[1]
    stop.set()
    thread.join()
    listener.close()


@pytest.fixture
def proxy(tarvodine, xml_files, echo_port):
    config, section = xml_files
    profile = {name: "" for name in PROFILE_FIELDS}
    profile.update(enabled="true", comment="team header", log="false", requestheader="X-Team: blue",
                   timematch="absolute", add="blue")
    general = ("".join(f"<{k}>{v}</{k}>" for k, v in GENERAL_GLOBALS.items())
               + rule_xml("rule", blue_rule(echo_port)) + rule_xml("rule", OTHER_RULE))
    text = section_set(config.read_text(), f"<profiles>{rule_xml('profile', profile)}</profiles>")
    config.write_text(section_set(text, f"<general>{general}</general>"))
    return start_listening(tarvodine, config, section, "-d", EVERY_LOG_CATEGORY)


def exchange(proxy, head: str, body: bytes = b"", timeout: float = 30) -> bytes:
    """Sends a request and reads until the proxy closes: the whole answer."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=timeout) as sock:
        sock.sendall(head.encode() + body)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    return answer


def request_head(method, url, headers, extra=""):
    lines = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    return f"{method} {url} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n{lines}{extra}\r\n"


def parse(answer: bytes):
    """(status code, lower-cased headers, body) of a whole HTTP answer."""
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return int(lines[0].split()[1]), headers, body


@pytest.mark.parametrize("team, forwarded", [("blue", True), ("red", False)])
def test_x_forwarded_for_and_via_follow_the_connections_rule(proxy, origin, team, forwarded):
    ident = f"{team}{proxy.port}"
    answer = exchange(proxy, request_head("GET", f"http://127.0.0.1:{origin}/headers/{ident}", {"X-Team": team}))
    assert parse(answer)[0] == 200
    seen = Recorder.headers_seen[ident]
    if forwarded:
        assert seen["X-Forwarded-For"] == "127.0.0.1"
        assert f"127.0.0.1:{proxy.port} (Tarvodine " in seen["Via"]
    else:
        assert seen["X-Forwarded-For"] is None
        assert seen["Via"] is None


@pytest.mark.parametrize("headers, ranged", [(BLUE, True), ({}, False)], ids=["blue", "other"])
def test_connect_reaches_only_the_ports_of_the_connections_rule(proxy, echo_port, headers, ranged):
    head = request_head("CONNECT", f"127.0.0.1:{echo_port}", headers).replace("Connection: close\r\n", "")
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(head.encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = sock.recv(65536)
            if not chunk:
                break
            reply += chunk
        status = int(reply.split()[1])
        if ranged:
            assert status == 200
            sock.sendall(b"through the tunnel")
            echoed = b""
            while len(echoed) < len(b"through the tunnel"):
                echoed += sock.recv(65536)
            assert echoed == b"through the tunnel"
        else:
            assert status == 404
    if not ranged:
        wait_until(lambda: f"denied CONNECT request from 127.0.0.1 to port {echo_port}" in proxy.native_log(),
                   10, "the denial line")


def test_a_silent_server_is_given_up_after_the_rules_time_out(proxy, origin):
    url = f"http://127.0.0.1:{origin}/hang"
    # Another connection, under the 30-second rule, waits on the same kind of server meanwhile.
    other = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
    try:
        other.sendall(request_head("GET", url, {}).encode())
        started = time.monotonic()
        answer = exchange(proxy, request_head("GET", url, BLUE), timeout=20)
        elapsed = time.monotonic() - started
        assert 1.5 <= elapsed < 15, elapsed
        status, headers, body = parse(answer)
        assert status == 503
        assert b"<title>Connection failed</title>" in body
        other.setblocking(False)
        with pytest.raises(BlockingIOError):
            other.recv(1)            # still waiting: neither an answer nor a close
    finally:
        other.close()


@pytest.mark.parametrize("headers, path, body, encoded", [
    (BLUE, "/small", SMALL_TEXT, True),      # below the blue download buffer: compressed
    (BLUE, "/text", TEXT, False),            # above it: streamed as the origin sent it
    ({}, "/small", SMALL_TEXT, False),       # the other rule does not compress
], ids=["blue-within-buffer", "blue-above-buffer", "other-rule"])
def test_compression_and_download_buffer_follow_the_connections_rule(proxy, origin, headers, path, body, encoded):
    answer = exchange(proxy, request_head("GET", f"http://127.0.0.1:{origin}{path}",
                                          dict(headers, **{"Accept-Encoding": "gzip"})))
    status, got_headers, got = parse(answer)
    assert status == 200
    if encoded:
        assert got_headers.get("content-encoding") == "gzip"
        assert len(got) < len(body) // 4
        assert gzip.decompress(got) == body
    else:
        assert "content-encoding" not in got_headers
        assert got == body
    if path == "/text":
        assert "request: warn: response exceeds maximum download buffer size" in proxy.native_log()


def test_a_download_above_the_rules_buffer_reaches_the_client_as_it_comes(proxy, origin):
    """Under the blue rule (64 KiB download buffer) the client gets the first half of the text
    while the origin holds the rest back; then the whole text, uncompressed."""
    Recorder.held.clear()
    head = request_head("GET", f"http://127.0.0.1:{origin}/held", dict(BLUE, **{"Accept-Encoding": "gzip"}))
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as sock:
        sock.sendall(head.encode())
        answer = b""
        try:
            while b"\r\n\r\n" not in answer or len(answer.partition(b"\r\n\r\n")[2]) == 0:
                chunk = sock.recv(65536)
                assert chunk, "the proxy closed before any of the body came"
                answer += chunk
        finally:
            Recorder.held.set()
        sock.settimeout(30)
        while chunk := sock.recv(65536):
            answer += chunk
    status, headers, body = parse(answer)
    assert status == 200
    assert "content-encoding" not in headers
    assert body == TEXT


def test_an_upload_above_the_rules_buffer_is_relayed_as_it_comes(proxy, origin):
    """Under the blue rule (4 KiB upload buffer) the origin receives the start of the body while
    the client still holds the rest back; the body arrives whole."""
    Recorder.upload_progress.clear()
    first, rest = UPLOAD[:64 * 1024], UPLOAD[64 * 1024:]
    head = request_head("POST", f"http://127.0.0.1:{origin}/upload", BLUE,
                        f"Content-Type: application/octet-stream\r\nContent-Length: {len(UPLOAD)}\r\n")
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(head.encode() + first)
        wait_until(lambda: Recorder.upload_progress and Recorder.upload_progress[-1] > 0, 10,
                   "the origin to receive the start of the body")
        sock.sendall(rest)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    status, _, body = parse(answer)
    assert status == 200
    assert body == f"{len(UPLOAD)} {hashlib.sha256(UPLOAD).hexdigest()}".encode()
    wait_until(lambda: f"request: content ({len(UPLOAD)}) exceeds maximum upload buffer size (4096)"
               in proxy.native_log(), 10, "the streaming line")


def test_an_upload_within_the_rules_buffer_is_sent_whole(proxy, origin):
    """Under the other rule (1 MiB) the same body is read whole first and passed on intact."""
    head = request_head("POST", f"http://127.0.0.1:{origin}/upload", {},
                        f"Content-Type: application/octet-stream\r\nContent-Length: {len(UPLOAD)}\r\n")
    status, _, body = parse(exchange(proxy, head, UPLOAD))
    assert status == 200
    assert body == f"{len(UPLOAD)} {hashlib.sha256(UPLOAD).hexdigest()}".encode()
    assert "exceeds maximum upload buffer size" not in proxy.native_log()
