"""Two update servers behind HAProxy, recording into one PostgreSQL: the
load generator's fleet through HAProxy is served by both and every
session shows on either server's page; one server killed mid-load costs
only the conversations it held, and the records it had not written yet;
a release changed on disk reaches both; workstations without a user
identifier are told apart by their own addresses, which HAProxy passes on
in its PROXY protocol header; the deployment files are valid.

Addresses say what they are: HAProxy on 127.0.0.10:8090, the servers on
127.0.0.11:8090 and 127.0.0.12:8090 (their pages on ports the system
chooses), PostgreSQL on 127.0.0.13:5432 (the tests run in a private
network namespace, where all of 127.0.0.0/8 is local). HAProxy reaches
the servers from 127.0.0.1, their --proxy-from."""
import collections
import json
import re
import shutil
import signal
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "peers"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
from haproxy import HAPROXY_BIN, HAProxy  # noqa: E402
from postgres import PostgresServer  # noqa: E402
from reference_server import SERVER_BIN, ReferenceServer, converse  # noqa: E402
from test_fleet import LOAD_BIN, SUITE, api, check_views, release  # noqa: E402
from test_update_server import closed_by_server, connect_from, converse_over  # noqa: E402
from wire import PROTOCOL_ID, Reader, inventory, opening  # noqa: E402

FRONT = ("127.0.0.10", 8090)
HOSTS = {"a": "127.0.0.11", "b": "127.0.0.12"}
SERVER_PORT = 8090
POSTGRES = ("127.0.0.13", 5432)
BALANCER_SOURCE = "127.0.0.1"  # where HAProxy's connections to the servers come from
CLIENTS = 8

CONVERSATION = re.compile(r" peer=(\S+) suite=(\S+) user=(\S+) .* result=(\S+)")


def wait_until(condition, what, timeout=60):
    """Polls condition() until it returns something true, and returns that;
    what (text, or a function giving it) says what was awaited."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"{what() if callable(what) else what}: not so after {timeout} s")


def at_least(items, count):
    """items when there are count of them or more, else None (for wait_until)."""
    return items if len(items) >= count else None


def conversations(server):
    """The server's conversation lines in its log's order: (the client as
    HAProxy's header named it, "127.0.0.1:40312"; user; result)."""
    found = []
    for line in server.conversation_lines():
        match = CONVERSATION.search(line)
        assert match, line
        found.append((match.group(1), match.group(3).strip('"'), match.group(4)))
    return found


class Site:
    """PostgreSQL's database of its own, the release, two servers and HAProxy."""

    def __init__(self, tmp_path, postgres, database, server_args=None):
        self.tmp_path = tmp_path
        self.releases = release(tmp_path)
        self.tree = self.releases / SUITE / "files"
        subprocess.run(["psql", postgres.conninfo, "-qc", f"CREATE DATABASE {database}"], check=True,
                       stdin=subprocess.DEVNULL, capture_output=True)
        self.conninfo = postgres.tcp_conninfo().replace("dbname=postgres", f"dbname={database}")
        self.local_conninfo = postgres.conninfo.replace("dbname=postgres", f"dbname={database}")
        self.servers = {}
        self.proxy = None
        try:
            for name, address in HOSTS.items():
                self.servers[name] = ReferenceServer(
                    self.releases, tmp_path / f"{name}.log", address=address, port=SERVER_PORT, extra_args=[
                        "--name", name, "--state", str(tmp_path / f"{name}-state"), "--http", f"{address}:0",
                        "--database", self.conninfo, "--proxy-from", BALANCER_SOURCE,
                        *(server_args or {}).get(name, [])])
            for server in self.servers.values():
                server.wait_for_log("fleet store: recording into PostgreSQL")
            self.proxy = HAProxy(tmp_path / "haproxy", FRONT,
                                 [(name, address, SERVER_PORT) for name, address in HOSTS.items()],
                                 send_proxy=True).start()
            for name in HOSTS:
                self.proxy.wait_for_state(name, "UP")
        except BaseException:
            self.stop()
            raise

    def play(self, workstations, rounds, tree=None):
        """Starts the load generator against HAProxy; returns the process and
        its report's path."""
        report = self.tmp_path / f"report-{time.monotonic_ns()}.json"
        process = subprocess.Popen(
            [str(LOAD_BIN), "--tree", str(tree or self.tree), "--suite", SUITE, "--address", FRONT[0],
             "--port", str(FRONT[1]), "--clients", str(CLIENTS), "--fleet", str(workstations),
             "--rounds", str(rounds), "--report", str(report)], stdout=subprocess.PIPE, text=True)
        return process, report

    def connections(self, count):
        """HAProxy's log of connections once it has `count` of them."""
        return wait_until(lambda: at_least(self.proxy.connections(), count),
                          lambda: f"{count} connections in HAProxy's log (it dropped "
                                  f"{self.proxy.info()['DroppedLogs']} lines)")

    def recorded(self, name, written):
        """The server's recording counters once it has written `written`
        records and holds none."""
        def done():
            recording = api(self.servers[name], "api/overview")["recording"]
            return recording if recording["written"] >= written and recording["queued"] == 0 else None
        return wait_until(done, f"{written} records written by {name}")

    def sql(self, query):
        result = subprocess.run(["psql", self.local_conninfo, "-Atc", query], check=True, capture_output=True,
                                text=True, stdin=subprocess.DEVNULL)
        return [row.split("|") for row in result.stdout.splitlines()]

    def stop(self):
        for server in self.servers.values():
            if server.process.poll() is None:
                server.stop()
        if self.proxy:
            self.proxy.stop()


@pytest.fixture(scope="module")
def postgres():
    server = PostgresServer(None, POSTGRES[1], tcp=POSTGRES[0]).start()
    yield server
    server.remove()


@pytest.fixture
def site(tmp_path, postgres, request):
    made = []

    def make(**options):
        made.append(Site(tmp_path, postgres, re.sub(r"\W", "_", request.node.name).lower(), **options))
        return made[-1]

    yield make
    for one in made:
        one.stop()


def test_both_servers_serve_the_fleet_through_haproxy_and_each_page_shows_every_session(site):
    s = site()
    process, report_path = s.play(workstations=200, rounds=3)
    output = process.communicate(timeout=300)[0]
    assert process.returncode == 0, output
    report = json.loads(report_path.read_text())
    assert (report["sessions"], report["failed"]) == (600, 0)

    # Each conversation is one connection through HAProxy, to one server,
    # ended normally; the server logged it with the client's address and
    # port, from HAProxy's header.
    connections = s.connections(600)
    assert len(connections) == 600
    assert all(c["state"] == "--" and c["retries"] == 0 for c in connections), connections
    lines = {}
    for name, server in s.servers.items():
        through = sorted(c["client"] for c in connections if c["server"] == name)
        lines[name] = wait_until(lambda: at_least(conversations(server), len(through)),
                                 f"{len(through)} conversation lines in {name}'s log")
        assert sorted(peer for peer, _, _ in lines[name]) == through
        assert int(s.proxy.server_stat(name)["stot"]) == len(through)
        # The checks (LOCAL headers) pass; one may be running at any moment.
        wait_until(lambda: s.proxy.server_stat(name)["check_status"] == "L4OK", f"{name}'s checks passing")
    assert set(c["server"] for c in connections) == {"a", "b"}
    # Every line is a workstation's conversation, answered: HAProxy's health
    # checks (every 200 ms all along) left no line and no record.
    every = lines["a"] + lines["b"]
    assert all(result == "ok" for _, _, result in every)
    assert collections.Counter(user for _, user, _ in every) == {w["user"]: 3 for w in report["workstations"]}

    # Each server wrote its own records, into the one store; each page shows
    # the whole fleet.
    for name in s.servers:
        assert s.recorded(name, len(lines[name])) == {"written": len(lines[name]), "dropped": 0, "queued": 0}
    for server in s.servers.values():
        check_views(server, report)
    # One workstation's history names the server of each session; over the
    # fleet, each server's sessions are those it logged, on either page.
    histories = {name: collections.Counter() for name in s.servers}
    for w in report["workstations"]:
        seen = [[(session["server"], session["ms"])
                 for session in api(server, f"api/workstation?id={SUITE}/{w['user']}")["sessions"]]
                for server in s.servers.values()]
        assert seen[0] == seen[1] and len(seen[0]) == 3
        for page, server in zip(seen, s.servers):
            histories[server].update(name for name, _ in page)
    assert histories["a"] == histories["b"] == {name: len(lines[name]) for name in s.servers}


def test_a_server_killed_mid_load_costs_only_the_conversations_it_held_and_its_unwritten_records(site):
    # One worker thread each: a server logs and queues its records in one
    # order, so those it wrote before it died are the first of its log.
    s = site(server_args={name: ["--threads", "1"] for name in HOSTS})
    a, b = s.servers["a"], s.servers["b"]
    process, report_path = s.play(workstations=200, rounds=15)
    # a dies once it has served a hundred conversations and written some
    # of their records, with more in flight and (most likely) queued.
    # HAProxy is held still meanwhile (SIGSTOP: no conversation moves), so
    # that however fast the machine the load is still going when a dies.
    a.wait_for_log(r" peer=.* result=ok", count=100, timeout=120)
    s.proxy.process.send_signal(signal.SIGSTOP)
    try:
        assert process.poll() is None, "the load ended before the kill"
        wait_until(lambda: api(a, "api/overview")["recording"]["written"] > 0, "a record written by a")
        a.process.kill()
        a.process.wait()
    finally:
        s.proxy.process.send_signal(signal.SIGCONT)
    s.proxy.wait_for_state("a", "DOWN", timeout=30)
    output = process.communicate(timeout=300)[0]
    report = json.loads(report_path.read_text())
    sessions, failed = report["sessions"], report["failed"]
    assert sessions + failed == 3000
    assert (process.returncode == 0) == (failed == 0), output

    connections = s.connections(3000)
    assert len(connections) == 3000 and all(c["server"] in HOSTS for c in connections)
    logged = {name: conversations(server) for name, server in s.servers.items()}
    logged["b"] = wait_until(lambda: at_least(conversations(b), sum(c["server"] == "b" for c in connections)),
                             "b's conversation lines")
    assert all(result == "ok" for name in HOSTS for _, _, result in logged[name])
    # b logged every connection it was given, each ended normally, those
    # that a refused after its death among them.
    assert sorted(c["client"] for c in connections if c["server"] == "b") == sorted(p for p, _, _ in logged["b"])
    assert all(c["state"] == "--" for c in connections if c["server"] == "b")
    # What a logged, HAProxy passed to it; what it never logged (accepted
    # or still in its queue when it died) is all that could fail.
    to_a = collections.Counter(c["client"] for c in connections if c["server"] == "a")
    a_peers = collections.Counter(p for p, _, _ in logged["a"])
    assert not a_peers - to_a
    unlogged = [c for c in connections if c["server"] == "a" and c["client"] not in a_peers]
    cut = [c for c in connections if c["state"] != "--"]
    assert all(c in unlogged for c in cut), cut
    # Each client holds one conversation at a time: at most that many fail,
    # at least those HAProxy saw a cut; the other unlogged ones got their
    # whole verdict before a died.
    served_unlogged = sessions - len(logged["a"]) - len(logged["b"])
    assert len(cut) <= failed <= CLIENTS
    assert failed + served_unlogged == len(unlogged)

    # Once a is DOWN nothing more goes to it: another round of the whole
    # fleet is b's alone, and right.
    after, after_path = s.play(workstations=200, rounds=1)
    assert after.wait(timeout=300) == 0, after.stdout.read()
    assert [c["server"] for c in s.connections(3200)[3000:]] == ["b"] * 200
    logged_b = len(logged["b"]) + 200
    wait_until(lambda: len(conversations(b)) >= logged_b, "b's lines of the last round")

    # b wrote all its records. a's records in the store are the first of
    # its log: only those still queued when it died are missing.
    assert s.recorded("b", logged_b) == {"written": logged_b, "dropped": 0, "queued": 0}
    stored_a = [peer for peer, in s.sql("SELECT peer FROM sessions WHERE server = 'a'")]
    assert 0 < len(stored_a) <= len(logged["a"])
    assert collections.Counter(stored_a) == collections.Counter(p for p, _, _ in logged["a"][:len(stored_a)])
    lost = len(logged["a"]) - len(stored_a)
    print(f"a logged {len(logged['a'])} conversations, wrote {len(stored_a)} records, lost {lost} queued; "
          f"{failed} conversations failed, {served_unlogged} served but never logged")
    # The surviving page shows every recorded session, and no failure.
    overview = api(b, "api/overview")
    assert sum(h["sessions"] for h in overview["sessions_per_hour"]) == logged_b + len(stored_a)
    assert overview["totals"]["workstations"] == 200 and overview["totals"]["failing"] == 0
    assert api(b, "api/failures")["rows"] == []


def release_files(tree):
    """The release's files as a client reports them: (CRC-32, Windows path)."""
    return [(zlib.crc32(path.read_bytes()) & 0xFFFFFFFF, str(path.relative_to(tree)).replace("/", "\\"))
            for path in sorted(tree.rglob("*")) if path.is_file()]


def test_a_release_changed_on_disk_reaches_both_servers_and_every_answer_through_haproxy(site):
    # a looks at the releases every second by itself; b only when told (SIGHUP).
    s = site(server_args={"a": ["--rescan", "1"], "b": ["--rescan", "3600"]})
    before = release_files(s.tree)
    assert converse(*FRONT, suite=SUITE, user="before", files=before)[1]["update"] == []

    changed = s.tree / "Module0" / "lib0.dll"
    changed.write_bytes(b"a new build of lib0" * 50)
    s.servers["b"].process.send_signal(signal.SIGHUP)
    for server in s.servers.values():
        server.wait_for_log(rf"release {SUITE}: .* reloaded")

    # The old inventory now gets the changed file to update, from either
    # server: conversations until both have answered (each one's line
    # names its user).
    answered = set()
    for n in range(20):
        verdict = converse(*FRONT, suite=SUITE, user=f"after-{n}", files=before)[1]
        assert [path for path, _ in verdict["update"]] == ["Module0\\lib0.dll"]
        # The line is written once the client has closed: wait for it.
        answered |= wait_until(lambda: {name for name, server in s.servers.items()
                                        if any(user == f"after-{n}" for _, user, _ in conversations(server))},
                               f"the line of after-{n}")
        if answered == set(HOSTS):
            break
    assert answered == set(HOSTS)

    # The whole fleet with the new release: every verdict the new one's.
    process, report_path = s.play(workstations=200, rounds=1)
    output = process.communicate(timeout=300)[0]
    assert process.returncode == 0, output
    assert json.loads(report_path.read_text())["failed"] == 0
    fleet_lines = {name: [u for _, u, _ in conversations(server) if u.startswith("ws-")]
                   for name, server in s.servers.items()}
    assert all(fleet_lines.values()), fleet_lines


def test_workstations_without_a_user_behind_haproxy_are_told_apart_and_limited_by_their_own_addresses(site):
    # One conversation at a time per address; b is taken out, so that every
    # connection meets a's counts.
    s = site(server_args={name: ["--per-peer", "1"] for name in HOSTS})
    s.proxy.command("set server update_servers/b state maint")
    s.proxy.wait_for_state("b", "MAINT")
    files = release_files(s.tree)

    # 127.0.0.2 holds its one conversation (a has answered its opening);
    # another from it is closed at once, while 127.0.0.3 is served.
    holder = connect_from("127.0.0.2", *FRONT)
    holder_peer = "127.0.0.2:%d" % holder.getsockname()[1]
    holder.sendall(opening())
    reader = Reader(lambda: holder.recv(65536))
    assert reader.line() == PROTOCOL_ID
    second = connect_from("127.0.0.2", *FRONT)
    second_peer = "127.0.0.2:%d" % second.getsockname()[1]
    second.sendall(opening())
    closed_by_server(second)
    other = connect_from("127.0.0.3", *FRONT)
    other_peer = "127.0.0.3:%d" % other.getsockname()[1]
    assert converse_over(other, suite=SUITE, user="", files=files)["update"] == []
    holder.sendall(inventory(SUITE, "", files))
    assert reader.lists()["update"] == []
    holder.close()

    a = s.servers["a"]
    a.wait_for_log(rf'peer={re.escape(second_peer)} suite=- user=- .* result=failed '
                   r'reason="more than 1 conversations from this address at once"')
    for peer in (holder_peer, other_peer):
        a.wait_for_log(rf'peer={re.escape(peer)} suite="{SUITE}" user="" .* result=ok')
    # Two sessions (the refused connection sent nothing the server read),
    # two workstations named by their addresses, on either page.
    assert s.recorded("a", 2) == {"written": 2, "dropped": 0, "queued": 0}
    assert sorted(s.sql("SELECT workstation, peer FROM sessions")) == \
        [[f"{SUITE}/127.0.0.2", holder_peer], [f"{SUITE}/127.0.0.3", other_peer]]
    for server in s.servers.values():
        rows = api(server, f"api/workstations?suite={SUITE}&sort=user&order=asc&limit=1000")["rows"]
        assert sorted((row["id"], row["peer"]) for row in rows) == \
            [(f"{SUITE}/127.0.0.2", "127.0.0.2"), (f"{SUITE}/127.0.0.3", "127.0.0.3")]


def test_the_systemd_unit_is_valid_and_sandboxed(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is not installed")
    probe = tmp_path / "probe.service"
    probe.write_text("[Service]\nExecStart=/bin/true\n")
    if subprocess.run([analyze, "verify", str(probe)], capture_output=True).returncode != 0:
        pytest.skip("systemd-analyze verify cannot run here")
    # The unit as installed, but for the program's path, which must exist.
    unit = tmp_path / "ulmar-update-server.service"
    unit.write_text((ROOT / "deploy" / "ulmar-update-server.service").read_text()
                    .replace("/usr/local/bin/ulmar-update-server", str(SERVER_BIN)))
    verify = subprocess.run([analyze, "verify", str(unit)], capture_output=True, text=True)
    # Unknown keys and bad values are only warned about: none may appear.
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    security = subprocess.run([analyze, "security", "--offline=yes", str(unit)], capture_output=True, text=True)
    if security.returncode != 0 and "offline" in security.stderr:
        return
    exposure = re.search(r"Overall exposure level for \S+: ([\d.]+)", security.stdout)
    assert exposure and float(exposure.group(1)) <= 2.0, security.stdout


def test_the_sites_haproxy_configuration_is_valid():
    check = subprocess.run([HAPROXY_BIN, "-c", "-f", str(ROOT / "deploy" / "haproxy.cfg")], capture_output=True,
                           text=True)
    assert check.returncode == 0, check.stdout + check.stderr
