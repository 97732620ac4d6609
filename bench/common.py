"""What every benchmark needs: free ports, a release tarvodine started on the shipped
configuration (its fixed listeners removed, so it listens only where the benchmark says), squid
beside it as a reference, the CPU time a process and its children spent, and a memory cache that
takes every answer, with the wait for its start-up hold-off."""
import os
import re
import shlex
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from conftest import free_port, section_set, wait_port  # noqa: E402
from rules_helpers import element  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of the process and of its running children (nginx's workers), in
    seconds, from their own counters in /proc."""
    total = 0.0
    pending = [pid]
    while pending:
        current = pending.pop()
        try:
            stat = Path(f"/proc/{current}/stat").read_text()
            # The fields after the command name, which may hold spaces, start at its closing ')'.
            fields = stat[stat.rindex(")") + 2:].split()
            total += (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
            for task in Path(f"/proc/{current}/task").iterdir():
                pending += [int(child) for child in (task / "children").read_text().split()]
        except (FileNotFoundError, ProcessLookupError, ValueError):
            continue
    return total


class Proxy:
    """tarvodine in the foreground in WORK, listening on a free loopback port; stop() ends it."""

    def __init__(self, binary: str, work: Path, extra_args: str = "", edit=None, access_log: bool = False):
        """edit, when given, takes the configuration's text and returns the text to run with;
        access_log writes the access log to WORK/access.log."""
        self.port = free_port()
        config = work / "tarvodine.xml"
        shipped = (SOURCE / "etc" / "tarvodine.xml").read_text()
        text = re.sub(r"\s*<listen>.*?</listen>", "", shipped, flags=re.S)
        config.write_text(edit(text) if edit is not None else text)
        self._out = open(work / "tarvodine.out", "wb")
        self.process = subprocess.Popen(
            [str(Path(binary).resolve()), "-f", "-c", str(config), "-s", str(SOURCE / "etc" / "section.xml"),
             "-L", f"127.0.0.1:{self.port}", "-l", str(work / "native.log"), "-d", "0"]
            + (["-a", str(work / "access.log")] if access_log else []) + shlex.split(extra_args),
            cwd=work, stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._out)
        try:
            wait_port(self.port, timeout=15)
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._out.close()


class Squid:
    """squid on loopback with a memory cache only (no disk store) and its access log written, as
    tarvodine writes its own. With cache=False it stores nothing, so every request goes to the
    origin as through a tarvodine without a cache."""

    def __init__(self, directory: Path, cache: bool = True):
        directory.mkdir(parents=True, exist_ok=True)
        os.chmod(directory, 0o777)
        self.port = free_port()
        user = "cache_effective_user proxy" if os.geteuid() == 0 else ""
        (directory / "squid.conf").write_text(f"""
http_port 127.0.0.1:{self.port}
pid_filename {directory}/squid.pid
cache_log {directory}/cache.log
access_log stdio:{directory}/access.log
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
{"" if cache else "cache deny all"}
acl lo src 127.0.0.0/8
http_access allow lo
http_access deny all
""")
        self.log = open(directory / "stdout.log", "wb")
        self.process = subprocess.Popen(["squid", "-N", "-f", str(directory / "squid.conf")],
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        try:
            wait_port(self.port, timeout=30)
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def cache_element(violations: bool = False) -> str:
    """The cache section, memory only, with a refresh rule that lets every response be cached and
    stay fresh for a day: without one the cache takes nothing and every request is a miss. With
    violations, answers stored against their caching headers (no-store, private) are kept too."""
    return element("cache", {"enabled": "true", "violations": "true" if violations else "false",
                             "memorysize": "256M", "memoryextra": "4M", "minsize": "0", "maxsize": "16M",
                             "prefetchwindow": "60", "icpport": "0", "icptimeout": "1000", "storeselect": "0",
                             "journalthreshold": "0", "cleaninterval": "0"},
                   ("refresh", {"enabled": "true", "comment": "", "profiles": "", "cache": "true", "minage": "0",
                                "maxage": "86400", "validate": "86400", "lmfactor": "100"}))


def with_cache(violations: bool = False):
    """An edit for Proxy that puts cache_element(violations) in place of the shipped cache section."""
    return lambda text: section_set(text, cache_element(violations))


def fetch(port: int, url: str) -> None:
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": f"http://127.0.0.1:{port}"}))
    with opener.open(url, timeout=30) as answer:
        answer.read()


def warm(port: int, url: str, origin, path: str) -> None:
    """Fetches url through the proxy until a fetch no longer reaches the origin: the object is then
    served from the cache. tarvodine's cache takes nothing during its start-up hold-off (three
    minutes from its start), so this can take that long; start the proxy first and measure
    something else meanwhile."""
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline:
        before = origin.access_log().count(f'"GET {path} HTTP/1.1"')
        fetch(port, url)
        time.sleep(0.2)
        if origin.access_log().count(f'"GET {path} HTTP/1.1"') == before:
            return
        time.sleep(1)
    raise SystemExit(f"{url} was never served from the cache of the proxy on port {port}")
