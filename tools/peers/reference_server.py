"""The reference update server for tests: a release folder written from a
description, the server started on it, and a protocol client that plays
an UlmarUpdater conversation.

ReferenceServer(root, address, port, extra_args) starts ulmar-update-server
(ULMAR_SERVER_BIN, default build/native/bin/ulmar-update-server) and reads
its log; port 0 lets the system choose. Its state folder is beside its log
and its fleet page on a port the system chooses, unless extra_args say
otherwise; page_url is the page's address.
write_release(root, suite, files, manifest) lays out root/suite/manifest.txt
and root/suite/files/... (names in UTF-8, as on a Linux mirror).
converse(...) sends an inventory and returns the five reply lists (wire.py
is the codec).
"""
import os
import re
import signal
import socket
import subprocess
import time
import zlib
from pathlib import Path

from wire import PROTOCOL_ID, Reader, inventory, opening

ROOT = Path(__file__).resolve().parents[2]
SERVER_BIN = Path(os.environ.get("ULMAR_SERVER_BIN", ROOT / "build" / "native" / "bin" / "ulmar-update-server"))


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def write_release(root, suite, files, manifest):
    """files maps a Windows-style relative path (str) to bytes."""
    folder = Path(root) / suite
    for name, data in files.items():
        path = folder / "files" / Path(*name.split("\\"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    (folder / "files").mkdir(parents=True, exist_ok=True)
    (folder / "manifest.txt").write_text(manifest, encoding="utf-8")
    return folder


class ReferenceServer:
    def __init__(self, root, log_path, address="127.0.0.1", port=0, extra_args=()):
        self.log_path = Path(log_path)
        defaults = []
        if "--state" not in extra_args:
            defaults += ["--state", str(self.log_path.parent / (self.log_path.stem + "-state"))]
        if "--http" not in extra_args:
            defaults += ["--http", "127.0.0.1:0"]
        self.process = subprocess.Popen(
            [str(SERVER_BIN), "--releases", str(root), "--listen", f"{address}:{port}", "--log", str(log_path),
             *defaults, *extra_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.address = address
        match = self.wait_for_log(r"listening on [\d.]+:(\d+)")
        self.port = int(match.group(1))
        self.page_url = None
        if "off" not in (extra_args[i + 1] for i, a in enumerate(extra_args[:-1]) if a in ("--http", "--database")):
            self.page_url = self.wait_for_log(r"page on (https?://\S+/)").group(1)

    def log(self):
        return self.log_path.read_text(encoding="utf-8") if self.log_path.exists() else ""

    def wait_for_log(self, pattern, timeout=20, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = list(re.finditer(pattern, self.log()))
            if len(found) >= count:
                return found[count - 1]
            if self.process.poll() is not None:
                raise AssertionError(f"the server ended: {self.process.stderr.read()!r}\n{self.log()}")
            time.sleep(0.05)
        raise AssertionError(f"no {pattern!r} in the server's log:\n{self.log()}")

    def conversation_lines(self):
        return [line for line in self.log().splitlines() if " peer=" in line]

    def stop(self, timeout=30):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=timeout)
        return self.process.returncode


def converse(address, port, suite="STUDENT", user="ivanov", files=(), sources=(), protocol=PROTOCOL_ID, timeout=20):
    """One whole conversation; returns the server's identifier and its lists."""
    with socket.create_connection((address, port), timeout=timeout) as sock:
        sock.sendall(opening(protocol))
        reader = Reader(lambda: sock.recv(65536))
        identifier = reader.text()
        sock.sendall(inventory(suite, user, files, sources))
        return identifier, reader.lists()
