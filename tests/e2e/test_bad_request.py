"""Request headers the proxy cannot read, through the real proxy on the shipped files, with nginx
as the origin a readable request would have reached: the client is told why and let go, and
nothing reaches the origin.
"""
import socket

import pytest

from counting_origin import Nginx


@pytest.fixture
def origin(tmp_path):
    server = Nginx(tmp_path / "nginx")
    yield server
    server.stop()


def read_to_close(sock) -> bytes:
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
    return data


@pytest.mark.parametrize("head", [
    "GET http://127.0.0.1:65536/hello.txt HTTP/1.1",
    "GET http://127.0.0.1:0/hello.txt HTTP/1.1",
    "GET http://127.0.%01.1:{port}/hello.txt HTTP/1.1",
    "GET http://127.0.0.1%3a{port}/hello.txt HTTP/1.1",
    "GET http://a%40127.0.0.1:{port}/hello.txt HTTP/1.1",
    "POST http://127.0.0.1:{port}/hello.txt HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3",
    "POST http://127.0.0.1:{port}/hello.txt HTTP/1.1\r\nContent-Length: 2, 2",
    "POST http://127.0.0.1:{port}/hello.txt HTTP/1.1\r\nContent-Length: +2",
], ids=["port-above", "port-zero", "control-byte-in-host", "colon-in-host", "at-in-host", "two-lengths",
        "length-list", "length-sign"])
def test_unreadable_header_is_answered_bad_request(proxy, origin, head):
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=15) as sock:
        sock.sendall(head.format(port=origin.http_port).encode() + b"\r\n\r\n")
        answer = read_to_close(sock)
    status, _, rest = answer.partition(b"\r\n")
    assert status.startswith(b"HTTP/1.1 400 "), answer[:200]
    fields, _, body = rest.partition(b"\r\n\r\n")
    assert b"Connection: close" in fields.split(b"\r\n")
    assert b"<title>Bad Request</title>" in body
    assert "request: invalid header recieved from 127.0.0.1" in proxy.native_log()
    assert origin.access_log() == ""
