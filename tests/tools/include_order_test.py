"""The include-order check on small trees: each case is a fault it must report, or a layout it
must let through."""

import subprocess
import sys
from pathlib import Path

import pytest

CHECK = Path(__file__).resolve().parent / "include_order.py"


def run(tmp_path, files, allow=""):
    """Writes the files (path under src/ -> its includes) and the allow-list, runs the check."""
    for name, included in files.items():
        path = tmp_path / "src" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(f'#include "{header}"\n' for header in included) + "int x;\n")
    allow_path = tmp_path / "include_order.allow"
    allow_path.write_text(allow)
    done = subprocess.run([sys.executable, str(CHECK), "--root", str(tmp_path), "--allow", str(allow_path)],
                          capture_output=True, text=True, check=False)
    return done.returncode, done.stdout


# Headers every case can name.
BASE = {"util/log.h": [], "core/global.h": [], "http/header.h": [], "ftp/ftplist.h": [], "policy/filter.h": [],
        "cache/cache.h": [], "inspect/external.h": [], "admin/interface.h": [], "daemon/signals.h": []}


@pytest.mark.parametrize("files, allow, problems", [
    # Down the order, within a folder and among the three side-by-side folders.
    ({"daemon/main.cpp": ["admin/interface.h", "util/log.h"], "http/header.cpp": ["http/header.h"],
      "policy/filter.cpp": ["cache/cache.h", "inspect/external.h"]}, "", []),
    # The request road may reach the FTP and feature folders, .h and .cpp alike.
    ({"http/request.cpp": ["ftp/ftplist.h", "policy/filter.h", "cache/cache.h"],
      "http/transfer.h": ["inspect/external.h"], "ftp/proto_ftp.cpp": ["cache/cache.h"]}, "", []),
    # ... but not further up, and no other http file may.
    ({"http/request.cpp": ["admin/interface.h"], "http/header.cpp": ["policy/filter.h"]}, "",
     ["upward include: src/http/request.cpp -> admin/interface.h",
      "upward include: src/http/header.cpp -> policy/filter.h"]),
    ({"util/log.cpp": ["core/global.h"], "core/global.h": ["daemon/signals.h"]}, "",
     ["upward include: src/util/log.cpp -> core/global.h",
      "upward include: src/core/global.h -> daemon/signals.h"]),
    # A listed include passes; an entry nothing needs any more fails.
    ({"util/log.cpp": ["core/global.h"]}, "# reason\nsrc/util/log.cpp -> core/global.h\n", []),
    ({"util/log.cpp": ["util/log.h"]}, "src/util/log.cpp -> core/global.h  # gone\n",
     ["allow-list entry no longer needed, remove it: src/util/log.cpp -> core/global.h"]),
    ({}, "src/util/log.cpp core/global.h\n",
     ["include_order.allow:1: not a 'src/a/b.cpp -> c/d.h' pair: src/util/log.cpp core/global.h"]),
    # A project header names its folder; a quoted header that is not ours is left alone.
    ({"http/header.cpp": ["log.h", "vendor_config.h"]}, "",
     ["include without its folder: src/http/header.cpp -> log.h (write util/log.h)"]),
    # A folder the order does not know fails until it is given its place.
    ({"http/header.cpp": ["extra/thing.h"], "extra/thing.h": []}, "",
     ["outside the known folders: src/extra/thing.h",
      "include of an unknown folder: src/http/header.cpp -> extra/thing.h"]),
])
def test_include_order(tmp_path, files, allow, problems):
    rc, out = run(tmp_path, {**BASE, **files}, allow)
    listed = [line for line in out.splitlines() if "include-order problem" not in line]
    assert sorted(listed) == sorted(problems), out
    assert rc == (1 if problems else 0), out
