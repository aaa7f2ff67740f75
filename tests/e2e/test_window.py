"""The operator window and the session's preparation, as the operator sees them."""
import json
import os
import re
import subprocess
import time

from conftest import FAILURE_RGB, set_registry

# name: (rect in client pixels, text, visible, enabled)
LAYOUT = {
    "Label4": ([8, 8, 97, 16], "Общий прогресс", True, True),
    "pbComm": ([8, 30, 502, 20], None, True, True),
    "Label5": ([8, 56, 90, 16], "Прогресс этапа", True, True),
    "pbLoc": ([8, 78, 502, 20], None, True, True),
    "Label1": ([389, 8, 126, 16], "версия от 07.07.2021", True, False),
    "LogBox": ([8, 104, 504, 247], None, True, True),
    "lbCounter": ([35, 370, 352, 16], "Приложение будет автоматически закрыто через % секунд", False, True),
    "garbage_button": ([8, 367, 273, 25], "Показать файлы, подлежащие удалению", False, True),
    "gab_del": ([8, 367, 273, 25], "Да, эти файлы можно удалить", False, True),
    "btClose": ([408, 367, 102, 25], "Закрыть", True, True),
}


def test_every_control_is_where_and_as_the_layout_says(make_client):
    client = make_client(with_logs=False).start()
    window = client.wait_ended()
    assert window["caption"] == "УЛМАР - Обновление системы"
    assert window["frame"] == [50, 50]
    assert window["client"] == [523, 408]
    for name, (rect, text, visible, enabled) in LAYOUT.items():
        control = window["controls"][name]
        assert control["rect"] == rect, name
        assert control["visible"] == visible, name
        assert control["enabled"] == enabled, name
        if text is not None:
            assert control["text"] == text, name
    ES_READONLY, WS_TABSTOP, WS_VSCROLL, PBS_SMOOTH = 0x800, 0x10000, 0x200000, 0x1
    status_style = window["controls"]["LogBox"]["style"]
    assert status_style & ES_READONLY and status_style & WS_VSCROLL and not status_style & WS_TABSTOP
    for bar in ("pbComm", "pbLoc"):
        assert window["controls"][bar]["style"] & PBS_SMOOTH
        assert window["controls"][bar]["position"] == 0


def test_without_a_logs_folder_only_the_folder_message_shows_and_nothing_is_created(make_client):
    client = make_client(with_logs=False).start()
    window = client.wait_ended()
    assert window["status_lines"] == ["Приложение запущено не из рабочей папки УЛМАР!"]
    assert window["status_background"] == FAILURE_RGB
    assert sorted(p.name for p in client.folder.iterdir()) == ["UlmarUpdater.exe", "replace_ux.exe"]
    # A failed session starts no countdown and shows no clean-up button.
    assert not window["controls"]["lbCounter"]["visible"]
    assert not window["controls"]["garbage_button"]["visible"]


def test_a_log_that_cannot_be_created_shows_the_rights_message_with_the_error(make_client):
    client = make_client()
    (client.folder / "Logs" / "short.log").mkdir()
    window = client.start().wait_ended()
    log_path = client.exe_dir + "Logs\\short.log"
    assert window["status_lines"] == [
        "Недостаточно прав для работы программы! "
        f"unServerLog.start_log: Не удаётся создать журнала ({log_path})."]
    assert window["status_background"] == FAILURE_RGB
    assert not (client.folder / "Logs" / "tcp_clnt.log").exists()


def test_preparation_creates_the_logs_and_writes_the_start_line(make_client):
    client = make_client().start()
    client.wait_for(lambda w: (client.folder / "Logs" / "ftp_clnt.log").exists(), what="the traffic logs")
    client.click("btClose")
    client.wait_exit()
    lines = client.log().split("\r\n")
    stamp = r"\d\d\.\d\d\.\d{4}( \d{1,2}:\d\d:\d\d)?"
    assert re.fullmatch(r"\*\*\* Журнал создан " + stamp, lines[0])
    assert re.fullmatch(stamp + re.escape(" >>> Приложение запущено из " + client.exe_dir), lines[1])
    assert (client.folder / "Logs" / "tcp_clnt.log").exists()


def test_close_button_closes_the_window_at_once_after_the_session(make_client):
    client = make_client(with_logs=False).start()
    client.wait_ended()
    client.click("btClose")
    assert client.wait_exit(timeout=10) == 0


def test_on_another_ansi_code_page_the_program_says_why_and_touches_nothing(make_client, installation, server):
    # An English system locale: code page 1252, where every Cyrillic name
    # would be read and written wrongly.
    folder = installation()
    (folder / "podderzka").mkdir()
    (folder / "podderzka" / "Новости.html").write_bytes(b"news")
    peer = server("accept")
    client = make_client()
    try:
        run_on_code_page_1252(client, folder, peer)
    finally:
        # Wine resets the prefix's regional formats to its own defaults when
        # a process starts in another locale: put back the Russian Windows
        # long time format the other tests read.
        set_registry({"HKEY_CURRENT_USER\\Control Panel\\International": {"sTimeFormat": "H:mm:ss", "iTLZero": "0"}})


def run_on_code_page_1252(client, folder, peer):
    client.process = subprocess.Popen(
        ["wine", str(client.folder / "UlmarUpdater.exe")], env=dict(os.environ, LANG="en_US.UTF-8"),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    title = "Репликация Тиховод - Клиент репликации"
    deadline = time.monotonic() + 30
    while True:
        shown = client.inspector("read-box", title)
        if shown.returncode == 0 or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    assert shown.returncode == 0, "no box"
    texts = [text for cls, text in json.loads(shown.stdout.decode("cp1251"))["texts"] if cls == "Static"]
    assert any("кодовой странице Windows-1251" in t and "установлена кодовая страница 1252" in t for t in texts), texts
    assert client.inspector("press-box", title).returncode == 0
    assert client.wait_exit() == 1
    assert list((client.folder / "Logs").iterdir()) == []
    assert peer.connections == []
    assert (folder / "podderzka" / "Новости.html").exists()
