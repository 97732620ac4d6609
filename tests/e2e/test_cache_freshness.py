"""Freshness end to end: a scripted origin sets Cache-Control and Last-Modified and answers
conditional requests with 304, while the proxy's clock is moved by the test."""
import re
from email.utils import parsedate_to_datetime

import pytest

from cache_clock import HOLDOFF
from conftest import wait_until
from counting_origin import proxy_get
from scripted_origin import ScriptedOrigin
from test_cache import CacheProxy, cache_element

BODY = b"fresh body " * 50
LAST_MODIFIED = "Mon, 01 Jan 2029 00:00:00 GMT"


def ok(*lines):
    head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
    head += "".join(line + "\r\n" for line in lines)
    return (head + f"Content-Length: {len(BODY)}\r\n\r\n").encode() + BODY


NOT_MODIFIED = b"HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n"


def request_header(raw: bytes, name: str):
    found = re.search(rb"(?im)^" + name.encode() + rb":\s*(.*?)\r$", raw)
    return found.group(1).decode() if found else None


def test_hold_off_hits_and_revalidation_of_stale_objects(tarvodine, xml_files, tmp_path):
    origin = ScriptedOrigin([ok("Cache-Control: max-age=600", f"Last-Modified: {LAST_MODIFIED}")] * 2
                            + [NOT_MODIFIED, NOT_MODIFIED])
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start(past_holdoff=False)
        url = origin.url("/page")

        # Right after start-up nothing is stored.
        first = proxy_get(proxy, url, "127.0.0.1")
        assert first.body == BODY and "MISS" in first.headers["x-cache"]
        proxy.clock.advance(HOLDOFF)
        stored = proxy_get(proxy, url, "127.0.0.1")
        assert stored.body == BODY and "MISS" in stored.headers["x-cache"]
        assert origin.accepted == 2
        retrieved = proxy.clock.start + proxy.clock.offset
        # The writer dates the object when it finishes, after the client has its last byte: wait
        # for that before the clock moves on.
        wait_until(lambda: proxy.proc.native_log().count("disconnected after making 1 requests") == 2,
                   what="the stored copy finished")

        # Fresh: served without the origin.
        hit = proxy_get(proxy, url, "127.0.0.1")
        assert hit.body == BODY and "HIT" in hit.headers["x-cache"]
        assert origin.accepted == 2

        # Stale after max-age: one conditional request, answered from the cache on a 304.
        proxy.clock.advance(700)
        refreshed = proxy_get(proxy, url, "127.0.0.1")
        assert refreshed.status == 200 and refreshed.body == BODY
        assert origin.accepted == 3
        since = request_header(origin.requests[-1], "If-Modified-Since")
        assert since is not None, origin.requests[-1]
        # The object's retrieval time, on the cache clock (GMT offset in whole quarter hours).
        delta = parsedate_to_datetime(since).timestamp() - retrieved
        assert abs(delta - round(delta / 900) * 900) < 60, since

        # Revalidated, it is fresh again; the client's no-cache still forces a validation.
        assert "HIT" in proxy_get(proxy, url, "127.0.0.1").headers["x-cache"]
        assert origin.accepted == 3
        forced = proxy_get(proxy, url, "127.0.0.1", headers={"Cache-Control": "no-cache"})
        assert forced.body == BODY
        assert origin.accepted == 4
        assert request_header(origin.requests[-1], "If-Modified-Since") is not None
    finally:
        origin.stop()


def test_uncachable_exchanges_always_reach_the_origin(tarvodine, xml_files, tmp_path):
    cases = [
        ("a Range request", {"Range": "bytes=0-9"}, ok("Cache-Control: max-age=600")),
        ("credentials", {"Authorization": "Basic dXNlcjpwYXNz"}, ok("Cache-Control: max-age=600")),
        ("a 203 answer", {}, ok("Cache-Control: max-age=600").replace(b"200 OK", b"203 Non-Authoritative", 1)),
        ("a must-revalidate answer", {}, ok("Cache-Control: max-age=600, must-revalidate")),
        ("a no-cache answer naming a field", {}, ok('Cache-Control: max-age=600, no-cache="Set-Cookie"')),
    ]
    origin = ScriptedOrigin([reply for _, _, reply in cases for _ in range(2)])
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()
        for index, (what, headers, _) in enumerate(cases):
            url = origin.url(f"/{index}")
            for _ in range(2):
                answer = proxy_get(proxy, url, "127.0.0.1", headers=headers)
                assert answer.body == BODY, what
            assert origin.accepted == 2 * (index + 1), what
    finally:
        origin.stop()



@pytest.mark.parametrize("zone", ["UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York"])
def test_the_hold_off_and_the_age_of_hits_are_the_same_in_every_zone(tarvodine, xml_files, tmp_path, zone):
    """The cache opens 180 s after start and a hit's Age counts the seconds since retrieval,
    whatever the zone the proxy runs in: UTC, east of it with and without daylight saving, and
    west of it."""
    origin = ScriptedOrigin([ok("Cache-Control: max-age=3600")] * 3)
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element(),
                           wrapper=(f"TZ={zone}",)).start(past_holdoff=False)
        url = origin.url("/page")
        # Held off: answers are neither stored nor looked up.
        assert "MISS" in proxy_get(proxy, url, "127.0.0.1").headers["x-cache"]
        proxy.clock.advance(170)
        assert "MISS" in proxy_get(proxy, url, "127.0.0.1").headers["x-cache"]
        assert origin.accepted == 2
        proxy.clock.advance(HOLDOFF - 170)
        assert "MISS" in proxy_get(proxy, url, "127.0.0.1").headers["x-cache"]
        assert origin.accepted == 3
        wait_until(lambda: proxy.proc.native_log().count("disconnected after making 1 requests") == 3,
                   what="the stored copy finished")

        proxy.clock.advance(100)
        hit = proxy_get(proxy, url, "127.0.0.1")
        assert hit.body == BODY and "HIT" in hit.headers["x-cache"]
        assert origin.accepted == 3
        # The test's own steps add a few real seconds to the 100 the clock was moved.
        assert 100 <= int(hit.headers["age"]) < 160, hit.headers["age"]
    finally:
        origin.stop()


def test_a_copy_confirmed_by_its_last_modified_keeps_the_server_connection(tarvodine, xml_files, tmp_path):
    """With violations on, a no-store answer is kept and revalidated on every request; a 200 that
    confirms it by its Last-Modified is a refresh hit, and its small body is read rather than its
    connection cut: the next request goes out on the same server connection."""
    reply = (f"HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nLast-Modified: {LAST_MODIFIED}\r\n"
             f"Content-Length: {len(BODY)}\r\n\r\n").encode() + BODY

    def keep_alive(conn, origin):
        while origin.read(conn):
            conn.sendall(reply)

    # A connection per request would use up the scripts and make accepted count them.
    origin = ScriptedOrigin([keep_alive] * 4)
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element(violations="true")).start()
        url = origin.url("/kept")
        for _ in range(4):
            answer = proxy_get(proxy, url, "127.0.0.1")
            assert answer.status == 200 and answer.body == BODY
        assert origin.accepted == 1
        assert len(origin.requests) == 4
        assert all(request_header(request, "If-Modified-Since") for request in origin.requests[1:])
        wait_until(lambda: proxy.access_log.read_text().count("TCP_REFRESH_HIT/200") == 3, 10,
                   what="three refresh hits logged")
        assert proxy.access_log.read_text().count("TCP_MISS/200") == 1
    finally:
        origin.stop()
