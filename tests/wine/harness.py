"""End-to-end test harness: the real QTHERMSvc.exe under Wine, with a firmware model driver
behind \\\\.\\PwrCtlDev.

A run prepares one Wine prefix (the template) inside the build tree; every scenario works
on a copy of it with a wineserver of its own, and ends by deleting the services it knows
of and ending that server. Nothing is ever ended by name: only the server of a prefix of
ours (`wineserver -k` with that prefix) and processes this harness started (by PID).
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
from dataclasses import dataclass
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"

SERVICE = "QTHRMON"
EXE_PATH = r"C:\windows\system32\QTHERMSvc.exe"
DRIVER_SERVICE = "PwrCtlFw"
DRIVER_PATH = r"C:\windows\system32\drivers\pwrctlfw.sys"
DRIVER_KEY = "SYSTEM\\CurrentControlSet\\Services\\" + DRIVER_SERVICE
TOOLS_DIR = r"C:\qtherm-tests"
CTL = TOOLS_DIR + r"\qtctl.exe"
PROBE = TOOLS_DIR + r"\dytcprobe.exe"
CHECKS = TOOLS_DIR + r"\platformchecks.exe"
IOCTL_DYTC_METHOD = 0x8310213C

# Service states as the Service Control Manager reports them.
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4

SKIP_CODE = 77  # CTest's SKIP_RETURN_CODE for the wine tests


class Failure(Exception):
    """A check failed; the message says what was expected and what came."""


class Skip(Exception):
    """The scenario cannot run yet; the message says why."""


def ensure(condition, message):
    if not condition:
        raise Failure(message)


def ensure_eq(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}: expected {fmt(expected)}, got {fmt(actual)}")


def wait_until(condition, timeout, interval=0.05):
    """Polls `condition` until it holds or `timeout` seconds have passed; whether it held."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)


def fmt(value):
    if isinstance(value, int) and not isinstance(value, bool):
        return hex(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(fmt(v) for v in value) + "]"
    return repr(value)


@dataclass
class Paths:
    mingw: Path  # build/mingw: QTHERMSvc.exe and tests-wine/
    work: Path  # inside the native build tree: the template and the scenarios' prefixes

    @property
    def template(self):
        return self.work / "template"

    @property
    def artefacts(self):
        exe = self.mingw / "QTHERMSvc.exe"
        tools = self.mingw / "tests-wine"
        return {
            "exe": exe,
            "driver": tools / "pwrctlfw.sys",
            "ctl": tools / "qtctl.exe",
            "probe": tools / "dytcprobe.exe",
            "checks": tools / "platformchecks.exe",
        }


def drive_c(prefix: Path, windows_path: str) -> Path:
    """The Linux path of a C:\\ path inside a prefix."""
    ensure(windows_path[:3].upper() == "C:\\", f"not a C:\\ path: {windows_path}")
    return prefix / "drive_c" / Path(*windows_path[3:].split("\\"))


def wine_env(prefix: Path, home: Path):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        # winemenubuilder would write desktop entries into the home directory.
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        WINESERVER=WINESERVER,
        WINELOADER=WINE,
        HOME=str(home),
        XDG_CONFIG_HOME=str(home / ".config"),
        XDG_DATA_HOME=str(home / ".local" / "share"),
        XDG_CACHE_HOME=str(home / ".cache"),
    )
    return env


def server_dir(prefix: Path) -> Path:
    """Where the server of a prefix keeps its socket: Debian's Wine names a temporary
    directory in the prefix's file "wineserver", upstream Wine uses /tmp/.wine-<uid>."""
    st = prefix.stat()
    name_file = prefix / "wineserver"
    base = Path("/tmp") / (name_file.read_text().strip() if name_file.is_file() else f".wine-{os.getuid()}")
    return base / f"server-{st.st_dev:x}-{st.st_ino:x}"


def kill_server(prefix: Path, home: Path, timeout=15):
    """Ends the wineserver of one prefix of ours, if one runs, waits until it is gone and
    removes its socket directory."""
    if not prefix.is_dir():
        return
    directory = server_dir(prefix)
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix, home), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout)
    deadline = time.monotonic() + timeout
    while (directory / "socket").exists():
        if time.monotonic() > deadline:
            raise Failure(f"the wineserver of {prefix} did not end")
        time.sleep(0.05)
    shutil.rmtree(directory, ignore_errors=True)


def remove_prefix_dir(directory: Path, home: Path):
    """Ends a left-over server of a scenario directory (a previous run killed midway) and
    deletes the directory."""
    if (directory / "pfx").is_dir():
        kill_server(directory / "pfx", home)
    shutil.rmtree(directory, ignore_errors=True)


def prepare(paths: Paths):
    """Builds the run's template prefix: a booted Wine prefix holding the executable at its
    installed path, the firmware model driver and the test tools."""
    missing = [str(p) for p in paths.artefacts.values() if not p.is_file()]
    if missing:
        raise Failure("missing Windows build outputs (build the mingw preset first): " + ", ".join(missing))
    home = paths.work / "home"
    if paths.work.exists():
        for d in paths.work.iterdir():
            if d.is_dir() and d != home:
                remove_prefix_dir(d, home)
    home.mkdir(parents=True, exist_ok=True)
    pfx = paths.template / "pfx"
    pfx.parent.mkdir(parents=True)
    env = wine_env(pfx, home)
    log = paths.template / "wineboot.log"
    # A boot that meets one of Wine's lost process creations fails: a fresh prefix once more.
    for attempt in range(2):
        with open(log, "ab") as out:
            try:
                subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=out, stderr=out, timeout=120, check=True)
                # Waiting for the server to end on its own writes the booted registry to disk.
                subprocess.run([WINESERVER, "-w"], env=env, stdout=out, stderr=out, timeout=60, check=True)
                break
            except (subprocess.SubprocessError, OSError) as e:
                kill_server(pfx, home)
                if attempt == 1:
                    raise Failure(f"wineboot failed ({e}):\n" + log.read_text(errors="replace"))
                out.write(f"--- wineboot failed ({e}); a fresh prefix once more ---\n".encode())
                shutil.rmtree(pfx, ignore_errors=True)
    kill_server(pfx, home)  # the server has ended; this removes its socket directory
    a = paths.artefacts
    for source, target in ((a["exe"], EXE_PATH), (a["driver"], DRIVER_PATH), (a["ctl"], CTL), (a["probe"], PROBE),
                           (a["checks"], CHECKS)):
        dest = drive_c(pfx, target)
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, dest)


def cleanup(paths: Paths):
    """Ends every server of a prefix of ours and deletes the run's prefixes."""
    if not paths.work.exists():
        return
    home = paths.work / "home"
    template = paths.template / "pfx"
    server_base = server_dir(template).parent if template.is_dir() else None
    for d in paths.work.iterdir():
        if d.is_dir() and d != home:
            remove_prefix_dir(d, home)
    shutil.rmtree(paths.work, ignore_errors=True)
    if server_base:
        try:
            server_base.rmdir()  # shared by the copies of the template; only when empty
        except OSError:
            pass


@dataclass
class Request:
    """One request as the firmware model recorded it."""
    seq: int
    code: int
    in_length: int
    out_length: int
    word: int
    reply: int
    status: int
    arrival: int = None  # the performance counter when the request reached the driver

    def __str__(self):
        return (f"#{self.seq} code={self.code:08x} in={self.in_length} out={self.out_length} "
                f"word={self.word:#x} reply={self.reply:#x} status={self.status:08x}")


class Firmware:
    """The firmware model driver of one prefix: its configuration and its record."""

    def __init__(self, session):
        self.s = session
        self.log_path = drive_c(session.prefix, r"C:\windows\PwrCtlDev.log")

    def load(self, **config):
        """Registers the driver service, writes its configuration and starts it."""
        values = [f"{k}={v:#x}" for k, v in config.items()]
        self.s.ctl("driver", DRIVER_SERVICE, DRIVER_PATH, *values)
        self.s.services.append(DRIVER_SERVICE)

    def configure(self, **config):
        """Changes the firmware's answers; the driver reads them on every request."""
        self.s.ctl_batch(*[["regset", DRIVER_KEY, k, f"{v:#x}"] for k, v in config.items()])

    def unconfigure(self, *names):
        self.s.ctl_batch(*[["regdel", DRIVER_KEY, n] for n in names])

    def lines(self):
        if not self.log_path.exists():
            return []
        text = self.log_path.read_text(errors="replace")
        # A line still being written has no line feed yet.
        return text.split("\n")[:-1]

    def loads(self):
        return sum(1 for line in self.lines() if line == "load")

    def requests(self, since=0):
        found = []
        for line in self.lines():
            m = re.fullmatch(r"req (\d+) ([0-9a-f]{8}) (\d+) (\d+) ([0-9a-f]{8}) ([0-9a-f]{8}) ([0-9a-f]{8})(?: (\d+))?",
                             line)
            if m:
                seq, code, i, o, w, r, st, arrival = m.groups()
                found.append(Request(int(seq), int(code, 16), int(i), int(o), int(w, 16), int(r, 16), int(st, 16),
                                     int(arrival) if arrival else None))
        return found[since:]

    def mark(self):
        """A position in the record; `requests(since=mark)` gives what came after it."""
        return len(self.requests())

    def words(self, since=0):
        return [r.word for r in self.requests(since)]

    def wait_words(self, expected, since=0, timeout=5.0):
        """Waits until the requests after `since` are exactly `expected` (command words),
        then a little longer to see that nothing more comes."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.words(since)) >= len(expected):
                break
            time.sleep(0.01)
        time.sleep(0.1)
        ensure_eq(self.words(since), list(expected), "command words at the driver")

    def describe(self):
        lines = self.lines()
        return "\n".join(lines) if lines else "(nothing recorded)"


@dataclass
class Result:
    rc: int
    out: str
    err: str


class Session:
    """One scenario's prefix (a copy of the template) with its own persistent wineserver."""

    def __init__(self, paths: Paths, name: str):
        self.paths = paths
        self.name = name
        self.dir = paths.work / ("scenario-" + name)
        self.prefix = self.dir / "pfx"
        self.home = paths.work / "home"
        self.env = wine_env(self.prefix, self.home)
        self.transcript = []
        self.services = []  # registered by the scenario: deleted at the end, in reverse
        self.processes = []  # started by the scenario and still ours to end
        self.outputs = 0
        self.firmware = Firmware(self)

    # ---- life ----

    def __enter__(self):
        if not (self.paths.template / "pfx").is_dir():
            raise Failure(f"no template prefix at {self.paths.template} (the wine.prepare test makes it)")
        remove_prefix_dir(self.dir, self.home)
        self.dir.mkdir(parents=True)
        subprocess.run(["cp", "-a", str(self.paths.template / "pfx"), str(self.prefix)], check=True)
        self.server_log = self.dir / "wineserver.log"
        try:
            with open(self.server_log, "wb") as out:
                # The server forks and returns once it listens; as a persistent server it
                # keeps the services and the driver alive between our commands.
                subprocess.run([WINESERVER, "-p"], env=self.env, stdout=out, stderr=out, check=True, timeout=30)
        except BaseException:
            kill_server(self.prefix, self.home)
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for p in self.processes:
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
                p.wait(timeout=10)
        if self.services:
            batch = [["delete", name, "10000"] for name in reversed(self.services)]
            try:
                self.ctl_batch(*batch, check=False, timeout=60)
            except subprocess.TimeoutExpired:
                pass
        kill_server(self.prefix, self.home)

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---- running Windows programs ----

    def _output_files(self):
        self.outputs += 1
        return self.dir / f"out-{self.outputs}.txt", self.dir / f"err-{self.outputs}.txt"

    @staticmethod
    def never_ran(result):
        """Wine could not create the program's process: it ends with exit code 1 and says
        nothing, or Wine's start.exe reports that it could not start it. Under load Wine
        loses about one process creation in a few hundred this way (the new process dies
        before it reports to the server, ERROR_INTERNAL_ERROR). None of the programs run
        here ends with code 1 and no output of its own."""
        said = result.out + result.err
        return result.rc == 1 and (not said.strip() or "Application could not be started" in said)

    def note(self, text):
        """A line in the transcript that shows on failure."""
        self.transcript.append((f"note: {text}", 0.0, None))

    def run(self, program, *args, timeout=30, check=True):
        """Runs a Windows program to its end; stdout with Unix line ends. A program whose
        process Wine could not create is run again, at most twice (see never_ran)."""
        for attempt in range(3):
            result = self._run_once(program, *args, timeout=timeout)
            if not self.never_ran(result):
                break
            self.note(f"Wine did not create the process of {program}; attempt {attempt + 1} of 3")
        if check and result.rc != 0:
            raise Failure(f"{program} {' '.join(args)} exited with {result.rc}:\n{result.out}{result.err}")
        return result

    def _run_once(self, program, *args, timeout=30):
        """Output goes through files, not pipes: the system processes that the first command
        of a prefix starts inherit them and would hold a pipe open."""
        started = time.monotonic()
        out_path, err_path = self._output_files()
        command = f"{program} {' '.join(args)}"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            try:
                rc = subprocess.run([WINE, program, *args], env=self.env, stdout=out, stderr=err,
                                    timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                self.transcript.append((command, time.monotonic() - started, self._result(None, out_path, err_path)))
                raise
        result = self._result(rc, out_path, err_path)
        self.transcript.append((command, time.monotonic() - started, result))
        return result

    @staticmethod
    def _result(rc, out_path, err_path):
        return Result(rc, out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n"),
                      err_path.read_bytes().decode("utf-8", "replace"))

    def spawn(self, program, *args):
        """Starts a Windows program and leaves it running: under Wine the Windows process
        keeps the one Linux PID, so `kill` ends exactly this process. `finish` waits for
        it and gives its Result."""
        out_path, err_path = self._output_files()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            p = subprocess.Popen([WINE, program, *args], env=self.env, stdout=out, stderr=err)
        p.files = (out_path, err_path)
        self.processes.append(p)
        self.transcript.append((f"spawned {program} {' '.join(args)} as pid {p.pid}", 0.0, None))
        return p

    def finish(self, process, timeout=30):
        rc = process.wait(timeout=timeout)
        result = self._result(rc, *process.files)
        self.transcript.append((f"pid {process.pid} ended", 0.0, result))
        return result

    def kill(self, process):
        os.kill(process.pid, signal.SIGKILL)
        process.wait(timeout=10)

    def program(self, *args, timeout=30, check=True):
        """Runs the installed QTHERMSvc.exe with a switch."""
        return self.run(EXE_PATH, *args, timeout=timeout, check=check)

    def probe(self, *commands):
        """Sends DYTC requests through the system's device interface; one line per command."""
        return self.run(PROBE, *commands).out.splitlines()

    # ---- the control client ----

    def ctl_batch(self, *commands, check=True, timeout=30):
        """Runs several client commands in one process; per command its code and lines."""
        args = []
        for c in commands:
            args += (["+"] if args else []) + list(c)
        out = self.run(CTL, *args, timeout=timeout, check=False).out
        results, lines = [], []
        for line in out.splitlines():
            m = re.fullmatch(r"@@ (\d+)", line)
            if m:
                results.append((int(m.group(1)), lines))
                lines = []
            else:
                lines.append(line)
        ensure_eq(len(results), len(commands), f"results of the client's commands ({out!r})")
        if check:
            for c, (code, lines) in zip(commands, results):
                if code:
                    raise Failure(f"qtctl {' '.join(c)} failed with {code}: {lines}")
        return results

    def ctl(self, *command, check=True):
        return self.ctl_batch(list(command), check=check)[0][1]

    def service_status(self, name=SERVICE):
        """state, exit, specific, pid, accepted; None when the service does not exist."""
        code, lines = self.ctl_batch(["status", name], check=False)[0]
        if code == 1060:
            return None
        ensure_eq(code, 0, f"status of {name}: {lines}")
        return {k: int(v, 0) for k, v in (p.split("=") for p in lines[0].split())}

    def service_config(self, name=SERVICE):
        """type, start, error, image, account, display, group, dependencies, description."""
        d = {}
        for line in self.ctl("config", name):
            k, _, v = line.partition("=")
            d[k] = v
        return d

    def wait_state(self, state, name=SERVICE, timeout_ms=10000):
        """Waits for a service state; the distinct states seen on the way."""
        lines = self.ctl("wait", name, str(state), str(timeout_ms))
        return [int(v) for v in lines[0].removeprefix("states=").split(",")]

    def control(self, code, name=SERVICE):
        """Sends a service control; the state the service reported with its answer."""
        return int(self.ctl("control", name, str(code))[0].removeprefix("state="))

    def stop(self, name=SERVICE, timeout_ms=10000):
        """Stops a service; the states from the stop request until stopped."""
        lines = self.ctl("stop", name, str(timeout_ms))
        return [int(v) for v in lines[0].removeprefix("states=").split(",")]

    def stop_notified(self, name=SERVICE, timeout_ms=10000):
        """Stops a service with the SCM's status notification asked for first. Gives the
        first state it notified after the stop (with the report's check point, wait hint and
        exit code) and the states from the stop control until stopped: a service that reports
        stop pending and stopped within its handler shows only "stopped" to ControlService."""
        lines = self.ctl("stopnotify", name, str(timeout_ms))
        notified = {k: int(v) for k, v in (p.split("=") for p in lines[0].split())}
        return notified, [int(v) for v in lines[1].removeprefix("states=").split(",")]

    def reg_raw(self, key, name):
        """An HKLM value as stored: (type, bytes); None when the value or key is missing."""
        line = self.ctl("regraw", key, name)[0]
        if line == "key=missing" or line == name + "=missing":
            return None
        m = re.fullmatch(re.escape(name) + r"=type(\d+):([0-9a-f]*)", line)
        ensure(m is not None, f"unexpected line from regraw: {line!r}")
        return int(m.group(1)), bytes.fromhex(m.group(2))

    def reg_multi(self, key, name):
        """A REG_MULTI_SZ value's strings in order, empty ones included (as in the pairs of
        PendingFileRenameOperations); None when missing."""
        raw = self.reg_raw(key, name)
        if raw is None:
            return None
        kind, data = raw
        ensure_eq(kind, 7, f"type of {name}")
        text = data.decode("utf-16-le")
        ensure(text.endswith("\0\0"), f"{name} is not ended by an empty string: {text!r}")
        return text[:-1].split("\0")[:-1]

    def reg_get(self, key, *names):
        """HKLM values: int for a DWORD, str for a string, None when missing; {} for no key."""
        values = {}
        for line in self.ctl("regget", key, *names):
            if line == "key=missing":
                return {}
            m = re.fullmatch(r"(.*?)=(?:(missing)|(dword|sz|multi|type\d+):(.*))", line)
            ensure(m is not None, f"unexpected line from regget: {line!r}")
            name, missing, kind, data = m.groups()
            values[name] = None if missing else int(data, 16) if kind == "dword" else data
        return values

    def reg_add(self, key, name, value):
        """Writes a DWORD with Wine's own `reg add`: a process other than ours."""
        self.run("reg", "add", "HKLM\\" + key, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f")

    def file(self, windows_path):
        return drive_c(self.prefix, windows_path)

    def scheduled_tasks(self):
        """What Wine's Task Scheduler keeps under C:\\windows\\system32\\tasks, one file per
        registered task; folders end with "/"."""
        root = self.file(r"C:\windows\system32\tasks")
        if not root.is_dir():
            return []
        return sorted(p.relative_to(root).as_posix() + ("/" if p.is_dir() else "") for p in root.rglob("*"))

    # ---- on failure ----

    def report(self):
        parts = ["--- commands ---"]
        for command, seconds, result in self.transcript:
            parts.append(f"$ {command}  ({seconds:.2f}s)")
            if result is not None:
                parts.append(f"  rc={result.rc}" if result.rc is not None else "  (timed out)")
                parts += ["  " + line for line in result.out.splitlines()]
                parts += ["  ! " + line for line in result.err.splitlines() if line.strip()]
        parts.append("--- the firmware model's record ---")
        parts.append(self.firmware.describe())
        first_err = self.dir / "err-1.txt"
        if first_err.exists() and first_err.stat().st_size:
            # The prefix's system processes (services, the driver's host) inherit the
            # standard error of the command that started them: the first one.
            parts.append("--- Wine's system processes (stderr of the first command, now) ---")
            parts.append(first_err.read_text(errors="replace"))
        log = getattr(self, "server_log", None)
        if log and log.exists() and log.stat().st_size:
            parts.append("--- wineserver (and driver) output ---")
            parts.append(log.read_text(errors="replace"))
        return "\n".join(parts)


def run_scenario(paths: Paths, name: str, fn, keep=False):
    """Runs one scenario in a fresh copy of the template; prints nothing on success."""
    if getattr(fn, "pending", None):
        print(f"skipped: {fn.pending}\n{' '.join((fn.__doc__ or '').split())}")
        return SKIP_CODE
    session = Session(paths, name)
    failed = None
    started = time.monotonic()
    try:
        with session:
            fn(session)
    except Skip as e:
        print(f"skipped: {e}")
        return SKIP_CODE
    except Failure as e:
        failed = f"FAILED: {e}"
    except subprocess.TimeoutExpired as e:
        failed = f"FAILED: timed out: {e}"
    except Exception:  # a fault of the harness itself still shows what ran
        failed = "FAILED with an error in the harness:\n" + traceback.format_exc()
    finally:
        if failed:
            print(failed)
            print(session.report())
            print(f"(scenario took {time.monotonic() - started:.1f}s; prefix kept at {session.dir})"
                  if keep else f"(scenario took {time.monotonic() - started:.1f}s)")
            sys.stdout.flush()
        if not (failed and keep):
            session.remove()
    return 1 if failed else 0
