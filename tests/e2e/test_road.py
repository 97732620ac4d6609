"""Answers nginx never sends, from a scripted origin in this process: HTTP/0.9, interim 100
answers, a status line that does not parse, bodies cut short or badly chunked, trailers; and
chunked uploads, relayed to the origin without leaving anything for the next request.
"""
import socket

import pytest


def exchange(proxy, request: bytes) -> bytes:
    """Sends the request bytes and reads until the proxy closes the connection."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(request)
        data = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return data
            data += chunk


def get(origin, version="HTTP/1.0", extra=b"") -> bytes:
    return f"GET {origin.url()} {version}\r\n".encode() + extra + b"\r\n"


def split(answer: bytes):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return lines[0], headers, body


@pytest.mark.parametrize("reply, status, body", [
    (b"just some text\nand more\n", "200", b"just some text\nand more\n"),
    (b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 4\r\n\r\ndone", "201", b"done"),
    (b"HTTP/1.1 0 Nothing\r\n\r\n", "400", None),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nwiki\r\n5\r\npedia\r\n0\r\nX-Sum: 1\r\n\r\n",
     "200", b"wikipedia"),
])
def test_unusual_answers_reach_the_client_as_http(proxy, origin_with, reply, status, body):
    origin = origin_with(reply)
    status_line, headers, got = split(exchange(proxy, get(origin)))
    assert status_line.startswith("HTTP/1.1 ") and status_line.split()[1] == status, status_line
    if body is not None:
        assert got == body
    else:
        assert headers.get("cache-control") == "no-cache"
    assert "chunked" not in headers.get("transfer-encoding", "")


@pytest.mark.parametrize("reply, sent", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this", b"only this"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n40\r\nab", b"5\r\nhello\r\n40\r\nab"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nfffffffffffffffffff\r\n", b"5\r\nhello\r\n"),
])
def test_a_body_cut_short_is_never_completed(proxy, origin_with, reply, sent):
    """The client gets what came and then the close: no made-up end of the body, no reuse."""
    origin = origin_with(reply)
    status_line, headers, got = split(exchange(proxy, get(origin, "HTTP/1.1")))
    assert status_line.split()[1] == "200"
    assert got == sent
    assert not got.endswith(b"0\r\n\r\n")
    assert "process: transfer failed" in proxy.native_log()


def test_chunked_answer_to_http11_is_rechunked(proxy, origin_with):
    origin = origin_with(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                         b"4;ext=1\r\nwiki\r\n5\r\npedia\r\n0\r\nX-Sum: 1\r\n\r\n")
    _, headers, got = split(exchange(proxy, get(origin, "HTTP/1.1", b"Connection: close\r\n")))
    assert headers["transfer-encoding"] == "chunked"
    assert got == b"4\r\nwiki\r\n5\r\npedia\r\n0\r\n\r\n"


def test_chunked_upload_reaches_the_origin_and_the_next_request_follows(proxy, origin_with):
    ok = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
    origin = origin_with(ok, ok)
    upload = (f"POST {origin.url('/up')} HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n".encode()
              + b"3\r\nabc\r\n4;x=y\r\ndefg\r\n0\r\n\r\n")
    follow = f"GET {origin.url('/next')} HTTP/1.1\r\nConnection: close\r\n\r\n".encode()
    answers = exchange(proxy, upload + follow)
    assert answers.count(b"HTTP/1.1 200 OK\r\n") == 2, answers
    first, second = origin.requests
    head, _, body = first.partition(b"\r\n\r\n")
    assert head.startswith(b"POST /up HTTP/1.1\r\n")
    # Within the shipped upload buffer the body is read whole and goes on with its length.
    assert b"\r\ncontent-length: 7" in head.lower() and b"transfer-encoding" not in head.lower(), head
    assert body == b"abcdefg"
    assert second.startswith(b"GET /next HTTP/1.1\r\n")


def test_an_origin_form_host_is_lower_cased(proxy, origin_with):
    origin = origin_with(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
    request = f"GET /x HTTP/1.0\r\nHost: LocalHost:{origin.port}\r\n\r\n".encode()
    _, _, got = split(exchange(proxy, request))
    assert got == b"ok"
    assert f"Host: localhost:{origin.port}\r\n".encode() in origin.requests[0]
