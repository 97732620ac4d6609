"""The configuration editor in a real browser (headless chromium through selenium): a URL-filter
rule is added, edited, cloned, moved and deleted with the forms and links of the pages, each
change reaching the next request; a refused value changes nothing; a save and a restart keep the
rules."""
import re

import pytest

from conftest import free_port, start_listening, wait_until
from interface_helpers import USER, PASSWORD, exchange, interface_proxy

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

from test_interface_browser import browser, submit_login  # noqa: E402,F401

CLOSED = free_port()


def blocks(proxy, path) -> bool:
    _, _, body = exchange(proxy.port, f"GET http://127.0.0.1:{CLOSED}{path} HTTP/1.0\r\n\r\n".encode())
    return b"Page Blocked" in body


def comments(driver) -> list:
    return re.findall(r'<td width="20%">Comment</td><td>([^<]*)</td>', driver.page_source)


def expect_rules(driver, expected):
    """Waits for the page that a click or a submit loads to show the rules expected."""
    wait_until(lambda: comments(driver) == expected, what=f"the rules {expected}")


def submit(driver, field_name):
    """Submits the form the named field belongs to (the editor's forms sit inside tables, so the
    fields are owned by the form rather than nested in it)."""
    driver.execute_script("arguments[0].form.requestSubmit()", driver.find_element(By.NAME, field_name))


def fill(driver, values):
    for name, value in values.items():
        field = driver.find_element(By.NAME, name)
        field.clear()
        field.send_keys(value)


def open_form(driver, selector, action):
    """Follows a link to an item form and waits for the form."""
    driver.find_element(By.CSS_SELECTOR, selector).click()
    wait_until(lambda: f'name="action" value="{action}"' in driver.page_source, what=f"the {action} form")


def open_section(driver):
    """Chooses the URL filter in the section list (a typed address carries no Referer, and the
    interface reads no arguments without one)."""
    Select(driver.find_element(By.NAME, "section")).select_by_value("url-filtering")
    driver.find_elements(By.CSS_SELECTOR, "input[type=submit]")[0].click()


def link(driver, text, index=0):
    return [a for a in driver.find_elements(By.LINK_TEXT, text)][index]


def test_rules_edited_in_the_browser(tarvodine, xml_files, browser, tmp_path):
    proxy = interface_proxy(tarvodine, xml_files)
    driver = browser(proxy.port)
    driver.get("http://tarvodine/config")
    submit_login(driver, USER, PASSWORD)
    wait_until(lambda: "Select a Section to Configure" in driver.page_source, what="the configuration page")

    open_section(driver)
    wait_until(lambda: "url-filtering section" in driver.page_source, what="the section page")
    driver.find_element(By.CSS_SELECTOR, "input[name=F0][value=true]").click()
    submit(driver, "F0")
    wait_until(lambda: re.search(r'name="F0" value="true" checked', driver.page_source), what="the section enabled")

    def add(comment, pattern):
        open_form(driver, "a[href$='subsection=deny&dialog=show']", "add")
        fill(driver, {"F1": comment, "F4": pattern})
        submit(driver, "F1")

    add("installers", r"\.exe$")
    expect_rules(driver, ["installers"])
    assert blocks(proxy, "/setup.exe") and not blocks(proxy, "/setup.zip")
    driver.save_screenshot(str(tmp_path / "config-rule.png"))

    # A value of the wrong kind brings the form back with the message and adds nothing.
    open_form(driver, "a[href$='subsection=deny&dialog=show']", "add")
    fill(driver, {"F1": "broken", "F5": "not an address"})
    submit(driver, "F1")
    wait_until(lambda: "<li>Address must be " in driver.page_source, what="the refusal")
    open_section(driver)
    expect_rules(driver, ["installers"])

    open_form(driver, "a[href*='dialog=show&id=']", "edit")
    fill(driver, {"F1": "archives", "F4": r"\.zip$"})
    submit(driver, "F1")
    expect_rules(driver, ["archives"])
    assert blocks(proxy, "/setup.zip") and not blocks(proxy, "/setup.exe")

    add("scripts", r"\.sh$")
    expect_rules(driver, ["archives", "scripts"])
    link(driver, "Top", 1).click()
    expect_rules(driver, ["scripts", "archives"])
    link(driver, "Clone", 1).click()
    expect_rules(driver, ["scripts", "archives", "archives"])
    link(driver, "Delete", 2).click()
    expect_rules(driver, ["scripts", "archives"])
    link(driver, "Delete", 1).click()
    expect_rules(driver, ["scripts"])
    assert blocks(proxy, "/run.sh") and not blocks(proxy, "/a.zip")

    driver.get("http://tarvodine/save")
    wait_until(lambda: "Save settings" in driver.page_source, what="the save form")
    assert driver.find_element(By.NAME, "filename").get_attribute("value") == str(xml_files[0])
    submit(driver, "filename")
    wait_until(lambda: "File saved" in driver.page_source, what="the save")

    proxy.stop()
    restarted = start_listening(tarvodine, xml_files[0], xml_files[1])
    assert blocks(restarted, "/run.sh") and not blocks(restarted, "/a.zip")
