#!/usr/bin/python3
"""The end-to-end scenarios under Wine, each a CTest test of label "wine".

    scenarios.py --mingw DIR --work DIR prepare      the run's template prefix
    scenarios.py --mingw DIR --work DIR run NAME     one scenario on a copy of it
    scenarios.py --mingw DIR --work DIR cleanup      ends our servers, deletes the prefixes
    scenarios.py list                                the scenario names

A scenario is a function taking a `Session`; `@scenario` registers it under its name.
`pending=` marks one that cannot run yet: it reports itself skipped (CTest shows it so).
"""

import argparse
import re
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
from harness import (CHECKS, DRIVER_KEY, DRIVER_SERVICE, EXE_PATH, IOCTL_DYTC_METHOD, PROBE, RUNNING, SERVICE, STOPPED, Failure,
                     Paths, cleanup, ensure, ensure_eq, prepare, run_scenario, wait_until)

SCENARIOS = {}


def scenario(fn=None, *, pending=None):
    def register(f):
        f.pending = pending
        SCENARIOS[f.__name__] = f
        return f
    return register(fn) if fn else register


# The capability word with the verdict and all four functions: MYH (bit 19), IFC (26),
# MMC (27), MSC (28).
ALL_FUNCTIONS = 0x1C080001


# ---- the firmware model and the device interface, today ----

@scenario
def firmware_protocol(s):
    """The system's own DYTC calls (modes/Dytc over the real DeviceIoControl) reach the
    firmware model, which answers each as the firmware does and records it in order: the
    capability word, the MMC capability and current mode in the upper half, set commands
    that change a function's mode, refusal of a function the capability word lacks and of
    an unknown command, and the reset back to the default mode."""
    s.firmware.load(Capability=ALL_FUNCTIONS, MmcCapability=0xC)
    steps = [  # (probe command, what the caller gets, word at the driver, its reply)
        ("cap", "cap ok=1 reply=1c080001", 3, ALL_FUNCTIONS),
        ("query:6", "query ok=1 reply=000c0001", 6, 0xC0001),
        ("query:7", "query ok=1 reply=000f0001", 7, 0xF0001),
        ("set:1:11:2:1", "set ok=1", 0x12B001, 1),
        ("query:7", "query ok=1 reply=00020001", 7, 0x20001),
        ("set:1:11:3:1", "set ok=1", 0x13B001, 1),
        ("query:7", "query ok=1 reply=00030001", 7, 0x30001),
        ("set:1:11:15:1", "set ok=1", 0x1FB001, 1),
        ("set:1:10:15:1", "set ok=1", 0x1FA001, 1),
        ("set:1:10:15:0", "set ok=1", 0xFA001, 1),
        ("set:1:12:15:1", "set ok=1", 0x1FC001, 1),
        ("set:1:12:15:0", "set ok=1", 0xFC001, 1),
        ("set:1:3:0:1", "set ok=1", 0x103001, 1),
        ("set:1:3:1:1", "set ok=1", 0x113001, 1),
        ("set:1:3:2:1", "set ok=1", 0x123001, 1),
        ("set:1:11:2:1", "set ok=1", 0x12B001, 1),
        ("reset", "reset ok=1", 0x1FF, 1),
        ("query:7", "query ok=1 reply=000f0001", 7, 0xF0001),
        # Refused with the verdict clear; the request itself completed, so the call is true.
        ("set:1:5:1:1", "set ok=1", 0x115001, 0),
        ("query:2", "query ok=1 reply=00000000", 2, 0),
        ("query:7", "query ok=1 reply=000f0001", 7, 0xF0001),
    ]
    ensure_eq(s.probe(*[step[0] for step in steps]), [step[1] for step in steps], "what the callers got")
    requests = s.firmware.requests()
    ensure_eq([r.word for r in requests], [step[2] for step in steps], "command words at the driver")
    ensure_eq([r.reply for r in requests], [step[3] for step in steps], "replies of the driver")
    odd = [str(r) for r in requests if (r.code, r.in_length, r.out_length, r.status) != (IOCTL_DYTC_METHOD, 4, 4, 0)]
    ensure_eq(odd, [], "requests other than 4 bytes in and out with the DYTC code, completed")
    ensure_eq(s.firmware.loads(), 1, "driver loads")

    # Callers in several processes at once each get their own handle and a whole answer.
    for attempt in range(2):
        mark = s.firmware.mark()
        callers = [s.spawn(PROBE, *(["query:7", "set:1:11:3:1"] * 25)) for _ in range(4)]
        results = [s.finish(p) for p in callers]
        if attempt == 0 and any(s.never_ran(r) for r in results):
            s.note("Wine did not create the process of a concurrent caller; all four run again")
            continue
        break
    for result in results:
        lines = result.out.splitlines()
        ensure_eq(result.rc, 0, "exit code of a concurrent caller")
        ensure_eq(len(lines), 50, "answers a concurrent caller got")
        ensure(all(line in ("query ok=1 reply=000f0001", "query ok=1 reply=00030001", "set ok=1") for line in lines),
               f"a concurrent caller got {lines}")
    requests = s.firmware.requests(mark)
    ensure_eq(len(requests), 200, "requests recorded from the concurrent callers")
    ensure_eq([r.seq for r in requests], list(range(requests[0].seq, requests[0].seq + 200)), "record sequence")


@scenario
def firmware_configuration(s):
    """The firmware's answers follow the driver's REG_DWORDs, read on each request: the
    default MMC mode, a fixed reply (bit 0 clear is handed to the caller with a true
    result), a failing request (false, the caller's word gets the preset 0, the firmware's
    state unchanged); a stopped driver is a missing device (false, the caller's word
    untouched, no request), and a reload starts from the defaults again."""
    s.firmware.load(Capability=ALL_FUNCTIONS, MmcDefaultMode=3)
    ensure_eq(s.service_status(DRIVER_SERVICE)["state"], RUNNING, "driver service state")
    config = s.service_config(DRIVER_SERVICE)
    ensure_eq((config["type"], config["start"], config["image"]), ("0x00000001", "3", r"C:\windows\system32\drivers\pwrctlfw.sys"),
              "the driver's service (kernel driver, demand start, its image)")
    ensure_eq(s.probe("query:7"), ["query ok=1 reply=00030001"], "MMC mode at load")

    s.firmware.configure(Reply7=0x20000)
    ensure_eq(s.probe("query:7", "query:6"), ["query ok=1 reply=00020000", "query ok=1 reply=00000001"],
              "a fixed reply for command 7 only")

    s.firmware.configure(FailStatus=0xC0000185)  # STATUS_IO_DEVICE_ERROR
    ensure_eq(s.probe("cap", "set:1:11:2:1", "raw:0x8310213C:4:4:3"),
              ["cap ok=0 reply=00000000", "set ok=0", "raw ok=0 error=1117 returned=0 reply=deadbeef"],
              "failing requests")
    s.firmware.unconfigure("FailStatus", "Reply7")
    ensure_eq(s.probe("query:7", "set:1:11:2:1", "query:7"),
              ["query ok=1 reply=00030001", "set ok=1", "query ok=1 reply=00020001"],
              "the MMC mode after a failed set, then after a good one")
    s.firmware.configure(MmcDefaultMode=15)
    ensure_eq(s.probe("reset", "query:7"), ["reset ok=1", "query ok=1 reply=000f0001"], "MMC mode after reset")
    ensure_eq([r.status for r in s.firmware.requests()], [0, 0, 0, 0xC0000185, 0xC0000185, 0xC0000185] + [0] * 5,
              "status of each request at the driver")

    mark = s.firmware.mark()
    ensure_eq(s.stop(DRIVER_SERVICE)[-1], STOPPED, "driver stopped")
    ensure_eq(s.probe("cap", "query:7", "reset"), ["cap ok=0 reply=deadbeef", "query ok=0 reply=deadbeef", "reset ok=0"],
              "calls without the device")
    ensure_eq(s.firmware.requests(mark), [], "requests without the device")

    s.reg_add(DRIVER_KEY, "MmcDefaultMode", 2)  # through Wine's own reg.exe this time
    ensure_eq(s.reg_get(DRIVER_KEY, "MmcDefaultMode", "Capability", "FailStatus"),
              {"MmcDefaultMode": 2, "Capability": ALL_FUNCTIONS, "FailStatus": None}, "the driver's configuration")
    s.ctl("start", DRIVER_SERVICE)
    ensure_eq(s.wait_state(RUNNING, DRIVER_SERVICE)[-1], RUNNING, "driver running again")
    ensure_eq(s.probe("query:7"), ["query ok=1 reply=00020001"], "MMC mode after the driver loaded again")
    ensure_eq(s.firmware.loads(), 2, "driver loads")


@scenario
def firmware_rejects_bad_requests(s):
    """Requests the firmware does not take fail as a driver's do, are recorded with their
    status, and change nothing: a wrong control code (ERROR_INVALID_FUNCTION), an input
    shorter than the command word (ERROR_INVALID_PARAMETER), an output shorter than the
    reply word (ERROR_INSUFFICIENT_BUFFER); larger buffers carry the 4-byte words."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    set_mmc2 = 0x12B001
    steps = [  # probe command, caller's line, (code, in, out, word, reply, status) at the driver
        (f"raw:0x83102140:4:4:{set_mmc2}", "raw ok=0 error=1 returned=0 reply=deadbeef",
         (0x83102140, 4, 4, set_mmc2, 0, 0xC0000010)),
        (f"raw:0x8310213C:2:4:{set_mmc2}", "raw ok=0 error=87 returned=0 reply=deadbeef",
         (IOCTL_DYTC_METHOD, 2, 4, 0, 0, 0xC000000D)),
        (f"raw:0x8310213C:4:2:{set_mmc2}", "raw ok=0 error=122 returned=0 reply=deadbeef",
         (IOCTL_DYTC_METHOD, 4, 2, set_mmc2, 0, 0xC0000023)),
        (f"raw:0x8310213C:0:4:{set_mmc2}", "raw ok=0 error=87 returned=0 reply=deadbeef",
         (IOCTL_DYTC_METHOD, 0, 4, 0, 0, 0xC000000D)),
        ("raw:0x8310213C:0:0:0", "raw ok=0 error=87 returned=0 reply=deadbeef",
         (IOCTL_DYTC_METHOD, 0, 0, 0, 0, 0xC000000D)),
        ("query:7", "query ok=1 reply=000f0001", (IOCTL_DYTC_METHOD, 4, 4, 7, 0xF0001, 0)),
        (f"raw:0x8310213C:8:8:{set_mmc2}", "raw ok=1 error=0 returned=4 reply=00000001",
         (IOCTL_DYTC_METHOD, 8, 8, set_mmc2, 1, 0)),
        ("query:7", "query ok=1 reply=00020001", (IOCTL_DYTC_METHOD, 4, 4, 7, 0x20001, 0)),
    ]
    ensure_eq(s.probe(*[step[0] for step in steps]), [step[1] for step in steps], "what the callers got")
    seen = [(r.code, r.in_length, r.out_length, r.word, r.reply, r.status) for r in s.firmware.requests()]
    ensure_eq(seen, [step[2] for step in steps], "requests at the driver")


@scenario
def executable_runs(s):
    """The cross-built QTHERMSvc.exe, at its installed path, loads and runs under Wine: a
    switch the program does not know makes it do nothing and end with 0, printing nothing
    and sending nothing to the firmware."""
    ensure(s.file(EXE_PATH).is_file(), f"{EXE_PATH} in the prefix")
    s.firmware.load(Capability=ALL_FUNCTIONS)
    result = s.program("-wine-check", timeout=20)
    ensure_eq(result.out, "", "console output")
    ensure_eq(s.firmware.requests(), [], "requests at the driver")
    ensure_eq(s.service_status(SERVICE), None, "the QTHRMON service (not registered)")


# ---- the platform itself ----

# Every row of the platform checks with its outcome under Wine 8, in order: "same" gives
# the row's expected answer (Windows' documented one, or Wine's where nothing documents it);
# "skipped as Wine answers" gives the answer the row records for Wine 8, which is more
# lenient there than the documentation.
SAME, AS_WINE = "same", "skipped as Wine answers"
PLATFORM_ROWS = [
    ("ManualResetEventWakesEveryWaiter", SAME),
    ("AutoResetEventWakesOneWaiter", SAME),
    ("InitialStateAndTimeout", SAME),
    ("WaitForAll", SAME),
    ("WaitRefusesOneObjectTwice", AS_WINE),
    ("AbandonedMutexPassesFromWaiterToWaiter", SAME),
    ("NotificationSubtree", SAME),
    ("NotificationFilter", SAME),
    ("SynchronousNotification", SAME),
    ("NotificationEventRights", SAME),
    ("KeyRights", SAME),
    ("UnknownKeyOption", SAME),
    ("SubkeyCreationIgnoresTheHandlesRights", SAME),
    ("SubkeyCreationNeedsTheKeysSecurity", AS_WINE),
    ("DeleteTreeStopsAtAKeyItCannotList", SAME),
    ("DeleteTreeStopsAtAKeyItMayNotDelete", AS_WINE),
    ("QueryValueSizes", SAME),
    ("VolatileKeys", SAME),
    ("ShareModes", SAME),
    ("UnknownShareBit", SAME),
    ("CopyOfAFileBeingWritten", SAME),
    ("FileArguments", SAME),
    ("TruncateNeedsWriteAccess", AS_WINE),
    ("ObjectRights", SAME),
    ("RefusedArguments", AS_WINE),
]


@scenario
def platform_checks(s):
    """The table of platform behaviours the system relies on (tests/checks), which the
    unit tests run against the simulated machine, cross-built and run here: exactly the
    rows of PLATFORM_ROWS, each with its outcome, and none giving anything else."""
    result = s.run(CHECKS, check=False, timeout=60)
    rows = []
    for line in result.out.splitlines():
        if line.startswith("  "):  # what a differing row should have given
            continue
        m = re.match(r"(same|skipped as Wine answers|DIFFERS) (\S+) \(", line)
        rows.append((m.group(2), m.group(1)) if m else (line, None))
    ensure_eq(rows, PLATFORM_ROWS, f"rows of the platform checks and their outcome:\n{result.out}{result.err}")
    ensure_eq(result.rc, 0, f"exit code of the platform checks (rows giving something else):\n{result.out}")


# ---- reliability ----

CYCLES = 50
# StartServiceW's errors when Wine's SCM stops waiting for a new service process to connect.
WINE_START_TIMEOUTS = (1053, 1359)


@scenario
def service_start_stop_cycles(s):
    """The installed service started and stopped 50 times with two rounds of the MMC and
    IFC controls in between: every stop ends with the service stopped, the service
    process's handle count after the second round of controls is what it was after the
    first (a control that leaks a handle grows it) and differs by at most one across the
    cycles, and the firmware model sees every command that the install, the starts and the
    controls make, in order."""
    s.firmware.load(Capability=ALL_FUNCTIONS, MmcCapability=0x40001)
    install_service(s)
    ensure_eq(s.wait_state(RUNNING)[-1], RUNNING, "the service after the install")
    ensure_eq(s.stop()[-1], STOPPED, "the first stop")
    # The component install (capability, MMC capability), then the start the install asked
    # for (capability, the MMC mode); MYH finds no "Mode" and MSC sends nothing under Wine.
    expected = [3, 6, 3, 7]

    controls = [134, 135, 146, 148, 149, 150]
    round_words = [0x12B001, 0x1FB001, 0x13B001, 0x12B001, 0x1FA001, 0xFA001]
    counts, pids, failed_stops, late_starts = [], [], [], []
    for cycle in range(CYCLES):
        commands = [["start", SERVICE], ["wait", SERVICE, str(RUNNING), "10000"]]
        for _ in range(2):
            commands += [["control", SERVICE, str(c)] for c in controls] + [["handles", SERVICE]]
        commands += [["stop", SERVICE, "10000"]]
        results = s.ctl_batch(*commands, check=False)
        if results[0][0] in WINE_START_TIMEOUTS and s.firmware.mark() == len(expected):
            # Wine's SCM, busy, gave up on a new service process before it connected (the
            # process sent nothing): the start is tried once more, and counted.
            late_starts.append((cycle, results[0][0]))
            s.wait_state(STOPPED)
            results = s.ctl_batch(*commands, check=False)
        failures = [(" ".join(c), code, lines) for c, (code, lines) in zip(commands, results) if code]
        ensure(not failures, f"cycle {cycle}: {failures}")
        measured = []
        for c, (code, lines) in zip(commands, results):
            if c[0] == "handles":
                m = re.fullmatch(r"pid=(\d+) handles=(\d+)", lines[0])
                ensure(m is not None, f"cycle {cycle}: handle count line {lines}")
                pids.append(int(m.group(1)))
                measured.append(int(m.group(2)))
        ensure(measured[1] == measured[0], f"cycle {cycle}: the second round of controls changed the service "
                                           f"process's handle count: {measured[0]} -> {measured[1]}")
        counts.append(measured[1])
        states = [int(v) for v in results[-1][1][0].removeprefix("states=").split(",")]
        if states[-1] != STOPPED:
            failed_stops.append((cycle, states))
        expected += [3, 7] + round_words * 2
    ensure_eq(failed_stops, [], "stops that did not end stopped")
    ensure_eq(len(set(pids)), CYCLES, "a new service process in every cycle")
    # Each cycle is a new process: Wine's own share of its handles may differ by one.
    ensure(max(counts) - min(counts) <= 1, f"the service process's handle count changed across cycles: {counts}")
    ensure(len(late_starts) <= 1, f"Wine's SCM gave up on the service's start more than once: {late_starts}")
    s.firmware.wait_words(expected)
    print(f"{CYCLES} start/stop cycles, {CYCLES * 2 * len(controls)} controls, handle counts "
          f"{min(counts)}-{max(counts)}, {len(expected)} commands seen by the firmware model, starts tried again: {late_starts}")


# ---- the whole program: installed, driven and removed as on a machine ----

SERVICE_KEY = "SYSTEM\\CurrentControlSet\\Services\\" + SERVICE
IC_KEY = SERVICE_KEY + "\\QTHERM\\IC"
MMC_KEY = IC_KEY + "\\MMC"
MYH_KEY = "SOFTWARE\\Oltaro\\BravaMode"
PENDING_KEY = "System\\CurrentControlSet\\Control\\Session Manager"
DELETE_COPY = r"C:\windows\system32\QTHERMSvcWillDel.exe"
INSTALLED_LINE = "QTHRMON is installed.\n"
NEVER_STARTED = 1077  # the exit code a registered service reports until its first start
REMOVED_LINE = "QTHRMON is removed.\n"

# Command words at the driver: the queries of the capability word, the MMC capability and
# the MMC mode, the reset, and the set commands the modes send.
CAPABILITY, MMC_CAPABILITY, MMC_MODE, RESET = 3, 6, 7, 0x1FF
IFC_ON, IFC_OFF = 0x1FA001, 0xFA001
MYH_MODE_0, MYH_MODE_1, MYH_MODE_2 = 0x103001, 0x113001, 0x123001
# The MMC controls: (code, set word, "CurrentSetting", "AutomaticModeSetting") in the order sent.
MMC_CONTROLS = [(134, 0x12B001, 3, 1), (135, 0x1FB001, 0, 2), (146, 0x13B001, 1, 1), (148, 0x12B001, 3, 1)]
MMC_ONLY = 0x08000001
# The service's controls: stop pending is reported with check point 2 after the start's 1.
ACCEPTED = 0xC5  # stop, shutdown, power events, session changes
STOP_PENDING_REPORT = {"notified": 3, "checkpoint": 2, "hint": 0, "exit": 0}


def install_service(s, timeout=60, starts=True):
    """Runs "-install" and checks that it reported the installation. When the service
    should now run but was never started, the installer's StartServiceW met Wine's lost
    process creation (the SCM answers ERROR_INTERNAL_ERROR; the installer goes on, as it
    must): the harness starts the service once itself and says so in the transcript."""
    result = s.program("-install", timeout=timeout)
    ensure_eq(result.out, INSTALLED_LINE, "the installer's console output")
    s.services.append(SERVICE)  # deleted at the end should the scenario fail midway
    status = s.service_status()
    if starts and status and (status["state"], status["exit"], status["pid"]) == (STOPPED, NEVER_STARTED, 0):
        s.note("the service the installer started never ran (Wine lost its process); started again")
        s.ctl("start", SERVICE)
        s.wait_state(RUNNING)
    return result


def ensure_running(s, what):
    status = s.service_status()
    ensure(status is not None, f"{what}: QTHRMON is not registered")
    ensure_eq((status["state"], status["exit"], status["accepted"]), (RUNNING, 0, ACCEPTED),
              f"{what}: state, exit code and controls accepted")
    ensure(status["pid"] != 0, f"{what}: no process")


def ensure_stops_cleanly(s, what):
    """The stop as a client sees it: the stop-pending report (check point 2), then stopped
    with exit code 0 and no process left."""
    notified, states = s.stop_notified()
    ensure_eq(notified, STOP_PENDING_REPORT, f"{what}: the first report after the stop control")
    ensure_eq(states[-1], STOPPED, f"{what}: state after the stop")
    status = s.service_status()
    ensure_eq((status["state"], status["exit"], status["pid"]), (STOPPED, 0, 0), f"{what}: state, exit code, process")


def expect_words(s, words, since, what, timeout=5.0):
    """Exactly these command words at the driver after `since`, and nothing more."""
    try:
        s.firmware.wait_words(words, since, timeout=timeout)
    except Failure as e:
        raise Failure(f"{what}: {e}") from None


def spawn_watcher(s):
    """Starts "-idletask" as the Task Scheduler would, as a process of its own, and waits for
    the IFC switch-on that its control 130 brings."""
    mark = s.firmware.mark()
    watcher = s.spawn(EXE_PATH, "-idletask")
    try:
        watcher.wait(timeout=0.5)
    except subprocess.TimeoutExpired:
        pass
    else:
        result = s.finish(watcher)
        ensure(s.never_ran(result), f"the idle-time watcher ended at once: {result}")
        s.note("Wine did not create the idle-time watcher's process; started again")
        watcher = s.spawn(EXE_PATH, "-idletask")
    expect_words(s, [IFC_ON], mark, "the idle-time watcher's start", timeout=15)
    ensure(watcher.poll() is None, "the idle-time watcher keeps running")
    return watcher


def send_controls(s, steps, what):
    """Sends each control and expects exactly its words at the driver; the service stays running."""
    for code, words in steps:
        mark = s.firmware.mark()
        ensure_eq(s.control(code), RUNNING, f"{what}: state the service answered control {code} with")
        expect_words(s, words, mark, f"{what}, control {code}")


@scenario
def install(s):
    """"-install": the console line "QTHRMON is installed."; the service registered with
    name and display name "QTHRMON", description "Oltaro NoteBook QTH service", own-process
    type, auto start, normal error control, the quoted image path and "LocalSystem";
    "Version" 0x4000, "Auto Capability" and the MMC defaults as the capability word implies;
    the capability queries the driver received; the service RUNNING; both task creations
    failing as Wine's Task Scheduler does, without stopping the installation. A second
    "-install" on the stopped service only starts it."""
    s.firmware.load(Capability=ALL_FUNCTIONS, MmcCapability=0xC)
    ensure_eq(s.service_status(), None, "QTHRMON before the installation")
    ensure_eq(s.scheduled_tasks(), [], "the Task Scheduler's store before the installation")
    install_service(s)

    ensure_eq(s.service_config(), {
        "type": "0x00000010", "start": "2", "error": "1", "image": '"C:\\windows\\system32\\QTHERMSvc.exe"',
        "account": "LocalSystem", "display": "QTHRMON", "group": "", "dependencies": "",
        "description": "Oltaro NoteBook QTH service"}, "the service's registration")
    ensure_running(s, "after the installation")
    # MSC, MYH and IFC supported: "Auto Capability" 1. An MMC capability of 12: "Capability" 10.
    ensure_eq(s.reg_get(IC_KEY), {"Auto Capability": 1, "Version": 0x4000}, "values under QTHERM\\IC")
    ensure_eq(s.reg_get(MMC_KEY), {"Capability": 10, "CurrentSetting": 0, "AutomaticModeSetting": 2},
              "values under QTHERM\\IC\\MMC")
    # The installer asks for the capability word and the MMC capability; the service it
    # started asks for the capability word and the MMC mode ("Mode" is missing: no MYH).
    ensure_eq(s.firmware.words(), [CAPABILITY, MMC_CAPABILITY, CAPABILITY, MMC_MODE], "command words at the driver")
    # Wine's Task Scheduler makes the folder but builds neither task (E_NOTIMPL for the
    # event and idle triggers); the installation went on to start the service and print.
    ensure_eq(s.scheduled_tasks(), ["Oltaro/"], "the Task Scheduler's store after the installation")

    # Installed already: "-install" only starts the stopped service; nothing is written,
    # queried for the installation or printed.
    s.stop()
    s.firmware.configure(MmcCapability=4)  # an installation now would write "Capability" 8
    s.ctl("regdel", IC_KEY, "Auto Capability")
    mark = s.firmware.mark()
    ensure_eq(s.program("-install", timeout=60).out, "", "console output of a second installation")
    ensure_running(s, "after the second installation")
    ensure_eq(s.firmware.words(mark), [CAPABILITY, MMC_MODE], "command words of the second installation")
    ensure_eq(s.reg_get(IC_KEY), {"Version": 0x4000}, "values under QTHERM\\IC after the second installation")
    ensure_eq(s.reg_get(MMC_KEY, "Capability"), {"Capability": 10}, "MMC capability after the second installation")


@scenario
def mmc_controls(s):
    """The four MMC controls in a row (134, 135, 146, 148) on the running service: the
    exact set words at the driver (0x12B001, 0x1FB001, 0x13B001, 0x12B001) and
    "CurrentSetting"/"AutomaticModeSetting" under the MMC key after each. The firmware
    offers MMC alone, in mode 3 at start: the service records that mode, and neither
    "Mode" nor the IFC controls reach the firmware."""
    s.firmware.load(Capability=MMC_ONLY, MmcCapability=4, MmcDefaultMode=3)
    s.reg_add(MYH_KEY, "Mode", 0)  # valid, but without the MYH bit there is no MYH mode
    install_service(s)
    ensure_running(s, "after the installation")
    ensure_eq(s.firmware.words(), [CAPABILITY, MMC_CAPABILITY, CAPABILITY, MMC_MODE], "command words at start")
    ensure_eq(s.reg_get(IC_KEY), {"Auto Capability": 0, "Version": 0x4000}, "values under QTHERM\\IC")
    # The installer's defaults (0, 2), then the service's start from the firmware's mode 3.
    ensure_eq(s.reg_get(MMC_KEY), {"Capability": 8, "CurrentSetting": 1, "AutomaticModeSetting": 1},
              "values under QTHERM\\IC\\MMC at start")

    for code, word, current, automatic in MMC_CONTROLS:
        send_controls(s, [(code, [word])], f"MMC control {code}")
        ensure_eq(s.reg_get(MMC_KEY, "CurrentSetting", "AutomaticModeSetting"),
                  {"CurrentSetting": current, "AutomaticModeSetting": automatic}, f"the MMC pair after control {code}")
    ensure_eq(s.probe("query:7"), ["query ok=1 reply=00020001"], "the firmware's MMC mode after the controls")

    mark = s.firmware.mark()
    send_controls(s, [(130, []), (149, []), (150, []), (200, [])], "controls no mode of this service takes")
    s.reg_add(MYH_KEY, "Mode", 3)
    expect_words(s, [], mark, "\"Mode\" changed without the MYH function")
    ensure_eq(s.reg_get(MMC_KEY, "CurrentSetting", "AutomaticModeSetting"),
              {"CurrentSetting": 3, "AutomaticModeSetting": 1}, "the MMC pair after the other controls")
    ensure_stops_cleanly(s, "stop")


@scenario
def myh_mode(s):
    """MYH: "Mode" under SOFTWARE\\Oltaro\\BravaMode written by another process (Wine's
    `reg add`) brings one more set command with the mapped mode (0 and 1 to DYTC mode 2, 2
    to 0, 3 and 4 to 1); a value outside 0 to 4 brings none and the watch goes on; another
    value written under the key makes it set "Mode"'s mode again."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    s.reg_add(MYH_KEY, "Mode", 3)  # valid at start, so the MYH mode is created and stays
    install_service(s)
    ensure_running(s, "after the installation")
    ensure_eq(s.firmware.words(), [CAPABILITY, MMC_CAPABILITY, CAPABILITY, MMC_MODE, MYH_MODE_1],
              "command words at start (\"Mode\" 3)")

    for value, word in [(0, MYH_MODE_2), (2, MYH_MODE_0), (1, MYH_MODE_2), (4, MYH_MODE_1), (3, MYH_MODE_1)]:
        mark = s.firmware.mark()
        s.reg_add(MYH_KEY, "Mode", value)
        expect_words(s, [word], mark, f"\"Mode\" {value}")
    mark = s.firmware.mark()
    s.reg_add(MYH_KEY, "Mode", 9)
    expect_words(s, [], mark, "\"Mode\" 9")
    s.reg_add(MYH_KEY, "Mode", 2)
    expect_words(s, [MYH_MODE_0], mark, "\"Mode\" 9, then 2")
    mark = s.firmware.mark()
    s.reg_add(MYH_KEY, "Other", 1)
    expect_words(s, [MYH_MODE_0], mark, "another value under the key, \"Mode\" still 2")
    ensure_running(s, "after the changes of \"Mode\"")


@scenario
def ifc_watcher(s):
    """IFC: a "-idletask" process started as the Task Scheduler would sends control 130 and
    IFC goes on at the driver (0x1FA001); controls 150 and 149 switch it off and on; killing
    that watcher process abandons its mutex and IFC goes off (0xFA001). The next idle
    period's watcher does the same."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    install_service(s)
    for period in (1, 2):
        watcher = spawn_watcher(s)
        send_controls(s, [(150, [IFC_OFF]), (149, [IFC_ON])], f"idle period {period}")
        mark = s.firmware.mark()
        s.kill(watcher)
        expect_words(s, [IFC_OFF], mark, f"the watcher of idle period {period} killed")
        ensure_running(s, f"after the watcher of idle period {period} ended")


@scenario
def stop(s):
    """Stop: the service reports stop pending, then stopped, and its watch threads end:
    the IFC off command (0xFA001) of each waiting mutex-watch thread arrives at the driver,
    and the MYH watch no longer follows "Mode"."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    s.reg_add(MYH_KEY, "Mode", 3)
    install_service(s)
    watcher = spawn_watcher(s)
    # A second 130 while the watcher lives: a second mutex-watch thread waits too.
    send_controls(s, [(130, [IFC_ON])], "a second idle start")

    mark = s.firmware.mark()
    ensure_stops_cleanly(s, "stop with two waiting mutex-watch threads")
    expect_words(s, [IFC_OFF, IFC_OFF], mark, "the stop with two waiting mutex-watch threads")

    # Nothing of the service is left to act: the watcher's end and a new "Mode" bring nothing.
    mark = s.firmware.mark()
    s.kill(watcher)
    s.reg_add(MYH_KEY, "Mode", 0)
    expect_words(s, [], mark, "the watcher's end and a new \"Mode\" after the stop")
    ensure_eq(s.service_status()["state"], STOPPED, "state at the end")


@scenario
def remove(s):
    """"-remove" on a service without "Owners": the DYTC reset (0x1FF) at the driver, the
    service stopped (a waiting IFC watch thread switches IFC off) and deleted, "QTHRMON is
    removed.", C:\\windows\\system32\\QTHERMSvcWillDel.exe made and started with "-delfile":
    the installed executable goes as soon as no process runs it any more (the idle-time
    watcher here), and the copy is listed in PendingFileRenameOperations for deletion at
    restart. A second removal only resets DYTC."""
    s.firmware.load(Capability=ALL_FUNCTIONS)
    install_service(s)
    ensure_eq(s.reg_get(SERVICE_KEY, "Owners"), {"Owners": None}, "\"Owners\" of the service that -install registered")
    ensure_eq(s.reg_raw(PENDING_KEY, "PendingFileRenameOperations"), None, "deletions pending before the removal")
    watcher = spawn_watcher(s)

    mark = s.firmware.mark()
    result = s.program("-remove", timeout=60)
    ensure_eq(result.out, REMOVED_LINE, "the remover's console output")
    # The reset comes first; the stop then wakes the mutex-watch thread.
    expect_words(s, [RESET, IFC_OFF], mark, "the removal")
    ensure_eq(s.service_status(), None, "QTHRMON after the removal")
    s.services.remove(SERVICE)
    copy = s.file(DELETE_COPY)
    ensure(copy.is_file(), f"{DELETE_COPY} after the removal")
    ensure(copy.read_bytes() == s.paths.artefacts["exe"].read_bytes(), f"{DELETE_COPY} is a copy of the executable")

    # The watcher still runs the installed executable, so the copy's deletions fail and are
    # retried once a second; once the watcher has ended the next one succeeds.
    installed = s.file(EXE_PATH)
    time.sleep(2.5)
    ensure(installed.is_file(), "the installed executable while the watcher still runs it")
    ensure_eq(s.reg_raw(PENDING_KEY, "PendingFileRenameOperations"), None, "deletions pending while the copy retries")
    s.kill(watcher)
    ensure(wait_until(lambda: not installed.exists(), 3), f"{EXE_PATH} deleted within 3 s of the watcher's end")
    ensure(wait_until(lambda: s.reg_raw(PENDING_KEY, "PendingFileRenameOperations") is not None, 3, 0.2),
           "the copy's deletion at restart recorded")
    ensure_eq(s.reg_multi(PENDING_KEY, "PendingFileRenameOperations"), ["\\??\\" + DELETE_COPY, ""],
              "PendingFileRenameOperations (the copy, to be deleted: no new name)")
    ensure(copy.is_file(), f"{DELETE_COPY} until the restart")
    ensure_eq(s.firmware.words(mark), [RESET, IFC_OFF], "command words at the end (the watcher's end reached no service)")

    # Removed already (the program now only exists as the copy): the reset again, and
    # nothing else is done or printed.
    mark = s.firmware.mark()
    ensure_eq(s.run(DELETE_COPY, "-remove", timeout=60).out, "", "console output of a second removal")
    expect_words(s, [RESET], mark, "a second removal")
    ensure_eq(s.reg_multi(PENDING_KEY, "PendingFileRenameOperations"), ["\\??\\" + DELETE_COPY, ""],
              "PendingFileRenameOperations after a second removal")


@scenario
def no_firmware(s):
    """A firmware without any function (capability 0), then a machine without the device
    (the driver stopped after the installation): the service installs, starts, takes
    controls and stops cleanly with no mode, and "-remove" still removes it."""
    s.firmware.load(Capability=0)
    s.reg_add(MYH_KEY, "Mode", 3)
    install_service(s)
    ensure_running(s, "capability 0, after the installation")
    ensure_eq(s.firmware.words(), [CAPABILITY, CAPABILITY], "command words (capability 0)")
    # The verdict bit is clear: no mode installed and no "Auto Capability"; "Version" all the same.
    ensure_eq(s.reg_get(IC_KEY), {"Version": 0x4000}, "values under QTHERM\\IC (capability 0)")
    ensure_eq(s.reg_get(MMC_KEY), {}, "the MMC key (capability 0)")
    send_controls(s, [(134, []), (130, []), (149, [])], "controls with capability 0")
    ensure_stops_cleanly(s, "capability 0")

    # The device goes away; the firmware would now offer every function.
    s.firmware.configure(Capability=ALL_FUNCTIONS)
    ensure_eq(s.stop(DRIVER_SERVICE)[-1], STOPPED, "the driver stopped")
    s.ctl("start", SERVICE)
    ensure_eq(s.wait_state(RUNNING)[-1], RUNNING, "service started without the device")
    ensure_running(s, "without the device")
    send_controls(s, [(134, []), (130, []), (146, [])], "controls without the device")
    s.reg_add(MYH_KEY, "Mode", 0)
    ensure_stops_cleanly(s, "without the device")

    result = s.program("-remove", timeout=60)
    ensure_eq(result.out, REMOVED_LINE, "the remover's console output without the device")
    ensure_eq(s.service_status(), None, "QTHRMON after the removal without the device")
    s.services.remove(SERVICE)
    ensure_eq(s.firmware.words(), [CAPABILITY, CAPABILITY], "command words at the end (none without the device)")


@scenario
def no_device_at_install(s):
    """Installed on a machine without the device: the service is registered and the line
    printed, but the mode component cannot be installed ("Version" stays missing), so the
    service process ends without starting its dispatcher. Once the device is there, the
    service's own start installs the component, "Version" included, and then fails on the
    PnP task: under Wine a starting service cannot reach the Task Scheduler (Wine's taskschd
    asks the SCM to start its service, and the SCM, busy with this start, answers 1055).
    The next start finds "Version" and runs."""
    install_service(s, timeout=90, starts=False)
    ensure_eq(s.service_config()["image"], '"C:\\windows\\system32\\QTHERMSvc.exe"', "the registered image")
    status = s.service_status()
    ensure_eq((status["state"], status["pid"]), (STOPPED, 0), "state and process without the device")
    ensure_eq(s.reg_get(IC_KEY), {}, "QTHERM\\IC without the device")

    s.firmware.load(Capability=MMC_ONLY, MmcCapability=8)
    code, lines = s.ctl_batch(["start", SERVICE], check=False, timeout=60)[0]
    ensure(code != 0, f"the start that installs the component fails under Wine: {lines}")
    ensure_eq(s.service_status()["state"], STOPPED, "state after the component's installation")
    # The SCM gives up on the start while the process may still be on its way.
    wait_until(lambda: s.reg_get(IC_KEY, "Version").get("Version") is not None, 20, 0.5)
    ensure_eq(s.reg_get(IC_KEY), {"Auto Capability": 0, "Version": 0x4000}, "values the service process installed")
    ensure_eq(s.reg_get(MMC_KEY), {"Capability": 2, "CurrentSetting": 0, "AutomaticModeSetting": 2},
              "MMC values the service process installed")
    ensure_eq(s.firmware.words(), [CAPABILITY, MMC_CAPABILITY], "command words of the component's installation")

    s.ctl("start", SERVICE)
    ensure_eq(s.wait_state(RUNNING)[-1], RUNNING, "the next start")
    ensure_running(s, "the next start")
    ensure_eq(s.firmware.words(), [CAPABILITY, MMC_CAPABILITY, CAPABILITY, MMC_MODE], "command words of the next start")
    ensure_stops_cleanly(s, "stop")


# ---- command line ----

def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mingw", type=Path, help="the mingw build directory (QTHERMSvc.exe, tests-wine/)")
    parser.add_argument("--work", type=Path, help="where the prefixes live, inside the build tree")
    parser.add_argument("--keep", action="store_true", help="keep a failed scenario's prefix")
    parser.add_argument("command", choices=["prepare", "run", "cleanup", "list"])
    parser.add_argument("name", nargs="?")
    args = parser.parse_args(argv)
    if args.command == "list":
        print(";".join(SCENARIOS))
        return 0
    if not args.mingw or not args.work:
        parser.error("--mingw and --work are needed")
    paths = Paths(args.mingw.resolve(), args.work.resolve())
    try:
        if args.command == "prepare":
            prepare(paths)
            return 0
        if args.command == "cleanup":
            cleanup(paths)
            return 0
    except Failure as e:
        print(f"FAILED: {e}")
        return 1
    if args.name not in SCENARIOS:
        parser.error(f"unknown scenario {args.name!r}; known: {', '.join(SCENARIOS)}")
    return run_scenario(paths, args.name, SCENARIOS[args.name], keep=args.keep)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
