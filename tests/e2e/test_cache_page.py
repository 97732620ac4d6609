"""The interface's "/cache" page: the fill of the memory cache and the stores, and the search of
the cached objects that lists or deletes the matches. Objects come from nginx through the proxy.
"""
import re
import time

import pytest

from cache_clock import HOLDOFF, Clock
from conftest import wait_until
from counting_origin import Nginx, proxy_get
from interface_helpers import PASSWORD, USER, ask, interface_proxy
from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, section_set
from test_cache import cache_element, stored_whole

REFERER = "Referer: http://tarvodine/\r\n"


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path / "nginx")
    (server.dir / "www" / "other.txt").write_bytes(b"another file of the origin\n")
    yield server
    server.stop()


@pytest.fixture
def cached(tarvodine, xml_files, tmp_path, nginx):
    """A proxy with a disk store that holds nginx's /hello.txt and /other.txt."""
    config, _ = xml_files
    store = tmp_path / "store"
    store.mkdir()
    text = section_set(config.read_text(), element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
    config.write_text(section_set(text, cache_element((store, 0))))
    # The cache takes nothing before its start-up hold-off has passed on the proxy's clock.
    clock = Clock(tmp_path)
    proxy = interface_proxy(tarvodine, xml_files, wrapper=clock.wrapper(), access="interface,proxy,urlcommand")
    clock.advance(HOLDOFF)
    urls = [f"http://127.0.0.1:{nginx.http_port}/{name}" for name in ("hello.txt", "other.txt")]
    for url in urls:
        assert proxy_get(proxy, url, url.split("/")[2]).status == 200
        wait_until(lambda: stored_whole(store, url), 10, "the object stored")
    proxy.store, proxy.urls, proxy.clock = store, urls, clock
    return proxy


def cache_page(proxy, **args):
    body = "&".join([f"username={USER}", f"password={PASSWORD}"] + [f"{k}={v}" for k, v in args.items()])
    status, _, page = ask(proxy, "/cache", "POST", body.encode(), REFERER)
    assert status == "HTTP/1.1 200 OK"
    return page.decode("latin-1")


def listed(page):
    return re.findall(r'<a href="[^"]*">([^<]*)</a></td><td>\d+</td>', page)


def field(page, name):
    match = re.search(rf'name="{name}"[^>]*value="([^"]*)"', page)
    return match and match.group(1)


def selected(page, name):
    match = re.search(rf'<select name="{name}">.*?<option value="([^"]*)" selected>', page, re.S)
    return match and match.group(1)


def test_the_page_shows_the_fill_and_a_form_with_open_bounds(cached):
    page = cache_page(cached)
    assert "Cache information" in page
    assert re.search(r"<td>Memory cache</td><td>\d+ entries / \d+ bytes / \d+% used</td>", page)
    assert re.search(rf"<td>Disk cache {re.escape(str(cached.store))}</td><td>2 entries / \d+ bytes / 0% used</td>",
                     page)
    assert "<b>URL</b>" not in page   # no search without "show"
    assert (selected(page, "mamonth"), selected(page, "maday"), field(page, "mayear")) == ("January", "1", "1970")
    assert (field(page, "mahour"), field(page, "maminute")) == ("00", "00")
    now = time.localtime(cached.clock.start + cached.clock.offset)   # the proxy's clock
    assert field(page, "abyear") == str(now.tm_year)
    assert selected(page, "abmonth") == time.strftime("%B", now)
    assert (field(page, "minsize"), field(page, "maxsize")) == ("0", "4294967295")


SEARCHES = [
    ({}, ["hello.txt", "other.txt"]),
    ({"pattern": "HELLO"}, ["hello.txt"]),               # without regard to case
    ({"pattern": "("}, ["hello.txt", "other.txt"]),      # does not compile: matches everything
    ({"minsize": "1k"}, []),                              # both are smaller than a KB
    ({"allsizes": "on", "minsize": "1k", "maxsize": "2"}, ["hello.txt", "other.txt"]),
    ({"minsize": "not-a-size"}, ["hello.txt", "other.txt"]),
    ({"mayear": "2999"}, []),                             # retrieved after a future date
    ({"mayear": "2999", "maepoch": "on"}, ["hello.txt", "other.txt"]),
    ({"abyear": "1999"}, []),                             # accessed before 1999
    ({"abyear": "1999", "abcurtime": "on"}, ["hello.txt", "other.txt"]),
]


@pytest.mark.parametrize("args, names", SEARCHES, ids=[str(a) for a, _ in SEARCHES])
def test_searches_list_the_matching_objects(cached, args, names):
    page = cache_page(cached, show="yes", **args)
    assert "<b>URL</b>" in page
    shown = sorted(url.rsplit("/", 1)[1] for url in listed(page))
    assert shown == names
    for url in listed(page):
        host_and_path = url.split("://", 1)[1]
        assert f'href="http://xx--cache.{host_and_path}"' in page


def test_switches_and_lower_case_months_fill_the_form(cached):
    page = cache_page(cached, abcurtime="on", abmonth="march", abyear="1999", mamonth="march",
                      allsizes="on", minsize="5", maxsize="7")
    assert selected(page, "mamonth") == "March"
    now = time.localtime(cached.clock.start + cached.clock.offset)   # the proxy's clock
    assert selected(page, "abmonth") == time.strftime("%B", now) and field(page, "abyear") == str(now.tm_year)
    assert (field(page, "minsize"), field(page, "maxsize")) == ("0", "4294967295")
    assert re.search(r'name="abcurtime" checked', page) and re.search(r'name="allsizes" checked', page)


def test_delete_removes_the_matches_and_a_second_search_finds_none(cached):
    page = cache_page(cached, show="yes", pattern="hello", delete="on")
    assert listed(page) == []
    assert [u.rsplit("/", 1)[1] for u in listed(cache_page(cached, show="yes"))] == ["other.txt"]
    assert listed(cache_page(cached, show="yes", pattern="hello")) == []
    # The next request for it goes to the origin again and is stored anew.
    url = cached.urls[0]
    assert proxy_get(cached, url, url.split("/")[2]).status == 200


def test_the_object_link_shows_the_cache_information_page(cached):
    url = cached.urls[0]
    host = "xx--cache." + url.split("/")[2]
    got = proxy_get(cached, "http://" + host + "/hello.txt", host)
    text = got.body.decode("latin-1")
    assert f"<title>Cache information for {url}</title>" in text
    assert "Nothing found" not in text and "Server: nginx" in text
