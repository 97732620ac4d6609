"""An ICAP server whose replies the test writes, for what c-icap never sends: 204 to a client
that did not allow it, error statuses, a 100 without a message, a reply that closes its
connection. It records every request it reads: the ICAP header, the encapsulated HTTP headers
and the de-chunked body."""
import socket
import threading


class IcapRequest:
    def __init__(self, head: bytes, encapsulated: bytes, body: bytes, connection: int):
        self.head = head.decode("latin-1")
        self.encapsulated = encapsulated      # the HTTP header blocks, as sent
        self.body = body                      # de-chunked; b"" for a null body
        self.connection = connection          # which accepted connection carried it

    def field(self, name: str) -> str:
        for line in self.head.split("\r\n")[1:]:
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                return value.strip()
        return ""

    def offsets(self) -> dict:
        result = {}
        for part in self.field("Encapsulated").split(","):
            key, _, value = part.strip().partition("=")
            result[key] = int(value)
        return result


def reply(status: int, encapsulated: str = "", blocks: bytes = b"", body=None, close=False) -> bytes:
    """An ICAP reply; body (bytes) goes in one chunk and its last chunk."""
    text = f"ICAP/1.0 {status} Scripted\r\nISTag: \"x\"\r\n"
    if close:
        text += "Connection: close\r\n"
    if encapsulated:
        text += f"Encapsulated: {encapsulated}\r\n"
    data = text.encode() + b"\r\n" + blocks
    if body is not None:
        if body:
            data += f"{len(body):x}\r\n".encode() + body + b"\r\n"
        data += b"0\r\n\r\n"
    return data


class ScriptedIcap:
    """answer(request) gives (reply bytes, then close the connection?) or (reply bytes, close?,
    held bytes): those are the rest of the reply, sent on its connection only once the next
    request has come there, just before that request's reply."""

    def __init__(self, answer):
        self.answer = answer
        self.requests = []
        self.connections = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def stop(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(sock, self.connections), daemon=True).start()

    def _serve(self, sock, number):
        reader = _Reader(sock)
        held = b""
        with sock:
            while True:
                head = reader.until(b"\r\n\r\n")
                if head is None:
                    return
                request = IcapRequest(head, b"", b"", number)
                offsets = request.offsets()
                body_at = offsets.get("req-body", offsets.get("res-body"))
                if body_at is not None:
                    request.encapsulated = reader.exactly(body_at)
                    request.body = reader.chunked()
                else:
                    request.encapsulated = reader.exactly(offsets.get("null-body", 0))
                self.requests.append(request)
                answered = self.answer(request)
                data, close = answered[:2]
                data, held = held + data, (answered[2] if len(answered) > 2 else b"")
                try:
                    sock.sendall(data)
                except OSError:
                    return   # the proxy gave up on a reply it would not take whole
                if close:
                    return


class _Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def _fill(self) -> bool:
        chunk = self.sock.recv(65536)
        self.buffer += chunk
        return bool(chunk)

    def until(self, mark: bytes):
        while mark not in self.buffer:
            if not self._fill():
                return None
        head, _, self.buffer = self.buffer.partition(mark)
        return head + mark

    def exactly(self, count: int) -> bytes:
        while len(self.buffer) < count:
            if not self._fill():
                break
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def chunked(self) -> bytes:
        body = b""
        while True:
            line = self.until(b"\r\n")
            size = int(line.split(b";")[0].strip() or b"0", 16)
            if size == 0:
                self.until(b"\r\n")
                return body
            body += self.exactly(size)
            self.exactly(2)
