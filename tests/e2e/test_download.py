"""Downloading the files to update by FTP, with fail-over, end to end: the
real client under Wine against pyftpdlib and a scripted, misbehaving FTP
peer."""
import pytest

from conftest import FAILURE_RGB, SUCCESS_LINE, Holder, close_and_read_log, lines_through
from ftp_servers import RealFtpServer, ScriptedFtpPeer
from update_server import Conversation
from wire import reply


@pytest.fixture
def ftp():
    servers = []

    def start(kind, *args, **kwargs):
        server = kind(*args, **kwargs)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def run_session(make_client, server, verdict):
    server(script=Conversation(verdict))
    client = make_client().start()
    return client


def wait_for_line(client, prefix):
    return client.wait_for(lambda w: w and any(l.startswith(prefix) for l in w["status_lines"]),
                           what=f"a status line starting {prefix!r}", reading="status")


def test_two_refusing_servers_then_the_files_come_from_the_third(make_client, installation, server, ftp, tmp_path):
    folder = installation()
    (folder / "Bin").mkdir()
    (folder / "Bin" / "x.dll").write_bytes(b"old version")
    # Left over from a transfer that was cut off: removed before downloading.
    (folder / "Bin" / "y.dll.ulmar-partial").write_bytes(b"half")
    mirror = tmp_path / "mirror"
    (mirror / "base" / "a" / "b").mkdir(parents=True)
    (mirror / "base" / "a" / "b" / "x.dll").write_bytes(b"new version" * 1000)
    (mirror / "base" / "f.txt").write_bytes(b"")
    (mirror / "base" / "Справка.txt").write_bytes("справка".encode("cp1251"))
    ftp(RealFtpServer, mirror)
    verdict = reply(ftp=["127.0.0.2", "127.0.0.3", "127.0.0.1/base"],
                    update=[("a\\b\\x.dll", "Bin\\x.dll"), ("f.txt", "sub\\new\\f.txt"),
                            ("Справка.txt", "Справка.txt")])
    client = run_session(make_client, server, verdict)
    window = wait_for_line(client, "   всего cкачано файлов: ")
    assert lines_through(window["status_lines"], "   всего")[-5:] == [
        "Получили информацию, начинаем скачивать",
        "      принят файл: Bin\\x.dll", "      принят файл: sub\\new\\f.txt", "      принят файл: Справка.txt",
        "   всего cкачано файлов: 3"]
    assert client.wait_ended()["status_lines"][-1] == SUCCESS_LINE
    assert (folder / "Bin" / "x.dll").read_bytes() == b"new version" * 1000
    assert (folder / "sub" / "new" / "f.txt").read_bytes() == b""
    assert (folder / "Справка.txt").read_bytes() == "справка".encode("cp1251")
    assert not list(folder.rglob("*.ulmar-partial"))
    events = close_and_read_log(client)
    assert events[-2:] == ["Обновлено 3 из 3", "Обновление завершено"]
    assert events[3:7] == ["Нет соединения с сервером FTP 127.0.0.2", "Connection refused.",
                           "Нет соединения с сервером FTP 127.0.0.3", "Connection refused."]
    traffic = client.log("ftp_clnt.log")
    assert traffic.startswith("Stat Connected.\r\nRecv ")
    for command in ("USER repl", "PASS kestrel", "TYPE I", "CWD /base/a/b", "RETR x.dll", "CWD /base/",
                    "RETR Справка.txt", "QUIT"):
        assert f": {command}<EOL>" in traffic, command
    assert traffic.endswith("Stat Disconnected.\r\n")


def test_a_refused_retr_leaves_the_old_file_and_reports_the_download_failure(make_client, installation, server, ftp):
    folder = installation()
    (folder / "keep.txt").write_bytes(b"previous contents")
    peer = ftp(ScriptedFtpPeer)
    client = run_session(make_client, server, reply(ftp=["127.0.0.1"], update=[("dir\\keep.txt", "keep.txt")]))
    window = client.wait_ended()
    assert window["status_background"] == FAILURE_RGB
    assert window["status_lines"][-2:] == ["   всего cкачано файлов: 0", "Ошибка при скачивании с FTP"]
    assert (folder / "keep.txt").read_bytes() == b"previous contents"
    assert not list(folder.rglob("*.ulmar-partial"))
    assert close_and_read_log(client)[-2:] == ["Ошибка при скачивании с FTP dir\\keep.txt", "No such file."]
    assert peer.commands == ["USER repl", "PASS kestrel", "FEAT", "TYPE I", "SYST", "CWD /dir", "PASV",
                             "RETR keep.txt", "QUIT"]


def test_a_destination_outside_the_installation_is_never_written(make_client, installation, server, ftp, tmp_path):
    installation()
    peer = ftp(ScriptedFtpPeer, files={"/outside.txt": b"evil"})
    client = run_session(make_client, server, reply(ftp=["127.0.0.1"], update=[("outside.txt", "..\\outside.txt")]))
    window = client.wait_ended()
    assert window["status_lines"][-1] == "Ошибка при записи файла на диск"
    assert not (tmp_path / "outside.txt").exists()
    events = close_and_read_log(client)
    assert events[-2] == "Ошибка при записи файла на диск ..\\outside.txt"
    assert "..\\outside.txt" in events[-1]
    assert "RETR outside.txt" not in peer.commands


def test_a_destination_held_open_elsewhere_fails_before_the_transfer_and_keeps_its_old_contents(make_client, installation, server, ftp):
    folder = installation()
    # Below the two levels the scan reads, so only the download meets it.
    deep = folder / "Forms" / "old"
    deep.mkdir(parents=True)
    (deep / "f.txt").write_bytes(b"old")
    peer = ftp(ScriptedFtpPeer, files={"/f.txt": b"data"})
    holder = Holder(deep / "f.txt")
    try:
        client = run_session(make_client, server, reply(ftp=["127.0.0.1"], update=[("f.txt", "Forms\\old\\f.txt")]))
        window = client.wait_ended()
    finally:
        holder.release()
    assert window["status_lines"][-2:] == ["   всего cкачано файлов: 0", "Ошибка при записи файла на диск"]
    assert (deep / "f.txt").read_bytes() == b"old"
    assert not list(folder.rglob("*.ulmar-partial"))
    assert close_and_read_log(client)[-2] == "Ошибка при записи файла на диск Forms\\old\\f.txt"
    # Found before the transfer, not at the move after it.
    assert peer.commands[-2:] == ["CWD /", "QUIT"]


# name: (peer settings, files to update, expected last status lines, expected commands or None)
PEER_CASES = {
    "530 at log-in": (
        dict(replies={"PASS": "530 Login incorrect."}), [("f.txt", "f.txt")],
        ["Нет доступных FTP серверов"], ["USER repl", "PASS kestrel"]),
    "two files of one folder, a CWD before each": (
        dict(files={"/a/f.txt": b"data", "/a/g.txt": b"more"}), [("a\\f.txt", "f.txt"), ("a\\g.txt", "g.txt")],
        ["      принят файл: f.txt", "      принят файл: g.txt", "   всего cкачано файлов: 2"],
        ["USER repl", "PASS kestrel", "FEAT", "TYPE I", "SYST", "CWD /a", "PASV", "RETR f.txt", "CWD /a", "PASV",
         "RETR g.txt", "QUIT"]),
    "a disconnect that fails after every file": (
        dict(files={"/f.txt": b"data"}, garble_quit=True), [("f.txt", "f.txt")],
        ["      принят файл: f.txt", "   (файлы скачаны, но разъединение сервером выполнено некорректно)",
         "   всего cкачано файлов: 1"], None),
    "a disconnect that fails after a refused file": (
        dict(replies={"RETR": "550 No such file."}, garble_quit=True), [("f.txt", "f.txt")],
        ["Получили информацию, начинаем скачивать", "Ошибка при скачивании с FTP"], None),
    "230 at USER logs in without PASS": (
        dict(replies={"USER": "230 Welcome, no password needed."}, files={"/f.txt": b"data"}), [("f.txt", "f.txt")],
        ["      принят файл: f.txt", "   всего cкачано файлов: 1"],
        ["USER repl", "FEAT", "TYPE I", "SYST", "CWD /", "PASV", "RETR f.txt", "QUIT"]),
    "multi-line greeting and replies": (
        dict(greeting=["220-Welcome", "220-to the mirror", "220 ready"], files={"/f.txt": b"data"}),
        [("f.txt", "f.txt")], ["      принят файл: f.txt", "   всего cкачано файлов: 1"], None),
    "550 at CWD": (
        dict(replies={"CWD": "550 No such directory."}), [("d\\f.txt", "f.txt")],
        ["   всего cкачано файлов: 0", "Ошибка при скачивании с FTP"], None),
    "PASV reply without parentheses": (
        dict(pasv_plain=True, files={"/f.txt": b"data"}), [("f.txt", "f.txt")],
        ["      принят файл: f.txt", "   всего cкачано файлов: 1"], None),
    "data connection dropped mid-file": (
        dict(files={"/f.txt": b"x" * 100000}, drop_after=1000), [("f.txt", "f.txt")],
        ["   всего cкачано файлов: 0", "Ошибка при скачивании с FTP"], None),
    "control connection closed before QUIT": (
        dict(files={"/f.txt": b"data"}, close_before_quit=True), [("f.txt", "f.txt")],
        ["   всего cкачано файлов: 1"], None),
}


# The session log's last lines, for the rows that pin them ("*": any text).
PEER_LOG_TAILS = {
    "530 at log-in": ["Нет соединения с сервером FTP 127.0.0.1", "Login incorrect.", " Доступных серверов больше нет"],
    "a disconnect that fails after every file": ["файлы скачаны, но разъединение сервером выполнено некорректно: *",
                                                 "Обновлено 1 из 1", "Обновление завершено"],
    # The disconnect's failure stands for the refused file's.
    "a disconnect that fails after a refused file": ["Ошибка при скачивании с FTP f.txt", "*"],
}


@pytest.mark.parametrize("case", PEER_CASES)
def test_misbehaving_ftp_servers(case, make_client, installation, server, ftp):
    settings, update, last_lines, commands = PEER_CASES[case]
    folder = installation()
    (folder / "f.txt").write_bytes(b"old")
    peer = ftp(ScriptedFtpPeer, **settings)
    client = run_session(make_client, server, reply(ftp=["127.0.0.1"], update=update))
    window = wait_for_line(client, last_lines[-1])
    assert lines_through(window["status_lines"], last_lines[-1])[-len(last_lines):] == last_lines
    ok = last_lines[-1].startswith("   всего")
    assert (folder / "f.txt").read_bytes() == (b"data" if ok else b"old")
    assert not list(folder.rglob("*.ulmar-partial"))
    if commands is not None:
        assert peer.commands == commands
    if case in PEER_LOG_TAILS:
        client.wait_ended()
        want = PEER_LOG_TAILS[case]
        tail = close_and_read_log(client)[-len(want):]
        assert [got if w.endswith("*") and got.startswith(w[:-1]) else w for got, w in zip(tail, want)] == tail
    client.stop()


def test_files_come_from_vsftpd(make_client, installation, server, ftp, tmp_path):
    from vsftpd import Vsftpd

    folder = installation()
    mirror = tmp_path / "mirror"
    (mirror / "win" / "Bin").mkdir(parents=True)
    payload = bytes(range(256)) * 4096
    (mirror / "win" / "Bin" / "core.dll").write_bytes(payload)
    (mirror / "win" / "readme.txt").write_bytes(b"hello\r\n")
    ftp(Vsftpd, mirror, tmp_path)
    client = run_session(make_client, server, reply(ftp=["127.0.0.1/win"],
                                                    update=[("Bin\\core.dll", "Bin\\core.dll"),
                                                            ("readme.txt", "readme.txt")]))
    window = wait_for_line(client, "   всего cкачано файлов: ")
    assert lines_through(window["status_lines"], "   всего")[-1] == "   всего cкачано файлов: 2"
    assert (folder / "Bin" / "core.dll").read_bytes() == payload
    assert (folder / "readme.txt").read_bytes() == b"hello\r\n"
    client.stop()


def test_a_session_of_1500_files_shows_every_line_and_ends_with_the_success_line(
        make_client, installation, server, ftp, tmp_path):
    # Some 75,000 characters of status: past the edit box's default limit of
    # 30,000, which would lose the end of the session.
    folder = installation()
    mirror = tmp_path / "mirror"
    (mirror / "Forms").mkdir(parents=True)
    names = [f"Forms\\форма_{n:04}.frm" for n in range(1, 1501)]
    for name in names:
        (mirror / "Forms" / name.split("\\")[1]).write_bytes(b"f")
    ftp(RealFtpServer, mirror)
    client = run_session(make_client, server, reply(ftp=["127.0.0.1"], update=[(n, n) for n in names]))
    window = client.wait_ended(timeout=600)
    lines = window["status_lines"]
    assert lines[-1] == SUCCESS_LINE
    received = [l for l in lines if l.startswith("      принят файл: ")]
    assert received == ["      принят файл: " + n for n in names]
    assert "   всего cкачано файлов: 1500" in lines
    assert (folder / "Forms" / "форма_1500.frm").read_bytes() == b"f"
