"""ICP end to end with squid: tarvodine asks a squid parent before forwarding to it, and squid,
configured as tarvodine's sibling, asks tarvodine's responder and fetches what it holds. The
responder is also spoken to directly, datagram by datagram. A scripted sibling plays what squid
will not: a forger that answers in its place, or a peer that answers about another URL."""
import socket
import struct
import threading

import pytest

from cache_clock import HOLDOFF, Clock
from conftest import free_port, wait_until
from counting_origin import proxy_get
from origin import Origin
from rules_helpers import element, proxy_with
from test_forward import Squid, forward_element

CACHE_GLOBALS = {"enabled": "true", "violations": "false", "memorysize": "64M", "memoryextra": "4M",
                 "minsize": "0", "maxsize": "16M", "prefetchwindow": "60", "icpport": "0", "icptimeout": "1000",
                 "storeselect": "0", "journalthreshold": "0", "cleaninterval": "0"}
QUERY, HIT, MISS, INVALID = 1, 2, 3, 0


def free_udp_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def icp_message(opcode: int, version: int, number: int, payload: bytes, length: int = None) -> bytes:
    length = 20 + len(payload) if length is None else length
    return struct.pack("!BBHIII4s", opcode, version, length, number, 0, 0, socket.inet_aton("127.0.0.1")) + payload


def icp_query(url: str, number: int, version: int = 2) -> bytes:
    return icp_message(QUERY, version, number, socket.inet_aton("127.0.0.1") + url.encode() + b"\0")


def ask(port: int, message: bytes, timeout: float = 2.0):
    """The responder's answer to one datagram, (opcode, version, length, number, payload), or
    None when nothing comes back within the timeout."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(message, ("127.0.0.1", port))
        try:
            data = s.recv(65536)
        except socket.timeout:
            return None
    opcode, version, length, number = struct.unpack("!BBHI", data[:8])
    return opcode, version, length, number, data[20:]


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def squids():
    made = []

    def make(*args):
        squid = Squid("start-squid-peer.sh", *args)
        made.append(squid)
        return squid
    yield make
    for squid in made:
        squid.stop()


def test_squid_parent_is_asked_before_it_is_used(tarvodine, xml_files, origin, squids):
    http_port, icp_port = free_port(), free_udp_port("127.0.0.2")
    squid = squids("127.0.0.2", http_port, icp_port)
    proxy = proxy_with(tarvodine, xml_files, forward_element(
        {"host": "127.0.0.2", "port": http_port, "icptype": 1, "icpport": icp_port}))
    url = origin.url("/1k.bin")
    # Unknown to squid: a MISS, and as the only parent it still gets the request.
    assert proxy_get(proxy, url, f"127.0.0.1:{origin.port}").status == 200
    wait_until(lambda: "/1k.bin" in squid.access_log(), what="squid served the request")
    assert f"ICP: response opcode from 127.0.0.2:{icp_port}: ICP_OP_MISS" in proxy.native_log()
    # Now squid holds it and says so.
    assert proxy_get(proxy, url, f"127.0.0.1:{origin.port}").status == 200
    assert f"ICP: response opcode from 127.0.0.2:{icp_port}: ICP_OP_HIT" in proxy.native_log()
    assert "error: no ICP response received" not in proxy.native_log()


def test_responder_answers_squid_as_sibling(tarvodine, xml_files, tmp_path, origin, squids):
    icp_port = free_udp_port()
    store = tmp_path / "store"
    store.mkdir()
    cache = element("cache", dict(CACHE_GLOBALS, icpport=icp_port),
                    ("store", {"enabled": "true", "comment": "", "profiles": "", "path": str(store), "size": "1G",
                               "margin": "0", "md5": "0"}))
    # The cache takes nothing before its start-up hold-off has passed on the proxy's clock.
    clock = Clock(tmp_path)
    proxy = proxy_with(tarvodine, xml_files, cache, wrapper=clock.wrapper())
    clock.advance(HOLDOFF)
    held, other = origin.url("/1k.bin"), origin.url("/1m.bin")
    assert proxy_get(proxy, held, f"127.0.0.1:{origin.port}").status == 200
    wait_until(lambda: (ask(icp_port, icp_query(held, 7)) or (None,))[0] == HIT, what="the responder holds the URL")

    # Straight to the responder: the answer echoes version and number and carries the URL.
    cases = [
        ("held, version 3", icp_query(held, 11, 3), (HIT, 3, 20 + len(held) + 1, 11, held.encode() + b"\0")),
        ("not held", icp_query(other, 13), (MISS, 2, 20 + len(other) + 1, 13, other.encode() + b"\0")),
        ("no NUL", icp_message(QUERY, 2, 14, b"\x7f\0\0\1" + held.encode()), (INVALID, 2, 20, 14, b"")),
        ("a URL that does not parse", icp_message(QUERY, 2, 15, b"\x7f\0\0\1nothing\0"), (INVALID, 2, 20, 15, b"")),
    ]
    for what, message, expected in cases:
        assert ask(icp_port, message) == expected, what
    # Neither a reply nor a datagram shorter than its length gets an answer.
    assert ask(icp_port, icp_message(HIT, 2, 16, held.encode() + b"\0"), timeout=0.5) is None
    assert ask(icp_port, icp_query(held, 17)[:-5], timeout=0.5) is None
    log = proxy.native_log()
    assert "ICP: error: unhandled ICP opcode: ICP_OP_HIT" in log
    assert f"ICP: network: listening on port *:{icp_port}" in log

    # squid with tarvodine as its sibling: the held URL comes from tarvodine, the other direct.
    squid_port = free_port()
    squid = squids("127.0.0.2", squid_port, free_udp_port("127.0.0.2"), proxy.port, icp_port)
    for url in (held, other):
        conn = socket.create_connection(("127.0.0.2", squid_port), timeout=30)
        try:
            conn.sendall(f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while chunk := conn.recv(65536):
                data += chunk
        finally:
            conn.close()
        assert data.startswith(b"HTTP/1.1 200"), data[:200]
    wait_until(lambda: "/1m.bin" in squid.access_log(), what="squid logged both requests")
    lines = squid.access_log().splitlines()
    assert any("/1k.bin" in line and "SIBLING_HIT/127.0.0.1" in line for line in lines), lines
    assert any("/1m.bin" in line and "HIER_DIRECT" in line for line in lines), lines


class ScriptedSibling:
    """An ICP peer on 127.0.0.1 that answers one query with the datagrams script(number, url)
    gives, each (sender, bytes): "peer" sends from its own socket; "other host" from 127.0.0.2,
    "other port" from another port of 127.0.0.1, as a forger who learnt the request number."""

    def __init__(self, script):
        self.sockets = {}
        for name, host in (("peer", "127.0.0.1"), ("other host", "127.0.0.2"), ("other port", "127.0.0.1")):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((host, 0))
            self.sockets[name] = sock
        self.port = self.sockets["peer"].getsockname()[1]
        self.script = script
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        peer = self.sockets["peer"]
        peer.settimeout(30)
        try:
            data, asker = peer.recvfrom(65536)
        except OSError:
            return
        number = struct.unpack("!I", data[4:8])[0]
        url = data[24:].split(b"\0", 1)[0]
        for sender, message in self.script(number, url):
            self.sockets[sender].sendto(message, asker)

    def stop(self):
        self.thread.join(timeout=30)
        for sock in self.sockets.values():
            sock.close()


def reply(opcode, number, url):
    return icp_message(opcode, 2, number, url + b"\0")


@pytest.mark.parametrize("what, script, forwarded", [
    ("a forged HIT from another host", lambda n, url: [("other host", reply(HIT, n, url)), ("peer", reply(MISS, n, url))],
     False),
    ("a forged HIT from another port", lambda n, url: [("other port", reply(HIT, n, url)), ("peer", reply(MISS, n, url))],
     False),
    ("a HIT about another URL", lambda n, url: [("peer", reply(HIT, n, url + b"?other")), ("peer", reply(MISS, n, url))],
     False),
    ("the sibling's own HIT", lambda n, url: [("peer", reply(HIT, n, url))], True),
])
def test_only_the_asked_sibling_answering_about_the_url_counts(tarvodine, xml_files, origin, what, script, forwarded):
    sibling = ScriptedSibling(script)
    try:
        # The sibling's HTTP side is the origin itself, which serves a request in proxy form too.
        cache = element("cache", dict(CACHE_GLOBALS, enabled="false", icptimeout="5000"))
        proxy = proxy_with(tarvodine, xml_files, cache, forward_element(
            {"host": "127.0.0.1", "port": origin.port, "icptype": 2, "icpport": sibling.port}))
        assert proxy_get(proxy, origin.url("/1k.bin"), f"127.0.0.1:{origin.port}").status == 200, what
    finally:
        sibling.stop()
    log = proxy.native_log()
    assert ("forwarding: forwarding to 127.0.0.1:%d" % origin.port in log) == forwarded, what
    assert "error: no ICP response received" not in log, what
    if not forwarded:
        assert "ICP: error: received unknown ICP response number" in log, what
