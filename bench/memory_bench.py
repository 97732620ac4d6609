#!/usr/bin/python3
"""Memory per connection of tarvodine: opens N client connections of each kind, holds them, and
reports how much the proxy's resident memory, threads and descriptors grew per connection.

Kinds: "idle" (a keep-alive client that fetched one 1 KiB body through the proxy and waits),
"tunnel" (an established CONNECT tunnel to the origin, idle) and "stalled" (a client that asked
for a 1 MiB body and reads nothing, so the transfer is held up in socket buffers).

usage: memory_bench.py TARVODINE_BINARY [--connections N] [--proxy-args "ARGS"] [--kinds idle,tunnel,stalled]
(bench/memory_bench.sh builds the release binary)
"""
import argparse
import socket
import tempfile
import time
from pathlib import Path

from common import Proxy

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)


def process_figures(pid: int) -> tuple[int, int, int]:
    """Resident KiB, threads and open descriptors of the process."""
    rss = threads = 0
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            rss = int(line.split()[1])
        elif line.startswith("Threads:"):
            threads = int(line.split()[1])
    return rss, threads, len(list(Path(f"/proc/{pid}/fd").iterdir()))


def settle(pid: int) -> tuple[int, int, int]:
    """Figures once the thread count stopped moving (connections handed over, threads parked)."""
    previous = None
    for _ in range(50):
        time.sleep(0.2)
        figures = process_figures(pid)
        if previous is not None and figures[1:] == previous[1:]:
            return figures
        previous = figures
    return previous


def read_head(sock: socket.socket) -> tuple[bytes, bytes]:
    """A response header, and what came after it."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("the proxy closed a connection")
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head, rest


def read_response(sock: socket.socket) -> None:
    """Reads one response with a Content-Length body."""
    head, body = read_head(sock)
    length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                  if line.lower().startswith(b"content-length:"))
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("the proxy cut a body")
        body += chunk


def open_idle(proxy_port: int, origin: Origin) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.sendall(f"GET {origin.url('/1k.bin')} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n\r\n".encode())
    read_response(s)
    return s


def open_tunnel(proxy_port: int, origin: Origin) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.sendall(f"CONNECT 127.0.0.1:{origin.port} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n\r\n".encode())
    answer, _ = read_head(s)
    if b" 200 " not in answer.split(b"\r\n", 1)[0]:
        raise SystemExit(f"CONNECT refused: {answer!r}")
    return s


def open_stalled(proxy_port: int, origin: Origin) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(f"GET {origin.url('/1m.bin')} HTTP/1.1\r\nHost: 127.0.0.1:{origin.port}\r\n\r\n".encode())
    return s


KINDS = [("idle", open_idle), ("tunnel", open_tunnel), ("stalled", open_stalled)]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--connections", type=int, default=200)
    parser.add_argument("--proxy-args", default="")
    parser.add_argument("--kinds", default=",".join(kind for kind, _ in KINDS),
                        help="comma-separated kinds to measure, e.g. idle")
    options = parser.parse_args()
    kinds = [(kind, opener) for kind, opener in KINDS if kind in options.kinds.split(",")]
    n = options.connections

    rows = []
    with tempfile.TemporaryDirectory(prefix="memory-bench-") as work:
        work = Path(work)
        origin = Origin(work / "nginx", workers=2, big=False)
        try:
            # A fresh proxy for each kind, so threads parked by one kind do not hide the cost of the next.
            for kind, opener in kinds:
                proxy = Proxy(options.binary, work, options.proxy_args)
                try:
                    pid = proxy.process.pid
                    for _ in range(20):   # warm-up: the first requests allocate what later ones reuse
                        open_idle(proxy.port, origin).close()
                    before = settle(pid)
                    held = [opener(proxy.port, origin) for _ in range(n)]
                    during = settle(pid)
                    for s in held:
                        s.close()
                    after = settle(pid)
                    if proxy.process.poll() is not None:
                        raise SystemExit("the proxy exited")
                    rows.append((kind, before, during, after))
                finally:
                    proxy.stop()
        finally:
            origin.stop()

    print(f"{n} connections of each kind held open, each kind on a fresh proxy; "
          f"proxy options: {options.proxy_args or '(defaults)'}")
    print("after: once they are closed (threads stay parked for reuse; finished upstream connections "
          "stay in the server pool until its time-out)")
    print(f"{'kind':<8} | {'RSS before':>10} {'held':>8} {'after':>8} KiB | {'KiB/conn':>8} | "
          f"{'threads':>7} {'held':>5} {'after':>5} | {'fds':>5} {'held':>5} {'after':>5}")
    for kind, before, during, after in rows:
        print(f"{kind:<8} | {before[0]:>10} {during[0]:>8} {after[0]:>8}     | "
              f"{(during[0] - before[0]) / n:>8.1f} | {before[1]:>7} {during[1]:>5} {after[1]:>5} | "
              f"{before[2]:>5} {during[2]:>5} {after[2]:>5}")


if __name__ == "__main__":
    main()
