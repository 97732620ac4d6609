#!/usr/bin/python3
"""URL blacklists at scale: generates a category of one million domains (and a small one), then
reports how long tarvodine takes to load them at start-up, how much resident memory they take,
and the proxy CPU time per request with a deny rule over both categories against the same
requests with no lists loaded. The requests are for a host that no list holds, so each one
searches every category for every suffix of its host and then goes to the origin.

usage: blacklist_bench.py TARVODINE_BINARY [--domains N] [--requests N]
(bench/blacklist_bench.sh builds the release binary)
"""
import argparse
import random
import re
import socket
import tempfile
import time
from pathlib import Path

from common import Proxy
from keyword_bench import cpu_seconds

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

URL_BLACKLIST_LOG = str(0x100000)
TLDS = ["com", "net", "org", "de", "fr", "co.uk", "info", "ru", "nl", "it"]


def generate(directory: Path, domains: int) -> None:
    rng = random.Random(1)
    big = directory / "big"
    big.mkdir(parents=True)
    with open(big / "domains", "w") as out:
        for i in range(domains):
            label = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randrange(5, 14)))
            out.write(f"{label}{i}.{rng.choice(TLDS)}\n")
    with open(big / "urls", "w") as out:
        for i in range(domains // 10):
            out.write(f"site{i}.example/ads/{i}\n")
    ads = directory / "ads"
    ads.mkdir()
    (ads / "domains").write_text("ads.example\ntracker.example\n")


def section(directory: Path) -> str:
    return (f"<urlblacklist><enabled>true</enabled><order>deny_allow</order><directory>{directory}</directory>"
            "<template/><deny><enabled>true</enabled><comment/><profiles/><categories>big,ads</categories>"
            "<template/></deny></urlblacklist>")


def with_section(text: str):
    def edit(config: str) -> str:
        config = re.sub(r"\s*<urlblacklist>.*?</urlblacklist>", "", config, flags=re.S)
        return config.replace("</tarvodine>", text + "</tarvodine>")
    return edit


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def fetch(port: int, url: str) -> None:
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        sock.sendall(f"GET {url} HTTP/1.0\r\n\r\n".encode())
        got = b""
        while chunk := sock.recv(65536):
            got += chunk
    assert got.startswith(b"HTTP/1.1 200") and b"blacklisted" not in got, got[:200]


def start(binary: str, work: Path, directory: Path):
    """(the proxy, seconds from its start until the lists were loaded)"""
    work.mkdir()
    started = time.monotonic()
    proxy = Proxy(binary, work, extra_args=f"-d {URL_BLACKLIST_LOG}", edit=with_section(section(directory)))
    log = work / "native.log"
    while "loaded " not in (log.read_text(errors="replace") if log.exists() else ""):
        time.sleep(0.01)
    return proxy, time.monotonic() - started


def per_request_cpu(proxies: list, url: str, requests: int, batch: int = 500) -> list:
    """Proxy CPU seconds per request of each proxy, the requests sent in alternating batches so
    that a change of the machine's load falls on all of them alike."""
    for proxy in proxies:
        fetch(proxy.port, url)   # warm up
    spent = [0.0] * len(proxies)
    for _ in range(max(1, requests // batch)):
        for i, proxy in enumerate(proxies):
            before = cpu_seconds(proxy.process.pid)
            for _ in range(batch):
                fetch(proxy.port, url)
            spent[i] += cpu_seconds(proxy.process.pid) - before
    return [s / (max(1, requests // batch) * batch) for s in spent]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--domains", type=int, default=1_000_000)
    parser.add_argument("--requests", type=int, default=5000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        lists = work / "lists"
        empty = work / "empty"
        empty.mkdir()
        generate(lists, args.domains)
        origin = Origin(work / "nginx", big=False)
        proxies = []
        try:
            url = origin.url("/1k.bin")
            plain, base_load = start(args.binary, work / "plain", empty)
            proxies.append(plain)
            listed, load = start(args.binary, work / "lists-run", lists)
            proxies.append(listed)
            base_rss, rss = rss_kib(plain.process.pid), rss_kib(listed.process.pid)
            base_cpu, cpu = per_request_cpu(proxies, url, args.requests)
        finally:
            for proxy in proxies:
                proxy.stop()
            origin.stop()
    print(f"{args.domains} domains and {args.domains // 10} url lines in one category, plus a small one")
    print(f"start-up to lists loaded: {load:.2f} s (without lists {base_load:.2f} s)")
    print(f"resident memory: {rss / 1024:.1f} MiB (without lists {base_rss / 1024:.1f} MiB, "
          f"lists {(rss - base_rss) / 1024:.1f} MiB)")
    print(f"proxy CPU per request: {cpu * 1e6:.1f} us with the lists, {base_cpu * 1e6:.1f} us without "
          f"({args.requests} requests each, in alternating batches)")


if __name__ == "__main__":
    main()
