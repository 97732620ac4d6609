#!/usr/bin/python3
"""CPU time the keyword filter costs per MiB of text: fetches a text page through tarvodine
repeatedly with twenty keyword rules that never match (so every rule searches the whole body),
and again with the same rules but none applying (so nothing is buffered or searched), and
reports the difference in the proxy's CPU time (user + system) per MiB fetched.

usage: keyword_bench.py TARVODINE_BINARY [--mib N] [--rounds N]
(bench/keyword_bench.sh builds the release binary)
"""
import argparse
import os
import random
import re
import socket
import tempfile
from pathlib import Path

from common import Proxy

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

# Patterns of the kind administrators write: words, alternations, classes and word boundaries.
KEYWORDS = [
    r"casino", r"poker\s+tables?", r"\bviagra\b", r"lotter(y|ies)", r"jackpot", r"(free|cheap)\s+pills",
    r"\bxxx\b", r"bet\s*now", r"win\s+\$\d+", r"adult\s+content", r"roulette", r"payday\s+loans?",
    r"crypto\s*giveaway", r"hot\s+singles", r"click\s+here\s+to\s+claim", r"[0-9]{16}", r"porn",
    r"warez", r"keygen", r"torrent\s+download",
]
WORDS = ("the of and to in is was for on that with as by at from this be are an or which one all "
         "have not but had his they you were her she there been has more when will would who so "
         "network proxy cache filter server client request response header body page text").split()


def text_of(size: int) -> bytes:
    rng = random.Random(1)
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(12)) + ".\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def keyword_section(applying: bool) -> str:
    mime = "^text/" if applying else "^no/such-type$"
    rules = "".join(
        f"<keyword><enabled>true</enabled><comment/><profiles/><mime>{mime}</mime><keyword>{k}</keyword>"
        f"<score>1</score></keyword>" for k in KEYWORDS)
    return (f"<keywords-filtering><enabled>true</enabled><threshold>1000</threshold><template/>{rules}"
            "</keywords-filtering>")


def with_section(section: str):
    def edit(text: str) -> str:
        text = re.sub(r"\s*<keywords-filtering>.*?</keywords-filtering>", "", text, flags=re.S)
        return text.replace("</tarvodine>", section + "</tarvodine>")
    return edit


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def fetch(port: int, url: str, size: int) -> None:
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        sock.sendall(f"GET {url} HTTP/1.0\r\n\r\n".encode())
        got = b""
        while chunk := sock.recv(1 << 20):
            got += chunk
    head, _, body = got.partition(b"\r\n\r\n")
    assert len(body) == size and head.startswith(b"HTTP/1.1 200"), head[:200]


def measure(binary: str, work: Path, url: str, size: int, rounds: int, applying: bool) -> float:
    proxy = Proxy(binary, work, edit=with_section(keyword_section(applying)))
    try:
        fetch(proxy.port, url, size)   # warm up
        before = cpu_seconds(proxy.process.pid)
        for _ in range(rounds):
            fetch(proxy.port, url, size)
        return cpu_seconds(proxy.process.pid) - before
    finally:
        proxy.stop()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--mib", type=int, default=3, help="size of the page (under the 4 MiB download buffer)")
    parser.add_argument("--rounds", type=int, default=40)
    args = parser.parse_args()
    size = args.mib << 20
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        origin = Origin(work / "nginx", big=False)
        try:
            (origin.dir / "www" / "words.txt").write_bytes(text_of(size))
            url = origin.url("/words.txt")
            runs = {}
            for applying in (False, True):
                run = work / ("scan" if applying else "plain")
                run.mkdir()
                runs[applying] = measure(args.binary, run, url, size, args.rounds, applying)
        finally:
            origin.stop()
    mib = args.mib * args.rounds
    print(f"{len(KEYWORDS)} keyword rules, {args.rounds} fetches of {args.mib} MiB of text")
    print(f"proxy CPU without scanning: {runs[False]:.2f} s ({runs[False] / mib * 1000:.2f} ms/MiB)")
    print(f"proxy CPU with scanning:    {runs[True]:.2f} s ({runs[True] / mib * 1000:.2f} ms/MiB)")
    print(f"keyword scanning and buffering: {(runs[True] - runs[False]) / mib * 1000:.2f} ms CPU per MiB")


if __name__ == "__main__":
    main()
