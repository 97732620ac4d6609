"""The ICAP client against the real c-icap: its echo service passes requests and responses
through unchanged, url_check answers a request for a listed host itself, content filtering
rewrites a response, and virus_scan with clamd blocks EICAR in a response."""
import os

import pytest

from conftest import free_port, start_peer, stop_peer
from origin import ECHO_MODULE
from rules_helpers import element, exchange, get, origin_with_pages, proxy_with

EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
# Binary and larger than one chunk of either side.
PAGE = bytes(range(256)) * 400
TEXT = b"a line with a badword in it\n" * 100


def rule(port, service, modes, profiles=""):
    return ("rule", {"enabled": "true", "comment": "", "profiles": profiles, "host": "127.0.0.1",
                     "service": service, "port": str(port), "modes": str(modes)})


def icap_proxy(tarvodine, xml_files, *rules):
    return proxy_with(tarvodine, xml_files, element("icap", {"enabled": "true"}, *rules))


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {
        "/page.bin": PAGE, "/text.txt": TEXT, "/eicar.txt": b"attachment: " + EICAR + b"\n"})
    yield server
    server.stop()


@pytest.fixture(scope="module")
def clamd_port(tmp_path_factory):
    port = free_port()
    pid = start_peer("start-clamd.sh", tmp_path_factory.mktemp("clamd"), port)
    yield port
    stop_peer(pid)


@pytest.fixture(scope="module")
def cicap(tmp_path_factory, clamd_port):
    port = free_port()
    pid = start_peer("start-cicap.sh", tmp_path_factory.mktemp("cicap"), port, clamd_port)
    yield port
    stop_peer(pid)


def test_echo_passes_requests_and_responses_through_unchanged(tarvodine, xml_files, cicap, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(cicap, "/echo", 3))
    status, headers, body = get(proxy, origin.url("/page.bin"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGE
    assert int(headers["content-length"]) == len(PAGE)
    log = proxy.native_log()
    assert "ICAP: response modified" in log and "ICAP: request modified" in log


@pytest.mark.skipif(not os.path.exists(ECHO_MODULE), reason="nginx echo module not installed")
def test_echo_passes_a_request_body_through_unchanged(tarvodine, xml_files, cicap, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(cicap, "/echo", 1))
    payload = PAGE[:70000]
    status, _, body = exchange(proxy, (f"POST {origin.url('/echo')} HTTP/1.0\r\n"
                                       f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload)
    assert status.startswith("HTTP/1.1 200"), status
    assert body == payload


def test_url_check_answers_a_request_for_a_listed_host(tarvodine, xml_files, cicap, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(cicap, "/url_check", 1))
    status, _, _ = get(proxy, "http://blocked.test/x")
    assert status.startswith("HTTP/1.1 403"), status
    assert "ICAP: request satisfied" in proxy.native_log()
    # Hosts not listed pass: c-icap answers 204.
    status, _, body = get(proxy, origin.url("/page.bin"))
    assert status.startswith("HTTP/1.1 200") and body == PAGE, status


def test_content_filtering_rewrites_a_response(tarvodine, xml_files, cicap, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(cicap, "/srv_content_filtering", 2))
    status, headers, body = get(proxy, origin.url("/text.txt"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == TEXT.replace(b"badword", b"[censored]")
    assert headers.get("x-content-filtered") == "yes"
    assert int(headers["content-length"]) == len(body)


def test_virus_scan_blocks_eicar_in_a_response(tarvodine, xml_files, cicap, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(cicap, "/avscan", 2))
    status, _, body = get(proxy, origin.url("/eicar.txt"))
    assert status.startswith("HTTP/1.1 403"), status
    assert EICAR not in body
    status, _, body = get(proxy, origin.url("/text.txt"))
    assert status.startswith("HTTP/1.1 200") and body == TEXT, status

