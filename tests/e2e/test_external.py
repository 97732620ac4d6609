"""External programs against an nginx origin: small shell scripts authenticate the client, answer
a request themselves, and rewrite responses; programs that fail, read only part of their input,
hang or are killed by a signal leave the response as the server sent it."""
import os
import shutil
import socket
import tempfile
import time
from pathlib import Path

import pytest

from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, exchange, get, origin_with_pages
from conftest import section_set, start_listening
from rules_helpers import EVERY_LOG_CATEGORY

# Larger than a pipe holds, so a program that stops reading early leaves input unwritten.
PAGE = b"<html><body>" + b"plain text. " * 20000 + b"</body></html>\n"
CASES = ("whole", "partial", "fail", "signal", "hang", "trickle", "linger", "flood")

AUTH = r"""#!/bin/sh
# Refuses /deny, admits the rest as alice with two profiles; counts its runs.
echo run >> "$COUNTER"
read -r method url version
case "$url" in
  */deny*) exit 1 ;;
esac
printf '%s %s HTTP/1.0\r\nX-username: alice\r\nX-profiles: a,b\r\n\r\n' "$method" "$url"
"""

ANSWER = r"""#!/bin/sh
# Answers /answer itself with its environment and its input file; leaves the rest alone.
read -r method url version < "$1"
case "$url" in
  */answer*) ;;
  *) exit 0 ;;
esac
printf 'HTTP/1.1 403 Refused\r\nContent-Type: text/plain\r\nX-Input: %s\r\n\r\n' "$1"
env | sort
# The descriptors a program of its own (ls) inherits; it adds one for the listing.
echo "descriptors:" $(ls /proc/self/fd)
"""

RESPMOD = r"""#!/bin/sh
# Behaves by the request path: the response header and the body come after the request line.
read -r method url version
case "$url" in
  *whole*)
    # The rest of the request header, then the response header, then the body.
    body=$(cat | tr -d '\r' | sed '1,/^$/d' | sed '1,/^$/d' | sed 's/plain/PLAIN/g')
    printf 'HTTP/1.1 200 OK\r\nX-Changed: whole\r\n\r\n%s' "$body" ;;
  *partial*)
    printf 'HTTP/1.1 200 OK\r\nX-Changed: partial\r\n\r\nshort' ;;
  *fail*)
    printf 'HTTP/1.1 200 OK\r\nX-Changed: fail\r\n\r\nshort'; exit 3 ;;
  *signal*)
    printf 'HTTP/1.1 200 OK\r\nX-Changed: signal\r\n\r\nshort'; kill -9 $$ ;;
  *hang*)
    printf 'HTTP/1.1 200 OK\r\nX-Changed: hang\r\n\r\nshort'; exec sleep 300 ;;
  *trickle*)
    # Never silent for long, never done in time.
    printf 'HTTP/1.1 200 OK\r\nX-Changed: trickle\r\n\r\n'
    for i in $(seq 40); do printf x; sleep 1; done ;;
  *linger*)
    # Says everything, closes its output, and keeps running.
    printf 'HTTP/1.1 200 OK\r\nX-Changed: linger\r\n\r\nshort'; exec >&-; exec sleep 40 ;;
  *flood*)
    # More than the download buffer (4M) holds.
    printf 'HTTP/1.1 200 OK\r\nX-Changed: flood\r\n\r\n'; head -c 5000000 /dev/zero ;;
esac
"""


def script(directory, name, text):
    path = directory / name
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


def rule(command, stages, kind=0, mode=0, inputs=1):
    return ("rule", {"enabled": "true", "comment": "", "profiles": "", "exec": command, "execmode": str(mode),
                     "stage": str(stages), "type": str(kind), "input": str(inputs)})


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    pages = {f"/{name}.html": PAGE for name in CASES + ("deny", "plain")}
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), pages)
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files, tmp_path):
    directory = tmp_path / "programs"
    directory.mkdir()
    counter = tmp_path / "auth-runs"
    # Temporary files of programs have short paths.
    short = Path(tempfile.mkdtemp(prefix="tv", dir="/tmp"))
    section = element(
        "external", {"enabled": "true"},
        # The environment is the connection's variables only: COUNTER comes through the shell.
        rule(f"/bin/sh -c 'COUNTER={counter} exec {script(directory, 'auth.sh', AUTH)}'", 4, kind=1),
        rule(script(directory, "answer.sh", ANSWER), 1, mode=1),
        rule(script(directory, "respmod.sh", RESPMOD), 2, inputs=3),
        rule("", 3))
    config, sections = xml_files
    text = config.read_text()
    # A short time-out ends the program that hangs.
    general = dict(GENERAL_RULE, timeout="3")
    text = section_set(text, element("general", dict(GENERAL_GLOBALS, tempdir=str(short)), ("rule", general)))
    text = section_set(text, section)
    config.write_text(text)
    server = start_listening(tarvodine, config, sections, "-d", EVERY_LOG_CATEGORY)
    server.counter = counter
    server.tempdir = short
    yield server
    server.stop()
    shutil.rmtree(short)


def test_a_response_program_rewrites_header_and_body(proxy, origin):
    status, headers, body = get(proxy, origin.url("/whole.html"))
    assert status.startswith("HTTP/1.1 200"), status
    assert headers["x-changed"] == "whole"
    assert body == PAGE.replace(b"plain", b"PLAIN").rstrip(b"\n")
    assert int(headers["content-length"]) == len(body)


# Only a program that exits 0 has its output installed; one that stops reading its input early
# still has all of its output read. A program that outlasts the general time-out (3 s) in any way,
# or writes more than the download buffer holds, is ended and has failed.
@pytest.mark.parametrize("case, changed", [("partial", True), ("fail", False), ("signal", False), ("hang", False),
                                           ("trickle", False), ("linger", False), ("flood", False)])
def test_only_a_program_that_succeeds_changes_the_response(proxy, origin, case, changed):
    started = time.monotonic()
    status, headers, body = get(proxy, origin.url(f"/{case}.html"))
    assert status.startswith("HTTP/1.1 200"), status
    assert time.monotonic() - started < 30
    if changed:
        assert headers.get("x-changed") == case and body == b"short"
    else:
        assert "x-changed" not in headers and body == PAGE
    if case in ("hang", "trickle", "linger", "flood"):
        assert "respmod.sh " in proxy.native_log() and " and was ended" in proxy.native_log()


def test_authentication_sets_user_and_profiles_and_a_program_answers(proxy, origin):
    status, headers, body = get(proxy, origin.url("/answer"))
    assert status.startswith("HTTP/1.1 403"), status
    environment = body.decode().splitlines()
    assert "USERNAME=alice" in environment
    # Nothing of the proxy's own environment reaches the program.
    assert not [line for line in environment if line.startswith(("HOME=", "ASAN_OPTIONS="))]
    # The input file was named last and is gone after the run.
    assert headers["x-input"].startswith(str(proxy.tempdir) + "/tv")
    assert not os.path.exists(headers["x-input"])
    assert "external parser sent X-profiles: a,b" in proxy.native_log()
    # Nothing the proxy holds open (the client's socket, the log, listeners) reaches a program.
    [descriptors] = [line for line in environment if line.startswith("descriptors:")]
    assert set(descriptors.split()[1:]) <= {"0", "1", "2", "3"}, descriptors


def read_response(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    head, _, rest = data.partition(b"\r\n\r\n")
    length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:"))
    while len(rest) < length:
        rest += sock.recv(65536)
    return head.split(b"\r\n")[0].decode(), rest[:length]


def test_a_failed_authentication_is_final_for_the_connection(proxy, origin):
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as sock:
        for path in ("/deny.html", "/plain.html", "/answer"):
            sock.sendall(f"GET {origin.url(path)} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            status, body = read_response(sock)
            if path != "/answer":
                assert status.startswith("HTTP/1.1 200") and body == PAGE, (path, status)
    # Refused once, the authentication program never ran again, and no user was admitted.
    assert proxy.counter.read_text().count("run") == 1
    assert status.startswith("HTTP/1.1 403")
    assert not [line for line in body.decode().splitlines() if line.startswith("USERNAME=")]

