"""Headless chromium from Debian for the browser tests, driven through selenium."""
import base64
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from conftest import free_port


def headless_chromium(directory: Path, condition: str, proxy_port: int):
    """A chromium whose PAC file sends the hosts for which the JavaScript `condition` holds (on
    `host`) to the proxy and everything else to a port where nothing listens, so that no request
    of the browser's own leaves the machine. The caller quits it."""
    dead = free_port()
    pac = ('function FindProxyForURL(url, host) {\n'
           f'  if ({condition}) return "PROXY 127.0.0.1:{proxy_port}";\n'
           f'  return "PROXY 127.0.0.1:{dead}";\n'
           '}\n')
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-features=NetworkTimeServiceQuerying", "--window-size=1000,800",
                "--user-data-dir=" + tempfile.mkdtemp(dir=directory),
                "--proxy-pac-url=data:application/x-ns-proxy-autoconfig;base64," +
                base64.b64encode(pac.encode()).decode()]:
        opts.add_argument(arg)
    service = Service("/usr/bin/chromedriver", log_output=str(Path(directory) / "chromedriver.log"))
    driver = webdriver.Chrome(service=service, options=opts)
    driver.set_page_load_timeout(60)
    return driver
