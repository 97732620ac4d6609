"""Shared by the end-to-end tests of the MIME and keyword filters and the redirect and rewrite
rules: an nginx origin with pages of their own, a proxy whose configuration carries the sections
given, and raw HTTP exchanges that show the framing the client receives."""
import socket
from pathlib import Path
from xml.sax.saxutils import escape

from conftest import section_set, start_listening
from origin import Origin

EVERY_LOG_CATEGORY = str(0xFFFFFFF)
GENERAL_GLOBALS = {"hostname": "localhost", "tempdir": "/tmp", "linelength": "100", "poolsize": "20",
                   "pooltimeout": "30"}
# Servers are asked for compression, so that nginx gzips what it can.
GENERAL_RULE = {"enabled": "true", "comment": "", "profiles": "", "ctimeout": "60", "timeout": "60",
                "keeptimeout": "60", "maxdbuffer": "4M", "maxubuffer": "1M", "bufferwait": "0",
                "cportrange": "443", "encodemime": "", "compressout": "false", "compressin": "true",
                "xforwardedfor": "false", "via": "true"}


def element(name: str, fields: dict, *items) -> str:
    """<name> with its global fields and then the items, each (element name, fields)."""
    text = "".join(f"<{k}>{escape(str(v))}</{k}>" for k, v in fields.items())
    for item_name, values in items:
        text += f"<{item_name}>" + "".join(f"<{k}>{escape(str(v))}</{k}>" for k, v in values.items()) + f"</{item_name}>"
    return f"<{name}>{text}</{name}>"


def origin_with_pages(directory: Path, pages: dict) -> Origin:
    """An nginx origin (no big file) that also serves `pages`, path -> bytes."""
    server = Origin(directory, big=False)
    for path, data in pages.items():
        target = server.dir / "www" / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return server


def proxy_with(tarvodine, xml_files, *sections, wrapper=()):
    """tarvodine with the general rule above and each section element in place of the shipped one;
    `wrapper` is a command prefix."""
    config, section = xml_files
    text = config.read_text()
    text = section_set(text, element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
    for sec in sections:
        text = section_set(text, sec)
    config.write_text(text)
    return start_listening(tarvodine, config, section, "-d", EVERY_LOG_CATEGORY, wrapper=wrapper)


def exchange(proxy, request: bytes):
    """Sends one request (HTTP/1.0 framing is the caller's) and reads to the close: the status
    line, the headers by lower-case name, and the body."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=60) as sock:
        sock.sendall(request)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0], headers, body


def get(proxy, url: str, extra: str = ""):
    return exchange(proxy, f"GET {url} HTTP/1.0\r\n{extra}\r\n".encode())
