"""A scriptable stand-in for the update server, for the end-to-end tests.

It listens on 127.0.0.1:8090 (inside the tests' private network namespace)
and records every connection's bytes. Modes:
  accept   accept connections and play the reply script (default: none)
  stall    never complete a handshake: a listener with a backlog of 0 whose
           queue one connection of its own fills, so further SYNs are dropped
With a Conversation as its script it plays the update server's side of the
protocol: decodes what the client sends and answers with scripted lists.
Run by hand: python3 update_server.py [accept|stall]
"""
import socket
import sys
import threading
import time

from wire import PROTOCOL_ID, SERVER_PORT, Reader, line, reply


def accept_until(stop, listener, handle):
    """Accepts connections on listener (which has a short time-out) and hands
    each to handle(conn) until stop is set or the listener is closed."""
    while not stop.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            return
        handle(conn)


class UpdateServerPeer:
    def __init__(self, mode="accept", host="127.0.0.1", port=SERVER_PORT, script=None):
        self.mode = mode
        self.host = host
        self.port = port
        # script(conn, peer) talks to one client; by default the peer only
        # records what arrives until the client closes.
        self.script = script
        self.connections = []  # raw bytes received, one entry per connection
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._threads = []
        self._filler = None
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        if mode == "stall":
            self.listener.listen(0)
            self._filler = socket.create_connection((host, port))
        else:
            self.listener.listen(8)
            self.listener.settimeout(0.2)
            self._spawn(self._accept_loop)

    def _spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self._threads.append(thread)

    def _accept_loop(self):
        accept_until(self._stop, self.listener, self._accepted)

    def _accepted(self, conn):
        with self._lock:
            self.connections.append(b"")
            index = len(self.connections) - 1
        self._spawn(self._serve, conn, index)

    def _serve(self, conn, index):
        with conn:
            try:
                if self.script:
                    client = ClientConnection(conn, self, index)
                    self.script(client)
                    if getattr(self.script, "stop", None):
                        return  # close now, as scripted
                self._record_until_closed(conn, index)
            except (OSError, EOFError):
                pass

    def _record(self, index, data):
        with self._lock:
            self.connections[index] += data

    def _record_until_closed(self, conn, index):
        conn.settimeout(30)
        while True:
            data = conn.recv(65536)
            if not data:
                return
            self._record(index, data)

    def wait_for_connections(self, count=1, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.connections) >= count:
                    return
            time.sleep(0.05)
        raise AssertionError(f"expected {count} connection(s), saw {len(self.connections)}")

    def close(self):
        self._stop.set()
        if self._filler:
            self._filler.close()
        self.listener.close()
        for thread in self._threads:
            thread.join(timeout=5)


class ClientConnection(Reader):
    """One accepted client, for reply scripts: what the reads take is recorded."""

    def __init__(self, conn, peer, index):
        super().__init__(self._receive)
        self.conn = conn
        self.peer = peer
        self.index = index
        conn.settimeout(30)

    def _receive(self):
        data = self.conn.recv(65536)
        self.peer._record(self.index, data)
        return data

    def send(self, data):
        self.conn.sendall(data)


class Conversation:
    """A reply script for UpdateServerPeer: reads the client's opening,
    identity and whole inventory (decoded into fields), then sends the
    reply. stop names a step after which the peer closes instead of going
    on: "opening" (before its identifier), "id", "identity", "files",
    "inventory"; "midreply" sends half the reply and closes."""

    def __init__(self, reply_bytes=None, server_id=PROTOCOL_ID, stop=None, after=b""):
        self.reply_bytes = reply() if reply_bytes is None else reply_bytes
        self.server_id = server_id
        self.stop = stop
        self.after = after
        self.fields = {}

    def __call__(self, client):
        f = self.fields
        f["opening"] = client.int32()
        f["protocol_id"] = client.line()
        if self.stop == "opening":
            return
        client.send(line(self.server_id))
        if self.stop == "id":
            return
        f["suite"] = client.text()
        f["user"] = client.text()
        if self.stop == "identity":
            return
        f["files"] = [(client.uint32(), client.text()) for _ in range(max(client.int32(), 0))]
        if self.stop == "files":
            return
        f["sources"] = [(client.int32(), client.text(), client.text(), client.text())
                        for _ in range(max(client.int32(), 0))]
        if self.stop == "inventory":
            return
        if self.stop == "midreply":
            client.send(self.reply_bytes[:len(self.reply_bytes) // 2])
            return
        client.send(self.reply_bytes + self.after)


if __name__ == "__main__":
    peer = UpdateServerPeer(sys.argv[1] if len(sys.argv) > 1 else "accept")
    print(f"update-server peer ({peer.mode}) on {peer.host}:{peer.port}; Ctrl-C ends it")
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        peer.close()
