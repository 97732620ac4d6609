"""The proxy's connect, listen and SOCKS code against real peers on 127.0.0.1.

The request pipeline cannot use them yet, so the driver NET_PROBE (tests/tools/net_probe.cpp)
runs the library's own net_connect, net_listen and SOCKS handshakes and prints the outcome.
dante serves SOCKS4 and SOCKS5, with user name and password checked by PAM through pam_wrapper
and pam_matrix (no system user); a scripted server in this file sends only the replies that
dante cannot be made to send.
"""
import glob
import os
import shutil
import socket
import socketserver
import struct
import subprocess
import threading
from pathlib import Path

import pytest

from conftest import free_port, served, start_peer, stop_peer

UNKNOWN, NOCONNECT, NODNS, BADAUTH = -1, -2, -3, -4


def probe_binary() -> str:
    path = os.environ.get("NET_PROBE")
    if not path:
        pytest.fail("NET_PROBE must name the net_probe driver")
    return path


class ProbeRun:
    def __init__(self, proc: subprocess.CompletedProcess):
        self.status = proc.returncode
        self.output = proc.stdout.decode(errors="replace")
        self.values = {}
        for line in self.output.splitlines():
            key, sep, value = line.partition("=")
            if sep and key in ("result", "received"):
                self.values[key] = value

    @property
    def result(self) -> int:
        assert "result" in self.values, self.output
        return int(self.values["result"])

    @property
    def received(self) -> str:
        return self.values.get("received")


def probe(*args) -> ProbeRun:
    proc = subprocess.run([probe_binary()] + [str(a) for a in args], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)
    return ProbeRun(proc)


# ---------------------------------------------------------------------------------------------
# Peers


class EchoHandler(socketserver.BaseRequestHandler):
    def handle(self):
        data = self.request.recv(4096)
        self.request.sendall(b"echo:" + data)


@pytest.fixture
def echo():
    """A TCP server on 127.0.0.1 answering the first bytes it gets with "echo:" and them."""
    with served(socketserver.ThreadingTCPServer(("127.0.0.1", 0), EchoHandler)) as server:
        yield server.server_address[1]


class Dante:
    """danted (tests/peers/start-danted.sh) in workdir on port."""

    def __init__(self, workdir: Path, mode: str):
        self.workdir = workdir
        self.port = free_port()
        self.pid = start_peer("start-danted.sh", workdir, self.port, mode)

    def log(self) -> str:
        parts = []
        for name in ("danted.log", "stdout.log"):
            path = self.workdir / name
            if path.exists():
                parts.append(path.read_text(errors="replace"))
        return "".join(parts)


@pytest.fixture
def dante(tmp_path, request):
    """start(mode) runs danted on a free port: mode "none" takes SOCKS4 and SOCKS5 without
    authentication, mode "pam" only SOCKS5 with alice/secret. Destinations outside 127.0.0.0/8
    are refused."""
    if shutil.which("danted") is None:
        pytest.skip("dante-server is not installed")
    started = []

    def start(mode="none"):
        if mode == "pam" and not glob.glob("/usr/lib/*/libpam_wrapper.so"):
            pytest.skip("libpam-wrapper is not installed")
        peer = Dante(tmp_path / f"danted-{mode}", mode)
        started.append(peer)
        return peer

    yield start

    report = getattr(request.node, "report_call", None)
    for peer in started:
        if report is not None and report.failed:
            print(f"--- danted log:\n{peer.log()}")
        stop_peer(peer.pid, 10)


class ScriptedSocks:
    """A SOCKS server for one connection at a time that runs `script(conn)` on it."""

    def __init__(self, script):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.script = script
        self.errors = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(10)
            try:
                self.script(conn)
            except Exception as error:   # reported by the test through `errors`
                self.errors.append(error)

    def close(self):
        self.listener.close()
        self.thread.join(timeout=10)


def read_exact(conn, n) -> bytes:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise AssertionError(f"client closed after {data!r}")
        data += chunk
    return data


# ---------------------------------------------------------------------------------------------
# SOCKS through dante


@pytest.mark.parametrize("version", ["socks4", "socks5"])
def test_tunnel_through_dante_without_authentication(dante, echo, version):
    peer = dante("none")
    run = probe(version, peer.port, "127.0.0.1", echo, "--send", "hello", "--user-id", "tarvodine")
    assert (run.result, run.received) == (1, "echo:hello"), run.output


def test_socks5_name_is_resolved_by_the_server(dante, echo):
    peer = dante("none")
    run = probe("socks5", peer.port, "localhost", echo, "--send", "by name")
    assert (run.result, run.received) == (1, "echo:by name"), run.output


@pytest.mark.parametrize("version, host, closed_port", [
    ("socks4", "127.0.0.1", True),     # the destination refuses: 0x5B
    ("socks5", "127.0.0.1", True),     # reply 5, connection refused
    ("socks4", "192.0.2.1", False),    # not allowed by dante's rules
    ("socks5", "192.0.2.1", False),
])
def test_refusals_by_dante_give_noconnect(dante, echo, version, host, closed_port):
    peer = dante("none")
    port = free_port() if closed_port else 80
    run = probe(version, peer.port, host, port)
    assert run.result == NOCONNECT, run.output
    assert run.status == 1


@pytest.mark.parametrize("user, password, result, received", [
    ("alice", "secret", 1, "echo:with login"),
    ("alice", "wrong", NOCONNECT, None),   # dante accepts the sub-negotiation, refuses the request
    ("", "", NOCONNECT, None),             # dante insists on a password the probe does not have
])
def test_socks5_user_and_password_checked_by_pam(dante, echo, user, password, result, received):
    peer = dante("pam")
    args = ["socks5", peer.port, "127.0.0.1", echo, "--send", "with login"]
    if user:
        args += ["--user", user, "--password", password]
    run = probe(*args)
    assert (run.result, run.received) == (result, received), run.output


def test_socks4_is_refused_by_a_server_that_wants_passwords(dante, echo):
    peer = dante("pam")
    run = probe("socks4", peer.port, "127.0.0.1", echo)
    assert run.result == NOCONNECT, run.output


def test_unreachable_socks_server_and_unknown_destination(echo):
    run = probe("socks5", free_port(), "127.0.0.1", echo)
    assert run.result == NOCONNECT, run.output
    # SOCKS4 resolves the destination itself: a name that does not resolve never leaves.
    server = ScriptedSocks(lambda conn: conn.recv(1))
    try:
        run = probe("socks4", server.port, "999.1.1.1", echo)
        assert run.result == NODNS, run.output
        assert "DNS: failed: 999.1.1.1" in run.output
    finally:
        server.close()


# ---------------------------------------------------------------------------------------------
# Replies a real server cannot be made to send


def socks4_replying(code):
    def script(conn):
        head = read_exact(conn, 8)
        assert head[:2] == b"\x04\x01"
        user = b""
        while not user.endswith(b"\x00"):
            user += read_exact(conn, 1)
        assert user == b"probe-user\x00"
        conn.sendall(bytes([0, code, 0, 0, 0, 0, 0, 0]))
    return script


@pytest.mark.parametrize("code, result", [
    (0x5C, BADAUTH),    # ident unreachable
    (0x5D, BADAUTH),    # ident user mismatch
    (0x5B, NOCONNECT),
    (0x42, UNKNOWN),
])
def test_socks4_rejections(code, result):
    server = ScriptedSocks(socks4_replying(code))
    try:
        run = probe("socks4", server.port, "127.0.0.1", 8080, "--user-id", "probe-user")
        assert run.result == result, run.output
    finally:
        server.close()
    assert not server.errors, server.errors


def socks5_bound_as(address_type, bound):
    def script(conn):
        assert read_exact(conn, 4) == b"\x05\x02\x00\x02"
        conn.sendall(b"\x05\x00")
        head = read_exact(conn, 5)
        assert head[:4] == b"\x05\x01\x00\x03"
        name_and_port = read_exact(conn, head[4] + 2)
        assert name_and_port == b"origin.test" + struct.pack(">H", 8080)
        # The tunnel's first bytes come in the same packet as the reply.
        conn.sendall(bytes([5, 0, 0, address_type]) + bound + b"TUNNEL-FIRST|")
        conn.sendall(b"echo:" + conn.recv(100))
    return script


@pytest.mark.parametrize("address_type, bound", [
    (4, bytes(range(16)) + b"\x1f\x90"),        # IPv6
    (3, b"\x0bbound.local" + b"\x1f\x90"),      # a name
    (3, b"\x00\x1f\x90"),                       # an empty name
    (0x2A, b"\x1f\x90"),                        # a type nobody defined: the port only
])
def test_socks5_odd_bound_addresses_are_consumed_exactly(address_type, bound):
    server = ScriptedSocks(socks5_bound_as(address_type, bound))
    try:
        run = probe("socks5", server.port, "origin.test", 8080, "--send", "ping")
        assert run.result == 1, run.output
        assert run.received == "TUNNEL-FIRST|echo:ping", run.output
    finally:
        server.close()
    assert not server.errors, server.errors


# ---------------------------------------------------------------------------------------------
# Listeners


def test_listener_logs_its_settings_and_address():
    port = free_port()
    run = probe("listen", port, "127.0.0.1")
    assert run.result == 0, run.output
    for text in ("network: default system somaxconn: ",
                 "network: System Default TCP Buffer size for client->tarvodine->website ",
                 "network: Changed TCP_KEEPIDLE to 900 seconds",
                 f"network: listening on 127.0.0.1:{port}\n"):
        assert text in run.output, run.output
    # By default the kernel keeps sizing the buffers itself.
    assert "Requested[" not in run.output, run.output


def test_port_in_use_is_reported():
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    try:
        run = probe("listen", port, "127.0.0.1")
    finally:
        holder.close()
    assert run.result == -1, run.output
    assert f"network: error: failed to bind to 127.0.0.1:{port}\n" in run.output
    assert "listening on" not in run.output
