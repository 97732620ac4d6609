"""The URL filter and the DNS blacklist against real peers: names resolve through a dnsmasq
answering a test zone, which the proxy alone reaches through a private resolv.conf; requests that
pass go on to an nginx origin."""
import re

import pytest

from conftest import free_port, section_set, wait_port, wait_until
from origin import Origin
from rules_helpers import EVERY_LOG_CATEGORY, GENERAL_GLOBALS, GENERAL_RULE, element, exchange, get

BLACKLIST_ZONE = "bl.test"


def filter_rule(**fields) -> tuple:
    values = {"enabled": "true", "comment": "", "profiles": "", "host": "", "file": "", "ip": "", "template": ""}
    values.update(fields)
    return values


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def zone(dns_zone):
    return dns_zone([
        "host-record=inside.test,127.0.0.1",
        "host-record=far.test,10.9.9.9",
        "host-record=www.clean.example,127.0.0.1",
        # The blacklist's answers: listed, listed at the top of the range, and not listed.
        f"host-record=listed.example.{BLACKLIST_ZONE},127.0.0.2",
        f"host-record=edge.example.{BLACKLIST_ZONE},127.0.0.11",
        f"host-record=clean.example.{BLACKLIST_ZONE},127.0.0.1",
    ])


@pytest.fixture
def start(tarvodine, xml_files, zone, tmp_path):
    """start(*sections) runs tarvodine with the sections given, resolving through the test zone,
    with the access and extended logs in tmp_path."""
    def run(*sections):
        config, section = xml_files
        text = config.read_text()
        text = section_set(text, element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
        for sec in sections:
            text = section_set(text, sec)
        config.write_text(text)
        port = free_port()
        proxy = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", "-d", EVERY_LOG_CATEGORY,
                          "-a", tmp_path / "access.log", "-e", tmp_path / "extended.log", wrapper=zone.wrapper)
        wait_port(port)
        proxy.port = port
        proxy.access = tmp_path / "access.log"
        proxy.extended = tmp_path / "extended.log"
        return proxy
    return run


def records(path) -> list:
    return [line for line in path.read_text().splitlines() if not line.startswith("#")] if path.exists() else []


def record_for(path, url: str) -> str:
    """The one record of the log that names url, once written."""
    def found():
        hits = [line for line in records(path) if f" {url} " in line or f" {url}\"" in line]
        return hits[0] if hits else None
    return wait_until(found, 10, f"the record of {url}")


def connect(proxy, target: str):
    return exchange(proxy, f"CONNECT {target} HTTP/1.0\r\n\r\n".encode())


def test_url_filter_blocks_by_host_path_and_resolved_address(start, origin):
    proxy = start(element(
        "url-filtering", {"enabled": "true", "order": "deny_allow", "template": ""},
        ("deny", filter_rule(comment="shops", host="shop")),
        ("deny", filter_rule(comment="installers", file=r"\.exe$", template="blacklisted")),
        ("deny", filter_rule(comment="net10", ip="10.0.0.0-10.255.255.255"))))
    cases = [
        # url, status, text of the page
        ("http://MyShop.test/cart", "200", b"Page Blocked"),
        ("http://inside.test/setup.EXE", "200", b"Page blacklisted"),
        # far.test resolves into the range; a name the zone does not know resolves nowhere, which
        # satisfies the address condition too.
        ("http://far.test/", "200", b"Page Blocked"),
        ("http://nowhere.test/", "200", b"Page Blocked"),
    ]
    for url, status, text in cases:
        line, _, body = get(proxy, url)
        assert line.split(" ")[1] == status, (url, line)
        assert text in body, (url, body[:300])
    native = proxy.native_log()
    assert "url filter: blocked: myshop.test/cart" in native
    assert "url filter: blocked: far.test/" in native

    # A host that resolves outside the range reaches the origin.
    line, _, body = get(proxy, f"http://inside.test:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")

    # A CONNECT to a blocked host is refused with 404.
    line, _, body = connect(proxy, "shop.test:443")
    assert line.split(" ")[1] == "404" and b"Page Blocked" in body

    # The refusal is written to both logs, the extended one naming the filter.
    record = record_for(proxy.extended, "http://myshop.test:80/cart")
    assert '"url-filter -"' in record, record
    assert re.search(r" TCP_\w+/200 \d+ GET http://myshop\.test:80/cart ", record_for(proxy.access, "http://myshop.test:80/cart"))


def test_url_filter_sees_every_spelling_of_a_path_or_host_as_one(start, origin):
    secret = origin.dir / "www" / "forbidden-dir" / "secret.txt"
    secret.parent.mkdir(parents=True, exist_ok=True)
    secret.write_bytes(b"the forbidden file\n")
    proxy = start(element(
        "url-filtering", {"enabled": "true", "order": "deny_allow", "template": ""},
        ("deny", filter_rule(comment="dir", file="^/forbidden-dir/")),
        ("deny", filter_rule(comment="loopback", host=r"^127\.0\.0\.1$", file="^/1k"))))
    port = origin.port
    seen = len(origin.access_log())
    # nginx decodes the escapes and would serve the file; the resolver takes every numeric
    # spelling and the final dot.
    for url in [f"http://inside.test:{port}/forbidden-dir/secret.txt",
                f"http://inside.test:{port}/%66orbidden-dir/secret.txt",
                f"http://inside.test:{port}/%66%6F%72bidden%2Ddir/secret.txt",
                f"http://127.0.0.1:{port}/1k.bin", f"http://127.1:{port}/1k.bin",
                f"http://2130706433:{port}/1k.bin", f"http://0177.0.0.1:{port}/1k.bin",
                f"http://127.000.000.001:{port}/1k.bin", f"http://0x7f.1:{port}/1k.bin",
                f"http://127.0.0.1.:{port}/1k.bin"]:
        line, _, body = get(proxy, url)
        assert line.split(" ")[1] == "200" and b"Page Blocked" in body, (url, line, body[:300])
    reached = origin.access_log()[seen:]
    assert "forbidden" not in reached and "1k.bin" not in reached

    # What is forwarded stays as the client wrote it: the escape reaches the origin unchanged.
    line, _, body = get(proxy, f"http://inside.test:{port}/%31k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")
    origin.log_lines('"GET /%31k.bin HTTP/1.1"')


def test_url_filter_allow_first_blocks_all_but_the_allowed(start, origin):
    proxy = start(element(
        "url-filtering", {"enabled": "true", "order": "allow_deny", "template": "blacklisted"},
        ("allow", filter_rule(host=r"^inside\.test$"))))
    line, _, body = get(proxy, f"http://inside.test:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")
    line, _, body = get(proxy, f"http://127.0.0.1:{origin.port}/1k.bin")
    assert b"Page blacklisted" in body, body[:300]


def test_dnsbl_blocks_domains_the_zone_lists(start, origin, zone):
    proxy = start(element("dnsbl", {"enabled": "true", "template": "", "zone": BLACKLIST_ZONE,
                                    "ranges": "127.0.0.2-127.0.0.11"}))
    for url in ["http://www.listed.example/page", "http://a.b.listed.example/", "http://www.listed.example./",
                "http://WWW.Edge.Example/"]:
        line, _, body = get(proxy, url)
        assert line.split(" ")[1] == "404", (url, line)
        assert b"Page Blocked" in body, (url, body[:300])
    assert "dnsbl: domain www.listed.example is blacklisted" in proxy.native_log()
    asked = zone.queries()
    assert f"listed.example.{BLACKLIST_ZONE}" in asked
    assert f"edge.example.{BLACKLIST_ZONE}" in asked
    assert f"www.listed.example.{BLACKLIST_ZONE}" not in asked

    # An answer outside the ranges, or none at all, lets the request through.
    line, _, body = get(proxy, f"http://www.clean.example:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")
    line, _, body = get(proxy, f"http://inside.test:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")

    record = record_for(proxy.extended, "http://www.listed.example:80/page")
    assert '"dnsbl 127.0.0.2"' in record, record
    assert " 404 " in record
    assert record_for(proxy.access, "http://www.listed.example:80/page")


def test_dnsbl_without_ranges_asks_nothing(start, origin, zone):
    proxy = start(element("dnsbl", {"enabled": "true", "template": "", "zone": BLACKLIST_ZONE, "ranges": ""}))
    line, _, body = get(proxy, f"http://inside.test:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin")
    assert BLACKLIST_ZONE not in zone.queries()
