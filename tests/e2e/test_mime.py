"""The MIME filter against nginx: a response of a blocked type is replaced by the block page,
others pass untouched, and the URL command "mime" names the blocking rule."""
import pytest

from rules_helpers import element, get, origin_with_pages, proxy_with

PAGE = b"<html><body>a plain page</body></html>\n"
RULE = {"enabled": "true", "comment": "no downloads", "profiles": "", "host": "", "file": "",
        "mime": "^application/octet-stream$", "template": ""}


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {"/page.html": PAGE})
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files):
    mime = element("mime-filtering", {"enabled": "true", "order": "deny_allow", "template": ""}, ("deny", RULE))
    return proxy_with(tarvodine, xml_files, mime)


def test_a_blocked_type_gets_the_block_page_and_others_pass(proxy, origin):
    status, headers, body = get(proxy, origin.url("/1k.bin"))
    assert status.startswith("HTTP/1.1 200"), status
    assert headers["content-type"].startswith("text/html")
    assert b"is blocked" in body and origin.file("1k.bin") not in body
    assert "blocked: mime-type application/octet-stream from 127.0.0.1/1k.bin" in proxy.native_log()

    status, headers, body = get(proxy, origin.url("/page.html"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGE


def test_the_mime_command_names_the_blocking_rule(proxy, origin):
    host = origin.url("/1k.bin").replace("http://", "http://xx--mime.")
    status, _, body = get(proxy, host)
    assert status.startswith("HTTP/1.1 200"), status
    assert b"MIME filter match for 127.0.0.1/1k.bin" in body
    assert b"no downloads" in body

    status, _, body = get(proxy, origin.url("/page.html").replace("http://", "http://xx--mime."))
    assert b">None<" in body
