#!/usr/bin/python3
"""Cache hits: requests per second for objects tarvodine serves from its memory cache, against the
same requests straight to the origin (nginx on loopback) and through squid caching them in
memory, for 1 KiB and 1 MiB bodies at 50 and 400 keep-alive connections, with wrk in one run.

usage: cache_bench.py TARVODINE_BINARY [--seconds N]
(bench/cache_bench.sh builds the release binary)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

from common import Proxy
from bench import wrk

from conftest import free_port, section_set, wait_port  # noqa: E402  (common puts tests/e2e on the path)
from origin import Origin  # noqa: E402

BODIES = [("1 KiB", "/1k.bin"), ("1 MiB", "/1m.bin")]
CONCURRENCY = [50, 400]
CACHE = ("<cache><enabled>true</enabled><violations>false</violations><memorysize>256M</memorysize>"
         "<memoryextra>4M</memoryextra><minsize>0</minsize><maxsize>16M</maxsize><prefetchwindow>60</prefetchwindow>"
         "<icpport>0</icpport><icptimeout>1000</icptimeout><storeselect>0</storeselect>"
         "<journalthreshold>0</journalthreshold><cleaninterval>0</cleaninterval></cache>")


class Squid:
    """squid on loopback keeping what it fetches in memory (no disk store)."""

    def __init__(self, directory: Path):
        directory.mkdir(parents=True, exist_ok=True)
        os.chmod(directory, 0o777)
        self.port = free_port()
        user = "cache_effective_user proxy" if os.geteuid() == 0 else ""
        (directory / "squid.conf").write_text(f"""
http_port 127.0.0.1:{self.port}
pid_filename {directory}/squid.pid
cache_log {directory}/cache.log
access_log none
cache_store_log none
coredump_dir {directory}
{user}
visible_hostname squid.bench
dns_nameservers 127.0.0.1
shutdown_lifetime 1 seconds
pinger_enable off
icp_port 0
cache_mem 256 MB
maximum_object_size_in_memory 4 MB
acl lo src 127.0.0.0/8
http_access allow lo
http_access deny all
""")
        self.log = open(directory / "stdout.log", "wb")
        self.proc = subprocess.Popen(["squid", "-N", "-f", str(directory / "squid.conf")],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        wait_port(self.port, timeout=30)

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def warm(port: int, url: str) -> None:
    """Fetches url through the proxy until it answers from its cache."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": f"http://127.0.0.1:{port}"}))
    for _ in range(3):
        with opener.open(url, timeout=30) as answer:
            answer.read()
        time.sleep(0.2)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=5)
    options = parser.parse_args()
    if shutil.which("wrk") is None or shutil.which("squid") is None:
        raise SystemExit("wrk and squid are needed (scripts/setup.sh installs them)")

    work = Path(tempfile.mkdtemp(prefix="tarvodine-cache-bench."))
    os.chmod(work, 0o755)
    origin = Origin(work / "nginx", workers=2, big=False)
    proxy = squid = None
    try:
        proxy = Proxy(options.binary, work, edit=lambda text: section_set(text, CACHE))
        squid = Squid(work / "squid")
        rows = []
        for label, path in BODIES:
            url = origin.url(path)
            warm(proxy.port, url)
            warm(squid.port, url)
            for connections in CONCURRENCY:
                direct = wrk(url, url, connections, options.seconds, False)
                hits = wrk(f"http://127.0.0.1:{proxy.port}/", url, connections, options.seconds, True)
                other = wrk(f"http://127.0.0.1:{squid.port}/", url, connections, options.seconds, True)
                rows.append((label, connections, direct, hits, other))
                print(f"  {label} x {connections}: direct {direct['rps']:.0f}/s, tarvodine hits {hits['rps']:.0f}/s, "
                      f"squid hits {other['rps']:.0f}/s", file=sys.stderr, flush=True)
        origin_lines = origin.access_log().count("\n")
    finally:
        if proxy is not None:
            proxy.stop()
        if squid is not None:
            squid.stop()
        origin.stop()

    print(f"wrk, {options.seconds} s per run, keep-alive, loopback; cache hits from memory")
    print(f"{'body':<6} {'conns':>5} | {'direct req/s':>12} | {'tarvodine':>10} {'ratio':>6} | "
          f"{'squid':>10} {'ratio':>6} | {'errors':>6}")
    for label, connections, direct, hits, other in rows:
        print(f"{label:<6} {connections:>5} | {direct['rps']:>12.0f} | {hits['rps']:>10.0f} "
              f"{hits['rps'] / direct['rps']:>6.2f} | {other['rps']:>10.0f} {other['rps'] / direct['rps']:>6.2f} | "
              f"{direct['errors'] + hits['errors'] + other['errors']:>6}")
    print(f"origin requests in the whole run: {origin_lines} (the direct runs' and the warm-ups')")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
