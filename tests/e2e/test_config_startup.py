"""Start-up with the two XML files: a definition file that does not parse, a value of the wrong
type, and a section missing from the configuration."""
import re

import pytest

from conftest import free_port, section_set, wait_port


def run_to_end(tarvodine, config, section, *extra):
    proxy = tarvodine("-c", str(config), "-s", str(section), "-L", f"127.0.0.1:{free_port()}", *extra)
    return proxy, proxy.wait(timeout=60)


@pytest.mark.parametrize("broken, error", [
    ("<sections><general></sections>", "Error reading end tag"),
    ("", "Error document empty"),
])
def test_definition_file_that_does_not_parse_stops_start_up(tarvodine, xml_files, broken, error):
    config, section = xml_files
    section.write_text(broken)
    proxy, status = run_to_end(tarvodine, config, section)
    assert status == 1
    assert f"Please correct errors in section.xml: {error}" in proxy.output()
    assert f"error: Error when parsing section.xml: {error}" in proxy.native_log()


def test_value_of_the_wrong_type_stops_start_up(tarvodine, xml_files):
    config, section = xml_files
    config.write_text(section_set(config.read_text(), "<general><linelength>ten</linelength></general>"))
    proxy, status = run_to_end(tarvodine, config, section)
    assert status != 0
    log = proxy.native_log()
    assert ("flawed XML file, section general, element : linelength must be an integer, "
            "but it is given value ten") in log
    assert "System Unstable: Please Restart" in log


def test_section_missing_from_the_configuration_keeps_its_defaults(tarvodine, xml_files):
    # The shipped configuration names only a few sections: every other one, the FTP section
    # among them, starts from its declared defaults and the proxy serves.
    config, section = xml_files
    assert "<ftp>" not in config.read_text()
    port = free_port()
    proxy = tarvodine("-c", str(config), "-s", str(section), "-L", f"127.0.0.1:{port}")
    wait_port(port)
    assert proxy.alive()
    assert not re.search(r"flawed XML file|failed to load configuration", proxy.native_log())
