"""The object cache end to end against nginx: hits, readers that follow a writer, object files
and journals in a store directory, restarts (clean and after kill -9), the MD5 check, a full
disk and the cache's clock under faketime. The proxy runs on a clock the test moves past the
cache's start-up hold-off."""
import contextlib
import hashlib
import http.client
import os
import random
import signal
import socket
import threading
from pathlib import Path

import pytest

from cache_clock import HOLDOFF, Clock
from conftest import free_port, wait_port, wait_until
from counting_origin import fetch, proxy_get
from origin import Origin, _random_file
from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, section_set
from scripted_origin import ScriptedOrigin

CACHE_GLOBALS = {"enabled": "true", "violations": "false", "memorysize": "64M", "memoryextra": "4M",
                 "minsize": "0", "maxsize": "16M", "prefetchwindow": "60", "icpport": "0", "icptimeout": "1000",
                 "storeselect": "0", "journalthreshold": "0", "cleaninterval": "0"}
# Objects stay fresh for a day: these tests are about storing, not about revalidation.
REFRESH_DAY = {"enabled": "true", "comment": "", "profiles": "", "cache": "true", "minage": "0",
               "maxage": "86400", "validate": "86400", "lmfactor": "100"}
SLOW_SIZE = 384 * 1024   # three seconds at the origin's 128 KiB/s


def cache_element(*stores, refresh=(REFRESH_DAY,), size="1G", margin="0", **globals_):
    values = dict(CACHE_GLOBALS, **globals_)
    items = [("store", {"enabled": "true", "comment": "", "profiles": "", "path": str(path), "size": size,
                        "margin": margin, "md5": str(md5)}) for path, md5 in stores]
    items += [("refresh", rule) for rule in refresh]
    return element("cache", values, *items)


def object_file(store: Path, url: str) -> Path:
    """The file of url's object: the one under store named by the MD5 of the key."""
    name = hashlib.md5(url.encode()).hexdigest()
    found = list(store.glob(f"??/{name}"))
    return found[0] if found else None


def journal_lines(store: Path):
    path = store / "journal"
    return [line.split("\t") for line in path.read_text().splitlines()] if path.exists() else []


@pytest.fixture
def origin(tmp_path):
    server = Origin(tmp_path / "origin", big=False)
    (server.dir / "www" / "slow").mkdir()
    _random_file(server.dir / "www" / "slow" / "one.bin", SLOW_SIZE)
    _random_file(server.dir / "www" / "slow" / "two.bin", SLOW_SIZE)
    yield server
    server.stop()


class CacheProxy:
    """tarvodine with the cache section given, restartable on the same files and port."""

    def __init__(self, tarvodine, xml_files, tmp_path, cache, wrapper=(), clock=None):
        self.tarvodine = tarvodine
        self.config, self.section = xml_files
        text = self.config.read_text()
        text = section_set(text, element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
        text = section_set(text, cache)
        self.config.write_text(text)
        self.access_log = tmp_path / "access.log"
        self.port = free_port()
        self.clock = clock if clock is not None else Clock(tmp_path)
        self.wrapper = self.clock.wrapper(*wrapper)
        self.proc = None

    def start(self, *extra, past_holdoff=True):
        """Starts the proxy (with the extra options given) and moves its clock past the start-up
        hold-off."""
        self.proc = self.tarvodine("-c", self.config, "-s", self.section, "-L", f"127.0.0.1:{self.port}",
                                   "-a", self.access_log, "-d", str(0xFFFFFFF), *extra, wrapper=self.wrapper)
        wait_port(self.port)
        if past_holdoff:
            self.clock.advance(HOLDOFF)
        return self

    def get(self, url: str):
        return proxy_get(self, url, url.split("/")[2])


def stored_whole(store: Path, url: str) -> bool:
    """The journal's last line for url says the object is complete on disk: the writer has
    finished (after the client had its last byte)."""
    lines = [cols for cols in journal_lines(store) if len(cols) > 1 and cols[1] == url]
    return bool(lines) and int(lines[-1][0]) & 0x1083 == 0x80


def origin_requests(origin, path: str, at_least: int = 1) -> int:
    """The origin's log lines for path, once there are at_least of them or 10 seconds passed:
    nginx logs a request after its last byte is sent, which may be after the client has it."""
    def count():
        return origin.access_log().count(f'"GET {path} HTTP/1.1"')
    with contextlib.suppress(AssertionError):
        wait_until(lambda: count() >= at_least, 10, f"{at_least} requests for {path} logged")
    return count()


def test_a_second_fetch_is_a_hit_served_from_the_store(tarvodine, xml_files, tmp_path, origin):
    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
    url = origin.url("/1k.bin")
    first = proxy.get(url)
    second = proxy.get(url)
    assert first.status == second.status == 200
    assert first.body == second.body == origin.file("1k.bin")
    assert "MISS" in first.headers["x-cache"] and "HIT" in second.headers["x-cache"]
    # The access log is made at its first record, which is written after the answer has gone.
    wait_until(lambda: proxy.access_log.exists() and "TCP_HIT" in proxy.access_log.read_text(), 10,
               "the hit in the access log")
    assert "TCP_MISS" in proxy.access_log.read_text()
    assert origin_requests(origin, "/1k.bin") == 1

    # The object's file holds the header text as received, then the body; the journal's last
    # line for it has ten columns.
    path = object_file(store, url)
    assert path is not None and len(path.parent.name) == 2
    stored = path.read_bytes()
    assert stored.startswith(b"HTTP/1.1 200 OK\r\n") and stored.endswith(origin.file("1k.bin"))
    wait_until(lambda: stored_whole(store, url), 10, "the object finished")
    line = [cols for cols in journal_lines(store) if cols[1] == url][-1]
    assert len(line) == 10
    assert int(line[0]) & 0x1083 == 0x80          # on disk, complete
    assert int(line[2]) == len(stored)
    assert line[9] == "0"                          # no verification asked


def test_hits_on_one_kept_connection_arrive_whole_one_after_another(tarvodine, xml_files, tmp_path, origin):
    # A hit's header and a small body leave together, a large body follows its header: either
    # way each answer ends at its Content-Length and the connection serves the next request.
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()
    urls = [origin.url("/1k.bin"), origin.url("/1m.bin")]
    for url in urls:
        assert proxy.get(url).status == 200
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        conn.connect()
        kept = conn.sock
        for url in urls + urls[::-1] + urls:
            answer = fetch(conn, "GET", url, url.split("/")[2])
            expected = origin.file(url.rsplit("/", 1)[1])
            assert answer.status == 200 and "HIT" in answer.headers["x-cache"]
            assert int(answer.headers["content-length"]) == len(expected) and answer.body == expected
            assert conn.sock is kept, "the proxy closed a kept connection after a hit"
    finally:
        conn.close()
    assert origin_requests(origin, "/1k.bin") == origin_requests(origin, "/1m.bin") == 1


def test_two_clients_on_a_slow_url_get_identical_bodies_with_one_origin_request(tarvodine, xml_files, tmp_path,
                                                                                origin):
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()
    url = origin.url("/slow/one.bin")
    results = [None, None]

    def fetch(i):
        results[i] = proxy.get(url)

    first = threading.Thread(target=fetch, args=(0,))
    first.start()
    # The second client comes while the first transfer is still being written.
    wait_until(lambda: "create: " in proxy.proc.native_log(), 10, "the first transfer under way")
    second = threading.Thread(target=fetch, args=(1,))
    second.start()
    first.join(60)
    second.join(60)
    expected = origin.file("slow/one.bin")
    assert results[0].body == expected and results[1].body == expected
    assert "HIT" in results[1].headers["x-cache"]
    assert origin_requests(origin, "/slow/one.bin") == 1
    assert "cache: sending file while being written" in proxy.proc.native_log()


def test_objects_survive_a_clean_stop(tarvodine, xml_files, tmp_path, origin):
    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
    url = origin.url("/1m.bin")
    assert proxy.get(url).body == origin.file("1m.bin")
    wait_until(lambda: stored_whole(store, url), 10, "the object finished")
    proxy.proc.stop()
    proxy.start()
    again = proxy.get(url)
    assert again.body == origin.file("1m.bin")
    assert "HIT" in again.headers["x-cache"]
    assert origin_requests(origin, "/1m.bin") == 1


def test_a_kill_in_mid_transfer_leaves_no_half_written_object(tarvodine, xml_files, tmp_path, origin):
    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
    whole = origin.url("/1k.bin")
    cut = origin.url("/slow/two.bin")
    assert proxy.get(whole).status == 200
    wait_until(lambda: stored_whole(store, whole), 10, "the object finished")

    client = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
    client.sendall(f"GET {cut} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    received = client.recv(65536)
    assert received.startswith(b"HTTP/1.1 200")
    wait_until(lambda: object_file(store, cut) is not None and object_file(store, cut).stat().st_size > 0,
               10, "the half-written object's file")
    os.kill(proxy.proc.pid, signal.SIGKILL)
    client.close()
    wait_until(lambda: not proxy.proc.alive(), 10, "the killed proxy gone")

    proxy.start()
    # Reading the journal dropped the object that was being written, and its file.
    wait_until(lambda: object_file(store, cut) is None, 10, "the half-written file deleted")
    assert "final state was invalid" in proxy.proc.native_log()
    assert "HIT" in proxy.get(whole).headers["x-cache"]
    refetched = proxy.get(cut)
    assert refetched.body == origin.file("slow/two.bin")
    assert "MISS" in refetched.headers["x-cache"]
    assert origin_requests(origin, "/1k.bin") == 1


def test_a_flipped_byte_is_caught_by_the_md5_check(tarvodine, xml_files, tmp_path, origin):
    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 1))).start()
    url = origin.url("/1k.bin")
    assert proxy.get(url).status == 200
    wait_until(lambda: stored_whole(store, url), 10, "the object finished")
    proxy.proc.stop()
    line = [cols for cols in journal_lines(store) if cols[1] == url][-1]
    path = object_file(store, url)
    assert line[9] == hashlib.md5(path.read_bytes()).hexdigest()
    data = bytearray(path.read_bytes())
    data[-1] ^= 0xFF
    path.write_bytes(bytes(data))

    proxy.start()
    got = proxy.get(url)
    assert got.body == origin.file("1k.bin")
    assert "MISS" in got.headers["x-cache"]
    assert "cache: md5 mismatch" in proxy.proc.native_log()
    assert origin_requests(origin, "/1k.bin", at_least=2) == 2


def test_a_stored_answer_varying_on_the_clients_request_is_fetched_anew(tarvodine, xml_files, tmp_path):
    # Such an answer is never stored, but one an earlier version stored is on disk all the same:
    # made here from a stored answer by renaming one of its header lines in place.
    body = b"the variant of one client\n"
    answer = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: max-age=600\r\n"
              b"X-Va: Accept-Language\r\nConnection: close\r\nContent-Length: %d\r\n\r\n" % len(body)) + body
    origin = ScriptedOrigin([answer] * 2)
    store = tmp_path / "store"
    store.mkdir()
    try:
        proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0))).start()
        url = origin.url("/page")
        assert "MISS" in proxy.get(url).headers["x-cache"]
        wait_until(lambda: stored_whole(store, url), 10, "the object finished")
        proxy.proc.stop()
        path = object_file(store, url)
        # The file's times are the object's: they stay.
        times = path.stat()
        path.write_bytes(path.read_bytes().replace(b"\r\nX-Va: ", b"\r\nVary: ", 1))
        os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))

        proxy.start()
        again = proxy_get(proxy, url, "127.0.0.1", headers={"Accept-Language": "de"})
        assert again.body == body and "MISS" in again.headers["x-cache"]
        assert origin.accepted == 2
        assert "cache: stored answer varies on the request: " + url in proxy.proc.native_log()
        # The answer fetched anew takes its place.
        wait_until(lambda: stored_whole(store, url), 10, "the new object finished")
        hit = proxy_get(proxy, url, "127.0.0.1", headers={"Accept-Language": "fr"})
        assert hit.body == body and "HIT" in hit.headers["x-cache"]
        assert origin.accepted == 2
    finally:
        origin.stop()


def test_a_full_store_keeps_caching_in_memory(tarvodine, xml_files, tmp_path, origin):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    store = tmp_path / "store"
    store.mkdir()
    # A 256 KiB tmpfs over the store, in a mount namespace of the proxy's alone.
    wrapper = ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
               f'mount -t tmpfs -o size=256k tmpfs "{store}" && exec "$@"', "sh"]
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0)), wrapper=wrapper).start()
    url = origin.url("/1m.bin")
    first = proxy.get(url)
    assert first.body == origin.file("1m.bin")
    wait_until(lambda: "disk is full" in proxy.proc.native_log(), 10, "the disk-full line")
    second = proxy.get(url)
    assert second.body == origin.file("1m.bin")
    assert "HIT" in second.headers["x-cache"]
    assert origin_requests(origin, "/1m.bin") == 1
    assert proxy.proc.alive()


def test_the_journal_takes_its_times_from_the_cache_clock(tarvodine, xml_files, tmp_path, origin):
    store = tmp_path / "store"
    store.mkdir()
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0)))
    proxy.start()
    url = origin.url("/1k.bin")
    assert proxy.get(url).status == 200
    wait_until(lambda: stored_whole(store, url), 10, "the object finished")
    line = [cols for cols in journal_lines(store) if cols[1] == url][-1]
    faked = proxy.clock.start + proxy.clock.offset
    offset = int(line[3]) - faked
    # The cache clock is the faked time plus the GMT offset (whole quarter hours); the test ran
    # for seconds of it.
    assert abs(offset - round(offset / 900) * 900) < 120, line
    assert int(line[4]) >= int(line[3])


def access_records(log: Path):
    """The access log's records, each split into its eleven fields."""
    return [line.split() for line in log.read_text().splitlines() if line and not line.startswith("#")]


def test_concurrent_first_requests_for_new_urls_all_get_the_object_and_their_own_record(tarvodine, xml_files,
                                                                                        tmp_path, origin):
    # Fifty kept-alive clients ask for one new URL at once, round after round: one of them
    # creates the object, the others follow it, find it complete or fetch it themselves. Each
    # answer must be the whole object, and the access log must say of each request what its
    # client got.
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start()
    expected = origin.file("1k.bin")
    clients, rounds = 50, 40
    socks = [socket.create_connection(("127.0.0.1", proxy.port), timeout=60) for _ in range(clients)]
    received = {}
    try:
        for round_ in range(rounds):
            url = origin.url(f"/1k.bin?round={round_}")
            request = f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode()
            # Sent from one loop, microseconds apart: the requests meet inside the proxy.
            for sock in socks:
                sock.sendall(request)
            answers = []
            for sock in socks:
                response = http.client.HTTPResponse(sock, method="GET")
                response.begin()
                answers.append((response.status, response.getheader("x-cache", ""),
                                response.getheader("content-length"), response.read(), response.will_close))
            received[url] = answers
            for status, xcache, length, body, closing in answers:
                assert (status, length, body[:100]) == (200, str(len(expected)), expected[:100]), url
                assert body == expected and not closing, url
    finally:
        for sock in socks:
            sock.close()

    wait_until(lambda: len(access_records(proxy.access_log)) >= clients * rounds, 30, "every request's record")
    records = access_records(proxy.access_log)
    assert len(records) == clients * rounds
    for url, answers in received.items():
        mine = [r for r in records if r[6] == url]
        assert len(mine) == clients, url
        assert sorted(r[3] for r in mine) == sorted(
            ("TCP_HIT" if "HIT" in xcache else "TCP_MISS") + f"/{status}" for status, xcache, *_ in answers), url


def test_a_follower_that_stops_reading_holds_back_neither_the_writer_nor_other_followers(tarvodine, xml_files,
                                                                                         tmp_path, origin):
    # A body without a declared length grows its mapping block by block while it is stored. One
    # follower's client stops reading (its socket buffers, made small, fill at once); the
    # download, the writer's client and another follower still go at the origin's pace.
    page = origin.dir / "www" / "slowchunked" / "page.html"
    page.parent.mkdir()
    page.write_bytes(bytes(random.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 \n") for _ in range(1 << 20)))
    proxy = CacheProxy(tarvodine, xml_files, tmp_path, cache_element()).start("-b", "16384:-1")
    url = origin.url("/slowchunked/page.html")
    expected = page.read_bytes()
    results = {}

    def fetch_whole(name):
        try:
            results[name] = proxy.get(url)
        except OSError as error:   # the 30-second time-out of a client held back
            results[name] = error

    writer = threading.Thread(target=fetch_whole, args=("writer",))
    writer.start()
    wait_until(lambda: "create: " + url in proxy.proc.native_log(), 20, "the object being stored")
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.settimeout(30)
    try:
        stalled.connect(("127.0.0.1", proxy.port))
        stalled.sendall(f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        wait_until(lambda: proxy.proc.native_log().count("cache: sending file while being written") >= 1, 20,
                   "the stalled client following the writer")
        follower = threading.Thread(target=fetch_whole, args=("follower",))
        follower.start()
        # Four seconds at the origin's pace; a follower that held the writer back would keep it
        # until the proxy's minute-long write time-out gave up on the stalled client, past the
        # clients' own 30-second time-out.
        writer.join(60)
        follower.join(60)
    finally:
        stalled.close()
    for name in ("writer", "follower"):
        answer = results[name]
        assert not isinstance(answer, OSError), f"the {name}'s client was held back: {answer}"
        assert answer.status == 200 and answer.body == expected, name
    assert "HIT" in results["follower"].headers["x-cache"]
    assert origin_requests(origin, "/slowchunked/page.html") == 1
