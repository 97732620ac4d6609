"""Rewrite rules against nginx: the request line and the response header are rewritten as raw
text, bodies are rewritten both ways, and the Content-Length the client receives is that of the
rewritten body."""
import os

import pytest

from origin import ECHO_MODULE
from rules_helpers import element, exchange, get, origin_with_pages, proxy_with

PAGE = b"<html><body>" + b"hello world. " * 500 + b"</body></html>\n"


def rule(pattern: str, replacement: str, which: int, mime: str = "") -> tuple:
    return ("rewrite", {"enabled": "true", "comment": "", "profiles": "", "mime": mime, "pattern": pattern,
                        "replace": replacement, "which": str(which)})


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {"/page.html": PAGE, "/real.html": b"real\n"})
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files):
    section = element(
        "rewrite", {"enabled": "true"},
        rule(r"^(GET\ \S*)/alias\.html", "$1/real.html", 1),
        rule(r"^User-Agent:\ [^\r]*", "User-Agent: rewritten-agent", 1),
        rule(r"^Content-Type:", "X-Rewritten: yes\\r\\nContent-Type:", 2),
        rule(r"hello\ world", "greetings, wide world", 4, mime="^text/html"),
        rule(r"greetings", "hi", 4),
        rule(r"secret", "", 8))
    return proxy_with(tarvodine, xml_files, section)


def test_the_request_line_and_fields_are_rewritten_before_they_are_parsed(proxy, origin):
    status, _, body = get(proxy, origin.url("/alias.html"), "User-Agent: probe/1.0\r\n")
    assert status.startswith("HTTP/1.1 200"), status
    assert body == b"real\n"
    line = origin.log_lines("GET /real.html ")[-1]
    assert '"rewritten-agent"' in line


def test_response_headers_and_body_are_rewritten_and_the_length_follows(proxy, origin):
    status, headers, body = get(proxy, origin.url("/page.html"))
    assert status.startswith("HTTP/1.1 200"), status
    assert headers["x-rewritten"] == "yes"
    # The second body rule works on what the first one left.
    assert body == PAGE.replace(b"hello world", b"hi, wide world")
    assert int(headers["content-length"]) == len(body) != len(PAGE)


# A body the rules empty altogether still goes with a length that matches it.
@pytest.mark.skipif(not os.path.exists(ECHO_MODULE), reason="nginx echo module not installed")
@pytest.mark.parametrize("payload, echoed", [(b"user=a&secret=1&note=secret", b"user=a&=1&note="),
                                             (b"secret", b"")])
def test_a_request_body_is_rewritten_and_sent_with_its_new_length(proxy, origin, payload, echoed):
    status, _, body = exchange(proxy, (f"POST {origin.url('/echo')} HTTP/1.0\r\n"
                                       f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload)
    assert status.startswith("HTTP/1.1 200"), status
    assert body == echoed
