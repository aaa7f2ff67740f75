"""The connection to the update server, end to end."""

from conftest import FAILURE_RGB, close_and_read_log, event_lines


def test_nothing_listening_fails_with_the_connection_message(make_client):
    client = make_client().start()
    window = client.wait_ended()
    assert window["status_lines"] == [
        "Устанавливаем соединение с сервером", "Не удаётся установить соединение с сервером "]
    assert window["status_background"] == FAILURE_RGB
    assert window["controls"]["pbComm"]["position"] == 0
    assert close_and_read_log(client) == [
        "Приложение запущено из " + client.exe_dir,
        "Пробуем установить соединение",
        "Не удаётся установить соединение с сервером (TCP)",
        "Connection refused.",
    ]
    assert client.log("tcp_clnt.log") == ""


def test_a_server_that_never_completes_the_handshake_times_out_and_the_window_stays_responsive(
        make_client, server):
    server("stall")
    client = make_client()
    # While the connect waits, the window answers the inspector's questions.
    connecting = client.start_watched("Устанавливаем соединение с сервером")
    assert connecting["status_background"] != FAILURE_RGB
    # Asked again, the window answers again. (Whether the two-second wait is
    # still running by then depends on how fast the inspector starts, so
    # only the first reading can say it happened during the wait.)
    again = client.read("status")
    assert again["status_lines"][0] == "Устанавливаем соединение с сервером"
    window = client.wait_ended()
    assert window["status_lines"][-1] == "Не удаётся установить соединение с сервером "
    assert close_and_read_log(client)[-2:] == [
        "Не удаётся установить соединение с сервером (TCP)", "Connect timed out."]


def test_a_close_request_during_the_connect_takes_effect_when_the_session_ends(make_client, server):
    server("stall")
    client = make_client()
    client.start_watched("Устанавливаем соединение с сервером")
    client.click("btClose")
    assert client.wait_exit(timeout=15) == 0
    assert event_lines(client.log())[-1] == "Connect timed out."


def test_an_accepting_server_is_connected_to(make_client, server):
    peer = server("accept")
    client = make_client().start()
    peer.wait_for_connections(1)
    # Connected: the exchange has begun (its first step sets the overall
    # progress to 10), so "Установлено." is in the log.
    client.wait_for(lambda w: w and w["controls"]["pbComm"]["position"] == 10, what="the exchange to begin")
    events = close_and_read_log(client)
    assert events[1:3] == ["Пробуем установить соединение", "Установлено."]
    assert "Stat Connected." not in client.log("tcp_clnt.log")
