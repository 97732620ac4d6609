"""Access rules and client authentication through the real proxy.

nginx is the origin server. Clients are plain sockets, so that a test chooses the source address
(127.0.0.2 lies outside a rule for 127.0.0.1), keeps a connection open across a challenge and
writes each kind of request line itself. PAM runs for real through pam_wrapper and pam_matrix,
with the passwords in a file of the test's own.
"""
import base64
import glob
import os
import shutil
import signal
import socket
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from conftest import (STARTED_PIDS, every_connect_port, free_port, leftovers_of_this_run, peers_dir, wait_port,
                      wait_until)
from counting_origin import Nginx



# ---------------------------------------------------------------------------------------------
# Peers and configuration


@pytest.fixture
def origin(tmp_path):
    """nginx on free ports; its port."""
    server = Nginx(tmp_path / "nginx")
    yield server.http_port
    server.stop()


RULE_FIELDS = ("enabled", "comment", "log", "interfaces", "clients", "pam", "username", "password",
               "access", "bypass", "interfaceuser", "interfacepassword", "profiles")


def rule(**values) -> dict:
    """An access rule with every field given: the values, else what a new rule gets."""
    fields = {name: "" for name in RULE_FIELDS}
    fields.update(enabled="true", log="false", pam="false", access="proxy")
    fields.update({name: str(value) for name, value in values.items()})
    return fields


def write_config(xml_files, allow=(), deny=(), order="allow_deny") -> Path:
    """The shipped configuration with its access section replaced, CONNECT open to every port."""
    config, _ = xml_files
    tree = ET.parse(config)
    root = tree.getroot()
    for old in root.findall("access"):
        root.remove(old)
    access = ET.SubElement(root, "access")
    ET.SubElement(access, "order").text = order
    for kind, rules in (("allow", allow), ("deny", deny)):
        for fields in rules:
            element = ET.SubElement(access, kind)
            for name in RULE_FIELDS:
                ET.SubElement(element, name).text = fields[name]
    tree.write(config, encoding="UTF-8", xml_declaration=True)
    every_connect_port(config)
    return config


class Response:
    def __init__(self, status: int, headers: dict, body: bytes):
        self.status = status
        self.headers = headers
        self.body = body


class Client:
    """One client connection, from `source`, to the proxy."""

    def __init__(self, port: int, source: str = "127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(20)
        self.sock.bind((source, 0))
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def close(self):
        self.sock.close()

    def _fill(self) -> bool:
        data = self.sock.recv(65536)
        self.buffer += data
        return bool(data)

    def request(self, head: str) -> Response:
        """Sends a request header (lines joined by CRLF, the blank line added) and reads one
        response: by Content-Length, else to the end of the connection."""
        self.sock.sendall(head.replace("\n", "\r\n").encode() + b"\r\n\r\n")
        while b"\r\n\r\n" not in self.buffer:
            if not self._fill():
                raise ConnectionError(f"closed before a response header: {self.buffer!r}")
        raw, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = raw.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        if "content-length" in headers:
            length = int(headers["content-length"])
            while len(self.buffer) < length:
                if not self._fill():
                    break
            body, self.buffer = self.buffer[:length], self.buffer[length:]
        else:
            while self._fill():
                pass
            body, self.buffer = self.buffer, b""
        return Response(status, headers, body)

    def open(self) -> bool:
        """Whether the proxy keeps the connection (no end of file within a short wait)."""
        self.sock.settimeout(0.3)
        try:
            return self.sock.recv(1, socket.MSG_PEEK) != b""
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(20)


def basic(user: str, password: str, header: str = "Proxy-Authorization") -> str:
    token = base64.b64encode(f"{user}:{password}".encode()).decode()
    return f"\n{header}: Basic {token}"


def absolute(origin: int, path: str = "/hello.txt", extra: str = "") -> str:
    return f"GET http://127.0.0.1:{origin}{path} HTTP/1.1\nHost: 127.0.0.1:{origin}{extra}"


def origin_form(origin: int, path: str = "/hello.txt", extra: str = "") -> str:
    return f"GET {path} HTTP/1.1\nHost: 127.0.0.1:{origin}{extra}"


@pytest.fixture
def proxy(tarvodine, xml_files):
    """start(*args, env=None, **rules) writes the rules into the configuration, starts the proxy
    on a free port with them and returns (port, Proxy)."""
    def start(*args, env=None, **rules):
        config = write_config(xml_files, **rules)
        port = free_port()
        popen = {}
        if env:
            popen["env"] = {**os.environ, **env}
        running = tarvodine("-c", config, "-s", xml_files[1], "-L", f"127.0.0.1:{port}", *args, **popen)
        wait_port(port)
        return port, running
    return start


def log_count(running, text: str) -> int:
    return running.native_log().count(text)


# ---------------------------------------------------------------------------------------------
# Access rules


def test_shipped_configuration_admits_loopback_only(tarvodine, xml_files, origin):
    port = free_port()
    running = tarvodine("-c", xml_files[0], "-s", xml_files[1], "-L", f"127.0.0.1:{port}")
    wait_port(port)
    local = Client(port)
    assert local.request(absolute(origin)).body == b"hello from origin\n"
    outsider = Client(port, "127.0.0.2")
    refused = outsider.request(absolute(origin))
    assert b"Access denied" in refused.body
    wait_until(lambda: log_count(running, f"access policy has refused connection from 127.0.0.2 on port {port}"),
               5, "the refusal line")


def test_client_outside_every_rule_is_refused(proxy, origin):
    port, running = proxy(allow=[rule(clients="127.0.0.1")])
    outsider = Client(port, "127.0.0.3")
    answer = outsider.request(absolute(origin))
    assert b"Access denied" in answer.body
    assert answer.status == 200
    # Claiming an admitted address in X-Forwarded-For buys nothing.
    forwarded = Client(port, "127.0.0.3").request(absolute(origin, extra="\nX-Forwarded-For: 127.0.0.1"))
    assert b"Access denied" in forwarded.body


def test_forwarded_address_counts_from_a_trusted_proxy_only(proxy, origin):
    """A downstream proxy the rules admit speaks for its clients: the address it forwards picks
    their rule. The same claim from a client the rules do not admit counts for nothing."""
    port, _ = proxy(allow=[rule(clients="10.0.0.5"), rule(clients="127.0.0.1", access="connect")])
    claim = absolute(origin, extra="\nX-Forwarded-For: 10.0.0.5")
    assert Client(port).request(claim).body == b"hello from origin\n"
    # The downstream proxy itself has only its own rule's permissions: no proxy requests.
    assert Client(port).request(absolute(origin)).status == 404
    assert b"Access denied" in Client(port, "127.0.0.3").request(claim).body


def test_records_name_the_client_the_rules_believe(proxy, origin, tmp_path):
    """The access log's client and user name carry the forwarded address of a trusted proxy's
    client, and the connecting address of anyone else, even one that logged in."""
    log = tmp_path / "access.log"
    port, _ = proxy("-a", log, allow=[rule(clients="127.0.0.1"), rule(username="alice", password="secret")])
    claim = "\nX-Forwarded-For: 10.0.0.5"
    assert Client(port).request(absolute(origin, "/hello.txt?proxied", claim)).status == 200
    assert Client(port, "127.0.0.3").request(
        absolute(origin, "/hello.txt?alice", claim + basic("alice", "secret"))).status == 200

    def records() -> dict:
        """query of the URL -> (client, user name) of each record written so far."""
        found = {}
        for line in log.read_text().splitlines() if log.exists() else []:
            fields = line.split(" ")
            if len(fields) > 7 and "?" in fields[6]:
                found[fields[6].split("?")[1]] = (fields[2], fields[7])
        return found
    wait_until(lambda: len(records()) == 2, 10, "both records")
    assert records() == {"proxied": ("10.0.0.5", "anonymous@10.0.0.5"), "alice": ("127.0.0.3", "alice@127.0.0.3")}


def test_deny_list_refuses_inside_an_allowed_range(proxy, origin):
    port, _ = proxy(allow=[rule(clients="127.0.0.0-127.0.0.255")], deny=[rule(clients="127.0.0.2")])
    assert Client(port, "127.0.0.1").request(absolute(origin)).body == b"hello from origin\n"
    assert b"Access denied" in Client(port, "127.0.0.2").request(absolute(origin)).body


@pytest.mark.parametrize("kind, status, challenge", [
    ("absolute", 407, "proxy-authenticate"),
    ("origin", 401, "www-authenticate"),
])
def test_user_and_password_rule_challenges_then_admits(proxy, origin, kind, status, challenge):
    port, running = proxy(allow=[rule(username="alice", password="secret",
                                      access="proxy,transparent,hostheader")])
    build = absolute if kind == "absolute" else origin_form
    header = "Proxy-Authorization" if kind == "absolute" else "Authorization"

    client = Client(port)
    asked = client.request(build(origin))
    assert asked.status == status
    assert asked.headers[challenge] == 'Basic realm="localhost"'   # the general section's host name
    assert client.open()
    # The same connection answers the challenge.
    assert client.request(build(origin, extra=basic("alice", "secret", header))).body == b"hello from origin\n"

    again = Client(port)
    wrong = again.request(build(origin, extra=basic("alice", "wrong", header)))
    assert wrong.status == status
    assert challenge in wrong.headers
    assert "secret" not in running.native_log()


@pytest.mark.parametrize("access, request_kind, passes", [
    ("proxy", "absolute", True),
    ("transparent,hostheader,connect", "absolute", False),
    ("transparent,hostheader", "origin", True),
    ("proxy,connect", "origin", False),
    ("transparent", "origin without host", False),
    ("connect", "connect", True),
    ("proxy", "connect", False),
])
def test_permission_bits_gate_each_kind_of_request(proxy, origin, access, request_kind, passes):
    port, running = proxy(allow=[rule(access=access)])
    client = Client(port)
    if request_kind == "connect":
        client.sock.sendall(f"CONNECT 127.0.0.1:{origin} HTTP/1.1\r\nHost: 127.0.0.1:{origin}\r\n\r\n".encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            data = client.sock.recv(4096)
            if not data:
                break
            reply += data
        ok = reply.split(b" ")[1] == b"200" if reply else False
        if ok:
            client.sock.sendall(f"GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1:{origin}\r\n\r\n".encode())
            tunnelled = b""
            while b"hello from origin" not in tunnelled:
                data = client.sock.recv(4096)
                if not data:
                    break
                tunnelled += data
            assert b"hello from origin" in tunnelled
        assert ok == passes, reply
        return
    build = absolute if request_kind == "absolute" else origin_form
    answer = client.request(build(origin))
    assert (answer.body == b"hello from origin\n") == passes, answer.body[:200]


@pytest.mark.parametrize("access, answered_by_command", [
    ("proxy,urlcommand", True),
    ("proxy", False),
])
def test_url_commands_need_their_permission(proxy, origin, access, answered_by_command):
    port, _ = proxy(allow=[rule(access=access)])
    # The "template" command answers with the named page instead of fetching; without the
    # permission the command is dropped and the page is fetched.
    head = (f"GET http://xx--template[nofile].127.0.0.1:{origin}/hello.txt HTTP/1.1\n"
            f"Host: xx--template[nofile].127.0.0.1:{origin}")
    answer = Client(port).request(head)
    if answered_by_command:
        assert b"File not found" in answer.body, answer.body[:200]
    else:
        assert answer.body == b"hello from origin\n", answer.body[:200]


# ---------------------------------------------------------------------------------------------
# PAM and the password cache


def pam_service(directory: Path, service: str, users: dict) -> dict:
    """A PAM service whose passwords come from a file (tests/peers/make-pam-service.sh); the
    environment that makes the proxy use it."""
    if not glob.glob("/usr/lib/*/libpam_wrapper.so"):
        pytest.skip("libpam-wrapper is not installed")
    run = subprocess.run([str(peers_dir() / "make-pam-service.sh"), str(directory), service]
                         + [f"{user}:{password}" for user, password in users.items()],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    env = dict(word.split("=", 1) for word in run.stdout.split())
    # The sanitizer runtime refuses RTLD_DEEPBIND; Debian's pam_wrapper 1.1.4 reads the
    # switch under the name of uid_wrapper's.
    env.update(PAM_WRAPPER_DISABLE_DEEPBIND="1", UID_WRAPPER_DISABLE_DEEPBIND="1",
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    return env


def change_password(directory: Path, service: str, user: str, password: str):
    (directory / "passdb").write_text(f"{user}:{password}:{service}\n")


SUCCEEDED = "PAM authentication succeeded for alice"


def test_pam_admits_the_right_password_and_refuses_a_wrong_one(proxy, origin, tmp_path):
    env = pam_service(tmp_path / "pam", "proxytest", {"alice": "secret"})
    port, running = proxy("-x", "proxytest", env=env, allow=[rule(pam="true", username="^alice$")])

    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).body == b"hello from origin\n"
    wait_until(lambda: log_count(running, SUCCEEDED) == 1, 5, "the PAM success line")

    refused = Client(port).request(absolute(origin, extra=basic("alice", "wrong")))
    assert refused.status == 407
    wait_until(lambda: log_count(running, "PAM authentication failed for alice@127.0.0.1"), 5, "the failure line")
    assert "[pam: 7: PAM_AUTH_ERR] Authentication failure" in running.native_log()
    # The same wrong password again is refused from the cache, without PAM.
    assert Client(port).request(absolute(origin, extra=basic("alice", "wrong"))).status == 407
    wait_until(lambda: log_count(running, "security: authentication failed for alice@127.0.0.1 by cache"), 5,
               "the cache refusal")
    assert log_count(running, "PAM authentication failed for") == 1
    assert "wrong" not in running.native_log()

    # A user name the rule's pattern does not take is not sent to PAM at all.
    assert Client(port).request(absolute(origin, extra=basic("bob", "secret"))).status == 407


def test_pam_service_name_comes_from_the_option(proxy, origin, tmp_path):
    env = pam_service(tmp_path / "pam", "proxytest", {"alice": "secret"})
    # Another service name falls to "other", which denies everyone.
    port, running = proxy("-x", "elsewhere", env=env, allow=[rule(pam="true")])
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).status == 407
    assert SUCCEEDED not in running.native_log()


def test_password_cache_answers_until_the_entry_expires(proxy, origin, tmp_path):
    directory = tmp_path / "pam"
    env = pam_service(directory, "proxytest", {"alice": "secret"})
    # Entries expire at the first cleaning that finds them a second old; cleanings come every
    # 60 seconds from the start.
    port, running = proxy("-x", "proxytest", "-P", "100:1", env=env, allow=[rule(pam="true")])
    started = time.monotonic()
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).body == b"hello from origin\n"

    # PAM would now refuse the old password: the cache still admits it.
    change_password(directory, "proxytest", "alice", "changed")
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).body == b"hello from origin\n"
    assert log_count(running, SUCCEEDED) == 1

    # After the first cleaning the entry is gone and PAM decides again.
    time.sleep(max(0.0, started + 63 - time.monotonic()))
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).status == 407
    assert Client(port).request(absolute(origin, extra=basic("alice", "changed"))).body == b"hello from origin\n"


def test_cache_off_asks_pam_every_time(proxy, origin, tmp_path):
    directory = tmp_path / "pam"
    env = pam_service(directory, "proxytest", {"alice": "secret"})
    port, running = proxy("-x", "proxytest", "-P", "0:0", env=env, allow=[rule(pam="true")])
    for _ in range(2):
        assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).body == b"hello from origin\n"
    wait_until(lambda: log_count(running, SUCCEEDED) == 2, 5, "two PAM checks")
    change_password(directory, "proxytest", "alice", "changed")
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).status == 407


def test_a_killed_pam_proxy_leaves_only_what_this_run_claims(proxy, origin, tmp_path, tmp_path_factory):
    """Concurrent runs share /tmp and /dev/shm: the end of one must not remove another's
    pam_wrapper directories or faketime segments while that run still uses them."""
    basetemp = tmp_path_factory.getbasetemp().resolve()
    env = pam_service(tmp_path / "pam", "proxytest", {"alice": "secret"})
    port, running = proxy("-x", "proxytest", env=env, allow=[rule(pam="true")])
    assert Client(port).request(absolute(origin, extra=basic("alice", "secret"))).body == b"hello from origin\n"
    # Killed, the proxy cannot remove pam_wrapper's copy of its service directory.
    running.stop(signal.SIGKILL)
    claimed = [d for d in leftovers_of_this_run(basetemp, shm=str(tmp_path / "no-shm"))
               if str(tmp_path) in (Path(d) / "proxytest").read_text(errors="replace")]
    assert len(claimed) == 1, claimed
    shutil.rmtree(claimed[0])

    # What else lies in those places: a table of neighbours, made in the test's own directory.
    places = tmp_path / "places"
    shm = places / "shm"
    shm.mkdir(parents=True)
    mine = running.proc.pid
    other = max(STARTED_PIDS) + 1
    services = {
        "pam.a": f"passdb={basetemp}/t0/pam/passdb",              # this run's
        "pam.b": f"passdb={basetemp}7/t0/pam/passdb",             # a run whose number extends ours
        "pam.e": f"passdb={basetemp.parent}/popen-gw99/t0/pam/passdb",  # another worker of a parallel run
        "pam.c": "passdb=/tmp/pytest-of-someone/pytest-1/t0/pam/passdb",
        "pam.d": None,                                            # still being written by its run
    }
    for name, text in services.items():
        (places / name).mkdir()
        if text is not None:
            (places / name / "proxytest").write_text(f"auth required pam_matrix.so {text}\n")
    for name in [f"faketime_shm_{mine}", f"sem.faketime_sem_{mine}", f"faketime_shm_{other}"]:
        (shm / name).write_bytes(b"")
    found = leftovers_of_this_run(basetemp, pam_dirs=str(places / "pam.*"), shm=str(shm))
    assert sorted(Path(p).name for p in found) == sorted(["pam.a", f"faketime_shm_{mine}", f"sem.faketime_sem_{mine}"])


@pytest.mark.parametrize("pair", ["0:30", "-1:300"])
def test_password_cache_without_buckets_is_refused(tarvodine, xml_files, pair):
    running = tarvodine("-c", xml_files[0], "-s", xml_files[1], "-P", pair)
    assert running.wait() == 1
    assert "-P" in running.output()
