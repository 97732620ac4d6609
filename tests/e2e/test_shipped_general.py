"""The shipped configuration's General rule at work, against a real nginx: with its download
buffer an answer that nginx sends chunked reaches an HTTP/1.0 client, which cannot read chunks,
whole and with a Content-Length."""
import socket

import pytest

from origin import Origin


@pytest.fixture
def origin(tmp_path):
    server = Origin(tmp_path / "nginx", big=False)
    yield server
    server.stop()


def test_chunked_answer_reaches_an_http10_client_with_its_length(proxy, origin):
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(f"GET {origin.url('/chunked/')} HTTP/1.0\r\n\r\n".encode())
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    status, *lines = head.decode("latin-1").split("\r\n")
    assert status.split()[1] == "200", status
    fields = {name.strip().lower(): value.strip() for name, _, value in (line.partition(":") for line in lines)}
    assert "transfer-encoding" not in fields
    assert fields.get("content-length") == str(len(body)), fields
    assert body.startswith(b"<html><body>part1 ") and body.endswith(b" part2</body></html>\n"), body
