"""End-to-end harness: runs the real UlmarUpdater.exe under Wine from a fresh
installation folder and reads its window with the inspector."""
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(os.environ.get("ULMAR_BIN", ROOT / "build" / "windows" / "bin"))
INSPECTOR = BIN / "inspector.exe"

FAILURE_RGB = [255, 204, 204]
SUCCESS_RGB = [204, 255, 204]
WINDOW_RGB = [255, 255, 255]


def wine_path(path):
    """The Windows spelling of a Linux path (Wine's Z: drive)."""
    return "Z:" + str(path).replace("/", "\\")


def cp1251(text):
    return text.encode("cp1251")


class Client:
    """One UlmarUpdater.exe beside (or without) its Logs folder."""

    def __init__(self, folder, with_logs=True):
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(BIN / "UlmarUpdater.exe", folder / "UlmarUpdater.exe")
        if with_logs:
            (folder / "Logs").mkdir()
        self.process = None

    @property
    def exe_dir(self):
        return wine_path(self.folder) + "\\"

    def log(self, name="short.log"):
        """A log file's text, decoded from code page 1251."""
        return (self.folder / "Logs" / name).read_bytes().decode("cp1251")

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
