"""The ICAP client against the real c-icap: its echo service passes requests and responses
through unchanged, url_check answers a request for a listed host itself, content filtering
rewrites a response, and virus_scan with clamd blocks EICAR in a response."""
import os
import re
import socket

import pytest

from conftest import free_port, start_peer, stop_peer
from origin import ECHO_MODULE
from rules_helpers import element, exchange, get, origin_with_pages, proxy_with
from scripted_icap import ScriptedIcap, reply
from test_upload_faults import read_answer

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



# What c-icap never sends comes from a scripted server.
NEW_RESPONSE = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Scripted: yes\r\n\r\n"
ANSWER = b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n"


def scripted_answer(request):
    """The reply by the case named in the encapsulated request's URL."""
    text = request.encapsulated.decode("latin-1")
    case = text.split("case=", 1)[1].split(" ", 1)[0] if "case=" in text else ""
    n = len(NEW_RESPONSE)
    replies = {
        "r204": reply(204),
        "r400": reply(400),
        "r500": reply(500),
        "r100": reply(100),
        "headeronly": reply(200, f"res-hdr=0, null-body={n}", NEW_RESPONSE),
        "rewrite": reply(200, f"res-hdr=0, res-body={n}", NEW_RESPONSE, b"rewritten"),
        "closing": reply(200, f"res-hdr=0, res-body={n}", NEW_RESPONSE, b"rewritten"),
        "reqanswer": reply(200, f"res-hdr=0, res-body={len(ANSWER)}", ANSWER, b"answered by ICAP"),
        "reqinresp": reply(200, f"req-hdr=0, null-body={len(request.encapsulated)}", request.encapsulated),
        "both": reply(200, "req-hdr=0, req-body=0, res-body=0", b"", b"x"),
        # What no client may be given: a reply that is not ICAP, an interim reply, an
        # encapsulated header that is no HTTP response or only an interim one, and a body beyond
        # the download buffer (4M).
        "notICAP": b"HTTP/1.1 200 OK\r\nEncapsulated: res-hdr=0, null-body=%d\r\n\r\n" % n + NEW_RESPONSE,
        "r100mod": reply(100, f"res-hdr=0, res-body={n}", NEW_RESPONSE, b"rewritten"),
        "garbage": reply(200, "res-hdr=0, res-body=23", b"no status line here\r\n\r\n", b"hostile"),
        "interim": reply(200, "res-hdr=0, null-body=25", b"HTTP/1.1 100 Continue\r\n\r\n"),
        "huge": reply(200, f"res-hdr=0, res-body={n}", NEW_RESPONSE, b"h" * (5 << 20)),
    }
    if case == "reframe":
        # The request back with another framing than the one its body comes with.
        header = request.encapsulated
        if b"Transfer-Encoding: chunked\r\n" in header:
            header = header.replace(b"Transfer-Encoding: chunked\r\n", b"Content-Length: 5\r\n")
        else:
            header = re.sub(rb"Content-Length: \d+\r\n", b"Transfer-Encoding: chunked\r\n", header)
        replies["reframe"] = reply(200, f"req-hdr=0, null-body={len(header)}", header)
    # "closing" ends the connection after its reply without saying so: the proxy keeps it.
    return replies.get(case, reply(204)), case == "closing"


@pytest.fixture
def scripted():
    server = ScriptedIcap(scripted_answer)
    yield server
    server.stop()


# Every reply that is not a usable modification leaves the response as the server sent it; a
# header-only reply empties the body rather than deliver the old one under the new header.
@pytest.mark.parametrize("case, headers_expected, body_expected", [
    ("r204", {}, PAGE),
    ("r400", {}, PAGE),
    ("r500", {}, PAGE),
    ("r100", {}, PAGE),
    ("reqinresp", {}, PAGE),
    ("both", {}, PAGE),
    ("notICAP", {}, PAGE),
    ("r100mod", {}, PAGE),
    ("garbage", {}, PAGE),
    ("interim", {}, PAGE),
    ("huge", {}, PAGE),
    ("headeronly", {"x-scripted": "yes"}, b""),
    ("rewrite", {"x-scripted": "yes"}, b"rewritten"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_respmod_replies(tarvodine, xml_files, scripted, origin, case, headers_expected, body_expected):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/resp", 2))
    status, headers, body = get(proxy, origin.url(f"/page.bin?case={case}"))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == body_expected
    for name, value in headers_expected.items():
        assert headers.get(name) == value
    if not headers_expected:
        assert "x-scripted" not in headers
    assert int(headers["content-length"]) == len(body)


def test_respmod_states_the_buffered_length_and_exact_offsets(tarvodine, xml_files, scripted, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/resp", 2))
    get(proxy, origin.url("/page.bin?case=rewrite"))
    [request] = scripted.requests
    assert request.head.startswith(f"RESPMOD icap://127.0.0.1:{scripted.port}/resp ICAP/1.0\r\n")
    assert request.field("Host") == f"127.0.0.1:{scripted.port}"
    assert request.field("X-Client-IP") == "127.0.0.1"
    offsets = request.offsets()
    http_request, _, rest = request.encapsulated.partition(b"\r\n\r\n")
    assert offsets == {"req-hdr": 0, "res-hdr": len(http_request) + 4, "res-body": len(request.encapsulated)}
    assert http_request.startswith(b"GET http://") and f"Content-Length: {len(PAGE)}\r\n".encode() in rest
    assert request.body == PAGE


def test_reqmod_get_has_a_null_body_and_an_answer_ends_the_request(tarvodine, xml_files, scripted, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/req", 1))
    status, _, body = get(proxy, origin.url("/page.bin?case=reqanswer"))
    assert status.startswith("HTTP/1.1 403"), status
    assert body == b"answered by ICAP"
    assert "case=reqanswer" not in origin.access_log()
    [request] = scripted.requests
    assert request.offsets() == {"req-hdr": 0, "null-body": len(request.encapsulated)}
    assert request.encapsulated.endswith(b"\r\n\r\n") and request.body == b""


def test_a_pooled_connection_the_server_closed_is_replaced(tarvodine, xml_files, scripted, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/resp", 2))
    for _ in range(2):
        status, headers, body = get(proxy, origin.url("/page.bin?case=closing"))
        assert status.startswith("HTTP/1.1 200") and body == b"rewritten", status
    assert [r.connection for r in scripted.requests] == [1, 2]


# A reply that names sections after the one the client reads (a second header, a body without a
# header before it, bytes its header does not fill) may send them late, once the next exchange on
# its connection has begun: they would be read as that exchange's reply.
ANOTHER_REQUEST = b"GET http://elsewhere.example/ HTTP/1.1\r\nHost: elsewhere.example\r\n\r\n"


def answer_with_unread_rest(request):
    text = request.encapsulated.decode("latin-1")
    case = text.split("case=", 1)[1].split(" ", 1)[0] if "case=" in text else ""
    n = len(NEW_RESPONSE)
    own_request = request.encapsulated[:request.offsets().get("res-hdr", 0)]
    q = len(own_request)
    replies = {
        "twoheaders": (reply(200, f"res-hdr=0, req-hdr={n}, null-body={n + len(ANOTHER_REQUEST)}", NEW_RESPONSE),
                       ANOTHER_REQUEST),
        "requestfirst": (reply(200, f"req-hdr=0, res-hdr={q}, null-body={q + n}", own_request), NEW_RESPONSE),
        "bodyonly": (reply(200, "res-body=0"), b"9\r\nrewritten\r\n0\r\n\r\n"),
        "shortheader": (reply(200, f"res-hdr=0, null-body={n + 7}", NEW_RESPONSE), b"extra\r\n"),
    }
    if case in replies:
        data, rest = replies[case]
        return data, False, rest
    return scripted_answer(request)


@pytest.mark.parametrize("case, modified", [
    ("twoheaders", True),
    ("requestfirst", False),
    ("bodyonly", False),
    ("shortheader", True),
])
def test_a_connection_whose_reply_was_not_read_to_its_end_is_not_reused(tarvodine, xml_files, origin, case,
                                                                        modified):
    server = ScriptedIcap(answer_with_unread_rest)
    try:
        proxy = icap_proxy(tarvodine, xml_files, rule(server.port, "/resp", 2))
        status, headers, body = get(proxy, origin.url(f"/page.bin?case={case}"))
        assert status.startswith("HTTP/1.1 200"), status
        assert ("x-scripted" in headers, body) == ((True, b"") if modified else (False, PAGE))
        status, headers, body = get(proxy, origin.url("/page.bin?case=rewrite"))
        assert status.startswith("HTTP/1.1 200"), status
        assert (headers.get("x-scripted"), body) == ("yes", b"rewritten")
        assert [r.connection for r in server.requests] == [1, 2]
    finally:
        server.stop()


def test_a_204_connection_is_not_reused(tarvodine, xml_files, scripted, origin):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/resp", 2))
    for _ in range(2):
        status, _, body = get(proxy, origin.url("/page.bin?case=r204"))
        assert body == PAGE, status
    assert [r.connection for r in scripted.requests] == [1, 2]


# An upload above the upload buffer (1M) streams to the server: REQMOD gets its header only, as
# for a sized body, and a reply that changes its framing cannot make the server take a body cut
# short or the client's next bytes be read as a request.
@pytest.mark.skipif(not os.path.exists(ECHO_MODULE), reason="nginx echo module not installed")
@pytest.mark.parametrize("framing", ["chunked", "sized"])
def test_reqmod_never_sees_a_streamed_upload_as_whole(tarvodine, xml_files, scripted, origin, framing):
    proxy = icap_proxy(tarvodine, xml_files, rule(scripted.port, "/req", 1))
    payload = PAGE * 30
    url = origin.url("/echo?case=reframe")
    if framing == "chunked":
        block = 65536
        body = b"".join(b"%x\r\n%s\r\n" % (len(payload[at:at + block]), payload[at:at + block])
                        for at in range(0, len(payload), block)) + b"0\r\n\r\n"
        head = f"POST {url} HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
    else:
        body = payload
        head = f"POST {url} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(payload)}\r\n\r\n"
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as sock:
        sock.sendall(head.encode() + body)
        status, _, echoed = read_answer(sock)
        assert status == 200
        assert echoed == payload
        # The same connection carries the next request.
        sock.sendall(f"GET {origin.url('/page.bin')} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        status, _, page = read_answer(sock)
        assert status == 200 and page == PAGE
    upload = scripted.requests[0]
    assert upload.head.startswith("REQMOD ")
    assert "null-body" in upload.offsets() and upload.body == b""
    assert (f"ICAP: request body of {url} not inspected: larger than the upload buffer (1048576 bytes)"
            in proxy.native_log())
