"""Signals from outside and the request logs: SIGTERM's clean exit, SIGHUP's closing of the
listeners and pooled connections, SIGUSR1's log rotation, the signals that are only logged, and
the access and extended records of requests carried out through the proxy."""
import http.client
import os
import re
import signal
import socket
import struct
import time
from datetime import datetime
from pathlib import Path

import pytest

from conftest import every_connect_port, free_port, wait_port, wait_until
from origin import Origin

ACCESS_LEGEND = ("#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
                 "username peercode/peer mime\n")
EXTENDED_LEGEND = ('#"record_id" elapsed_time client "username" "client_id" [date] "HTTP_method proto://url" '
                   'status size "http_referer" "useragent" mime "filter_name filtering_reason" '
                   '"comma_separated_list_of_applied_profiles" "interface_ip:interface_port\n')
# Every category, debug included, so that the pooling of a connection shows in the native log.
ALL_CATEGORIES = str(0xFFFFFFF)
ROTATED = re.compile(r"^\d{14}-(native|access|extended)\.log(\.\d+)?$")


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def start_proxy(tarvodine, xml_files, tmp_path):
    """start(*extra, foreground=True) starts tarvodine with the access and extended logs in
    tmp_path and waits for its listener."""
    config, section = xml_files
    every_connect_port(config)

    def start(*extra, foreground=True):
        port = free_port()
        proxy = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}",
                          "-a", tmp_path / "access.log", "-e", tmp_path / "extended.log", *extra,
                          foreground=foreground)
        wait_port(port)
        proxy.port = port
        proxy.access = tmp_path / "access.log"
        proxy.extended = tmp_path / "extended.log"
        return proxy
    return start


def records(path: Path, legend: str) -> list:
    """The records of a request log: the legend, an empty line, one record a line, the last one
    without a newline."""
    if not path.exists():
        return []
    text = path.read_text(errors="replace")
    if (legend + "\n").startswith(text):
        return []   # opened, its legend being written
    assert text.startswith(legend + "\n"), text[:300]
    rest = text[len(legend) + 1:]
    assert not rest.endswith("\n")
    return rest.split("\n") if rest else []


def logged(proxy, text: str) -> bool:
    return text in proxy.native_log()


def get(proxy, url: str, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    conn.request("GET", url, headers=headers or {})
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, body


def stamp_of(record: str) -> float:
    return float(record.split(" ", 1)[0].strip('"').split("-", 1)[0])


def test_records_of_a_miss_match_their_formats_field_by_field(start_proxy, origin):
    proxy = start_proxy()
    url = origin.url("/1k.bin")
    before = time.time()
    status, body = get(proxy, url, {"User-Agent": "e2e/1.0", "Referer": "http://referrer.test/page"})
    assert (status, len(body)) == (200, 1024)
    access = wait_until(lambda: records(proxy.access, ACCESS_LEGEND), 10, "the access record")
    extended = wait_until(lambda: records(proxy.extended, EXTENDED_LEGEND), 10, "the extended record")
    assert len(access) == len(extended) == 1

    a = re.fullmatch(r"(\d+)\.(\d{3}) (\d+) 127\.0\.0\.1 TCP_MISS/200 1024 GET " + re.escape(url) +
                     r" anonymous@127\.0\.0\.1 DIRECT/127\.0\.0\.1 application/octet-stream", access[0])
    assert a, access[0]
    assert before - 1 <= stamp_of(access[0]) <= time.time()

    e = re.fullmatch(r'"(\d+\.\d{3})-(\d+)-127\.0\.0\.1-(\d+)" (\d+) 127\.0\.0\.1 "anonymous@127\.0\.0\.1" "(\d+)" '
                     r'\[(\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d)\] "GET ' + re.escape(url) + r'" 200 1024 '
                     r'"http://referrer\.test/page" "e2e/1\.0" application/octet-stream "- -" "-" '
                     r'"127\.0\.0\.1:(\d+)"', extended[0])
    assert e, extended[0]
    # One request: the record id carries the access record's start, the client id twice and the
    # listener that accepted the connection.
    assert e.group(1) == f"{a.group(1)}.{a.group(2)}"
    assert e.group(2) == e.group(5) != "0"
    assert int(e.group(3)) == int(e.group(7)) == proxy.port
    date = datetime.strptime(e.group(6), "%d/%b/%Y:%H:%M:%S")
    assert abs(date.timestamp() - time.time()) < 600   # the local time of the write


def test_record_of_a_tunnel_counts_the_bytes_relayed(start_proxy, origin):
    proxy = start_proxy()
    target = f"127.0.0.1:{origin.port}"
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(f"CONNECT {target} HTTP/1.1\r\nHost: {target}\r\nUser-Agent: tunnel/2\r\n\r\n".encode())
        established = b""
        while b"\r\n\r\n" not in established:
            chunk = sock.recv(4096)
            assert chunk, established
            established += chunk
        assert established == b"HTTP/1.1 200 Connection Established\r\n\r\n"
        request = f"GET /1k.bin HTTP/1.1\r\nHost: {target}\r\nConnection: close\r\n\r\n".encode()
        sock.sendall(request)
        answer = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 200 ") and answer.endswith(origin.file("1k.bin"))
    relayed = len(request) + len(answer)

    access = wait_until(lambda: records(proxy.access, ACCESS_LEGEND), 10, "the access record")
    extended = wait_until(lambda: records(proxy.extended, EXTENDED_LEGEND), 10, "the extended record")
    assert re.fullmatch(rf"\d+\.\d{{3}} \d+ 127\.0\.0\.1 TCP_MISS/200 {relayed} CONNECT "
                        rf"connect://{re.escape(target)}/ anonymous@127\.0\.0\.1 DIRECT/127\.0\.0\.1 -", access[0]), access[0]
    assert re.fullmatch(rf'"\d+\.\d{{3}}-\d+-127\.0\.0\.1-{proxy.port}" \d+ 127\.0\.0\.1 "anonymous@127\.0\.0\.1" "\d+" '
                        rf'\[[^]]+\] "CONNECT connect://{re.escape(target)}/" 200 {relayed} "-" "tunnel/2" - '
                        rf'"- -" "-" "127\.0\.0\.1:{proxy.port}"', extended[0]), extended[0]


def test_sigusr1_rotates_every_log_at_its_next_write(start_proxy, origin, tmp_path):
    proxy = start_proxy()
    assert get(proxy, origin.url("/1k.bin"))[0] == 200
    wait_until(lambda: records(proxy.extended, EXTENDED_LEGEND), 10, "the first records")
    first = records(proxy.access, ACCESS_LEGEND)

    def rotated():
        return sorted(p.name for p in tmp_path.iterdir() if ROTATED.match(p.name))

    def native_logs():
        # Any line written after the request rotates the native log.
        return "".join((tmp_path / n).read_text() for n in rotated() if "native" in n) + proxy.native_log()

    os.kill(proxy.pid, signal.SIGUSR1)
    wait_until(lambda: "advice: Recieved Signal for Log Rotation" in native_logs(), 10, "the rotation line")
    requests = 1
    # The rotation is requested just after its line is written; a request that came in between
    # is followed by another.
    for _ in range(5):
        assert get(proxy, origin.url("/1k.bin"))[0] == 200
        requests += 1
        try:
            wait_until(lambda: len(rotated()) == 3, 5, "three rotated logs")
            break
        except AssertionError:
            continue
    names = rotated()
    # Each file takes the time stamp of its own rotating write, which may fall in the next second.
    assert sorted(ROTATED.match(n).group(1) for n in names) == ["access", "extended", "native"], names

    old = {ROTATED.match(n).group(1): tmp_path / n for n in names}
    assert records(old["access"], ACCESS_LEGEND)[:1] == first
    assert "advice: Recieved Signal for Log Rotation" in old["native"].read_text()
    assert "Recieved Signal for Log Rotation" not in proxy.native_log()
    # Every record is in exactly one file; each new file starts with its legend.
    wait_until(lambda: len(records(old["access"], ACCESS_LEGEND)) + len(records(proxy.access, ACCESS_LEGEND))
               == requests, 10, "every access record")
    assert records(proxy.access, ACCESS_LEGEND)
    assert len(records(old["extended"], EXTENDED_LEGEND)) + len(records(proxy.extended, EXTENDED_LEGEND)) == requests


@pytest.mark.parametrize("foreground", [True, False])
def test_sigterm_logs_removes_the_pid_file_and_exits_0(start_proxy, tmp_path, foreground):
    pidfile = tmp_path / "run.pid"
    if foreground:
        # In the foreground the file is not written, but it is removed at the end all the same.
        pidfile.write_text("1\n")
    proxy = start_proxy("-p", pidfile, foreground=foreground)
    assert pidfile.exists()
    status = proxy.stop(signal.SIGTERM)
    if foreground:
        assert status == 0
    assert not proxy.alive()
    assert not pidfile.exists()
    assert "advice: Recieved TERM Signal to EXIT" in proxy.native_log()


def test_sighup_closes_listeners_and_pooled_connections_and_the_process_goes_on(start_proxy, origin):
    proxy = start_proxy("-d", ALL_CATEGORIES)
    client = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
    with client:
        client.sendall(f"GET {origin.url('/1k.bin')} HTTP/1.1\r\n\r\n".encode())
        answer = b""
        while not answer.endswith(origin.file("1k.bin")):
            chunk = client.recv(65536)
            assert chunk, answer
            answer += chunk
        wait_until(lambda: logged(proxy, "process: adding connection to pool"), 10, "the pooled client")

        os.kill(proxy.pid, signal.SIGHUP)
        wait_until(lambda: logged(proxy, "advice: Recieved HUP Signal for cleaning cache and closing all FDs"),
                   10, "the HUP line")
        assert client.recv(4096) == b""
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", proxy.port), timeout=5).close()
    assert proxy.alive()
    # Signals are still taken.
    assert proxy.stop(signal.SIGTERM) == 0


@pytest.mark.parametrize("sig, line", [
    (signal.SIGPIPE, "error: Recieved Signal for Broken pipe"),
    (signal.SIGUSR2, "advice: Recieved Test Signal for USR2"),
])
def test_sigpipe_and_sigusr2_are_only_logged(start_proxy, origin, sig, line):
    proxy = start_proxy()
    os.kill(proxy.pid, sig)
    wait_until(lambda: logged(proxy, line), 10, line)
    assert get(proxy, origin.url("/1k.bin"))[0] == 200
    assert proxy.alive()


def test_a_client_gone_during_a_write_fails_that_write_only(start_proxy, origin):
    proxy = start_proxy()
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(f"GET {origin.url('/1m.bin')} HTTP/1.1\r\n\r\n".encode())
        assert sock.recv(1024)
        # Reset at once: the proxy's next writes meet a connection that is gone.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    wait_until(lambda: records(proxy.access, ACCESS_LEGEND), 30, "the record of the cut transfer")
    assert get(proxy, origin.url("/1k.bin"))[0] == 200
    assert proxy.alive()
    assert "Broken pipe" not in proxy.native_log()


@pytest.mark.parametrize("extra, timers", [
    ((), 3),                              # limit reset, DNS cache, password cache
    (("-M", "127.0.0.1:1", "-I", "3600"), 4),   # and the configuration synchronisation of a slave
])
def test_bringup_registers_the_periodic_timers(start_proxy, extra, timers):
    proxy = start_proxy("-d", ALL_CATEGORIES, *extra)
    # The last line of the bring-up.
    wait_until(lambda: logged(proxy, "debug: GMT offset is"), 10, "the end of the bring-up")
    added = re.findall(r"debug: added timer (\d+)", proxy.native_log())
    assert added == [str(i) for i in range(timers)], added
