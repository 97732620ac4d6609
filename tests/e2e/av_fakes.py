"""Small stand-ins for the F-Prot, Kaspersky and Sophie daemons, which Debian does not ship,
each speaking only its side of the proxy's exchange. A daemon decides by the bytes it is given:
a body containing MARKER is infected. Each records what it received in `received`.

Listening sockets are made when a fake is built, in the network namespace of the building
thread; the serving threads are daemon threads, ended by stop().
"""
import socket
import threading
import urllib.parse
from pathlib import Path

MARKER = b"PROXY-TEST-VIRUS-MARKER"
TIMEOUT = 30


def read_line(conn, end=b"\n") -> bytes:
    data = b""
    while not data.endswith(end):
        chunk = conn.recv(1)
        if not chunk:
            break
        data += chunk
    return data


class _Fake:
    def __init__(self, listeners):
        self.received = []
        self.lock = threading.Lock()
        self.listeners = listeners
        self.stopping = False
        self.threads = []
        for listener in listeners:
            listener.settimeout(0.2)
            thread = threading.Thread(target=self._accept, args=(listener,), daemon=True)
            thread.start()
            self.threads.append(thread)

    def record(self, item):
        with self.lock:
            self.received.append(item)

    def _accept(self, listener):
        while not self.stopping:
            try:
                conn, _ = listener.accept()
            except (socket.timeout, OSError):
                continue
            conn.settimeout(TIMEOUT)
            threading.Thread(target=self._serve_and_close, args=(conn,), daemon=True).start()

    def _serve_and_close(self, conn):
        with conn:
            try:
                self.serve(conn)
            except OSError:
                pass

    def stop(self):
        self.stopping = True
        for thread in self.threads:
            thread.join()
        for listener in self.listeners:
            listener.close()


def _unix_listener(path: Path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(path))
    listener.listen(16)
    return listener


def _tcp_listener(port: int):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    return listener


class Kaspersky(_Fake):
    """A Unix socket: "SCAN <flags> <path>\\r\\n", numbered reply lines, "QUIT\\r\\n".

    `infected_replies` and `clean_replies` are the lines sent for each kind of file (None: close
    without a verdict)."""

    def __init__(self, path: Path, infected_replies=(b"201 scanning\r\n", b"322 Test.Marker extra words\r\n",
                                                     b"230 infected\r\n"),
                 clean_replies=(b"201 scanning\r\n", b"220 clean\r\n")):
        self.path = path
        self.infected_replies = infected_replies
        self.clean_replies = clean_replies
        super().__init__([_unix_listener(path)])

    def serve(self, conn):
        command = read_line(conn, b"\r\n")
        content = Path(command.split(b" ", 2)[2].rstrip(b"\r\n").decode()).read_bytes()
        replies = self.infected_replies if MARKER in content else self.clean_replies
        if replies is None:
            self.record({"command": command, "content": content, "quit": b""})
            return
        conn.sendall(b"".join(replies))
        quit_line = read_line(conn, b"\r\n")
        self.record({"command": command, "content": content, "quit": quit_line})


class Sophie(_Fake):
    """Unix socket: the file's path and a newline, one answer. TCP: "<name>/<size>\\n", "OK",
    the bytes, one answer line. Answers: "1 <name>" infected, "0" clean."""

    def __init__(self, path: Path = None, port: int = None, name: bytes = b"Test.Marker"):
        self.name = name
        self.tcp = port is not None
        super().__init__([_tcp_listener(port) if self.tcp else _unix_listener(path)])

    def verdict(self, content: bytes) -> bytes:
        return b"1 " + self.name if MARKER in content else b"0"

    def serve(self, conn):
        if not self.tcp:
            line = read_line(conn)
            content = Path(line.rstrip(b"\n").decode()).read_bytes()
            self.record({"line": line, "content": content})
            conn.sendall(self.verdict(content) + b"\n")
            return
        line = read_line(conn)
        size = int(line.rstrip(b"\n").rsplit(b"/", 1)[1])
        conn.sendall(b"OK\n")
        content = b""
        while len(content) < size:
            chunk = conn.recv(65536)
            if not chunk:
                break
            content += chunk
        self.record({"line": line, "content": content})
        conn.sendall(self.verdict(content) + b"\n")


FPROT_DOCTYPE = (b'<!DOCTYPE fprot-results [\n<!ELEMENT fprot-results (summary, detected*)>\n'
                 b'<!ELEMENT summary (#PCDATA)>\n]>\n')


class FProt(_Fake):
    """HTTP on the given fixed ports: GET <path>?<options>, the file scanned, an XML answer."""

    def __init__(self, ports, summary_infected: bytes = b"Infected", name: bytes = b"Test.Marker"):
        self.summary_infected = summary_infected
        self.name = name
        super().__init__([_tcp_listener(port) for port in ports])

    def serve(self, conn):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(65536)
            if not chunk:
                return
            head += chunk
        target = head.split(b" ")[1].decode()
        path, _, query = target.partition("?")
        content = Path(urllib.parse.unquote(path)).read_bytes()
        self.record({"target": target, "query": query, "content": content,
                     "port": conn.getsockname()[1]})
        if MARKER in content:
            body = (b'<?xml version="1.0"?>\n' + FPROT_DOCTYPE + b"<fprot-results><summary>" + self.summary_infected +
                    b"</summary><detected><name>" + self.name + b"</name></detected></fprot-results>\n")
        else:
            body = (b'<?xml version="1.0"?>\n' + FPROT_DOCTYPE +
                    b"<fprot-results><summary>clean</summary></fprot-results>\n")
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
