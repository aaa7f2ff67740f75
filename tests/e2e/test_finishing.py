"""A session to its end, under Wine: success with the countdown, the
clean-up dialog, a missing companion, the self-replacement, and forced
deletion that stays inside the installation."""
import datetime
import shutil
import subprocess
import time

from conftest import (BIN, FAILURE_RGB, INSPECTOR, SUCCESS_LINE, SUCCESS_RGB, USER_DSN_KEY, close_and_read_log, event_lines,
                      paradox_alias, register_sql_server_driver, wine_path)
from update_server import Conversation
from wire import reply

RUN_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"


def reg_query(key, value):
    out = subprocess.run(["wine", "reg", "query", key, "/v", value, "/reg:32"], capture_output=True, timeout=60)
    for line in out.stdout.decode("cp866", "replace").splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == value:
            return parts[2]
    return None


def test_a_successful_session_ends_green_records_the_date_and_closes_itself(make_client, installation, server):
    folder = installation()
    server(script=Conversation(reply()))
    client = make_client()
    uninstaller = client.folder / "unins000.exe"
    uninstaller.write_bytes(b"MZ")
    subprocess.run(["wine", "attrib", "+r", wine_path(uninstaller)], capture_output=True, timeout=60)
    client.start()
    window = client.wait_ended()
    assert window["status_background"] == SUCCESS_RGB
    assert window["status_lines"][-1] == SUCCESS_LINE
    assert window["controls"]["pbComm"]["position"] == 100
    assert window["controls"]["lbCounter"]["visible"]
    assert not window["controls"]["garbage_button"]["visible"]
    # The countdown closes the window by itself about ten seconds later.
    assert client.wait_exit(timeout=20) == 0
    events = event_lines(client.log())
    assert events[-2:] == ["Обновлено 0 из 0", "Обновление завершено"]
    assert reg_query("HKLM\\SOFTWARE\\ULMAR", "LastUpdated") == datetime.date.today().strftime("%d.%m.%Y")
    assert reg_query(RUN_KEY, "UlmarUpdater") == wine_path(folder) + "\\UlmarUpdater.exe"
    # Hidden and system, the read-only attribute gone (Wine reports every
    # file as archived as well).
    attributes = int(subprocess.run(["wine", str(INSPECTOR), "attributes", wine_path(uninstaller)],
                                    capture_output=True, timeout=60).stdout)
    assert attributes & ~0x20 == 0x2 | 0x4


def test_one_foreign_file_is_offered_listed_and_deleted_on_confirmation(make_client, installation, server):
    folder = installation()
    (folder / "junk.tmp").write_bytes(b"x")
    server(script=Conversation(reply(foreign=["junk.tmp"])))
    client = make_client().start()
    window = client.wait_ended()
    assert window["status_background"] == SUCCESS_RGB
    assert window["controls"]["garbage_button"]["visible"]
    assert not window["controls"]["lbCounter"]["visible"]
    client.click("garbage_button")
    listed = client.wait_for(lambda w: w and w["controls"]["gab_del"]["visible"], what="the list")
    assert listed["status_lines"] == [
        "Следующие файлы в рабочей директории системы УЛМАР не принадлежат системе и должны быть удалены: ", "",
        wine_path(folder) + "\\junk.tmp", "", 'Если хотите удалить файлы сейчас, нажмите кнопку "Да" иначе - "Закрыть"']
    assert not listed["controls"]["garbage_button"]["visible"]
    client.click_armed("gab_del")
    assert client.wait_exit(timeout=20) == 0
    assert not (folder / "junk.tmp").exists()


def test_a_confirmation_clicked_as_it_appears_is_ignored(make_client, installation, server, double_click_time):
    # The confirmation takes the offer's place: the second click of a double
    # click on the offer must not delete anything. A long double-click time
    # keeps the first click inside the guard however slowly this machine runs.
    assert double_click_time(5000) == 5000
    folder = installation()
    (folder / "junk.tmp").write_bytes(b"x")
    server(script=Conversation(reply(foreign=["junk.tmp"])))
    client = make_client().start()
    client.wait_ended()
    status = client.click_on_sight("gab_del", lambda: client.click("garbage_button"))
    assert status["status_lines"][-1] == 'Если хотите удалить файлы сейчас, нажмите кнопку "Да" иначе - "Закрыть"'
    assert client.read()["controls"]["gab_del"]["visible"]
    assert (folder / "junk.tmp").exists()
    client.click_armed("gab_del")
    assert client.wait_exit(timeout=20) == 0
    assert not (folder / "junk.tmp").exists()


def test_a_long_clean_up_list_keeps_every_line(make_client, installation, server):
    folder = installation()
    foreign = [f"Черновики\\черновик_{n:04}.tmp" for n in range(400)]
    server(script=Conversation(reply(foreign=foreign)))
    client = make_client().start()
    assert client.wait_ended()["status_background"] == SUCCESS_RGB
    client.click("garbage_button")
    listed = client.wait_for(lambda w: w and w["controls"]["gab_del"]["visible"], timeout=120, what="the list")
    lines = listed["status_lines"]
    # Some 36,000 characters: past the edit box's default limit of 30,000.
    assert len(lines) == len(foreign) + 4
    assert lines[2] == wine_path(folder) + "\\" + foreign[0]
    assert lines[-3] == wine_path(folder) + "\\" + foreign[-1]
    assert lines[-1] == 'Если хотите удалить файлы сейчас, нажмите кнопку "Да" иначе - "Закрыть"'


def test_a_missing_companion_ends_the_session_red_without_the_date(make_client, installation, server):
    installation()
    subprocess.run(["wine", "reg", "delete", "HKLM\\SOFTWARE\\ULMAR", "/v", "LastUpdated", "/f", "/reg:32"],
                   capture_output=True, timeout=60)
    server(script=Conversation(reply()))
    client = make_client()
    (client.folder / "replace_ux.exe").unlink()
    client.start()
    window = client.wait_ended()
    assert window["status_background"] == FAILURE_RGB
    assert window["status_lines"][-1] == "Репликатор не смог обновить себя!"
    # The session has ended without the countdown: once the window's thread
    # has handled everything before a message sent now, no label shows.
    assert client.inspector("sync").returncode == 0
    assert not client.read()["controls"]["lbCounter"]["visible"]
    assert close_and_read_log(client)[-1] == "Репликатор не смог обновить себя"
    assert reg_query("HKLM\\SOFTWARE\\ULMAR", "LastUpdated") is None


def test_a_staged_client_replaces_the_running_one_after_it_exits(make_client, installation, server):
    folder = installation()
    client = make_client()
    staged = (BIN / "UlmarUpdater.exe").read_bytes() + b"new build"
    (client.folder / "UlmarUpdater.exe.new").write_bytes(staged)
    server(script=Conversation(reply()))
    client.start()
    client.wait_ended()
    # The client is still running: the old executable is still in place.
    assert (client.folder / "UlmarUpdater.exe").read_bytes() != staged
    client.click("btClose")
    client.wait_exit()
    deadline = time.monotonic() + 30
    while (client.folder / "UlmarUpdater.exe.new").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert (client.folder / "UlmarUpdater.exe").read_bytes() == staged
    assert not (client.folder / "UlmarUpdater.exe.new").exists()
    assert "Клиент обновлён" in (client.folder / "Logs" / "replace_ux.log").read_bytes().decode("cp1251")
    # What runs at the next log-on: the command of the Run value. Wine does
    # not start it by itself; install the new build where it points, as the
    # system's installer keeps the client, and start the command.
    command = reg_query(RUN_KEY, "UlmarUpdater")
    assert command == wine_path(folder) + "\\UlmarUpdater.exe"
    shutil.copy(client.folder / "UlmarUpdater.exe", folder / "UlmarUpdater.exe")
    (folder / "Logs").mkdir()
    started = subprocess.Popen(["wine", command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client.process = started
        client.wait_ended()
    finally:
        client.stop()
    assert (folder / "UlmarUpdater.exe").read_bytes() == staged
    assert "Приложение запущено из " + wine_path(folder) + "\\" in (folder / "Logs" / "short.log").read_bytes().decode("cp1251")


def test_forced_deletion_never_reaches_outside_the_installation(make_client, installation, server, tmp_path):
    folder = installation()
    (folder / "old.dll").write_bytes(b"x")
    outside = tmp_path / "win.ini"
    outside.write_bytes(b"[windows]\r\n")
    server(script=Conversation(reply(delete=["old.dll", "..\\win.ini", "..\\..\\windows\\win.ini"])))
    client = make_client().start()
    window = client.wait_ended()
    assert not (folder / "old.dll").exists()
    assert outside.read_bytes() == b"[windows]\r\n"
    assert "Ошибка принудительного удаления файла: ..\\win.ini" in window["status_lines"]
    # A later success turns the box green all the same.
    assert window["status_background"] == SUCCESS_RGB


def test_data_sources_are_replaced_through_the_odbc_installer_and_the_engine(make_client, installation, server, tmp_path):
    register_sql_server_driver()
    installation(dsns={USER_DSN_KEY + "\\Main": {"Driver": "C:\\windows\\system32\\SQLSRV32.dll",
                                                 "Database": "old", "Server": "old", "Encrypt": "Yes"}},
                 aliases=paradox_alias("Reports", "C:\\Reports") + paradox_alias("книги", "C:\\Old"))
    sources = [(1, "Main", "uchet", "db1"), (0, "Общая", "main", "db2"), (3, "Other", "", ""),
               (2, "Книги", "C:\\Данные\\Книги", ""), (2, "Учёт", "D:\\Учёт", "")]
    server(script=Conversation(reply(sources=sources)))
    client = make_client().start()
    window = client.wait_ended()
    assert window["status_lines"][-1] == SUCCESS_LINE
    user = reg_values("HKCU\\Software\\ODBC\\ODBC.INI\\Main")
    assert user["Database"] == "uchet" and user["Server"] == "db1" and user["Network"] == "DBMSSOCN"
    assert "Encrypt" not in user
    system = reg_values("HKLM\\Software\\ODBC\\ODBC.INI\\Общая")
    assert system["Database"] == "main" and system["Driver"].endswith("SQLSRV32.dll")
    assert "Encrypt" not in system
    assert reg_values("HKCU\\Software\\ODBC\\ODBC.INI\\Other") == {}
    # The alias whose name differs only in letter case is replaced, the new
    # one added, both kept by the engine in its own code page.
    saved = (installation.engine / "IDAPI32.CFG").read_bytes().decode("cp866")
    assert saved[saved.index("["):] == (paradox_alias("Reports", "C:\\Reports") +
                                        paradox_alias("Книги", "C:\\Данные\\Книги") +
                                        paradox_alias("Учёт", "D:\\Учёт"))
    close_and_read_log(client)


def test_an_alias_the_engine_cannot_save_ends_the_session_with_the_engines_message(make_client, installation, server):
    installation(aliases=paradox_alias("Books", "C:\\Old"))
    # The engine writes its configuration beside the file first.
    (installation.engine / "IDAPI32.CFG.saving").mkdir()
    server(script=Conversation(reply(sources=[(2, "Books", "C:\\New", "")])))
    client = make_client().start()
    window = client.wait_ended()
    assert window["status_background"] == FAILURE_RGB
    assert window["status_lines"][-1] == "Ошибка при создании алиаса"
    assert close_and_read_log(client)[-2:] == ["Ошибка при создании алиасаBooks",
                                               "Cannot write to engine configuration file."]
    assert "C:\\Old" in (installation.engine / "IDAPI32.CFG").read_bytes().decode("cp866")


def reg_values(key):
    out = subprocess.run(["wine", "reg", "query", key, "/reg:32"], capture_output=True, timeout=60)
    values = {}
    for line in out.stdout.decode("cp866", "replace").splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return values


def test_a_foreign_file_that_cannot_be_deleted_gets_a_warning_and_the_window_still_closes(
        make_client, installation, server):
    from test_exchange import Holder

    folder = installation()
    (folder / "busy.tmp").write_bytes(b"x")
    (folder / "free.tmp").write_bytes(b"x")
    server(script=Conversation(reply(foreign=["busy.tmp", "free.tmp"])))
    client = make_client().start()
    client.wait_ended()
    holder = Holder(folder / "busy.tmp")
    try:
        client.click("garbage_button")
        client.wait_for(lambda w: w and w["controls"]["gab_del"]["visible"], what="the list")
        client.click_armed("gab_del")
        window = client.wait_for(lambda w: w and w["message_boxes"], what="the warning box")
        box = window["message_boxes"][0]
        assert box["title"] == "Warning"
        assert ["Static", 'Не удаётся удалить файл "busy.tmp"; возможно, в данный момент он открыт. '] in box["texts"]
        # The program's own box: its button reads "OK" in Latin letters.
        assert [t for t in box["texts"] if t[0] == "Button"] == [["Button", "OK"]]
        assert client.inspector("press-box").returncode == 0
        assert client.wait_exit(timeout=20) == 0
    finally:
        holder.release()
    assert (folder / "busy.tmp").exists()
    assert not (folder / "free.tmp").exists()


def test_closing_instead_of_confirming_deletes_nothing(make_client, installation, server):
    folder = installation()
    (folder / "junk.tmp").write_bytes(b"x")
    server(script=Conversation(reply(foreign=["junk.tmp"])))
    client = make_client().start()
    client.wait_ended()
    client.click("garbage_button")
    client.wait_for(lambda w: w and w["controls"]["gab_del"]["visible"], what="the list")
    client.click("btClose")
    assert client.wait_exit(timeout=20) == 0
    assert (folder / "junk.tmp").exists()
