"""HAProxy in front of several update servers, for tests, the try-out and
the benchmark: a configuration written from a template, HAProxy run in the
foreground as a child process, its stats socket read for the servers'
states, and its one log line per connection parsed.

  HAProxy(folder, listen=("127.0.0.1", 8090),
          servers=[("a", "127.0.0.1", 18091), ("b", "127.0.0.1", 18092)]).start()

HAProxy passes bytes through (mode tcp) to the server with the fewest
conversations, checks every server with a TCP connect every 200 ms (down
after two failures, up after two successes), and tries a connection that
a server refused again on another one (retries 3, redispatched on every
retry), so a server that died is skipped even before the checks notice.
With send_proxy (--send-proxy from the shell) every connection to a server
begins with a PROXY protocol version 2 header naming the client
(send-proxy-v2), and the checks send one that says LOCAL
(check-send-proxy): the servers must then run with --proxy-from HAProxy's
address (127.0.0.1 when the servers listen on loopback).

A conversation may stay silent while the client scans its installation:
the client and server timeouts are longer than the update server's idle
limit (300 s), which is the one that ends a silent conversation.

Each connection's log line (written to log_path when it ends) says the
client (the "peer" in that server's log with send_proxy), which server
served it, HAProxy's own port towards that server (the "peer" port in that
server's log without send_proxy), how it ended (HAProxy's two-letter
termination state: "--" normal, "SD" the server went away
mid-conversation, ...), and the bytes each way, when HAProxy accepted it
(seconds since 1970) and how many milliseconds it lasted (one line):

  conn client=127.0.0.1:40312 server=a backend_port=51234 state=-- retries=0 up=123456 down=789 start=1767225600.123 ms=41

From the shell (the try-out and the benchmark), HAProxy outliving the command:

  python3 tools/peers/haproxy.py start FOLDER LISTEN NAME=ADDR:PORT... [--send-proxy]
  python3 tools/peers/haproxy.py stop FOLDER
  python3 tools/peers/haproxy.py status FOLDER
"""
import argparse
import csv
import io
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

HAPROXY_BIN = os.environ.get("ULMAR_HAPROXY_BIN", "/usr/sbin/haproxy")

# The update server ends a conversation silent for 300 s by itself
# (--idle-limit); HAProxy's own timeouts stay out of its way.
TEMPLATE = """\
# Written by tools/peers/haproxy.py.
global
    stats socket {stats_socket} level admin
    maxconn {maxconn}
    log stdout format raw local0 info
{threads_line}    # After a soft stop (SIGUSR1) HAProxy waits at most this long for the
    # conversations in flight; stop() (SIGTERM) cuts them at once.
    hard-stop-after 30s

defaults
    mode tcp
    log global
    log-format "conn client=%ci:%cp server=%s backend_port=%bp state=%ts retries=%rc up=%U down=%B start=%Ts.%ms ms=%Tt"
    # A connection refused by a server is tried again on another one at once.
    option redispatch 1
    retries 3
    timeout connect {timeout_connect}
    timeout client 330s
    timeout server 330s
    timeout check {timeout_check}

frontend updates
    bind {listen_address}:{listen_port}
    maxconn {maxconn}
    default_backend update_servers

backend update_servers
    balance {balance}
    default-server check inter {check_inter} fall {fall} rise {rise}
{server_lines}
"""


class HAProxy:
    def __init__(self, folder, listen, servers, balance="leastconn", check_inter="200ms", fall=2, rise=2,
                 maxconn=None, timeout_connect="2s", timeout_check="1s", threads=1, send_proxy=False):
        """listen: (address, port) clients connect to; servers: (name, address,
        port) of each update server; send_proxy: the PROXY protocol header
        (version 2) ahead of every connection and check."""
        self.folder = Path(folder).resolve()
        self.listen = (listen[0], int(listen[1]))
        self.servers = [tuple(s) for s in servers]
        self.config_path = self.folder / "haproxy.cfg"
        self.stats_socket = self.folder / "haproxy.sock"
        self.log_path = self.folder / "haproxy.log"
        self.pid_path = self.folder / "haproxy.pid"
        if maxconn is None:
            # Two descriptors a connection (client and server side) and some
            # to spare, within what this process may open.
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            maxconn = 10000 if hard == resource.RLIM_INFINITY else max(100, min(10000, (hard - 200) // 2))
        self.settings = dict(threads=threads, balance=balance, check_inter=check_inter, fall=fall, rise=rise,
                             maxconn=maxconn, timeout_connect=timeout_connect, timeout_check=timeout_check)
        self.send_proxy = send_proxy
        self.process = None

    @property
    def address(self):
        return self.listen[0]

    @property
    def port(self):
        return self.listen[1]

    def config(self):
        # The checks would send the header anyway while they go to the
        # server's own address and port; said so, it stays when they do not.
        proxy = " send-proxy-v2 check-send-proxy" if self.send_proxy else ""
        lines = [f"    server {name} {address}:{port}{proxy}" for name, address, port in self.servers]
        settings = dict(self.settings)
        threads = settings.pop("threads")
        # One thread by default: with several, a thread that finds another one
        # writing a log line drops its own (show info: DroppedLogs), and the
        # tests count every connection's line. None: one per processor.
        threads_line = "" if threads is None else f"    nbthread {threads}\n"
        return TEMPLATE.format(threads_line=threads_line, stats_socket=self.stats_socket,
                               listen_address=self.listen[0], listen_port=self.listen[1],
                               server_lines="\n".join(lines), **settings)

    def start(self, timeout=20, daemon=False):
        """Writes the configuration, checks it (haproxy -c) and runs HAProxy;
        returns once the stats socket answers and every server is known.
        daemon: HAProxy outlives this Python process (the try-out script)."""
        self.folder.mkdir(parents=True, exist_ok=True)
        self.config_path.write_text(self.config())
        check = subprocess.run([HAPROXY_BIN, "-c", "-q", "-f", str(self.config_path)], capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError(f"haproxy refuses {self.config_path}:\n{check.stdout}{check.stderr}")
        if self.stats_socket.exists():
            self.stats_socket.unlink()
        log = open(self.log_path, "ab")
        # -db: in the foreground, so that this process is HAProxy itself (its
        # pid is the one to signal) and its log (stdout) goes to the file.
        self.process = subprocess.Popen([HAPROXY_BIN, "-db", "-f", str(self.config_path)], stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=subprocess.STDOUT, start_new_session=daemon)
        log.close()
        self.pid_path.write_text(f"{self.process.pid}\n")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"haproxy ended ({self.process.returncode}):\n{self.log()}")
            try:
                if {s[0] for s in self.servers} <= set(self.states()):
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"haproxy's stats socket did not answer within {timeout} s:\n{self.log()}")

    def command(self, text):
        """One command on the stats socket; returns its answer."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(10)
            sock.connect(str(self.stats_socket))
            sock.sendall(text.encode() + b"\n")
            chunks = []
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        return b"".join(chunks).decode()

    def stat_rows(self):
        """`show stat` as dicts (pxname, svname, status, scur, stot, ...).
        While a check runs HAProxy shows the last one's check_status with
        "* " before it ("* L4OK"): check_status is the status alone, and
        check_running says whether one was running."""
        text = self.command("show stat")
        rows = list(csv.DictReader(io.StringIO(text.lstrip("# "))))
        for row in rows:
            status = row.get("check_status") or ""
            row["check_running"] = status.startswith("* ")
            row["check_status"] = status[2:] if row["check_running"] else status
        return rows

    def states(self):
        """Each server's state: "UP", "DOWN", "UP 1/2" (going down), "DOWN 1/2",
        "MAINT", "no check"."""
        return {row["svname"]: row["status"] for row in self.stat_rows()
                if row["pxname"] == "update_servers" and row["svname"] not in ("BACKEND", "FRONTEND")}

    def info(self):
        """`show info` as a dict (Uptime_sec, CurrConns, DroppedLogs, ...)."""
        return dict(line.split(": ", 1) for line in self.command("show info").splitlines() if ": " in line)

    def server_stat(self, name):
        for row in self.stat_rows():
            if row["pxname"] == "update_servers" and row["svname"] == name:
                return row
        raise KeyError(name)

    def wait_for_state(self, name, state, timeout=30):
        """Waits until the server's state is exactly `state` ("UP", "DOWN");
        returns the time it was first seen so."""
        deadline = time.monotonic() + timeout
        seen = None
        while time.monotonic() < deadline:
            seen = self.states().get(name)
            if seen == state:
                return time.monotonic()
            if self.process and self.process.poll() is not None:
                raise RuntimeError(f"haproxy ended:\n{self.log()}")
            time.sleep(0.02)
        raise AssertionError(f"server {name} is {seen!r}, not {state!r}, after {timeout} s")

    def log(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def connections(self):
        """Every connection that ended, as dicts: client, server, backend_port
        (int, or None when no server was reached), state, retries, redispatched,
        up, down, start and end (seconds since 1970)."""
        found = []
        for match in re.finditer(r"^conn client=(\S+) server=(\S+) backend_port=(\S+) state=(\S+) retries=(\S+)"
                                 r" up=(\d+) down=(\d+) start=([\d.]+) ms=(-?\d+)$", self.log(), re.M):
            client, server, port, state, retries, up, down, start, ms = match.groups()
            found.append(dict(client=client, server=server, backend_port=int(port) if port.isdigit() else None,
                              state=state, retries=int(retries.lstrip("+")), redispatched=retries.startswith("+"),
                              up=int(up), down=int(down), start=float(start), end=float(start) + int(ms) / 1000))
        return found

    def stop(self, timeout=30):
        """Stops HAProxy at once (SIGTERM): open connections are cut."""
        pid = self.process.pid if self.process else _pid(self.pid_path)
        if pid is None:
            return
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        if self.process:
            self.process.wait(timeout=timeout)
        else:
            deadline = time.monotonic() + timeout
            while _alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
        self.pid_path.unlink(missing_ok=True)


def _pid(path):
    try:
        return int(Path(path).read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def _address(text):
    address, _, port = text.rpartition(":")
    return address, int(port)


def main():
    parser = argparse.ArgumentParser(description="HAProxy in front of update servers")
    parser.add_argument("action", choices=["start", "stop", "status"])
    parser.add_argument("folder")
    parser.add_argument("listen", nargs="?", help="ADDR:PORT clients connect to")
    parser.add_argument("servers", nargs="*", help="NAME=ADDR:PORT")
    parser.add_argument("--threads", type=int, default=1,
                        help="HAProxy's threads (default 1, which drops no log line; 0: one per processor)")
    parser.add_argument("--send-proxy", action="store_true",
                        help="a PROXY protocol v2 header ahead of every connection and check (the servers need "
                             "--proxy-from HAProxy's address)")
    args = parser.parse_args()
    if args.action == "start":
        servers = [(s.split("=", 1)[0], *_address(s.split("=", 1)[1])) for s in args.servers]
        proxy = HAProxy(args.folder, _address(args.listen), servers, threads=args.threads or None,
                        send_proxy=args.send_proxy).start(daemon=True)
        print(f"haproxy on {args.listen}, pid {proxy.process.pid}, stats socket {proxy.stats_socket}")
        return 0
    proxy = HAProxy(args.folder, ("127.0.0.1", 0), [])
    if args.action == "stop":
        proxy.stop()
        return 0
    try:
        states = proxy.states()
    except OSError:
        print(f"haproxy is not running (no answer on {proxy.stats_socket})")
        return 1
    for name, state in states.items():
        print(f"{name}: {state}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
