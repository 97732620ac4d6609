"""The configuration pages through the real proxy: rules of the URL filter added, edited, cloned,
moved and deleted with the editor's forms take effect on the next request, refused values change
nothing, and a saved configuration starts the proxy again with the edits."""
import re
import urllib.parse

from conftest import free_port, start_listening
from interface_helpers import PASSWORD, USER, ask, exchange, header, interface_proxy

REFERER = "Referer: http://tarvodine/\r\n"
RULE = {"F0": "true", "F1": "", "F2": "", "F3": "", "F4": "", "F5": "", "F6": ""}


class Admin:
    """A logged-in administrator of one proxy."""

    def __init__(self, proxy):
        self.proxy = proxy
        status, headers, _ = ask(proxy, "/config", "POST", f"username={USER}&password={PASSWORD}".encode(), REFERER)
        assert status == "HTTP/1.1 200 OK"
        self.cookie = header(headers, "set-cookie").split(";")[0]

    def post(self, path, **args) -> str:
        status, _, body = ask(self.proxy, path, "POST", urllib.parse.urlencode(args).encode(),
                              f"Cookie: {self.cookie}\r\n" + REFERER)
        assert status == "HTTP/1.1 200 OK", status
        return body.decode("latin-1")

    def rules(self) -> list:
        """(id, comment) of each deny rule of the URL filter, in order."""
        page = self.post("/config", section="url-filtering")
        found = []
        for block in page.split('<table class="entrydialog"')[1:]:
            comment = re.search(r"<td width=\"20%\">Comment</td><td>([^<]*)</td>", block)
            rule_id = re.search(r"action=delete&amp;id=(\d+)", block).group(1)
            found.append((rule_id, comment.group(1) if comment else ""))
        return found


def fetch(proxy, path):
    """Whether the filter blocks a request to a closed loopback port (else it fails to connect)."""
    _, _, body = exchange(proxy.port, f"GET http://127.0.0.1:{CLOSED}{path} HTTP/1.0\r\n\r\n".encode())
    return b"Page Blocked" in body


CLOSED = free_port()


def add(admin, comment, path_pattern):
    return admin.post("/config", section="url-filtering", subsection="deny", action="add",
                      **dict(RULE, F1=comment, F4=path_pattern))


def test_rules_edited_through_the_forms_take_effect_and_survive_a_restart(tarvodine, xml_files, tmp_path):
    proxy = interface_proxy(tarvodine, xml_files)
    admin = Admin(proxy)

    page = admin.post("/config")
    assert "Select a Section to Configure" in page and "Search entries" in page
    assert '<option value="url-filtering">' in page and "entryeditdialog" not in page

    assert "Page Blocked" not in admin.post("/config", section="url-filtering", action="global",
                                            F0="true", F1="deny_allow", F2="")
    add(admin, "installers", r"\.exe$")
    assert [c for _, c in admin.rules()] == ["installers"]
    assert fetch(proxy, "/setup.exe") and not fetch(proxy, "/setup.zip")

    # A bad value brings the form back with the message and adds nothing.
    page = admin.post("/config", section="url-filtering", subsection="deny", action="add", **dict(RULE, F1="broken", F5="nonsense"))
    assert "<li>Address must be " in page and 'name="action" value="add"' not in page
    assert [c for _, c in admin.rules()] == ["installers"]
    # A choice outside its list is refused too, so that a saved file always loads again.
    page = admin.post("/config", section="url-filtering", action="global", F0="true", F1="sideways", F2="")
    assert "<li>Order must be " in page

    (rule_id, _), = admin.rules()
    admin.post("/config", section="url-filtering", subsection="deny", action="edit", id=rule_id,
               **dict(RULE, F1="archives", F4=r"\.zip$"))
    assert [c for _, c in admin.rules()] == ["archives"]
    assert fetch(proxy, "/setup.zip") and not fetch(proxy, "/setup.exe")

    add(admin, "scripts", r"\.sh$")
    first, second = admin.rules()
    admin.post("/config", section="url-filtering", subsection="deny", action="clone", id=second[0])
    assert [c for _, c in admin.rules()] == ["archives", "scripts", "scripts"]
    admin.post("/config", section="url-filtering", subsection="deny", action="shift", id=second[0], direction="top")
    assert [c for _, c in admin.rules()] == ["scripts", "archives", "scripts"]
    moved = admin.rules()[0][0]
    admin.post("/config", section="url-filtering", subsection="deny", action="delete", id=moved)
    assert [c for _, c in admin.rules()] == ["archives", "scripts"]
    page = admin.post("/config", section="url-filtering", subsection="deny", action="delete", id=moved)
    assert "<li>Entry ID doesn't exist</li>" in page
    assert fetch(proxy, "/run.sh") and fetch(proxy, "/a.zip")

    # A search without a section shows only matching entries of every section.
    page = admin.post("/config", matchvalue="^scripts$")
    assert "scripts" in page and "archives" not in page

    saved = tmp_path / "saved.xml"
    assert "File saved" in admin.post("/save", filename=str(saved))
    assert "Saved failed" in admin.post("/save", filename=str(tmp_path / "missing" / "x.xml"))
    assert "Load failed" in admin.post("/load", filename=str(tmp_path / "missing.xml"), overwrite="yes")
    assert fetch(proxy, "/run.sh")

    proxy.stop()
    restarted = start_listening(tarvodine, saved, xml_files[1])
    assert fetch(restarted, "/run.sh") and fetch(restarted, "/a.zip") and not fetch(restarted, "/a.exe")


def test_load_adds_or_replaces_entries(tarvodine, xml_files, tmp_path):
    proxy = interface_proxy(tarvodine, xml_files)
    admin = Admin(proxy)
    admin.post("/config", section="url-filtering", action="global", F0="true", F1="deny_allow", F2="")
    add(admin, "installers", r"\.exe$")
    saved = tmp_path / "one.xml"
    assert "File saved" in admin.post("/save", filename=str(saved))
    assert "File loaded" in admin.post("/load", filename=str(saved), overwrite="no")
    assert [c for _, c in admin.rules()] == ["installers", "installers"]
    assert "File loaded" in admin.post("/load", filename=str(saved), overwrite="yes")
    assert [c for _, c in admin.rules()] == ["installers"]
    form = admin.post("/load")
    assert 'name="overwrite" value="yes" checked' in form and str(xml_files[0]) in form
