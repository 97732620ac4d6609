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
import re
import shlex
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from origin import Origin, _random_file  # noqa: E402


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port: int, timeout: float = 15) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            if time.monotonic() > deadline:
                raise SystemExit(f"nothing accepts on {port}")
            time.sleep(0.05)


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
            port = free_port()
            # The shipped configuration without its fixed listeners: the proxy listens on -L only.
            config = work / "tarvodine.xml"
            shipped = (SOURCE / "etc" / "tarvodine.xml").read_text()
            config.write_text(re.sub(r"\s*<listen>.*?</listen>", "", shipped, flags=re.S))
            log = open(work / "tarvodine.out", "wb")
            proxy = subprocess.Popen(
                [str(Path(options.binary).resolve()), "-f", "-c", str(config), "-s",
                 str(SOURCE / "etc" / "section.xml"), "-L", f"127.0.0.1:{port}", "-l",
                 str(work / "native.log"), "-d", "0"] + shlex.split(options.proxy_args),
                cwd=work, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            wait_port(port)
            direct, tunnel = [], []
            for _ in range(options.rounds):
                direct.append(download(origin, size))
                tunnel.append(download(origin, size, port))
        finally:
            if proxy is not None:
                proxy.send_signal(signal.SIGTERM)
                try:
                    proxy.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    proxy.kill()
                    proxy.wait()
            origin.stop()

    mb = 1 << 20
    d, t = statistics.median(direct), statistics.median(tunnel)
    print(f"{options.mib} MiB over TLS, {options.rounds} rounds, proxy options: {options.proxy_args or '(none)'}")
    print(f"direct  median {d / mb:8.1f} MiB/s   (runs: {', '.join(f'{v / mb:.0f}' for v in direct)})")
    print(f"tunnel  median {t / mb:8.1f} MiB/s   (runs: {', '.join(f'{v / mb:.0f}' for v in tunnel)})")
    print(f"ratio   {t / d * 100:.1f} %")


if __name__ == "__main__":
    main()
