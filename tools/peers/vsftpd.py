"""vsftpd, the most common production FTP server, for one interoperability
case: the local user "repl" (password "kestrel"), read-only, rooted at the
mirror folder, on port 21 of 127.0.0.1 inside the tests' namespace. Creates
the user and a PAM service of its own on first use (the tests run as root)."""
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from wire import FTP_PASSWORD, FTP_PORT, FTP_USER

PAM_SERVICE = "ulmar-vsftpd"


def ensure_user():
    if subprocess.run(["id", FTP_USER], capture_output=True).returncode != 0:
        subprocess.run(["useradd", "--no-create-home", "--home-dir", "/", "--shell", "/bin/false", FTP_USER],
                       check=True)
    # vsftpd enters the home directory before local_root: it must exist.
    subprocess.run(["usermod", "--home", "/", FTP_USER], check=True)
    subprocess.run(["chpasswd"], input=f"{FTP_USER}:{FTP_PASSWORD}\n".encode(), check=True)
    pam = Path("/etc/pam.d") / PAM_SERVICE
    if not pam.exists():
        pam.write_text("auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_unix.so\n")
    Path("/var/run/vsftpd/empty").mkdir(parents=True, exist_ok=True)


class Vsftpd:
    def __init__(self, mirror, workdir, address="127.0.0.1"):
        ensure_user()
        # The server runs as "repl": serve a copy in a folder it can reach.
        self.root = tempfile.mkdtemp(prefix="ulmar-vsftpd-")
        os.chmod(self.root, 0o755)
        shutil.copytree(mirror, self.root, dirs_exist_ok=True)
        for folder, dirs, _ in os.walk(self.root):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)
        root = self.root
        config = Path(workdir) / "vsftpd.conf"
        config.write_text("\n".join([
            "listen=YES", "listen_ipv6=NO", f"listen_address={address}", f"listen_port={FTP_PORT}",
            "anonymous_enable=NO", "local_enable=YES", "write_enable=NO", f"local_root={root}",
            "chroot_local_user=YES", "allow_writeable_chroot=YES", "pasv_enable=YES", "seccomp_sandbox=NO", "background=NO",
            "secure_chroot_dir=/var/run/vsftpd/empty", f"pam_service_name={PAM_SERVICE}",
            "check_shell=NO", "xferlog_enable=NO", "ftpd_banner=ULMAR vsftpd mirror.", ""]))
        os.chown(config, 0, 0)
        self.process = subprocess.Popen([shutil.which("vsftpd") or "/usr/sbin/vsftpd", str(config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection((address, FTP_PORT), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    raise RuntimeError("vsftpd did not start: " + self.process.stderr.read().decode())
                time.sleep(0.1)
        raise RuntimeError("vsftpd did not start listening")

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        shutil.rmtree(self.root, ignore_errors=True)
