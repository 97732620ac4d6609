"""Large bodies relayed past the buffer: every framing arrives byte for byte with the access log
counting the whole body, and a body the cache takes is still stored whole while it passes."""
import os

import pytest

from conftest import section_set, start_listening, wait_until
from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, get, origin_with_pages

LARGE = os.urandom(5 * 1024 * 1024 + 321)


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {"/large.bin": LARGE})
    yield server
    server.stop()


def logged_sizes(log) -> dict:
    """path of the URL -> the byte count of its access-log record."""
    found = {}
    for line in log.read_text().splitlines() if log.exists() else []:
        fields = line.split(" ")
        if len(fields) > 6 and fields[6].startswith("http://"):
            found["/" + fields[6].split("/", 3)[3]] = int(fields[4])
    return found


def chunked(body: bytes, size: int) -> bytes:
    pieces = [body[i:i + size] for i in range(0, len(body), size)]
    return b"".join(b"%x\r\n" % len(p) + p + b"\r\n" for p in pieces) + b"0\r\n\r\n"


def test_large_bodies_of_every_framing_arrive_whole_and_are_logged_at_their_length(tarvodine, xml_files,
                                                                                    origin, origin_with, tmp_path):
    scripted = origin_with(
        b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n" + LARGE,
        b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
        chunked(LARGE, 1024 * 1024 + 7))
    config, section = xml_files
    config.write_text(section_set(config.read_text(), element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE))))
    log = tmp_path / "access.log"
    proxy = start_listening(tarvodine, config, section, "-a", log)
    urls = {"/large.bin": origin.url("/large.bin"),
            "/until-close": f"http://127.0.0.1:{scripted.port}/until-close",
            "/chunked": f"http://127.0.0.1:{scripted.port}/chunked"}
    for path, url in urls.items():
        status, _, body = get(proxy, url)
        assert status.startswith("HTTP/1.1 200"), (path, status)
        assert len(body) == len(LARGE), path
        assert body == LARGE, path
    wait_until(lambda: len(logged_sizes(log)) == len(urls), 10, "every record")
    assert logged_sizes(log) == {path: len(LARGE) for path in urls}


def test_a_large_body_the_cache_takes_is_stored_whole_as_it_passes(tarvodine, xml_files, tmp_path, origin):
    from test_cache import CacheProxy, cache_element, origin_requests

    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
    url = origin.url("/large.bin?cached")
    first = proxy.get(url)
    second = proxy.get(url)
    assert first.status == second.status == 200
    assert "MISS" in first.headers["x-cache"] and "HIT" in second.headers["x-cache"]
    assert first.body == LARGE and second.body == LARGE
    assert origin_requests(origin, "/large.bin?cached") == 1
