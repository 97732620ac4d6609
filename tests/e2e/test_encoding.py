"""Content encoding through the proxy: bodies that servers send compressed (gzip from nginx, and
the deflate and gzip forms of a small Python origin) are decoded when the proxy must process
them, and compressed again for clients that accept it. What the client receives is checked with
`gzip -d` and Python's zlib and gzip modules.

The general rule used: 4 MiB download buffer, servers asked for compression, compression for
clients of text/* types.
"""
import gzip
import http.client
import http.server
import shutil
import socket
import struct
import subprocess
import zlib

import pytest

from conftest import section_set, served, start_listening, wait_until
from origin import Origin

GENERAL_GLOBALS = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20",
                   "pooltimeout": "30"}
GENERAL_RULE = {"enabled": "true", "comment": "", "profiles": "", "ctimeout": "60", "timeout": "60",
                "keeptimeout": "60", "maxdbuffer": "4M", "maxubuffer": "1M", "bufferwait": "0",
                "cportrange": "443", "encodemime": "text/.*", "compressout": "true", "compressin": "true",
                "xforwardedfor": "false", "via": "true"}
MAXDBUFFER = 4 << 20
EVERY_LOG_CATEGORY = str(0xFFFFFFF)

TEXT = b"".join(b"line %d of a text that compresses well\n" % i for i in range(3000))


def gzip_with_every_header_field(data: bytes) -> bytes:
    """A gzip member whose header carries an extra field, a file name, a comment and a header
    CRC, as RFC 1952 allows."""
    header = b"\x1f\x8b\x08" + bytes([0x04 | 0x08 | 0x10 | 0x02]) + struct.pack("<I", 0) + b"\x00\x03"
    header += struct.pack("<H", 4) + b"ab\x01\x00" + b"text.txt\x00" + b"a comment\x00"
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = raw.compress(data) + raw.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def raw_deflate(data: bytes) -> bytes:
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    return raw.compress(data) + raw.flush()


# path -> (Content-Encoding, body sent, what it decodes to)
ENCODED = {
    "/zlib.txt": ("deflate", zlib.compress(TEXT), TEXT),
    "/raw.txt": ("deflate", raw_deflate(TEXT), TEXT),
    "/named.txt": ("gzip", gzip_with_every_header_field(TEXT), TEXT),
    # 64 MiB of one byte inflate from some 64 KiB: far past the download buffer.
    "/bomb.txt": ("gzip", gzip.compress(b"a" * (64 << 20)), None),
}


class EncodedHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    seen = {}

    def do_GET(self):
        EncodedHandler.seen[self.path] = self.headers.get("Accept-Encoding")
        encoding, body, _ = ENCODED[self.path]
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Encoding", encoding)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def encoded_origin():
    with served(http.server.ThreadingHTTPServer(("127.0.0.1", 0), EncodedHandler)) as server:
        yield server.server_address[1]


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


def general_rule_add(config):
    """Gives the configuration file the general section with the rule used here."""
    fields = "".join(f"<{k}>{v}</{k}>" for k, v in GENERAL_GLOBALS.items())
    rule = "<rule>" + "".join(f"<{k}>{v}</{k}>" for k, v in GENERAL_RULE.items()) + "</rule>"
    config.write_text(section_set(config.read_text(), f"<general>{fields}{rule}</general>"))


@pytest.fixture
def proxy(tarvodine, xml_files):
    config, section = xml_files
    general_rule_add(config)
    return start_listening(tarvodine, config, section, "-d", EVERY_LOG_CATEGORY)


def get(proxy, url, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=60)
    try:
        conn.request("GET", url, headers=headers or {})
        response = conn.getresponse()
        return response, response.read()
    finally:
        conn.close()


def get_http10(proxy, url, accept_encoding):
    """A GET as an HTTP/1.0 client sends it; the status line, the headers and the body."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as sock:
        sock.sendall(f"GET {url} HTTP/1.0\r\nAccept-Encoding: {accept_encoding}\r\n\r\n".encode())
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return lines[0], headers, body


def gunzip_with_the_tool(data: bytes) -> bytes:
    if shutil.which("gzip") is None:
        pytest.skip("gzip is not installed")
    run = subprocess.run(["gzip", "-d", "-c"], input=data, capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_gzip_from_nginx_is_decoded_for_a_client_that_does_not_take_it(proxy, origin):
    plain = origin.file("gz/big.txt")
    response, body = get(proxy, origin.url("/gz/big.txt"))
    assert response.status == 200
    assert response.getheader("Content-Encoding") is None
    assert body == plain
    assert response.getheader("Content-Length") == str(len(plain))
    log = proxy.native_log()
    assert "request: asking server for encoded content" in log
    assert "decompressed gzip encoded file" in log
    # nginx did compress: it sent far fewer bytes than the file holds.
    line = origin.log_lines('"GET /gz/big.txt HTTP/1.1" 200 ')[-1]
    assert int(line.split('" 200 ')[1].split()[0]) < len(plain) // 4


@pytest.mark.parametrize("accept, encoding", [("gzip", "gzip"), ("deflate", "deflate")])
def test_a_processed_body_is_compressed_again_for_a_client_that_takes_it(proxy, origin, accept, encoding):
    # nginx answers chunked; an HTTP/1.0 client needs a length, so the proxy buffers the body,
    # decoding what nginx compressed, and compresses it again for the client.
    plain = origin.file("gz/big.txt")
    status, headers, body = get_http10(proxy, origin.url("/gz/big.txt"), accept)
    assert status.split()[1] == "200", status
    assert headers.get("content-encoding") == encoding
    assert "transfer-encoding" not in headers
    assert int(headers["content-length"]) == len(body)
    assert len(body) < len(plain) // 4
    if encoding == "gzip":
        assert gzip.decompress(body) == plain
        assert gunzip_with_the_tool(body) == plain
        assert "decompressed gzip encoded file" in proxy.native_log()
    else:
        assert zlib.decompress(body, -15) == plain
    wait_until(lambda: f"{encoding} encoded file" in proxy.native_log(), 10, "the log line")


@pytest.mark.parametrize("path", ["/zlib.txt", "/raw.txt", "/named.txt"])
def test_every_deflate_and_gzip_form_is_decoded(proxy, encoded_origin, path):
    response, body = get(proxy, f"http://127.0.0.1:{encoded_origin}{path}")
    assert response.status == 200
    assert response.getheader("Content-Encoding") is None
    assert body == ENCODED[path][2]
    assert EncodedHandler.seen[path] == "gzip, deflate"


def test_a_body_inflating_past_the_buffer_limit_is_passed_on_undecoded(proxy, encoded_origin):
    encoding, packed, _ = ENCODED["/bomb.txt"]
    response, body = get(proxy, f"http://127.0.0.1:{encoded_origin}/bomb.txt")
    assert response.status == 200
    assert response.getheader("Content-Encoding") == encoding
    assert body == packed
    log = proxy.native_log()
    assert f"zlib: decompressed content exceeds {MAXDBUFFER} bytes" in log
    assert "failed to decompress gzip encoded content" in log
