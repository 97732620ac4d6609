"""A slave whose master turns slow: the master here is scripted (no real one hangs on demand). It
serves the configuration export as a file, and on the test's word it holds each request without
answering, or dribbles its answer out. Meanwhile the slave keeps serving requests, runs one fetch
at a time, takes the master's configuration once it answers again, and stops on SIGTERM without
waiting for a fetch that hangs."""
import shutil
import signal
import socket
import threading
import time

import pytest

from conftest import section_set, wait_until
from interface_helpers import interface_proxy
from scripted_origin import read_request
from test_configsync import blocks, url_filter

HOLD_LIMIT = 120
# Far below the 60 s a fetch may wait for the master's answer.
PROMPT = 20


class SlowMaster:
    """Answers GET /tarvodine/xml with `document`, dated `modified`. mode "fast" answers at once,
    "dribble" in small pieces with pauses, "hang" reads the request and holds the connection
    until release()."""

    def __init__(self, document: str, modified: str):
        self.document = document
        self.modified = modified
        self.mode = "fast"
        self.requests = 0
        self.held = []
        self.released = threading.Event()
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            worker = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            with self.lock:
                self.threads.append(worker)
            worker.start()

    def _answer(self) -> bytes:
        body = self.document.encode()
        return (f"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nLast-Modified: {self.modified}\r\n"
                f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body

    def _serve(self, conn):
        with conn:
            conn.settimeout(HOLD_LIMIT)
            try:
                if not read_request(conn):
                    return
                with self.lock:
                    self.requests += 1
                    mode, released = self.mode, self.released
                    if mode == "hang":
                        self.held.append(conn)
                if mode == "hang":
                    released.wait(HOLD_LIMIT)
                elif mode == "dribble":
                    answer = self._answer()
                    step = len(answer) // 8 + 1
                    for start in range(0, len(answer), step):
                        conn.sendall(answer[start:start + step])
                        time.sleep(0.25)
                else:
                    conn.sendall(self._answer())
            except OSError:
                pass

    def hang(self):
        with self.lock:
            self.held = []
            self.released = threading.Event()
            self.mode = "hang"

    def serve(self, mode: str, document: str, modified: str):
        """Answers from now on in `mode` with the new document, and lets held requests go
        unanswered."""
        with self.lock:
            self.document, self.modified, self.mode = document, modified, mode
            self.released.set()

    def holding(self) -> int:
        with self.lock:
            return len(self.held)

    def stop(self):
        self.released.set()
        self.listener.close()
        with self.lock:
            threads = list(self.threads)
        for thread in threads[1:]:
            thread.join(timeout=HOLD_LIMIT)


def export(proxy) -> bytes:
    """The proxy's configuration export, which needs the configuration document; it must come
    within PROMPT seconds."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=PROMPT) as sock:
        sock.sendall(b"GET http://tarvodine/xml HTTP/1.0\r\n\r\n")
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    return answer


@pytest.fixture
def master(xml_files):
    config, _ = xml_files
    server = SlowMaster(section_set(config.read_text(), url_filter(r"\.exe$")), "Mon, 01 Jan 2029 00:00:00 GMT")
    yield server
    server.stop()


def test_slave_serves_through_a_hanging_master_and_follows_it_when_it_answers(tarvodine, xml_files, tmp_path,
                                                                              master):
    config, section = xml_files
    slave_config = tmp_path / "slave.xml"
    shutil.copy(config, slave_config)
    base = config.read_text()
    # The slave's own interface is open to the test, so that its export shows whether the
    # configuration document is free while a run waits.
    slave = interface_proxy(tarvodine, (slave_config, section), extra=(
        "-M", f"127.0.0.1:{master.port}", "-I", "1", "-S", "URL-Filtering", "-l", tmp_path / "slave.log"))
    assert blocks(slave, "/setup.exe") and not blocks(slave, "/a.zip")

    # The master takes requests and answers none: the slave goes on serving, and the runs due
    # meanwhile wait for the one in progress rather than pile up on the master.
    master.hang()
    wait_until(lambda: master.holding() == 1, what="a run waiting on the master")
    for _ in range(5):
        assert blocks(slave, "/setup.exe") and not blocks(slave, "/a.zip")
    exported = export(slave)
    assert exported.startswith(b"HTTP/1.1 200") and rb"\.exe$" in exported, exported[:200]
    time.sleep(3)
    assert master.holding() == 1
    assert blocks(slave, "/setup.exe")
    assert "sync: No Response from" not in slave.native_log()

    # Back and quick with a change: the hung run fails, and a later one takes the change.
    master.serve("fast", section_set(base, url_filter(r"\.exe$", r"\.zip$")), "Tue, 02 Jan 2029 00:00:00 GMT")
    wait_until(lambda: blocks(slave, "/a.zip"), what="the master's change on the slave")
    wait_until(lambda: r"\.zip$" in slave_config.read_text(), what="the slave's file")

    # An answer that comes in slow pieces is still taken whole.
    master.serve("dribble", section_set(base, url_filter(r"\.exe$", r"\.zip$", r"\.msi$")),
                 "Wed, 03 Jan 2029 00:00:00 GMT")
    wait_until(lambda: blocks(slave, "/b.msi"), what="the dribbled configuration on the slave")
    assert blocks(slave, "/a.zip")

    # SIGTERM ends the slave while a run still waits on the master.
    master.hang()
    wait_until(lambda: master.holding() == 1, what="a run waiting on the master again")
    assert slave.stop(signal.SIGTERM, timeout=PROMPT) == 0
    assert "Recieved TERM Signal to EXIT" in slave.native_log()
