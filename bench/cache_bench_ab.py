#!/usr/bin/python3
"""Cache hits of one body size, A/B: several tarvodine binaries (say the one before a change and
the one after) run side by side, each with its own memory cache, beside squid and the origin;
after one common warm-up (the start-up hold-off passes for all of them at once) the runs
alternate between them, round after round, so that a machine shared with other work treats each
alike. Prints every run and then the median per binary and connection count: requests per second,
ratio to direct, p99 latency and the proxy's CPU µs per hit.

usage: cache_bench_ab.py BINARY [BINARY...] [--seconds N] [--rounds N] [--body 1k|1m]
       [--connections 50,400]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

from bench import wrk
from common import Proxy, Squid, warm, with_cache

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--body", choices=["1k", "1m"], default="1k")
    parser.add_argument("--connections", default="50,400")
    parser.add_argument("--no-squid", action="store_true")
    options = parser.parse_args()
    counts = [int(n) for n in options.connections.split(",")]
    path = f"/{options.body}.bin"

    work = Path(tempfile.mkdtemp(prefix="tarvodine-cache-ab."))
    os.chmod(work, 0o755)
    origin = Origin(work / "nginx", workers=2, big=False)
    proxies = []
    squid = None
    try:
        for n, binary in enumerate(options.binaries):
            directory = work / f"proxy{n}"
            directory.mkdir()
            proxies.append((f"{n}:{Path(binary).name}", Proxy(binary, directory,
                                                                edit=with_cache(),
                                                                access_log=True)))
        if not options.no_squid:
            squid = Squid(work / "squid")
        url = origin.url(path)
        print("  warming (start-up hold-off)", file=sys.stderr, flush=True)
        for _, proxy in proxies:
            warm(proxy.port, url, origin, path)
        if squid is not None:
            warm(squid.port, url, origin, path)
        runs = {}
        for round_ in range(options.rounds):
            for connections in counts:
                targets = [("direct", None)] + [(name, proxy) for name, proxy in proxies]
                if squid is not None:
                    targets.append(("squid", squid))
                # Each round starts with a different binary, so none always runs first.
                shift = round_ % len(proxies)
                targets = targets[:1] + targets[1:1 + len(proxies)][shift:] + targets[1:1 + len(proxies)][:shift] \
                    + targets[1 + len(proxies):]
                for name, server in targets:
                    if server is None:
                        figures = wrk(url, url, connections, options.seconds, False)
                    else:
                        figures = wrk(f"http://127.0.0.1:{server.port}/", url, connections, options.seconds, True,
                                      server.process.pid)
                    runs.setdefault((name, connections), []).append(figures)
                    print(f"  round {round_} {name} x {connections}: {figures['rps']:.0f}/s "
                          f"p99 {figures['p99_us'] / 1000:.2f} ms cpu {figures['cpu_us']:.1f} µs "
                          f"errors {figures['errors']}", file=sys.stderr, flush=True)
    finally:
        for _, proxy in proxies:
            proxy.stop()
        if squid is not None:
            squid.stop()
        origin.stop()

    print(f"{options.body} hits, wrk {options.seconds} s per run, {options.rounds} rounds, medians")
    print(f"{'server':<28} {'conns':>5} {'req/s':>9} {'ratio':>6} {'p99 ms':>7} {'cpu µs':>7} {'errors':>6}")
    for connections in counts:
        direct = statistics.median(f["rps"] for f in runs[("direct", connections)])
        for (name, count), figures in runs.items():
            if count != connections:
                continue
            rps = statistics.median(f["rps"] for f in figures)
            print(f"{name:<28} {connections:>5} {rps:>9.0f} {rps / direct:>6.2f} "
                  f"{statistics.median(f['p99_us'] for f in figures) / 1000:>7.2f} "
                  f"{statistics.median(f['cpu_us'] for f in figures):>7.1f} {sum(f['errors'] for f in figures):>6}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
