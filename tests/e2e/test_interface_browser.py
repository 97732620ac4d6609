"""The web interface in a real browser: Debian's headless chromium driven through selenium, with
a PAC file that sends the interface host, and nothing else, to the proxy. Screenshots of the
main pages are left in the test's directory."""

import pytest

from interface_helpers import PASSWORD, USER, interface_proxy

webdriver = pytest.importorskip("selenium.webdriver")
from chromium import headless_chromium  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

# Every page of the menu that is built, with a text the page always shows.
PAGES = [
    ("connections", "Transferring"),
    ("stats", "memory resident"),
    ("dnscache", "Hostname"),
    ("headers", "Unfiltered"),
    ("pool", "Connection pool"),
    ("log", "Regular expression match"),
    ("prefetch", "Add URL to prefetch queue"),
    ("urlbl", "Search URL blacklist"),
]


@pytest.fixture
def browser(tmp_path):
    """A factory: browser(proxy_port) gives a headless chromium whose PAC file sends the host
    "tarvodine" to the proxy and everything else to a port where nothing listens, so that no
    request of the browser's own leaves the machine."""
    drivers = []

    def start(port):
        driver = headless_chromium(tmp_path, 'host == "tarvodine"', port)
        drivers.append(driver)
        return driver

    yield start
    for driver in drivers:
        driver.quit()


def submit(driver):
    """Submits the page's form and waits for the answer to replace the page: a click may return
    before the browser has left the page it was on."""
    button = driver.find_element(By.CSS_SELECTOR, "input[type=submit]")
    button.click()

    def left(_):
        try:
            button.is_enabled()
            return False
        except StaleElementReferenceException:
            return True
        except WebDriverException as error:
            # Asked while the page is being replaced, chromedriver can answer with its inspector's
            # own words for the same thing.
            if "does not belong to the document" in str(error):
                return True
            raise
    WebDriverWait(driver, 60).until(left)


def submit_login(driver, user, password):
    driver.find_element(By.NAME, "username").send_keys(user)
    driver.find_element(By.NAME, "password").send_keys(password)
    submit(driver)


def test_browser_logs_in_and_walks_every_status_page(tarvodine, xml_files, browser, tmp_path):
    proxy = interface_proxy(tarvodine, xml_files)
    driver = browser(proxy.port)

    # A page without login shows the login form in its place.
    driver.get("http://tarvodine/dnscache")
    assert "Web interface login" in driver.page_source
    assert driver.title.startswith("Tarvodine ") and "web interface for localhost" in driver.title
    driver.save_screenshot(str(tmp_path / "login.png"))

    submit_login(driver, USER, PASSWORD + "x")
    assert "Web interface login" in driver.page_source
    assert driver.get_cookie("login") is None

    submit_login(driver, USER, PASSWORD)
    assert "Top Menu" in driver.page_source
    assert "Hostname" in driver.page_source
    cookie = driver.get_cookie("login")
    assert cookie is not None and cookie["path"] == "/"
    token = cookie["value"]

    for page, shows in PAGES:
        driver.find_element(By.LINK_TEXT, dict(MENU_LABELS)[page]).click()
        assert driver.current_url == f"http://tarvodine/{page}"
        assert shows in driver.page_source, page
        assert "Web interface login" not in driver.page_source, page
        driver.save_screenshot(str(tmp_path / f"{page}.png"))
        # Every page renews the same cookie.
        assert driver.get_cookie("login")["value"] == token

    # The browser's own request headers, listed with alternating rows.
    driver.get("http://tarvodine/headers")
    rows = driver.find_elements(By.CSS_SELECTOR, "table.list tr.listeven, table.list tr.listodd")
    names = [row.find_elements(By.TAG_NAME, "td")[0].text for row in rows]
    assert "User-Agent" in names and "Cookie" in names
    classes = [row.get_attribute("class") for row in rows]
    assert classes[:2] == ["listeven", "listodd"]

    # A search through the log page's form: the arguments arrive with the POST and its Referer.
    driver.get("http://tarvodine/log")
    field = driver.find_element(By.NAME, "pattern")
    field.send_keys("request for web interface")
    submit(driver)
    assert driver.find_element(By.NAME, "pattern").get_attribute("value") == "request for web interface"
    lines = [row.text for row in driver.find_elements(By.CSS_SELECTOR, "table.list tr.listeven, table.list tr.listodd")]
    assert lines and all("request for web interface" in line for line in lines)
    driver.save_screenshot(str(tmp_path / "log-search.png"))


MENU_LABELS = [
    ("connections", "Active connections"), ("stats", "Statistics"), ("dnscache", "DNS cache"),
    ("headers", "Show headers"), ("pool", "Connection pool"), ("prefetch", "Prefetch queue"),
    ("urlbl", "URL blacklist"), ("log", "View log entries"),
]
