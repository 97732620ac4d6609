"""An origin server scripted in Python socket code, for answers nginx never gives.

ScriptedOrigin serves one accepted connection per reply, in turn. A reply of bytes reads one
request, writes the bytes and closes. A callable reply is a script: it is called with the
accepted connection and the origin, reads what it wants (origin.read records a request) and
writes what it likes; the connection is closed when it returns.
"""
import socket
import threading

SCRIPT_TIMEOUT = 30


def read_request(conn) -> bytes:
    """One request as an origin sees it: the header block and the body its framing announces."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lower = head.lower()
    if b"content-length:" in lower:
        length = int(lower.split(b"content-length:")[1].split(b"\r\n")[0])
        while len(rest) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
    elif b"transfer-encoding: chunked" in lower:
        while not rest.endswith(b"0\r\n\r\n"):
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
    return head + b"\r\n\r\n" + rest


class ScriptedOrigin:
    def __init__(self, replies):
        self.replies = list(replies)
        self.requests = []
        self.accepted = 0
        self.errors = []
        self.current = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def read(self, conn) -> bytes:
        """Reads and records one request; b"" when the connection ended first."""
        request = read_request(conn)
        if request:
            self.requests.append(request)
        return request

    def _serve(self):
        for reply in self.replies:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            self.current = conn
            with conn:
                conn.settimeout(SCRIPT_TIMEOUT)
                try:
                    if callable(reply):
                        reply(conn, self)
                    elif self.read(conn):
                        conn.sendall(reply)
                except OSError as error:
                    # The proxy may close first; a script notes that and goes on.
                    self.errors.append(error)

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        """Ends the serving thread: a shut-down socket wakes a thread blocked on it."""
        for sock in (self.listener, self.current):
            if sock is not None:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.thread.join(timeout=SCRIPT_TIMEOUT)
        self.listener.close()
