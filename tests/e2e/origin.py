"""An nginx origin server on 127.0.0.1 for the end-to-end tests and the benchmark.

It runs in the foreground of its own process (daemon off) with everything under its directory,
and serves:
  /1k.bin, /1m.bin, /big.bin   random bytes of 1 KiB, 1 MiB and BIG_SIZE, with Content-Length
  /nostore/NAME                the same files with Cache-Control: no-store
  /chunked/                    an SSI page, always sent with Transfer-Encoding: chunked
  /gz/big.txt                  65,000 bytes of text, gzip-encoded (chunked) for Accept-Encoding: gzip
  /slow/...                    files a test puts under www/slow/, sent at 128 KiB/s
  /slowchunked/...             files a test puts under www/slowchunked/, sent at 256 KiB/s without a
                               Content-Length (chunked, through SSI: name them .html, no '<' inside),
                               fresh for an hour
  /echo                        the request body back (echo module)
  /status/404                  404 "not here\n"
  /upload/small                takes no body above 1 KiB: a larger one is refused with 413 at once,
                               and the connection closed without reading the rest
With tls=True the same files are also served over HTTPS on `tls_port`, with a self-signed
certificate for 127.0.0.1 and localhost (`cert`).
"""
import os
import shutil
import signal
import subprocess
from pathlib import Path

from conftest import free_port, wait_port, wait_until

ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so"
BIG_SIZE = 40 * 1024 * 1024


def _random_file(path: Path, size: int) -> None:
    with open(path, "wb") as out:
        left = size
        while left:
            block = os.urandom(min(left, 1 << 20))
            out.write(block)
            left -= len(block)


class Origin:
    def __init__(self, directory: Path, port: int = 0, workers: int = 1, big: bool = True, tls: bool = False):
        if shutil.which("nginx") is None:
            raise RuntimeError("nginx is not installed (scripts/setup.sh installs nginx-light)")
        self.dir = Path(directory)
        self.port = port or free_port()
        www = self.dir / "www"
        (www / "chunked").mkdir(parents=True, exist_ok=True)
        (www / "gz").mkdir(exist_ok=True)
        (www / "gz" / "big.txt").write_text("line of text\n" * 5000)
        (self.dir / "tmp").mkdir(exist_ok=True)
        (self.dir / "logs").mkdir(exist_ok=True)
        _random_file(www / "1k.bin", 1024)
        _random_file(www / "1m.bin", 1 << 20)
        if big:
            _random_file(www / "big.bin", BIG_SIZE)
        (www / "chunked" / "index.html").write_text(
            '<html><body>part1 <!--# echo var="date_gmt" --> part2</body></html>\n')
        echo_load = echo_loc = ""
        if os.path.exists(ECHO_MODULE):
            echo_load = f"load_module {ECHO_MODULE};"
            echo_loc = ("location = /echo { default_type application/octet-stream; "
                        "echo_read_request_body; echo_request_body; }")
        user = "user root;" if os.geteuid() == 0 else ""
        d = self.dir
        self.tls_port = 0
        self.cert = d / "cert.pem"
        tls_listen = ""
        if tls:
            self.tls_port = free_port()
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                            "-keyout", str(d / "key.pem"), "-out", str(self.cert)],
                           check=True, capture_output=True, timeout=60)
            tls_listen = (f"listen 127.0.0.1:{self.tls_port} ssl backlog=4096; "
                          f"ssl_certificate {self.cert}; ssl_certificate_key {d / 'key.pem'};")
        (d / "nginx.conf").write_text(f"""
{echo_load}
{user}
daemon off;
worker_processes {workers};
pid {d}/nginx.pid;
error_log {d}/logs/error.log warn;
events {{ worker_connections 4096; }}
http {{
  access_log {d}/logs/access.log;
  client_body_temp_path {d}/tmp/body; proxy_temp_path {d}/tmp/proxy;
  fastcgi_temp_path {d}/tmp/fcgi; uwsgi_temp_path {d}/tmp/uwsgi; scgi_temp_path {d}/tmp/scgi;
  client_max_body_size 256m;
  client_body_buffer_size 64m;
  keepalive_requests 1000000;
  types {{ text/html html; text/plain txt; }}
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{self.port} backlog=4096;
    {tls_listen}
    root {d}/www;
    location /chunked/ {{ ssi on; }}
    location /slow/ {{ limit_rate 128k; }}
    location /nostore/ {{ alias {d}/www/; add_header Cache-Control no-store always; }}
    location /slowchunked/ {{ ssi on; limit_rate 256k; expires 1h; }}
    location /gz/ {{ gzip on; gzip_types text/plain; gzip_min_length 0; gzip_proxied any; }}
    location = /status/404 {{ return 404 "not here\\n"; }}
    location = /upload/small {{ client_max_body_size 1k; lingering_close off; lingering_time 0; lingering_timeout 1ms; return 200 "taken\\n"; }}
    {echo_loc}
  }}
}}
""")
        self.log = open(d / "logs" / "stderr.log", "wb")
        self.proc = subprocess.Popen(["nginx", "-p", str(d), "-c", str(d / "nginx.conf"),
                                      "-e", str(d / "logs" / "error.log")],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        try:
            wait_port(self.port, timeout=15)
            if self.tls_port:
                wait_port(self.tls_port, timeout=15)
        except AssertionError:
            self.stop()
            raise

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def tls_url(self, path: str) -> str:
        return f"https://127.0.0.1:{self.tls_port}{path}"

    def file(self, name: str) -> bytes:
        return (self.dir / "www" / name).read_bytes()

    def access_log(self) -> str:
        path = self.dir / "logs" / "access.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def log_lines(self, text: str, count: int = 1, timeout: float = 10) -> list:
        """The access-log lines holding text, once there are at least count of them: nginx writes
        a request's line after its answer has gone, so a client can have it all before."""
        def found():
            lines = [line for line in self.access_log().splitlines() if text in line]
            return lines if len(lines) >= count else None
        return wait_until(found, timeout, f"{count} line(s) of nginx's log holding {text!r}")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
