"""Forwarding rules end to end: requests through real parents (squid as an HTTP parent with
Basic credentials and as a CONNECT parent, dante as SOCKS4 and SOCKS5 server) and CARP over two
squids on 127.0.0.1 and 127.0.0.2. nginx is the origin."""
import http.client
import os
import shutil
import tempfile
from pathlib import Path

import pytest

from conftest import free_port, start_peer, stop_peer, wait_until
from counting_origin import fetch, proxy_get
from origin import Origin
from rules_helpers import element, proxy_with

FORWARD_RULE = {"enabled": "true", "comment": "", "profiles": "", "host": "", "username": "", "password": "",
                "domain": "", "port": "-1", "icptype": "0", "icpport": "3130", "type": "0", "protocols": "7"}
HTTP_PARENT, SOCKS4, SOCKS5, CONNECT_PARENT = 0, 1, 2, 3


def forward_element(*rules, carp="false", modulus="0") -> str:
    return element("forward", {"enabled": "true", "carp": carp, "carpmodulus": modulus},
                   *[("rule", dict(FORWARD_RULE, **{k: str(v) for k, v in r.items()})) for r in rules])


def rotl(x: int, n: int) -> int:
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def string_hash(text: str) -> int:
    h = 0
    for byte in text.encode():
        h = (h + rotl(h, 19) + (byte - 256 if byte > 127 else byte)) & 0xFFFFFFFF
    return h


def carp_hash(url: str, member: str, modulus: int = 0) -> int:
    """The Cache Array Routing Protocol's combined hash of a URL and a member name."""
    m = rotl((string_hash(member) * 0x62531966) & 0xFFFFFFFF, 21) if member else 0
    score = rotl(((string_hash(url) ^ m) * 0x62531966) & 0xFFFFFFFF, 21)
    return score % modulus if modulus else score


def peer_dir() -> Path:
    # squid runs as user proxy, which must reach its directory: not under pytest's 0700 tree.
    path = Path(tempfile.mkdtemp(prefix="tarvodine-fwd-"))
    os.chmod(path, 0o755)
    return path


class Squid:
    """A squid started by one of the tests/peers scripts; its access log names what it served."""

    def __init__(self, script: str, *args):
        if shutil.which("squid") is None:
            pytest.skip("squid is not installed")
        self.dir = peer_dir()
        try:
            self.pid = start_peer(script, self.dir / "squid", *args)
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def access_log(self) -> str:
        path = self.dir / "squid" / "access.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        stop_peer(self.pid)
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def squids():
    """make(script, *args) starts a squid; every one is stopped afterwards."""
    made = []

    def make(script, *args):
        squid = Squid(script, *args)
        made.append(squid)
        return squid
    yield make
    for squid in made:
        squid.stop()


@pytest.fixture
def dante(tmp_path):
    if shutil.which("danted") is None:
        pytest.skip("dante-server is not installed")
    port = free_port()
    pid = start_peer("start-danted.sh", tmp_path / "dante", port, "none")
    yield port, tmp_path / "dante" / "danted.log"
    stop_peer(pid)


def test_http_parent_gets_the_rule_credentials(tarvodine, xml_files, origin, squids):
    auth_port, open_port = free_port(), free_port()
    squid = squids("start-squid.sh", auth_port, open_port, "basic")
    proxy = proxy_with(tarvodine, xml_files, forward_element(
        {"host": "127.0.0.1", "port": auth_port, "username": "alice", "password": "secret"}))
    reply = proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}")
    assert reply.status == 200
    assert reply.body == origin.file("1k.bin")
    # The first try meets the 407 challenge; the answer to it carries alice's credentials. squid
    # logs each when it ends: the challenge's line can come well before the other.
    wait_until(lambda: any(" alice " in line and "/200 " in line for line in squid.access_log().splitlines()),
               what="squid logged alice's request")
    assert f"forwarding: forwarding to 127.0.0.1:{auth_port}" in proxy.native_log()


def test_connect_parent_tunnels_plain_requests(tarvodine, xml_files, origin, squids):
    open_port = free_port()
    squid = squids("start-squid.sh", free_port(), open_port, "basic")
    proxy = proxy_with(tarvodine, xml_files, forward_element(
        {"host": "127.0.0.1", "port": open_port, "type": CONNECT_PARENT}))
    reply = proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}")
    assert reply.status == 200
    assert reply.body == origin.file("1k.bin")
    # squid logs a tunnel when it closes, and the proxy keeps it pooled for the pool time-out
    # (as long as the wait below): its end closes the tunnel now.
    proxy.stop()
    wait_until(lambda: "CONNECT" in squid.access_log(), what="squid logged the tunnel")
    assert f"CONNECT 127.0.0.1:{origin.port}" in squid.access_log()


def test_credentials_go_only_to_the_parent_whose_rule_names_them(tarvodine, xml_files, origin, squids):
    # Two parents, chosen by a request line: the open port with alice's credentials (which it never
    # asks for), and the port that asks, named by a rule without any.
    auth_port, open_port = free_port(), free_port()
    squid = squids("start-squid.sh", auth_port, open_port, "basic")
    profiles = element("profiles", {}, *[("profile", {"enabled": "true", "log": "false", "requestheader": f"X-Parent: {name}",
                                                     "timematch": "absolute", "add": name}) for name in ("open", "asking")])
    proxy = proxy_with(tarvodine, xml_files, profiles, forward_element(
        {"profiles": "open", "host": "127.0.0.1", "port": open_port, "username": "alice", "password": "secret"},
        {"profiles": "asking", "host": "127.0.0.1", "port": auth_port}))
    # One kept-alive client connection for both requests.
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        first = fetch(conn, "GET", origin.url("/1k.bin"), f"127.0.0.1:{origin.port}", {"X-Parent": "open"})
        sock = conn.sock
        second = fetch(conn, "GET", origin.url("/1m.bin"), f"127.0.0.1:{origin.port}", {"X-Parent": "asking"})
        assert conn.sock is sock, "the client connection was kept"
    finally:
        conn.close()
    assert first.status == 200
    # The parent's challenge reaches the client: no credentials were chosen for this request.
    assert second.status == 407
    wait_until(lambda: "/1m.bin" in squid.access_log(), what="squid logged the second request")
    lines = [line for line in squid.access_log().splitlines() if "/1m.bin" in line]
    assert lines and not any(" alice " in line for line in lines), lines
    assert f"forwarding: forwarding to 127.0.0.1:{auth_port}" in proxy.native_log()


@pytest.mark.parametrize("kind", [SOCKS4, SOCKS5])
def test_socks_parents(tarvodine, xml_files, origin, dante, kind):
    port, log = dante
    proxy = proxy_with(tarvodine, xml_files, forward_element({"host": "127.0.0.1", "port": port, "type": kind}))
    reply = proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}")
    assert reply.status == 200
    assert reply.body == origin.file("1k.bin")
    wait_until(lambda: f"127.0.0.1.{origin.port}" in log.read_text(errors="replace"), what="dante logged the connect")


def test_bypass_rule_ahead_and_own_name_send_requests_direct(tarvodine, xml_files, origin):
    # Neither rule leads anywhere that answers: only a direct fetch succeeds.
    dead = free_port()
    proxy = proxy_with(tarvodine, xml_files, forward_element(
        {"host": "localhost", "port": dead}, {"host": ""}, {"host": "127.0.0.1", "port": dead}))
    reply = proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}")
    assert reply.status == 200
    assert "forwarding to" not in proxy.native_log()


def test_carp_splits_urls_over_two_parents(tarvodine, xml_files, origin, squids):
    ports = {"127.0.0.1": free_port(), "127.0.0.2": free_port()}
    peers = {host: squids("start-squid-peer.sh", host, port, 0) for host, port in ports.items()}
    proxy = proxy_with(tarvodine, xml_files, forward_element(
        *[{"host": host, "port": port} for host, port in ports.items()], carp="true"))
    expected = {"127.0.0.1": [], "127.0.0.2": [], "direct": []}
    for n in range(30):
        url = origin.url(f"/1k.bin?n={n}")
        scores = {host: carp_hash(url, host) for host in ports}
        best = max(scores, key=scores.get)
        # The proxy's own score (its host name "localhost") wins ties.
        owner = "direct" if carp_hash(url, "localhost") >= scores[best] else best
        expected[owner].append(f"/1k.bin?n={n}")
        reply = proxy_get(proxy, url, f"127.0.0.1:{origin.port}")
        assert reply.status == 200, url
    assert expected["127.0.0.1"] and expected["127.0.0.2"], "the URLs were meant to reach both parents"

    def served_by(host):
        return sorted(p for p in (f"/1k.bin?n={n}" for n in range(30)) if f"{p} " in peers[host].access_log())
    for host in ports:
        try:
            wait_until(lambda: served_by(host) == sorted(expected[host]), what=f"{host} served its share")
        except AssertionError:
            assert served_by(host) == sorted(expected[host]), host
    origin_log = origin.access_log()
    for path in expected["direct"]:
        assert path in origin_log
