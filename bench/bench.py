#!/usr/bin/python3
"""Requests per second, latency and CPU time per request through tarvodine as users run it (memory
cache on, with a refresh rule that lets it store every answer), against the same requests straight
to the origin (nginx on loopback) and through squid (memory cache), for 1 KiB and 1 MiB bodies at
1, 50 and 400 concurrent keep-alive connections, measured with wrk in one run. Each body is asked
for twice: cacheable (the proxies answer from their cache: hits) and with `Cache-Control:
no-store` from the origin (every request goes to the origin; tarvodine still stores the answer as
a violation when the cache's violations are on, and stores nothing when they are off). Both proxies
write their access log. tarvodine runs on the shipped configuration with a server pool as large as
the most connections (see pool_fits).

tarvodine's cache takes nothing during its first three minutes (its start-up hold-off): the proxies
are started first, the direct and squid cells are measured meanwhile, and tarvodine is measured
once a cacheable body is served from its cache.

CPU per request is the server's user and system time over the run (from its own counters in
/proc: nginx's workers for direct, the proxy process alone otherwise) divided by the requests wrk
completed. "origin" is the share of the requests that reached the origin (0 for hits, 1 for misses).
With --repeat N every cell is run N times and each figure is the median of its N values.

usage: bench.py TARVODINE_BINARY [--seconds N] [--repeat N] [--proxy-args "ARGS"] [--no-squid]
                [--violations off|on|both] [--no-cache-too] [--bodies 1k,1m] [--connections 1,50,400]
(bench/bench.sh builds the release binary; ARGS are extra options for tarvodine, e.g. "-b 262144:262144";
--violations picks the cache's violations setting, both runs two proxies side by side; --no-cache-too
adds a tarvodine with the shipped cache section, cache off, for the no-store cells)
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from common import HERE, Proxy, Squid, cpu_seconds, warm, with_cache

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

BODIES = {"1k": ("1 KiB", "/1k.bin"), "1m": ("1 MiB", "/1m.bin")}
CONCURRENCY = [1, 50, 400]
NO_STORE = "/nostore"   # the origin's prefix that adds Cache-Control: no-store


def pool_fits(text: str, size: int = max(CONCURRENCY)) -> str:
    """The configuration with a server pool that holds an idle upstream connection for each
    client connection of the table. The shipped size (20) is below 50 and 400: the proxy would
    log that it is inadequate and open a new upstream connection for about one request in ten,
    which measures the setting rather than the proxy (squid keeps every idle one by default)."""
    text, changed = re.subn(r"<poolsize>\d+</poolsize>", f"<poolsize>{size}</poolsize>", text)
    if changed != 1:
        raise SystemExit("the shipped configuration has no <poolsize> to set")
    return text


def time_wait() -> int:
    """Sockets in TIME-WAIT on the machine: every upstream connection the proxy closes leaves one,
    and a crowded port range makes each new connect slower."""
    for line in Path("/proc/net/sockstat").read_text().splitlines():
        if line.startswith("TCP:"):
            fields = line.split()
            return int(fields[fields.index("tw") + 1])
    return 0


def origin_requests(origin: Origin) -> int:
    """Size of the origin's access log so far, in bytes: the mark origin_since counts from."""
    path = origin.dir / "logs" / "access.log"
    return path.stat().st_size if path.exists() else 0


def origin_since(origin: Origin, mark: int) -> int:
    """Requests the origin logged after mark (from origin_requests)."""
    with open(origin.dir / "logs" / "access.log", "rb") as log:
        log.seek(mark)
        return log.read().count(b"\n")


def wrk(url: str, target: str, connections: int, seconds: int, proxy: bool, server: int = 0) -> dict:
    """wrk's figures; with server, a process id, also that server's CPU time per request in µs
    ("cpu_us")."""
    threads = min(connections, 4)
    args = ["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s", "--timeout", "10s",
            "-s", str(HERE / "absolute.lua"), url, "--", target] + (["proxy"] if proxy else [])
    before = cpu_seconds(server) if server else 0.0
    run = subprocess.run(args, capture_output=True, text=True, timeout=seconds + 60)
    spent = cpu_seconds(server) - before if server else 0.0
    for line in reversed(run.stdout.splitlines()):
        if line.startswith("{"):
            figures = json.loads(line)
            figures["rps"] = figures["requests"] / (figures["duration_us"] / 1e6)
            figures["errors"] = sum(figures[k] for k in ("connect", "read", "write", "status", "timeout"))
            figures["cpu_us"] = spent * 1e6 / figures["requests"] if server and figures["requests"] else 0.0
            return figures
    raise SystemExit(f"wrk gave no figures:\n{run.stdout}\n{run.stderr}")


def measure(origin: Origin, url: str, target: str, connections: int, seconds: int, proxy: bool, server: int,
            repeat: int) -> dict:
    """wrk's figures over repeat runs, each the median of its values (errors summed), with
    "origin", the share of the requests that reached the origin, and "time_wait" before the first."""
    runs = []
    waiting = time_wait()
    for _ in range(repeat):
        mark = origin_requests(origin)
        figures = wrk(url, target, connections, seconds, proxy, server)
        figures["origin"] = origin_since(origin, mark) / figures["requests"] if figures["requests"] else 0.0
        runs.append(figures)
    merged = {key: statistics.median(run[key] for run in runs)
              for key in ("rps", "p50_us", "p99_us", "cpu_us", "origin")}
    merged["errors"] = sum(run["errors"] for run in runs)
    merged["time_wait"] = waiting
    return merged


def cell(figures: dict, direct: dict) -> str:
    return (f"{figures['rps']:>8.0f} {figures['rps'] / direct['rps']:>5.2f} {figures['p50_us'] / 1000:>7.2f} "
            f"{figures['p99_us'] / 1000:>7.2f} {figures['cpu_us']:>6.1f}")


def row(label: str, connections: int, server: str, figures: dict, direct: dict) -> str:
    return (f"{label:<6} {connections:>5} {server:<36} {cell(figures, direct)} {figures['origin']:>6.2f} "
            f"{figures['errors']:>6} {figures['time_wait']:>6}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=1, help="runs per cell; figures are their medians")
    parser.add_argument("--proxy-args", default="", help="extra options for tarvodine")
    parser.add_argument("--no-squid", action="store_true", help="leave out the squid cells")
    parser.add_argument("--violations", choices=("off", "on", "both"), default="off",
                        help="the cache's violations setting (both: two proxies, one of each)")
    parser.add_argument("--no-cache-too", action="store_true",
                        help="also a tarvodine with the cache off (the shipped cache section), for no-store")
    parser.add_argument("--bodies", default="1k,1m", help="comma-separated: 1k, 1m")
    parser.add_argument("--connections", default=",".join(map(str, CONCURRENCY)),
                        help="comma-separated connection counts")
    options = parser.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (scripts/setup.sh installs it)")
    use_squid = not options.no_squid
    if use_squid and shutil.which("squid") is None:
        raise SystemExit("squid is not installed (scripts/setup.sh installs it); --no-squid leaves it out")
    bodies = [BODIES[name] for name in options.bodies.split(",")]
    concurrency = [int(n) for n in options.connections.split(",")]
    pool = max(max(concurrency), 20)

    load_before = os.getloadavg()[0]
    work = Path(tempfile.mkdtemp(prefix="tarvodine-bench."))
    os.chmod(work, 0o755)
    origin = Origin(work / "nginx", workers=2, big=False)
    proxies = []   # (name, Proxy, caching)
    squid = None
    try:
        # Started first: their start-up hold-off runs while direct and squid are measured.
        for violations in {"off": [False], "on": [True], "both": [False, True]}[options.violations]:
            directory = work / f"tarvodine-violations-{'on' if violations else 'off'}"
            directory.mkdir()
            name = "tarvodine" + (" (violations on)" if violations else "")
            edit = with_cache(violations)
            proxies.append((name, Proxy(options.binary, directory, options.proxy_args,
                                        edit=lambda text, edit=edit: pool_fits(edit(text), pool),
                                        access_log=True), True))
        if options.no_cache_too:
            directory = work / "tarvodine-no-cache"
            directory.mkdir()
            proxies.append(("tarvodine (cache off)", Proxy(options.binary, directory, options.proxy_args,
                                                           edit=lambda text: pool_fits(text, pool),
                                                           access_log=True), False))
        if use_squid:
            squid = Squid(work / "squid", cache=True)
        results = {}   # (label, connections) -> [(server, figures)]
        for label, path in bodies:
            if squid is not None:
                warm(squid.port, origin.url(path), origin, path)
            for connections in concurrency:
                cells = results.setdefault((label, connections), [])
                cells.append(("direct", measure(origin, origin.url(path), origin.url(path), connections,
                                                options.seconds, False, origin.proc.pid, options.repeat)))
                if squid is not None:
                    squid_url = f"http://127.0.0.1:{squid.port}/"
                    cells.append(("squid hit", measure(origin, squid_url, origin.url(path), connections,
                                                       options.seconds, True, squid.process.pid, options.repeat)))
                    cells.append(("squid no-store", measure(origin, squid_url, origin.url(NO_STORE + path),
                                                            connections, options.seconds, True, squid.process.pid,
                                                            options.repeat)))
                print(f"  {label} x {connections}: direct and squid measured", file=sys.stderr, flush=True)
        print("  waiting for tarvodine's start-up hold-off (3 minutes from its start)", file=sys.stderr, flush=True)
        for _, proxy, caching in proxies:
            for _, path in bodies:
                if caching:
                    warm(proxy.port, origin.url(path), origin, path)
        for label, path in bodies:
            for connections in concurrency:
                cells = results[(label, connections)]
                for name, proxy, caching in proxies:
                    proxy_url = f"http://127.0.0.1:{proxy.port}/"
                    if caching:
                        cells.append((f"{name} hit", measure(origin, proxy_url, origin.url(path), connections,
                                                             options.seconds, True, proxy.process.pid,
                                                             options.repeat)))
                    cells.append((f"{name} no-store", measure(origin, proxy_url, origin.url(NO_STORE + path),
                                                              connections, options.seconds, True,
                                                              proxy.process.pid, options.repeat)))
                print(f"  {label} x {connections}: tarvodine measured", file=sys.stderr, flush=True)
    finally:
        for _, proxy, _ in proxies:
            proxy.stop()
        if squid is not None:
            squid.stop()
        origin.stop()

    print(f"wrk, {options.seconds} s per run, median of {options.repeat}, keep-alive, loopback; req/s, ratio to "
          f"direct, latency in ms (p50, p99), server CPU µs per request, share of requests that reached the "
          f"origin; tarvodine options: {options.proxy_args or '(defaults)'}, memory cache with a refresh rule "
          f"for everything, server pool size {pool}; load average (1 min) {load_before:.1f} at the start, "
          f"{os.getloadavg()[0]:.1f} at the end, on {os.cpu_count()} CPUs")
    print(f"{'body':<6} {'conns':>5} {'server':<36} {'req/s':>8} {'ratio':>5} {'p50':>7} {'p99':>7} {'cpu':>6} "
          f"{'origin':>6} {'errors':>6} {'tw':>6}")
    for (label, connections), cells in results.items():
        direct = cells[0][1]
        for server, figures in cells:
            print(row(label, connections, server, figures, direct))
    print("tw: sockets in TIME-WAIT when the cell started, left by the runs before it; a crowded port range "
          "slows every new connection")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
