"""Site categories against a real dnsmasq answering MX records of the category zone: a score
inside a rule's range adds a profile, which a redirect rule for that profile then shows as a 302;
answers fill the cache file, hints files override it, and the interface host and requests
without a host are never looked up."""
import base64

import pytest

from conftest import free_port, wait_port
from rules_helpers import (EVERY_LOG_CATEGORY, GENERAL_GLOBALS, GENERAL_RULE, element, get, origin_with_pages,
                           section_set)

ZONE = "grade.tarvodine.net"
SITE = "site.test"
PAGE = b"the site itself\n"
BLOCKED = "http://blocked.invalid/"


@pytest.fixture(scope="module")
def origin(tmp_path_factory):
    server = origin_with_pages(tmp_path_factory.mktemp("nginx"), {"/page.html": PAGE})
    yield server
    server.stop()


def records(*answers):
    """The site's address, and an MX record per (category, score) under the category zone."""
    return [f"host-record={SITE},127.0.0.1"] + [f"mx-host={SITE}.{ZONE},{name},{score}" for name, score in answers]


def rule(categories: str, score_range: str, add: str = "graded", remove: str = "", profiles: str = "") -> tuple:
    return ("rule", {"enabled": "true", "comment": "", "log": "true", "profiles": profiles, "categories": categories,
                     "range": score_range, "add": add, "remove": remove})


def start(tarvodine, xml_files, zone, hints, *rules, redirect_profile="graded"):
    """tarvodine resolving through the zone, with the rules, and a redirect rule that answers every
    request of a connection carrying redirect_profile with a 302 to BLOCKED."""
    config, section = xml_files
    text = config.read_text()
    text = section_set(text, element("general", GENERAL_GLOBALS, ("rule", GENERAL_RULE)))
    text = section_set(text, element("siteGrade", {"enabled": "true", "hintsdir": hints}, *rules))
    # Set once: a redirect item shares its section's element name, so the section is not replaced.
    if BLOCKED not in text:
        text = section_set(text, element("redirect", {"enabled": "true"}, (
            "redirect", {"enabled": "true", "comment": "", "profiles": redirect_profile, "url": ".*",
                         "redirect": BLOCKED, "port": "-1", "send302": "1", "options": "0", "applyto": "1"})))
    config.write_text(text)
    port = free_port()
    proxy = tarvodine("-c", config, "-s", section, "-L", f"127.0.0.1:{port}", "-d", EVERY_LOG_CATEGORY,
                      wrapper=zone.wrapper)
    wait_port(port)
    proxy.port = port
    return proxy


def graded(proxy, origin, host=SITE) -> bool:
    """True when the request was answered with the redirect for the added profile, False when
    it reached the origin."""
    status, headers, body = get(proxy, f"http://{host}:{origin.port}/page.html")
    if status.startswith("HTTP/1.1 302"):
        assert headers["location"] == BLOCKED
        return True
    assert status.startswith("HTTP/1.1 200"), status
    assert body == PAGE
    return False


def mx_queries(zone) -> int:
    return zone.queries().count(f"query[MX] {SITE}.{ZONE}")


def cache_lines(hints) -> list:
    path = hints / "sitegrade.cache"
    return [base64.b64decode(line).decode() for line in path.read_text().splitlines()] if path.exists() else []


# A category that some answer named is cached, so the second pass does not ask again; one that no
# answer named is asked for by both passes.
@pytest.mark.parametrize("categories, score_range, fires, queries", [
    ("adult", "20-40", True, 1),
    ("adult", "30", True, 1),          # a single number is the only score that fires
    ("adult", "31-40", False, 1),
    ("adult", "20-29", False, 1),
    ("ADULT", "30", True, 1),          # categories are compared without regard to case
    ("news,adult", "30-30", True, 1),  # the second category fires although the first is out of range
    ("unknown", "0-65535", False, 2),  # no answer names it
])
def test_a_score_inside_the_range_adds_the_profile(tarvodine, xml_files, dns_zone, origin, tmp_path,
                                                   categories, score_range, fires, queries):
    zone = dns_zone(records(("adult", 30), ("news", 70)))
    proxy = start(tarvodine, xml_files, zone, tmp_path / "hints", rule(categories, score_range))
    assert graded(proxy, origin) == fires
    assert mx_queries(zone) == queries


def test_answers_are_cached_in_memory_and_in_the_cache_file(tarvodine, xml_files, dns_zone, origin, tmp_path):
    hints = tmp_path / "hints"
    hints.mkdir()
    zone = dns_zone(records(("adult", 30), ("news", 70), ("Sports", 5)))
    proxy = start(tarvodine, xml_files, zone, hints, rule("adult", "20-40"))
    # The first start finds no cache file, says so, and then creates it for appending.
    assert "failed to open ccs cache" in proxy.native_log()
    assert (hints / "sitegrade.cache").exists()

    assert graded(proxy, origin) and graded(proxy, origin)
    assert mx_queries(zone) == 1
    # Every answer is kept, also those no rule asked for.
    assert sorted(cache_lines(hints)) == sorted(f"{SITE}.{name}.{ZONE}\t{score}"
                                                for name, score in (("adult", 30), ("news", 70), ("sports", 5)))
    assert f"siteGrade: cache updated for: site: {SITE} scored: 30 in category: adult" in proxy.native_log()
    proxy.stop()

    # After a restart the cache file answers and the service is not asked again.
    again = start(tarvodine, xml_files, zone, hints, rule("sports", "1-9"))
    assert f"read from {hints}/sitegrade.cache, records: 3" in again.native_log()
    assert graded(again, origin)
    assert mx_queries(zone) == 1
    assert len(cache_lines(hints)) == 3
    assert f"sitegrade: cache hit! site: {SITE} scored: 5 in category: sports, matches required range" \
        in again.native_log()


def test_a_hints_file_overrides_the_service_and_a_zero_leaves_the_key_free(tarvodine, xml_files, dns_zone, origin,
                                                                           tmp_path):
    hints = tmp_path / "hints"
    hints.mkdir()
    (hints / "local.sitegrade").write_text(f"{SITE}.adult.{ZONE}\t90\n{SITE}.news.{ZONE}\t0\nnot a record\n")
    zone = dns_zone(records(("adult", 30), ("news", 70)))
    proxy = start(tarvodine, xml_files, zone, hints, rule("adult", "20-40"), rule("news", "70", add="newsy"),
                  redirect_profile="newsy")
    assert f"read from {hints}/local.sitegrade, records: 2" in proxy.native_log()
    # adult scores 90 from the hints: out of range, no lookup for it; news has a 0 hint, so the
    # service is asked and its 70 fires the second rule.
    assert graded(proxy, origin)
    assert mx_queries(zone) == 1
    assert "scored: 90 in category: adult, Does Not Match required range" in proxy.native_log()


def test_the_interface_host_and_a_request_without_host_are_never_looked_up(tarvodine, xml_files, dns_zone, origin,
                                                                           tmp_path):
    zone = dns_zone(records(("adult", 30)))
    proxy = start(tarvodine, xml_files, zone, tmp_path / "hints", rule("adult", "0-65535"))
    get(proxy, "http://tarvodine/")
    get(proxy, "/page.html")
    assert "query[MX]" not in zone.queries()
    # A host's final dot does not change what is asked.
    assert graded(proxy, origin, host=SITE + ".")
    assert mx_queries(zone) == 1


def test_a_failed_lookup_is_logged_and_remembered(tarvodine, xml_files, dns_zone, origin, tmp_path):
    zone = dns_zone(records())
    proxy = start(tarvodine, xml_files, zone, "", rule("adult", "0-65535"), rule("news", "0-65535"))
    assert not graded(proxy, origin)
    assert not graded(proxy, origin)
    assert proxy.native_log().count(f"siteGrade: failed to lookup site: {SITE}") == 1
    # Neither the other rule, nor the second pass, nor the next request waits for the service
    # again while the failure is remembered.
    assert mx_queries(zone) == 1
