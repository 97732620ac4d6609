"""Redirect rules against nginx: a request answered with a 302 to the new URL, one fetched from
the new URL in its place, and a Location nginx sends changed on its way to the client."""
import pytest

from rules_helpers import element, get, origin_with_pages, proxy_with

PAGE = b"<html><body>the new place</body></html>\n"


def rule(pattern: str, new: str, send302: int, applyto: int = 1, options: int = 0) -> tuple:
    return ("redirect", {"enabled": "true", "comment": "", "profiles": "", "url": pattern, "redirect": new,
                         "port": "-1", "send302": str(send302), "options": str(options), "applyto": str(applyto)})


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {"/new/page.html": PAGE})
    # A directory without its slash: nginx answers 301 with a Location.
    (server.dir / "www" / "dir").mkdir()
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files, origin):
    section = element(
        "redirect", {"enabled": "true"},
        rule(r"^http://127\.0\.0\.1/away/(.*)", f"http://127.0.0.1:{origin.port}/new/$1", 1),
        rule(r"^http://127\.0\.0\.1/inplace/(.*)", "/new/$1", 0),
        rule(r"^http://127\.0\.0\.1(:\d+)?/dir/$", "http://elsewhere.invalid/dir/\\r\\nX-Injected: 1", 0, applyto=0))
    return proxy_with(tarvodine, xml_files, section)


def test_a_matching_request_is_answered_with_a_302(proxy, origin):
    status, headers, body = get(proxy, origin.url("/away/page.html"))
    assert status.startswith("HTTP/1.1 302"), status
    assert headers["location"] == f"http://127.0.0.1:{origin.port}/new/page.html"
    assert headers["content-length"] == "0" and body == b""
    assert "/away/" not in origin.access_log()


def test_a_request_rewritten_in_place_is_fetched_from_the_new_url(proxy, origin):
    status, _, body = get(proxy, origin.url("/inplace/page.html"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGE
    origin.log_lines("GET /new/page.html ")
    assert "/inplace/" not in origin.access_log()


def test_a_location_is_replaced_with_its_control_bytes_encoded(proxy, origin):
    status, headers, _ = get(proxy, origin.url("/dir"))
    assert status.startswith("HTTP/1.1 301"), status
    assert headers["location"] == "http://elsewhere.invalid/dir/%0D%0AX-Injected: 1"
    assert "x-injected" not in headers
