"""The proxy under attack from both sides: hostile clients (smuggling, injection, exhaustion,
CONNECT abuse) and hostile origins (scripted in scripted_origin.py). After every attack the same
proxy process must still be alive and serve an ordinary request correctly (`still_serves`).

Every wait is bounded by the short time-outs of the general rule below.
"""
import gzip
import re
import resource
import socket
import threading

import pytest

from conftest import age_seconds, fds, free_port, read_all, section_set, start_listening, threads, wait_port, wait_until
from scripted_origin import ScriptedOrigin

SHORT = 2   # seconds: the general rule's header, keep-alive and relay time-outs
GENERAL = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20", "pooltimeout": "1"}
RULE = {"enabled": "true", "comment": "short waits", "profiles": "", "ctimeout": SHORT, "timeout": SHORT,
        "keeptimeout": SHORT, "maxdbuffer": "4M", "maxubuffer": "1M", "bufferwait": "0",
        "cportrange": "1024-65535", "encodemime": "", "compressout": "false", "compressin": "false",
        "xforwardedfor": "false", "via": "false"}

OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
INJECTED = b"HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\ninjected"
# A header line as the RFC writes it: a token, a colon, a value without CR, LF or NUL.
FIELD_LINE = re.compile(rb"[!#$%&'*+.^_`|~0-9A-Za-z-]+:[^\r\n\x00]*")


def element(name, values):
    return f"<{name}>" + "".join(f"<{k}>{v}</{k}>" for k, v in values.items()) + f"</{name}>"


def configured(xml_files):
    """The shipped files, the configuration with short time-outs and CONNECT to ports
    1024-65535."""
    config, section = xml_files
    general = "".join(f"<{k}>{v}</{k}>" for k, v in GENERAL.items()) + element("rule", RULE)
    config.write_text(section_set(config.read_text(), f"<general>{general}</general>"))
    return config, section


@pytest.fixture
def proxy(tarvodine, xml_files):
    """The configured proxy; its connection threads end 1 second after their last request."""
    config, section = configured(xml_files)
    return start_listening(tarvodine, config, section, "-T", "1")


# ---------------------------------------------------------------------------------------------
# Talking to the proxy

def connect(proxy, timeout: float = 15) -> socket.socket:
    return socket.create_connection(("127.0.0.1", proxy.port), timeout=timeout)


def exchange(proxy, raw: bytes) -> bytes:
    """Sends the bytes (as far as the proxy takes them) and reads until it closes."""
    with connect(proxy) as sock:
        try:
            sock.sendall(raw)
        except (BrokenPipeError, ConnectionResetError):
            pass
        return read_all(sock)


def read_answer(sock, buffered: bytes = b""):
    """One answer framed by its header: (status line, header lines, body, bytes after it).
    The body runs to the close when the header gives no length."""
    data = buffered
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError(f"the connection closed inside a header: {data!r}")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status, *lines = head.split(b"\r\n")
    fields = {}
    for line in lines:
        name, _, value = line.partition(b":")
        fields[name.strip().lower().decode("latin-1")] = value.strip().decode("latin-1")
    if "content-length" in fields:
        length = int(fields["content-length"])
        while len(rest) < length:
            chunk = sock.recv(65536)
            if not chunk:
                break
            rest += chunk
        return status, lines, rest[:length], rest[length:]
    return status, lines, rest + read_all(sock), b""


def split(answer: bytes):
    """(status code or None, header lines, body) of an answer read to the close."""
    if not answer:
        return None, [], b""
    head, _, body = answer.partition(b"\r\n\r\n")
    status, *lines = head.split(b"\r\n")
    return int(status.split()[1]), lines, body


def assert_clean_header(lines):
    """Every line of a header block is one well-formed field: nothing injected rode along."""
    for line in lines:
        assert FIELD_LINE.fullmatch(line), f"malformed header line {line!r}"
        assert not line.lower().startswith(b"x-injected"), f"injected line {line!r}"


def still_serves(proxy):
    """The shared check after every attack: the same process answers an ordinary request, which
    reaches a fresh origin as exactly one well-formed request."""
    assert proxy.alive(), "the proxy process has ended"
    origin = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nserved"])
    try:
        with connect(proxy) as sock:
            sock.sendall(f"GET {origin.url('/check')} HTTP/1.1\r\nConnection: close\r\n\r\n".encode())
            status, lines, body, _ = read_answer(sock)
    finally:
        origin.stop()
    assert status.split()[1] == b"200", status
    assert body == b"served"
    assert len(origin.requests) == 1
    head = origin.requests[0].split(b"\r\n\r\n")[0].split(b"\r\n")
    assert head[0] == b"GET /check HTTP/1.1"
    assert_clean_header(head[1:])
    assert proxy.alive(), "the proxy process has ended"


def origin_head(request: bytes):
    """(request line, {lower-case name: [values]}, header lines, body) of what an origin got."""
    head, _, body = request.partition(b"\r\n\r\n")
    start, *lines = head.split(b"\r\n")
    fields = {}
    for line in lines:
        name, _, value = line.partition(b":")
        fields.setdefault(name.lower().decode("latin-1"), []).append(value.strip())
    return start, fields, lines, body


# ---------------------------------------------------------------------------------------------
# Request smuggling and desynchronisation

SMUGGLED = b"GET /smuggled HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def dechunked(body: bytes) -> bytes:
    out = b""
    while True:
        size_line, _, body = body.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            return out
        out, body = out + body[:size], body[size + 2:]


@pytest.mark.parametrize("head_and_body", [
    b"Content-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n" + SMUGGLED,
    b"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n3\r\nabc\r\n0\r\n\r\n" + SMUGGLED,
    b"Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
    b"Content-Length: 3\r\nX-A: a\r\n Transfer-Encoding: chunked\r\n\r\nabc",
    b"Content-Length: 3\r\nX-A: a\rTransfer-Encoding: chunked\r\n\r\nabc",
    b"Content-Length: 3\nTransfer-Encoding: chunked\n\n3\nabc\n0\n\n" + SMUGGLED,
    b"Transfer-Encoding:\tchunked\r\n\r\n1;name=\"x;y\"\r\na\r\n2;z\r\nbc\r\n0\r\nX-Trailer: t\r\n\r\n",
], ids=["length-then-chunked", "chunked-then-length", "same-length-twice", "obs-fold",
        "bare-cr-hides-a-line", "bare-lf", "chunk-extensions"])
def test_request_framing_reaches_the_origin_one_way(proxy, origin_with, head_and_body):
    """Whatever the client wrote, the origin gets one request with a single, unambiguous framing
    carrying exactly the body the proxy read (abc): nothing smuggled rides along."""
    origin = origin_with(OK, OK)
    request = f"POST {origin.url('/up')} HTTP/1.1\r\nConnection: close\r\n".encode() + head_and_body
    status, _, got = split(exchange(proxy, request))
    assert (status, got) == (200, b"ok")
    origin.stop()
    assert len(origin.requests) == 1, origin.requests
    start, fields, lines, sent = origin_head(origin.requests[0])
    assert start == b"POST /up HTTP/1.1"
    assert_clean_header(lines)
    assert len(fields.get("content-length", [])) + len(fields.get("transfer-encoding", [])) == 1, lines
    if "transfer-encoding" in fields:
        assert fields["transfer-encoding"] == [b"chunked"]
        sent = dechunked(sent)
    else:
        assert fields["content-length"] == [str(len(sent)).encode()]
    assert sent == b"abc"
    still_serves(proxy)


@pytest.mark.parametrize("head_and_body", [
    b"Content-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    b"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
], ids=["length-then-chunked", "chunked-then-length"])
def test_request_framed_two_ways_is_answered_and_its_connection_closed(proxy, origin_with, head_and_body):
    """The body is read by its coding, but a peer that framed it by its length would take what
    follows for another request: the request is answered, then the connection closes and
    nothing behind it is served."""
    origin = origin_with(OK, OK)
    with connect(proxy) as sock:
        sock.sendall(f"POST {origin.url('/up')} HTTP/1.1\r\n".encode() + head_and_body + SMUGGLED)
        status, lines, body, rest = read_answer(sock)
        assert (status.split()[1], body) == (b"200", b"ok")
        assert b"Connection: close" in lines
        assert rest + read_all(sock) == b""
    origin.stop()
    assert [origin_head(r)[0] for r in origin.requests] == [b"POST /up HTTP/1.1"]
    still_serves(proxy)


@pytest.mark.parametrize("blank", [b" ", b"\t", b"  "], ids=["blank", "tab", "two-blanks"])
def test_white_space_before_a_colon_gets_badrequest(proxy, origin_with, blank):
    """A receiver may or may not take "Transfer-Encoding : chunked" for the coding: the request
    is answered with the badrequest page and reaches nobody."""
    origin = origin_with(OK, OK)
    request = (f"POST {origin.url('/up')} HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding".encode() + blank
               + b": chunked\r\n\r\nabc" + SMUGGLED)
    status, _, _ = split(exchange(proxy, request))
    assert status == 400
    origin.stop()
    assert origin.requests == []
    still_serves(proxy)


@pytest.mark.parametrize("head_and_body", [
    b"Content-Length: 3\r\nContent-Length: 30\r\n\r\nabc",
    b"Content-Length: +3\r\n\r\nabc",
    b"Content-Length: -1\r\n\r\nabc",
    b"Content-Length: 0x3\r\n\r\nabc",
    b"Content-Length: 3, 3\r\n\r\nabc",
    b"Content-Length: 99999999999999999999999\r\n\r\nabc",
    b"Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    b"Transfer-Encoding: identity\r\nContent-Length: 3\r\n\r\nabc",
    b"Transfer-Encoding: chunked\r\n\r\n10000000000000003\r\nabc\r\n0\r\n\r\n",
    b"Transfer-Encoding: chunked\r\n\r\n-3\r\nabc\r\n0\r\n\r\n",
    b"Transfer-Encoding: chunked\r\n\r\n3 x\r\nabc\r\n0\r\n\r\n",
], ids=["two-lengths", "plus", "minus", "hex", "list", "huge", "other-coding", "identity", "chunk-overflow",
        "chunk-negative", "chunk-garbage"])
def test_request_with_unusable_framing_never_reaches_the_origin(proxy, origin_with, head_and_body):
    """A body the proxy cannot frame one way only is refused and the connection closed; a
    pipelined request behind it is not served either."""
    origin = origin_with(OK, OK)
    request = (f"POST {origin.url('/up')} HTTP/1.1\r\n".encode() + head_and_body
               + f"GET {origin.url('/behind')} HTTP/1.1\r\n\r\n".encode())
    status, lines, _ = split(exchange(proxy, request))
    assert status is None or 400 <= status < 500, status
    origin.stop()
    assert origin.requests == []
    still_serves(proxy)


@pytest.mark.parametrize("method", ["POST", "GET"])
def test_request_hidden_in_a_body_stays_body(proxy, origin_with, method):
    """A request written inside a body reaches the origin as that body; the request pipelined
    behind the body is the next one."""
    origin = origin_with(OK, OK, OK)
    hidden = f"GET {origin.url('/hidden')} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n\r\n".encode()
    first = f"{method} {origin.url('/first')} HTTP/1.1\r\nContent-Length: {len(hidden)}\r\n\r\n".encode() + hidden
    second = f"GET {origin.url('/second')} HTTP/1.1\r\nConnection: close\r\n\r\n".encode()
    with connect(proxy) as sock:
        sock.sendall(first + second)
        one = read_answer(sock)
        two = read_answer(sock, one[3])
        assert read_all(sock) == b""
    assert [(a[0].split()[1], a[2]) for a in (one, two)] == [(b"200", b"ok"), (b"200", b"ok")]
    origin.stop()
    assert [origin_head(r)[0] for r in origin.requests] == [f"{method} /first HTTP/1.1".encode(),
                                                            b"GET /second HTTP/1.1"]
    assert origin_head(origin.requests[0])[3] == hidden
    still_serves(proxy)


@pytest.mark.parametrize("make", [
    lambda o: f"GET {o.url('/a')} HTTP/1.1\r\nHost: elsewhere.invalid\r\n",
    lambda o: f"GET {o.url('/a')} HTTP/1.1\r\nHost: 127.0.0.1:{o.port}\r\nHost: elsewhere.invalid\r\n",
    lambda o: f"GET /a HTTP/1.1\r\nHost: elsewhere.invalid\r\nHost: 127.0.0.1:{o.port}\r\n",
], ids=["uri-beats-host-line", "uri-beats-two-host-lines", "last-host-line"])
def test_the_origin_gets_one_host_the_one_connected_to(proxy, origin_with, make):
    """The Host line the origin reads names the server the proxy connected to, once."""
    origin = origin_with(OK)
    status, _, _ = split(exchange(proxy, make(origin).encode() + b"Connection: close\r\n\r\n"))
    assert status == 200
    origin.stop()
    _, fields, _, _ = origin_head(origin.requests[0])
    assert fields["host"] == [f"127.0.0.1:{origin.port}".encode()]
    still_serves(proxy)


@pytest.mark.parametrize("make", [
    lambda port: f"GET http://127.0.0.1:{port}/ HTTP/1.1\r\n",
    lambda port: f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n",
], ids=["absolute-uri", "host-line"])
def test_a_request_for_the_proxy_itself_does_not_loop(proxy, make):
    """A request naming the proxy's own listener comes back to it at most once and is refused
    there."""
    status, _, _ = split(exchange(proxy, make(proxy.port).encode() + b"Connection: close\r\n\r\n"))
    assert status == 404
    assert proxy.native_log().count(f"tried to make a request to website on {proxy.port}") == 1
    still_serves(proxy)


@pytest.mark.parametrize("head_and_body", [
    b"Content-Length: 9223372036854775807\r\n\r\nabc",
    b"Transfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\nabc",
    b"Content-Length: 2000000\r\n\r\n" + b"x" * 1000,
], ids=["largest-length", "largest-chunk", "streamed-length"])
def test_request_body_that_never_completes_is_let_go(proxy, origin_with, head_and_body):
    """A body announced far beyond what comes is neither waited for without end nor taken for
    complete: both connections close once the relay time-out passes, and the origin never gets
    an end of body the client did not send."""
    origin = origin_with(OK)
    with connect(proxy) as sock:
        sock.sendall(f"POST {origin.url('/up')} HTTP/1.1\r\n".encode() + head_and_body)
        answer = read_all(sock)
    assert not answer.startswith(b"HTTP/1.1 2"), answer[:100]
    origin.stop()
    for request in origin.requests:
        _, fields, _, body = origin_head(request)
        if "content-length" in fields:
            assert len(body) < int(fields["content-length"][0])
        else:
            assert not body.endswith(b"0\r\n\r\n")
    still_serves(proxy)


# ---------------------------------------------------------------------------------------------
# Header injection through the request

@pytest.mark.parametrize("make, forwarded", [
    (lambda o: f"GET {o.url('/a%0d%0aX-Injected:%20yes')} HTTP/1.1\r\n".encode(), True),
    (lambda o: f"GET {o.url('/a')}\x00X-Injected: HTTP/1.1\r\n".encode(), False),
    (lambda o: f"GET {o.url('/a')}\rX-Injected: yes HTTP/1.1\r\n".encode(), False),
    (lambda o: f"GET http://xx--raw%0d%0aX-Injected.127.0.0.1:{o.port}/ HTTP/1.1\r\n".encode(), False),
    (lambda o: f"GET http://xx--template[a%0d%0aX-Injected].127.0.0.1:{o.port}/ HTTP/1.1\r\n".encode(), False),
    (lambda o: f"GET /a HTTP/1.1\r\nHost: 127.0.0.1:{o.port}\rX-Injected: yes\r\n".encode(), True),
    (lambda o: f"GET /a HTTP/1.1\r\nHost: 127.0.0.1:{o.port}\x00X-Injected: yes\r\n".encode(), False),
    (lambda o: f"GET /a HTTP/1.1\r\nHost: xx--bypass%0d%0aX-Injected.127.0.0.1:{o.port}\r\n".encode(), False),
    (lambda o: f"GET {o.url('/a')} HTTP/1.1\r\nReferer: http://a/\x00X-Injected: yes\r\n".encode(), False),
    (lambda o: f"GET {o.url('/a')} HTTP/1.1\r\nX-A: a\x00\r\nContent-Length: 5\r\n".encode(), False),
    (lambda o: f"GET {o.url('/a')} HTTP/1.1\r\nReferer: http://xx--raw%0d%0aX-Injected:%20y.127.0.0.1/\r\n".encode(),
     True),
], ids=["encoded-crlf-in-path", "nul-in-uri", "bare-cr-in-uri", "crlf-in-command", "crlf-in-command-options",
        "bare-cr-in-host", "nul-in-host", "encoded-crlf-in-host-command", "nul-in-referer", "nul-before-length",
        "crlf-in-referer-command"])
def test_request_bytes_never_become_header_lines(proxy, origin_with, make, forwarded):
    """CR, LF and NUL smuggled through the URI, URL commands or header values never make a line
    of their own, nor reach a line, at the origin or back at the client."""
    origin = origin_with(OK)
    request = make(origin) + b"Connection: close\r\n\r\n"
    answer = exchange(proxy, request)
    status, lines, _ = split(answer)
    assert_clean_header(lines)
    origin.stop()
    if forwarded:
        assert status == 200
        assert len(origin.requests) == 1
        start, _, lines, _ = origin_head(origin.requests[0])
        assert re.fullmatch(rb"GET [\x21-\x7e]+ HTTP/1\.1", start), start
        assert_clean_header(lines)
    else:
        assert status is None or status >= 400
        assert origin.requests == []
    still_serves(proxy)


# ---------------------------------------------------------------------------------------------
# A hostile origin

def endless(unit: bytes, head: bytes = b""):
    """A script that answers with head and then unit again and again until the proxy stops
    taking it (at most 64 MiB)."""
    def script(conn, origin):
        origin.read(conn)
        conn.sendall(head)
        for _ in range((64 << 20) // len(unit)):
            conn.sendall(unit)
    return script


@pytest.mark.parametrize("reply, body", [
    (b"HTTP/1.1 200 OK\r\nX-A: a\rX-Injected: yes\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.1 200 OK\rX-Injected: yes\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.1 200 OK\nX-A: a\nContent-Length: 2\n\nok", b"ok"),
    (b"HTTP/1.1 200 OK\r\nX-A: a\r\n X-Injected: yes\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.1 200 OK\r\nContent-Length : 5\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", b"abc"),
    (b"HTTP/1.1 100 Continue\r\n\r\n" * 3000 + b"HTTP/1.1 103 Early Hints\r\nLink: </x>\r\n\r\n" + OK, b"ok"),
], ids=["bare-cr", "bare-cr-in-status-line", "bare-lf", "obs-fold",
        "blank-before-colon", "chunked-beats-length", "interim-flood"])
def test_origin_bytes_never_become_header_lines(proxy, origin_with, reply, body):
    """Bare CR, bare LF, folded lines, a blank before a colon and interim answers from the
    origin: the client gets one clean header that frames the body the origin meant."""
    origin = origin_with(reply)
    answer = exchange(proxy, f"GET {origin.url()} HTTP/1.0\r\n\r\n".encode())
    status, lines, got = split(answer)
    assert_clean_header(lines)
    assert status == 200
    assert got == body
    still_serves(proxy)


def test_a_compression_bomb_is_passed_on_undecoded(proxy, origin_with):
    """A small gzip body that inflates far beyond the download buffer, for a client that takes
    no encoding: the proxy stops inflating at the buffer's size and passes the body on as it
    came, its coding named."""
    bomb = gzip.compress(b"\0" * (64 << 20))
    origin = origin_with(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                         + f"Content-Length: {len(bomb)}\r\n\r\n".encode() + bomb)
    status, lines, body = split(exchange(proxy, f"GET {origin.url()} HTTP/1.0\r\n\r\n".encode()))
    assert status == 200
    assert b"Content-Encoding: gzip" in lines
    assert body == bomb
    still_serves(proxy)


@pytest.mark.parametrize("reply", [
    b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nok",
    b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nok",
    b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 20\r\n\r\nok",
    b"HTTP/1.1 200 " + b"O" * 300 + b"\r\nContent-Length: 2\r\n\r\nok",
    b"HTTP/1.1 200 OK\r\nX-Big: " + b"a" * 10000 + b"\r\nContent-Length: 2\r\n\r\nok",
    b"HTTP/1.1 200 OK\r\n" + b"X-N: v\r\n" * 5000 + b"Content-Length: 2\r\n\r\nok",
    endless(b"O" * 4096, b"HTTP/1.1 200 "),
    endless(b"X-More: v\r\n" * 400),
    b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x81\x05hello",
    b"HTTP/1.1 200 OK\r\nX-A: a\x00X-Injected: yes\r\nContent-Length: 2\r\n\r\nok",
    b"HTTP/1.1 302 Found\r\nLocation: http://a/\x00\r\nContent-Length: 2\r\n\r\nok",
    b"HTTP/1.1 200 O\x00K\r\nContent-Length: 2\r\n\r\nok",
], ids=["negative-length", "overflowing-length", "two-lengths", "long-status-line", "long-line",
        "thousands-of-lines", "endless-status-line", "endless-header", "switching-unasked", "nul-in-value",
        "nul-in-location", "nul-in-status-line"])
def test_unusable_answer_is_a_bad_response(proxy, origin_with, reply):
    """An answer the proxy cannot pass on as HTTP is replaced by the "badresponse" page: nothing
    of it reaches the client."""
    origin = origin_with(reply)
    answer = exchange(proxy, f"GET {origin.url()} HTTP/1.1\r\nConnection: close\r\n\r\n".encode())
    status, lines, body = split(answer)
    assert status == 400, answer[:200]
    assert b"Bad Response" in body
    assert_clean_header(lines)
    still_serves(proxy)


def honest_after(first: bytes, *, late: threading.Event = None, sent: threading.Event = None):
    """A kept-alive origin: answers the first request with `first` (after which, when `late` is
    given, it waits for it and sends INJECTED, then sets `sent`), then answers every further
    request on the connection honestly with "second"."""
    def script(conn, origin):
        origin.read(conn)
        conn.sendall(first)
        if late is not None:
            late.wait(15)
            conn.sendall(INJECTED)
            sent.set()
        while origin.read(conn):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond")
    return script


@pytest.mark.parametrize("first, late", [
    (OK, False),
    (OK, True),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", False),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", True),
], ids=["length-with-the-answer", "length-after-the-answer", "chunked-with-the-answer", "chunked-after-the-answer"])
def test_bytes_beyond_an_answer_are_never_the_next_answer(proxy, origin_with, first, late):
    """An origin that sends more than its answer's framing holds, at once or while its
    connection waits in the server pool, never answers the next request, whichever client
    makes it."""
    answered, sent = threading.Event(), threading.Event()
    if late:
        script = honest_after(first, late=answered, sent=sent)
    else:
        script = honest_after(first + INJECTED)
        sent.set()
    origin = origin_with(script, b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nfresh!")
    get = f"GET {origin.url()} HTTP/1.1\r\nConnection: close\r\n\r\n".encode()
    with connect(proxy) as sock:
        sock.sendall(get)
        status, _, body, _ = read_answer(sock)
        assert body in (b"ok", b"2\r\nok\r\n0\r\n\r\n"), body
    answered.set()
    assert sent.wait(15)
    with connect(proxy) as sock:
        sock.sendall(get)
        assert read_answer(sock)[2] == b"fresh!"
    still_serves(proxy)


CHUNKED = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"


@pytest.mark.parametrize("reply", [
    CHUNKED + b"10\r\nabc\r\n0\r\n\r\n" + INJECTED,
    CHUNKED + b"3;" + b"e" * 100000 + b"\r\nabc\r\n0\r\n\r\n" + INJECTED,
    CHUNKED + b"3\r\nabc\r\n0\r\n" + b"X-Trailer: t\r\n" * 1000 + b"\r\n" + INJECTED,
    endless(b"X-Trailer: t\r\n" * 400, CHUNKED + b"3\r\nabc\r\n0\r\n"),
], ids=["size-larger-than-data", "endless-extension", "trailers-beyond-the-area", "endless-trailers"])
def test_broken_chunking_closes_the_client_connection(proxy, origin_with, reply):
    """A chunked body the proxy cannot follow to its end is cut off, and the client connection
    with it: the bytes behind it can never come out as a second answer on the client's
    kept-alive connection, nor does the client get an end of body the origin never sent."""
    origin = origin_with(reply, b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nfresh!")
    with connect(proxy) as sock:
        sock.sendall(f"GET {origin.url('/lie')} HTTP/1.1\r\n\r\nGET {origin.url('/next')} HTTP/1.1\r\n\r\n".encode())
        answer = read_all(sock)
    assert answer.startswith(b"HTTP/1.1 200 ")
    assert answer.count(b"HTTP/1.1 ") == 1, answer[:300]
    assert b"fresh!" not in answer and b"injected" not in answer
    assert not answer.partition(b"\r\n\r\n")[2].endswith(b"0\r\n\r\n")
    assert "process: transfer failed" in proxy.native_log()
    still_serves(proxy)


# ---------------------------------------------------------------------------------------------
# Resource exhaustion

def settled_baseline(proxy):
    """(threads, descriptors) of the idle proxy, once the port probe has gone and the timer
    thread has started its job runner."""
    wait_until(lambda: "127.0.0.1 disconnected after making 0 requests" in proxy.native_log(), 15,
               "the port probe's disconnect line")
    wait_until(lambda: age_seconds(proxy.pid) >= 3, 15, "the first one-second timer job")
    return threads(proxy.pid), fds(proxy.pid)


def assert_back_to(proxy, baseline):
    """Threads and descriptors return to the idle proxy's counts (connection threads end one
    second after their last request)."""
    try:
        wait_until(lambda: (threads(proxy.pid), fds(proxy.pid)) == baseline, 30, "threads and descriptors")
    except AssertionError:
        raise AssertionError(f"(threads, descriptors) stay at {(threads(proxy.pid), fds(proxy.pid))}, "
                             f"not {baseline}") from None


def closed_by_peer(sock) -> bool:
    try:
        sock.setblocking(False)
        return sock.recv(65536) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True
    finally:
        sock.setblocking(True)


def test_idle_and_slow_clients_neither_block_others_nor_leak(proxy):
    """Idle clients wait in the client pool without a thread, clients that drip their header a
    byte at a time hold one only until the header time-out; others are served meanwhile, and
    once they are gone everything they held is given back."""
    baseline = settled_baseline(proxy)
    idle = [connect(proxy) for _ in range(150)]
    # Accepted and pooled, they hold a descriptor each and no thread.
    wait_until(lambda: fds(proxy.pid) >= baseline[1] + len(idle), 15, "the idle clients to be accepted")
    assert threads(proxy.pid) == baseline[0]
    stop = threading.Event()
    slow = [connect(proxy) for _ in range(20)]

    def drip(sock):
        line = b"GET http://127.0.0.1/ HTTP/1.1\r\n" + b"X-Slow: " + b"z" * 400
        try:
            for byte in line:
                if stop.wait(0.05):
                    return
                sock.send(bytes([byte]))
        except OSError:
            return
    drippers = [threading.Thread(target=drip, args=(s,), daemon=True) for s in slow]
    for t in drippers:
        t.start()
    try:
        still_serves(proxy)
        # The proxy lets go of clients that never finish a header, and of idle ones, itself.
        wait_until(lambda: all(closed_by_peer(s) for s in slow), 20, "the slow clients to be closed")
        wait_until(lambda: all(closed_by_peer(s) for s in idle), 20, "the idle clients to be closed")
    finally:
        stop.set()
        for t in drippers:
            t.join(10)
        for s in idle + slow:
            s.close()
    assert "request: timeout waiting for header from 127.0.0.1" in proxy.native_log()
    assert_back_to(proxy, baseline)
    still_serves(proxy)


def test_running_out_of_descriptors_sheds_idle_clients(tarvodine, xml_files):
    """More idle clients than the process may hold descriptors: the proxy lets the idle ones go
    (load shedding) instead of ceasing to accept, and serves the next client."""
    config, section = configured(xml_files)
    port = free_port()
    proxy = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", "-T", "1",
                      preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
    wait_port(port)
    proxy.port = port
    flood = [connect(proxy) for _ in range(120)]
    try:
        wait_until(lambda: "failure opening file descriptor, attempting to free resources" in proxy.native_log(),
                   15, "the descriptors to run out")
        # Shed, or closed after the client time-out once there was room again.
        wait_until(lambda: all(closed_by_peer(s) for s in flood), 20, "the idle clients to be let go")
    finally:
        for sock in flood:
            sock.close()
    still_serves(proxy)


def test_client_that_never_reads_holds_back_the_origin(proxy, origin_with):
    """A client that takes nothing of a large answer: the proxy stops reading from the origin
    instead of buffering the answer, keeps serving others, and lets both connections go once
    the client leaves."""
    baseline = settled_baseline(proxy)
    total = 512 << 20
    progress = {"sent": 0}
    stalled, released = threading.Event(), threading.Event()

    def flood(conn, origin):
        origin.read(conn)
        conn.sendall(f"HTTP/1.1 200 OK\r\nContent-Length: {total}\r\n\r\n".encode())
        conn.settimeout(1)
        block = b"\0" * 65536
        while progress["sent"] < total:
            try:
                progress["sent"] += conn.send(block)
            except socket.timeout:
                stalled.set()
            except OSError:
                break
        released.set()
    origin = origin_with(flood)
    sock = connect(proxy)
    try:
        sock.sendall(f"GET {origin.url('/big')} HTTP/1.1\r\n\r\n".encode())
        assert stalled.wait(30), f"the origin was never held back ({progress['sent']} bytes taken)"
        assert progress["sent"] < 64 << 20
        still_serves(proxy)
    finally:
        sock.close()
    assert released.wait(20), "the origin connection outlived the client"
    assert_back_to(proxy, baseline)
    still_serves(proxy)


def test_endless_interim_answers_end_with_the_client(proxy, origin_with):
    """An origin that sends interim answers for ever holds a request open only while its client
    waits: once the client leaves, the origin connection and the thread go too."""
    baseline = settled_baseline(proxy)
    progress = {"sent": 0}
    released = threading.Event()

    def flood(conn, origin):
        origin.read(conn)
        try:
            while True:
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" * 100)
                progress["sent"] += 1
        except OSError:
            released.set()
    origin = origin_with(flood)
    sock = connect(proxy)
    try:
        sock.sendall(f"GET {origin.url()} HTTP/1.1\r\n\r\n".encode())
        wait_until(lambda: progress["sent"] > 100, 15, "the interim flood to flow")
        still_serves(proxy)
        sock.setblocking(False)
        with pytest.raises(BlockingIOError):
            sock.recv(1)   # nothing of the flood reached the client
    finally:
        sock.close()
    assert released.wait(20), "the origin connection outlived the client"
    assert_back_to(proxy, baseline)
    still_serves(proxy)


def test_client_bytes_behind_a_request_are_not_hoarded(proxy, origin_with):
    """While the proxy waits for an answer it reads ahead what the client sends next, but only
    so far: a client that keeps sending is held back, not stored in the proxy's memory."""
    done = threading.Event()

    def dawdle(conn, origin):
        # Interim answers now and then keep the proxy waiting for the final one.
        origin.read(conn)
        while not done.wait(0.3):
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    origin = origin_with(dawdle)
    sent, stalled = 0, False
    with connect(proxy) as sock:
        sock.sendall(f"GET {origin.url()} HTTP/1.1\r\n\r\n".encode())
        sock.settimeout(1)
        block = b"GET /next HTTP/1.1\r\n" * 3000
        try:
            while sent < 64 << 20:
                sent += sock.send(block)
        except socket.timeout:
            stalled = True
        finally:
            done.set()
    assert stalled and sent < 16 << 20, f"the proxy took {sent >> 20} MiB"
    still_serves(proxy)


def silent(head: bytes, released: threading.Event):
    """A script that sends head and then nothing; `released` is set when the proxy closes."""
    def script(conn, origin):
        origin.read(conn)
        conn.sendall(head)
        if conn.recv(1) == b"":
            released.set()
    return script


@pytest.mark.parametrize("head, status, body", [
    (b"", 503, None),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n", 503, None),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this", 200, b"only this"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\n\r\nonly this", 200, b"only this"),
], ids=["no-answer", "header-stops", "answer-stops", "answer-beyond-4-gib-stops"])
def test_origin_that_never_sends_is_let_go(proxy, origin_with, head, status, body):
    """The client gets what came within the time-outs, and the proxy closes the origin's
    connection: a silent origin holds nothing for longer."""
    released = threading.Event()
    origin = origin_with(silent(head, released))
    answer = exchange(proxy, f"GET {origin.url()} HTTP/1.1\r\nConnection: close\r\n\r\n".encode())
    got_status, lines, got_body = split(answer)
    assert got_status == status
    if body is not None:
        assert got_body == body
    assert released.wait(15), "the proxy never closed the origin's connection"
    still_serves(proxy)


def test_header_cut_off_by_the_time_out_is_no_request(proxy, origin_with):
    """A client that stops inside its header is let go when the time-out ends; what it sent
    never reaches an origin."""
    origin = origin_with(OK)
    with connect(proxy) as sock:
        sock.sendall(f"POST {origin.url()} HTTP/1.1\r\nContent-Length: 5\r\n".encode())
        assert read_all(sock) == b""
    origin.stop()
    assert origin.requests == []
    assert "request: timeout waiting for header from 127.0.0.1" in proxy.native_log()
    still_serves(proxy)


@pytest.mark.parametrize("make", [
    lambda o: f"GET {o.url()} HTTP/1.1\r\n".encode() + b"".join(b"X-N%d: v\r\n" % i for i in range(5000)) + b"\r\n",
    lambda o: f"GET {o.url('/' + 'a' * (1 << 20))} HTTP/1.1\r\n\r\n".encode(),
    lambda o: f"GET {o.url()} HTTP/1.1\r\nX-Long: ".encode() + b"b" * (1 << 20) + b"\r\n\r\n",
], ids=["thousands-of-lines", "megabyte-uri", "megabyte-line"])
def test_oversized_request_is_refused(proxy, origin_with, make):
    """A header beyond the proxy's area is answered "badrequest" and the connection closed."""
    origin = origin_with(OK)
    status, lines, body = split(exchange(proxy, make(origin)))
    assert status == 400 and b"Bad Request" in body, (status, body)
    origin.stop()
    assert origin.requests == []
    assert "request: invalid header recieved from 127.0.0.1" in proxy.native_log()
    still_serves(proxy)


# ---------------------------------------------------------------------------------------------
# CONNECT abuse

def echo(conn, origin):
    while data := conn.recv(65536):
        origin.requests.append(data)
        conn.sendall(data)


@pytest.mark.parametrize("port", [22, 25, 80, 443])
def test_connect_outside_the_port_ranges_is_refused(proxy, origin_with, port):
    """The refusal closes the connection: a request pipelined behind it is not served."""
    origin = origin_with(OK)
    answer = exchange(proxy, f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\n\r\n"
                             f"GET {origin.url('/behind')} HTTP/1.1\r\n\r\n".encode())
    status, lines, _ = split(answer)
    assert status == 404
    assert answer.count(b"HTTP/1.1 ") == 1
    origin.stop()
    assert origin.requests == []
    assert f"denied CONNECT request from 127.0.0.1 to port {port}" in proxy.native_log()
    still_serves(proxy)


@pytest.mark.parametrize("authority", [
    "127.0.0.1:{port}x", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:-{port}", ":{port}", "[::1]:{port}",
    "http://127.0.0.1:{port}", "127.0.0.1:+{port}", "127.0.0.1%00:{port}",
])
def test_connect_with_a_malformed_authority_opens_nothing(proxy, origin_with, authority):
    """A target the proxy cannot read as exactly one host and port is no target: no connection
    is opened anywhere, and the bytes behind the request go nowhere."""
    target = origin_with(echo)
    answer = exchange(proxy, f"CONNECT {authority.format(port=target.port)} HTTP/1.1\r\n\r\nhello".encode())
    status, _, _ = split(answer)
    assert status is None or status >= 400
    target.stop()
    assert target.accepted == 0
    still_serves(proxy)


def test_bytes_sent_before_the_tunnel_opens_go_through_it(proxy, origin_with):
    """What the client sends right behind its CONNECT travels through the tunnel once it is
    open; the proxy never reads it as a request of its own."""
    origin = origin_with(OK)
    target = origin_with(echo)
    early = f"GET {origin.url('/early')} HTTP/1.1\r\n\r\n".encode()
    with connect(proxy) as sock:
        sock.sendall(f"CONNECT 127.0.0.1:{target.port} HTTP/1.1\r\n\r\n".encode() + early)
        expected = b"HTTP/1.1 200 Connection Established\r\n\r\n" + early
        got = b""
        while len(got) < len(expected):
            chunk = sock.recv(65536)
            assert chunk, got
            got += chunk
        assert got == expected
    origin.stop()
    assert origin.requests == []
    still_serves(proxy)


def test_connect_whose_target_closes_at_once(proxy, origin_with):
    """The tunnel opens and ends with its target; the client connection closes with it."""
    target = origin_with(lambda conn, origin: None)
    answer = exchange(proxy, f"CONNECT 127.0.0.1:{target.port} HTTP/1.1\r\n\r\n".encode())
    assert answer == b"HTTP/1.1 200 Connection Established\r\n\r\n"
    still_serves(proxy)
