"""An origin that sets cookies and echoes the request header: every answer carries the response
lines given to it (cookies and others), and its body is the request header block exactly as
the origin received it. `seen` keeps those blocks."""
import http.server

from conftest import served


class EchoOrigin:
    def __init__(self, response_lines):
        lines = list(response_lines)
        self.seen = []
        origin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                block = (self.requestline + "\r\n" + "".join(
                    f"{name}: {value}\r\n" for name, value in self.headers.raw_items())).encode("latin-1")
                origin.seen.append(block)
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                for name, value in lines:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(block)))
                self.end_headers()
                self.wfile.write(block)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self._serving = served(self.server)
        self._serving.__enter__()

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self._serving.__exit__(None, None, None)
