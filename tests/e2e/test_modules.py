"""Loadable modules in the real daemon: a module built by the tests registers a section, which the
configuration file fills and the editor shows and changes, and a request-check callback; broken
modules are logged and skipped while the proxy runs on."""
import os
import shutil
import urllib.parse
from pathlib import Path

from conftest import free_port, section_set, start_listening, wait_until
from interface_helpers import PASSWORD, USER, ask, exchange, header, interface_proxy
from rules_helpers import EVERY_LOG_CATEGORY

REFERER = "Referer: http://tarvodine/\r\n"
SOURCE = Path(os.environ.get("TARVODINE_SOURCE", Path(__file__).resolve().parents[2]))


def module_library() -> Path:
    if "TARVODINE_MODULE" in os.environ:
        return Path(os.environ["TARVODINE_MODULE"])
    return Path(os.environ["TARVODINE_BIN"]).parent / "tests" / "libsample.so"


def module_directory(tmp_path) -> Path:
    """The sample module, the same library under names that must fail in each way, and names
    that must not be tried at all."""
    directory = tmp_path / "modules"
    directory.mkdir()
    library = module_library()
    definition = SOURCE / "tests" / "modules" / "sample.xml"
    shutil.copy(library, directory / "libsample.so")
    shutil.copy(definition, directory / "sample.xml")
    shutil.copy(library, directory / "librefuse.so")      # its load function answers false
    shutil.copy(definition, directory / "refuse.xml")
    shutil.copy(library, directory / "nodef.so")          # no definition file
    shutil.copy(library, directory / "libnoload.so")      # no noload_load
    (directory / "garbage.so").write_text("not a library\n")
    shutil.copy(library, directory / "libskipped.so.1")
    shutil.copy(library, directory / "skipped.SO")
    (directory / "dir.so").mkdir()
    return directory


def test_module_registers_a_section_and_a_callback(tarvodine, xml_files, tmp_path):
    directory = module_directory(tmp_path)
    config, _ = xml_files
    config.write_text(section_set(config.read_text(),
                                  "<sample><enabled>true</enabled><word><text>hello</text></word></sample>"))
    proxy = interface_proxy(tarvodine, xml_files, extra=("-m", f"{directory}/"))
    log = proxy.native_log
    assert f"loaded {directory}/libsample.so" in log()
    assert f"error: failed to load {directory}/librefuse.so" in log()
    assert f"when parsing {directory}/nodef.xml" in log()
    assert f"loading {directory}/libnoload.so " in log()
    assert f"failed to load {directory}/garbage.so" in log()
    for name in ("libskipped.so.1", "skipped.SO", "dir.so"):
        assert name not in log(), name

    closed = free_port()
    exchange(proxy.port, f"GET http://127.0.0.1:{closed}/ HTTP/1.0\r\n\r\n".encode())
    wait_until(lambda: "sample module: request seen, enabled 1, words hello;" in log(), what="the module's callback")

    # The module's section is edited like any other, and the callback sees the change.
    status, headers, _ = ask(proxy, "/config", "POST", f"username={USER}&password={PASSWORD}".encode(), REFERER)
    cookie = f"Cookie: {header(headers, 'set-cookie').split(';')[0]}\r\n"
    _, _, page = ask(proxy, "/config", extra=cookie)
    assert b'<option value="sample">Sample module' in page
    form = urllib.parse.urlencode({"section": "sample", "subsection": "word", "action": "add", "F0": "world"})
    _, _, page = ask(proxy, "/config", "POST", form.encode(), cookie + REFERER)
    assert b"hello" in page and b"world" in page
    exchange(proxy.port, f"GET http://127.0.0.1:{closed}/ HTTP/1.0\r\n\r\n".encode())
    wait_until(lambda: "words hello;world;" in log(), what="the edited words")


def test_missing_module_directory_is_logged(tarvodine, xml_files, tmp_path):
    config, section = xml_files
    proxy = start_listening(tarvodine, config, section, "-m", f"{tmp_path}/none/", "-d", EVERY_LOG_CATEGORY)
    assert f"error: cannot read module directory {tmp_path}/none/" in proxy.native_log()
    status, _, _ = exchange(proxy.port, b"GET http://tarvodine/xml HTTP/1.0\r\n\r\n")
    assert status.startswith("HTTP/1.1 ")
