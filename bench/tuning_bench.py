#!/usr/bin/python3
"""What the thread and pool options do to cache hits and no-store answers: requests per second,
p99 latency, proxy CPU µs per request and the threads the proxy holds, for 1 KiB bodies at 50
and 400 keep-alive connections with wrk, for several tarvodine variants side by side (memory cache
on, as bench.py runs it). Threads: the most the proxy had during a run, and what it still held
two seconds after wrk closed its connections. Each figure is the median over --repeat runs.

The variants all start first and wait out the cache's start-up hold-off (three minutes) together.

usage: tuning_bench.py TARVODINE_BINARY [--seconds N] [--repeat N]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

from bench import NO_STORE, pool_fits, wrk
from common import Proxy, warm, with_cache

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

PATH = "/1k.bin"
CONCURRENCY = [50, 400]
# (name, extra options, server pool size)
VARIANTS = [("defaults (-C 1 -T 1), pool 400", "", 400),
            ("-C 10", "-C 10", 400),
            ("-T 10", "-T 10", 400),
            ("shipped pool 20", "", 20)]


def threads(pid: int) -> int:
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except FileNotFoundError:
        return 0


def run(url: str, target: str, connections: int, seconds: int, pid: int) -> dict:
    """One wrk run with the proxy's thread count sampled throughout."""
    peak = [0]
    done = threading.Event()

    def sample() -> None:
        while not done.wait(0.05):
            peak[0] = max(peak[0], threads(pid))

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        figures = wrk(url, target, connections, seconds, True, pid)
    finally:
        done.set()
        sampler.join()
    time.sleep(2)
    figures["peak"] = peak[0]
    figures["after"] = threads(pid)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (scripts/setup.sh installs it)")

    load_before = os.getloadavg()[0]
    work = Path(tempfile.mkdtemp(prefix="tarvodine-tuning-bench."))
    os.chmod(work, 0o755)
    origin = Origin(work / "nginx", workers=2, big=False)
    proxies = []
    rows = []
    try:
        for n, (name, extra, pool) in enumerate(VARIANTS):
            directory = work / f"proxy{n}"
            directory.mkdir()
            proxies.append((name, Proxy(options.binary, directory, extra,
                                        edit=lambda text, pool=pool: pool_fits(with_cache()(text), pool),
                                        access_log=True)))
        print("  waiting for the cache's start-up hold-off (3 minutes)", file=sys.stderr, flush=True)
        for _, proxy in proxies:
            warm(proxy.port, origin.url(PATH), origin, PATH)
        for kind, target in (("hit", origin.url(PATH)), ("no-store", origin.url(NO_STORE + PATH))):
            for connections in CONCURRENCY:
                for name, proxy in proxies:
                    runs = [run(f"http://127.0.0.1:{proxy.port}/", target, connections, options.seconds,
                                proxy.process.pid) for _ in range(options.repeat)]
                    figures = {key: statistics.median(r[key] for r in runs)
                               for key in ("rps", "p99_us", "cpu_us", "peak", "after")}
                    figures["errors"] = sum(r["errors"] for r in runs)
                    rows.append((kind, connections, name, figures))
                    print(f"  {kind} x {connections}, {name}: {figures['rps']:.0f}/s", file=sys.stderr, flush=True)
    finally:
        for _, proxy in proxies:
            proxy.stop()
        origin.stop()

    print(f"wrk, 1 KiB, {options.seconds} s per run, median of {options.repeat}, keep-alive, loopback; memory "
          f"cache on; load average (1 min) {load_before:.1f} at the start, {os.getloadavg()[0]:.1f} at the end, "
          f"on {os.cpu_count()} CPUs")
    print(f"{'answer':<8} {'conns':>5} {'variant':<32} {'req/s':>8} {'p99 ms':>7} {'cpu µs':>7} "
          f"{'threads':>7} {'after':>6} {'errors':>6}")
    for kind, connections, name, f in rows:
        print(f"{kind:<8} {connections:>5} {name:<32} {f['rps']:>8.0f} {f['p99_us'] / 1000:>7.2f} "
              f"{f['cpu_us']:>7.1f} {f['peak']:>7.0f} {f['after']:>6.0f} {f['errors']:>6}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
