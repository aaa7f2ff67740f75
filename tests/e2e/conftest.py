"""End-to-end harness: runs the real UlmarUpdater.exe under Wine from a fresh
installation folder and reads its window with the inspector."""
import json
import os
import re
import sys
import shutil
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(os.environ.get("ULMAR_BIN", ROOT / "build" / "windows" / "bin"))
INSPECTOR = BIN / "inspector.exe"

sys.path.insert(0, str(ROOT / "tools" / "peers"))
from update_server import UpdateServerPeer  # noqa: E402
from wine_registry import import_registry  # noqa: E402

STAMP = r"\d\d\.\d\d\.\d{4}( \d{1,2}:\d\d:\d\d)?"
FAILURE_RGB = [255, 204, 204]
SUCCESS_RGB = [204, 255, 204]
SUCCESS_LINE = "Обновление успешно завершено!"
WINDOW_RGB = [255, 255, 255]


def wine_path(path):
    """The Windows spelling of a Linux path (Wine's Z: drive)."""
    return "Z:" + str(path).replace("/", "\\")


def cp1251(text):
    return text.encode("cp1251")


def watching(command, trigger, timeout, failure):
    """Runs an inspector command that watches the window from one running
    process (it says "watching" first), calls trigger() once it watches, and
    returns the status JSON it prints when what it waits for has happened."""
    watcher = subprocess.Popen(["wine", str(INSPECTOR), *command], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert watcher.stdout.readline().strip() == b"watching"
        trigger()
        out, _ = watcher.communicate(timeout=timeout + 30)
    finally:
        if watcher.poll() is None:
            watcher.kill()
            watcher.wait()
    assert watcher.returncode == 0, failure
    return json.loads(out.decode("cp1251"))


class Client:
    """One UlmarUpdater.exe beside (or without) its Logs folder."""

    def __init__(self, folder, with_logs=True):
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(BIN / "UlmarUpdater.exe", folder / "UlmarUpdater.exe")
        shutil.copy(BIN / "replace_ux.exe", folder / "replace_ux.exe")
        if with_logs:
            (folder / "Logs").mkdir()
        self.process = None

    @property
    def exe_dir(self):
        return wine_path(self.folder) + "\\"

    def log(self, name="short.log"):
        """A log file's text, decoded from code page 1251."""
        return (self.folder / "Logs" / name).read_bytes().decode("cp1251")

    def start_watched(self, line, timeout=30):
        """Starts the client with an inspector already watching for the
        status box to show exactly the one line given: a state that lasts
        a moment (a connect attempt) is caught however slowly programs start.
        Returns the inspector's reading."""
        return watching(["watch-status", line, str(timeout)], self.start, timeout,
                        f"the status box never showed only {line!r}")

    def start(self):
        self.process = subprocess.Popen(
            ["wine", str(self.folder / "UlmarUpdater.exe")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_for(lambda w: w is not None, what="the window to appear")
        return self

    def inspector(self, *args):
        return subprocess.run(["wine", str(INSPECTOR), *args], capture_output=True, timeout=60)

    def read(self, what="read"):
        """What the window shows now, or None when there is no window.
        what="status" reads only the status box: quick while a session runs."""
        result = self.inspector(what)
        if result.returncode == 2:
            return None
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout.decode("cp1251"))

    def wait_for(self, predicate, timeout=30, what="the window", reading="read"):
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.read(reading)
            if predicate(last):
                return last
            time.sleep(0.1)
        raise AssertionError(f"timed out waiting for {what}; last reading: {last}")

    def wait_ended(self, timeout=30):
        """Waits until the session has shown its verdict colour."""
        self.wait_for(
            lambda w: w is not None and w["status_background"] in (FAILURE_RGB, SUCCESS_RGB),
            timeout, "the session to end", reading="status")
        return self.read()

    def click(self, name):
        assert self.inspector("click", name).returncode == 0

    def click_armed(self, name):
        """Presses a button once it is visible and the system's double-click
        time has passed since: the clean-up's confirmation ignores a click
        that comes sooner, as the second click of a double click would."""
        assert self.inspector("click-armed", name).returncode == 0

    def click_on_sight(self, name, trigger, timeout=60):
        """Presses a button the moment it shows (trigger() makes it show),
        from one running inspector, and returns the status box as it is once
        the window has handled that click."""
        return watching(["click-on-sight", name, str(timeout)], trigger, timeout, f"{name} never showed")

    def wait_exit(self, timeout=30):
        return self.process.wait(timeout=timeout)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.inspector("close")
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Holder:
    """A Wine process that holds a file open for writing."""

    def __init__(self, path):
        self.process = subprocess.Popen(["wine", str(INSPECTOR), "hold", wine_path(path)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.process.stdout.readline().strip() == b"held"

    def release(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def set_registry(keys, delete=()):
    """Writes registry keys in the 32-bit view (wine_registry.import_registry)."""
    result = import_registry(keys, ROOT / "build" / "e2e-registry.reg", delete)
    assert result.returncode == 0, result.stdout + result.stderr


ULMAR_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR"
USER_DSN_KEY = "HKEY_CURRENT_USER\\Software\\ODBC\\ODBC.INI"
SYSTEM_DSN_KEY = "HKEY_LOCAL_MACHINE\\Software\\ODBC\\ODBC.INI"


def register_sql_server_driver():
    """The stand-in SQLSRV32.dll, registered as the "SQL Server" driver (a
    32-bit program's system32 is the prefix's syswow64)."""
    prefix = Path(os.environ["WINEPREFIX"])
    shutil.copy(BIN.parent / "fixtures" / "SQLSRV32.dll", prefix / "drive_c" / "windows" / "syswow64" / "SQLSRV32.dll")
    set_registry({
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Server": {
            "Driver": "C:\\windows\\system32\\SQLSRV32.dll", "Setup": "C:\\windows\\system32\\SQLSRV32.dll"},
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\ODBC\\ODBCINST.INI\\ODBC Drivers": {"SQL Server": "Installed"},
    })


ENGINE_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Borland\\Database Engine"


def stand_in_engine(folder, aliases=""):
    """The stand-in database engine installed into folder as the engine's
    installer installs itself: its library, its configuration file (the
    stand-in's text, in code page 866 as the engine keeps names and paths)
    and the registry values naming both. Returns the registry keys."""
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(BIN.parent / "fixtures" / "IDAPI32.DLL", folder / "IDAPI32.DLL")
    if aliases:
        (folder / "IDAPI32.CFG").write_bytes(aliases.encode("cp866"))
    return {ENGINE_KEY: {"DLLPATH": wine_path(folder), "CONFIGFILE01": wine_path(folder / "IDAPI32.CFG")}}


def paradox_alias(name, path):
    """A standard Paradox alias in the stand-in engine's configuration."""
    return f"[{name}]\r\nTYPE=STANDARD\r\nPATH={path}\r\nENABLE BCD=FALSE\r\nDEFAULT DRIVER=PARADOX\r\n"


@pytest.fixture
def installation(tmp_path):
    """An installation directory and its registry values; DSNs cleared; the
    stand-in database engine in tmp_path/engine (engine=False: a workstation
    without the engine)."""
    folder = tmp_path / "install"
    folder.mkdir()

    def install(suite="STUDENT", user="ivanov", values=None, dsns=None, engine=True, aliases=""):
        ulmar = {"LocalDir": wine_path(folder), "SuiteCode": suite, "UserID": user}
        ulmar.update(values or {})
        keys = {ULMAR_KEY: {k: v for k, v in ulmar.items() if v is not None}}
        keys.update(dsns or {})
        if engine:
            keys.update(stand_in_engine(install.engine, aliases))
        set_registry(keys, delete=[ULMAR_KEY, USER_DSN_KEY, SYSTEM_DSN_KEY, ENGINE_KEY])
        return folder

    install.folder = folder
    install.engine = tmp_path / "engine"
    return install


@pytest.fixture
def double_click_time():
    """Sets the system's double-click time (in ms) for the programs started
    after it; the prefix's own value comes back after the test."""
    def run(*args):
        result = subprocess.run(["wine", str(INSPECTOR), "double-click-time", *map(str, args)],
                                capture_output=True, timeout=60)
        assert result.returncode == 0, result.stderr
        return int(result.stdout)

    before = run()
    yield lambda ms: run(ms)
    run(before)


@pytest.fixture
def make_client(tmp_path):
    clients = []

    def make(name="client", with_logs=True):
        client = Client(tmp_path / name, with_logs)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.stop()


@pytest.fixture
def server():
    """Starts update-server peers on 127.0.0.1:8090; closed after the test."""
    peers = []

    def start(mode="accept", **kwargs):
        peer = UpdateServerPeer(mode, **kwargs)
        peers.append(peer)
        return peer

    yield start
    for peer in peers:
        peer.close()


def event_lines(log_text):
    """The event texts of a session log, time stamps checked and removed."""
    events = []
    for line in log_text.split("\r\n")[1:]:
        if not line:
            continue
        match = re.fullmatch("(" + STAMP + ") >>> (.*)", line, re.S)
        assert match, line
        events.append(match.group(3))
    return events


def close_and_read_log(client):
    """Closes the window (unless its countdown already did) and returns the
    session log's events."""
    if client.process.poll() is None:
        client.inspector("click", "btClose")
    client.wait_exit()
    return event_lines(client.log())


def lines_through(lines, prefix):
    """The status lines up to and including the first that starts with prefix."""
    for i, line in enumerate(lines):
        if line.startswith(prefix):
            return lines[:i + 1]
    raise AssertionError(f"no status line starts with {prefix!r}: {lines}")


