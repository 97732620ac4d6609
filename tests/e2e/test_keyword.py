"""The keyword filter against nginx: a page whose score reaches the threshold is blocked, one
below it passes byte for byte, and gzip-encoded pages are scored on their decoded text."""
import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from rules_helpers import GENERAL_GLOBALS, GENERAL_RULE, element, get, origin_with_pages, proxy_with
from scripted_origin import ScriptedOrigin

FILLER = b"".join(b"line %d of a page that says little\n" % i for i in range(2000))
BLOCKED = b"<html><body>" + FILLER + b"Casino nights and POKER tables\n</body></html>\n"
CALM = b"<html><body>" + FILLER + b"a casino, but nothing more\n</body></html>\n"
# nginx gzips text/plain under /gz/.
GZ_BLOCKED = FILLER + b"casino\x00poker after a zero byte\n"
GZ_CALM = FILLER + b"casino only\n"
# A small page, so that the rules are matched as often as clients can ask.
SMALL = (b"<html><body>" + b"words of a small page that says little, " * 30)[:1012] + b"</body>\n"
# Patterns of the kind administrators write, none of which occurs in the pages.
KEYWORDS = [
    r"casino\s+royale", r"poker\s+tables?", r"\bviagra\b", r"lotter(y|ies)", r"jackpot", r"(free|cheap)\s+pills",
    r"\bxxx\b", r"bet\s*now", r"win\s+\$\d+", r"adult\s+content", r"roulette", r"payday\s+loans?",
    r"crypto\s*giveaway", r"hot\s+singles", r"click\s+here\s+to\s+claim", r"[0-9]{16}", r"porn",
    r"warez", r"keygen", r"torrent\s+download",
]
WRK_SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "absolute.lua"


def keyword(word: str, score: int) -> tuple:
    return ("keyword", {"enabled": "true", "comment": "", "profiles": "", "mime": "^text/", "keyword": word,
                        "score": str(score)})


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {
        "/blocked.html": BLOCKED, "/calm.html": CALM, "/gz/blocked.txt": GZ_BLOCKED, "/gz/calm.txt": GZ_CALM,
        "/small.html": SMALL})
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files):
    section = element("keywords-filtering", {"enabled": "true", "threshold": "10", "template": ""},
                      keyword("casino", 6), keyword("poker", 5))
    return proxy_with(tarvodine, xml_files, section)


def sent_bytes(origin, path: str) -> int:
    """What nginx wrote as the body of its last answer for path."""
    lines = origin.log_lines(f"GET {path} ")
    return int(re.search(r'" 200 (\d+)', lines[-1]).group(1))


@pytest.mark.parametrize("path", ["/blocked.html", "/gz/blocked.txt"])
def test_a_page_reaching_the_threshold_is_blocked(proxy, origin, path):
    status, headers, body = get(proxy, origin.url(path))
    assert status.startswith("HTTP/1.1 200"), status
    assert b"is blocked" in body and b"line 1 of a page" not in body
    assert "blocked: score:11 threshold:10" in proxy.native_log()


@pytest.mark.parametrize("path", ["/calm.html", "/gz/calm.txt"])
def test_a_page_below_the_threshold_passes_byte_identical(proxy, origin, path):
    status, headers, body = get(proxy, origin.url(path))
    assert status.startswith("HTTP/1.1 200"), status
    assert body == origin.file(path.lstrip("/"))
    assert int(headers["content-length"]) == len(body)
    assert "blocked: score" not in proxy.native_log()


def test_gzip_pages_were_scored_decoded(proxy, origin):
    # nginx did compress both: it wrote far fewer bytes than the files hold.
    for path in ("/gz/blocked.txt", "/gz/calm.txt"):
        get(proxy, origin.url(path))
        assert sent_bytes(origin, path) < len(origin.file(path.lstrip("/"))) // 4


def test_the_score_command_shows_the_total(proxy, origin):
    status, _, body = get(proxy, origin.url("/calm.html").replace("http://", "http://xx--score."))
    assert status.startswith("HTTP/1.1 200"), status
    assert b"Keyword score for 127.0.0.1/calm.html" in body
    assert b'<td align="center">6</td>' in body


def test_many_clients_at_once_are_all_answered(tarvodine, xml_files, origin):
    # Every connection thread matches the same compiled rules at the same time.
    if shutil.which("wrk") is None:
        pytest.fail("wrk is not installed (scripts/setup.sh installs it)")
    section = element("keywords-filtering", {"enabled": "true", "threshold": "1000", "template": ""},
                      *(keyword(word, 1) for word in KEYWORDS))
    proxy = proxy_with(tarvodine, xml_files, section)
    run = subprocess.run(["wrk", "-t", "4", "-c", "100", "-d", "5s", "--timeout", "20s", "-s", str(WRK_SCRIPT),
                          f"http://127.0.0.1:{proxy.port}/", "--", origin.url("/small.html"), "proxy"],
                         capture_output=True, text=True, timeout=120)
    figures = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    assert figures, f"wrk gave no figures:\n{run.stdout}\n{run.stderr}"
    load = figures[-1]
    assert load["requests"] > 50, load
    for kind in ("connect", "read", "write", "status", "timeout"):
        assert load[kind] == 0, f"{kind} errors: {load}"
    assert proxy.alive()
    assert "Segmentation" not in proxy.native_log()
    status, headers, body = get(proxy, origin.url("/small.html"))
    assert status.startswith("HTTP/1.1 200") and body == SMALL


def chunked(body: bytes, block: int = 8192) -> bytes:
    return b"".join(b"%x\r\n%s\r\n" % (len(body[at:at + block]), body[at:at + block])
                    for at in range(0, len(body), block)) + b"0\r\n\r\n"


# A body the filter cannot score as text passes as before, but a line in the filter's category
# says which and why, so that the download buffer (64K here) can be sized.
@pytest.mark.parametrize("case, framing, body, logged", [
    ("sized", b"Content-Length: %d\r\n" % len(BLOCKED), BLOCKED,
     "not inspected: larger than the download buffer (65536 bytes)"),
    ("chunked", b"Transfer-Encoding: chunked\r\n", chunked(BLOCKED),
     "not inspected: larger than the download buffer (65536 bytes)"),
    ("undecodable", b"Content-Encoding: gzip\r\nContent-Length: 19\r\n", b"no gzip stream here",
     "inspected as received: its encoding (gzip) did not decode within the download buffer (65536 bytes)"),
], ids=["sized", "chunked", "undecodable"])
def test_a_body_that_cannot_be_scored_passes_with_a_line_naming_it(tarvodine, xml_files, case, framing, body, logged):
    server = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + framing +
                             b"Connection: close\r\n\r\n" + body])
    try:
        general = element("general", GENERAL_GLOBALS, ("rule", dict(GENERAL_RULE, maxdbuffer="64K")))
        proxy = proxy_with(tarvodine, xml_files, general,
                           element("keywords-filtering", {"enabled": "true", "threshold": "10", "template": ""},
                                   keyword("casino", 6), keyword("poker", 5)))
        url = f"http://127.0.0.1:{server.port}/{case}.txt"
        status, _, answer = get(proxy, url)
        assert status.startswith("HTTP/1.1 200"), status
        assert answer == (body if case != "chunked" else BLOCKED)
        assert f"keyword filter: response body of {url} {logged}" in proxy.native_log()
    finally:
        server.stop()
