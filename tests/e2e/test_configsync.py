"""A slave following its master: two proxies on loopback, the slave started with -M. It takes the
master's chosen sections at start and at every interval, skips a master that has not changed,
writes its own configuration file, and keeps running on what it has when the master is down or
answers with something that is not a configuration."""
import shutil
import urllib.parse

import pytest

from conftest import free_port, section_set, wait_port, wait_until
from interface_helpers import PASSWORD, USER, ask, exchange, header, interface_proxy
from rules_helpers import EVERY_LOG_CATEGORY, element, origin_with_pages

REFERER = "Referer: http://tarvodine/\r\n"
CLOSED = free_port()
RULE = {"enabled": "true", "comment": "", "profiles": "", "host": "", "file": "", "ip": "", "template": ""}


def blocks(proxy, path) -> bool:
    _, _, body = exchange(proxy.port, f"GET http://127.0.0.1:{CLOSED}{path} HTTP/1.0\r\n\r\n".encode())
    return b"Page Blocked" in body


def url_filter(*patterns) -> str:
    return element("url-filtering", {"enabled": "true", "order": "deny_allow", "template": ""},
                   *[("deny", dict(RULE, comment=f"rule {p}", file=p)) for p in patterns])


def start_slave(tarvodine, config, section, master_port, tmp_path, *options, start_timeout=None):
    """A slave of the master at master_port, once it listens: its first synchronisation runs
    before it does, so a slave fetching a large document may be given longer (start_timeout)."""
    port = free_port()
    slave = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", "-M", f"127.0.0.1:{master_port}",
                      "-I", "1", "-l", tmp_path / "slave.log", "-d", EVERY_LOG_CATEGORY, *options)
    if start_timeout is None:
        wait_port(port)
    else:
        wait_port(port, timeout=start_timeout)
    slave.port = port
    return slave


@pytest.fixture
def pair(tarvodine, xml_files, tmp_path):
    """(master, slave, slave's configuration file): the master blocks paths ending in .exe and
    logs whatever its own cache section says; the slave takes only the URL filter."""
    config, section = xml_files
    slave_config = tmp_path / "slave.xml"
    shutil.copy(config, slave_config)
    config.write_text(section_set(config.read_text(), url_filter(r"\.exe$")))
    master = interface_proxy(tarvodine, xml_files)
    slave = start_slave(tarvodine, slave_config, section, master.port, tmp_path, "-S", "URL-Filtering")
    return master, slave, slave_config


def test_slave_takes_the_chosen_sections_and_follows_changes(pair, xml_files):
    master, slave, slave_config = pair
    assert blocks(slave, "/setup.exe") and not blocks(slave, "/a.zip")
    assert "syncronized section: url-filtering" in slave.native_log()
    # Only the chosen section is taken: the master's access rule is not.
    assert "syncronized section: access" not in slave.native_log()
    written = slave_config.read_text()
    assert r"\.exe$" in written and PASSWORD not in written

    # An unchanged master is skipped.
    wait_until(lambda: "sync: already syncronized with 127.0.0.1" in slave.native_log(), what="a skipped run")

    # An edit on the master reaches the slave at a later run.
    status, headers, _ = ask(master, "/config", "POST", f"username={USER}&password={PASSWORD}".encode(), REFERER)
    cookie = header(headers, "set-cookie").split(";")[0]
    form = {"section": "url-filtering", "subsection": "deny", "action": "add", "F0": "true", "F1": "zips",
            "F4": r"\.zip$"}
    ask(master, "/config", "POST", urllib.parse.urlencode(form).encode(), f"Cookie: {cookie}\r\n" + REFERER)
    wait_until(lambda: blocks(slave, "/a.zip"), what="the master's new rule on the slave")
    wait_until(lambda: r"\.zip$" in slave_config.read_text(), what="the slave's file")

    # A master that is gone leaves the slave as it was.
    master.stop()
    wait_until(lambda: "sync: No Response from 127.0.0.1" in slave.native_log(), what="a run against no master")
    assert "sync: failed to syncronize with master" in slave.native_log()
    assert blocks(slave, "/a.zip") and blocks(slave, "/setup.exe")


def test_slave_survives_a_master_that_sends_no_configuration(tarvodine, xml_files, tmp_path):
    config, section = xml_files
    config.write_text(section_set(config.read_text(), url_filter(r"\.exe$")))
    before = config.read_text()
    # nginx answers the export's path with a page that is not a configuration, with a date.
    origin = origin_with_pages(tmp_path / "nginx", {"/tarvodine/xml": b"<html><body>not it</body></html>"})
    try:
        slave = start_slave(tarvodine, config, section, origin.port, tmp_path)
        wait_until(lambda: "sync: invalid data recieved from 127.0.0.1" in slave.native_log(), what="a refused body")
        assert blocks(slave, "/setup.exe")
        assert config.read_text() == before
    finally:
        origin.stop()
    wait_until(lambda: "sync: No Response from" in slave.native_log(), what="a run against no master")
    assert blocks(slave, "/setup.exe")
