"""The reference update server as a program: whole conversations over
loopback, clients that misbehave beside ones that do not, releases that
change while it runs, and SIGTERM."""
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "peers"))
from reference_server import SERVER_BIN, ReferenceServer, converse, crc32, write_release  # noqa: E402
from wire import PROTOCOL_ID, Reader, int32, inventory, line, opening  # noqa: E402

FILES = {
    "readme.txt": b"read me",
    "Bin\\lib.dll": b"library v2",
    "Bin\\Отчёт.frm": b"report form",
    "UlmarUpdater.exe": b"MZ client v2",
}
MANIFEST = """\
# student workstations
ftp 127.0.0.1/student
ftp 127.0.0.2/student
dsn system ULMAR | ulmar | dbsrv01
dsn paradox КАДРЫ | C:\\ULMAR\\Кадры
delete Bin\\old.dll
keep *.ini
"""


@pytest.fixture
def server(tmp_path):
    write_release(tmp_path / "releases", "STUDENT", FILES, MANIFEST)
    servers = []

    def start(*extra_args):
        s = ReferenceServer(tmp_path / "releases", tmp_path / "server.log", extra_args=extra_args)
        servers.append(s)
        return s

    yield start
    for s in servers:
        s.stop()


def an_outdated_client():
    return [(crc32(b"read me"), "README.TXT"),          # current, other letter case
            (crc32(b"library v1"), "bin\\lib.dll"),      # outdated
            (crc32(b"MZ client v1"), "UlmarUpdater.exe"),  # the client itself, outdated
            (1, "user.ini"), (2, "junk.tmp"), (3, "Bin\\old.dll"), (4, "Bin\\x.dll.ulmar-partial")]


def test_a_whole_conversation_gets_the_releases_verdict_and_one_log_line(server):
    s = server()
    identifier, verdict = converse(s.address, s.port, suite="student", files=an_outdated_client(),
                                   sources=[(0, "ulmar", "ULMAR", "DBSRV01")])
    assert identifier == "repl.client-server.v.0.2"
    assert verdict == {
        "ftp": ["127.0.0.1/student", "127.0.0.2/student"],
        "foreign": ["junk.tmp"],
        "update": [("Bin\\lib.dll", "bin\\lib.dll"), ("Bin\\Отчёт.frm", "Bin\\Отчёт.frm"),
                   ("UlmarUpdater.exe", "UlmarUpdater.exe.new")],
        "sources": [(2, "КАДРЫ", "C:\\ULMAR\\Кадры", "")],
        "delete": ["Bin\\old.dll"],
    }
    entry = s.wait_for_log(r".* peer=127\.0\.0\.1:\d+ .*").group(0)
    assert ' suite="student" user="ivanov" files=7 sources=1 ftp=2 foreign=1 update=3 new_sources=1 delete=1 ' in entry
    assert entry.endswith("result=ok")


def test_another_protocol_identifier_is_answered_all_the_same_and_logged(server):
    s = server()
    for protocol in (b"REPL.CLIENT-SERVER.V.0.2", b"repl.client-server.v.0.3"):
        identifier, verdict = converse(s.address, s.port, user=protocol.decode(), protocol=protocol)
        assert identifier == "repl.client-server.v.0.2" and len(verdict["update"]) == 3
    assert " protocol=" not in s.wait_for_log(r'.*user="REPL.*').group(0)
    assert ' protocol="repl.client-server.v.0.3" suite="STUDENT" ' in s.wait_for_log(r'.*user="repl.*').group(0)


def test_misbehaving_clients_do_not_disturb_the_others(server):
    s = server("--max-files", "100000")
    address = (s.address, s.port)
    # A client that goes silent in the middle of its inventory keeps its
    # connection while everyone else is served.
    silent = socket.create_connection(address)
    silent.sendall((opening() + inventory("STUDENT", "silent", [(1, "a.dll")] * 3))[:60])

    def misbehave(data, close=True):
        sock = socket.create_connection(address)
        sock.sendall(data)
        if close:
            sock.close()
        return sock

    start = opening()
    # Disconnects mid-inventory, having read the server's identifier: a close
    # with unread bytes would be a reset, not a close.
    gone = misbehave((opening() + inventory("STUDENT", "gone", [(1, "a.dll")] * 50))[:200], close=False)
    assert Reader(lambda: gone.recv(65536)).text() == PROTOCOL_ID.decode()
    gone.close()
    long_line = misbehave(start + line("STUDENT") + line("long") + int32(1) + int32(5) + b"x" * 16385, close=False)
    huge = misbehave(start + line("STUDENT") + line("huge") + int32(2**31 - 1), close=False)
    unknown = misbehave(start + line("NOSUCHSUITE") + line("who"), close=False)
    misbehave(int32(7))                                                            # not the protocol at all

    results = []

    def good_client(n):
        results.append(converse(s.address, s.port, user=f"user{n}", files=an_outdated_client())[1]["update"])

    threads = [threading.Thread(target=good_client, args=(n,)) for n in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(results) == 20 and all(len(r) == 3 for r in results)
    # The refused ones are closed by the server (a time-out here fails).
    for sock in (long_line, huge, unknown):
        sock.settimeout(10)
        try:
            while sock.recv(65536):
                pass
        except ConnectionResetError:
            pass
    for expected in ['user="gone" files=50 sources=- ms=\\d+ result=failed reason="the client closed the connection during the inventory"',
                     'user="long" files=1 sources=- ms=\\d+ result=failed reason="a line longer than 16384 bytes"',
                     'user="huge" files=- .*result=failed reason="a file count of 2147483647, above the limit of 100000"',
                     'suite="NOSUCHSUITE" user=- .*result=failed reason="unknown suite code"',
                     'suite=- .*result=failed reason="the opening is 7, not 1"']:
        s.wait_for_log(expected)
    s.wait_for_log("result=ok", count=20)
    # The silent client is still connected and can finish its conversation.
    silent.sendall((opening() + inventory("STUDENT", "silent", [(1, "a.dll")] * 3))[60:])
    silent.settimeout(10)
    reader = Reader(lambda: silent.recv(65536))
    assert reader.line() == PROTOCOL_ID
    assert reader.lists()["foreign"] == ["a.dll"] * 3
    silent.close()
    s.wait_for_log('user="silent" .*result=ok')
    assert s.process.poll() is None


def test_one_address_holds_a_few_slots_and_gets_one_back_when_a_conversation_ends(server):
    # One worker: a slot given back is free before the next client is taken in.
    s = server("--per-peer", "2", "--threads", "1")
    # Each is certainly being served once it has the server's answer.
    held = []
    for n in range(2):
        sock = socket.create_connection((s.address, s.port))
        sock.sendall(opening())
        sock.settimeout(10)
        assert Reader(lambda: sock.recv(65536)).line() == PROTOCOL_ID
        held.append(sock)
    third = socket.create_connection((s.address, s.port))
    third.settimeout(10)
    assert third.recv(100) == b""  # the address holds its two slots
    s.wait_for_log('result=failed reason="more than 2 conversations from this address at once"')
    third.close()
    # Its line is written as the conversation closes, before the next
    # client is taken in: a whole conversation goes through.
    held[0].close()
    s.wait_for_log('suite=- user=- .*result=failed reason="the client closed the connection during the inventory"')
    assert converse(s.address, s.port)[0] == PROTOCOL_ID.decode()
    held[1].close()


def test_a_trickling_client_loses_its_slot_at_the_identity_limit(server):
    s = server("--per-peer", "1", "--identity-limit", "1", "--threads", "1")
    # A client that trickles its opening, a byte now and then, is never idle
    # but never gets to its identity: closed at the identity limit.
    trickler = socket.create_connection((s.address, s.port))
    closed = threading.Event()

    def trickle():
        try:
            for byte in opening():
                trickler.sendall(bytes([byte]))
                if closed.wait(0.3):
                    return
        except OSError:
            pass

    threading.Thread(target=trickle, daemon=True).start()
    closed_by_server(trickler)
    closed.set()
    s.wait_for_log('result=failed reason="no opening and identity within 1 s"')
    # Its slot, the address's only one, is given back.
    assert converse(s.address, s.port)[0] == PROTOCOL_ID.decode()


def test_a_client_silent_past_the_idle_limit_is_closed(server):
    s = server("--idle-limit", "1")
    silent = socket.create_connection((s.address, s.port))
    silent.sendall(opening() + line("STUDENT"))
    silent.settimeout(10)
    assert Reader(lambda: silent.recv(65536)).line() == PROTOCOL_ID
    assert silent.recv(100) == b""  # closed by the server; a time-out fails here
    s.wait_for_log('suite="STUDENT" user=- .*result=failed reason="idle for 1 s"')
    silent.close()


def test_a_changed_release_is_served_without_a_restart(server, tmp_path):
    s = server("--rescan", "1")
    outdated = [(crc32(b"read me"), "readme.txt")]
    assert converse(s.address, s.port, files=outdated)[1]["update"][0][0] == "Bin\\lib.dll"
    (tmp_path / "releases" / "STUDENT" / "files" / "readme.txt").write_bytes(b"read me, new edition")
    s.wait_for_log(r"release STUDENT: .* reloaded")
    updates = converse(s.address, s.port, files=outdated)[1]["update"]
    assert ("readme.txt", "readme.txt") in updates


def test_sigterm_stops_cleanly_after_the_grace_period(server):
    s = server("--grace", "3")
    # A client in the middle of its conversation: the server has answered
    # its opening and waits for its identity.
    lingering = socket.create_connection((s.address, s.port))
    lingering.sendall(opening())
    lingering.settimeout(10)
    assert Reader(lambda: lingering.recv(65536)).line() == PROTOCOL_ID
    # A client that has read its whole verdict and keeps the connection open.
    served = socket.create_connection((s.address, s.port))
    served.sendall(opening(PROTOCOL_ID))
    reader = Reader(lambda: served.recv(65536))
    reader.text()
    served.sendall(inventory("STUDENT", "petrov", (), ()))
    reader.lists()
    started = time.monotonic()
    s.process.send_signal(signal.SIGTERM)
    # Said once new clients are refused, not left in the listen queue, while
    # the lingering conversation still has its grace.
    s.wait_for_log("stopping: no new conversations")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((s.address, s.port), timeout=5).close()
    assert 'reason="server stopped"' not in s.log()
    assert s.stop() == 0
    assert time.monotonic() - started < 10
    s.wait_for_log('result=failed reason="server stopped"')
    assert any("petrov" in l and "result=ok" in l for l in s.log().splitlines())
    assert s.log().rstrip().endswith("stopped")
    lingering.close()
    served.close()


PROXY_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def proxy_header(source=None, destination=("127.0.0.1", 8090), family=0x11, command=0x21):
    """A PROXY protocol (version 2) header, as a load balancer sends it:
    relaying source (address, port), or LOCAL (its own connection) when
    source is None."""
    if source is None:
        return PROXY_SIGNATURE + bytes([0x20, 0x00]) + struct.pack(">H", 0)
    addresses = socket.inet_aton(source[0]) + socket.inet_aton(destination[0]) + \
        struct.pack(">HH", source[1], destination[1])
    return PROXY_SIGNATURE + bytes([command, family]) + struct.pack(">H", len(addresses)) + addresses


def connect_from(source, address, port):
    """A connection to address:port from the local address source (all of
    127.0.0.0/8 is local in the test's namespace)."""
    return socket.create_connection((address, port), timeout=20, source_address=(source, 0))


def converse_over(sock, suite="STUDENT", user="ivanov", files=(), before=b""):
    """A whole conversation over a connection, after the bytes `before`;
    returns the server's lists."""
    with sock:
        sock.sendall(before + opening())
        reader = Reader(lambda: sock.recv(65536))
        assert reader.line() == PROTOCOL_ID
        sock.sendall(inventory(suite, user, files))
        return reader.lists()


def closed_by_server(sock):
    """Reads until the server closes the connection (a time-out fails)."""
    sock.settimeout(20)
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass
    sock.close()


def test_a_balancers_header_names_the_client_everywhere_and_bad_headers_are_closed_with_a_line(server):
    s = server("--proxy-from", "127.0.0.2", "--per-peer", "1")
    s.wait_for_log("PROXY protocol headers expected from 127.0.0.2/32")

    # Through the balancer (127.0.0.2), a client at 10.4.7.31 holds its one
    # slot; a second conversation of that address is refused, one of
    # another address is served: the cap counts the clients, not the
    # balancer.
    holder = connect_from("127.0.0.2", s.address, s.port)
    holder.sendall(proxy_header(("10.4.7.31", 46232)) + opening())
    holder_reader = Reader(lambda: holder.recv(65536))
    assert holder_reader.line() == PROTOCOL_ID
    capped = connect_from("127.0.0.2", s.address, s.port)
    capped.sendall(proxy_header(("10.4.7.31", 46233)) + opening())
    closed_by_server(capped)
    relayed = converse_over(connect_from("127.0.0.2", s.address, s.port), user="other",
                            files=an_outdated_client(), before=proxy_header(("10.4.7.32", 50000)))
    # The balancer's own connection (LOCAL) keeps its own address.
    own = connect_from("127.0.0.2", s.address, s.port)
    own_port = own.getsockname()[1]
    assert converse_over(own, user="own", before=proxy_header())["ftp"] == ["127.0.0.1/student", "127.0.0.2/student"]

    # A header from an address that is no balancer, and bad headers from
    # the balancer, close their connections; a client without a header
    # from another address is served as ever.
    refused = {}
    for name, source, data in [
            ("unlisted", "127.0.0.1", proxy_header(("10.4.7.40", 1000)) + opening()),
            ("text", "127.0.0.2", b"PROXY TCP4 10.4.7.41 127.0.0.1 1000 8090\r\n" + opening()),
            ("udp", "127.0.0.2", proxy_header(("10.4.7.42", 1000), family=0x12) + opening()),
            ("bare", "127.0.0.2", opening())]:
        sock = connect_from(source, s.address, s.port)
        refused[name] = sock.getsockname()
        sock.sendall(data)
        closed_by_server(sock)
    direct = converse(s.address, s.port, user="direct", files=an_outdated_client())[1]
    assert relayed["update"] == direct["update"] and len(direct["update"]) == 3

    holder.sendall(inventory("STUDENT", "holder", ()))
    holder_reader.lists()
    holder.close()
    s.wait_for_log(r'peer=10\.4\.7\.31:46232 suite="STUDENT" user="holder" .* result=ok')
    s.wait_for_log(r'peer=10\.4\.7\.31:46233 suite=- user=- .* result=failed '
                   r'reason="more than 1 conversations from this address at once"')
    s.wait_for_log(r'peer=10\.4\.7\.32:50000 suite="STUDENT" user="other" .* result=ok')
    s.wait_for_log(rf'peer=127\.0\.0\.2:{own_port} suite="STUDENT" user="own" .* result=ok')
    s.wait_for_log(r'peer=127\.0\.0\.1:\d+ suite="STUDENT" user="direct" .* result=ok')
    for name, reason in [("unlisted", "a PROXY protocol header from an address not in --proxy-from"),
                         ("text", "no PROXY protocol header where one was expected"),
                         ("udp", "a PROXY protocol header for other than TCP over IPv4 or IPv6 "
                                 "(family and transport 0x12)"),
                         ("bare", "no PROXY protocol header where one was expected")]:
        address, port = refused[name]
        s.wait_for_log(rf'peer={re.escape(address)}:{port} suite=- user=- .* result=failed reason="{re.escape(reason)}"')
    assert s.process.poll() is None


def test_a_balancer_that_does_not_finish_its_header_is_closed_with_a_line(server):
    s = server("--proxy-from", "127.0.0.0/30", "--identity-limit", "1")
    header = proxy_header(("10.4.7.31", 46232))
    stalled = connect_from("127.0.0.2", s.address, s.port)
    stalled.sendall(header[:20])
    gone = connect_from("127.0.0.3", s.address, s.port)
    gone.sendall(header[:10])
    gone.close()
    closed_by_server(stalled)
    s.wait_for_log(r'peer=127\.0\.0\.2:\d+ suite=- user=- .* result=failed reason="no PROXY protocol header within 1 s"')
    s.wait_for_log(r'peer=127\.0\.0\.3:\d+ suite=- user=- .* result=failed '
                   r'reason="the client closed the connection before its PROXY protocol header was whole"')


@pytest.mark.parametrize("value", ["10.1.2", "10.1.2.10/33", "10.1.2.10/", "::1", "balancer.example"])
def test_a_bad_proxy_from_is_refused_with_the_usage(tmp_path, value):
    result = subprocess.run([str(SERVER_BIN), "--releases", str(tmp_path), "--proxy-from", value],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert "--proxy-from wants an IPv4 address, optionally with /BITS (0 to 32)" in result.stderr
    assert "--proxy-from ADDR[/BITS]" in result.stderr
