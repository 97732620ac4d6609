"""FTP through the proxy against a real vsftpd on 127.0.0.1, in passive and active mode: files
fetched whole with their length and date, a missing file refused at once, one login for
requests in a row, directories redirected to their slash, listings sorted by every field,
uploads, directory actions, a wrong password, and command injection refused. A scripted FTP
server in this file plays the misbehaving servers vsftpd cannot be made to be: one that names a
foreign address for its data, one whose files differ from their listing, one whose active data
connection is raced by an intruder, one whose listing or unlisted file outgrows the download
buffer, one that refuses or hangs up where vsftpd would not, and one that never ends a reply.
"""
import calendar
import glob
import html
import http.client
import os
import re
import shutil
import socket
import threading
import time
from email.utils import formatdate
from pathlib import Path
from urllib.parse import quote, urljoin

import pytest

from conftest import free_port, section_set, start_peer, stop_peer, wait_port, wait_until

FTP_DEFAULTS = {"passive": "true", "timeout": "10", "user": "anonymous", "password": "tarvodine@",
                "sortorder": "0", "sortfield": "1"}

# The general section with the values its definitions start with, and one rule for every connection.
GENERAL_GLOBALS = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20", "pooltimeout": "30"}
GENERAL_RULE = {"enabled": "true", "comment": "", "profiles": "", "ctimeout": "60", "timeout": "60",
                "keeptimeout": "60", "maxdbuffer": "4M", "maxubuffer": "1M", "bufferwait": "0", "cportrange": "443",
                "encodemime": "", "compressout": "false", "compressin": "false", "xforwardedfor": "false",
                "via": "true"}

# (name, size, modification time as "YYYY-MM-DD HH:MM" in UTC) of the sorting directory.
SORTED = [("b.txt", 300, "2020-01-01 10:00"), ("A.txt", 10, "2021-06-01 10:00"),
          ("c.txt", 20, "2019-05-05 10:00")]


def utc(text: str) -> int:
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M"))


class Vsftpd:
    """vsftpd (tests/peers/start-vsftpd.sh): anonymous users read root/ and write root/upload/;
    alice with password secret sees the same tree. Beside the script's files, root/ holds an old
    file in pub/ and the listing-sort fixture in sorted/."""

    def __init__(self, directory: Path):
        if shutil.which("vsftpd") is None:
            pytest.skip("vsftpd is not installed (scripts/setup.sh installs it)")
        if not glob.glob("/usr/lib/*/libpam_wrapper.so"):
            pytest.skip("libpam-wrapper is not installed")
        self.dir = directory
        self.port = free_port()
        self.root = directory / "root"
        self.pid = start_peer("start-vsftpd.sh", directory, self.port)
        (self.root / "sorted" / "dir").mkdir(parents=True)
        (self.root / "pub" / "old.txt").write_bytes(b"written long ago\n")
        os.utime(self.root / "pub" / "old.txt", (utc("2019-03-14 09:30"),) * 2)
        # A recent file is listed to the minute: its time is taken whole minutes.
        minute = int(time.time()) // 60 * 60
        os.utime(self.root / "pub" / "hello.txt", (minute, minute))
        for name, size, when in SORTED:
            path = self.root / "sorted" / name
            path.write_bytes(b"s" * size)
            os.utime(path, (utc(when),) * 2)

    def url(self, path: str, user: str = "") -> str:
        return f"ftp://{user + '@' if user else ''}127.0.0.1:{self.port}{path}"

    def log(self) -> str:
        path = self.dir / "vsftpd.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def commands(self) -> list:
        """Every command the server received, in order."""
        return re.findall(r'FTP command: Client "[^"]*", "([^"]*)"', self.log())

    def stop(self):
        stop_peer(self.pid, 10)


@pytest.fixture(scope="module")
def vsftpd(tmp_path_factory):
    server = Vsftpd(tmp_path_factory.mktemp("vsftpd"))
    yield server
    server.stop()


def start_proxy(tarvodine, xml_files, name="ftp.xml", maxdbuffer=None, **ftp):
    """tarvodine with the "ftp" section written from FTP_DEFAULTS and ftp; with maxdbuffer, also
    a general rule with that download buffer limit."""
    config, section = xml_files
    values = dict(FTP_DEFAULTS, **ftp)
    text = section_set(config.read_text(),
                       "<ftp>" + "".join(f"<{k}>{v}</{k}>" for k, v in values.items()) + "</ftp>")
    if maxdbuffer is not None:
        general = dict(GENERAL_RULE, maxdbuffer=maxdbuffer)
        text = section_set(text, "<general>" + "".join(f"<{k}>{v}</{k}>" for k, v in GENERAL_GLOBALS.items()) +
                           "<rule>" + "".join(f"<{k}>{v}</{k}>" for k, v in general.items()) + "</rule></general>")
    written = config.parent / name
    written.write_text(text)
    port = free_port()
    proxy = tarvodine("-c", written, "-s", section, "-L", f"127.0.0.1:{port}", env=dict(os.environ, TZ="UTC"))
    wait_port(port)
    proxy.port = port
    return proxy


@pytest.fixture(params=["passive", "active"])
def mode(request):
    return request.param


@pytest.fixture
def proxy(tarvodine, xml_files, mode):
    return start_proxy(tarvodine, xml_files, passive="true" if mode == "passive" else "false")


def connect(proxy) -> http.client.HTTPConnection:
    return http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=60)


def exchange(conn, method, url, body=None, headers=None):
    conn.request(method, url, body=body, headers=headers or {})
    response = conn.getresponse()
    return response, response.read()


def get(proxy, url):
    conn = connect(proxy)
    try:
        return exchange(conn, "GET", url)
    finally:
        conn.close()


def listed_names(page: bytes) -> list:
    """The entry names of a listing page, in page order."""
    rows = re.findall(r'<tr class="list(?:even|odd)">.*?<a href="[^"]*">([^<]*)</a>', page.decode())
    return [html.unescape(name) for name in rows]


def http_date(seconds: int) -> str:
    return formatdate(seconds, usegmt=True)


# ---------------------------------------------------------------------------------------------
# vsftpd


def test_files_come_whole_with_length_and_date_on_one_connection(proxy, vsftpd, mode):
    hello = vsftpd.root / "pub" / "hello.txt"
    expected = [
        ("/pub/hello.txt", hello.read_bytes(), http_date(int(hello.stat().st_mtime))),
        ("/pub/1mb.bin", (vsftpd.root / "pub" / "1mb.bin").read_bytes(), None),
        # Listed with a year, not a time: midnight of that day.
        ("/pub/old.txt", b"written long ago\n", "Thu, 14 Mar 2019 00:00:00 GMT"),
    ]
    before = len(vsftpd.commands())
    conn = connect(proxy)
    conn.connect()
    sock = conn.sock
    for path, content, date in expected:
        response, body = exchange(conn, "GET", vsftpd.url(path))
        assert response.status == 200, path
        assert body == content, path
        assert response.getheader("Content-Length") == str(len(content))
        if date is not None:
            assert response.getheader("Last-Modified") == date
        assert conn.sock is sock, f"{path} closed the client connection"
    conn.close()
    sent = vsftpd.commands()[before:]
    assert "RETR /pub/1mb.bin" in sent
    assert any(c.startswith("PASV" if mode == "passive" else "PORT ") for c in sent), sent
    assert not any(c.startswith("PORT " if mode == "passive" else "PASV") for c in sent), sent


def test_a_missing_file_is_refused_at_once(tarvodine, xml_files, vsftpd, mode):
    # An FTP time-out far beyond the client's patience: only the server's refusal can end the
    # request in time.
    proxy = start_proxy(tarvodine, xml_files, passive="true" if mode == "passive" else "false", timeout="60")
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=15)
    try:
        response, body = exchange(conn, "GET", vsftpd.url("/pub/missing.txt"))
    finally:
        conn.close()
    assert response.status == 404
    assert b"File not found" in body
    assert "RETR /pub/missing.txt" in vsftpd.commands()


def test_requests_in_a_row_log_in_once(proxy, vsftpd):
    before = len(vsftpd.commands())
    conn = connect(proxy)
    for path, status in [("/pub/hello.txt", 200), ("/pub/", 200), ("/pub", 302), ("/pub/old.txt", 200)]:
        response, _ = exchange(conn, "GET", vsftpd.url(path))
        assert response.status == status, path
    conn.close()
    sent = vsftpd.commands()[before:]
    assert [c for c in sent if c.startswith("USER ")] == ["USER anonymous"], sent


def test_a_directory_without_its_slash_is_redirected(proxy, vsftpd):
    # A Location of "//pub/" would name the host "pub": the redirect stays on the server.
    for path, location in [("/pub", "/pub/"), ("//pub", "/.//pub/")]:
        response, body = get(proxy, vsftpd.url(path))
        assert response.status == 302, path
        assert response.getheader("Location") == location
        assert urljoin(vsftpd.url(path), location) == vsftpd.url(path + "/")
        assert body == b""
    response, body = get(proxy, vsftpd.url("//pub/"))
    assert response.status == 200
    assert sorted(listed_names(body)) == ["1mb.bin", "hello.txt", "old.txt"]
    response, body = get(proxy, vsftpd.url("/pub/"))
    assert response.status == 200
    assert response.getheader("Content-Type") == "text/html"
    assert sorted(listed_names(body)) == ["1mb.bin", "hello.txt", "old.txt"]
    assert b"Directory listing for ftp://127.0.0.1:%d/pub/" % vsftpd.port in body


def test_listings_are_sorted_by_every_field_and_order(tarvodine, xml_files, vsftpd):
    by_name = ["A.txt", "b.txt", "c.txt", "dir/"]
    by_size = ["dir/", "A.txt", "c.txt", "b.txt"]     # directories first, then files
    by_date = ["c.txt", "b.txt", "A.txt", "dir/"]     # dir/ was made just now
    cases = [
        ("?order=ascending&field=name", by_name),
        ("?order=descending&field=name", by_name[::-1]),
        ("?order=ascending&field=size", by_size),
        ("?order=descending&field=size", ["b.txt", "c.txt", "A.txt", "dir/"]),   # files first
        ("?order=ascending&field=date", by_date),
        ("?order=descending&field=date", by_date[::-1]),
        ("", by_name),                                 # the section's default: name, ascending
        ("?order=descending", by_name),                # half a choice: the default again
        ("?order=sideways&field=name", by_name),
    ]
    proxy = start_proxy(tarvodine, xml_files)
    for query, names in cases:
        response, body = get(proxy, vsftpd.url("/sorted/" + query))
        assert response.status == 200, query
        assert listed_names(body) == names, query

    newest_first = start_proxy(tarvodine, xml_files, name="bydate.xml", sortfield="3", sortorder="1")
    response, body = get(newest_first, vsftpd.url("/sorted/"))
    assert listed_names(body) == by_date[::-1]


def test_uploads_land(proxy, vsftpd, mode):
    upload = vsftpd.root / "upload"
    small = b"line one\r\nline two\n\x00\xff binary\n"
    large = os.urandom(3 << 20)
    conn = connect(proxy)
    response, _ = exchange(conn, "PUT", vsftpd.url(f"/upload/small-{mode}.bin"), body=small)
    assert response.status == 200
    # Larger than any upload buffer: relayed as it comes.
    response, _ = exchange(conn, "PUT", vsftpd.url(f"/upload/large-{mode}.bin"), body=large)
    assert response.status == 200
    conn.close()
    # A body without a length arrives chunked.
    conn = connect(proxy)
    response, _ = exchange(conn, "PUT", vsftpd.url(f"/upload/chunked-{mode}.bin"),
                           body=iter([small, large[:100000], small]))
    assert response.status == 200
    conn.close()
    assert (upload / f"small-{mode}.bin").read_bytes() == small
    assert (upload / f"large-{mode}.bin").read_bytes() == large
    assert (upload / f"chunked-{mode}.bin").read_bytes() == small + large[:100000] + small

    # The root is not writable: the server's refusal is answered, and nothing lands.
    conn = connect(proxy)
    response, _ = exchange(conn, "PUT", vsftpd.url(f"/refused-{mode}.bin"), body=small)
    conn.close()
    assert response.status == 404
    assert not (vsftpd.root / f"refused-{mode}.bin").exists()


def test_a_wrong_password_is_refused(tarvodine, xml_files, vsftpd):
    proxy = start_proxy(tarvodine, xml_files)
    response, body = get(proxy, vsftpd.url("/pub/hello.txt", "alice:wrong"))
    assert response.status == 404
    assert b"Authorization failed" in body
    wait_until(lambda: "ftp: authentication failed for user: alice, reason: invalid password" in proxy.native_log(),
               10, "the log line")
    response, body = get(proxy, vsftpd.url("/pub/hello.txt", "alice:secret"))
    assert response.status == 200
    assert body == b"hello over ftp\n"


def test_directory_actions(tarvodine, xml_files, vsftpd):
    proxy = start_proxy(tarvodine, xml_files)
    work = vsftpd.root / "upload" / "actions"
    base = "/upload/actions/"
    response, _ = get(proxy, vsftpd.url("/upload/?action=mkdir&argument=actions"))
    assert response.status == 200
    assert work.is_dir()
    conn = connect(proxy)
    assert exchange(conn, "PUT", vsftpd.url(base + "first.txt"), body=b"one")[0].status == 200
    assert exchange(conn, "PUT", vsftpd.url(base + "apple.txt"), body=b"two")[0].status == 200
    conn.close()

    steps = [
        ("?action=mkdir&argument=sub", ["apple.txt", "first.txt", "sub/"]),
        ("?action=rename&filename=first.txt&argument=second+one.txt", ["apple.txt", "second one.txt", "sub/"]),
        ("?action=delete&filename=apple.txt", ["second one.txt", "sub/"]),
        ("?action=rmdir&filename=sub/", ["second one.txt"]),
        ("?action=rematch&argument=%5Enothing", []),
        ("?action=rematch&argument=%5Esec", ["second one.txt"]),
    ]
    for query, names in steps:
        response, body = get(proxy, vsftpd.url(base + query))
        assert response.status == 200, query
        assert listed_names(body) == names, query
    assert sorted(p.name for p in work.iterdir()) == ["second one.txt"]
    # The page links a name with a blank percent-encoded, and that link leads to the file.
    assert b'<a href="second%20one.txt">second one.txt</a>' in body
    response, content = get(proxy, vsftpd.url(base + "second%20one.txt"))
    assert (response.status, content) == (200, b"one")


def test_a_raw_command_leaves_nothing_to_the_next_request(tarvodine, xml_files, vsftpd):
    proxy = start_proxy(tarvodine, xml_files)
    before = len(vsftpd.commands())
    # A restart offset the server keeps until the next transfer, of whichever request.
    response, _ = get(proxy, vsftpd.url("/pub/?action=raw&argument=REST%203"))
    assert response.status == 200
    assert "REST 3" in vsftpd.commands()[before:]
    hello = (vsftpd.root / "pub" / "hello.txt").read_bytes()
    response, body = get(proxy, vsftpd.url("/pub/hello.txt"))
    assert (response.status, body) == (200, hello)


def test_a_clients_listing_pattern_gives_up_on_costly_names(tarvodine, xml_files, vsftpd):
    # On twenty a's the first branch backtracks a million times before the second one would
    # match; a client's pattern gives up long before, and the name is not listed.
    directory = vsftpd.root / "backtrack"
    directory.mkdir()
    for name in ("a" * 20 + "!", "ab", "b"):
        (directory / name).write_bytes(b"x")
    proxy = start_proxy(tarvodine, xml_files)
    response, body = get(proxy, vsftpd.url("/backtrack/?action=rematch&argument=" + quote("^(?:(a+)+b|a)")))
    assert response.status == 200
    assert listed_names(body) == ["ab"]


@pytest.mark.parametrize("path, status", [
    ("/pub/hello.txt%0D%0ADELE%20/pub/hello.txt", 404),
    ("/pub/?action=mkdir&argument=x%0D%0ADELE%20/pub/hello.txt", 404),
    ("/pub/?action=raw&argument=NOOP%0ADELE%20/pub/hello.txt", 404),
    ("/pub/?action=rename&filename=hello.txt%0D%0ARMD%20/pub&argument=y", 404),
])
def test_line_breaks_never_reach_the_control_connection(tarvodine, xml_files, vsftpd, path, status):
    proxy = start_proxy(tarvodine, xml_files)
    before = len(vsftpd.commands())
    response, _ = get(proxy, vsftpd.url(path))
    assert response.status == status
    # Credentials too.
    response, _ = get(proxy, vsftpd.url("/pub/hello.txt", "anonymous%0D%0ADELE%20%2Fpub%2Fhello.txt:x"))
    assert response.status == 404
    sent = vsftpd.commands()[before:]
    assert not any(c.startswith(("DELE", "RMD", "MKD")) for c in sent), sent
    assert (vsftpd.root / "pub" / "hello.txt").exists()


# ---------------------------------------------------------------------------------------------
# A scripted FTP server


class ScriptedFtp:
    """An FTP server for one control connection at a time. files maps a path to (the size its
    listing shows, the bytes RETR sends); STOR keeps what it receives in `stored`. pasv_named is
    the address its PASV answer names; an intruder connects to an active-mode data port from
    127.0.0.2 before the server does; banner makes the login reply span several lines, one of
    them unnumbered. listing replaces the LIST text made from files; replies maps a command to
    the reply it gets instead, None hanging up, a function being called with the connection;
    greeting, a function, greets in place of the usual line; after pause_after bytes of a file
    RETR waits for `resume` before it sends the rest. pasv_port is a port of someone else that
    its PASV answer names in place of one of its own: a transfer then only gets its 150."""

    def __init__(self, files, pasv_named="127,0,0,1", intruder=False, banner=False, listing=None, replies=None,
                 pause_after=None, greeting=None, pasv_port=None):
        self.files = files
        self.pasv_named = pasv_named
        self.pasv_port = pasv_port
        self.intruder = intruder
        self.banner = banner
        self.listing = listing
        self.replies = replies or {}
        self.pause_after = pause_after
        self.greeting = greeting
        self.resume = threading.Event()
        self.stored = {}
        self.commands = []
        self.data_peers = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"ftp://127.0.0.1:{self.port}{path}"

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                try:
                    self.session(conn)
                except OSError:
                    pass

    def session(self, conn):
        conn.settimeout(20)
        reader = conn.makefile("rb")
        if self.greeting is not None:
            self.greeting(conn)
        conn.sendall(b"220 scripted\r\n")
        passive = None
        active = None
        for raw in reader:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.commands.append(line)
            verb, _, arg = line.partition(" ")
            if verb in self.replies:
                if self.replies[verb] is None:
                    return
                if callable(self.replies[verb]):
                    self.replies[verb](conn)
                else:
                    conn.sendall(self.replies[verb])
            elif verb == "USER":
                conn.sendall(b"331 password\r\n")
            elif verb == "PASS":
                conn.sendall(b"230-Welcome\r\n   to the scripted server\r\n230 in\r\n" if self.banner else b"230 in\r\n")
            elif verb == "TYPE":
                conn.sendall(b"200 binary\r\n")
            elif verb == "CWD":
                conn.sendall(b"550 not a directory\r\n" if arg in self.files else b"250 ok\r\n")
            elif verb == "PASV" and self.pasv_port is not None:
                port = self.pasv_port
                conn.sendall(f"227 Entering Passive Mode ({self.pasv_named},{port >> 8},{port & 255}).\r\n".encode())
            elif verb in ("LIST", "RETR", "STOR") and self.pasv_port is not None:
                conn.sendall(b"150 go ahead\r\n")
            elif verb == "PASV":
                passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                passive.bind(("127.0.0.1", 0))
                passive.listen(1)
                port = passive.getsockname()[1]
                conn.sendall(f"227 Entering Passive Mode ({self.pasv_named},{port >> 8},{port & 255}).\r\n".encode())
            elif verb == "PORT":
                numbers = [int(n) for n in arg.split(",")]
                active = (".".join(map(str, numbers[:4])), numbers[4] * 256 + numbers[5])
                conn.sendall(b"200 port\r\n")
            elif verb in ("LIST", "RETR"):
                pause = None
                if verb == "LIST" and self.listing is not None:
                    payload = self.listing
                elif verb == "LIST":
                    payload = "".join(f"-rw-r--r--    1 0        0     {size:>10} Jan 02  2009 {path.rsplit('/', 1)[1]}\r\n"
                                      for path, (size, _) in self.files.items()).encode()
                else:
                    payload = self.files[arg][1]
                    pause = self.pause_after
                data = self.data_connection(passive, active)
                conn.sendall(b"150 here\r\n")
                try:
                    if pause is not None:
                        data.sendall(payload[:pause])
                        self.resume.wait(20)
                        payload = payload[pause:]
                    data.sendall(payload)
                except OSError:
                    pass
                data.close()
                conn.sendall(b"226 done\r\n")
                passive = active = None
            elif verb == "STOR":
                data = self.data_connection(passive, active)
                conn.sendall(b"150 send it\r\n")
                received = b""
                while chunk := data.recv(65536):
                    received += chunk
                data.close()
                self.stored[arg] = received
                conn.sendall(b"226 stored\r\n")
                passive = active = None
            elif verb == "QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"500 unknown\r\n")

    def data_connection(self, passive, active):
        if passive is not None:
            passive.settimeout(20)
            data, peer = passive.accept()
            passive.close()
            self.data_peers.append(peer[0])
            return data
        if self.intruder:
            intruder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            intruder.bind(("127.0.0.2", 0))
            intruder.connect(active)
            try:
                intruder.sendall(b"INTRUDER DATA")
            except OSError:
                pass
            intruder.close()
        return socket.create_connection(active, timeout=20)

    def stop(self):
        self.listener.close()


@pytest.fixture
def scripted():
    servers = []

    def start(*args, **kwargs):
        server = ScriptedFtp(*args, **kwargs)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


def test_the_data_connection_goes_to_the_control_peer(tarvodine, xml_files, scripted):
    content = b"from the real server\n"
    # 192.0.2.7 is reserved for documentation: a connection there could only time out.
    server = scripted({"/pub/file.txt": (len(content), content)}, pasv_named="192,0,2,7")
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    response, body = get(proxy, server.url("/pub/file.txt"))
    assert (response.status, body) == (200, content)
    assert server.data_peers and set(server.data_peers) == {"127.0.0.1"}


# A server that names the proxy's own listening port for its data would have the proxy talk to
# itself: a listing read from an idle client connection of its own, an upload read as a request
# from the proxy's own address.
@pytest.mark.parametrize("method, path, logged", [
    ("GET", "/pub/", "ftp: failed to LIST GET "),
    ("PUT", "/pub/new.txt", "ftp: failed to store FTP file PUT "),
])
def test_a_data_connection_to_the_proxys_own_listener_is_refused(tarvodine, xml_files, scripted, method, path,
                                                                logged):
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    server = scripted({}, pasv_port=proxy.port)
    body = b"GET http://127.0.0.1:9/ HTTP/1.0\r\n\r\n" if method == "PUT" else None
    conn = connect(proxy)
    try:
        response, page = exchange(conn, method, server.url(path), body=body)
    finally:
        conn.close()
    assert response.status == 404
    assert b"Connection failed" in page
    assert "PASV" in server.commands
    wait_until(lambda: logged in proxy.native_log(), 10, "the log line")
    # The test's connection is the one client the proxy had.
    assert proxy.native_log().count(" allowed connect from ") == 1


def test_an_active_data_connection_is_taken_only_from_the_server(tarvodine, xml_files, scripted):
    content = b"the genuine file\n"
    server = scripted({"/pub/file.txt": (len(content), content)}, intruder=True)
    proxy = start_proxy(tarvodine, xml_files, passive="false", timeout="5")
    response, body = get(proxy, server.url("/pub/file.txt"))
    assert (response.status, body) == (200, content)
    wait_until(lambda: "ftp: refused a data connection from 127.0.0.2" in proxy.native_log(), 10, "the log line")


@pytest.mark.parametrize("listed, sent", [(1000, 400), (10, 30)])
def test_a_file_unlike_its_listing_ends_the_client_connection(tarvodine, xml_files, scripted, listed, sent):
    content = bytes(range(256)) * 4
    server = scripted({"/pub/file.bin": (listed, content[:sent])})
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        sock.sendall(f"GET {server.url('/pub/file.bin')} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200")
    assert f"Content-Length: {listed}".encode() in head
    # The client never reads past the announced length, and the connection ends there.
    assert body == content[:min(listed, sent)]


def test_replies_left_from_a_long_login_are_skipped(tarvodine, xml_files, scripted):
    content = b"after the banner\n"
    server = scripted({"/pub/file.txt": (len(content), content)}, banner=True)
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    body = os.urandom(200000)
    conn = connect(proxy)
    response, _ = exchange(conn, "PUT", server.url("/pub/new.bin"), body=body)
    conn.close()
    assert response.status == 200
    assert server.stored["/pub/new.bin"] == body
    # The control connection is pooled after the client has its answer; the scripted server
    # serves one session at a time, so the next request must find it in the pool.
    wait_until(lambda: "disconnected after making 1 requests" in proxy.native_log(), what="the upload's connection closed")
    response, got = get(proxy, server.url("/pub/file.txt"))
    assert (response.status, got) == (200, content)


def listing_of(rows: int) -> bytes:
    return "".join(f"-rw-r--r--    1 0        0             10 Jan 02  2009 file{i:06}.txt\r\n"
                   for i in range(rows)).encode()


@pytest.mark.parametrize("rows, maxdbuffer, status", [
    (100, "64K", 200),
    (3000, "64K", 404),     # about 200 KB
    (3000, None, 200),      # no general rule: the limit a rule starts with
])
def test_a_listing_is_read_up_to_the_download_buffer_limit(tarvodine, xml_files, scripted, rows, maxdbuffer, status):
    server = scripted({}, listing=listing_of(rows))
    proxy = start_proxy(tarvodine, xml_files, maxdbuffer=maxdbuffer, timeout="5")
    response, body = get(proxy, server.url("/pub/"))
    assert response.status == status
    if status == 200:
        assert len(listed_names(body)) == rows
    else:
        assert b"Connection failed" in body


def test_a_buffered_file_beyond_the_download_buffer_limit_streams(tarvodine, xml_files, scripted):
    content = os.urandom(1 << 20)
    # Missing from its listing, the file has no length to decide by.
    server = scripted({"/pub/big.bin": (0, content)}, listing=b"", pause_after=256 << 10)
    proxy = start_proxy(tarvodine, xml_files, maxdbuffer="64K", timeout="5")
    # The URL command "raw" has the body buffered.
    url = f"ftp://xx--raw.127.0.0.1:{server.port}/pub/big.bin"
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as sock:
        sock.sendall(f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        answer = b""
        # Past the limit the client gets the file while the server still holds most of it back.
        while len(answer.partition(b"\r\n\r\n")[2]) < 64 << 10:
            chunk = sock.recv(65536)
            assert chunk, answer[:200]
            answer += chunk
        server.resume.set()
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200")
    assert b"Content-Length" not in head
    assert body == content


@pytest.mark.parametrize("replies, user, path, logged", [
    ({"USER": b"530 go away\r\n"}, "ev%1Bil%07:pw", "/pub/file.txt",
     r"ftp: authentication failed for user: ev\x1Bil\x07"),
    ({"PASS": b"530 wrong\r\n"}, "ev%1Bil:pw", "/pub/file.txt",
     r"ftp: authentication failed for user: ev\x1Bil, reason: invalid password"),
    ({"CWD": None}, "", "/pub/a%1Bb%7F",
     r"ftp: failed to change directory to /pub/a\x1Bb\x7F"),
])
def test_user_names_and_paths_are_logged_with_control_bytes_escaped(tarvodine, xml_files, scripted, replies, user,
                                                                  path, logged):
    server = scripted({}, replies=replies)
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    url = f"ftp://{user + '@' if user else ''}127.0.0.1:{server.port}{path}"
    response, _ = get(proxy, url)
    assert response.status == 404
    wait_until(lambda: logged in proxy.native_log(), 10, "the log line")
    assert "\x1b" not in proxy.native_log()


def endless(first: bytes, line: bytes):
    """A reply that never ends: its first line, then a line of it every 0.1 s, for up to two
    minutes or until the proxy hangs up."""
    def send(conn):
        conn.sendall(first)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            conn.sendall(line)
            time.sleep(0.1)
    return send


@pytest.mark.parametrize("where, kwargs", [
    ("greeting", {"greeting": endless(b"220-welcome\r\n", b"220-and more\r\n")}),
    ("PASV", {"replies": {"PASV": endless(b"100-wait\r\n", b"    still waiting\r\n")}}),
    ("RETR", {"replies": {"RETR": endless(b"150-coming\r\n", b"150-any moment\r\n")}}),
])
def test_a_reply_without_end_is_given_up_within_the_time_out(tarvodine, xml_files, scripted, where, kwargs):
    content = b"never sent\n"
    server = scripted({"/pub/file.txt": (len(content), content)}, **kwargs)
    proxy = start_proxy(tarvodine, xml_files, timeout="3")
    started = time.monotonic()
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        response, _ = exchange(conn, "GET", server.url("/pub/" if where == "PASV" else "/pub/file.txt"))
    finally:
        conn.close()
    assert response.status == 404, where
    # Each line came well within the time-out; the reply as a whole did not.
    assert time.monotonic() - started < 20, where


def test_a_listing_line_is_logged_with_control_bytes_escaped(tarvodine, xml_files, scripted):
    listing = (b"-rw-r--r--    1 0        0             10 Jan 02  2009 good.txt\r\n"
               b"-rw-r--r--    1 0        0             10 Jan 02  2009 forged\r2024 01 01 00:00:00 [0] advice: x\r\n")
    server = scripted({}, listing=listing)
    proxy = start_proxy(tarvodine, xml_files, timeout="5")
    response, body = get(proxy, server.url("/pub/"))
    assert response.status == 200
    assert listed_names(body) == ["good.txt"]
    wait_until(lambda: r"FTP: unparsable ftp dir entry: -rw-r--r--    1 0        0             10 Jan 02  2009 "
                       r"forged\x0D2024" in proxy.native_log(), 10, "the log line")
    # Read as bytes: reading as text would turn the carriage return into a line end.
    assert b"\r" not in Path(proxy.logfile).read_bytes()
