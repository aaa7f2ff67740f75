"""The reference update server for tests: a release folder written from a
description, the server started on it, and a protocol client that plays
an UlmarUpdater conversation.

ReferenceServer(root, address, port, extra_args) starts ulmar-update-server
(ULMAR_SERVER_BIN, default build/native/bin/ulmar-update-server) and reads
its log; port 0 lets the system choose.
write_release(root, suite, files, manifest) lays out root/suite/manifest.txt
and root/suite/files/... (names in UTF-8, as on a Linux mirror).
converse(...) sends an inventory and returns the five reply lists.
"""
import os
import re
import signal
import socket
import struct
import subprocess
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SERVER_BIN = Path(os.environ.get("ULMAR_SERVER_BIN", ROOT / "build" / "native" / "bin" / "ulmar-update-server"))
PROTOCOL_ID = b"repl.client-server.v.0.2"


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
        self.process = subprocess.Popen(
            [str(SERVER_BIN), "--releases", str(root), "--listen", f"{address}:{port}", "--log", str(log_path),
             *extra_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.address = address
        match = self.wait_for_log(r"listening on [\d.]+:(\d+)")
        self.port = int(match.group(1))

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


def line(text):
    return (text.encode("cp1251") if isinstance(text, str) else text) + b"\r\n"


def int32(value):
    return struct.pack(">i", value)


def inventory_bytes(suite, user, files, sources=(), protocol=PROTOCOL_ID):
    """files: (crc, name); sources: (kind, name, database, server)."""
    data = int32(1) + line(protocol) + line(suite) + line(user) + int32(len(files))
    for crc, name in files:
        data += struct.pack(">I", crc) + line(name)
    data += int32(len(sources))
    for kind, name, database, server in sources:
        data += int32(kind) + line(name) + line(database) + line(server)
    return data


class Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("the server closed the connection")
        self.buffer += chunk

    def int32(self):
        while len(self.buffer) < 4:
            self._fill()
        value = struct.unpack(">i", self.buffer[:4])[0]
        self.buffer = self.buffer[4:]
        return value

    def line(self):
        while b"\n" not in self.buffer:
            self._fill()
        text, self.buffer = self.buffer.split(b"\n", 1)
        return text[:-1].decode("cp1251") if text.endswith(b"\r") else text.decode("cp1251")

    def lines(self):
        return [self.line() for _ in range(max(0, self.int32()))]


def read_verdict(reader):
    verdict = {"ftp": reader.lines(), "foreign": reader.lines()}
    count = reader.int32()
    verdict["update"] = [(reader.line(), reader.line()) for _ in range(max(0, count))]
    verdict["sources"] = [(reader.int32(), reader.line(), reader.line(), reader.line())
                          for _ in range(max(0, reader.int32()))]
    verdict["delete"] = reader.lines()
    return verdict


def converse(address, port, suite="STUDENT", user="ivanov", files=(), sources=(), protocol=PROTOCOL_ID, timeout=20):
    """One whole conversation; returns the server's identifier and verdict."""
    with socket.create_connection((address, port), timeout=timeout) as sock:
        opening = int32(1) + line(protocol)
        sock.sendall(opening)
        reader = Reader(sock)
        identifier = reader.line()
        sock.sendall(inventory_bytes(suite, user, files, sources, protocol)[len(opening):])
        return identifier, read_verdict(reader)
