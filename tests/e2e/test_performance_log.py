"""The performance log: a CSV file with a legend line, then a line of load figures every two
seconds, whose counters follow the load driven through the proxy (nginx as the origin).
"""
import pytest

from conftest import start_listening, wait_until
from counting_origin import Nginx, proxy_get

LEGEND = [
    "Time Stamp (YYYYMMDDhhmmss)", "Elapsed Time", "Client Connections Handled", "Client Connections Closed",
    "Client Transactions Handled", "Client Connections in Pool", "Spare Client Threads", "Client Threads in Use",
    "Client Threads in Waiting", "Threads Starting up", "Threads Reserved for Prefetching", "Threading Errors",
    "Outbound Connections created", "Outbound Connections Failed", "Outbound Connection Pool Reused",
    "Outbound Connections in Pool", "Bytes in (KBytes)", "Bytes Out (KBytes)", "Caching Objects Created in Memory",
    "Caching Objects Removed from Memory", "DNS Queries Reused", "New DNS Queries", "DNS Query failures",
    "Total System Memory (KBytes)", "Free System Memory (KBytes)", "Tarvodine Virtual Memory (KBytes)",
    "Tarvodine Resident Memory (KBytes)", "Tarvodine Shared Memory (KBytes)", "Tarvodine Code Memory (KBytes)",
    "Tarvodine Data Memory (KBytes)", "Tarvodine Library Memory (KBytes)",
]
COLUMN = {name: index for index, name in enumerate(LEGEND)}


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(tmp_path_factory.mktemp("nginx"))
    (server.dir / "www" / "big.bin").write_bytes(b"x" * (256 << 10))
    yield server
    server.stop()


def lines_of(path):
    return path.read_text().splitlines() if path.exists() else []


def figures(line):
    cells = line.split(",")
    assert len(cells) == 31, line
    return [cells[0]] + [int(cell) for cell in cells[1:]]


def start(tarvodine, xml_files, logfile):
    config, section = xml_files
    return start_listening(tarvodine, config, section, "-r", logfile)


def test_counters_follow_the_load(tarvodine, xml_files, tmp_path, nginx):
    logfile = tmp_path / "perf.csv"
    proxy = start(tarvodine, xml_files, logfile)
    lines = wait_until(lambda: len(lines_of(logfile)) >= 2 and lines_of(logfile), what="the first line")
    assert lines[0] == ",".join(LEGEND)
    first = figures(lines[1])
    assert len(first[0]) == 14 and first[0].isdigit()
    assert first[COLUMN["Elapsed Time"]] <= 2
    threads = sum(first[COLUMN[name]] for name in LEGEND[6:11])

    requests = 12
    for _ in range(requests):
        url = f"http://127.0.0.1:{nginx.http_port}/big.bin"
        got = proxy_get(proxy, url, f"127.0.0.1:{nginx.http_port}")
        assert got.status == 200 and len(got.body) == 256 << 10

    def moved():
        rows = [figures(line) for line in lines_of(logfile)[2:]]
        for row in rows:
            if (row[COLUMN["Client Transactions Handled"]] - first[COLUMN["Client Transactions Handled"]] >= requests
                    and row[COLUMN["Client Connections Closed"]] - first[COLUMN["Client Connections Closed"]]
                    >= requests):
                return row
        return None

    last = wait_until(moved, what="a line counting the load")
    assert last[COLUMN["Client Connections Handled"]] >= requests
    assert last[COLUMN["Outbound Connections created"]] >= 1
    # A socket adds its traffic when it ends: each client connection took a 256 KB body away,
    # while the upstream connection may still wait in the pool with what it brought in.
    assert last[COLUMN["Bytes Out (KBytes)"]] >= requests * 256
    assert last[COLUMN["Elapsed Time"]] >= first[COLUMN["Elapsed Time"]]
    assert sum(last[COLUMN[name]] for name in LEGEND[6:11]) == threads
    assert last[COLUMN["Total System Memory (KBytes)"]] >= last[COLUMN["Free System Memory (KBytes)"]] > 0
    assert last[COLUMN["Tarvodine Virtual Memory (KBytes)"]] >= last[COLUMN["Tarvodine Resident Memory (KBytes)"]] > 0


def test_a_restart_appends_to_the_file_without_a_second_legend(tarvodine, xml_files, tmp_path):
    logfile = tmp_path / "perf.csv"
    first = start(tarvodine, xml_files, logfile)
    wait_until(lambda: len(lines_of(logfile)) >= 2, what="the first line")
    first.stop()
    written = len(lines_of(logfile))
    start(tarvodine, xml_files, logfile)
    wait_until(lambda: len(lines_of(logfile)) > written, what="a line after the restart")
    lines = lines_of(logfile)
    assert lines.count(",".join(LEGEND)) == 1
    assert all(len(line.split(",")) == 31 for line in lines)


def test_an_empty_name_writes_no_file(tarvodine, xml_files, tmp_path, nginx):
    proxy = start(tarvodine, xml_files, "")
    got = proxy_get(proxy, f"http://127.0.0.1:{nginx.http_port}/hello.txt", f"127.0.0.1:{nginx.http_port}")
    assert got.status == 200
    assert not list(tmp_path.glob("*.csv")) and not (tmp_path / "performance.log").exists()
