"""What one client's answer may give another through the cache: two clients ask a scripted
origin for one URL in turn, and the second must never get what was made for the first alone (a
private or no-store answer, the first client's cookie, a variant chosen by its request lines),
while an answer meant for everyone is still served from the cache."""
import pytest

from conftest import wait_until
from counting_origin import proxy_get
from scripted_origin import ScriptedOrigin
from test_cache import CacheProxy, cache_element

FIRST = b"made for the first client " * 20
SECOND = b"made for the second client " * 20


def answer(body, *lines):
    head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
    head += "".join(line + "\r\n" for line in lines)
    return (head + f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def finished(proxy, requests):
    """Waits until the proxy has ended `requests` client connections: a stored copy is complete
    once its client's connection has ended."""
    wait_until(lambda: proxy.proc.native_log().count("disconnected after making 1 requests") >= requests,
               what="the first exchange finished")


@pytest.fixture
def proxy(tarvodine, xml_files, tmp_path):
    return CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()


@pytest.mark.parametrize("what, lines, first_headers, second_headers", [
    ("a private answer", ["Cache-Control: private, max-age=600"], {}, {}),
    ("a private answer naming fields", ['Cache-Control: max-age=600, private="Set-Cookie"'], {}, {}),
    ("a no-cache answer", ["Cache-Control: no-cache, max-age=600"], {}, {}),
    ("an answer that varies on the language", ["Cache-Control: max-age=600", "Vary: Accept-Language"],
     {"Accept-Language": "attacker-poison"}, {"Accept-Language": "en"}),
    ("an answer that varies on anything", ["Cache-Control: max-age=600", "Vary: *"], {}, {}),
    ("an answer that varies on a line among others", ["Cache-Control: max-age=600",
                                                      "Vary: Accept-Encoding, User-Agent"],
     {"User-Agent": "first"}, {"User-Agent": "second"}),
])
def test_an_answer_made_for_one_request_is_not_served_to_the_next(proxy, what, lines, first_headers,
                                                                  second_headers):
    origin = ScriptedOrigin([answer(FIRST, *lines), answer(SECOND, *lines)])
    try:
        url = origin.url("/account")
        first = proxy_get(proxy, url, "127.0.0.1", headers=first_headers)
        assert first.body == FIRST, what
        finished(proxy, 1)
        second = proxy_get(proxy, url, "127.0.0.1", headers=second_headers)
        assert second.body == SECOND and "MISS" in second.headers["x-cache"], what
        assert origin.accepted == 2, what
    finally:
        origin.stop()


def test_a_no_store_answer_is_not_kept_for_an_offline_request(proxy):
    origin = ScriptedOrigin([answer(FIRST, "Cache-Control: no-store", "Set-Cookie: session=first")])
    try:
        authority = f"127.0.0.1:{origin.port}"
        first = proxy_get(proxy, f"http://{authority}/account", authority)
        assert first.body == FIRST and first.headers["set-cookie"] == "session=first"
        finished(proxy, 1)
        # The shipped access rule grants local clients the URL commands.
        offline = f"xx--offline.{authority}"
        second = proxy_get(proxy, f"http://{offline}/account", offline)
        assert second.status == 404 and "Cache file not found" in second.body.decode("latin-1")
        assert "set-cookie" not in second.headers
        assert origin.accepted == 1
    finally:
        origin.stop()


def test_a_shared_answer_is_served_from_the_cache_without_the_first_clients_cookies(proxy):
    lines = ["Cache-Control: max-age=600", "Set-Cookie: session=first", "Set-Cookie2: legacy=first",
             "Vary: Accept-Encoding", "X-Kept: yes"]
    origin = ScriptedOrigin([answer(FIRST, *lines)])
    try:
        url = origin.url("/page")
        first = proxy_get(proxy, url, "127.0.0.1")
        assert first.body == FIRST and "MISS" in first.headers["x-cache"]
        assert first.headers["set-cookie"] == "session=first" and first.headers["set-cookie2"] == "legacy=first"
        finished(proxy, 1)
        # The proxy chose the Accept-Encoding it sent, so the variant suits every client.
        second = proxy_get(proxy, url, "127.0.0.1")
        assert second.body == FIRST and "HIT" in second.headers["x-cache"]
        assert "set-cookie" not in second.headers and "set-cookie2" not in second.headers
        assert second.headers["x-kept"] == "yes"
        assert origin.accepted == 1
    finally:
        origin.stop()
