"""The command line as a whole: usage text, exit statuses and messages, the PID file, the
daemon's detachment and the foreground process."""
import os
import re
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import binary, proc_status, process_alive, source_dir, wait_until

NOBODY = 65534
NOGROUP = 65534

CATEGORIES = [
    "requests", "network", "url filtering", "header filtering", "mime filtering",
    "cookie filtering", "redirections", "templates", "keyword filtering", "rewriting", "limits",
    "caching", "prefetching", "ICP", "forwarding", "config syncronization", "antivirus",
    "external parsers", "ICAP", "DNS blacklist", "URL blacklist", "URL commands", "modules",
    "security", "warnings", "errors", "profiles", "debug",
]


def run(args, cwd, **kwargs):
    return subprocess.run([binary()] + [str(a) for a in args], cwd=cwd, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=30, **kwargs)


def version_line():
    proc = subprocess.run([binary(), "-v"], capture_output=True, timeout=30)
    return proc.stdout.decode().rstrip("\n")


def usage(T=1, C=1, buffers=(0, 0), keepalive=(900, 75, 9), level=134217727):
    """The usage text as the program must print it, with the given current settings."""
    text = (
        f"{version_line()}\n"
        f"\nUsage: {binary()} [options]\n\n"
        " -c <file>            : location of config file (required)\n"
        " -s <file>            : location of section file (required)\n"
        " -l <file>            : file to log activity to (native log)\n"
        " -a <file>            : alternate format log file (access log)\n"
        " -e <file>            : alternate format log file (extended log)\n"
        " -H <hostname>        : proxy's hostname (overrides configuration file)\n"
        " -L <ip:port>         : specify address and port to listen on\n"
        " -M <host:port>       : master host and port to syncronize configuration from\n"
        " -S <sections>        : comma separated list of sections to syncronize from master (default: all sections)\n"
        " -E <sections>        : comma separated list of sections to not syncronize from master (default: none)\n"
        " -I <seconds>         : time interval between syncronization attempts to master\n"
        " -m <dir>             : module directory\n"
        " -p <file>            : PID file\n"
        " -u <username>        : run as alternate user\n"
        " -g <groupname>       : run in alternate group\n"
        " -x <pam>             : set the file containing PAM directives (default: tarvodine) \n"
        " -P <size:age>        : set the maximum size and age of the password_cache (default: 100:600)\n"
        " -t <max_threads>     : specify the maximum number of allowed concurrent threads (less than: 16384)\n"
        " -z <stack_size>      : specify the base value for thread stacksize (Default of 20, sets the stack size to 1048576) \n"
        f" -T <thread_timeout>  : specify the time in seconds for a thread to wait for another connection (default: {T})\n"
        f" -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be presumed available (default: {C})\n"
        f" -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: {buffers[0]}:{buffers[1]})\n"
        " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive parameters "
        f"(default: {keepalive[0]}:{keepalive[1]}:{keepalive[2]})\n"
        " -o <overload_factor> : overload factor (default: 1)\n"
        " -f                   : don't daemonize (log written to stdout)\n"
        " -h                   : show this help, message and exit \n"
        " -v                   : show tarvodine version, and exit \n"
        f" -d <level>           : set log level (default: {level})\n\n"
        " Add any of the following to specify logging detail:\n"
    )
    for bit, name in enumerate(CATEGORIES):
        text += f" {1 << bit:9d} = {name}\n"
    return text


def test_version_line_on_stdout(tmp_path):
    proc = run(["-v", "-c", tmp_path / "missing"], tmp_path)
    assert proc.returncode == 0
    assert re.fullmatch(rb"tarvodine \d+\.\d+\.\d+ \(build \d+\)\n", proc.stdout)
    assert proc.stderr == b""


@pytest.mark.parametrize("args, settings", [
    ([], {}),
    (["-h"], {}),
    # -h is acted on where it stands: the path after it is never looked at.
    (["-h", "-c", "/nonexistent/tarvodine.xml"], {}),
    # Defaults show the values of the options given before -h; -t, -P and -o show constants.
    (["-T", "5", "-C", "3", "-b", "16384:4096", "-k", "600:60:5", "-d", "3", "-t", "100",
      "-P", "0:0", "-o", "4", "-h", "-T", "9"],
     dict(T=5, C=3, buffers=(16384, 4096), keepalive=(600, 60, 5), level=3)),
])
def test_usage_text_exits_zero(tmp_path, args, settings):
    proc = run(args, tmp_path)
    assert proc.returncode == 0
    assert proc.stdout == b""
    assert proc.stderr.decode() == usage(**settings)


@pytest.mark.parametrize("args", [
    ["-L", "192.168.100.1000:3128"],    # 16 characters before the colon
    ["-L", "3128"],
    ["-M", "master.example"],
    ["-M", "h" * 256 + ":8080"],
    ["-P", "100"],
    ["-P", "0:600"],                    # a password cache without buckets
    ["-t", "0"],
    ["-z", "13"],                       # below the smallest stack the thread library takes
    ["-z", "31"],                       # above 1 GiB
    ["-C", "0"],
    ["-b", "16384"],
    ["-b", "16384:100"],                # a relay block of 101 bytes
    ["-k", "600:60"],
], ids=lambda args: " ".join(args)[:40])
def test_unusable_argument_gives_usage_and_status_1(tmp_path, xml_files, args):
    config, section = xml_files
    proc = run(["-f", "-c", config, "-s", section] + args, tmp_path)
    assert proc.returncode == 1
    assert proc.stdout == b""
    assert proc.stderr.decode() == usage()


def test_failures_found_before_start(tmp_path, xml_files):
    config, section = xml_files
    missing = tmp_path / "missing.xml"
    cases = [
        (["-s", section], "config file option missing\n"),
        (["-c", config], "section file option missing\n"),
        (["-c", missing, "-s", section], f"couldn't stat {missing}\n"),
        (["-c", config, "-s", missing], f"couldn't stat {missing}\n"),
        # A colon at the end does not make a URL: it is a file, and it is missing.
        (["-c", f"{missing}:", "-s", section], f"couldn't stat {missing}:\n"),
        # A URL is fetched later, not looked for on disk; a master replaces -c.
        (["-c", "http://127.0.0.1:9/tarvodine.xml", "-s", missing], f"couldn't stat {missing}\n"),
        (["-M", "127.0.0.1:9", "-s", missing], f"couldn't stat {missing}\n"),
        (["-c", config, "-s", section, "-u", "no-such-user"], "getpwnam: unknown user\n"),
        (["-c", config, "-s", section, "-g", "no-such-group"], "getgrnam: unknown group\n"),
        (["-c", config, "-s", section, "-g", "nogroup", "-u", "no-such-user"], "getpwnam: unknown user\n"),
    ]
    for args, message in cases:
        for mode in (["-f"], ["-p", tmp_path / "tarvodine.pid"]):
            proc = run(mode + args, tmp_path)
            where = f"{mode + args}"
            assert (proc.returncode, proc.stderr.decode(), proc.stdout) == (1, message, b""), where
            assert not (tmp_path / "tarvodine.pid").exists(), where


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to start as another user")
@pytest.mark.parametrize("args, message", [
    (["-u", "root"], "setuid: Operation not permitted\n"),
    (["-g", "root"], "setgid: Operation not permitted\n"),
])
def test_unprivileged_change_of_ids_fails(tmp_path, args, message):
    # tmp_path is closed to other users: the shipped files are readable by everyone.
    etc = source_dir() / "etc"
    proc = run(["-f", "-c", etc / "tarvodine.xml", "-s", etc / "section.xml"] + args, "/",
               user=NOBODY, group=NOGROUP, extra_groups=[])
    assert (proc.returncode, proc.stderr.decode()) == (1, message)


def cmdline(pid):
    return Path(f"/proc/{pid}/cmdline").read_bytes()


def assert_arguments_wiped(pid, argv):
    """The program name stays; every argument is zero bytes over its whole length."""
    expected = binary().encode() + b"\0" + b"".join(b"\0" * (len(a.encode()) + 1) for a in argv)
    assert cmdline(pid) == expected


@pytest.fixture
def world_readable_section(xml_files):
    """A copy of the section-definition file that any user can read: the running proxy reads it
    as the user it became."""
    directory = Path(tempfile.mkdtemp(prefix="tarvodine-cli."))
    directory.chmod(0o755)
    section = directory / "section.xml"
    shutil.copy(xml_files[1], section)
    section.chmod(0o644)
    yield section
    shutil.rmtree(directory)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to change user and group")
def test_foreground_process(tarvodine, tmp_path, world_readable_section):
    section = world_readable_section
    pidfile = tmp_path / "tarvodine.pid"
    # A master instead of -c; started with extra groups, which it must not keep.
    proxy = tarvodine("-M", "127.0.0.1:9", "-s", section, "-p", pidfile, "-u", "nobody",
                      "-g", "nogroup", extra_groups=[0, 4])
    # The file-creation mask is set last, after the user change.
    wait_until(lambda: not proxy.alive() or proxy.status()["Umask"] == "0027", what="start-up")
    assert proxy.alive(), proxy.output()
    status = proxy.status()
    assert status["Uid"].split() == [str(NOBODY)] * 4
    assert status["Gid"].split() == [str(NOGROUP)] * 4
    assert status["Groups"].split() == [str(NOGROUP)]
    assert os.readlink(f"/proc/{proxy.pid}/cwd") == str(tmp_path)
    assert_arguments_wiped(proxy.pid, proxy.args)
    assert not pidfile.exists()
    # Not detached: still our child, in our session.
    assert proxy.proc.poll() is None
    assert os.getsid(proxy.pid) == os.getsid(0)


def test_daemon_detaches_and_writes_pid_file(tarvodine, tmp_path, xml_files):
    config, section = xml_files
    proxy = tarvodine("-c", config, "-s", section, foreground=False)
    pid = proxy.pid
    assert process_alive(pid)
    assert proxy.pidfile.read_text() == f"{pid}\n"
    assert stat.S_IMODE(proxy.pidfile.stat().st_mode) == 0o644
    assert os.readlink(f"/proc/{pid}/cwd") == "/"
    # A new session, of which the daemon is not the leader, so it cannot gain a terminal.
    assert os.getsid(pid) != os.getsid(0)
    assert os.getsid(pid) != pid
    assert proc_status(pid)["PPid"] != str(os.getpid())
    for fd in (0, 1, 2):
        assert os.readlink(f"/proc/{pid}/fd/{fd}") == "/dev/null"
    assert proc_status(pid)["Umask"] == "0027"
    assert_arguments_wiped(pid, proxy.args)


def ended_pid():
    """The id of a process that has ended."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


@pytest.mark.parametrize("content", ["stale", "garbage", "empty", "zero", "negative"])
def test_pid_file_without_living_process_is_replaced(tarvodine, tmp_path, xml_files, content):
    config, section = xml_files
    pidfile = tmp_path / "tarvodine.pid"
    pidfile.write_text({
        "stale": f"{ended_pid()}\n",
        "garbage": "not a pid\n",
        "empty": "",
        "zero": "0\n",
        "negative": "-1\n",     # a probe of -1 would reach every process
    }[content])
    proxy = tarvodine("-c", config, "-s", section, "-p", pidfile, foreground=False)
    assert pidfile.read_text() == f"{proxy.pid}\n"
    assert process_alive(proxy.pid)


def test_pid_file_of_living_process_refuses_start(tarvodine, tmp_path, xml_files):
    config, section = xml_files
    first = tarvodine("-c", config, "-s", section, foreground=False)
    proc = run(["-c", config, "-s", section, "-p", first.pidfile], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, b"", b"")
    assert first.pidfile.read_text() == f"{first.pid}\n"
    assert process_alive(first.pid)

    # Any living process counts, not only a tarvodine.
    other = tmp_path / "other.pid"
    other.write_text(f"{os.getpid()}\n")
    proc = run(["-c", config, "-s", section, "-p", other], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, b"", b"")
    assert other.read_text() == f"{os.getpid()}\n"


def test_pid_file_is_not_written_through_a_link(tarvodine, tmp_path, xml_files):
    config, section = xml_files
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    pidfile = tmp_path / "tarvodine.pid"
    pidfile.symlink_to(victim)
    proxy = tarvodine("-c", config, "-s", section, "-p", pidfile, foreground=False)
    assert victim.read_text() == "precious\n"
    assert not pidfile.is_symlink()
    assert pidfile.read_text() == f"{proxy.pid}\n"


def test_pid_file_that_cannot_be_written_fails_start(tmp_path, xml_files):
    config, section = xml_files
    pidfile = tmp_path / "no-such-dir" / "tarvodine.pid"
    proc = run(["-c", config, "-s", section, "-p", pidfile], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, b"", b"")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to change user")
def test_daemon_writes_pid_file_as_its_final_user(tmp_path, xml_files):
    # tmp_path is open to root only: once the daemon runs as nobody it cannot create the file.
    config, section = xml_files
    pidfile = tmp_path / "tarvodine.pid"
    proc = run(["-c", config, "-s", section, "-p", pidfile, "-u", "nobody", "-g", "nogroup"], tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, b"", b"")
    assert not pidfile.exists()
