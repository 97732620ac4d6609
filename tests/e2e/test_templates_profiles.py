"""Pages the proxy answers itself and the profiles that choose them: the built-in page for a
server that cannot be reached, and configured templates named after a response status, chosen
by profiles that a time window (the proxy runs under Debian's libfaketime) or a request header
attaches to the request.

The origin is tests/e2e/origin.py; its /status/404 answers 404 "not here\\n".
"""
import http.client
import os
import socket
from pathlib import Path

import pytest

from conftest import free_port, wait_port, wait_until
from origin import Origin

FAKETIME_LIB = Path("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1")

PROFILE_FIELDS = ["enabled", "comment", "log", "profiles", "scheme", "host", "file", "mime", "port",
                  "urlcommand", "proxyhost", "requestheader", "responseheader", "month", "day",
                  "weekday", "hour", "minute", "timematch", "add", "remove"]
TEMPLATE_FIELDS = ["enabled", "comment", "profiles", "name", "file", "mime", "code", "type", "parse"]
FLAGS = {"enabled": "true", "log": "false", "parse": "true"}


def item(element, fields, **values):
    """One rule with every field written: the flags default as in FLAGS, the rest empty; a time
    element is written only when given."""
    parts = []
    for name in fields:
        if name in ("month", "day", "weekday", "hour", "minute") and name not in values:
            continue
        text = values.get(name, FLAGS.get(name, ""))
        if name == "code" and not text:
            text = "200"
        if name == "type" and not text:
            text = "file"
        if name == "timematch" and not text:
            text = "absolute"
        parts.append(f"<{name}>{text}</{name}>")
    return f"<{element}>{''.join(parts)}</{element}>"


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = Origin(tmp_path_factory.mktemp("nginx"), big=False)
    yield server
    server.stop()


@pytest.fixture
def configured(tmp_path, xml_files):
    """The shipped files, with profile rules and templates written into the configuration."""
    config, section = xml_files
    (tmp_path / "evening404.html").write_text("<p>Evening page for @URL@</p>\n")
    (tmp_path / "late404.txt").write_text("decided on the response\n")
    profiles = (
        item("profile", PROFILE_FIELDS, comment="evening hours", log="true", hour="18,23",
             timematch="recurring", add="evening")
        + item("profile", PROFILE_FIELDS, comment="team header", requestheader="X-Team: blue", add="blue")
        + item("profile", PROFILE_FIELDS, comment="late", log="true", requestheader="X-Check: late",
               responseheader="^HTTP/1\\.1 404 ", add="late")
    )
    program = ("/bin/sh -c &quot;printf 'HTTP/1.0 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n"
               "blue team, %s' $HTTP_FILE&quot;")
    templates = (
        f"<path>{tmp_path}</path>"
        + item("template", TEMPLATE_FIELDS, profiles="evening", name="404", file="evening404.html",
               mime="text/html", code="404")
        + item("template", TEMPLATE_FIELDS, profiles="blue", name="404", file=program, code="410",
               type="program", parse="false")
        + item("template", TEMPLATE_FIELDS, profiles="late", name="404", file="late404.txt",
               mime="text/plain", code="404")
    )
    text = config.read_text().replace(
        "</tarvodine>", f"<profiles>{profiles}</profiles><templates>{templates}</templates></tarvodine>")
    config.write_text(text)
    return config, section


def start(tarvodine, files, fake_time=None):
    config, section = files
    port = free_port()
    env = dict(os.environ, TZ="UTC")
    if fake_time is not None:
        if not FAKETIME_LIB.exists():
            pytest.skip("libfaketime is not installed")
        # The sanitizer runtime then is not the first library; it works all the same.
        env.update(LD_PRELOAD=str(FAKETIME_LIB), FAKETIME=f"@{fake_time}",
                   ASAN_OPTIONS=env.get("ASAN_OPTIONS", "detect_leaks=0") + ":verify_asan_link_order=0")
    proxy = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", env=env)
    wait_port(port)
    proxy.port = port
    return proxy


def get(proxy, url, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        conn.request("GET", url, headers=headers or {})
        response = conn.getresponse()
        return response, response.read()
    finally:
        conn.close()


def test_builtin_page_for_a_server_that_cannot_be_reached(tarvodine, xml_files):
    proxy = start(tarvodine, xml_files)
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]   # bound, never listening: connections are refused
        response, body = get(proxy, f"http://127.0.0.1:{port}/page")
    assert response.status == 503
    assert response.getheader("Content-Type") == "text/html"
    assert response.getheader("Cache-Control") == "no-cache"
    assert int(response.getheader("Content-Length")) == len(body)
    assert body.startswith(b'<style type="text/css">')
    assert b"<title>Connection failed</title>" in body
    assert f"Connection to 127.0.0.1:{port} failed".encode() in body
    assert b'<img src="/template/logo"' in body


@pytest.mark.parametrize("fake_time, evening", [
    ("2024-06-14 20:00:00", True),
    ("2024-06-14 10:00:00", False),
])
def test_time_window_profile_chooses_the_status_template(tarvodine, configured, origin, fake_time, evening):
    proxy = start(tarvodine, configured, fake_time)
    url = origin.url("/status/404")
    response, body = get(proxy, url)
    assert response.status == 404
    if evening:
        assert response.getheader("Content-Type") == "text/html"
        assert body == f"<p>Evening page for {url}</p>\n".encode()
        wait_until(lambda: "Added Profile: evening" in proxy.native_log(), 10, "the profile line")
    else:
        assert body == b"not here\n"
        assert "Profile: evening" not in proxy.native_log()


def test_request_header_profile_chooses_a_program_template(tarvodine, configured, origin):
    proxy = start(tarvodine, configured, "2024-06-14 10:00:00")
    response, body = get(proxy, origin.url("/status/404"), headers={"X-Team": "blue"})
    assert response.status == 410
    assert response.getheader("Content-Type") == "text/plain"
    assert body == b"blue team, /status/404"
    # Without the header the origin's own answer goes through.
    response, body = get(proxy, origin.url("/status/404"))
    assert (response.status, body) == (404, b"not here\n")


def test_response_header_profile_is_attached_once_the_answer_is_in(tarvodine, configured, origin):
    proxy = start(tarvodine, configured, "2024-06-14 10:00:00")
    response, body = get(proxy, origin.url("/status/404"), headers={"X-Check": "late"})
    assert (response.status, body) == (404, b"decided on the response\n")
    wait_until(lambda: "Added Profile: late" in proxy.native_log(), 10, "the profile line")
    # A found page has no 404 status line: the rule adds nothing and the origin's body passes.
    response, body = get(proxy, origin.url("/1k.bin"), headers={"X-Check": "late"})
    assert (response.status, body) == (200, origin.file("1k.bin"))
    assert proxy.native_log().count("Added Profile: late") == 1
