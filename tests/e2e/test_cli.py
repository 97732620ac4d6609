import os
import subprocess


def test_starts_without_arguments():
    proc = subprocess.run([os.environ["TARVODINE_BIN"]], capture_output=True, timeout=30)
    assert proc.returncode == 0
