#!/usr/bin/python3
"""Runs the benchmarks that scripts/bench has built and prints one table: each figure
next to its floor, measured in the same run, and their ratio.

    run.py --build build/bench [--repetitions N] [--out DIR]

Native figures come from qtherm_bench (Google Benchmark over the simulated machine; the
median of the repetitions, and for hand-overs between threads the median of the per-round
medians), instruction counts from qtherm_bench_count under callgrind (the same on every
run). Nothing here is a test: the figures are reported, never asserted.
"""

import argparse
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean

# (figure, benchmark, metric). "paired": operations timed in blocks, in turn with their
# floor (counters figure_ns, floor_ns, ratio); "p50"/"p99": rounds timed one by one, in
# turn with a round of their floor (p50_ns and floor_p50_ns, ...); "part": a share of the
# figure above it, without a floor of its own.
TIMED = [
    ("MMC control 134 (automatic off)", "ManagerControl/MMC_134_AutoOff", "paired"),
    ("MMC control 135 (automatic on)", "ManagerControl/MMC_135_AutoOn", "paired"),
    ("MMC control 146 (cool and quiet)", "ManagerControl/MMC_146_CoolQuiet", "paired"),
    ("MMC control 148 (performance)", "ManagerControl/MMC_148_Performance", "paired"),
    ("IFC control 149 (on)", "ManagerControl/IFC_149_Enter", "paired"),
    ("IFC control 150 (off)", "ManagerControl/IFC_150_Exit", "paired"),
    ("MSC display off/on power event", "DisplayPowerEvent", "paired"),
    ("DYTCMethod round trip", "DytcMethodRoundTrip", "paired"),
    ("IFC control 130 (on + watch thread), p50", "IdleStartControl", "p50"),
    ('MYH "Mode" write -> set at device, p50', "MyhModeChange", "p50"),
    ('MYH "Mode" write -> set at device, p99', "MyhModeChange", "p99"),
    ("  of which write -> watch thread runs, p50", "MyhModeChange", "part:awake_p50"),
    ("watcher sample step, quiet GPU", "WatcherStepLow", "paired"),
    ("watcher sample step, busy GPU (sends 150)", "WatcherStepHigh", "paired"),
]
REFERENCE = ("thread wake, plain condition variable, p50", "ThreadWake", "p50")
IDLE = "IdleAllModesUp"

# (figure, operation, floor operation) for qtherm_bench_count.
COUNTED = [
    ("MMC control 134", "control:134", "floor:mmc"),
    ("MMC control 135", "control:135", "floor:mmc"),
    ("MMC control 146", "control:146", "floor:mmc"),
    ("MMC control 148", "control:148", "floor:mmc"),
    ("IFC control 149", "control:149", "floor:device"),
    ("IFC control 150", "control:150", "floor:device"),
    ("MSC display power event", "display", "floor:device"),
    ("DYTCMethod round trip", "dytc", "floor:device"),
    ("watcher sample step, quiet GPU", "watcher:low", "floor:sample"),
    ("watcher sample step, busy GPU", "watcher:high", "floor:sample-control"),
]
COUNT_FLOORS = {"floor:mmc": "device request + 2 registry writes", "floor:device": "device request",
                "floor:sample": "sample calls + Sleep", "floor:sample-control": "sample calls + Sleep + service control"}
COUNT_OPERATIONS = 2000


def fmt_ns(ns):
    if ns is None:
        return "-"
    if ns < 1000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1000:.2f} us" if ns < 10_000 else f"{ns / 1000:.1f} us"
    return f"{ns / 1_000_000:.2f} ms"


def ratio(figure, floor):
    return f"{figure / floor:.2f}" if figure and floor else "-"


def table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = [title]
    for n, r in enumerate([header] + rows):
        cells = [str(c).ljust(w) if i == 0 or i == 2 else str(c).rjust(w) for i, (c, w) in enumerate(zip(r, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
        if n == 0:
            lines.append("  " + "  ".join("-" * w for w in widths))
    return "\n".join(lines)


# ---- Google Benchmark ----

def run_benchmarks(build, out, repetitions):
    results = out / "bench.json"
    with open(out / "bench.txt", "wb") as console:
        subprocess.run([str(build / "qtherm_bench"), f"--benchmark_repetitions={repetitions}",
                        f"--benchmark_out={results}", "--benchmark_out_format=json"],
                       stdout=console, stderr=subprocess.STDOUT, check=True)
    return json.loads(results.read_text())


def family(run_name):
    return run_name.split("/manual_time")[0].split("/iterations:")[0].split("/repeats:")[0]


def medians(results):
    """Per benchmark (its name without the run options): its median aggregate, or its only run."""
    found = {}
    for b in results["benchmarks"]:
        name = family(b["run_name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                found[name] = b
        elif name not in found or found[name].get("run_type") != "aggregate":
            found.setdefault(name, b)
    return found


def counter(b, name):
    return None if b is None else b.get(name)


def native_table(results):
    m = medians(results)
    rows = []
    for title, name, metric in TIMED:
        b = m.get(name)
        floor_name = counter(b, "label") or ""
        floor_name = floor_name.removeprefix("floor=")
        if metric == "paired":
            figure, floor, r = counter(b, "figure_ns"), counter(b, "floor_ns"), counter(b, "ratio")
            rows.append((title, fmt_ns(figure), floor_name, fmt_ns(floor), f"{r:.2f}" if r else "-"))
        elif metric.startswith("part:"):
            rows.append((title, fmt_ns(counter(b, metric[5:] + "_ns")), "", "", ""))
        else:
            figure, floor = counter(b, metric + "_ns"), counter(b, "floor_" + metric + "_ns")
            rows.append((title, fmt_ns(figure), floor_name, fmt_ns(floor), ratio(figure, floor)))
    title, name, metric = REFERENCE
    rows.append((title, fmt_ns(counter(m.get(name), metric + "_ns")), "(none: what waking a thread costs here)", "",
                 ""))
    idle = m.get(IDLE)
    if idle:
        rows.append(("idle 1 s, MYH + IFC watch threads waiting",
                     f"{idle['wakeups']:.0f} wake-ups", "(goal: none)", "", ""))
        rows.append(("  their context switches / CPU time",
                     f"{idle['switches']:.0f} / {max(idle['cpu_us'], 0):.0f} us", "", "", ""))
    return table("Simulated machine, Release: per operation, median of the repetitions; figure and floor "
                 "measured in turn", ("figure", "time", "floor", "floor time", "ratio"), rows)


# ---- callgrind ----

def count(build, out, operation):
    """Instructions per operation: qtherm_count_chunk's inclusive count over N operations."""
    target = out / f"callgrind.{operation.replace(':', '_')}.out"
    subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=qtherm_count_chunk",
                    f"--callgrind-out-file={target}", str(build / "qtherm_bench_count"), operation,
                    str(COUNT_OPERATIONS)],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    for line in target.read_text().splitlines():
        if line.startswith("totals:") or line.startswith("summary:"):
            return int(line.split()[1]) / COUNT_OPERATIONS
    raise RuntimeError(f"no totals in {target}")


def callgrind_table(build, out):
    operations = sorted({op for _, op, _ in COUNTED} | {floor for _, _, floor in COUNTED})
    with ThreadPoolExecutor(max_workers=max(1, min(len(operations), os.cpu_count() or 1))) as pool:
        counts = dict(zip(operations, pool.map(lambda op: count(build, out, op), operations)))
    rows = []
    for title, op, floor in COUNTED:
        figure, base = counts[op], counts[floor]
        rows.append((title, f"{figure:,.0f}", COUNT_FLOORS[floor], f"{base:,.0f}", ratio(figure, base),
                     f"{figure - base:+,.0f}"))
    return table(f"Instructions per operation under callgrind (Release, simulated machine; {COUNT_OPERATIONS} "
                 "operations each)", ("figure", "Ir", "floor", "floor Ir", "ratio", "added"), rows)


# ---- Wine ----

def wine_table(mingw, work, count, idle_seconds):
    import wine  # the harness's imports stay out of the native-only path
    r = wine.measure(mingw, work, count=count, idle_seconds=idle_seconds, log=lambda m: print(m, file=sys.stderr))
    control, ioctl, idle = r["control"], r["ioctl"], r["idle"]
    us = lambda v: fmt_ns(v * 1000)  # noqa: E731
    rows = []
    for q in ("p50", "p99"):
        rows.append((f"MMC control: ControlService -> driver, {q}", us(control[q + "_us"]),
                     "bare DeviceIoControl -> driver", us(ioctl[q + "_us"]),
                     ratio(control[q + "_us"], ioctl[q + "_us"])))
    rows += [
        ("  open + DeviceIoControl -> driver, p50", us(r["reopen"]["p50_us"]), "(as DYTCMethod calls it)", "", ""),
        ("  ControlService round trip, MMC control, p50", us(r["control_rtt"]["p50_us"]), "", "", ""),
        (f"  ControlService round trip, control {wine.IGNORED_CONTROL}, p50", us(r["ignored_rtt"]["p50_us"]),
         "(no mode acts on it)", "", ""),
        (f"idle {idle['seconds']} s, all modes up: context switches", f"{idle['switches']}",
         f"(goal: none; {idle['busy_threads']} of its {idle['threads']} threads ran)", "", ""),
        ("  CPU time (Linux accounting)", f"{idle['linux_cpu_ns'] / 1e3:.0f} us", "(goal: none)", "", ""),
        ("  GetProcessTimes, kernel + user, before/after", "/".join(f"{v / 1e6:.0f}" for v in idle["cpu_ns"]) + " ms",
         "(Wine: 10 ms ticks, per live thread)", "", ""),
    ]
    return table(f"Under Wine: QTHERMSvc.exe and the firmware model driver ({control['count']} controls, 146 and "
                 "148 in turn, and as many bare requests, in turn)", ("figure", "time", "floor", "floor time", "ratio"),
                 rows)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="the bench build directory")
    parser.add_argument("--out", type=Path, help="where the raw results go (default: BUILD/results)")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--wine", choices=["auto", "yes", "no"], default="auto",
                        help="the Wine part (auto: when the program's entry is built)")
    parser.add_argument("--mingw", type=Path, help="the mingw build directory (for the Wine part)")
    parser.add_argument("--controls", type=int, default=1000, help="controls (and bare requests) under Wine")
    parser.add_argument("--idle", type=int, default=30, help="idle seconds under Wine")
    args = parser.parse_args(argv)
    build = args.build.resolve()
    out = (args.out or build / "results").resolve()
    out.mkdir(parents=True, exist_ok=True)

    sections = [native_table(run_benchmarks(build, out, args.repetitions)), callgrind_table(build, out)]
    source = Path(__file__).resolve().parent.parent
    if args.wine == "yes" or (args.wine == "auto" and (source / "service" / "Main.cpp").is_file()):
        mingw = (args.mingw or source / "build" / "mingw").resolve()
        sections.append(wine_table(mingw, build / "wine", args.controls, args.idle))
    elif args.wine == "no":
        sections.append("Under Wine: not measured (--wine no)")
    else:
        sections.append("Under Wine: not measured (the program's entry, service/Main.cpp, is not built yet)")
    text = "\n\n".join(sections) + "\n"
    (out / "table.txt").write_text(text)
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
