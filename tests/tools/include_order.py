#!/usr/bin/python3
"""The include order of src/: no file includes a header of a folder above its own.

Folders from the lowest: util, core, config, net, http, ftp, then policy, cache and inspect side
by side, admin, daemon. The request road (http/request, response, protocol, proto_http, body,
connect, transfer and ftp/proto_ftp) may also include ftp, policy, cache and inspect headers.
Every other upward include must be listed in include_order.allow, which only shrinks: an entry
that is no longer needed fails the check too. Project headers are included with their folder.

Usage: include_order.py [--root REPO] [--allow FILE]; exit status 1 lists every problem.
"""

import argparse
import re
import sys
from pathlib import Path

RANKS = {
    "util": 0,
    "core": 1,
    "config": 2,
    "net": 3,
    "http": 4,
    "ftp": 5,
    "policy": 6,
    "cache": 6,
    "inspect": 6,
    "admin": 7,
    "daemon": 8,
}

ROAD = {
    "http/request", "http/response", "http/protocol", "http/proto_http", "http/body", "http/connect",
    "http/transfer", "ftp/proto_ftp",
}
ROAD_REACHES = {"ftp", "policy", "cache", "inspect"}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = {".cpp", ".h"}


def sources(src):
    """(file as "src/a/b.cpp", its quoted includes in order) for every source file under src."""
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        yield path.relative_to(src.parent).as_posix(), [m.group(1) for m in map(INCLUDE.match, lines) if m]


def read_allow(path):
    """The allowed pairs ("src/a/b.cpp", "c/d.h") and the lines that are not one."""
    allowed, malformed = [], []
    if not path.exists():
        return allowed, malformed
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        entry = line.split("#", 1)[0].strip()
        if not entry:
            continue
        parts = [part.strip() for part in entry.split("->")]
        if len(parts) != 2 or not all(parts):
            malformed.append(f"{path.name}:{number}: not a 'src/a/b.cpp -> c/d.h' pair: {line.strip()}")
            continue
        allowed.append((parts[0], parts[1]))
    return allowed, malformed


def upward(source, header):
    """True when source ("src/a/b.cpp") including header ("c/d.h") goes up the order."""
    folder = source.split("/")[1]
    target = header.split("/")[0]
    if RANKS[target] <= RANKS[folder]:
        return False
    stem = source[len("src/"):].rsplit(".", 1)[0]
    return not (stem in ROAD and target in ROAD_REACHES)


def check(root, allow_path):
    src = root / "src"
    headers = {path.name: path.relative_to(src).as_posix() for path in src.rglob("*.h")}
    allowed, problems = read_allow(allow_path)
    needed = set()
    for source, included in sources(src):
        folder = source.split("/")[1] if source.count("/") >= 2 else ""
        if folder not in RANKS:
            problems.append(f"outside the known folders: {source}")
            continue
        problems += include_problems(source, included, headers, allowed, needed)
    for source, header in allowed:
        if (source, header) not in needed:
            problems.append(f"allow-list entry no longer needed, remove it: {source} -> {header}")
    return list(dict.fromkeys(problems))


def include_problems(source, included, headers, allowed, needed):
    """What is wrong with the includes of one file; the allow-list entries it uses go to needed."""
    problems = []
    for header in included:
        if "/" not in header:
            if header in headers:
                problems.append(f"include without its folder: {source} -> {header} (write {headers[header]})")
            continue
        target = header.split("/")[0]
        if target not in RANKS:
            problems.append(f"include of an unknown folder: {source} -> {header}")
            continue
        if not upward(source, header):
            continue
        if (source, header) in allowed:
            needed.add((source, header))
        else:
            problems.append(f"upward include: {source} -> {header}")
    return problems


def main():
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=here.parent.parent, help="the repository")
    parser.add_argument("--allow", type=Path, default=here / "include_order.allow", help="the allow-list")
    args = parser.parse_args()
    problems = check(args.root, args.allow)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include-order problem(s); the order is described in src/README.md")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
