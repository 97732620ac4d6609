"""The URL-command pages in a real browser: Debian's headless chromium driven through selenium,
with a PAC file that sends only the hosts carrying URL commands to the proxy. Each page is
rendered once and left as a screenshot in the test's directory."""

import pytest

from conftest import free_port, wait_port
from counting_origin import Nginx

webdriver = pytest.importorskip("selenium.webdriver")
from chromium import headless_chromium  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

# command, path, title (after the host and path), a text the rendered page shows
PAGES = [
    ("headers", "/hello.txt", "HTTP headers to/from", "Server header"),
    ("raw", "/markup.html", "Raw contents of", "<b>bold</b>"),
    ("variables", "/hello.txt", "Variables for", "HTTP_HOST"),
    ("limits", "/hello.txt", "Transfer limits for", "Download limit"),
    ("profiles", "/hello.txt", "Active profiles for", ""),
    ("proxytest", "/hello.txt", "Proxy test for", "Not forwarding through HTTP proxy"),
    ("htmltree", "/markup.html", "HTML tree for", '"bold"'),
    ("cache", "/hello.txt", "Cache information for", "Nothing found"),
]


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path / "nginx")
    (server.dir / "www" / "markup.html").write_bytes(b"<html><body><b>bold</b></body></html>\n")
    yield server
    server.stop()


@pytest.fixture
def proxy(tarvodine, xml_files, dns_zone):
    """The proxy, resolving the origin's name "origin.test" to the loopback address: the
    browser takes a host ending in a number for an address, and keeps ".localhost" to itself."""
    zone = dns_zone(["host-record=origin.test,127.0.0.1"])
    config, section = xml_files
    port = free_port()
    started = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", wrapper=zone.wrapper)
    wait_port(port)
    started.port = port
    return started


@pytest.fixture
def driver(tmp_path, proxy):
    started = headless_chromium(tmp_path, 'shExpMatch(host, "xx--*")', proxy.port)
    yield started
    started.quit()


def test_every_command_page_renders(driver, nginx, tmp_path):
    for command, path, title, text in PAGES:
        host = f"xx--{command}.origin.test"
        driver.get(f"http://{host}:{nginx.http_port}{path}")
        if command == "cache":
            assert driver.title == f"{title} http://origin.test:{nginx.http_port}{path}"
        else:
            assert driver.title == f"{title} origin.test{path}"
        body = driver.find_element(By.TAG_NAME, "body").text
        # Escaped markup shows as text, never as an element.
        assert text in body, (command, body[:500])
        assert not driver.find_elements(By.TAG_NAME, "b") or command == "variables"
        driver.save_screenshot(str(tmp_path / f"{command}.png"))


def test_the_cookies_page_renders_the_cookies_as_text(driver, tmp_path):
    from echo_origin import EchoOrigin

    origin = EchoOrigin([("Set-Cookie", "n=<b>x</b>; Path=/shop; expires=Wed, 09 Jun 2027 10:18:14 GMT")])
    try:
        driver.get(f"http://xx--cookies.origin.test:{origin.port}/page")
        assert driver.title == "Cookies for origin.test/page"
        body = driver.find_element(By.TAG_NAME, "body").text
        for shown in ["Received cookie", "Expires Wed, 09-Jun-2027 10:18:14 GMT", "Path /shop", "n <b>x</b>"]:
            assert shown in body, (shown, body[:500])
        assert not driver.find_elements(By.TAG_NAME, "b")
        driver.save_screenshot(str(tmp_path / "cookies.png"))
    finally:
        origin.stop()
