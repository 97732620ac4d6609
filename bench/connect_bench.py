#!/usr/bin/python3
"""Download speed through a CONNECT tunnel of tarvodine against the same download made straight
to the TLS origin: nginx on loopback serves a file (100 MiB by default) over HTTPS, and curl
fetches it directly and with -p -x through the proxy, in alternating rounds. Prints the median
speed of each and their ratio; each curl checks that the whole file arrived.

usage: connect_bench.py TARVODINE_BINARY [--mib N] [--rounds N] [--proxy-args "ARGS"]
(bench/connect_bench.sh builds the release binary; ARGS are extra options for tarvodine, e.g.
"-b 262144:262144")
"""
import argparse
import statistics
import subprocess
import tempfile
from pathlib import Path

from common import Proxy

from origin import Origin, _random_file  # noqa: E402  (common puts tests/e2e on the path)


def download(origin: Origin, size: int, proxy_port: int = 0) -> float:
    """Bytes per second of one download; the run fails unless every byte arrived."""
    args = ["curl", "-sS", "-o", "/dev/null", "--cacert", str(origin.cert),
            "-w", "%{http_code} %{size_download} %{speed_download}"]
    if proxy_port:
        args += ["-p", "-x", f"http://127.0.0.1:{proxy_port}"]
    run = subprocess.run(args + [origin.tls_url("/bench.bin")], capture_output=True, text=True, timeout=600)
    fields = run.stdout.split()
    if run.returncode != 0 or len(fields) != 3 or fields[0] != "200" or int(fields[1]) != size:
        raise SystemExit(f"download failed: {run.stdout} {run.stderr}")
    return float(fields[2])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--mib", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--proxy-args", default="")
    options = parser.parse_args()
    size = options.mib << 20

    with tempfile.TemporaryDirectory(prefix="connect-bench-") as work:
        work = Path(work)
        origin = Origin(work / "nginx", big=False, tls=True)
        proxy = None
        try:
            _random_file(work / "nginx" / "www" / "bench.bin", size)
            # The shipped configuration tunnels to port 443 only; the origin listens on a free port.
            proxy = Proxy(options.binary, work, options.proxy_args,
                          edit=lambda text: text.replace("<cportrange>443</cportrange>",
                                                         f"<cportrange>443,{origin.tls_port}</cportrange>"))
            direct, tunnel = [], []
            for _ in range(options.rounds):
                direct.append(download(origin, size))
                tunnel.append(download(origin, size, proxy.port))
        finally:
            if proxy is not None:
                proxy.stop()
            origin.stop()

    mb = 1 << 20
    d, t = statistics.median(direct), statistics.median(tunnel)
    print(f"{options.mib} MiB over TLS, {options.rounds} rounds, proxy options: {options.proxy_args or '(none)'}")
    print(f"direct  median {d / mb:8.1f} MiB/s   (runs: {', '.join(f'{v / mb:.0f}' for v in direct)})")
    print(f"tunnel  median {t / mb:8.1f} MiB/s   (runs: {', '.join(f'{v / mb:.0f}' for v in tunnel)})")
    print(f"ratio   {t / d * 100:.1f} %")


if __name__ == "__main__":
    main()
