"""Responses that go wrong while the proxy buffers their body, from a scripted origin: a body
that ends short is never passed on as a complete object, and a body labelled with an encoding
it does not decode from still goes the whole way through the response stages.

The general rule is the one of test_encoding.py: a 4 MiB download buffer, compression for
clients of text/* types, so that a text answer to a client that takes gzip is buffered whole
before it is sent.
"""
import gzip
import http.client
import socket

import pytest

from conftest import start_listening, wait_until
from test_encoding import EVERY_LOG_CATEGORY, MAXDBUFFER, general_rule_add

ACCESS_LEGEND = "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url"

ARRIVED = b"".join(b"line %d that arrived before the server went away\n" % i for i in range(10))


@pytest.fixture
def proxy(tarvodine, xml_files, tmp_path):
    config, section = xml_files
    general_rule_add(config)
    started = start_listening(tarvodine, config, section, "-d", EVERY_LOG_CATEGORY, "-a", tmp_path / "access.log")
    started.access = tmp_path / "access.log"
    return started


def exchange_until_close(proxy, request: bytes) -> bytes:
    """Everything the proxy answers to request, read until it closes the connection; a proxy that
    keeps it open fails the read with a time-out."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(request)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    return answer


def access_records(proxy) -> list:
    if not proxy.access.exists():
        return []
    return [line for line in proxy.access.read_text().split("\n") if line and not line.startswith(ACCESS_LEGEND)]


TEXT_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"


@pytest.mark.parametrize("request_form, reply", [
    # buffered to be compressed for the client; half of the announced length comes
    ("GET {url} HTTP/1.1\r\nHost: {host}\r\nAccept-Encoding: gzip\r\n\r\n",
     TEXT_HEAD + b"Content-Length: %d\r\n\r\n" % (2 * len(ARRIVED)) + ARRIVED),
    # buffered to be given a length for an HTTP/1.0 client; cut inside a chunk
    ("GET {url} HTTP/1.0\r\n\r\n",
     TEXT_HEAD + b"Transfer-Encoding: chunked\r\n\r\n%x\r\n" % (2 * len(ARRIVED)) + ARRIVED),
], ids=["short of its Content-Length", "cut inside a chunk"])
def test_a_buffered_body_that_ended_short_is_never_sent_as_complete(proxy, origin_with, request_form, reply):
    origin = origin_with(reply)
    url = origin.url("/cut.txt")
    answer = exchange_until_close(proxy, request_form.format(url=url, host=f"127.0.0.1:{origin.port}").encode())
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400 "), head
    assert b"\r\ncache-control: no-cache" in head.lower(), head
    assert ARRIVED[:40] not in body and not body.startswith(b"\x1f\x8b"), body[:200]

    log = proxy.native_log()
    assert "error: Bad response from server" in log
    wait_until(lambda: "process: transfer failed" in proxy.native_log(), 10, "the failed transfer")
    [record] = wait_until(lambda: access_records(proxy), 10, "the access record")
    assert f" TCP_MISS/400 {len(body)} GET {url} " in record, record


def test_an_answer_whose_header_does_not_parse_has_its_record(proxy, origin_with):
    # The client gets the "badresponse" page; the access log says so, as for every answer.
    origin = origin_with(b"HTTP/1.1 200 " + b"O" * 300 + b"\r\nContent-Length: 2\r\n\r\nok")
    url = origin.url("/garbled")
    answer = exchange_until_close(proxy, f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n"
                                         "Connection: close\r\n\r\n".encode())
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400 ") and b"Bad Response" in body, head
    [record] = wait_until(lambda: access_records(proxy), 10, "the access record")
    assert f" TCP_MISS/400 {len(body)} GET {url} " in record, record


# path -> body sent with Content-Encoding: gzip
UNDECODABLE = {
    "/corrupt.txt": b"this body was never compressed by anyone, whatever its header says\n" * 20,
    # 8 MiB of one byte inflate from some 8 KiB: past the download buffer.
    "/bomb.txt": gzip.compress(b"a" * (2 * MAXDBUFFER)),
}


@pytest.mark.parametrize("path", sorted(UNDECODABLE))
def test_a_body_that_does_not_decode_still_goes_through_to_the_raw_command(proxy, origin_with, path):
    sent = UNDECODABLE[path]
    origin = origin_with(TEXT_HEAD + b"Content-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(sent) + sent)
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        conn.request("GET", f"http://xx--raw.127.0.0.1:{origin.port}{path}")
        response = conn.getresponse()
        body = response.read()
    finally:
        conn.close()
    # The command's page answers, not the body passed on around the stages as it came.
    assert response.getheader("Content-Encoding") is None
    assert body != sent
    assert "failed to decompress gzip encoded content" in proxy.native_log()
