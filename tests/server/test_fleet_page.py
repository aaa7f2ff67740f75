"""The fleet page in a real browser against the reference server: a scripted
fleet of workstations talks to the server, then headless Chromium reads the
page the server serves and finds that fleet in it."""
import csv
import io
import json
import socket
import sys
import urllib.request
from dataclasses import dataclass
from pathlib import Path

import pytest

# Without selenium the module cannot even be read; without the browser the
# shared fixture (conftest.py) skips.
pytest.importorskip("selenium")

from selenium.common.exceptions import StaleElementReferenceException, TimeoutException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "peers"))
from reference_server import ReferenceServer, converse, crc32, write_release  # noqa: E402
from test_fleet import wait_written  # noqa: E402
from wire import PROTOCOL_ID, Reader, int32, line, opening  # noqa: E402

# Each suite's files, its manifest, and its data sources as a client reports them.
RELEASES = {
    "STUDENT": ({"readme.txt": b"read me", "Bin\\lib.dll": b"library v2", "Bin\\report.frm": b"report form",
                 "UlmarUpdater.exe": b"MZ client v2"},
                "ftp 127.0.0.1/student\ndsn system ULMAR | ulmar | dbsrv01\n",
                [(0, "ULMAR", "ulmar", "dbsrv01")]),
    "TEACHER": ({"teacher.exe": b"teacher v1", "Bin\\grades.dll": b"grades v3"},
                "ftp 127.0.0.1/teacher\n",
                []),
}
SHARED_FOREIGN = "game.exe"
# A file count above the server's limit: the conversation fails after the
# user is known.
MAX_FILES = 1000
HUGE_COUNT = 2**31 - 1


@dataclass
class Workstation:
    suite: str
    user: str
    drifted: tuple = ()      # release files it has with another CRC
    missing: tuple = ()      # release files it lacks
    foreign: tuple = ()      # files the release does not know
    has_dsn: bool = True     # reports the release's data sources
    conversations: int = 1
    last_fails: bool = False  # its last conversation sends a file count over the limit

    @property
    def status(self):
        if self.last_fails:
            return "failing"
        lacks_dsn = not self.has_dsn and RELEASES[self.suite][2]
        return "outstanding" if self.drifted or self.missing or lacks_dsn else "up_to_date"

    def files(self):
        release = RELEASES[self.suite][0]
        files = [(crc32(b"changed locally" if name in self.drifted else data), name)
                 for name, data in release.items() if name not in self.missing]
        return files + [(1, name) for name in self.foreign]

    def sources(self):
        return RELEASES[self.suite][2] if self.has_dsn else []


FLEET = [
    Workstation("STUDENT", "abramov"),
    Workstation("STUDENT", "belov"),
    Workstation("STUDENT", "volkov", foreign=(SHARED_FOREIGN,)),
    Workstation("STUDENT", "gromov", drifted=("Bin\\lib.dll",), conversations=2),
    Workstation("STUDENT", "dmitriev", drifted=("Bin\\lib.dll",), foreign=(SHARED_FOREIGN,)),
    Workstation("STUDENT", "egorov", missing=("Bin\\report.frm",), foreign=(SHARED_FOREIGN,)),
    Workstation("STUDENT", "zhukov", has_dsn=False),
    Workstation("STUDENT", "ivanov", conversations=2, last_fails=True),
    Workstation("TEACHER", "kozlov"),
    Workstation("TEACHER", "lebedev", drifted=("Bin\\grades.dll",)),
]
CONVERSATIONS = sum(w.conversations for w in FLEET)
COUNT_FIELDS = ("workstations", "up_to_date", "outstanding", "failing", "silent")


def expected_counts(suite):
    members = [w for w in FLEET if suite in ("", w.suite)]
    counts = {field: sum(1 for w in members if w.status == field) for field in COUNT_FIELDS}
    counts["workstations"] = len(members)
    return counts


def expected_files(kind):
    """(suite, path) -> how many workstations have it drifted / foreign."""
    found = {}
    for w in FLEET:
        for path in getattr(w, kind):
            found[(w.suite, path)] = found.get((w.suite, path), 0) + 1
    return found


def fail_after_user(server, w):
    with socket.create_connection((server.address, server.port), timeout=20) as sock:
        sock.sendall(opening())
        assert Reader(lambda: sock.recv(65536)).line() == PROTOCOL_ID
        sock.sendall(line(w.suite) + line(w.user) + int32(HUGE_COUNT))
        try:
            while sock.recv(65536):  # until the server closes the connection
                pass
        except ConnectionResetError:
            pass


def get(url):
    with urllib.request.urlopen(url, timeout=20) as response:
        return response.headers.get("Content-Type", ""), response.read().decode("utf-8")


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """The server after the whole fleet has talked to it; its page's address."""
    tmp = tmp_path_factory.mktemp("fleet")
    for suite, (files, manifest, _) in RELEASES.items():
        write_release(tmp / "releases", suite, files, manifest)
    server = ReferenceServer(tmp / "releases", tmp / "server.log",
                             extra_args=["--state", str(tmp / "state"), "--http", "127.0.0.1:0",
                                         "--max-files", str(MAX_FILES)])
    try:
        base = server.page_url.rstrip("/")
        ended = 0
        for w in FLEET:
            for n in range(w.conversations):
                if w.last_fails and n == w.conversations - 1:
                    fail_after_user(server, w)
                else:
                    converse(server.address, server.port, suite=w.suite, user=w.user,
                             files=w.files(), sources=w.sources())
                # The server ends a conversation when it sees the client
                # close: its line (and record) comes before the next one
                # starts, so a workstation's last session is its last record.
                ended += 1
                server.wait_for_log(r" peer=.* result=", count=ended)
        # Records reach the store through a queue: wait until all are written.
        assert wait_written(server, CONVERSATIONS)["written"] == CONVERSATIONS
        yield base
    finally:
        server.stop()


def wait_until(driver, read, expected, what, timeout=20):
    """Waits until read(driver) == expected; fails showing what was read."""
    seen = []

    def matches(d):
        try:
            seen[:] = [read(d)]
        except StaleElementReferenceException:
            return False
        return seen[0] == expected

    try:
        WebDriverWait(driver, timeout).until(matches)
        return
    except TimeoutException:
        pass
    error = driver.execute_script("return document.getElementById('error').textContent")
    pytest.fail(f"{what}: expected {expected!r}, the page shows {seen[0] if seen else None!r}"
                f"{'; its error: ' + error if error else ''}")


def cells(driver, table, field, row_filter=""):
    """The texts of one column of a table, in the page's order."""
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(td => td.textContent)",
        f"#{table} tbody tr{row_filter} td[data-field='{field}']")


def table_rows(driver, table, fields):
    return driver.execute_script(
        "const [table, fields] = arguments;"
        "return [...document.querySelectorAll('#' + table + ' tbody tr')]"
        "  .filter(tr => tr.querySelector('td[data-field]'))"
        "  .map(tr => fields.map(f => tr.querySelector(`td[data-field='${f}']`).textContent));",
        table, list(fields))


def open_view(driver, base, view):
    """The page loaded afresh (no choice left from an earlier test) at a view."""
    driver.get("about:blank")
    driver.get(f"{base}/#{view}")
    WebDriverWait(driver, 20).until(
        lambda d: d.execute_script("return document.getElementById('content').dataset.state") != "loading")


def test_the_overview_counts_the_fleet_by_suite_and_draws_both_plots(fleet, browser):
    open_view(browser, fleet, "overview")
    offset = browser.execute_script("return -new Date().getTimezoneOffset() * 60")
    overview = json.loads(get(f"{fleet}/api/overview?offset={offset}")[1])

    def counts(driver):
        return {suite: {field: int(text) for field, text in zip(COUNT_FIELDS, row)}
                for suite, *row in driver.execute_script(
                    "return [...document.querySelectorAll('#table-suites tr[data-suite]')].map(tr =>"
                    "  [tr.dataset.suite, ...arguments[0].map(f => tr.querySelector(`td[data-field='${f}']`).textContent)])",
                    list(COUNT_FIELDS))}

    expected = {suite: expected_counts(suite) for suite in ["", *RELEASES]}
    wait_until(browser, counts, expected, "counts by suite (\"\" the totals)")
    plots = browser.execute_script(
        "return ['plot-sessions', 'plot-share'].map(id => document.getElementById(id).dataset.count)")
    # One bar per hour with sessions and one point per day with reports, as the API gave them.
    assert plots == [str(len(overview["sessions_per_hour"])), str(len(overview["up_to_date_share"]))]
    assert min(int(n) for n in plots) >= 1
    assert browser.find_element(By.ID, "recording-written").text == str(CONVERSATIONS)
    suites = [o.get_attribute("value") for o in Select(browser.find_element(By.ID, "suite")).options]
    assert sorted(suites) == sorted(["", *RELEASES])


def test_the_workstations_list_sorts_by_a_clicked_header_and_filters(fleet, browser):
    open_view(browser, fleet, "workstations")
    users = sorted(w.user for w in FLEET)

    def listed(driver):
        return cells(driver, "table-workstations", "user", "[data-id]")

    for expected in (users, users[::-1]):
        browser.find_element(By.CSS_SELECTOR, "#table-workstations th[data-sort='user'] button").click()
        wait_until(browser, listed, expected, "users after a click on the user header")
    assert "▼" in browser.find_element(By.CSS_SELECTOR, "#table-workstations th[data-sort='user']").text

    for suite, status, text in [("", "outstanding", ""), ("", "", "ov"), ("TEACHER", "", ""),
                                ("STUDENT", "outstanding", "ov"), ("", "failing", "")]:
        suite_choice = Select(browser.find_element(By.ID, "suite"))
        if suite_choice.first_selected_option.get_attribute("value") != suite:
            suite_choice.select_by_value(suite)  # shows the view again with new controls
        Select(browser.find_element(By.ID, "filter-status")).select_by_value(status)
        field = browser.find_element(By.ID, "filter-text")
        field.send_keys(Keys.CONTROL, "a")
        field.send_keys(text or Keys.BACKSPACE)
        expected = sorted(w.user for w in FLEET
                          if suite in ("", w.suite) and status in ("", w.status) and text in w.user)
        wait_until(browser, lambda d: sorted(listed(d)), expected, f"users of suite={suite!r} status={status!r} q={text!r}")


def test_a_clicked_workstation_shows_its_history_and_drift(fleet, browser):
    open_view(browser, fleet, "workstations")
    target = next(w for w in FLEET if w.conversations > 1 and w.drifted and not w.last_fails)
    field = browser.find_element(By.ID, "filter-text")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(target.user)
    wait_until(browser, lambda d: cells(d, "table-workstations", "user", "[data-id]"), [target.user], "the filtered list")
    browser.find_element(By.CSS_SELECTOR, "#table-workstations tbody tr[data-id] td[data-field='peer']").click()

    wait_until(browser, lambda d: len(cells(d, "table-history", "time", ".session")), target.conversations,
               "sessions in the history")
    assert browser.execute_script("return decodeURIComponent(location.hash)") == f"#workstation/{target.suite}/{target.user}"
    assert cells(browser, "table-ws-drift", "path") == list(target.drifted)
    assert cells(browser, "table-ws-foreign", "path") == list(target.foreign)
    # A session's row opens to the names of its verdict.
    browser.find_element(By.CSS_SELECTOR, "#table-history tr.session").click()
    names = browser.execute_script(
        "return [...document.querySelectorAll('#table-history tr.details:not([hidden]) [data-list=update] li')]"
        ".map(li => li.textContent)")
    assert names == list(target.drifted)


def expected_failures():
    failing = [w for w in FLEET if w.last_fails]
    return {(f"a file count of {HUGE_COUNT}, above the limit of {MAX_FILES}", len(failing), len(failing))}


@pytest.mark.parametrize("view, fields, expected", [
    ("drift", ("suite", "path", "workstations"), lambda: {(*key, n) for key, n in expected_files("drifted").items()}),
    ("foreign", ("suite", "path", "workstations"), lambda: {(*key, n) for key, n in expected_files("foreign").items()}),
    ("failures", ("reason", "sessions", "workstations"), expected_failures),
])
def test_the_drift_foreign_and_failure_views_count_workstations(fleet, browser, view, fields, expected):
    open_view(browser, fleet, view)

    def rows(driver):
        return {tuple(int(text) if field in ("sessions", "workstations") else text for field, text in zip(fields, row))
                for row in table_rows(driver, f"table-{view}", fields)}

    wait_until(browser, rows, expected(), f"rows of {view}")


def test_a_csv_link_answers_the_table_as_csv(fleet, browser):
    open_view(browser, fleet, "drift")
    wait_until(browser, lambda d: len(cells(d, "table-drift", "path")), len(expected_files("drifted")), "drift rows")
    content_type, text = get(browser.find_element(By.CSS_SELECTOR, "a.csv").get_attribute("href"))
    assert content_type.startswith("text/csv")
    header, *rows = csv.reader(io.StringIO(text))
    assert header == ["suite", "path", "workstations", "since"]
    assert {(suite, path): int(n) for suite, path, n, _ in rows} == expected_files("drifted")
