"""The server pool and the TLS client against real peers on 127.0.0.1.

nginx (started by tests/peers/start-nginx.sh, with its self-signed certificate) serves
requests that carry the "https" URL command; an origin in this process counts the connections
it accepts, so that a test sees which requests reused a pooled upstream connection.
"""
import socket
import threading

import pytest

from conftest import wait_until
from counting_origin import CountingOrigin, Nginx, make_certificate, proxy_get


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(tmp_path_factory.mktemp("nginx"))
    yield server
    server.stop()


@pytest.fixture
def origins(tmp_path):
    """make(tls=False, **options) starts a CountingOrigin; all are stopped afterwards."""
    made = []
    certificate = []

    def make(tls=False, **options):
        if tls and not certificate:
            certificate.extend(make_certificate(tmp_path / "cert"))
        origin = CountingOrigin(*(certificate if tls else (None, None)), **options)
        made.append(origin)
        return origin
    yield make
    for origin in made:
        origin.stop()


def answered_get(proxy, url: str, host: str):
    """proxy_get, returning once the proxy is done with the request: it pools the server
    connection just after the client has the last byte, and logs the client's disconnect after
    that. A request sent sooner can find the pool still empty."""
    def done():
        return proxy.native_log().count("disconnected after making 1 requests")
    before = done()
    got = proxy_get(proxy, url, host)
    wait_until(lambda: done() > before, 10, "the client's disconnect line")
    return got


def test_https_command_fetches_over_tls_without_checking_the_certificate(proxy, nginx):
    host = f"xx--https.127.0.0.1:{nginx.https_port}"
    got = answered_get(proxy, f"http://{host}/hello.txt", host)
    assert (got.status, got.body) == (200, b"hello from origin\n")
    # The TLS port of nginx answers only what came over TLS, and it saw no command.
    wait_until(lambda: '"GET /hello.txt HTTP/1.1" 200' in nginx.access_log(), 10, "nginx's log line")
    assert "xx--" not in nginx.access_log()


def test_https_to_a_server_not_speaking_tls_fails_as_a_connection_failure(proxy, nginx):
    host = f"xx--https.127.0.0.1:{nginx.http_port}"
    got = answered_get(proxy, f"http://{host}/hello.txt", host)
    assert got.status == 503


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_a_second_request_reuses_the_pooled_connection(proxy, origins, tls):
    origin = origins(tls=tls)
    prefix = "xx--https." if tls else ""
    for path in ("/first", "/second"):
        host = f"{prefix}127.0.0.1:{origin.port}"
        got = answered_get(proxy, f"http://{host}{path}", host)   # a new client connection each time
        assert got.status == 200
        assert got.body == f"{path} on connection 0\n".encode()
    assert origin.accepts == 1
    # The commands never reach the origin.
    assert all(b"xx--" not in head for _, head in origin.requests)


def test_pooled_connections_are_kept_apart_by_credentials(proxy, origins):
    origin = origins()
    sequence = [
        ("alice:secret", "/a", 0),
        ("alice:other", "/b", 1),    # another password: never the logged-in connection
        ("alice:Secret", "/c", 2),   # passwords compare byte for byte
        ("alice:secret", "/d", 0),
        (None, "/e", 3),             # no credentials: none of the logged-in ones
    ]
    for credentials, path, connection in sequence:
        userinfo = f"{credentials}@" if credentials else ""
        got = answered_get(proxy, f"http://{userinfo}127.0.0.1:{origin.port}{path}", f"127.0.0.1:{origin.port}")
        assert got.status == 200, path
        assert got.body == f"{path} on connection {connection}\n".encode()
    assert origin.accepts == 4


def test_a_pooled_tls_connection_never_serves_a_plain_request(proxy, origins):
    origin = origins(tls=True)
    host = f"xx--https.127.0.0.1:{origin.port}"
    assert answered_get(proxy, f"http://{host}/tls", host).status == 200
    # The same host and port without the command: a new, plain connection, which the TLS
    # server refuses.
    plain = f"127.0.0.1:{origin.port}"
    assert answered_get(proxy, f"http://{plain}/plain", plain).status == 503
    assert origin.accepts == 2
    assert origin.paths() == [(0, "/tls")]


def test_a_pooled_connection_the_server_closed_is_replaced_unnoticed(proxy, origins):
    origin = origins(close_after_reply=True)   # keeps nothing, though it announces nothing
    host = f"127.0.0.1:{origin.port}"
    for path in ("/first", "/second"):
        got = answered_get(proxy, f"http://{host}{path}", host)
        assert got.status == 200
        assert got.body.startswith(path.encode())
    assert origin.paths() == [(0, "/first"), (1, "/second")]


@pytest.mark.parametrize("half", [False, True], ids=["closes", "half-closes"])
def test_a_client_leaving_before_the_answer_is_not_asked_for_again(proxy, origins, half):
    """The client's side ends while its request waits for the answer on a pooled connection: the
    origin sees the request once, on no other connection, and the connection that still owes the
    answer is not pooled for the next request. A client that only shut its sending side reads
    the failure page."""
    release = threading.Event()

    def reply(head, number):
        if head.startswith(b"GET /slow "):
            release.wait(30)
        return CountingOrigin.default_reply(head, number)
    origin = origins(reply=reply)
    host = f"127.0.0.1:{origin.port}"
    assert answered_get(proxy, f"http://{host}/first", host).status == 200
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as client:
        client.sendall(f"GET http://{host}/slow HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        wait_until(lambda: (0, "/slow") in origin.paths(), 10, "the request on the pooled connection")
        if half:
            client.shutdown(socket.SHUT_WR)
            answer = b""
            while chunk := client.recv(65536):
                answer += chunk
            assert answer.startswith(b"HTTP/1.1 503 "), answer[:200]
    wait_until(lambda: proxy.native_log().count("disconnected after making 1 requests") >= 2, 10,
               "the leaving client's disconnect line")
    release.set()
    assert answered_get(proxy, f"http://{host}/after", host).status == 200
    assert origin.paths() == [(0, "/first"), (0, "/slow"), (1, "/after")]
