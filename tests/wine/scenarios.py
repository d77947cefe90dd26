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
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
from harness import (DRIVER_KEY, DRIVER_SERVICE, EXE_PATH, IOCTL_DYTC_METHOD, RUNNING, SERVICE, STOPPED, Failure,
                     Paths, cleanup, ensure, ensure_eq, prepare, run_scenario)

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
WHOLE_PROGRAM = "needs the whole program (service, installer, watcher)"


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
    mark = s.firmware.mark()
    callers = [s.spawn(r"C:\qtherm-tests\dytcprobe.exe", *(["query:7", "set:1:11:3:1"] * 25)) for _ in range(4)]
    for p in callers:
        result = s.finish(p)
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


# ---- reliability ----

CYCLES = 50


@scenario
def service_start_stop_cycles(s):
    """The installed service started and stopped 50 times with two rounds of the MMC and
    IFC controls in between: every stop ends with the service stopped, the service
    process's handle count after the second round of controls is what it was after the
    first (a control that leaks a handle grows it) and the same in every cycle, and the
    firmware model sees every command that the install, the starts and the controls make,
    in order."""
    s.firmware.load(Capability=ALL_FUNCTIONS, MmcCapability=0x40001)
    s.services.append(SERVICE)
    ensure_eq(s.program("-install").out, "QTHRMON is installed.\n", "the installer's console line")
    ensure_eq(s.wait_state(RUNNING)[-1], RUNNING, "the service after the install")
    ensure_eq(s.stop()[-1], STOPPED, "the first stop")
    # The component install (capability, MMC capability), then the start the install asked
    # for (capability, the MMC mode); MYH finds no "Mode" and MSC sends nothing under Wine.
    expected = [3, 6, 3, 7]

    controls = [134, 135, 146, 148, 149, 150]
    round_words = [0x12B001, 0x1FB001, 0x13B001, 0x12B001, 0x1FA001, 0xFA001]
    counts, pids, failed_stops = [], [], []
    for cycle in range(CYCLES):
        commands = [["start", SERVICE], ["wait", SERVICE, str(RUNNING), "10000"]]
        for _ in range(2):
            commands += [["control", SERVICE, str(c)] for c in controls] + [["handles", SERVICE]]
        commands += [["stop", SERVICE, "10000"]]
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
    ensure(max(counts) == min(counts), f"the service process's handle count changed across cycles: {counts}")
    s.firmware.wait_words(expected)
    print(f"{CYCLES} start/stop cycles, {CYCLES * 2 * len(controls)} controls, handle count {counts[0]} in every "
          f"cycle, {len(expected)} commands seen by the firmware model")


# ---- the whole program (the bodies come with it) ----

@scenario(pending=WHOLE_PROGRAM)
def install(s):
    """"-install": the console line "QTHRMON is installed."; the service registered with
    name and display name "QTHRMON", description "Oltaro NoteBook QTH service", own-process
    type, auto start, normal error control, the quoted image path and "LocalSystem";
    "Version" 0x4000, "Auto Capability" and the MMC defaults as the configured capability
    word implies; the capability queries the driver received; the service RUNNING; both task
    creations failing as Wine's Task Scheduler does (traced, not fatal)."""


@scenario(pending=WHOLE_PROGRAM)
def mmc_controls(s):
    """The four MMC controls in a row (134, 135, 146, 148) on the running service: the
    exact set words at the driver (0x12B001, 0x1FB001, 0x13B001, 0x12B001) and
    "CurrentSetting"/"AutomaticModeSetting" under the MMC key after each."""


@scenario(pending=WHOLE_PROGRAM)
def myh_mode(s):
    """MYH: "Mode" under SOFTWARE\\Oltaro\\BravaMode written by another process (Wine's
    `reg add`) brings one more set command with the mapped mode; a value outside 0 to 4
    brings none."""


@scenario(pending=WHOLE_PROGRAM)
def ifc_watcher(s):
    """IFC: a "-idletask" process started as the Task Scheduler would sends control 130 and
    IFC goes on at the driver (0x1FA001); killing that watcher process abandons its mutex
    and IFC goes off (0xFA001)."""


@scenario(pending=WHOLE_PROGRAM)
def stop(s):
    """Stop: the service reports stop pending, then stopped, and its watch threads end: the
    IFC off command (0xFA001) of a waiting watch thread arrives at the driver."""


@scenario(pending=WHOLE_PROGRAM)
def remove(s):
    """"-remove" on a service without "Owners": the DYTC reset (0x1FF) at the driver, the
    service deleted, "QTHRMON is removed.", C:\\windows\\system32\\QTHERMSvcWillDel.exe made
    and started with "-delfile", the installed executable gone within a few seconds, and the
    copy listed in PendingFileRenameOperations for deletion at restart."""


@scenario(pending=WHOLE_PROGRAM)
def no_firmware(s):
    """A firmware without any function (capability 0), and a machine without the device
    (no driver): in both the service still installs, starts and stops cleanly."""


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
