"""The update protocol's wire form in Python, the one codec the test peers
and the main job share: Int32 and UInt32 are four bytes, most significant
first; a Line is its text in code page 1251 followed by CR LF, and is read
up to its LF with one CR before it dropped."""
import struct

PROTOCOL_ID = b"repl.client-server.v.0.2"
SERVER_PORT = 8090
# The client's built-in FTP log-in, on port 21 of every mirror.
FTP_USER = "repl"
FTP_PASSWORD = "kestrel"
FTP_PORT = 21


def int32(value):
    return struct.pack(">i", value)


def uint32(value):
    return struct.pack(">I", value)


def line(text):
    return (text.encode("cp1251") if isinstance(text, str) else text) + b"\r\n"


def opening(protocol=PROTOCOL_ID):
    """Int32 1 and the protocol identifier's line."""
    return int32(1) + line(protocol)


def inventory(suite, user, files, sources=()):
    """The identity and the inventory after the opening. files: (crc, name);
    sources: (kind, name, database, server)."""
    data = line(suite) + line(user) + int32(len(files))
    for crc, name in files:
        data += uint32(crc) + line(name)
    data += int32(len(sources))
    for kind, name, database, server in sources:
        data += int32(kind) + line(name) + line(database) + line(server)
    return data


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


class Reader:
    """Reads elements from a stream; receive() returns the next bytes, or b""
    once the other side has closed (then EOFError is raised)."""

    def __init__(self, receive):
        self.receive = receive
        self.buffer = b""

    def _fill(self):
        data = self.receive()
        if not data:
            raise EOFError("the other side closed the connection")
        self.buffer += data

    def exact(self, n):
        while len(self.buffer) < n:
            self._fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def int32(self):
        return struct.unpack(">i", self.exact(4))[0]

    def uint32(self):
        return struct.unpack(">I", self.exact(4))[0]

    def line(self):
        """A line's bytes."""
        while b"\n" not in self.buffer:
            self._fill()
        text, self.buffer = self.buffer.split(b"\n", 1)
        return text[:-1] if text.endswith(b"\r") else text

    def text(self):
        """A line decoded from code page 1251."""
        return self.line().decode("cp1251")

    def texts(self):
        """A counted list of lines; a count of 0 or less reads nothing."""
        return [self.text() for _ in range(max(0, self.int32()))]

    def lists(self):
        """The server's five lists."""
        lists = {"ftp": self.texts(), "foreign": self.texts()}
        count = self.int32()
        lists["update"] = [(self.text(), self.text()) for _ in range(max(0, count))]
        lists["sources"] = [(self.int32(), self.text(), self.text(), self.text())
                            for _ in range(max(0, self.int32()))]
        lists["delete"] = self.texts()
        return lists
