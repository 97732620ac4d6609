"""A slave whose master sends what no real master does: a document nested deeper than any
configuration, or one far larger than any. The master is scripted (a real one sends neither).
The slave refuses each run before building or holding such a document, keeps running on its own
configuration, and takes the master's next sound document."""
import shutil

import pytest

from conftest import section_set, wait_until
from test_configsync import blocks, start_slave, url_filter
from test_configsync_slow_master import SlowMaster

LIMIT = 16 << 20
# A run that fetches and parses a document near LIMIT in the sanitizer build has been seen to
# take 16 seconds on a busy machine, and a wait may need two of them.
LARGE_RUN_TIMEOUT = 120


class FramedMaster(SlowMaster):
    """A SlowMaster that frames its answer with a Content-Length, in chunks, or by closing."""

    def __init__(self, document: str, modified: str, framing: str = "length"):
        self.framing = framing
        super().__init__(document, modified)

    def _answer(self) -> bytes:
        if self.framing == "length":
            return super()._answer()
        body = self.document.encode()
        head = f"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nLast-Modified: {self.modified}\r\n"
        if self.framing == "close":
            return (head + "Connection: close\r\n\r\n").encode() + body
        step = 1 << 20
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(body[at:at + step]), body[at:at + step])
                          for at in range(0, len(body), step))
        return (head + "Transfer-Encoding: chunked\r\n\r\n").encode() + chunks + b"0\r\n\r\n"


def refusals(slave, line: str) -> int:
    return slave.native_log().count(line)


@pytest.fixture
def slave_files(xml_files, tmp_path):
    """(base configuration text, slave's configuration file, section file): the slave blocks
    paths ending in .exe."""
    config, section = xml_files
    base = section_set(config.read_text(), url_filter(r"\.exe$"))
    slave_config = tmp_path / "slave.xml"
    slave_config.write_text(base)
    return base, slave_config, section


def test_slave_refuses_a_document_nested_too_deep(tarvodine, slave_files, tmp_path):
    base, slave_config, section = slave_files
    # 200,000 levels in 1.4 MB: one stack frame or more per level while the tree is built.
    deep = "<x>" * 200000 + "</x>" * 200000
    master = FramedMaster(section_set(base, url_filter(r"\.zip$")).replace("</tarvodine>", deep + "</tarvodine>"),
                          "Mon, 01 Jan 2029 00:00:00 GMT")
    try:
        slave = start_slave(tarvodine, slave_config, section, master.port, tmp_path)
        invalid = f"sync: invalid data recieved from 127.0.0.1:{master.port}"
        # The run at start-up and the runs after it are refused, each before the tree is built.
        wait_until(lambda: refusals(slave, invalid) >= 3, what="three refused runs")
        assert slave.alive()
        assert blocks(slave, "/setup.exe") and not blocks(slave, "/a.zip")
        assert slave_config.read_text() == base

        # A sound document after it is taken.
        master.serve("fast", section_set(base, url_filter(r"\.zip$")), "Tue, 02 Jan 2029 00:00:00 GMT")
        wait_until(lambda: blocks(slave, "/a.zip"), what="the master's sound document on the slave")
        assert not blocks(slave, "/setup.exe")
    finally:
        master.stop()


@pytest.mark.parametrize("framing", ["length", "chunked", "close"])
def test_slave_refuses_a_document_larger_than_its_bound(tarvodine, slave_files, tmp_path, framing):
    base, slave_config, section = slave_files
    # A sound configuration that takes the .zip rule, padded beyond the bound with a comment.
    padding = "<!--" + "x" * (LIMIT + 1024) + "-->"
    large = section_set(base, url_filter(r"\.zip$")).replace("</tarvodine>", padding + "</tarvodine>")
    master = FramedMaster(large, "Mon, 01 Jan 2029 00:00:00 GMT", framing)
    try:
        slave = start_slave(tarvodine, slave_config, section, master.port, tmp_path, "-S", "URL-Filtering",
                            start_timeout=LARGE_RUN_TIMEOUT)
        too_large = f"sync: configuration from 127.0.0.1:{master.port} is larger than {LIMIT} bytes"
        wait_until(lambda: refusals(slave, too_large) >= 2, LARGE_RUN_TIMEOUT, "two refused runs")
        assert "sync: failed to syncronize with master" in slave.native_log()
        assert blocks(slave, "/setup.exe") and not blocks(slave, "/a.zip")
        assert slave_config.read_text() == base

        # The same document within the bound is taken.
        master.serve("fast", large.replace(padding, "<!--" + "x" * (LIMIT - len(large) + len(padding) - 8) + "-->"),
                     "Tue, 02 Jan 2029 00:00:00 GMT")
        wait_until(lambda: blocks(slave, "/a.zip"), LARGE_RUN_TIMEOUT,
                   "the master's document within the bound on the slave")
    finally:
        master.stop()
