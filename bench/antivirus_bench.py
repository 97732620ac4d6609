#!/usr/bin/python3
"""What scanning a large body with ClamAV costs a client: fetches a 10 MiB page through tarvodine
without scanning and with the ClamAV connector on (clamd with the offline test signatures, over
TCP), and streams the same bytes straight to clamd the way the connector does (INSTREAM). The
scan should add no more than clamd's own time for the body plus 10%.

usage: antivirus_bench.py TARVODINE_BINARY [--mib N] [--rounds N]
(bench/antivirus_bench.sh builds the release binary)
"""
import argparse
import random
import re
import socket
import statistics
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from common import SOURCE, Proxy, free_port

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

CHUNK = 256 * 1024
WORDS = ("the of and to in is was for on that with as by at from this be are an or which one all "
         "network proxy cache filter server client request response header body page text").split()


def text_of(size: int) -> bytes:
    rng = random.Random(7)
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(12)) + ".\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def clamd_scan(port: int, body: bytes) -> bytes:
    """One INSTREAM scan, chunked as the connector chunks; clamd's answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=120) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        parts = [b"nINSTREAM\n"]
        for at in range(0, len(body), CHUNK):
            piece = body[at:at + CHUNK]
            parts.append(struct.pack(">I", len(piece)) + piece)
        parts.append(struct.pack(">I", 0))
        sock.sendall(b"".join(parts))
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = sock.recv(4096)
            if not chunk:
                break
            answer += chunk
    return answer


def fetch(port: int, url: str, size: int) -> None:
    with socket.create_connection(("127.0.0.1", port), timeout=120) as sock:
        sock.sendall(f"GET {url} HTTP/1.0\r\n\r\n".encode())
        got = bytearray()
        while chunk := sock.recv(1 << 20):
            got += chunk
    head, _, body = bytes(got).partition(b"\r\n\r\n")
    assert len(body) == size and head.startswith(b"HTTP/1.1 200"), head[:200]


def configured(clamd_port: int, scanning: bool, mib: int):
    clamav = (f"<clamav><enabled>{'true' if scanning else 'false'}</enabled><host>127.0.0.1</host>"
              f"<port>{clamd_port}</port><template/><rule><enabled>true</enabled><comment/><profiles/>"
              "<template/></rule></clamav>")

    def edit(text: str) -> str:
        # The whole body must fit the download buffer, or it streams past the scanner.
        text = re.sub(r"<maxdbuffer>[^<]*</maxdbuffer>", f"<maxdbuffer>{mib + 1}M</maxdbuffer>", text)
        text = re.sub(r"\s*<clamav>.*?</clamav>", "", text, flags=re.S)
        return text.replace("</tarvodine>", clamav + "</tarvodine>")
    return edit


def timed(rounds: int, action) -> list:
    action()   # warm up
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--mib", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    size = args.mib << 20
    body = text_of(size)
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        clamd_port = free_port()
        run = subprocess.run([str(SOURCE / "tests" / "peers" / "start-clamd.sh"), str(work / "clamd"), str(clamd_port)],
                             capture_output=True, text=True, check=True)
        clamd_pid = int(run.stdout.split()[-1])
        origin = Origin(work / "nginx", big=False)
        try:
            (origin.dir / "www" / "page.txt").write_bytes(body)
            url = origin.url("/page.txt")
            assert clamd_scan(clamd_port, body).endswith(b"OK\n")
            results = {"clamd": timed(args.rounds, lambda: clamd_scan(clamd_port, body))}
            for scanning in (False, True):
                directory = work / ("scan" if scanning else "plain")
                directory.mkdir()
                proxy = Proxy(args.binary, directory, edit=configured(clamd_port, scanning, args.mib))
                try:
                    results[scanning] = timed(args.rounds, lambda: fetch(proxy.port, url, size))
                finally:
                    proxy.stop()
        finally:
            origin.stop()
            subprocess.run(["kill", str(clamd_pid)], check=False)
    clamd, plain, scan = (statistics.median(results[k]) for k in ("clamd", False, True))
    added = scan - plain
    print(f"{args.mib} MiB of text, median of {args.rounds} rounds each")
    print(f"clamd alone (INSTREAM):        {clamd * 1000:8.1f} ms")
    print(f"through the proxy, no scan:    {plain * 1000:8.1f} ms")
    print(f"through the proxy, with ClamAV:{scan * 1000:8.1f} ms")
    print(f"added by scanning:             {added * 1000:8.1f} ms = {added / clamd * 100:.1f}% of clamd's own time")
    print("within clamd's time plus 10%" if added <= clamd * 1.10 else "MORE than clamd's time plus 10%")


if __name__ == "__main__":
    main()
