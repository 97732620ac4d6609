"""The header filter against an origin that echoes the request header: received lines are
removed in both directions by the two-pass order, added lines appear once, and lines the proxy
writes from its own fields are out of the filter's reach."""
import pytest

from echo_origin import EchoOrigin
from rules_helpers import element, proxy_with
from test_cookie import raw_get

RESPONSE_LINES = [("X-Powered-By", "origin"), ("X-Origin-Note", "kept"), ("X-Keep-Resp", "1"),
                  ("X-Secret", "from-origin")]
REQUEST_LINES = "X-Secret: s\r\nX-Public: p\r\nX-Keep-Me: k\r\n"
RULE = {"enabled": "true", "comment": "", "profiles": "", "name": "", "value": "", "direction": "3"}


def headers_section(order: str, *rules) -> str:
    return element("header-filtering", {"enabled": "true", "order": order},
                   *((kind, dict(RULE, **values)) for kind, values in rules))


@pytest.fixture
def origin():
    server = EchoOrigin(RESPONSE_LINES)
    yield server
    server.stop()


def names(lines):
    return [name.lower() for name, _ in lines]


@pytest.mark.parametrize("section, upstream, downstream", [
    # Deny first: a line goes only when a deny rule of its direction matches it.
    (headers_section("deny_allow",
                     ("deny", {"name": "^X-Secret$", "direction": "1"}),
                     ("deny", {"name": "^X-Powered-By$", "direction": "2"}),
                     ("deny", {"name": "^Content-Type$", "direction": "2"}),
                     ("deny", {"value": "^p$", "direction": "1", "profiles": "kids"}),
                     ("add", {"name": "X-Added", "value": "@CLIENTID@", "direction": "1"}),
                     ("add", {"name": "X-Note", "value": "hi", "direction": "2"}),
                     ("add", {"name": "X-Note", "value": "again", "direction": "2"}),
                     ("add", {"name": "X-Empty", "value": "", "direction": "3"})),
     {"x-public": "p", "x-keep-me": "k", "x-added": "@CLIENTID@"},
     {"x-origin-note": "kept", "x-keep-resp": "1", "x-secret": "from-origin", "content-type": "text/plain",
      "x-note": "hi,again"}),
    # Allow first: only what an allow rule admits stays, unless a deny rule takes it again.
    (headers_section("allow_deny",
                     ("allow", {"name": "^X-Keep"}),
                     ("deny", {"name": "^X-Keep-Resp$", "direction": "2"})),
     {"x-keep-me": "k"},
     {"content-type": "text/plain"}),
])
def test_lines_are_removed_and_added_in_both_directions(tarvodine, xml_files, origin, section, upstream, downstream):
    proxy = proxy_with(tarvodine, xml_files, section)
    status, lines, body = raw_get(proxy, origin.url("/page"), REQUEST_LINES)
    assert status.startswith("HTTP/1.1 200"), status
    assert body == origin.seen[0]

    received = [line.split(": ", 1) for line in origin.seen[0].decode("latin-1").split("\r\n")[1:] if line]
    sent_upstream = {}
    for name, value in received:
        if name.lower().startswith("x-"):
            sent_upstream.setdefault(name.lower(), []).append(value)
    assert {k: ",".join(v) for k, v in sent_upstream.items()} == upstream
    assert any(name.lower() == "host" for name, _ in received), "the Host line comes from the header's own field"

    got = {}
    for name, value in lines:
        if name.lower().startswith("x-") or name.lower() == "content-type":
            got.setdefault(name.lower(), []).append(value)
    assert {k: ",".join(v) for k, v in got.items() if k != "x-cache"} == downstream


def test_the_bypass_letter_h_writes_headers_as_received(tarvodine, xml_files, origin):
    config = xml_files[0]
    # The shipped access rule grants URL commands; the bypass command needs its own permission.
    config.write_text(config.read_text().replace("connect,urlcommand</access>", "connect,urlcommand,bypass</access>"))
    proxy = proxy_with(tarvodine, xml_files, headers_section("allow_deny", ("add", {"name": "X-A", "value": "1"})))
    url = origin.url("/page").replace("http://", "http://xx--bypass[h].")
    _, lines, _ = raw_get(proxy, url, REQUEST_LINES)
    assert b"X-Secret: s\r\n" in origin.seen[0] and b"X-A:" not in origin.seen[0]
    assert "x-powered-by" in names(lines) and "x-a" not in names(lines)
