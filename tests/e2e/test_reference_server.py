"""Whole sessions of the real client under Wine against the reference
update server and a real FTP server serving the same release: outdated
and missing files fetched, a foreign file offered, a forced deletion, a
data source created, the client's new build staged and swapped in; the
next session has nothing to update."""
import socket
import time

import pytest

from conftest import BIN, SUCCESS_LINE, SUCCESS_RGB, close_and_read_log, register_sql_server_driver
from ftp_servers import RealFtpServer
from reference_server import ReferenceServer, write_release
from wire import SERVER_PORT, int32, line, opening
from test_finishing import reg_values

MANIFEST = """\
ftp 127.0.0.1/STUDENT/files
dsn user ULMAR_REPORTS | reports | dbsrv01
delete Bin\\old.dll
keep *.ini
"""


@pytest.fixture
def reference(tmp_path):
    started = []

    def start(files):
        write_release(tmp_path / "releases", "STUDENT", files, MANIFEST)
        update_server = ReferenceServer(tmp_path / "releases", tmp_path / "server.log", port=SERVER_PORT)
        started.append(update_server)
        started.append(RealFtpServer(tmp_path / "releases"))
        return update_server

    yield start
    for peer in started:
        peer.stop() if isinstance(peer, ReferenceServer) else peer.close()


def test_a_session_against_the_reference_server_brings_the_installation_up_to_date(
        make_client, installation, reference):
    register_sql_server_driver()
    folder = installation(suite="student")
    client = make_client("install")  # the client lives in the installation directory
    new_build = (BIN / "UlmarUpdater.exe").read_bytes() + b"new build"
    update_server = reference({
        "UlmarUpdater.exe": new_build,
        "replace_ux.exe": (BIN / "replace_ux.exe").read_bytes(),
        "readme.txt": b"read me, edition 2",
        "Bin\\lib.dll": b"library",
        "Bin\\Отчёт.frm": b"report form",
    })
    (folder / "readme.txt").write_bytes(b"read me, edition 1")
    (folder / "Bin").mkdir()
    (folder / "Bin" / "lib.dll").write_bytes(b"library")
    (folder / "Bin" / "old.dll").write_bytes(b"retired")
    (folder / "user.ini").write_bytes(b"[user]")
    (folder / "junk.tmp").write_bytes(b"x")

    # Workstations that misbehave at the same moment: one gone silent in
    # the middle of its inventory, one with an over-long line, one with a
    # count of 2^31-1.
    start = opening() + line("STUDENT") + line("other")
    misbehaving = [socket.create_connection(("127.0.0.1", SERVER_PORT)) for _ in range(3)]
    misbehaving[0].sendall(start + int32(10) + int32(7) + b"Bin\\half")
    misbehaving[1].sendall(start + int32(1) + int32(7) + b"x" * 16385)
    misbehaving[2].sendall(start + int32(2**31 - 1))

    client.start()
    window = client.wait_ended(timeout=60)
    assert window["status_background"] == SUCCESS_RGB
    assert window["status_lines"][-1] == SUCCESS_LINE
    assert window["controls"]["garbage_button"]["visible"]
    for sock in misbehaving:
        sock.close()
    # Closed with the identifier unread, the first one ends in a reset.
    for reason in ("Connection reset by peer during the inventory", "a line longer than 16384 bytes",
                   "a file count of 2147483647, above the limit of 200000"):
        update_server.wait_for_log(f'user="other" .*result=failed reason="{reason}"')
    assert (folder / "readme.txt").read_bytes() == b"read me, edition 2"
    assert (folder / "Bin" / "Отчёт.frm").read_bytes() == b"report form"
    assert (folder / "UlmarUpdater.exe.new").read_bytes() == new_build
    assert not (folder / "Bin" / "old.dll").exists()
    assert (folder / "junk.tmp").exists() and (folder / "user.ini").exists()
    source = reg_values("HKCU\\Software\\ODBC\\ODBC.INI\\ULMAR_REPORTS")
    assert source["Database"] == "reports" and source["Server"] == "dbsrv01"
    assert "Обновлено 3 из 3" in close_and_read_log(client)
    entry = update_server.wait_for_log(r'.* suite="student" .*').group(0)
    assert " ftp=1 foreign=1 update=3 new_sources=1 delete=1 " in entry and entry.endswith("result=ok")

    # The companion swaps the staged build in once the client has exited.
    deadline = time.monotonic() + 30
    while (folder / "UlmarUpdater.exe.new").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert (folder / "UlmarUpdater.exe").read_bytes() == new_build

    # The next log-on: nothing to update, the foreign file offered again.
    client.start()
    window = client.wait_ended(timeout=60)
    assert window["status_background"] == SUCCESS_RGB
    assert window["controls"]["garbage_button"]["visible"]
    events = close_and_read_log(client)
    assert events[-2:] == ["Обновлено 0 из 0", "Обновление завершено"]
    entry = update_server.wait_for_log(r'.* suite="student" .*', count=2).group(0)
    assert " foreign=1 update=0 new_sources=0 delete=0 " in entry
