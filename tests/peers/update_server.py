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
    def __init__(self, mode="accept", host="127.0.0.1", port=8090, script=None):
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


class ClientConnection:
    """One accepted client, for reply scripts: reads record what arrives."""

    def __init__(self, conn, peer, index):
        self.conn = conn
        self.peer = peer
        self.index = index
        self.pending = b""
        conn.settimeout(30)

    def _fill(self):
        data = self.conn.recv(65536)
        if not data:
            raise EOFError("client closed the connection")
        self.peer._record(self.index, data)
        self.pending += data

    def read_exact(self, n):
        while len(self.pending) < n:
            self._fill()
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def read_int32(self):
        return int.from_bytes(self.read_exact(4), "big", signed=True)

    def read_uint32(self):
        return int.from_bytes(self.read_exact(4), "big", signed=False)

    def read_line(self):
        while b"\n" not in self.pending:
            self._fill()
        line, self.pending = self.pending.split(b"\n", 1)
        if line.endswith(b"\r"):
            line = line[:-1]
        return line

    def send(self, data):
        self.conn.sendall(data)


PROTOCOL_ID = b"repl.client-server.v.0.2"


def int32(value):
    return value.to_bytes(4, "big", signed=True)


def line(text):
    return (text.encode("cp1251") if isinstance(text, str) else text) + b"\r\n"


def reply(ftp=(), foreign=(), update=(), sources=(), delete=(), counts=None):
    """The server's five lists in wire form. counts overrides the count
    sent for a list by its name ("ftp", "foreign", "update", "sources",
    "delete") without changing the elements that follow."""
    counts = counts or {}
    out = int32(counts.get("ftp", len(ftp))) + b"".join(line(x) for x in ftp)
    out += int32(counts.get("foreign", len(foreign))) + b"".join(line(x) for x in foreign)
    out += int32(counts.get("update", len(update)))
    out += b"".join(line(remote) + line(local) for remote, local in update)
    out += int32(counts.get("sources", len(sources)))
    out += b"".join(int32(kind) + line(name) + line(db) + line(server) for kind, name, db, server in sources)
    out += int32(counts.get("delete", len(delete))) + b"".join(line(x) for x in delete)
    return out


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
        f["opening"] = client.read_int32()
        f["protocol_id"] = client.read_line()
        if self.stop == "opening":
            return
        client.send(line(self.server_id))
        if self.stop == "id":
            return
        f["suite"] = client.read_line().decode("cp1251")
        f["user"] = client.read_line().decode("cp1251")
        if self.stop == "identity":
            return
        f["files"] = [(client.read_uint32(), client.read_line().decode("cp1251"))
                      for _ in range(max(client.read_int32(), 0))]
        if self.stop == "files":
            return
        f["sources"] = [(client.read_int32(), *(client.read_line().decode("cp1251") for _ in range(3)))
                        for _ in range(max(client.read_int32(), 0))]
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
