"""A clock the test moves for the proxy: libfaketime preloaded, its time read from a file that
the test rewrites, so that the cache's start-up hold-off and freshness lifetimes pass without
waiting."""
import os
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

FAKETIME_LIB = Path("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1")
START = datetime(2031, 1, 1, tzinfo=timezone.utc)
# The cache takes nothing for its first 180 seconds.
HOLDOFF = 181


class Clock:
    def __init__(self, directory: Path):
        self.file = Path(directory) / "faketime"
        self.offset = 0
        self._write()

    def _write(self):
        when = START + timedelta(seconds=self.offset)
        temporary = self.file.with_suffix(".new")
        temporary.write_text("@" + when.strftime("%Y-%m-%d %H:%M:%S") + "\n")
        os.replace(temporary, self.file)

    def advance(self, seconds: int):
        self.offset += seconds
        self._write()

    @property
    def start(self) -> int:
        return int(START.timestamp())

    def wrapper(self, *more):
        """A command prefix that runs the rest under this clock (before any other wrapper)."""
        asan = os.environ.get("ASAN_OPTIONS", "")
        return ["env", f"ASAN_OPTIONS={asan}:verify_asan_link_order=0", f"LD_PRELOAD={FAKETIME_LIB}",
                f"FAKETIME_TIMESTAMP_FILE={self.file}", "FAKETIME_NO_CACHE=1",
                "FAKETIME_DONT_FAKE_MONOTONIC=1", *more]
