#!/usr/bin/python3
"""Cache hits: requests per second for objects tarvodine serves from its memory cache, against the
same requests straight to the origin (nginx on loopback) and through squid caching them in
memory, for 1 KiB and 1 MiB bodies at 50 and 400 keep-alive connections, with wrk in one run; both
proxies write their access log. Also each proxy's CPU time per hit (see bench.py).

usage: cache_bench.py TARVODINE_BINARY [--seconds N]
(bench/cache_bench.sh builds the release binary)
"""
import argparse
import os
import shutil
import sys
import tempfile
from pathlib import Path

from common import Proxy, Squid, warm, with_cache
from bench import cell, wrk

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

BODIES = [("1 KiB", "/1k.bin"), ("1 MiB", "/1m.bin")]
CONCURRENCY = [50, 400]


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
        proxy = Proxy(options.binary, work, edit=with_cache(), access_log=True)
        squid = Squid(work / "squid")
        rows = []
        for label, path in BODIES:
            url = origin.url(path)
            print(f"  waiting for {label} to be served from the caches", file=sys.stderr, flush=True)
            warm(proxy.port, url, origin, path)
            warm(squid.port, url, origin, path)
            for connections in CONCURRENCY:
                direct = wrk(url, url, connections, options.seconds, False)
                hits = wrk(f"http://127.0.0.1:{proxy.port}/", url, connections, options.seconds, True,
                           proxy.process.pid)
                other = wrk(f"http://127.0.0.1:{squid.port}/", url, connections, options.seconds, True,
                            squid.process.pid)
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

    print(f"wrk, {options.seconds} s per run, keep-alive, loopback; cache hits from memory; latency in ms, "
          f"proxy CPU µs per hit")
    head = f"{'req/s':>8} {'ratio':>5} {'p50':>7} {'p99':>7} {'cpu':>6}"
    print(f"{'':<12} | {'direct':<12} | {'tarvodine':<37} | {'squid':<37} |")
    print(f"{'body':<6} {'conns':>5} | {'req/s':>12} | {head} | {head} | {'errors':>6}")
    for label, connections, direct, hits, other in rows:
        print(f"{label:<6} {connections:>5} | {direct['rps']:>12.0f} | {cell(hits, direct)} | {cell(other, direct)} | "
              f"{direct['errors'] + hits['errors'] + other['errors']:>6}")
    print(f"origin requests in the whole run: {origin_lines} (the direct runs' and the warm-ups')")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
