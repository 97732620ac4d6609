"""The network section and the internal HTTP client: listeners opened from the configuration,
outgoing connections bound to the local address an interface rule chooses, and a configuration
fetched from a URL at start-up.

Origins and the configuration server are small Python HTTP servers in the test process; each
records the requests it gets with the address they came from.
"""
import http.client
import re
import socket
import threading
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import free_port, section_set, source_dir, wait_port

LISTEN_FIELDS = ["enabled", "comment", "port", "address"]
INTERFACE_FIELDS = ["enabled", "comment", "profiles", "address"]
USER_AGENT = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"


def item(element, fields, **values):
    """One rule with every field written; enabled defaults to true, the rest to empty."""
    defaults = {"enabled": "true"}
    parts = "".join(f"<{name}>{values.get(name, defaults.get(name, ''))}</{name}>" for name in fields)
    return f"<{element}>{parts}</{element}>"


def listen(port, address="127.0.0.1", **values):
    return item("listen", LISTEN_FIELDS, port=port, address=address, **values)


def interface(address, profiles="", **values):
    return item("interface", INTERFACE_FIELDS, address=address, profiles=profiles, **values)


def configuration(base, network="", other=""):
    """The configuration file base (the test copy of the shipped one, which admits clients from
    127.0.0.1) with a network section of the given rules and other sections added."""
    text = section_set(base.read_text(), f"<network>{network}</network>")
    return text.replace("</tarvodine>", f"{other}</tarvodine>")


class Recorder:
    """An HTTP server on 127.0.0.1. routes maps a path to (status, body); any other path
    answers 200 with "hello from <path>". Every answer closes its connection. `requests`
    lists (peer address, request line, headers) in order of arrival."""

    def __init__(self, routes=None):
        self.routes = routes or {}
        self.requests = []
        recorder = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                recorder.requests.append((self.client_address[0], self.requestline, dict(self.headers)))
                status, body = recorder.routes.get(self.path, (200, f"hello from {self.path}".encode()))
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


@pytest.fixture
def recorder():
    started = []

    def make(routes=None):
        server = Recorder(routes)
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()


def get(port, url, address="127.0.0.1"):
    conn = http.client.HTTPConnection(address, port, timeout=30)
    try:
        conn.request("GET", url)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def accepting(port, address="127.0.0.1"):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def closed_port():
    """A port on 127.0.0.1 on which connections are refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_shipped_configuration_listens_on_loopback_only():
    root = ET.parse(source_dir() / "etc" / "tarvodine.xml").getroot()
    listeners = [(rule.findtext("enabled"), rule.findtext("address"), rule.findtext("port"))
                 for rule in root.iter("listen")]
    assert ("true", "127.0.0.1", "3128") in listeners
    assert all(address == "127.0.0.1" for enabled, address, _ in listeners if enabled == "true")


def test_listeners_of_the_network_section_take_effect(tarvodine, tmp_path, xml_files, recorder):
    base, section = xml_files
    origin = recorder()
    first, second, disabled, bad = (free_port() for _ in range(4))
    config = tmp_path / "listeners.xml"
    config.write_text(configuration(
        base, listen(first, comment="first") + listen(second, comment="second")
        + listen(disabled, enabled="false") + listen(-1) + listen(bad, address="127.0.0.300")))
    proxy = tarvodine("-c", config, "-s", section)
    wait_port(first)
    wait_port(second)

    for port in (first, second):
        assert get(port, origin.url(f"/via/{port}")) == (200, f"hello from /via/{port}".encode())
    assert [line for _, line, _ in origin.requests] == [f"GET /via/{first} HTTP/1.1", f"GET /via/{second} HTTP/1.1"]

    assert not accepting(disabled)
    assert not accepting(first, "127.0.0.2")   # bound to 127.0.0.1 only
    log = proxy.native_log()
    assert f"network: listening on 127.0.0.1:{first}\n" in log
    assert f"network: listening on 127.0.0.1:{second}\n" in log
    # An address that does not parse is refused, never widened to every address.
    assert f"network: error: failed to bind to 127.0.0.300:{bad}\n" in log
    assert not accepting(bad)
    assert not re.search(r"listening on \S*:-1\b", log)
    assert proxy.alive()


def test_outgoing_interface_rule_binds_matching_requests(tarvodine, tmp_path, xml_files, recorder):
    base, section = xml_files
    origin = recorder()
    port = free_port()
    profile = ("<profile><enabled>true</enabled><log>false</log><file>^/bound/</file>"
               "<timematch>absolute</timematch><add>bound</add></profile>")
    config = tmp_path / "interfaces.xml"
    config.write_text(configuration(
        base, listen(port) + interface("127.0.0.9", enabled="false") + interface("127.0.0.2", profiles="bound"),
        other=f"<profiles>{profile}</profiles>"))
    proxy = tarvodine("-c", config, "-s", section)
    wait_port(port)

    for path in ("/bound/a", "/plain", "/bound/b"):
        assert get(port, origin.url(path)) == (200, f"hello from {path}".encode())
    assert [(peer, line) for peer, line, _ in origin.requests] == [
        ("127.0.0.2", "GET /bound/a HTTP/1.1"),
        ("127.0.0.1", "GET /plain HTTP/1.1"),
        ("127.0.0.2", "GET /bound/b HTTP/1.1"),
    ]
    assert proxy.native_log().count("network: binding outgoing connection to 127.0.0.2\n") == 2
    assert "127.0.0.9" not in proxy.native_log()


def test_configuration_given_by_url_is_fetched_at_start_up(tarvodine, xml_files, recorder):
    base, section = xml_files
    origin = recorder()
    port = free_port()
    server = recorder({"/conf.xml": (200, configuration(base, listen(port)).encode())})
    proxy = tarvodine("-c", server.url("/conf.xml"), "-s", section)
    wait_port(port)   # the listener exists only in the fetched configuration

    assert get(port, origin.url("/x")) == (200, b"hello from /x")
    assert len(server.requests) == 1
    peer, line, headers = server.requests[0]
    assert (peer, line) == ("127.0.0.1", "GET /conf.xml HTTP/1.1")
    assert headers["User-Agent"] == USER_AGENT
    assert headers["Host"] == f"127.0.0.1:{server.port}"
    assert proxy.alive()


@pytest.mark.parametrize("status, body, reason", [
    (None, None, "no answer"),
    # A whole configuration under a status other than 200 is not loaded.
    (404, "listener", "status 404"),
    (200, "<tarvodine><network>", None),
    (200, "<other/>", "root element is not tarvodine"),
])
def test_configuration_url_that_gives_nothing_stops_start_up(tarvodine, xml_files, recorder, status, body, reason):
    base, section = xml_files
    port = free_port()
    if status is None:
        url = f"http://127.0.0.1:{closed_port()}/conf.xml"
    else:
        text = configuration(base, listen(port)) if body == "listener" else body
        url = recorder({"/conf.xml": (status, text.encode())}).url("/conf.xml")

    proxy = tarvodine("-c", url, "-s", section)
    assert proxy.wait() == 1
    log = proxy.native_log()
    prefix = f"error: failed to load configuration {url}: "
    assert prefix in log
    if reason is not None:
        assert prefix + reason + "\n" in log
    assert "System Unstable: Please Restart" in log
    assert "listening on" not in log
    assert not accepting(port)
