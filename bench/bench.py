#!/usr/bin/python3
"""Requests per second and latency through tarvodine against the same requests straight to the
origin (nginx on loopback), for 1 KiB and 1 MiB bodies at 1, 50 and 400 concurrent keep-alive
connections, measured with wrk in one run; prints one table with the ratios.

usage: bench.py TARVODINE_BINARY [--seconds N] [--proxy-args "ARGS"]
(bench/bench.sh builds the release binary; ARGS are extra options for tarvodine, e.g. "-b 262144:262144")
"""
import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from common import HERE, Proxy

from origin import Origin  # noqa: E402  (common puts tests/e2e on the path)

BODIES = [("1 KiB", "/1k.bin"), ("1 MiB", "/1m.bin")]
CONCURRENCY = [1, 50, 400]


def time_wait() -> int:
    """Sockets in TIME-WAIT on the machine: every upstream connection the proxy closes leaves one,
    and a crowded port range makes each new connect slower."""
    for line in Path("/proc/net/sockstat").read_text().splitlines():
        if line.startswith("TCP:"):
            fields = line.split()
            return int(fields[fields.index("tw") + 1])
    return 0


def wrk(url: str, target: str, connections: int, seconds: int, proxy: bool) -> dict:
    threads = min(connections, 4)
    args = ["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s", "--timeout", "10s",
            "-s", str(HERE / "absolute.lua"), url, "--", target] + (["proxy"] if proxy else [])
    run = subprocess.run(args, capture_output=True, text=True, timeout=seconds + 60)
    for line in reversed(run.stdout.splitlines()):
        if line.startswith("{"):
            figures = json.loads(line)
            figures["rps"] = figures["requests"] / (figures["duration_us"] / 1e6)
            figures["errors"] = sum(figures[k] for k in ("connect", "read", "write", "status", "timeout"))
            return figures
    raise SystemExit(f"wrk gave no figures:\n{run.stdout}\n{run.stderr}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--proxy-args", default="", help="extra options for tarvodine")
    options = parser.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (scripts/setup.sh installs it)")

    work = Path(tempfile.mkdtemp(prefix="tarvodine-bench."))
    origin = Origin(work / "nginx", workers=2, big=False)
    try:
        proxy = Proxy(options.binary, work, options.proxy_args)
    except BaseException:
        origin.stop()
        raise
    try:
        proxy_url = f"http://127.0.0.1:{proxy.port}/"
        wrk(proxy_url, origin.url("/1k.bin"), 50, 2, True)   # warm-up
        rows = []
        for label, path in BODIES:
            for connections in CONCURRENCY:
                direct = wrk(origin.url(path), origin.url(path), connections, options.seconds, False)
                waiting = time_wait()
                through = wrk(proxy_url, origin.url(path), connections, options.seconds, True)
                through["time_wait"] = waiting
                rows.append((label, connections, direct, through))
                print(f"  {label} x {connections}: direct {direct['rps']:.0f}/s, "
                      f"through tarvodine {through['rps']:.0f}/s", file=sys.stderr, flush=True)
    finally:
        proxy.stop()
        origin.stop()

    print(f"wrk, {options.seconds} s per run, keep-alive, loopback; latency in ms (p50 / p99); "
          f"tarvodine options: {options.proxy_args or '(defaults)'}")
    print(f"{'body':<6} {'conns':>5} | {'direct req/s':>12} {'p50':>7} {'p99':>7} | "
          f"{'proxy req/s':>12} {'p50':>7} {'p99':>7} | {'ratio':>6} {'errors':>6} {'tw':>6}")
    for label, connections, direct, through in rows:
        print(f"{label:<6} {connections:>5} | {direct['rps']:>12.0f} {direct['p50_us'] / 1000:>7.2f} "
              f"{direct['p99_us'] / 1000:>7.2f} | {through['rps']:>12.0f} {through['p50_us'] / 1000:>7.2f} "
              f"{through['p99_us'] / 1000:>7.2f} | {through['rps'] / direct['rps']:>6.2f} "
              f"{direct['errors'] + through['errors']:>6} {through['time_wait']:>6}")
    print("tw: sockets in TIME-WAIT when the proxy run started, left by the runs before it; a crowded "
          "port range slows every new connection")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
