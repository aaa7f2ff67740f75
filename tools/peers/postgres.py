"""A throwaway PostgreSQL server for tests and benchmarks: Debian's
postgresql package, its own data folder, started and stopped here.

PostgreSQL refuses to run as root; as root the server runs as the
"postgres" user the package made. It listens on a Unix socket in the data
folder (so it needs no network) and, when asked, on a TCP address too.

  postgres.py start DIR PORT [--tcp ADDRESS]   prints the connection string
  postgres.py stop DIR [--immediate]

PostgresServer(folder, port, tcp=None) does the same from Python; without a
folder it makes one in the system's temporary folder (the server's user
must reach it, which a root-only test folder does not let it).
"""
import argparse
import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def _bin(name):
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"))
    if not found:
        raise RuntimeError("PostgreSQL is not installed (Debian's postgresql package)")
    return found[-1]


def _as_owner(command, **kwargs):
    if os.geteuid() == 0:
        command = ["runuser", "-u", "postgres", "--", *command]
    return subprocess.run(command, check=True, stdin=subprocess.DEVNULL, **kwargs)


class PostgresServer:
    def __init__(self, folder, port, tcp=None):
        self.folder = Path(folder or tempfile.mkdtemp(prefix="ulmar-pg-")).resolve()
        self.data = self.folder / "data"
        self.port = int(port)
        self.tcp = tcp

    @property
    def conninfo(self):
        return f"host={self.folder} port={self.port} user=postgres dbname=postgres connect_timeout=5"

    def tcp_conninfo(self):
        return f"host={self.tcp} port={self.port} user=postgres dbname=postgres connect_timeout=5"

    def init(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.folder, owner.pw_uid, owner.pw_gid)
        if not (self.data / "PG_VERSION").exists():
            # Trust on the socket and on loopback: a test server, never a
            # real one.
            _as_owner([_bin("initdb"), "-D", str(self.data), "-U", "postgres", "--auth=trust", "-E", "UTF8",
                       "--locale=C.UTF-8", "--no-sync"], stdout=subprocess.DEVNULL)
            with open(self.data / "pg_hba.conf", "a") as hba:
                hba.write("host all all 127.0.0.0/8 trust\n")

    def start(self):
        self.init()
        # fsync off: a test server needs no protection from power loss; a
        # stop as if it crashed ("immediate") keeps every commit all the same.
        options = (f"-k {self.folder} -p {self.port} -h '{self.tcp or ''}' -c fsync=off"
                   " -c max_connections=200")
        _as_owner([_bin("pg_ctl"), "-D", str(self.data), "-o", options, "-l", str(self.folder / "server.log"),
                   "-w", "-t", "60", "start"], stdout=subprocess.DEVNULL)
        return self

    def stop(self, immediate=False):
        if (self.data / "postmaster.pid").exists():
            _as_owner([_bin("pg_ctl"), "-D", str(self.data), "-m", "immediate" if immediate else "fast", "-w",
                       "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def remove(self):
        self.stop(immediate=True)
        shutil.rmtree(self.folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="a throwaway PostgreSQL server")
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("folder")
    parser.add_argument("port", nargs="?", default="5432")
    parser.add_argument("--tcp")
    parser.add_argument("--immediate", action="store_true")
    args = parser.parse_args()
    server = PostgresServer(args.folder, args.port, args.tcp)
    if args.action == "stop":
        server.stop(args.immediate)
        return 0
    server.start()
    print(server.conninfo)
    return 0


if __name__ == "__main__":
    sys.exit(main())
