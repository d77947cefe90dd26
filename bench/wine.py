"""The benchmarks under Wine: the real QTHERMSvc.exe with the firmware model driver, in a
prefix of the end-to-end harness (tests/wine).

- Latency of a control: from a client's ControlService (the counter read just before it)
  to the request's arrival at the driver (the driver stamps it with the same counter),
  over COUNT controls; next to it, in the same prefix and in turn with them, the floor:
  COUNT bare DeviceIoControl calls from the client to the driver, timed the same way. For
  reading them: the same with the device opened and closed around each call (as
  DYTCMethod does), and the round trip of a control that no mode acts on.
- Idle footprint: the service process's CPU time (GetProcessTimes, and the Linux
  process's own accounting) and its threads' context switches over IDLE seconds with all
  modes up: the MYH thread watching its key, an IFC thread waiting on the idle mutex.
"""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
from harness import (CTL, EXE_PATH, RUNNING, SERVICE, Failure, Paths, Session, cleanup, ensure, ensure_eq,  # noqa: E402
                     prepare)

ALL_FUNCTIONS = 0x1C080001
IFC_IDLE_MUTEX = r"Global\QTHUniversal_Idle_Mutex"
MYH_KEY = r"SOFTWARE\Oltaro\BravaMode"
MMC_WORDS = {146: 0x13B001, 148: 0x12B001}  # cool and quiet, performance
IGNORED_CONTROL = 200  # user-defined, and no mode acts on it


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * q))]


def timed_sends(lines):
    """(frequency, [(before, after)]) from a client's "freq=" and "sent" lines."""
    frequency = None
    sends = []
    for line in lines:
        if line.startswith("freq="):
            frequency = int(line[5:])
        else:
            m = re.fullmatch(r"sent (\d+) (\d+)", line)
            ensure(m is not None, f"unexpected line from the client: {line!r}")
            sends.append((int(m.group(1)), int(m.group(2))))
    ensure(frequency, "the client printed no counter frequency")
    return frequency, sends


def arrival_latencies(s, mark, lines, expected_words):
    """Per send, microseconds from the client's send to the request's arrival at the
    driver, and the client's own round trip."""
    frequency, sends = timed_sends(lines)
    requests = s.firmware.requests(mark)
    ensure_eq(len(requests), len(sends), "requests at the driver, one per send")
    ensure_eq([r.word for r in requests], expected_words, "command words at the driver")
    ensure(all(r.arrival is not None for r in requests), "the driver stamps every request")
    arrivals = [(r.arrival - before) * 1e6 / frequency for (before, _), r in zip(sends, requests)]
    ensure(min(arrivals) > 0, "a request arrived before it was sent: the clocks differ")
    return arrivals, round_trips(frequency, sends)


def round_trips(frequency, sends):
    return [(after - before) * 1e6 / frequency for before, after in sends]


def summary(values):
    return {"p50_us": percentile(values, 0.5), "p99_us": percentile(values, 0.99), "count": len(values)}


def bare_ioctls(s, count, reopen=False):
    word = MMC_WORDS[146]
    mark = s.firmware.mark()
    lines = s.ctl("timeioctls", hex(word), str(count), *(["reopen"] if reopen else []))
    return arrival_latencies(s, mark, lines, [word] * count)


def controls(s, count):
    codes = [146, 148]
    mark = s.firmware.mark()
    lines = s.ctl("timecontrols", SERVICE, ",".join(map(str, codes)), str(count))
    words = [MMC_WORDS[codes[i % len(codes)]] for i in range(count)]
    return arrival_latencies(s, mark, lines, words)


def ignored_controls(s, count):
    """Round trips of a user-defined control that no mode acts on: what the Service Control
    Manager's relay costs by itself."""
    mark = s.firmware.mark()
    frequency, sends = timed_sends(s.ctl("timecontrols", SERVICE, str(IGNORED_CONTROL), str(count)))
    ensure_eq(s.firmware.requests(mark), [], f"requests for control {IGNORED_CONTROL}")
    return round_trips(frequency, sends)


def latency(s, count, rounds=4):
    """The four kinds of send in turn, `rounds` times, so that all meet the same machine."""
    found = {"ioctl": [], "reopen": [], "control": [], "control_rtt": [], "ignored_rtt": []}
    share = max(1, count // rounds)
    for _ in range(rounds):
        found["ioctl"] += bare_ioctls(s, share)[0]
        found["reopen"] += bare_ioctls(s, share, reopen=True)[0]
        arrivals, trips = controls(s, share)
        found["control"] += arrivals
        found["control_rtt"] += trips
        found["ignored_rtt"] += ignored_controls(s, share)
    return {k: summary(v) for k, v in found.items()}


# ---- the idle service ----

def linux_pid(s, image):
    """The Linux process that runs a Windows image in this session's prefix."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().split(b"\0")
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if (any(image.lower().encode() in arg.lower() for arg in cmdline[:1])
                and f"WINEPREFIX={s.prefix}".encode() in environ):
            found.append(int(entry.name))
    ensure_eq(len(found), 1, f"Linux processes running {image} in the prefix")
    return found[0]


def linux_usage(pid):
    """Per thread of the process: (context switches, CPU time in ns)."""
    threads = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            status = (task / "status").read_text()
            cpu_ns = int((task / "schedstat").read_text().split()[0])
        except OSError:
            continue  # the thread ended
        v = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        n = int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        threads[int(task.name)] = (v + n, cpu_ns)
    return threads


def windows_cpu(s, windows_pid):
    line = s.ctl("cputime", str(windows_pid))[0]
    m = re.fullmatch(r"kernel=(\d+) user=(\d+)", line)
    ensure(m is not None, f"unexpected cputime line {line!r}")
    return (int(m.group(1)) + int(m.group(2))) * 100  # ns


def idle(s, seconds):
    """The running service's footprint over `seconds` with the MYH and IFC threads waiting."""
    holder = s.spawn(CTL, "holdmutex", IFC_IDLE_MUTEX)
    held_file = holder.files[0]
    deadline = time.monotonic() + 20
    while b"held" not in held_file.read_bytes():
        ensure(time.monotonic() < deadline and holder.poll() is None, "the idle mutex is not held")
        time.sleep(0.05)
    mark = s.firmware.mark()
    s.control(130)
    s.firmware.wait_words([0x1FA001], since=mark)  # IFC on; its thread now waits on the mutex
    status = s.service_status()
    ensure_eq(status["state"], RUNNING, "service state")
    pid = linux_pid(s, "QTHERMSvc.exe")
    time.sleep(1)  # the control's own aftermath is not idling

    mark = s.firmware.mark()
    cpu_before = windows_cpu(s, status["pid"])
    before = linux_usage(pid)
    time.sleep(seconds)
    after = linux_usage(pid)
    cpu_after = windows_cpu(s, status["pid"])
    ensure_eq(s.firmware.requests(mark), [], "requests while idle")
    # Threads that started during the window count from zero.
    delta = {t: (after[t][0] - before.get(t, (0, 0))[0], after[t][1] - before.get(t, (0, 0))[1]) for t in after}
    return {
        "seconds": seconds,
        "cpu_ns": (cpu_before, cpu_after),
        "linux_cpu_ns": sum(d[1] for d in delta.values()),
        "switches": sum(d[0] for d in delta.values()),
        "threads": len(delta),
        "busy_threads": sum(1 for d in delta.values() if d[0] or d[1]),
    }


def start_service(s):
    """Installs and starts the service with every mode the firmware offers."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    s.ctl("regset", MYH_KEY, "Mode", "2")
    s.program("-install", timeout=60)
    s.services.append(SERVICE)
    ensure_eq(s.wait_state(RUNNING)[-1], RUNNING, "service state after the install")


def measure(mingw: Path, work: Path, count=1000, idle_seconds=30, log=print):
    """All Wine figures, in one prefix: {"ioctl": .., "control": .., "idle": ..}."""
    if not (mingw / "QTHERMSvc.exe").is_file():
        raise Failure(f"no {mingw / 'QTHERMSvc.exe'}: build the mingw preset first")
    paths = Paths(mingw.resolve(), work.resolve())
    log("wine: preparing a prefix")
    prepare(paths)
    results = {}
    session = Session(paths, "bench")
    try:
        with session:
            start_service(session)
            log(f"wine: {count} controls and as many bare requests")
            results.update(latency(session, count))
            log(f"wine: {idle_seconds} s idle")
            results["idle"] = idle(session, idle_seconds)
    except Failure:
        sys.stderr.write(session.report() + "\n")
        raise
    finally:
        session.remove()
        cleanup(paths)
    return results
