"""Shared by the end-to-end tests of the web interface: a proxy whose one access rule grants the
interface to 127.0.0.1 with an account, and raw exchanges with it."""
import socket
import xml.etree.ElementTree as ET

from conftest import start_listening
from rules_helpers import EVERY_LOG_CATEGORY

USER = "admin"
PASSWORD = "pw-Zq81x"

ACCESS_RULE = {"enabled": "true", "comment": "Administrator", "log": "false", "interfaces": "",
               "clients": "127.0.0.1", "pam": "false", "username": "", "password": "",
               "access": "interface,proxy", "bypass": "", "interfaceuser": USER,
               "interfacepassword": PASSWORD, "profiles": ""}


def interface_proxy(tarvodine, xml_files, extra=(), wrapper=(), **rule):
    """tarvodine with the interface granted to 127.0.0.1 (fields of the rule overridable), logging
    every category; `extra` are further command-line arguments, `wrapper` a command prefix."""
    config, section = xml_files
    fields = dict(ACCESS_RULE, **rule)
    # The section holds a field of its own name, so it is replaced through a parser.
    tree = ET.parse(config)
    root = tree.getroot()
    for old in root.findall("access"):
        root.remove(old)
    access = ET.SubElement(root, "access")
    ET.SubElement(access, "order").text = "allow_deny"
    allow = ET.SubElement(access, "allow")
    for name, value in fields.items():
        ET.SubElement(allow, name).text = value
    tree.write(config)
    return start_listening(tarvodine, config, section, "-d", EVERY_LOG_CATEGORY, *extra, wrapper=wrapper)


def exchange(port, request: bytes):
    """One request, read to the close: (status line, [(name, value)], body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        sock.sendall(request)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.append((name.strip().lower(), value.strip()))
    return lines[0], headers, body


def header(headers, name):
    values = [v for n, v in headers if n == name]
    return values[0] if values else None


def ask(proxy, path, method="GET", body=b"", extra=""):
    """A request for the interface through the proxy, HTTP/1.0 so that it ends with the answer."""
    request = f"{method} http://tarvodine{path} HTTP/1.0\r\n{extra}"
    if method == "POST":
        request += f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {len(body)}\r\n"
    return exchange(proxy.port, request.encode() + b"\r\n" + body)
