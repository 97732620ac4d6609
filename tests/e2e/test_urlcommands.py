"""URL commands end to end: prefixes in front of the host name are cut off before the request
goes on, a follow-up GET without commands is redirected with the referrer's, other follow-ups
take them over, redirect Locations keep them, and nothing decoded from a Referer reaches a
header line. Against nginx (start-nginx.sh) and an origin in this process that records what
crossed the wire.
"""
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import free_port, source_dir, wait_port
from counting_origin import CountingOrigin, Nginx, header, proxy_get


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(tmp_path_factory.mktemp("nginx"))
    yield server
    server.stop()


@pytest.fixture
def origin():
    server = CountingOrigin()
    yield server
    server.stop()


def test_commands_are_cut_off_before_the_request_goes_on(proxy, origin):
    host = f"xx--fresh.XX--bypass[k-f].127.0.0.1:{origin.port}"
    got = proxy_get(proxy, f"http://{host}/page", host)
    assert got.status == 200
    [(_, head)] = origin.requests
    assert head.startswith(b"GET /page HTTP/1.1\r\n")
    assert header(head, "Host") == f"127.0.0.1:{origin.port}"
    assert b"xx--" not in head.lower()


def test_a_get_without_commands_is_redirected_with_the_referrers(proxy, origin):
    plain = f"127.0.0.1:{origin.port}"
    referer = f"http://xx--fresh.127.0.0.1:{origin.port}/page1"
    got = proxy_get(proxy, f"http://{plain}/page2?x=1", plain, {"Referer": referer})
    assert got.status == 302
    assert got.headers["location"] == f"http://xx--fresh.127.0.0.1:{origin.port}/page2?x=1"
    assert got.headers["content-length"] == "0"
    assert origin.requests == []

    # The client follows it: the request has its own commands now and is served, with the
    # Referer naming the referring page without them.
    host = f"xx--fresh.{plain}"
    got = proxy_get(proxy, f"http://{host}/page2?x=1", host, {"Referer": referer})
    assert got.status == 200
    [(_, head)] = origin.requests
    assert header(head, "Referer") == f"http://127.0.0.1:{origin.port}/page1"


def test_other_follow_ups_take_the_referrers_commands_over(proxy, origin):
    plain = f"127.0.0.1:{origin.port}"
    referer = f"http://xx--fresh.127.0.0.1:{origin.port}/form?a=1%202&b=/c"
    got = proxy_get(proxy, f"http://{plain}/post", plain, {"Referer": referer}, method="POST", body=b"k=v")
    assert got.status == 200
    [(_, head)] = origin.requests
    assert head.startswith(b"POST /post HTTP/1.1\r\n")
    # The rest of the Referer is kept as the browser wrote it.
    assert header(head, "Referer") == f"http://127.0.0.1:{origin.port}/form?a=1%202&b=/c"


def test_redirect_locations_keep_the_requests_commands(proxy, nginx):
    host = f"xx--fresh.127.0.0.1:{nginx.http_port}"
    got = proxy_get(proxy, f"http://{host}/redirect", host)
    assert got.status == 302
    assert got.headers["location"] == f"http://xx--fresh.127.0.0.1:{nginx.http_port}/hello.txt"


@pytest.mark.parametrize("referer", [
    "http://xx--fresh%0d%0aSet-Cookie:%20injected=1.127.0.0.1/",
    "http://xx--template%5Bx%0d%0aSet-Cookie:%20injected=1%5D.127.0.0.1/",
    "http://xx--fresh.127.0.0.1/%0d%0aSet-Cookie:%20injected=1",
])
def test_nothing_decoded_from_a_referer_reaches_a_header_line(proxy, origin, referer):
    plain = f"127.0.0.1:{origin.port}"
    for method in ("GET", "POST"):
        got = proxy_get(proxy, f"http://{plain}/x", plain, {"Referer": referer}, method=method,
                        body=b"" if method == "POST" else None)
        assert "set-cookie" not in got.headers
        assert all("injected" not in value for value in got.headers.values())
    for _, head in origin.requests:
        assert b"\r\nSet-Cookie" not in head
        assert b"\r\n\r\n" not in head


def shipped_access_rules():
    """The shipped configuration's access section, or None while no access section exists."""
    section = ElementTree.parse(source_dir() / "etc" / "section.xml").getroot()
    config = ElementTree.parse(source_dir() / "etc" / "tarvodine.xml").getroot()
    if section.find("access") is None or config.find("access") is None:
        return None
    return config


@pytest.mark.skipif(shipped_access_rules() is None, reason="no access section is declared yet")
@pytest.mark.parametrize("permitted, status", [(True, 503), (False, 200)])
def test_commands_take_effect_only_with_the_permission(tarvodine, xml_files, nginx, permitted, status):
    config, section = xml_files
    tree = ElementTree.parse(config)
    for rule in tree.getroot().find("access"):
        permissions = rule.find("access")
        if permissions is None:
            continue
        names = [n for n in (permissions.text or "").split(",") if n and n != "urlcommand"]
        permissions.text = ",".join(names + (["urlcommand"] if permitted else []))
    tree.write(config)
    port = free_port()
    started = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}")
    wait_port(port)
    started.port = port

    # "https" on nginx's plain port: a handshake that fails when the command takes effect.
    host = f"xx--https.127.0.0.1:{nginx.http_port}"
    got = proxy_get(started, f"http://{host}/hello.txt", host)
    assert got.status == status
    if not permitted:
        assert got.body == b"hello from origin\n"
