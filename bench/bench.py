#!/usr/bin/python3
"""Requests per second, latency and CPU time per request through tarvodine (no cache) against the
same requests straight to the origin (nginx on loopback) and through squid (memory cache only,
storing nothing, so every request reaches the origin as through tarvodine; access log on for
both proxies), for 1 KiB and 1 MiB bodies at 1, 50 and 400 concurrent keep-alive connections,
measured with wrk in one run; prints one table with the ratios to direct. tarvodine runs on the
shipped configuration with a server pool as large as the most connections (see pool_fits).

CPU per request is the server's user and system time over the run (from its own counters in
/proc: nginx's workers for direct, the proxy process alone otherwise) divided by the requests wrk
completed.

usage: bench.py TARVODINE_BINARY [--seconds N] [--proxy-args "ARGS"] [--no-squid]
(bench/bench.sh builds the release binary; ARGS are extra options for tarvodine, e.g. "-b 262144:262144")
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from common import HERE, Proxy, Squid, cpu_seconds

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

BODIES = [("1 KiB", "/1k.bin"), ("1 MiB", "/1m.bin")]
CONCURRENCY = [1, 50, 400]


def pool_fits(text: str) -> str:
    """The configuration with a server pool that holds an idle upstream connection for each
    client connection of the table. The shipped size (20) is below 50 and 400: the proxy would
    log that it is inadequate and open a new upstream connection for about one request in ten,
    which measures the setting rather than the proxy (squid keeps every idle one by default)."""
    text, changed = re.subn(r"<poolsize>\d+</poolsize>", f"<poolsize>{max(CONCURRENCY)}</poolsize>", text)
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


def cell(figures: dict, direct: dict) -> str:
    return (f"{figures['rps']:>8.0f} {figures['rps'] / direct['rps']:>5.2f} {figures['p50_us'] / 1000:>7.2f} "
            f"{figures['p99_us'] / 1000:>7.2f} {figures['cpu_us']:>6.1f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--proxy-args", default="", help="extra options for tarvodine")
    parser.add_argument("--no-squid", action="store_true", help="leave out the squid column")
    options = parser.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (scripts/setup.sh installs it)")
    use_squid = not options.no_squid
    if use_squid and shutil.which("squid") is None:
        raise SystemExit("squid is not installed (scripts/setup.sh installs it); --no-squid leaves it out")

    work = Path(tempfile.mkdtemp(prefix="tarvodine-bench."))
    os.chmod(work, 0o755)
    origin = Origin(work / "nginx", workers=2, big=False)
    proxy = squid = None
    try:
        proxy = Proxy(options.binary, work, options.proxy_args, edit=pool_fits, access_log=True)
        if use_squid:
            squid = Squid(work / "squid", cache=False)
        proxy_url = f"http://127.0.0.1:{proxy.port}/"
        wrk(proxy_url, origin.url("/1k.bin"), 50, 2, True)   # warm-up
        if squid is not None:
            wrk(f"http://127.0.0.1:{squid.port}/", origin.url("/1k.bin"), 50, 2, True)
        rows = []
        for label, path in BODIES:
            for connections in CONCURRENCY:
                direct = wrk(origin.url(path), origin.url(path), connections, options.seconds, False,
                             origin.proc.pid)
                waiting = time_wait()
                through = wrk(proxy_url, origin.url(path), connections, options.seconds, True, proxy.process.pid)
                through["time_wait"] = waiting
                other = None
                if squid is not None:
                    other = wrk(f"http://127.0.0.1:{squid.port}/", origin.url(path), connections,
                                options.seconds, True, squid.process.pid)
                rows.append((label, connections, direct, through, other))
                print(f"  {label} x {connections}: direct {direct['rps']:.0f}/s, "
                      f"through tarvodine {through['rps']:.0f}/s"
                      + (f", through squid {other['rps']:.0f}/s" if other else ""), file=sys.stderr, flush=True)
    finally:
        if proxy is not None:
            proxy.stop()
        if squid is not None:
            squid.stop()
        origin.stop()

    print(f"wrk, {options.seconds} s per run, keep-alive, loopback; req/s, ratio to direct, latency in ms "
          f"(p50, p99), server CPU µs per request; tarvodine options: {options.proxy_args or '(defaults)'}, "
          f"server pool size {max(CONCURRENCY)}")
    head = f"{'req/s':>8} {'ratio':>5} {'p50':>7} {'p99':>7} {'cpu':>6}"
    print(f"{'':<12} | {'direct':<37} | {'tarvodine':<37} | {'squid' if use_squid else '':<37} |")
    print(f"{'body':<6} {'conns':>5} | {head} | {head} | {head if use_squid else '':<37} | {'errors':>6} {'tw':>6}")
    for label, connections, direct, through, other in rows:
        errors = direct["errors"] + through["errors"] + (other["errors"] if other else 0)
        print(f"{label:<6} {connections:>5} | {cell(direct, direct)} | {cell(through, direct)} | "
              f"{cell(other, direct) if other else '':<37} | {errors:>6} {through['time_wait']:>6}")
    print("tw: sockets in TIME-WAIT when the proxy run started, left by the runs before it; a crowded "
          "port range slows every new connection")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
