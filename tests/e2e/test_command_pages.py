"""The diagnostic pages that URL commands answer with, through the proxy against nginx: each is a
whole HTML page about the request, with the origin's and the client's texts escaped.
"""
import re

import pytest

from counting_origin import Nginx, proxy_get


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(tmp_path_factory.mktemp("nginx"))
    www = server.dir / "www"
    (www / "markup.txt").write_bytes(b"<b>bold & \"quoted\"</b>\n  two  blanks\n")
    (www / "page.html").write_bytes(b"<html><body><p class=\"x\">hi</p></body></html>\n")
    (www / "empty.txt").write_bytes(b"")
    yield server
    server.stop()


def command_page(proxy, nginx, command, path):
    host = f"xx--{command}.127.0.0.1:{nginx.http_port}"
    got = proxy_get(proxy, f"http://{host}{path}", host)
    text = got.body.decode("latin-1")
    return got, text


def title_of(text):
    match = re.search(r"<title>(.*?)</title>", text, re.S)
    assert match, text[:300]
    return match.group(1)


# command, path, title, texts the page must hold
PAGES = [
    ("headers", "/hello.txt", "HTTP headers to/from 127.0.0.1/hello.txt",
     ["Client header", "Server header", "GET ", "Server: nginx", "Content-Length: 18"]),
    ("raw", "/markup.txt", "Raw contents of 127.0.0.1/markup.txt",
     ["<pre>&lt;b&gt;bold &amp; &quot;quoted&quot;&lt;/b&gt;\n  two  blanks\n</pre>"]),
    ("raw", "/empty.txt", "Raw contents of 127.0.0.1/empty.txt", ["<pre></pre>"]),
    ("variables", "/hello.txt", "Variables for 127.0.0.1/hello.txt",
     ['<table class="list">', "<b>Name</b>", "<b>Value</b>"]),
    ("limits", "/hello.txt", "Transfer limits for 127.0.0.1/hello.txt",
     ['<table class="bigdialog">', "Download limit", "Upload limit"]),
    ("profiles", "/hello.txt", "Active profiles for 127.0.0.1/hello.txt", ['<table class="list">']),
    ("proxytest", "/hello.txt", "Proxy test for 127.0.0.1/hello.txt",
     ['<table class="centerdialog">', "Not forwarding through HTTP proxy"]),
    ("htmltree", "/page.html", "HTML tree for 127.0.0.1/page.html", ['<table class="list">']),
]


@pytest.mark.parametrize("command, path, title, texts", PAGES, ids=[f"{c[0]}{c[1]}" for c in PAGES])
def test_each_command_answers_with_its_page(proxy, nginx, command, path, title, texts):
    got, text = command_page(proxy, nginx, command, path)
    assert got.status == 200
    assert got.headers.get("content-type", "").startswith("text/html")
    assert got.headers.get("cache-control") == "no-cache"
    assert text.startswith("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"")
    assert title_of(text) == title
    for wanted in texts:
        assert wanted in text, (wanted, text[:2000])
    assert text.rstrip().endswith("</html>")


def test_the_proxy_test_on_a_direct_request_contacts_nobody(proxy, nginx):
    before = nginx.access_log().count("/proxytest-probe")
    got, text = command_page(proxy, nginx, "proxytest", "/proxytest-probe")
    assert "Not forwarding through HTTP proxy" in text
    assert nginx.access_log().count("/proxytest-probe") == before


def test_a_url_not_in_the_cache_shows_nothing_found_and_stays_uncached(proxy, nginx):
    path = "/hello.txt?never-fetched"
    for _ in range(2):   # the lookup must not have left an entry behind
        got, text = command_page(proxy, nginx, "cache", path)
        assert got.status == 200
        assert title_of(text) == f"Cache information for http://127.0.0.1:{nginx.http_port}{path}"
        assert "Nothing found" in text
        assert "Size" not in text


def test_texts_from_the_request_and_the_origin_are_escaped(proxy, nginx):
    _, limits = command_page(proxy, nginx, "limits", "/<i>x</i>.txt")
    assert title_of(limits) == "Transfer limits for 127.0.0.1/&lt;i&gt;x&lt;/i&gt;.txt"
    assert "<i>" not in limits

    host = f"xx--variables.127.0.0.1:{nginx.http_port}"
    got = proxy_get(proxy, f"http://{host}/hello.txt", host, headers={"X-Probe": "<b>a  b</b>"})
    text = got.body.decode("latin-1")
    assert "<b>a" not in text
    # Blanks kept visible in the variables' values.
    assert "&lt;b&gt;a&nbsp;&nbsp;b&lt;/b&gt;" in text
    names = re.findall(r"<tr><td>([^<]*)</td><td>", text)
    assert "URL" in names and names == sorted(names)

    host = f"xx--headers.127.0.0.1:{nginx.http_port}"
    got = proxy_get(proxy, f"http://{host}/hello.txt", host, headers={"X-Probe": "<b>a  b</b>"})
    assert "X-Probe: &lt;b&gt;a  b&lt;/b&gt;" in got.body.decode("latin-1")


def test_the_html_tree_shows_each_node_indented_by_its_nesting(proxy, nginx):
    (nginx.dir / "www" / "tree.html").write_bytes(
        b'<html><body><p class="x">hi  there\nyou</p><br>\n<!-- <img src="no.gif"> -->'
        b' <a href="/q?a=1&b=2" onclick=\'go()\'>link</a></body></html>\n')
    got, text = command_page(proxy, nginx, "htmltree", "/tree.html")
    assert got.status == 200 and title_of(text) == "HTML tree for 127.0.0.1/tree.html"
    rows = re.findall(r'<tr><td><table border="0" cellpadding="0" cellspacing="0"><tr>'
                      r'<td width="(\d+)"></td><td>(.*?)</td></tr></table></td></tr>', text)
    # (indent in pixels, what the row shows): a tag's name and attributes each followed by a
    # blank, text in quotes with its blanks and line ends kept visible; a comment stays text,
    # and the origin's markup is escaped.
    assert rows == [
        ("0", "html "),
        ("36", "body "),
        ("72", 'p class="x" '),
        ("72", '"hi&nbsp;&nbsp;there<br>you"'),
        ("36", "br "),
        ("36", '"<br>&lt;!--&nbsp;&lt;img&nbsp;src=&quot;no.gif&quot;&gt;&nbsp;--&gt;&nbsp;"'),
        ("72", 'a href="/q?a=1&amp;b=2" onclick="\'go()\'" '),
        ("72", '"link"'),
    ]


def test_a_cached_entry_shows_its_figures_and_header(tarvodine, xml_files, tmp_path, nginx):
    from conftest import wait_until
    from test_cache import CacheProxy, cache_element, stored_whole

    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
    url = f"http://127.0.0.1:{nginx.http_port}/hello.txt"
    assert proxy.get(url).status == 200
    wait_until(lambda: stored_whole(store, url), 10, "the object stored")

    got, text = command_page(proxy, nginx, "cache", "/hello.txt")
    assert got.status == 200
    assert "Nothing found" not in text
    rows = dict(re.findall(r"<tr><td>([^<]*)</td><td>([^<]*)</td></tr>", text))
    assert rows["Path"] == str(store)
    assert re.fullmatch(r"\d+ bytes", rows["Size"]) and int(rows["Size"].split()[0]) > 18
    date = r"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT"
    assert re.fullmatch(date, rows["Retrieved"])
    # Times the entry does not have get no row at all.
    for name in ("Last modified", "Expires", "Fresh until"):
        assert name not in rows or re.fullmatch(date, rows[name]), name
    for name in ("Minimum age", "Maximum age", "Validate age"):
        assert rows[name].isdigit(), name
    assert rows["Last-Modified time factor"].endswith("%")
    assert "Flags" in rows and "MD5 sum" in rows
    assert "Server: nginx" in text and "Content-Length: 18" in text
    # The page's own lookup kept the entry as it was: a second look shows it again.
    _, again = command_page(proxy, nginx, "cache", "/hello.txt")
    assert "Nothing found" not in again
