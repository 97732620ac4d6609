"""Which parents a request may not take, end to end: a request carrying the "https" URL command
passes by HTTP parents (they cannot open TLS to the origin for us) but still goes through CONNECT
and SOCKS parents; a revalidation of a cached object passes by HTTP parents that are asked by ICP
and goes through the others. squid and dante are the parents, nginx (over TLS) or a scripted
origin the server, and the proxy's clock is moved by the test to make its cached copy stale."""
import shutil

import pytest

from conftest import free_port, section_set, start_peer, stop_peer, wait_until
from counting_origin import proxy_get
from origin import Origin
from rules_helpers import proxy_with
from scripted_origin import ScriptedOrigin
from test_cache import CacheProxy, cache_element
from test_forward import CONNECT_PARENT, HTTP_PARENT, SOCKS5, Squid, forward_element
from test_icp import free_udp_port

BODY = b"cached body " * 40
LAST_MODIFIED = "Mon, 01 Jan 2029 00:00:00 GMT"
FRESH_FOR = 600
OK = (f"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: max-age={FRESH_FOR}\r\n"
      f"Last-Modified: {LAST_MODIFIED}\r\nConnection: close\r\nContent-Length: {len(BODY)}\r\n\r\n").encode() + BODY
NOT_MODIFIED = b"HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n"


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False, tls=True)
    yield server
    server.stop()


@pytest.fixture
def squids():
    """make(script, *args) starts a squid; every one is stopped afterwards."""
    made = []

    def make(script, *args):
        made.append(Squid(script, *args))
        return made[-1]
    yield make
    for squid in made:
        squid.stop()


@pytest.fixture
def dante(tmp_path):
    """(port, log) of a SOCKS server without authentication."""
    if shutil.which("danted") is None:
        pytest.skip("dante-server is not installed")
    port = free_port()
    pid = start_peer("start-danted.sh", tmp_path / "dante", port, "none")
    yield port, tmp_path / "dante" / "danted.log"
    stop_peer(pid)


def https_get(proxy, origin, path):
    """path fetched with the "https" command from the origin's TLS port."""
    host = f"xx--https.127.0.0.1:{origin.tls_port}"
    return proxy_get(proxy, f"http://{host}{path}", host)


def forwarded(proxy) -> int:
    return proxy.native_log().count("forwarding: forwarding to ")


def test_https_command_passes_by_an_http_parent(tarvodine, xml_files, origin, squids):
    open_port = free_port()
    squid = squids("start-squid.sh", free_port(), open_port, "basic")
    proxy = proxy_with(tarvodine, xml_files, forward_element({"host": "127.0.0.1", "port": open_port,
                                                              "type": HTTP_PARENT}))
    # A plain request takes the parent.
    plain = proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}")
    assert (plain.status, plain.body) == (200, origin.file("1k.bin"))
    wait_until(lambda: "/1k.bin" in squid.access_log(), what="squid served the plain request")
    assert forwarded(proxy) == 1

    # With the command the parent is left out and the proxy speaks TLS to the origin itself.
    secure = https_get(proxy, origin, "/1m.bin")
    assert (secure.status, secure.body) == (200, origin.file("1m.bin"))
    wait_until(lambda: "/1m.bin" in origin.access_log(), what="the origin served the TLS request")
    assert "/1m.bin" not in squid.access_log()
    assert forwarded(proxy) == 1


@pytest.mark.parametrize("kind", [CONNECT_PARENT, SOCKS5], ids=["connect", "socks5"])
def test_https_command_still_takes_tunnelling_parents(tarvodine, xml_files, origin, squids, request, kind):
    if kind == CONNECT_PARENT:
        open_port = free_port()
        squid = squids("start-squid.sh", free_port(), open_port, "basic")
        rule = {"host": "127.0.0.1", "port": open_port, "type": CONNECT_PARENT}
        seen = lambda: f"CONNECT 127.0.0.1:{origin.tls_port}" in squid.access_log()  # noqa: E731
    else:
        port, log = request.getfixturevalue("dante")
        rule = {"host": "127.0.0.1", "port": port, "type": SOCKS5}
        seen = lambda: f"127.0.0.1.{origin.tls_port}" in log.read_text(errors="replace")  # noqa: E731
    proxy = proxy_with(tarvodine, xml_files, forward_element(rule))
    got = https_get(proxy, origin, "/1k.bin")
    assert (got.status, got.body) == (200, origin.file("1k.bin"))
    # squid logs a tunnel when it closes, and the proxy keeps it pooled for the pool time-out
    # (as long as the wait below): its end closes the tunnel now.
    proxy.stop()
    wait_until(seen, what="the parent carried the connection to the TLS port")
    assert forwarded(proxy) == 1


@pytest.mark.parametrize("icp", [True, False], ids=["icp-parent-passed-by", "plain-parent-used"])
def test_revalidation_passes_by_parents_asked_by_icp(tarvodine, xml_files, tmp_path, squids, icp):
    http_port, icp_port = free_port("127.0.0.2"), free_udp_port("127.0.0.2")
    squid = squids("start-squid-peer.sh", "127.0.0.2", http_port, icp_port)
    rule = {"host": "127.0.0.2", "port": http_port}
    if icp:
        rule.update(icptype=1, icpport=icp_port)
    config, _ = xml_files
    config.write_text(section_set(config.read_text(), forward_element(rule)))
    # squid keeps the object too and may answer the conditional request itself: the origin
    # need not see a second request.
    origin = ScriptedOrigin([OK, NOT_MODIFIED])
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()
        log = proxy.proc.native_log
        url = origin.url("/page")

        def parent_requests():
            return sum(1 for line in squid.access_log().splitlines() if " GET " in line and "/page " in line)

        first = proxy_get(proxy, url, f"127.0.0.1:{origin.port}")
        assert (first.status, first.body) == (200, BODY) and "MISS" in first.headers["x-cache"]
        wait_until(lambda: parent_requests() == 1, what="squid served the first request")
        assert b"squid-127.0.0.2" in origin.requests[0], origin.requests[0]
        assert "HIT" in proxy_get(proxy, url, f"127.0.0.1:{origin.port}").headers["x-cache"]
        asked = log().count("ICP: response opcode from 127.0.0.2")
        assert asked == (1 if icp else 0)

        # Both exchanges over, so the copy is complete and dated before the clock moves on.
        wait_until(lambda: log().count("disconnected after making 1 requests") == 2, what="both exchanges done")
        proxy.clock.advance(FRESH_FOR + 100)
        again = proxy_get(proxy, url, f"127.0.0.1:{origin.port}")
        assert (again.status, again.body) == (200, BODY)
        if icp:
            # Straight to the origin, with the validator, and the peer is not even asked.
            wait_until(lambda: len(origin.requests) == 2, what="the conditional request at the origin")
            assert b"If-Modified-Since:" in origin.requests[1], origin.requests[1]
            assert b"squid-" not in origin.requests[1], origin.requests[1]
            assert parent_requests() == 1
            assert forwarded(proxy.proc) == 1
            assert log().count("ICP: response opcode from 127.0.0.2") == asked
        else:
            wait_until(lambda: parent_requests() == 2, what="squid saw the revalidation")
            assert forwarded(proxy.proc) == 2
            assert all(b"squid-" in request for request in origin.requests)
    finally:
        origin.stop()
