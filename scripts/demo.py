"""The main job's sample: a workstation with an outdated ULMAR installation,
the reference update server and an FTP mirror on loopback, and one session
of the real client. Run by scripts/run.sh (which installs, builds and sets
up the Wine prefix); the sample is prepared on the first run and kept, so
the next run shows a session with nothing to update.

  python3 scripts/demo.py [--reset]
"""
import json
import logging
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.request
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "peers"))
from ftp_servers import RealFtpServer  # noqa: E402
from reference_server import ReferenceServer, write_release  # noqa: E402
from wine_registry import import_registry  # noqa: E402
from wire import FTP_PORT, SERVER_PORT  # noqa: E402

PAGE_PORT = 8091

BIN = ROOT / "build" / "windows" / "bin"
DEMO = ROOT / "build" / "demo"
PREFIX = Path(os.environ["WINEPREFIX"])
INSTALL = PREFIX / "drive_c" / "ULMAR"
INSTALL_WIN = "C:\\ULMAR\\"
READY = DEMO / "sample-ready"
# The database engine of the workstation: the project's stand-in library,
# where the engine's installer puts the engine.
ENGINE = PREFIX / "drive_c" / "Program Files (x86)" / "Common Files" / "Borland Shared" / "BDE"
ENGINE_WIN = "C:\\Program Files (x86)\\Common Files\\Borland Shared\\BDE"
SUCCESS_RGB = [204, 255, 204]
FAILURE_RGB = [255, 204, 204]

MANIFEST = """\
# Student workstations of the sample university.
ftp 127.0.0.1/STUDENT/files
dsn user ULMAR_MAIN | ulmar | dbsrv01
dsn user ULMAR_REPORTS | reports | dbsrv01
dsn paradox ULMAR_ARCHIVE | C:\\ULMAR\\Архив
delete Bin\\obsolete.dll
keep *.ini
"""


def say(text):
    print(f"run: {text}", flush=True)


def wine(*args, **kwargs):
    return subprocess.run(["wine", *args], capture_output=True, timeout=120, **kwargs)


def reg_import(keys, delete=()):
    result = import_registry(keys, DEMO / "sample.reg", delete)
    if result.returncode != 0:
        sys.exit(f"run: the registry import failed: {result.stdout + result.stderr!r}")


def prepare():
    say(f"preparing the sample installation in {INSTALL} ({INSTALL_WIN})")
    shutil.rmtree(DEMO / "releases", ignore_errors=True)
    shutil.rmtree(INSTALL, ignore_errors=True)
    client = (BIN / "UlmarUpdater.exe").read_bytes()
    companion = (BIN / "replace_ux.exe").read_bytes()
    # The release: what every student workstation should have.
    write_release(DEMO / "releases", "STUDENT", {
        "UlmarUpdater.exe": client,
        "replace_ux.exe": companion,
        "readme.txt": "УЛМАР 2.4: что нового\r\n".encode("cp1251"),
        "Bin\\ulmar.dll": b"ULMAR core 2.4" + bytes(4096),
        "Bin\\common.dll": b"common 1.0" + bytes(2048),
        "Forms\\Отчёт.frm": "форма отчёта 2.4\r\n".encode("cp1251"),
    }, MANIFEST)
    # The workstation: the client at the top of the installation (its Logs
    # folder is never reported), two outdated files, one missing form, a
    # retired library, the user's settings and one foreign file.
    files = {
        "UlmarUpdater.exe": client,
        "replace_ux.exe": companion,
        "readme.txt": "УЛМАР 2.3\r\n".encode("cp1251"),
        "Bin/ulmar.dll": b"ULMAR core 2.3" + bytes(4000),
        "Bin/common.dll": b"common 1.0" + bytes(2048),
        "Bin/obsolete.dll": b"retired in 2.4",
        "user.ini": b"[User]\r\nTheme=Classic\r\n",
        "Черновик.tmp": b"left behind",
    }
    for name, data in files.items():
        (INSTALL / name).parent.mkdir(parents=True, exist_ok=True)
        (INSTALL / name).write_bytes(data)
    (INSTALL / "Logs").mkdir()
    # The "SQL Server" ODBC driver of the workstation: the project's
    # stand-in library, so that data sources can really be created here.
    shutil.copy(BIN.parent / "fixtures" / "SQLSRV32.dll", PREFIX / "drive_c" / "windows" / "syswow64" / "SQLSRV32.dll")
    driver = "C:\\windows\\system32\\SQLSRV32.dll"
    # The engine with the alias the workstation already has (the stand-in
    # keeps its configuration as text, in the engine's code page 866).
    ENGINE.mkdir(parents=True, exist_ok=True)
    shutil.copy(BIN.parent / "fixtures" / "IDAPI32.DLL", ENGINE / "IDAPI32.DLL")
    (ENGINE / "IDAPI32.CFG").write_bytes(
        "[ULMAR_FORMS]\r\nTYPE=STANDARD\r\nPATH=C:\\ULMAR\\Forms\r\nENABLE BCD=FALSE\r\n"
        "DEFAULT DRIVER=PARADOX\r\n".encode("cp866"))
    reg_import(delete=["HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR", "HKEY_CURRENT_USER\\Software\\ODBC\\ODBC.INI"], keys={
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Borland\\Database Engine": {
            "DLLPATH": ENGINE_WIN, "CONFIGFILE01": ENGINE_WIN + "\\IDAPI32.CFG"},
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Server": {"Driver": driver, "Setup": driver},
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\ODBC\\ODBCINST.INI\\ODBC Drivers": {"SQL Server": "Installed"},
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR": {"LocalDir": INSTALL_WIN, "SuiteCode": "STUDENT", "UserID": "ivanov"},
        # The data source the workstation already has; the release wants one more.
        "HKEY_CURRENT_USER\\Software\\ODBC\\ODBC.INI\\ULMAR_MAIN": {
            "Driver": driver, "Database": "ulmar", "Server": "dbsrv01"},
        "HKEY_CURRENT_USER\\Software\\ODBC\\ODBC.INI\\ODBC Data Sources": {"ULMAR_MAIN": "SQL Server"},
    })
    READY.touch()


def snapshot():
    state = {}
    for path in sorted(INSTALL.rglob("*")):
        relative = path.relative_to(INSTALL)
        if path.is_file() and relative.parts[0] != "Logs" and len(relative.parts) <= 2:
            state["\\".join(relative.parts)] = zlib.crc32(path.read_bytes())
    return state


def data_sources():
    """The user DSNs and the engine's aliases of the workstation."""
    out = wine("reg", "query", "HKCU\\Software\\ODBC\\ODBC.INI", "/reg:32").stdout.decode("cp866", "replace")
    dsns = [line.rsplit("\\", 1)[1] for line in out.splitlines()
            if line.startswith("HKEY_CURRENT_USER") and not line.endswith("ODBC Data Sources")
            and line.count("\\") > 3]
    aliases, name = [], None
    for line in (ENGINE / "IDAPI32.CFG").read_bytes().decode("cp866").splitlines():
        if line.startswith("[") and line.endswith("]"):
            name = line[1:-1]
        elif name and line.startswith("PATH="):
            aliases.append(f"alias {name} ({line[5:]})")
    return sorted(dsns) + aliases


def port_free(port):
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def inspect(what="read"):
    """What the window shows (read, or status alone), or None without a window."""
    result = wine(str(BIN / "inspector.exe"), what)
    return json.loads(result.stdout.decode("cp1251")) if result.returncode == 0 else None


def close_window():
    wine(str(BIN / "inspector.exe"), "close")


def run_client(headless):
    exe = subprocess.Popen(["wine", INSTALL_WIN + "UlmarUpdater.exe"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    window = None
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and exe.poll() is None:
        window = inspect("status")
        if window and window["status_background"] in (SUCCESS_RGB, FAILURE_RGB):
            break
        time.sleep(0.2)
    window = inspect() or window
    if window:
        print("\n".join("  | " + line for line in window["status_lines"]))
        outcome = "green: success" if window["status_background"] == SUCCESS_RGB else "red: failure"
        offer = window["controls"]["garbage_button"]["visible"]
        say(f"the session ended {outcome}" + (", with the clean-up offer for the foreign files" if offer else ""))
    if headless:
        subprocess.run(["import", "-window", "root", "-crop", "560x470+40+40", str(DEMO / "window.png")], check=False)
        say(f"screenshot saved to {DEMO / 'window.png'}")
        close_window()
    else:
        wait = int(os.environ.get("ULMAR_DEMO_WAIT", "120"))
        say(f"the window is on {os.environ['DISPLAY']}; close it (it is closed for you after {wait} s)")
        try:
            exe.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            close_window()
    try:
        exe.wait(timeout=30)
    except subprocess.TimeoutExpired:
        exe.kill()
    return window


def fleet_screenshots(page_url):
    """Once the server has recorded the session: the fleet page's overview
    and the sample workstation's history, in headless Chromium."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with urllib.request.urlopen(page_url + "api/overview", timeout=10) as answer:
            if json.load(answer)["recording"]["written"] >= 1:
                break
        time.sleep(0.1)
    options = webdriver.ChromeOptions()
    for option in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,900"):
        options.add_argument(option)
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    pictures = []
    try:
        for view, name in (("#overview", "fleet-overview.png"), ("#workstation/STUDENT%2Fivanov", "fleet-workstation.png")):
            driver.get("about:blank")
            driver.get(page_url + view)
            WebDriverWait(driver, 30).until(
                lambda d: d.find_element("id", "content").get_attribute("data-state") in ("ready", "error"))
            driver.save_screenshot(str(DEMO / name))
            pictures.append(DEMO / name)
    finally:
        driver.quit()
    return pictures


def main():
    DEMO.mkdir(parents=True, exist_ok=True)
    if "--reset" in sys.argv or not READY.exists():
        prepare()
    else:
        say("the sample installation is kept from the last run (scripts/run.sh --reset starts afresh)")
    for port, what in ((SERVER_PORT, "the update server"), (FTP_PORT, "the FTP mirror"),
                       (PAGE_PORT, "the update server's fleet page")):
        if not port_free(port):
            sys.exit(f"run: port {port} of 127.0.0.1 is taken; {what} of the sample needs it")

    server_log = DEMO / "server.log"
    server_log.unlink(missing_ok=True)
    # The server's records of the sample's sessions are kept between runs.
    update_server = ReferenceServer(DEMO / "releases", server_log, port=SERVER_PORT,
                                    extra_args=["--state", str(DEMO / "state"), "--http", f"127.0.0.1:{PAGE_PORT}"])
    # The mirror's own log goes to a file beside the server's.
    ftp_log = logging.getLogger("pyftpdlib")
    ftp_log.handlers = [logging.FileHandler(DEMO / "ftp.log", encoding="utf-8")]
    ftp_log.setLevel(logging.INFO)
    ftp_log.propagate = False
    mirror = RealFtpServer(DEMO / "releases")
    say("reference update server on 127.0.0.1:8090, FTP mirror (user repl) on 127.0.0.1:21")
    before, sources_before = snapshot(), data_sources()
    try:
        window = run_client(headless=os.environ.get("ULMAR_DEMO_HEADLESS") == "1")
        pictures = fleet_screenshots(update_server.page_url)
    finally:
        mirror.close()
        update_server.stop()
    after, sources_after = snapshot(), data_sources()

    print()
    say(f"session log:      {INSTALL / 'Logs' / 'short.log'}")
    say(f"traffic logs:     {INSTALL / 'Logs'}/tcp_clnt.log, ftp_clnt.log")
    say(f"server log:       {server_log}")
    say(f"FTP mirror log:   {DEMO / 'ftp.log'}")
    for line in update_server.conversation_lines():
        print("  | " + line)
    changes = [f"updated  {n}" for n in after if n in before and after[n] != before[n]]
    changes += [f"added    {n}" for n in after if n not in before]
    changes += [f"deleted  {n}" for n in before if n not in after]
    changes += [f"data source created: {n}" for n in sources_after if n not in sources_before]
    say("what changed:" if changes else "what changed: nothing, the installation was up to date")
    for change in changes:
        print("  " + change)
    still_foreign = [n for n in after if n.endswith(".tmp")]
    if still_foreign:
        say(f"left for the operator to clean up: {', '.join(still_foreign)}")
    say(f"fleet page:       {update_server.page_url} (served while the sample's server ran; the records stay in"
        f" {DEMO / 'state'})")
    for picture in pictures:
        say(f"fleet screenshot: {picture}")
    if not window or window["status_background"] != SUCCESS_RGB:
        sys.exit("run: the session did not end in success")


if __name__ == "__main__":
    main()
