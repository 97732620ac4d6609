"""Uploads that do not go the plain way: a server that refuses a body before it has taken it all,
and a client that waits to be told to send its body (Expect: 100-continue).

nginx is the origin (its /upload/small refuses a body above 1 KiB with 413 at once and closes);
a scripted origin plays a server that answers and closes in the middle of a chunked body.
"""
import socket
import threading

import pytest

from conftest import read_all, section_set, start_listening
from origin import Origin
from scripted_origin import ScriptedOrigin

BIG = 16 << 20          # far more than the socket buffers on the way hold
BLOCK = 64 << 10
UPLOAD_BUFFER = "64K"   # the general rule's upload buffer: smaller bodies are read whole first

GENERAL = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20", "pooltimeout": "5"}
RULE = {"enabled": "true", "comment": "uploads", "profiles": "", "ctimeout": "10", "timeout": "10",
        "keeptimeout": "10", "maxdbuffer": "4M", "maxubuffer": UPLOAD_BUFFER, "bufferwait": "0",
        "cportrange": "443", "encodemime": "", "compressout": "false", "compressin": "false",
        "xforwardedfor": "false", "via": "false"}


def element(name, values):
    return f"<{name}>" + "".join(f"<{k}>{v}</{k}>" for k, v in values.items()) + f"</{name}>"


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files):
    config, section = xml_files
    general = "".join(f"<{k}>{v}</{k}>" for k, v in GENERAL.items()) + element("rule", RULE)
    config.write_text(section_set(config.read_text(), f"<general>{general}</general>"))
    return start_listening(tarvodine, config, section)


def connect(proxy) -> socket.socket:
    return socket.create_connection(("127.0.0.1", proxy.port), timeout=15)


def read_answer(sock, data: bytes = b""):
    """(status code, header block, body) of one answer: by its length, its chunks (returned
    de-chunked) or up to the close."""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        assert chunk, f"the connection closed before an answer came: {data!r}"
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    fields = dict(line.lower().split(b":", 1) for line in head.split(b"\r\n")[1:])

    def more():
        chunk = sock.recv(65536)
        assert chunk, "the connection closed inside the body"
        return chunk
    if b"content-length" in fields:
        length = int(fields[b"content-length"])
        while len(rest) < length:
            rest += more()
        return int(head.split()[1]), head, rest[:length]
    if b"chunked" in fields.get(b"transfer-encoding", b""):
        body = b""
        while True:
            while b"\r\n" not in rest:
                rest += more()
            line, _, rest = rest.partition(b"\r\n")
            size = int(line.split(b";")[0], 16)
            while len(rest) < size + 2:
                rest += more()
            if size == 0:
                return int(head.split()[1]), head, body
            body, rest = body + rest[:size], rest[size + 2:]
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return int(head.split()[1]), head, rest
        rest += chunk


def sized_body(size):
    return b"Content-Length: %d\r\n" % size, (b"u" * BLOCK for _ in range(size // BLOCK))


def chunked_body(size):
    chunk = b"%x\r\n" % BLOCK + b"u" * BLOCK + b"\r\n"
    blocks = (chunk for _ in range(size // BLOCK))
    return b"Transfer-Encoding: chunked\r\n", (b for part in (blocks, [b"0\r\n\r\n"]) for b in part)


def answer_midway(conn, origin):
    """Takes the header and a little of the body, refuses and closes with the rest unread."""
    data = b""
    while len(data) < 200_000:
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    origin.requests.append(data)
    conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 5\r\nConnection: close\r\n\r\nnope\n")


@pytest.mark.parametrize("server", ["nginx-413", "scripted-chunked-403"])
def test_a_server_refusing_an_upload_midway_has_its_answer_passed_on(proxy, origin, server):
    scripted = None
    if server == "nginx-413":
        url, framing, status = origin.url("/upload/small"), sized_body(BIG), 413
    else:
        scripted = ScriptedOrigin([answer_midway])
        url, framing, status = scripted.url("/upload"), chunked_body(BIG), 403
    head, blocks = framing
    try:
        with connect(proxy) as sock:
            sock.sendall(b"POST " + url.encode() + b" HTTP/1.1\r\nHost: x\r\n" + head + b"\r\n")

            def send_body():
                try:
                    for block in blocks:
                        sock.sendall(block)
                except OSError:
                    pass   # the proxy stops reading once the server has answered
            sender = threading.Thread(target=send_body, daemon=True)
            sender.start()
            got, _, body = read_answer(sock)
            assert got == status
            if scripted is not None:
                assert body == b"nope\n"
                assert scripted.requests[0].startswith(b"POST /upload HTTP/1.1\r\n")
            # The rest of the body is never read, so never taken for a next request: the proxy
            # closes after the answer.
            assert read_all(sock) == b""
            sender.join(timeout=15)
    finally:
        if scripted is not None:
            scripted.stop()


@pytest.mark.parametrize("version,size,told", [
    ("1.1", 10_000, True),       # read whole first
    ("1.1", 200_000, True),      # relayed as it comes
    ("1.0", 10_000, False),      # an HTTP/1.0 client knows no interim answer
])
def test_a_client_expecting_100_continue_is_told_to_send_its_body(proxy, origin, version, size, told):
    body = bytes(range(256)) * (size // 256)
    with connect(proxy) as sock:
        sock.sendall(f"POST {origin.url('/echo')} HTTP/{version}\r\nHost: x\r\nExpect: 100-continue\r\n"
                     f"Content-Length: {len(body)}\r\n\r\n".encode())
        # A client gives up waiting after a second (curl does) and sends its body anyway; the
        # interim answer that is due is awaited longer, as a busy machine may delay it.
        sock.settimeout(15 if told else 0.8)
        early = b""
        try:
            while b"\r\n\r\n" not in early:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                early += chunk
        except socket.timeout:
            pass
        assert early == (b"HTTP/1.1 100 Continue\r\n\r\n" if told else b"")
        sock.settimeout(15)
        sock.sendall(body)
        status, _, echoed = read_answer(sock)
    assert status == 200
    assert echoed == body
