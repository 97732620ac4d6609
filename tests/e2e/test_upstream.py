"""Requests through a parent proxy that demands authentication, and CONNECT tunnels.

squid plays the parent: one instance asks for Basic (alice/secret, checked against a password
file), one offers NTLM before Basic (squid's ntlm_fake_auth takes any user and password, so the
three-message exchange is what is checked, not the credentials); each also has a port without
authentication. nginx is the origin, over HTTP and HTTPS.

The request pipeline cannot choose a parent yet (the forwarding rules are a later part), so the
driver UPSTREAM_PROBE (tests/tools/upstream_probe.cpp) serves each request over the proxy's own
upstream code with the route a forwarding rule would set. The tunnel tests at the end go through
the real tarvodine binary.
"""
import os
import re
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import every_connect_port, free_port, read_all, section_set, start_listening, start_peer, stop_peer, wait_until
from origin import Origin

DIRECT, PARENT_TUNNEL = 4, 3
PARENT = 0


def probe_binary() -> str:
    path = os.environ.get("UPSTREAM_PROBE")
    if not path:
        pytest.fail("UPSTREAM_PROBE must name the upstream_probe driver")
    return path


def sections() -> str:
    return str(Path(os.environ["TARVODINE_SOURCE"]) / "etc" / "section.xml")


# ---------------------------------------------------------------------------------------------
# Peers

class Squid:
    """squid (tests/peers/start-squid.sh): `port` asks for credentials, `open_port` does not."""

    def __init__(self, auth: str):
        if shutil.which("squid") is None:
            pytest.skip("squid is not installed")
        # squid runs as user proxy, which must reach its directory: not under pytest's 0700 tree.
        self.dir = Path(tempfile.mkdtemp(prefix="tarvodine-squid-"))
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        self.open_port = free_port()
        while self.open_port == self.port:
            self.open_port = free_port()
        try:
            self.pid = start_peer("start-squid.sh", self.dir, self.port, self.open_port, auth)
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def access_log(self) -> list:
        """The access log's lines, each split into its fields."""
        path = self.dir / "access.log"
        return [line.split() for line in path.read_text(errors="replace").splitlines()] if path.exists() else []

    def stop(self):
        stop_peer(self.pid)
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), tls=True)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def basic_squid():
    squid = Squid("basic")
    yield squid
    squid.stop()


@pytest.fixture(scope="module")
def ntlm_squid():
    squid = Squid("ntlm")
    yield squid
    squid.stop()


class Probe:
    """One upstream_probe serving `count` requests on its own port."""

    def __init__(self, workdir: Path, args: list, count: int = 1):
        self.port = free_port()
        self.output_path = workdir / f"probe-{self.port}.out"
        out = open(self.output_path, "wb")
        self.proc = subprocess.Popen([probe_binary(), "serve", str(self.port), "--sections", sections(),
                                      "--count", str(count)] + [str(a) for a in args],
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        out.close()
        wait_until(lambda: "listening=" in self.output() or self.proc.poll() is not None, 30, "the probe")
        assert self.proc.poll() is None, self.output()

    def output(self) -> str:
        return self.output_path.read_text(errors="replace")

    def results(self) -> list:
        """The "result=... status=... size=..." lines, as dicts, once the probe has ended."""
        self.proc.wait(timeout=60)
        found = []
        for line in self.output().splitlines():
            if line.startswith("result="):
                found.append(dict(field.split("=", 1) for field in line.split()))
        return found

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def probe(tmp_path, request):
    started = []

    def start(*args, count=1):
        p = Probe(tmp_path, list(args), count)
        started.append(p)
        return p

    yield start
    report = getattr(request.node, "report_call", None)
    for p in started:
        if report is not None and report.failed:
            print(f"--- probe output:\n{p.output()}")
        p.stop()


def parent_args(squid, kind, user="alice", password="secret", domain=""):
    args = ["--kind", kind, "--parent-port", squid.port, "--user", user, "--password", password]
    return args + (["--domain", domain] if domain else [])


def curl(*args, timeout=120):
    return subprocess.run(["curl", "-sS", "-w", "%{http_code}"] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=timeout)


def squid_entries(squid, method: str) -> list:
    """(status field, user) of the squid access-log lines of that method."""
    return [(fields[3], fields[7]) for fields in squid.access_log() if len(fields) > 7 and fields[5] == method]


# ---------------------------------------------------------------------------------------------
# A parent that asks for credentials


def test_basic_parent_admits_the_request_with_the_configured_credentials(probe, basic_squid, origin, tmp_path):
    p = probe(*parent_args(basic_squid, PARENT))
    out = tmp_path / "1m.out"
    run = curl("-x", f"http://127.0.0.1:{p.port}", "-o", out, origin.url("/1m.bin"))
    assert run.stdout == "200", run.stderr
    assert out.read_bytes() == origin.file("1m.bin")
    assert p.results()[0]["status"] == "200"
    # One refusal, then the same request with the credentials.
    wait_until(lambda: len(squid_entries(basic_squid, "GET")) >= 2, 10, "squid's log lines")
    assert squid_entries(basic_squid, "GET")[-2:] == [("TCP_DENIED/407", "-"), ("TCP_MISS/200", "alice")]


def test_wrong_credentials_are_tried_once_and_the_second_refusal_reaches_the_client(probe, basic_squid, origin):
    before = len(squid_entries(basic_squid, "GET"))
    p = probe(*parent_args(basic_squid, PARENT, password="wrong"))
    run = subprocess.run(["curl", "-sS", "-D", "-", "-o", "/dev/null", "-x", f"http://127.0.0.1:{p.port}",
                          origin.url("/1k.bin")], capture_output=True, text=True, timeout=60)
    assert run.stdout.startswith("HTTP/1.1 407 "), run.stdout
    p.results()
    wait_until(lambda: len(squid_entries(basic_squid, "GET")) >= before + 2, 10, "squid's log lines")
    assert [status for status, _ in squid_entries(basic_squid, "GET")[before:]] == ["TCP_DENIED/407"] * 2


def with_upload_buffer(xml_files, size):
    """The shipped configuration with one general rule whose upload buffer is size."""
    config, _ = xml_files
    rule = {"enabled": "true", "comment": "", "profiles": "", "ctimeout": "30", "timeout": "30",
            "keeptimeout": "30", "maxdbuffer": "4M", "maxubuffer": size, "bufferwait": "0", "cportrange": "443",
            "encodemime": "", "compressout": "false", "compressin": "false", "xforwardedfor": "false",
            "via": "false"}
    general = ("<hostname>localhost</hostname><tempdir>/tmp</tempdir><linelength>100</linelength>"
               "<poolsize>20</poolsize><pooltimeout>5</pooltimeout><rule>"
               + "".join(f"<{k}>{v}</{k}>" for k, v in rule.items()) + "</rule>")
    config.write_text(section_set(config.read_text(), f"<general>{general}</general>"))
    return config


def test_an_upload_within_the_upload_buffer_is_sent_again_with_the_credentials(probe, basic_squid, origin,
                                                                               xml_files, tmp_path):
    config = with_upload_buffer(xml_files, "1M")
    before = len(squid_entries(basic_squid, "POST"))
    p = probe(*parent_args(basic_squid, PARENT), "--config", config)
    upload = tmp_path / "upload"
    # squid stops reading a connection on which a refused body of 64 KiB or more came.
    upload.write_bytes(bytes(range(256)) * 64)
    out = tmp_path / "echoed"
    run = curl("-x", f"http://127.0.0.1:{p.port}", "--data-binary", f"@{upload}", "-o", out, origin.url("/echo"))
    assert run.stdout == "200", run.stderr
    assert out.read_bytes() == upload.read_bytes()
    assert p.results()[0]["status"] == "200"
    wait_until(lambda: len(squid_entries(basic_squid, "POST")) >= before + 2, 10, "squid's log lines")
    assert squid_entries(basic_squid, "POST")[before:] == [("TCP_DENIED/407", "-"), ("TCP_MISS/200", "alice")]


def test_an_upload_streamed_past_the_upload_buffer_is_never_read_twice(probe, basic_squid, origin, xml_files):
    # The body goes to the parent as it comes; after the parent's 407 there is nothing to send
    # again: the client is answered at once and its next request is never taken as the body.
    config = with_upload_buffer(xml_files, "64K")
    before = len(squid_entries(basic_squid, "POST"))
    p = probe(*parent_args(basic_squid, PARENT), "--config", config)
    body = b"b" * (256 << 10)
    with socket.create_connection(("127.0.0.1", p.port), timeout=10) as sock:
        sock.sendall(f"POST {origin.url('/echo')} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n\r\n"
                     .encode() + body + b"GET http://next.test/ HTTP/1.1\r\n\r\n")
        answer = read_all(sock)
    assert answer.startswith(b"HTTP/1.1 503 "), answer[:200]
    assert b"Authorization failed" in answer
    assert p.results()[0]["status"] == "503"
    wait_until(lambda: len(squid_entries(basic_squid, "POST")) > before, 10, "squid's log line")
    assert squid_entries(basic_squid, "POST")[before:] == [("TCP_DENIED/407", "-")]


def test_ntlm_parent_completes_the_handshake_on_one_connection(probe, ntlm_squid, origin, tmp_path):
    # squid offers NTLM before Basic: the proxy answers with the first scheme it speaks.
    p = probe(*parent_args(ntlm_squid, PARENT, user="bob", password="any", domain="DOM"))
    out = tmp_path / "1m.out"
    run = curl("-x", f"http://127.0.0.1:{p.port}", "-o", out, origin.url("/1m.bin"))
    assert run.stdout == "200", run.stderr
    assert out.read_bytes() == origin.file("1m.bin")
    wait_until(lambda: len(squid_entries(ntlm_squid, "GET")) >= 3, 10, "squid's log lines")
    entries = squid_entries(ntlm_squid, "GET")[-3:]
    # The first request, the negotiate message, then the authenticated one under an NTLM user
    # (the fake helper makes up its name; Basic would have logged bob).
    assert [status for status, _ in entries] == ["TCP_DENIED/407", "TCP_DENIED/407", "TCP_MISS/200"]
    assert entries[2][1] not in ("-", "bob")


@pytest.mark.parametrize("auth", ["basic", "ntlm"])
def test_connect_through_an_authenticating_parent_carries_a_large_download(probe, basic_squid, ntlm_squid, origin,
                                                                          tmp_path, auth):
    squid = basic_squid if auth == "basic" else ntlm_squid
    p = probe(*parent_args(squid, PARENT, domain="DOM"))
    out = tmp_path / "big.out"
    run = curl("-p", "-x", f"http://127.0.0.1:{p.port}", "--cacert", origin.cert, "-o", out,
               origin.tls_url("/big.bin"))
    assert run.stdout == "200", run.stderr
    assert out.read_bytes() == origin.file("big.bin")
    result = p.results()[0]
    assert result["status"] == "200"
    assert int(result["size"]) > len(origin.file("big.bin"))
    wait_until(lambda: any(s == "TCP_TUNNEL/200" for s, _ in squid_entries(squid, "CONNECT")), 10, "the tunnel")


def test_requests_reach_the_origin_through_a_tunnel_across_the_parent(probe, basic_squid, origin, tmp_path):
    p = probe(*parent_args(basic_squid, PARENT_TUNNEL), count=2)
    for name in ("big.bin", "1k.bin"):
        out = tmp_path / name
        run = curl("-x", f"http://127.0.0.1:{p.port}", "-o", out, origin.url("/" + name))
        assert run.stdout == "200", run.stderr
        assert out.read_bytes() == origin.file(name)
    assert [r["status"] for r in p.results()] == ["200", "200"]
    # The parent only ever saw tunnels to the origin, never the requests themselves.
    target = f"127.0.0.1:{origin.port}"
    tunnels = [fields for fields in basic_squid.access_log() if len(fields) > 6 and fields[6] == target]
    assert [f[3] for f in tunnels][-4:] == ["TCP_DENIED/407", "TCP_TUNNEL/200"] * 2
    assert all(f[5] == "CONNECT" for f in tunnels)
    origin.log_lines('"GET /big.bin HTTP/1.1"')


def test_a_tunnel_refused_by_the_parent_is_answered_503(probe, basic_squid, tmp_path):
    # squid refuses destinations outside 127.0.0.0/8 without asking for credentials.
    p = probe(*parent_args(basic_squid, PARENT))
    run = subprocess.run(["curl", "-sS", "-D", "-", "-o", "/dev/null", "-p", "-x", f"http://127.0.0.1:{p.port}",
                          "https://192.0.2.7:443/"], capture_output=True, text=True, timeout=60)
    assert "HTTP/1.1 503 " in run.stdout, run.stdout + run.stderr
    assert p.results()[0]["status"] == "503"


def test_proxy_test_shows_the_request_as_the_parent_delivers_it(basic_squid):
    run = subprocess.run([probe_binary(), "proxytest", "--sections", sections(), "--parent-port",
                          str(basic_squid.open_port)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "delivered=GET /" in run.stdout
    lines = [line[len("line="):] for line in run.stdout.splitlines() if line.startswith("line=")]
    assert any(re.fullmatch(r"Via: 1\.1 squid\.test .*", line) for line in lines), lines
    assert "X-Forwarded-For: 127.0.0.1" in lines


# ---------------------------------------------------------------------------------------------
# CONNECT through the running proxy


@pytest.fixture
def proxy(tarvodine, xml_files, tmp_path):
    config, section = xml_files
    every_connect_port(config)
    started = start_listening(tarvodine, config, section, "-a", tmp_path / "access.log")
    started.access_log = tmp_path / "access.log"
    return started


def test_tunnel_carries_a_large_download_unchanged(proxy, origin, tmp_path):
    out = tmp_path / "big.out"
    run = curl("-p", "-x", f"http://127.0.0.1:{proxy.port}", "--cacert", origin.cert, "-o", out,
               origin.tls_url("/big.bin"))
    assert run.stdout == "200", run.stderr
    assert out.read_bytes() == origin.file("big.bin")
    # The access log records the tunnel with every byte relayed both ways.
    target = f"127.0.0.1:{origin.tls_port}"

    def logged_size():
        for line in proxy.access_log.read_text(errors="replace").splitlines() if proxy.access_log.exists() else []:
            if "CONNECT" in line and target in line:
                return max(int(n) for n in re.findall(r"\b\d{7,}\b", line))
        return 0
    assert wait_until(logged_size, 10, "the access-log line") > len(origin.file("big.bin"))


def test_tunnel_to_a_closed_port_is_answered_503(proxy):
    closed = free_port()
    run = subprocess.run(["curl", "-sS", "-D", "-", "-o", "/dev/null", "-p", "-x", f"http://127.0.0.1:{proxy.port}",
                          f"https://127.0.0.1:{closed}/"], capture_output=True, text=True, timeout=60)
    assert "HTTP/1.1 503 " in run.stdout, run.stdout + run.stderr
