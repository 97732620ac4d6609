"""Cleaning, deletion and the stop end to end against nginx, on a clock the test moves: a stream of
distinct objects through small memory and store limits, SIGTERM while clients fetch, the restart
after it, and the "offline" URL command answering from the cache alone."""
import hashlib
import http.client
import random
import re
import signal
import threading
from pathlib import Path

import pytest

from cache_clock import HOLDOFF, Clock
from conftest import wait_until
from counting_origin import proxy_get
from interface_helpers import PASSWORD, USER, ask, interface_proxy
from origin import Origin, _random_file
from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, section_set
from test_cache import CACHE_GLOBALS, REFRESH_DAY, cache_element, journal_lines, stored_whole

OBJECT_SIZE = 40 * 1024
MEMORY_SIZE = 300 * 1024
STORE_SIZE = 400 * 1024
# A margin above 9,999,999 bytes cleans a store over its size down to its size less the margin:
# here, to nothing but what is held.
MARGIN = "10000000"
INTERVAL = 5
# Moved between two requests: past the cleaning interval and past any hold-off a cleaning sets
# (interval + 120 s, then 120 s more before responses are taken again).
STEP = INTERVAL + 250
# Small objects: a cleaning of a store full of them queues a long list of files for deletion.
SMALL_COUNT = 400


@pytest.fixture
def origin(tmp_path):
    server = Origin(tmp_path / "origin", big=False)
    objects = server.dir / "www" / "o"
    objects.mkdir()
    for i in range(60):
        _random_file(objects / f"{i}.bin", OBJECT_SIZE)
    small = server.dir / "www" / "s"
    small.mkdir()
    for i in range(SMALL_COUNT):
        _random_file(small / f"{i}.bin", 1024)
    yield server
    server.stop()


class LimitedProxy:
    """tarvodine with the interface (for its cache page), URL commands and the given cache
    section, on a clock the test moves; restartable on the same files and clock."""

    def __init__(self, tarvodine, xml_files, tmp_path, cache):
        self.tarvodine, self.xml_files = tarvodine, xml_files
        config, _ = xml_files
        text = section_set(config.read_text(), element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
        config.write_text(section_set(text, cache))
        self.clock = Clock(tmp_path)
        self.proc = None
        self.port = None

    def start(self):
        self.proc = interface_proxy(self.tarvodine, self.xml_files, wrapper=self.clock.wrapper(),
                                    access="interface,proxy,urlcommand")
        self.port = self.proc.port
        self.clock.advance(HOLDOFF)
        return self

    def get(self, url: str, host=None):
        return proxy_get(self, url, host or url.split("/")[2])

    def cache_page(self) -> str:
        body = f"username={USER}&password={PASSWORD}".encode()
        status, _, page = ask(self, "/cache", "POST", body, "Referer: http://tarvodine/\r\n")
        assert status == "HTTP/1.1 200 OK"
        return page.decode("latin-1")

    def fill(self, store: Path):
        """(memory entries, memory bytes, store entries, store bytes) as the cache page shows them."""
        page = self.cache_page()
        memory = re.search(r"<td>Memory cache</td><td>(\d+) entries / (\d+) bytes", page)
        disk = re.search(rf"<td>Disk cache {re.escape(str(store))}</td><td>(\d+) entries / (\d+) bytes", page)
        assert memory and disk, page
        return int(memory[1]), int(memory[2]), int(disk[1]), int(disk[2])


def object_files(store: Path) -> dict:
    """The object files of a store, by name: {name: size}."""
    return {path.name: path.stat().st_size for path in store.glob("[0-9a-f][0-9a-f]/*") if path.is_file()}


def survivors(store: Path) -> set:
    """The keys a restart brings back from the store's journal: the last line of each says the
    object is complete and on disk."""
    last = {}
    for cols in journal_lines(store):
        if len(cols) > 1:
            last[cols[1]] = int(cols[0])
    return {key for key, flags in last.items() if flags & 0x1083 == 0x80}


def md5_names(keys) -> set:
    return {hashlib.md5(key.encode()).hexdigest() for key in keys}


STORE_LINE = r"{when} cleaning: disk store: {path}, entries: (\d+) entries, bytes: (\d+), used: (\d+)%, diskfull: ([01])"
MEMORY_LINE = r"{when} cleaning: memory: (\d+) entries, bytes (\d+), used: (\d+)%"


def percent(used: int, size: int) -> int:
    return used * 100 // size


def test_a_stream_of_distinct_objects_stays_within_the_memory_and_store_limits(tarvodine, xml_files, tmp_path,
                                                                               origin):
    store = tmp_path / "store"
    store.mkdir()
    cache = cache_element((store, 0), size=str(STORE_SIZE), margin=MARGIN, memorysize=str(MEMORY_SIZE),
                          memoryextra="0", cleaninterval=str(INTERVAL))
    proxy = LimitedProxy(tarvodine, xml_files, tmp_path, cache).start()
    # The header nginx sends is stored with each body.
    largest = OBJECT_SIZE + 1024
    count = 25   # 1 MB through 300 KiB of memory and a 400 KiB store
    for i in range(count):
        proxy.clock.advance(STEP)
        url = origin.url(f"/o/{i}.bin")
        got = proxy.get(url)
        assert got.status == 200 and got.body == origin.file(f"o/{i}.bin"), url
        _, memory_bytes, _, store_bytes = proxy.fill(store)
        assert memory_bytes <= MEMORY_SIZE, i
        # The object that noticed an overrun too early after a cleaning may stay over the size
        # until the next request's cleaning.
        assert store_bytes <= STORE_SIZE + largest, i

    log = proxy.proc.native_log()
    cleanings = log.count("cleaning triggered")
    assert cleanings >= 2, log
    befores = re.findall(STORE_LINE.format(when="before", path=re.escape(str(store))), log)
    afters = re.findall(STORE_LINE.format(when="after", path=re.escape(str(store))), log)
    memory_befores = re.findall(MEMORY_LINE.format(when="before"), log)
    memory_afters = re.findall(MEMORY_LINE.format(when="after"), log)
    assert len(befores) == len(afters) == len(memory_befores) == len(memory_afters) == cleanings
    for entries, used, share, _ in befores + afters:
        assert abs(int(share) - percent(int(used), STORE_SIZE)) <= 1
        assert (int(entries) == 0) == (int(used) == 0)
    for entries, used, share in memory_befores + memory_afters:
        assert abs(int(share) - percent(int(used), MEMORY_SIZE)) <= 1
    # Every cleaning takes all that nobody holds out of memory; one that found the store over its
    # size leaves it with the object being written, at most.
    for _, used, _ in memory_afters:
        assert int(used) <= largest
    over = [(b, a) for b, a in zip(befores, afters) if int(b[1]) > STORE_SIZE]
    assert over, befores
    for before, after in over:
        assert int(after[0]) <= 1 and int(after[1]) <= largest

    # The files the cleanings dropped go, one by one, until the store holds exactly the objects
    # the page counts, and their bytes.
    def settled():
        _, _, entries, used = proxy.fill(store)
        files = object_files(store)
        return len(files) == entries and sum(files.values()) == used
    wait_until(settled, 30, "the pending deletions done")
    assert set(object_files(store)) == md5_names(survivors(store))


def test_sigterm_under_load_writes_every_journal_and_a_restart_leaves_no_stray_file(tarvodine, xml_files,
                                                                                   tmp_path, origin):
    stores = [tmp_path / "store-a", tmp_path / "store-b"]
    for store in stores:
        store.mkdir()
    # The first store holds about a hundred small objects before a cleaning drops them all: the
    # unlink thread, at a file every 10 ms, is still working them off when the signal comes. New
    # objects go to the store that holds fewer bytes, so the larger second one fills as far as
    # the first and keeps what it has.
    values = dict(CACHE_GLOBALS, memorysize="8M", memoryextra="0", cleaninterval=str(INTERVAL))
    cache = element("cache", values,
                    *[("store", {"enabled": "true", "comment": "", "profiles": "", "path": str(store), "size": size,
                                 "margin": MARGIN, "md5": "0"})
                      for store, size in zip(stores, (str(120 * 1024), "1M"))],
                    ("refresh", REFRESH_DAY))
    proxy = LimitedProxy(tarvodine, xml_files, tmp_path, cache).start()
    urls = [origin.url(f"/s/{i}.bin") for i in range(SMALL_COUNT)]
    done = threading.Event()
    clock_lock = threading.Lock()
    clients = 4

    def client(seed):
        rng = random.Random(seed)
        while not done.is_set():
            try:
                proxy.get(rng.choice(urls))
            except (OSError, http.client.HTTPException):
                continue   # the proxy is going
            with clock_lock:
                proxy.clock.advance(30)   # past the interval: a cleaning at every overrun

    threads = [threading.Thread(target=client, args=(seed,)) for seed in range(clients)]
    for thread in threads:
        thread.start()
    try:
        wait_until(lambda: proxy.proc.native_log().count("cleaning triggered") >= 2, 120, "cleanings under load")
        assert proxy.proc.stop(signal.SIGTERM) == 0
    finally:
        done.set()
        for thread in threads:
            thread.join(60)

    log = proxy.proc.native_log()
    assert "Recieved TERM Signal to EXIT" in log
    exiting = log[log.index("cache: starting graceful exit"):]
    assert "cache: starting graceful done" in exiting
    finishing = exiting[:exiting.index("cache: starting graceful done")]
    for store in stores:
        assert f"writing journal for {store}\n" in finishing
        assert not (store / "journal.new").exists()
        # The files queued for deletion went with the stop; only a client's object begun after
        # the journal was written can be left without a line, for the restart to sweep.
        named = md5_names(cols[1] for cols in journal_lines(store) if len(cols) > 1)
        strays = set(object_files(store)) - named
        assert len(strays) <= clients, sorted(strays)

    # The restart drops what its journals don't name and deletes the rest of the files left.
    restarted = proxy.start()
    for store in stores:
        kept = md5_names(survivors(store))
        wait_until(lambda: set(object_files(store)) == kept, 30, f"only the journaled files in {store}")
        _, _, entries, used = restarted.fill(store)
        assert entries == len(kept)
        files = object_files(store)
        if sum(files.values()) != used:
            # The restart counts what the journal says, without opening a file; a client's object
            # whose transfer straddled the stop can be journaled at the size it had then, and its
            # first open takes the file's. Such an object is still served whole, and the count
            # then agrees with the files.
            journaled = {}
            for cols in journal_lines(store):
                if len(cols) > 2:
                    journaled[cols[1]] = int(cols[2])
            differing = [key for key in survivors(store)
                         if files.get(hashlib.md5(key.encode()).hexdigest()) != journaled.get(key)]
            assert 0 < len(differing) <= clients, (differing, files, journaled)
            for key in differing:
                answer = restarted.get(key)
                assert answer.status == 200 and "HIT" in answer.headers["x-cache"]
                assert answer.body == origin.file(key.split("/", 3)[3])
            assert "cache: file meta information didn't match journaled data" in restarted.proc.native_log()
            _, _, entries, used = restarted.fill(store)
            assert entries == len(kept) and sum(object_files(store).values()) == used
    # What the journal kept is served from the store.
    key = sorted(survivors(stores[1]))[0]
    hit = restarted.get(key)
    assert hit.status == 200 and "HIT" in hit.headers["x-cache"]
    assert hit.body == origin.file(key.split("/", 3)[3])


def test_the_offline_command_answers_from_the_cache_alone(tarvodine, xml_files, tmp_path, origin):
    stale_soon = dict(REFRESH_DAY, maxage="600", validate="600")
    store = tmp_path / "store"
    store.mkdir()
    proxy = LimitedProxy(tarvodine, xml_files, tmp_path, cache_element((store, 0), refresh=(stale_soon,))).start()
    authority = f"127.0.0.1:{origin.port}"
    offline = f"xx--offline.{authority}"
    stored = f"http://{authority}/o/1.bin"

    def requests(path):
        return origin.access_log().count(f'"GET {path} HTTP/1.1"')

    assert proxy.get(stored).status == 200
    # The writer finishes after the client has the last byte: its retrieval time is taken then.
    wait_until(lambda: stored_whole(store, stored), 10, "the object finished")
    # Stale now: a plain request would revalidate; an offline one is answered as stored.
    proxy.clock.advance(700)
    got = proxy.get(f"http://{offline}/o/1.bin", offline)
    assert got.status == 200 and got.body == origin.file("o/1.bin")
    assert "HIT" in got.headers["x-cache"]
    revalidated = proxy.get(stored)
    assert revalidated.status == 200 and revalidated.body == origin.file("o/1.bin")
    # nginx logs a request after answering it: the fetch and the revalidation, and nothing for
    # the offline request between them.
    wait_until(lambda: requests("/o/1.bin") >= 2, 10, "the revalidation logged")
    assert requests("/o/1.bin") == 2

    # Not in the cache: the "nocache" page, and the origin never asked.
    missing = proxy.get(f"http://{offline}/o/2.bin", offline)
    assert missing.status == 404
    page = missing.body.decode("latin-1")
    assert "Cache file not found" in page and f"http://{authority}/o/2.bin not found" in page
    assert requests("/o/2.bin") == 0 and requests("/o/1.bin") == 2
