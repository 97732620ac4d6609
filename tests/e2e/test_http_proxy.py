"""HTTP through the proxy against a real nginx on 127.0.0.1: methods, bodies, chunked answers
for HTTP/1.0 clients, keep-alive and pipelining on one client connection, and large bodies.

The proxy listens on the -L address; the origin is tests/e2e/origin.py.
"""
import hashlib
import http.client
import os
import socket
import subprocess
import time

import pytest

from conftest import wait_until
from origin import Origin


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"))
    yield server
    server.stop()


def connect(proxy, timeout=30) -> http.client.HTTPConnection:
    return http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=timeout)


def exchange(conn, method, url, body=None, headers=None):
    conn.request(method, url, body=body, headers=headers or {})
    response = conn.getresponse()
    return response, response.read()


def read_until_closed(sock) -> bytes:
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


@pytest.mark.parametrize("method, path, body, status, expect", [
    ("GET", "/1k.bin", None, 200, "file"),
    ("HEAD", "/1k.bin", None, 200, b""),
    ("POST", "/echo", b"name=value&other=\x00\xff binary", 200, b"name=value&other=\x00\xff binary"),
    ("GET", "/status/404", None, 404, b"not here\n"),
])
def test_requests_reach_the_origin(proxy, origin, method, path, body, status, expect):
    conn = connect(proxy)
    response, got = exchange(conn, method, origin.url(path), body=body)
    conn.close()
    assert response.status == status
    assert got == (origin.file(path.lstrip("/")) if expect == "file" else expect)
    if method == "HEAD":
        assert response.getheader("Content-Length") == "1024"
    # What crossed the wire to the origin: the origin-form request line.
    wait_until(lambda: f'"{method} {path} HTTP/1.1"' in origin.access_log(), 10, "the origin's log line")


def test_curl_fetches_through_the_proxy(proxy, origin, tmp_path):
    out = tmp_path / "1m.out"
    run = subprocess.run(["curl", "-sS", "-x", f"http://127.0.0.1:{proxy.port}", "-o", str(out),
                          "-w", "%{http_code}", origin.url("/1m.bin")],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "200"
    assert out.read_bytes() == origin.file("1m.bin")

    head = subprocess.run(["curl", "-sS", "-I", "-x", f"http://127.0.0.1:{proxy.port}", origin.url("/1k.bin")],
                          capture_output=True, text=True, timeout=60)
    assert head.returncode == 0, head.stderr
    assert head.stdout.splitlines()[0].split()[1] == "200"
    assert "content-length: 1024" in head.stdout.lower()


def test_chunked_answer_is_reframed_for_an_http10_client(proxy, origin):
    # nginx always sends the SSI page chunked; an HTTP/1.0 client cannot read chunks.
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(f"GET {origin.url('/chunked/')} HTTP/1.0\r\n\r\n".encode())
        answer = read_until_closed(sock)
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    assert lines[0].split()[1] == "200", lines[0]
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    assert "chunked" not in headers.get("transfer-encoding", "")
    assert body.startswith(b"<html><body>part1 ") and body.endswith(b" part2</body></html>\n"), body
    if "content-length" in headers:
        assert int(headers["content-length"]) == len(body)

    # An HTTP/1.1 client gets the same page, however it is framed.
    conn = connect(proxy)
    response, got = exchange(conn, "GET", origin.url("/chunked/"))
    conn.close()
    assert response.status == 200
    assert got.startswith(b"<html><body>part1 ") and got.endswith(b" part2</body></html>\n")


def test_keepalive_serves_many_requests_on_one_connection(proxy, origin):
    conn = connect(proxy)
    conn.connect()
    sock = conn.sock
    paths = ["/1k.bin", "/1m.bin", "/status/404", "/1k.bin"] * 5
    for i, path in enumerate(paths):
        response, got = exchange(conn, "GET", origin.url(path))
        assert response.status == (404 if "404" in path else 200)
        assert got == (b"not here\n" if "404" in path else origin.file(path.lstrip("/")))
        assert conn.sock is sock, f"request {i + 1} needed a new connection"
        if i % 3 == 0:
            # The next request comes after the connection went back to the client pool.
            time.sleep(0.1)
    conn.close()
    wait_until(lambda: f"127.0.0.1 disconnected after making {len(paths)} requests" in proxy.native_log(), 10,
               "the disconnect line")


def test_pipelined_requests_are_answered_in_order(proxy, origin):
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(b"".join(f"GET {origin.url(p)} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n\r\n".encode()
                              for p in ("/1k.bin", "/status/404", "/1k.bin")))
        answers = sock.makefile("rb")
        for status, expect in ((200, origin.file("1k.bin")), (404, b"not here\n"), (200, origin.file("1k.bin"))):
            assert int(answers.readline().split()[1]) == status
            length = None
            while (line := answers.readline()) not in (b"\r\n", b""):
                name, _, value = line.decode("latin-1").partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value)
            assert length == len(expect)
            assert answers.read(length) == expect


def test_large_bodies_arrive_byte_identical(proxy, origin):
    conn = connect(proxy, timeout=120)
    response, got = exchange(conn, "GET", origin.url("/big.bin"))
    assert response.status == 200
    assert len(got) == len(origin.file("big.bin"))
    assert hashlib.sha256(got).digest() == hashlib.sha256(origin.file("big.bin")).digest()

    upload = os.urandom(24 * 1024 * 1024)
    response, got = exchange(conn, "POST", origin.url("/echo"), body=upload,
                             headers={"Content-Type": "application/octet-stream"})
    conn.close()
    assert response.status == 200
    assert len(got) == len(upload)
    assert hashlib.sha256(got).digest() == hashlib.sha256(upload).digest()
