"""Shared pieces of the end-to-end tests.

The binary comes from TARVODINE_BIN, the source tree from TARVODINE_SOURCE. A test starts the
proxy through the `tarvodine` fixture, which runs it in tmp_path, stops it by pid afterwards and,
when the test failed, prints its native log and its output.
"""
import contextlib
import glob
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from scripted_origin import ScriptedOrigin


# Processes this run started, by pid: the faketime wrapper names its shared-memory segments
# after its own pid.
STARTED_PIDS = set()


def leftovers_of_this_run(basetemp: Path, pam_dirs: str = "/tmp/pam.*", shm: str = "/dev/shm") -> list:
    """What the peers' preloaded libraries left behind for this run when the process they served
    was killed. Other runs on the machine leave theirs in the same places, often at the same
    time, so only what this run can tell for its own goes: pam_wrapper's copies of a service
    directory (/tmp/pam.X), whose files name the password file of the service under this run's
    base directory, and libfaketime's segments named after a faketime this run started."""
    found = []
    mine = str(basetemp) + "/"
    for directory in glob.glob(pam_dirs):
        try:
            texts = [entry.read_text(errors="replace") for entry in Path(directory).iterdir() if entry.is_file()]
        except OSError:
            continue
        if any(mine in text for text in texts):
            found.append(directory)
    for pid in STARTED_PIDS:
        found += glob.glob(f"{shm}/faketime_shm_{pid}") + glob.glob(f"{shm}/sem.faketime_sem_{pid}")
    return found


@pytest.fixture(scope="session", autouse=True)
def nothing_left_outside_the_test_directories(tmp_path_factory):
    """Removes what this run left in those places, and only that."""
    basetemp = tmp_path_factory.getbasetemp().resolve()
    yield
    for path in leftovers_of_this_run(basetemp):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            with contextlib.suppress(OSError):
                os.unlink(path)


START_TIMEOUT = 30.0


def binary() -> str:
    path = os.environ.get("TARVODINE_BIN")
    if not path:
        pytest.fail("TARVODINE_BIN must name the tarvodine binary")
    return path


def source_dir() -> Path:
    path = os.environ.get("TARVODINE_SOURCE")
    if not path:
        pytest.fail("TARVODINE_SOURCE must name the source tree")
    return Path(path)


def peers_dir() -> Path:
    """The start scripts of the real test peers (tests/peers)."""
    return source_dir() / "tests" / "peers"


def peer_environment() -> dict:
    """This environment without what the sanitizer run adds: the peers are not built with it."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}


def start_peer(script: str, directory: Path, *args) -> int:
    """Runs a start script of tests/peers on directory and args; the pid of the server, which
    serves once this returns. stop_peer ends it."""
    run = subprocess.run([str(peers_dir() / script), str(directory)] + [str(a) for a in args],
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120,
                         env=peer_environment())
    assert run.returncode == 0, f"{script} failed with {run.returncode}:\n{run.stderr}"
    return int(run.stdout.split()[-1])


def stop_peer(pid: int, timeout: float = START_TIMEOUT) -> None:
    """Ends a server started by start_peer: SIGTERM, SIGKILL when it outlasts timeout."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        try:
            wait_until(lambda: not process_alive(pid), timeout, f"pid {pid} to end")
            return
        except AssertionError:
            if sig == signal.SIGKILL:
                raise


# Ports handed out by free_port, each held by a reservation (see _reserve) until it is old
# enough that whatever it was for has long bound it or given up.
_RESERVATIONS = []
_RESERVATION_SECONDS = 300
_RESERVATIONS_LOCK = threading.Lock()


def _reserve(port: int) -> bool:
    """Claims the port for this process against every other process on the machine: the
    parallel workers of this suite, and other suites run at the same time. A port that is
    merely free can be picked by two of them before either has bound it; the second then
    starts its peer on a port that the first holds, and its test talks to the wrong process.
    The claim is an abstract Unix socket named after the port: it needs no file, and the
    kernel drops it when the process ends."""
    claim = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        claim.bind(f"\0tarvodine-e2e-port-{port}")
    except OSError:
        claim.close()
        return False
    now = time.monotonic()
    with _RESERVATIONS_LOCK:
        while _RESERVATIONS and now - _RESERVATIONS[0][0] > _RESERVATION_SECONDS:
            _RESERVATIONS.pop(0)[1].close()
        _RESERVATIONS.append((now, claim))
    return True


def free_port(host: str = "127.0.0.1") -> int:
    """A TCP port nothing is bound to right now and no other test process has been given,
    taken below the range the system gives outgoing connections their ports from: no
    connection made meanwhile (by this machine's other tests, say) can take it before the
    process under test binds it."""
    low = int(Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    if low - 1024 >= 4096:
        for _ in range(1000):
            port = random.randrange(max(1024, low - 16384), low)
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                try:
                    s.bind((host, port))
                except OSError:
                    continue
            if _reserve(port):
                return port
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind((host, 0))
            port = s.getsockname()[1]
        if _reserve(port):
            return port


def wait_until(predicate, timeout: float = START_TIMEOUT, what: str = "condition"):
    """Polls `predicate` until it gives a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def wait_port(port: int, host: str = "127.0.0.1", timeout: float = START_TIMEOUT) -> None:
    """Waits until something listens on the port. A probe of a loopback port in the ephemeral
    range while nothing listens there yet can connect to itself (its own source port chosen
    equal to the target): that is no listener. The probe may reuse its address, so that what
    it leaves behind never keeps the awaited process from binding the port."""
    def accepting():
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.settimeout(1)
                probe.connect((host, port))
                return probe.getsockname() != probe.getpeername()
        except OSError:
            return False
    wait_until(accepting, timeout, f"{host}:{port} to accept")


def process_alive(pid: int) -> bool:
    """False once the process has ended, also while it waits as a zombie for a parent that
    does not reap it (a daemon's parent is the machine's init)."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return False
    return stat.rsplit(")", 1)[1].split()[0] not in ("Z", "X")


def proc_status(pid: int) -> dict:
    """/proc/PID/status as a dict of stripped strings."""
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return fields


def fds(pid: int) -> int:
    """Descriptors the process holds open."""
    return len(os.listdir(f"/proc/{pid}/fd"))


def threads(pid: int) -> int:
    return int(proc_status(pid)["Threads"])


def age_seconds(pid: int) -> float:
    started = int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19])
    uptime = float(Path("/proc/uptime").read_text().split()[0])
    return uptime - started / os.sysconf("SC_CLK_TCK")


def serving_pid(pid: int, exe: str) -> int:
    """The process at or under `pid` that runs `exe`; `pid` when there is none. A wrapper such as
    faketime forks the proxy and waits for it rather than exec it, so signalling the wrapper
    would leave the proxy running."""
    target = os.path.realpath(exe)
    todo = [pid]
    while todo:
        current = todo.pop(0)
        try:
            if os.path.realpath(f"/proc/{current}/exe") == target:
                return current
            todo += [int(c) for c in Path(f"/proc/{current}/task/{current}/children").read_text().split()]
        except (OSError, ValueError):
            continue
    return pid


class Proxy:
    """One started tarvodine: `pid` is the process that serves (the foreground process, or the
    daemon named by the PID file)."""

    def __init__(self, workdir: Path, args: list, pid: int, output_paths, proc=None, pidfile=None,
                 logfile=None):
        self.workdir = workdir
        self.args = args
        self.pid = pid
        self.stdout_path, self.stderr_path = output_paths
        self.proc = proc              # the Popen of a foreground process
        self.pidfile = pidfile
        self.logfile = logfile

    def alive(self) -> bool:
        if self.proc is not None:
            return self.proc.poll() is None
        return process_alive(self.pid)

    def status(self) -> dict:
        return proc_status(self.pid)

    def native_log(self) -> str:
        if self.logfile and Path(self.logfile).exists():
            return Path(self.logfile).read_text(errors="replace")
        return ""

    def output(self) -> str:
        parts = []
        for path in (self.stdout_path, self.stderr_path):
            if path.exists():
                parts.append(path.read_text(errors="replace"))
        return "".join(parts)

    def wait(self, timeout: float = START_TIMEOUT):
        """Waits for the process to end by itself; the exit status of a foreground process."""
        if self.proc is not None:
            return self.proc.wait(timeout=timeout)
        wait_until(lambda: not process_alive(self.pid), timeout, f"pid {self.pid} to end")
        return None

    def stop(self, sig=signal.SIGTERM, timeout: float = START_TIMEOUT):
        """Sends `sig` and waits for the end; SIGKILL when that does not come in time. The exit
        status of a foreground process, else None."""
        if not self.alive():
            return self.proc.wait() if self.proc is not None else None
        target = serving_pid(self.pid, binary())
        try:
            os.kill(target, sig)
        except ProcessLookupError:
            pass
        try:
            return self.wait(timeout)
        except (AssertionError, subprocess.TimeoutExpired):
            for pid in {target, self.pid}:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            return self.wait(timeout)


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


@pytest.fixture
def xml_files(tmp_path):
    """Copies of the shipped configuration and section-definition files: (config, section).
    The configuration's copy leaves out the shipped listeners, so that tests never contend for
    that fixed port: each one listens where it says (-L, or rules of its own)."""
    config = tmp_path / "tarvodine.xml"
    section = tmp_path / "section.xml"
    shipped = (source_dir() / "etc" / "tarvodine.xml").read_text()
    config.write_text(re.sub(r"\s*<listen>.*?</listen>", "", shipped, flags=re.S))
    shutil.copy(source_dir() / "etc" / "section.xml", section)
    return config, section


def section_set(text: str, element: str) -> str:
    """A configuration's text with `element`, the whole element of one section, in place of the
    element of that name: the proxy reads only the first one, so one the shipped file already
    holds would win over one added behind it."""
    name = re.match(r"\s*<([\w-]+)", element).group(1)
    text = re.sub(rf"\s*<{name}>.*?</{name}>", "", text, flags=re.S)
    return text.replace("</tarvodine>", element + "</tarvodine>")


def every_connect_port(config: Path) -> None:
    """Opens the configuration's CONNECT ports, 443 in the shipped General rule, to every port:
    the tests' origins listen on free ones."""
    text = config.read_text()
    assert "<cportrange>443</cportrange>" in text
    config.write_text(text.replace("<cportrange>443</cportrange>", "<cportrange>1-65535</cportrange>"))


@pytest.fixture
def tarvodine(tmp_path, request):
    """start(*args, foreground=True, wrapper=(), **popen) starts tarvodine in tmp_path with
    `args` and returns a Proxy; `wrapper` is a command prefix that execs it (dns_zone's, say).
    Foreground adds -f; a daemon gets -p tmp_path/tarvodine.pid unless -p is
    given, and start() returns once the started process has ended with status 0 (else the
    test fails). -l tmp_path/native.log is added unless -l is given."""
    started = []
    outputs = []

    def start(*args, foreground=True, wrapper=(), **popen):
        args = [str(a) for a in args]
        command = [str(w) for w in wrapper] + [binary()]
        logfile = None
        if "-l" not in args:
            logfile = tmp_path / "native.log"
            args += ["-l", str(logfile)]
        else:
            logfile = Path(args[args.index("-l") + 1])
        if "-r" not in args:
            # The performance log stays in the test's directory too.
            args += ["-r", str(tmp_path / "performance.log")]
        suffix = f".{len(outputs)}" if outputs else ""
        paths = (tmp_path / f"tarvodine{suffix}.stdout", tmp_path / f"tarvodine{suffix}.stderr")
        outputs.append(paths)
        stdout = open(paths[0], "wb")
        stderr = open(paths[1], "wb")
        try:
            if foreground:
                args = ["-f"] + args
                proc = subprocess.Popen(command + args, cwd=tmp_path, stdin=subprocess.DEVNULL,
                                        stdout=stdout, stderr=stderr, **popen)
                STARTED_PIDS.add(proc.pid)
                proxy = Proxy(tmp_path, args, proc.pid, paths, proc=proc, logfile=logfile)
                started.append(proxy)
                return proxy
            if "-p" not in args:
                args += ["-p", str(tmp_path / "tarvodine.pid")]
            pidfile = Path(args[args.index("-p") + 1])
            run = subprocess.run(command + args, cwd=tmp_path, stdin=subprocess.DEVNULL,
                                 stdout=stdout, stderr=stderr, timeout=START_TIMEOUT, **popen)
        finally:
            stdout.close()
            stderr.close()
        output = paths[1].read_text(errors="replace")
        assert run.returncode == 0, f"daemon start failed with {run.returncode}: {output}"
        proxy = Proxy(tmp_path, args, int(pidfile.read_text()), paths, pidfile=pidfile, logfile=logfile)
        started.append(proxy)
        return proxy

    yield start

    report = getattr(request.node, "report_call", None)
    for proxy in started:
        if report is not None and report.failed:
            print(f"--- tarvodine {' '.join(proxy.args)} (pid {proxy.pid})")
            print("--- native log:\n" + proxy.native_log())
            print("--- output:\n" + proxy.output())
        proxy.stop()


class DnsZone:
    """A dnsmasq answering only its records, on port 53 of a loopback address of its own."""

    def __init__(self, directory: Path, records):
        self.directory = directory
        directory.mkdir(parents=True)
        zone = directory / "zone"
        zone.write_text("".join(f"{r}\n" for r in records))
        self.address = self._free_address()
        self.pid = start_peer("start-dnsmasq.sh", directory / "dnsmasq", self.address, zone)
        self.resolv_conf = directory / "resolv.conf"
        self.resolv_conf.write_text(f"nameserver {self.address}\noptions timeout:1 attempts:2\n")
        # Prefix for a program that must resolve through this server and no other.
        self.wrapper = [peers_dir() / "with-resolver.sh", self.resolv_conf]

    @staticmethod
    def _free_address() -> str:
        for _ in range(100):
            address = f"127.53.{random.randrange(256)}.{random.randrange(1, 255)}"
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                try:
                    s.bind((address, 53))
                except OSError:
                    continue
            return address
        raise AssertionError("no loopback address has port 53 free")

    def queries(self) -> str:
        """The names asked so far, one log line each."""
        log = self.directory / "dnsmasq" / "dnsmasq.log"
        return log.read_text(errors="replace") if log.exists() else ""

    def stop(self):
        stop_peer(self.pid)


@pytest.fixture
def dns_zone(tmp_path):
    """start(records) starts a DNS server answering only `records`, dnsmasq record options such
    as "host-record=origin.test,127.0.0.1", "txt-record=NAME,\"TEXT\"" or
    "mx-host=NAME,HOST,PREF"; every other name is NXDOMAIN. Start tarvodine with
    wrapper=zone.wrapper so that its lookups, and only its, go there."""
    zones = []

    def start(records):
        zone = DnsZone(tmp_path / f"dns{len(zones)}", records)
        zones.append(zone)
        return zone

    yield start
    for zone in zones:
        zone.stop()


def pytest_configure(config):
    config.addinivalue_line("markers", "load: a bounded load test (under a minute); -m 'not load' leaves it out")


def pytest_xdist_auto_num_workers(config):
    """The workers of -n auto: most of a test's time goes to waiting on the proxy and its peers,
    so two for each core this process may run on, and no more than eight, beyond which the
    longest test file alone sets the pace."""
    return min(8, max(2, 2 * len(os.sched_getaffinity(0))))


def start_listening(tarvodine, config, section, *extra, wrapper=()):
    """Starts tarvodine on the given files with one listener on a free loopback port; the Proxy
    it returns carries that port as `port`."""
    port = free_port()
    started = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", *extra, wrapper=wrapper)
    wait_port(port)
    started.port = port
    return started


def read_all(sock) -> bytes:
    """Everything until the proxy closes; a reset ends it as a close does."""
    data = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


@contextlib.contextmanager
def served(server):
    """Runs a socketserver server (http.server's too) on its own thread while the block runs,
    then shuts it down and closes it."""
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.fixture
def origin_with():
    """make(*replies) starts a ScriptedOrigin (scripted_origin.py); each is stopped afterwards."""
    made = []

    def make(*replies):
        origin = ScriptedOrigin(replies)
        made.append(origin)
        return origin
    yield make
    for origin in made:
        origin.stop()


@pytest.fixture
def proxy(tarvodine, xml_files):
    """tarvodine on the shipped files, listening on a free port (`proxy.port`)."""
    config, section = xml_files
    return start_listening(tarvodine, config, section)
