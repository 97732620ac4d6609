"""What every benchmark needs: free ports, and a release tarvodine started on the shipped
configuration (its fixed listeners removed, so it listens only where the benchmark says)."""
import re
import shlex
import signal
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from conftest import free_port, wait_port  # noqa: E402


class Proxy:
    """tarvodine in the foreground in WORK, listening on a free loopback port; stop() ends it."""

    def __init__(self, binary: str, work: Path, extra_args: str = "", edit=None):
        """edit, when given, takes the configuration's text and returns the text to run with."""
        self.port = free_port()
        config = work / "tarvodine.xml"
        shipped = (SOURCE / "etc" / "tarvodine.xml").read_text()
        text = re.sub(r"\s*<listen>.*?</listen>", "", shipped, flags=re.S)
        config.write_text(edit(text) if edit is not None else text)
        self._out = open(work / "tarvodine.out", "wb")
        self.process = subprocess.Popen(
            [str(Path(binary).resolve()), "-f", "-c", str(config), "-s", str(SOURCE / "etc" / "section.xml"),
             "-L", f"127.0.0.1:{self.port}", "-l", str(work / "native.log"), "-d", "0"]
            + shlex.split(extra_args),
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
