"""The suite's own helpers, where a fault would make other tests fail at random."""
import subprocess
import sys
from pathlib import Path

CHILD = """
import random, sys
sys.path.insert(0, sys.argv[1])
import conftest
random.seed(7)   # both children would draw the same ports
print(" ".join(str(conftest.free_port()) for _ in range(40)), flush=True)
sys.stdin.read()   # hold the ports until the parent has read both lists
"""


def test_free_port_never_gives_one_port_to_two_processes():
    """xdist workers, and suites run side by side, pick ports at the same time; two that get
    one port start their peers on it and talk to each other's processes."""
    children = [subprocess.Popen([sys.executable, "-c", CHILD, str(Path(__file__).parent)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                for _ in range(2)]
    try:
        picked = [set(map(int, child.stdout.readline().split())) for child in children]
    finally:
        for child in children:
            child.stdin.close()
            child.wait(timeout=30)
    assert all(len(ports) == 40 for ports in picked)
    assert not picked[0] & picked[1]
