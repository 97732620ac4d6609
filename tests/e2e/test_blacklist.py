"""URL blacklists read from a directory tree at start-up: categories of domains and of
domain-and-path prefixes, decided by allow and deny rules, answered with the "blacklisted" page
and written to the access and extended logs."""
import re

import pytest

from conftest import free_port, section_set, wait_port, wait_until
from origin import Origin
from rules_helpers import EVERY_LOG_CATEGORY, GENERAL_GLOBALS, GENERAL_RULE, element, exchange, get

# Written as list publishers ship them: comments, paths, CRLF line ends, an empty category.
TREE = {
    "ads/domains": b"# advertising servers\nads.example\nboth.example\n",
    "ads/urls": b"portal.example/ads/\nads.example/ignored/because/whole\n",
    "news/domains": b"news.example\nboth.example\n",
    "dos/domains": b"crlf.example\r\n",
}


def blacklist_rule(**fields) -> dict:
    values = {"enabled": "true", "comment": "", "profiles": "", "categories": "", "template": ""}
    values.update(fields)
    return values


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def tree(tmp_path):
    directory = tmp_path / "blacklists"
    for name, data in TREE.items():
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        (directory / name).write_bytes(data)
    (directory / "empty").mkdir()
    (directory / "README").write_text("not a category\n")
    return directory


@pytest.fixture
def zone(dns_zone):
    """The names of requests that pass, all at the origin's address."""
    return dns_zone([f"host-record={name},127.0.0.1" for name in
                     ["portal.example", "crlf.example", "badads.example", "both.example", "www.news.example"]])


@pytest.fixture
def start(tarvodine, xml_files, tree, zone, tmp_path):
    """start(order, *rules) runs tarvodine with the blacklist section over the tree, resolving
    through the test zone only."""
    def run(order, *rules):
        config, section = xml_files
        text = config.read_text()
        text = section_set(text, element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
        text = section_set(text, element("urlblacklist", {"enabled": "true", "order": order, "directory": tree,
                                                          "template": ""}, *rules))
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


def record_for(path, url: str) -> str:
    def found():
        lines = path.read_text().splitlines() if path.exists() else []
        hits = [line for line in lines if f" {url} " in line or f" {url}\"" in line]
        return hits[0] if hits else None
    return wait_until(found, 10, f"the record of {url}")


def test_deny_and_allow_lists_over_the_categories(start, origin):
    proxy = start("deny_allow", ("deny", blacklist_rule(categories="ads")),
                  ("allow", blacklist_rule(categories="news")))
    # The port opens before the lists are read: the line may come a moment after it.
    wait_until(lambda: "URL blacklist: loaded 4 categories" in proxy.native_log(), 10, "the lists' load line")
    blocked = ["http://ads.example/x", "http://www.ADS.example/anything", "http://ads.example./",
               "http://portal.example/ADS/banner.gif", "http://deep.portal.example/ads/"]
    for url in blocked:
        line, _, body = get(proxy, url)
        assert line.split(" ")[1] == "200", (url, line)
        assert b"is in the blacklisted ads category" in body, (url, body[:300])
    native = proxy.native_log()
    assert "URL blacklist: blocked ads.example/x" in native
    assert "URL blacklist: match found in ads category" in native

    # Not listed: another path of a listed urls domain, a CRLF entry, a look-alike domain.
    for host in ["portal.example", "crlf.example", "badads.example", "127.0.0.1"]:
        line, _, body = get(proxy, f"http://{host}:{origin.port}/1k.bin")
        assert line.split(" ")[1] == "200" and body == origin.file("1k.bin"), (host, body[:300])

    # Listed in both: the allow rule lets it through, and the records name its category.
    url = f"http://both.example:{origin.port}/1k.bin"
    line, _, body = get(proxy, url)
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin"), body[:300]
    assert '"urlbl news"' in record_for(proxy.extended, url)

    line, _, body = exchange(proxy, b"CONNECT ads.example:443 HTTP/1.0\r\n\r\n")
    assert line.split(" ")[1] == "404" and b"Page blacklisted" in body

    record = record_for(proxy.extended, "http://ads.example:80/x")
    assert '"urlbl ads"' in record and " 200 " in record, record
    assert re.search(r" TCP_\w+/200 \d+ GET http://ads\.example:80/x ", record_for(proxy.access, "http://ads.example:80/x"))


def test_allow_first_blocks_what_no_category_allows(start, origin):
    proxy = start("allow_deny", ("allow", blacklist_rule(categories="news", template="blocked")))
    line, _, body = get(proxy, f"http://127.0.0.1:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and b"Page blacklisted" in body, body[:300]
    line, _, body = get(proxy, f"http://www.news.example:{origin.port}/1k.bin")
    assert line.split(" ")[1] == "200" and body == origin.file("1k.bin"), body[:300]
