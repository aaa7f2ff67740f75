"""FTP servers for the end-to-end tests, inside the tests' network namespace.

RealFtpServer: pyftpdlib, user "repl" / password "kestrel", serving a folder
read-only on port 21 of an address of 127.0.0.0/8; names travel as code
page 1251 bytes.

ScriptedFtpPeer: a small FTP server that misbehaves on request, records the
exact commands it received and serves files from a dict:
  greeting      the greeting's lines (default one "220 ready" line)
  replies       {command: reply line(s)} overriding the normal answer
  drop_after    send only this many bytes of a file, then reset the data
                connection
  close_before_quit   close the control connection after the last RETR's
                final reply, before the client's QUIT
  silent        accept and never answer
  pasv_plain    answer PASV without parentheses
"""
import socket
import threading
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import asynchat

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

from update_server import accept_until
from wire import FTP_PASSWORD, FTP_PORT, FTP_USER


class Cp1251Handler(FTPHandler):
    """Commands and replies in code page 1251, as the mirrors serve them."""
    banner = "ULMAR mirror ready."

    def decode(self, data):
        return data.decode("cp1251", self.unicode_errors)

    def push(self, s):
        asynchat.async_chat.push(self, s.encode("cp1251"))


class RealFtpServer:
    def __init__(self, root, address="127.0.0.1", port=FTP_PORT):
        authorizer = DummyAuthorizer()
        authorizer.add_user(FTP_USER, FTP_PASSWORD, str(root), perm="elr")
        handler = type("Handler", (Cp1251Handler,), {"authorizer": authorizer})
        self.server = ThreadedFTPServer((address, port), handler)
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"timeout": 0.2}, daemon=True)
        self.thread.start()

    def close(self):
        self.server.close_all()
        self.thread.join(timeout=5)


class ScriptedFtpPeer:
    def __init__(self, address="127.0.0.1", port=FTP_PORT, files=None, greeting=("220 ready",), replies=None,
                 drop_after=None, close_before_quit=False, silent=False, pasv_plain=False, garble_quit=False):
        self.address = address
        self.files = files or {}
        self.greeting = list(greeting)
        self.replies = replies or {}
        self.drop_after = drop_after
        self.close_before_quit = close_before_quit
        self.silent = silent
        self.pasv_plain = pasv_plain
        # The answer to QUIT goes out early, right after the reply to RETR,
        # as a line that is no FTP reply: it is waiting when the client
        # sends QUIT, so the disconnect fails whatever the timing.
        self.garble_quit = garble_quit
        self.commands = []
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, port))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        accept_until(self._stop, self.listener, self._serve)

    def _serve(self, conn):
        try:
            with conn:
                self._session(conn)
        except OSError:
            pass

    def _send(self, conn, lines):
        if isinstance(lines, str):
            lines = [lines]
        conn.sendall(b"".join(l.encode("cp1251") + b"\r\n" for l in lines))

    def _session(self, conn):
        if self.silent:
            self._stop.wait(120)
            return
        self._send(conn, self.greeting)
        reader = conn.makefile("rb")
        cwd = "/"
        data_listener = None
        expected_retrs = sum(1 for _ in self.files)
        retrs = 0
        while True:
            raw = reader.readline()
            if not raw:
                return
            line = raw.rstrip(b"\r\n").decode("cp1251")
            self.commands.append(line)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb in self.replies:
                answer = self.replies[verb]
                answer = [answer] if isinstance(answer, str) else list(answer)
                # In one send with the reply, so it is there when the reply is.
                if verb == "RETR" and self.garble_quit:
                    answer.append("garbled")
                self._send(conn, answer)
                if verb == "QUIT":
                    return
                continue
            if verb == "USER":
                self._send(conn, "331 Password required.")
            elif verb == "PASS":
                self._send(conn, "230 Logged in.")
            elif verb == "FEAT":
                self._send(conn, ["211-Features:", " PASV", "211 End"])
            elif verb == "TYPE":
                self._send(conn, "200 Type set to I.")
            elif verb == "SYST":
                self._send(conn, "215 UNIX Type: L8")
            elif verb == "CWD":
                cwd = arg
                self._send(conn, "250 OK.")
            elif verb == "PASV":
                data_listener = socket.socket()
                data_listener.bind((self.address, 0))
                data_listener.listen(1)
                port = data_listener.getsockname()[1]
                numbers = ",".join(self.address.split(".") + [str(port // 256), str(port % 256)])
                self._send(conn, f"227 Entering Passive Mode {numbers}" if self.pasv_plain
                           else f"227 Entering Passive Mode ({numbers}).")
            elif verb == "RETR":
                path = cwd.rstrip("/") + "/" + arg
                content = self.files.get(path)
                if content is None:
                    self._send(conn, "550 No such file.")
                    continue
                self._send(conn, "150 Opening BINARY mode data connection.")
                data, _ = data_listener.accept()
                data_listener.close()
                if self.drop_after is not None:
                    data.sendall(content[:self.drop_after])
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    data.close()
                    self._send(conn, "426 Connection closed; transfer aborted.")
                    continue
                data.sendall(content)
                data.close()
                self._send(conn, ["226 Transfer complete."] + (["garbled"] if self.garble_quit else []))
                retrs += 1
                if self.close_before_quit and retrs >= expected_retrs:
                    return
            elif verb == "QUIT":
                self._send(conn, "221 Goodbye.")
                return
            else:
                self._send(conn, "502 Command not implemented.")

    def close(self):
        self._stop.set()
        self.listener.close()
        self.thread.join(timeout=5)


if __name__ == "__main__":
    # A mirror for the benchmarks: serves FOLDER on PORT of 127.0.0.1 until
    # killed.  Usage: ftp_servers.py FOLDER PORT
    import sys
    import time
    RealFtpServer(sys.argv[1], port=int(sys.argv[2]))
    while True:
        time.sleep(3600)
