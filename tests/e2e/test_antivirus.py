"""The virus-scanner connectors end to end: ClamAV against the real clamd with offline test
signatures, over TCP and over its Unix socket; F-Prot, Kaspersky and Sophie against small fakes
of their daemons (av_fakes.py). An infected body is blocked with the "virus" page naming the
virus, a clean one passes byte for byte, and a daemon that is not there lets the body through."""
import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import av_fakes
from conftest import free_port, start_peer, stop_peer, wait_until
from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, exchange, get, origin_with_pages, proxy_with
from scripted_origin import ScriptedOrigin

MARKER = av_fakes.MARKER
EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
FILLER = b"".join(b"line %d of an ordinary page\n" % i for i in range(3000))
# Plain text: clamd matches its test signatures in HTML only after its own normalisation.
PAGES = {
    "/clean.txt": FILLER + b"the end\n",
    "/virus.txt": FILLER + MARKER + b"\nthe end\n",
    # nginx gzips text/plain under /gz/.
    "/gz/clean.txt": FILLER + b"nothing to see\n",
    "/gz/virus.txt": FILLER + MARKER + b" inside a compressed page\n",
}
RULE = ("rule", {"enabled": "true", "comment": "", "profiles": "", "template": ""})
MARKER_NAME = "Test.Marker.NDB.UNOFFICIAL"
EICAR_NAME = "Test.EICAR.NDB.UNOFFICIAL"


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), PAGES)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def clamd(tmp_path_factory):
    directory = tmp_path_factory.mktemp("clamd")
    port = free_port()
    pid = start_peer("start-clamd.sh", directory, port)
    yield {"port": port, "socket": str(directory / "clamd.sock")}
    stop_peer(pid)


def general(tempdir, **rule):
    """The general section with its temporary directory in the test's own, and the general rule
    with the values given changed."""
    tempdir.mkdir(exist_ok=True)
    return element("general", dict(GENERAL_GLOBALS, tempdir=str(tempdir)),
                   ("rule", dict(GENERAL_RULE, **rule)))


def clamav(address, port) -> str:
    return element("clamav", {"enabled": "true", "host": address, "port": str(port), "template": ""}, RULE)


def assert_blocked(status, body, scanner: str, name: str):
    assert status.startswith("HTTP/1.1 200"), status
    assert b"line 1 of an ordinary page" not in body
    assert f"{scanner} detected:".encode() in body, body[:400]
    assert name.encode() in body


@pytest.fixture(params=["tcp", "unix"])
def clamav_proxy(request, tarvodine, xml_files, clamd, tmp_path):
    address, port = ("127.0.0.1", clamd["port"]) if request.param == "tcp" else (clamd["socket"], 0)
    return proxy_with(tarvodine, xml_files, general(tmp_path / "avtmp"), clamav(address, port))


@pytest.mark.parametrize("path, name", [("/virus.txt", MARKER_NAME), ("/gz/virus.txt", MARKER_NAME)])
def test_clamav_blocks_an_infected_download(clamav_proxy, origin, path, name):
    status, _, body = get(clamav_proxy, origin.url(path))
    assert_blocked(status, body, "ClamAV", name)
    assert f"ClamAV: detected {name} virus" in clamav_proxy.native_log()


def test_clamav_blocks_an_infected_upload_echoed_back(clamav_proxy, origin):
    upload = b"attachment: " + EICAR + b"\n"
    status, _, body = exchange(clamav_proxy, b"POST %s HTTP/1.0\r\nContent-Type: application/octet-stream\r\n"
                               b"Content-Length: %d\r\n\r\n%s" % (origin.url("/echo").encode(), len(upload), upload))
    assert status.startswith("HTTP/1.1 200"), status
    assert b"ClamAV detected:" in body and EICAR_NAME.encode() in body
    assert EICAR not in body


@pytest.mark.parametrize("path", ["/clean.txt", "/gz/clean.txt"])
def test_clamav_passes_a_clean_page_byte_identical(clamav_proxy, origin, path):
    status, headers, body = get(clamav_proxy, origin.url(path))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGES[path]
    assert int(headers["content-length"]) == len(body)
    log = clamav_proxy.native_log()
    assert "ClamAV: no viruses found" in log and "detected" not in log


def test_a_body_that_does_not_decode_is_scanned_as_it_came(tarvodine, xml_files, clamd, tmp_path):
    body = b"this is no gzip stream " + MARKER
    server = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body)])
    try:
        proxy = proxy_with(tarvodine, xml_files, general(tmp_path / "avtmp"), clamav("127.0.0.1", clamd["port"]))
        url = f"http://127.0.0.1:{server.port}/broken.txt"
        status, _, answer = get(proxy, url)
        assert status.startswith("HTTP/1.1 200"), status
        assert b"ClamAV detected:" in answer and MARKER_NAME.encode() in answer
        assert (f"antivirus: ClamAV: response body of {url} inspected as received: its encoding (gzip) did not "
                "decode within the download buffer (4194304 bytes)") in proxy.native_log()
    finally:
        server.stop()


# Above the download buffer (64K here) a response streams past the scan: delivered as it is, with a
# line that names it, whatever its framing.
@pytest.mark.parametrize("framing", ["sized", "chunked"])
def test_a_response_above_the_download_buffer_passes_unscanned_with_a_line(tarvodine, xml_files, clamd, origin,
                                                                          tmp_path, framing):
    page = PAGES["/virus.txt"]
    block = 8192
    body = page if framing == "sized" else b"".join(
        b"%x\r\n%s\r\n" % (len(page[at:at + block]), page[at:at + block]) for at in range(0, len(page), block)
    ) + b"0\r\n\r\n"
    length = b"Content-Length: %d\r\n" % len(page) if framing == "sized" else b"Transfer-Encoding: chunked\r\n"
    server = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + length +
                             b"Connection: close\r\n\r\n" + body])
    try:
        proxy = proxy_with(tarvodine, xml_files, general(tmp_path / "avtmp", maxdbuffer="64K"),
                           clamav("127.0.0.1", clamd["port"]))
        url = f"http://127.0.0.1:{server.port}/big.txt"
        status, _, answer = get(proxy, url)
        assert status.startswith("HTTP/1.1 200"), status
        assert answer == page
        assert (f"antivirus: ClamAV: response body of {url} not inspected: larger than the download buffer "
                "(65536 bytes)") in proxy.native_log()
    finally:
        server.stop()


@pytest.mark.parametrize("transport", ["tcp", "unix"])
def test_a_stopped_clamd_lets_the_page_through_with_a_log_line(tarvodine, xml_files, origin, tmp_path, transport):
    port = free_port()
    pid = start_peer("start-clamd.sh", tmp_path / "stopped", port)
    stop_peer(pid)
    address = "127.0.0.1" if transport == "tcp" else str(tmp_path / "stopped" / "clamd.sock")
    proxy = proxy_with(tarvodine, xml_files, general(tmp_path / "avtmp"), clamav(address, port))
    status, _, body = get(proxy, origin.url("/virus.txt"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGES["/virus.txt"]
    where = f"127.0.0.1:{port}" if transport == "tcp" else address
    log = proxy.native_log()
    assert f"ClamAV: Please Verify that ClamAV is listening on {where}" in log
    assert "antivirus: error: ClamAV: failed to check file for viruses" in log


@pytest.mark.parametrize("transport", ["tcp", "unix"])
def test_a_clamd_that_hangs_ends_the_scan_at_the_time_out(tarvodine, xml_files, origin, tmp_path, transport):
    """A clamd that accepts the stream and then says nothing (stopped by SIGSTOP) holds the
    request only for the general time-out; the page is delivered as when clamd is not there."""
    port = free_port()
    directory = tmp_path / "hung"
    pid = start_peer("start-clamd.sh", directory, port)
    address = "127.0.0.1" if transport == "tcp" else str(directory / "clamd.sock")
    try:
        proxy = proxy_with(tarvodine, xml_files, general(tmp_path / "avtmp", timeout="2"), clamav(address, port))
        os.kill(pid, signal.SIGSTOP)
        for _ in range(2):
            started = time.monotonic()
            status, _, body = get(proxy, origin.url("/virus.txt"))
            assert status.startswith("HTTP/1.1 200"), status
            assert body == PAGES["/virus.txt"]
            assert time.monotonic() - started < 30
        log = proxy.native_log()
        assert "ClamAV: Please Verify the Socket Read Permissions" in log
        assert "antivirus: error: ClamAV: failed to check file for viruses" in log
    finally:
        os.kill(pid, signal.SIGCONT)
        stop_peer(pid)


# --- Kaspersky and Sophie, against fakes of their daemons


@pytest.fixture
def short_tempdir():
    """A temporary directory for the daemons' files whose name is short enough for their 64-byte
    path fields, which a pytest directory is not; removed afterwards."""
    path = Path(tempfile.mkdtemp(prefix="tvav", dir="/tmp"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


def leftovers(tempdir):
    return sorted(p.name for p in tempdir.iterdir())


def test_kaspersky_scans_the_file_it_is_named_and_blocks_by_the_322_name(tarvodine, xml_files, origin, tmp_path,
                                                                          short_tempdir):
    fake = av_fakes.Kaspersky(tmp_path / "aveserver")
    try:
        tempdir = short_tempdir
        section = element("kaspersky", {"enabled": "true", "template": "", "socket": str(fake.path)}, RULE)
        proxy = proxy_with(tarvodine, xml_files, general(tempdir), section)
        status, _, body = get(proxy, origin.url("/virus.txt"))
        assert_blocked(status, body, "Kaspersky", "Test.Marker")
        status, _, body = get(proxy, origin.url("/clean.txt"))
        assert body == PAGES["/clean.txt"]
        # The fake records an exchange once QUIT came, which may be after the answer reached us.
        infected, clean = wait_until(lambda: len(fake.received) == 2 and fake.received, what="two scans")
        assert infected["command"].startswith(b"SCAN xmQPRSTUWabcdefghi " + str(tempdir).encode() + b"/tv")
        assert infected["content"] == PAGES["/virus.txt"] and clean["content"] == PAGES["/clean.txt"]
        assert infected["quit"] == clean["quit"] == b"QUIT\r\n"
        log = proxy.native_log()
        assert "detected Test.Marker virus with Kaspersky" in log and "no viruses detected by Kaspersky" in log
        assert leftovers(tempdir) == []
    finally:
        fake.stop()


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_sophie_blocks_by_the_name_in_its_answer(tarvodine, xml_files, origin, tmp_path, short_tempdir, transport):
    tempdir = short_tempdir
    if transport == "unix":
        fake = av_fakes.Sophie(path=tmp_path / "sophie")
        globals_ = {"enabled": "true", "socket": str(tmp_path / "sophie"), "host": "", "port": "0", "template": ""}
    else:
        port = free_port()
        fake = av_fakes.Sophie(port=port)
        globals_ = {"enabled": "true", "socket": "", "host": "localhost", "port": str(port), "template": ""}
    try:
        proxy = proxy_with(tarvodine, xml_files, general(tempdir), element("sophie", globals_, RULE))
        status, _, body = get(proxy, origin.url("/virus.txt"))
        assert_blocked(status, body, "Sophie", "Test.Marker")
        status, _, body = get(proxy, origin.url("/clean.txt"))
        assert body == PAGES["/clean.txt"]
        infected, clean = fake.received
        assert infected["content"] == PAGES["/virus.txt"] and clean["content"] == PAGES["/clean.txt"]
        if transport == "unix":
            assert infected["line"].startswith(str(tempdir).encode() + b"/tv") and infected["line"].endswith(b"\n")
        else:
            name, size = infected["line"].rstrip(b"\n").split(b"/")
            assert name.startswith(b"tv") and int(size) == len(PAGES["/virus.txt"])
        assert "detected Test.Marker virus with Sophie" in proxy.native_log()
        assert leftovers(tempdir) == []
    finally:
        fake.stop()


# --- F-Prot: its ports are fixed, so its test runs in a network namespace of its own

CLONE_NEWNET = 0x40000000


@contextlib.contextmanager
def private_network():
    """This thread, and every process and socket it makes meanwhile, in a new network namespace
    with only a loopback; the thread is put back afterwards."""
    libc = ctypes.CDLL(None, use_errno=True)
    original = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        if libc.unshare(CLONE_NEWNET) != 0:
            pytest.skip(f"no network namespace: {os.strerror(ctypes.get_errno())}")
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        yield
    finally:
        assert libc.setns(original, CLONE_NEWNET) == 0
        os.close(original)


@pytest.mark.parametrize("options, query", [
    ("3", "-archive=5%20-packed%20-remote-dtd%20"),
    ("0", "-remote-dtd%20"),
])
def test_fprot_finds_its_daemon_on_the_fourth_port_and_blocks_with_202(tarvodine, xml_files, tmp_path, options,
                                                                       query):
    tempdir = tmp_path / "avtmp"
    with private_network():
        origin = origin_with_pages(tmp_path / "nginx", PAGES)
        fake = av_fakes.FProt([10203])
        proxy = None
        try:
            rule = ("rule", {"enabled": "true", "comment": "", "profiles": "", "template": "",
                             "archive": "5", "options": options})
            proxy = proxy_with(tarvodine, xml_files, general(tempdir),
                               element("fprot", {"enabled": "true", "template": ""}, rule))
            status, _, body = get(proxy, origin.url("/virus.txt"))
            assert status.startswith("HTTP/1.1 202"), status
            assert b"F-Prot detected:" in body and b"Test.Marker" in body
            status, _, body = get(proxy, origin.url("/clean.txt"))
            assert body == PAGES["/clean.txt"]
            infected, clean = fake.received
            assert infected["query"] == clean["query"] == query
            assert infected["target"].startswith(str(tempdir) + "/tv")
            assert infected["port"] == 10203
            log = proxy.native_log()
            assert "detected Test.Marker virus with F-Prot" in log and "no viruses detected by F-Prot" in log
            assert leftovers(tempdir) == []
        finally:
            if proxy is not None:
                proxy.stop()
            fake.stop()
            origin.stop()
