"""The cookie filter against an origin that sets cookies and echoes the request header: rules
judge incoming cookies by direction, profiles, domain, path and expiry and outgoing ones by
direction and profiles, in the two-pass order; every line that goes out, with the filter on or
off, goes out as received, flags and attributes included."""
import re
import socket

import pytest

from conftest import start_listening
from echo_origin import EchoOrigin
from rules_helpers import element, proxy_with

SET_COOKIES = [
    ("Set-Cookie", "id=7;Path=/;Domain=shop;Secure;HttpOnly;SameSite=Strict"),
    ("Set-Cookie", "t=1; domain=tracker.example; path=/"),
    ("Set-Cookie", "p=3; path=/private"),
    ("Set-Cookie", "s=2; Max-Age=60; expires=Wed, 09 Jun 2027 10:18:14 GMT; Partitioned"),
]
AS_RECEIVED = {value.split("=", 1)[0]: value for _, value in SET_COOKIES}
OUTGOING = "$Version=1;a=b; $Path=/"
RULE = {"enabled": "true", "comment": "", "profiles": "", "domain": "", "path": "", "direction": "2",
        "timematch": "absolute"}


def cookies(order: str, *rules) -> str:
    return element("cookies-filtering", {"enabled": "true", "order": order},
                   *((kind, dict(RULE, **values)) for kind, values in rules))


def raw_get(proxy, url: str, extra: str = ""):
    """(status line, [(name, value)] in order, body) of one HTTP/1.0 GET."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as sock:
        sock.sendall(f"GET {url} HTTP/1.0\r\n{extra}\r\n".encode())
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    return lines[0], [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:]], body


@pytest.fixture
def origin():
    server = EchoOrigin(SET_COOKIES)
    yield server
    server.stop()


def test_the_shipped_configuration_passes_cookie_lines_as_received(tarvodine, xml_files, origin):
    proxy = start_listening(tarvodine, *xml_files)
    status, headers, body = raw_get(proxy, origin.url("/page"), f"Cookie: {OUTGOING}\r\n")
    assert status.startswith("HTTP/1.1 200"), status
    assert [value for name, value in headers if name.lower() == "set-cookie"] == list(AS_RECEIVED.values())
    assert f"Cookie: {OUTGOING}\r\n".encode() in origin.seen[0]


@pytest.mark.parametrize("section, kept, outgoing_kept", [
    (cookies("deny_allow", ("deny", {"direction": "0", "domain": r"^tracker\."})), "idps", True),
    # Outgoing cookies are judged by direction and profiles alone: the domain pattern is not read.
    (cookies("deny_allow", ("deny", {"direction": "1", "domain": "never-matches"})), "idtps", False),
    (cookies("deny_allow", ("deny", {"direction": "2", "profiles": "kids"})), "idtps", True),
    (cookies("deny_allow", ("deny", {"direction": "0", "year": "2027,2027"})), "idtp", True),
    # Allow first: what no allow rule admits is dropped, and a deny rule may drop an admitted one.
    (cookies("allow_deny", ("allow", {}), ("deny", {"direction": "0", "path": "^/private"})), "idts", True),
    (cookies("allow_deny", ("allow", {"direction": "0", "domain": "^shop$"})), "id", False),
])
def test_cookie_lines_are_judged_both_ways_and_kept_as_received(tarvodine, xml_files, origin, section, kept, outgoing_kept):
    proxy = proxy_with(tarvodine, xml_files, section)
    status, headers, body = raw_get(proxy, origin.url("/page"), f"Cookie: {OUTGOING}\r\n")
    assert status.startswith("HTTP/1.1 200"), status

    received = [value for name, value in headers if name.lower() == "set-cookie"]
    expected_names = ["id"] if kept == "id" else list(kept.replace("id", "i"))
    expected = [AS_RECEIVED["id" if n == "i" else n] for n in expected_names]
    assert received == expected

    sent = [line for line in origin.seen[0].decode("latin-1").split("\r\n") if line.lower().startswith("cookie:")]
    assert sent == ([f"Cookie: {OUTGOING}"] if outgoing_kept else [])
    assert body == origin.seen[0]
    log = proxy.native_log()
    assert ("blocked: outgoing to 127.0.0.1" in log) == (not outgoing_kept)
    assert ("blocked: incoming from 127.0.0.1" in log) == (len(expected) < len(SET_COOKIES))


def test_the_bypass_letter_c_passes_every_line_as_received(tarvodine, xml_files, origin):
    config = xml_files[0]
    # The shipped access rule grants URL commands; the bypass command needs its own permission.
    config.write_text(config.read_text().replace("connect,urlcommand</access>", "connect,urlcommand,bypass</access>"))
    proxy = proxy_with(tarvodine, xml_files, cookies("allow_deny"))
    url = origin.url("/page").replace("http://", "http://xx--bypass[c].")
    _, headers, _ = raw_get(proxy, url, f"Cookie: {OUTGOING}\r\n")
    assert [value for name, value in headers if name.lower() == "set-cookie"] == list(AS_RECEIVED.values())
    assert f"Cookie: {OUTGOING}\r\n".encode() in origin.seen[0]


def dialogs(page: str):
    """[(head, [(first cell, second cell)])] of each cookie dialog of a cookies page, in order."""
    found = []
    for part in page.split('<table class="dialog">')[1:]:
        part = part.split("</table>")[0]
        head = re.search(r'class="dialoghead" align="center">(.*?)</td>', part).group(1)
        found.append((head, re.findall(r"<tr><td>(.*?)</td><td>(.*?)</td></tr>", part)))
    return found


def test_the_cookies_page_lists_what_the_request_sent_and_the_response_set(tarvodine, xml_files):
    server = EchoOrigin(SET_COOKIES + [("Set-Cookie2", "n=<b>x</b>; Path=/a&b"),
                                       ("Set-Cookie-Foo", "z=1"),   # only begins like a cookie line
                                       ("Set-Cookie", "Path=/only")])
    try:
        # The filter would drop every cookie line: the page shows what was sent and received.
        proxy = proxy_with(tarvodine, xml_files, cookies("allow_deny"))
        status, headers, body = raw_get(proxy, f"http://xx--cookies.127.0.0.1:{server.port}/p<i>",
                                        f"Cookie: {OUTGOING}\r\nCookie2: c=<i>d</i>\r\nCookie-Foo: e=f\r\n")
    finally:
        server.stop()
    assert status.startswith("HTTP/1.1 200"), status
    assert dict((n.lower(), v) for n, v in headers)["content-type"].startswith("text/html")
    page = body.decode("latin-1")
    assert "<title>Cookies for 127.0.0.1/p&lt;i&gt;</title>" in page
    assert dialogs(page) == [
        ("Sent cookie", [("a", "b")]),
        ("Sent cookie", [("c", "&lt;i&gt;d&lt;/i&gt;")]),
        ("Received cookie", [("Domain", "shop"), ("Path", "/"), ("id", "7"), ("SameSite", "Strict")]),
        ("Received cookie", [("Domain", "tracker.example"), ("Path", "/"), ("t", "1")]),
        ("Received cookie", [("Path", "/private"), ("p", "3")]),
        ("Received cookie", [("Expires", "Wed, 09-Jun-2027 10:18:14 GMT"), ("s", "2"), ("Max-Age", "60")]),
        ("Received cookie", [("Path", "/a&amp;b"), ("n", "&lt;b&gt;x&lt;/b&gt;")]),
        ("Received cookie", [("Path", "/only")]),
    ]
    # The page takes the place of the origin's answer, whose body was the request header.
    assert "GET /p" not in page and "<b>" not in page and "<i>" not in page
    assert page.rstrip().endswith("</table></body></html>")
