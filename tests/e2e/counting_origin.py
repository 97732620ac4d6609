"""A keep-alive HTTP/1.1 origin in this process that counts the connections it accepts, and
nginx started by tests/peers/start-nginx.sh with its HTTPS port.

The origin listens on 127.0.0.1 (over TLS when given a certificate), serves any number of
requests on each connection, and records every request head with the number of the connection
it came on, so that a test sees which requests shared an upstream connection. Also the place
where the end-to-end tests make throw-away certificates and drive proxy requests byte for byte.
"""
import http.client
import socket
import ssl
import subprocess
import threading
from pathlib import Path

from conftest import free_port, start_peer, stop_peer


class Nginx:
    """nginx in directory (tests/peers/start-nginx.sh), plain HTTP on http_port and TLS
    (self-signed) on https_port."""

    def __init__(self, directory: Path):
        self.dir = directory
        self.http_port = free_port()
        self.https_port = free_port()
        while self.https_port == self.http_port:
            self.https_port = free_port()
        self.pid = start_peer("start-nginx.sh", directory, self.http_port, self.https_port)

    def access_log(self) -> str:
        path = self.dir / "logs" / "access.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        stop_peer(self.pid)


def make_certificate(directory: Path):
    """A fresh self-signed certificate and its key in directory: (cert, key)."""
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "2", "-subj", "/CN=localhost", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def read_head(conn) -> bytes:
    """One request: its head up to the blank line, then the body its Content-Length announces
    (read and dropped). b"" when the peer closed first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            left = int(value) - len(rest)
            while left > 0:
                chunk = conn.recv(min(left, 65536))
                if not chunk:
                    break
                left -= len(chunk)
    return head


def header(head: bytes, name: str):
    """The value of the first line of that name in a request head, or None."""
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower().encode():
            return value.strip().decode("latin-1")
    return None


class CountingOrigin:
    def __init__(self, cert=None, key=None, close_after_reply=False, reply=None):
        self.context = None
        if cert is not None:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(str(cert), str(key))
        self.close_after_reply = close_after_reply
        self.reply = reply or self.default_reply
        self.accepts = 0
        self.requests = []   # (connection number, request head)
        self.lock = threading.Lock()
        self.connections = []
        self.threads = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    @staticmethod
    def default_reply(head: bytes, number: int) -> bytes:
        path = head.split(b" ")[1] if b" " in head else b"?"
        body = path + b" on connection " + str(number).encode() + b"\n"
        return (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + str(len(body)).encode() +
                b"\r\n\r\n" + body)

    def url(self, path="/", host="127.0.0.1"):
        return f"http://{host}:{self.port}{path}"

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                number = self.accepts
                self.accepts += 1
                self.connections.append(conn)
            thread = threading.Thread(target=self._serve, args=(conn, number), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, conn, number):
        try:
            conn.settimeout(30)
            if self.context is not None:
                conn = self.context.wrap_socket(conn, server_side=True)
                with self.lock:
                    self.connections.append(conn)
            while True:
                head = read_head(conn)
                if not head:
                    return
                with self.lock:
                    self.requests.append((number, head))
                conn.sendall(self.reply(head, number))
                if self.close_after_reply:
                    return
        except (OSError, ssl.SSLError):
            return
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def paths(self):
        """(connection number, path) of every request, in order."""
        with self.lock:
            return [(n, head.split(b" ")[1].decode("latin-1")) for n, head in self.requests]

    def stop(self):
        self.listener.close()
        with self.lock:
            for conn in self.connections:
                # A shutdown wakes the thread that waits in recv on it.
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                try:
                    conn.close()
                except OSError:
                    pass
        for thread in self.threads:
            thread.join(timeout=30)


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers   # lower-case names -> value
        self.body = body


def fetch(conn: http.client.HTTPConnection, method: str, url: str, host: str, headers=None, body=None) -> Response:
    """One request to the proxy on conn, with exactly the Host line given (None: none)."""
    conn.putrequest(method, url, skip_host=True, skip_accept_encoding=True)
    if host is not None:
        conn.putheader("Host", host)
    for name, value in (headers or {}).items():
        conn.putheader(name, value)
    if body is not None:
        conn.putheader("Content-Length", str(len(body)))
    conn.endheaders(body)
    response = conn.getresponse()
    data = response.read()
    return Response(response.status, {k.lower(): v for k, v in response.getheaders()}, data)


def proxy_get(proxy, url: str, host: str, headers=None, method="GET", body=None) -> Response:
    """One request on a fresh client connection to the proxy."""
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        return fetch(conn, method, url, host, headers, body)
    finally:
        conn.close()
