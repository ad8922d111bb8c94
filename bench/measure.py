#!/usr/bin/env python3
"""Times DUVAK.exe, the platform floor and GNU cmp on the data bench/run.sh made.

Every case runs every program once per round, round after round, so a change
of background load falls on all of them alike; the first round only warms up
and is not counted. Wall time is taken around each process, and its peak
resident set is its maximum RSS as GNU time reports it (from wait4): for a
Wine program that is the Windows process itself (Wine's loader execs into it,
keeping the pid), which the floor confirms by printing its own
PeakWorkingSetSize.
"""

import argparse
import os
import re
import statistics
import sys
import time

GIB = 1 << 30
MIB = 1 << 20


def run_measured(argv, cwd, env, scratch):
    """Wall seconds, peak RSS in bytes, exit code, stdout and stderr of one run.

    The child runs in a session of its own with no terminal: Wine then gives
    the program no console, so DUVAK shows no progress and every run takes
    the same path. Its outputs go to files, not pipes: a Wine service started
    by a run would inherit a pipe and hold it open long after the run.
    """
    out_path = os.path.join(scratch, "stdout")
    err_path = os.path.join(scratch, "stderr")
    rss_path = os.path.join(scratch, "maxrss")
    # The peak comes from GNU time, a small C program: a process's maximum
    # resident set includes what it had before exec, and a child forked from
    # this Python interpreter would start out with the interpreter's 10 MiB.
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss_path] + argv
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            os.chdir(cwd)
            devnull = os.open(os.devnull, os.O_RDONLY)
            out = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            err = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.dup2(devnull, 0)
            os.dup2(out, 1)
            os.dup2(err, 2)
            os.execvpe(argv[0], argv, env)
        finally:
            os._exit(127)
    _, status, _ = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    with open(out_path, errors="replace") as f:
        out = f.read()
    with open(err_path, errors="replace") as f:
        err = f.read()
    with open(rss_path) as f:
        maxrss_kib = int(f.read().split()[-1])
    return wall, maxrss_kib * 1024, os.waitstatus_to_exitcode(status), out, err


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True, help="folder holding the files")
    parser.add_argument("--duvak", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--cpu", help="run every program on this CPU alone (taskset)")
    parser.add_argument("--scratch", required=True, help="folder for the outputs of a run")
    args = parser.parse_args()

    size = lambda name: os.path.getsize(os.path.join(args.data, name))
    eight = ["m%d" % i for i in range(1, 9)]

    # (title, files, expected exit code, bytes every program must read for
    # its verdict or None when the sizes alone decide it)
    cases = [
        ("start-up: 2 tiny files", ["t1", "t2"], 0, None),
        ("identical 1 GiB pair", ["a", "b"], 0, size("a") + size("b")),
        ("1 GiB pair, last byte differs", ["a", "c"], 1, size("a") + size("c")),
        ("sizes differ (1 GiB, 1 GiB - 1 B)", ["a", "d"], 1, None),
        ("identical 128 MiB pair", ["m1", "m2"], 0, 2 * size("m1")),
        ("8 identical files of 128 MiB", eight, 0, sum(size(n) for n in eight)),
    ]

    def cmp_argv(files, quiet=False):
        flags = ["-s"] if quiet else []
        if len(files) == 2:
            return ["cmp"] + flags + files
        # cmp takes two files: the others are each compared with the first.
        chain = " && ".join("cmp %s%s %s" % ("-s " if quiet else "", files[0], f)
                            for f in files[1:])
        return ["sh", "-c", chain]

    programs = [
        ("DUVAK.exe", lambda files: [args.wine, args.duvak] + files),
        ("floor", lambda files: [args.wine, args.floor] + files),
        ("floor -memcmp", lambda files: [args.wine, args.floor, "-memcmp"] + files),
        ("GNU cmp", cmp_argv),
    ]
    # Beside the tiny files, the floor loading USER32.dll as DUVAK.exe does;
    # beside the identical pair, the mapping calls alone and the floor left
    # to the scheduler; beside the sizes that differ, cmp told that only the
    # exit code matters.
    extra = {
        0: [("floor -user32", lambda files: [args.wine, args.floor, "-user32"] + files)],
        1: [("floor -maponly", lambda files: [args.wine, args.floor, "-maponly"] + files),
            ("floor unpinned", lambda files: [args.wine, args.floor] + files)],
        3: [("GNU cmp -s", lambda files: cmp_argv(files, quiet=True))],
    }
    # Each mapping call of a Wine program is a round trip to the wineserver,
    # and waking a process on the other virtual CPU costs tens of
    # microseconds here, so unpinned times swing with where the scheduler
    # puts the two. All share one CPU with the server (which run.sh pinned).
    pin = lambda argv: ["taskset", "-c", args.cpu] + argv if args.cpu is not None else argv

    # Wine's prefix, debug channels and DLL overrides are those bench/run.sh exported.
    env = dict(os.environ)

    results = {}  # (case index, program) -> list of (wall, rss, self-reported ws)
    for round_index in range(args.runs + 1):
        for ci, (title, files, expected, _) in enumerate(cases):
            for name, make in programs + extra.get(ci, []):
                argv = make(files) if name.endswith("unpinned") else pin(make(files))
                wall, rss, code, out, err = run_measured(argv, args.data, env, args.scratch)
                if code != expected:
                    sys.exit("%s on '%s' exited %d, expected %d\n%s%s"
                             % (name, title, code, expected, out, err))
                found = re.search(r"peak_working_set_bytes=(\d+)", err)
                if round_index > 0:
                    results.setdefault((ci, name), []).append(
                        (wall, rss, int(found.group(1)) if found else None))
        print("round %d of %d done%s" % (round_index, args.runs,
                                         " (warm-up, not counted)" if round_index == 0 else ""),
              file=sys.stderr, flush=True)

    med = lambda values: statistics.median(values)
    wall_median = {key: med([r[0] for r in runs]) for key, runs in results.items()}
    startup = {name: wall_median[(0, name)] for name, _ in programs + extra[0]}

    wall_min = {key: min(r[0] for r in runs) for key, runs in results.items()}
    header = ("%-34s %-14s %9s %17s %7s %7s %9s %9s %9s %9s"
              % ("case", "program", "median s", "min-max s", "GB/s", "net", "peak MiB",
                 "vs floor", "net", "min"))
    print(header)
    print("-" * len(header))
    for ci, (title, files, expected, data) in enumerate(cases):
        for name, _ in programs + extra.get(ci, []):
            runs = results[(ci, name)]
            walls = [r[0] for r in runs]
            wall = wall_median[(ci, name)]
            peak = med([r[1] for r in runs]) / MIB
            base = startup.get(name, startup.get(re.sub(r" (-\w+|unpinned)$", "", name)))
            rate = net_rate = "-"
            if data is not None and not name.endswith("-maponly"):
                rate = "%.2f" % (data / wall / 1e9)
                if base is not None and wall > base:
                    net_rate = "%.2f" % (data / (wall - base) / 1e9)
            over = over_net = over_min = ""
            if name == "DUVAK.exe":
                floor = wall_median[(ci, "floor")]
                over = "%+.1f%%" % (100 * (wall - floor) / floor)
                floor_min = wall_min[(ci, "floor")]
                over_min = "%+.1f%%" % (100 * (wall_min[(ci, name)] - floor_min) / floor_min)
                if ci > 0:
                    duvak_net = wall - startup["DUVAK.exe"]
                    floor_net = floor - startup["floor"]
                    if floor_net > 0.005:
                        over_net = "%+.1f%%" % (100 * (duvak_net - floor_net) / floor_net)
            print("%-34s %-14s %9.3f %8.3f-%-8.3f %7s %7s %9.1f %9s %9s %9s"
                  % (title if name == "DUVAK.exe" else "", name, wall, min(walls), max(walls),
                     rate, net_rate, peak, over, over_net, over_min))
    print()
    print("%d counted runs per row (after one warm-up round), medians shown." % args.runs)
    if args.cpu is not None:
        print("Every program ran on CPU %s, as did the wineserver, except 'floor unpinned'."
              % args.cpu)
    print("GB/s: bytes of all input files / median wall time (1 GB = 10^9 B); 'net' first")
    print("subtracts the program's own start-up median (the tiny-file row).")
    print("vs floor: DUVAK.exe's median over the floor's; 'net': both net of start-up;")
    print("'min': the fastest run of each, the least disturbed by other load.")
    print("peak MiB: median of the process's peak resident set (GNU time %M); for the")
    print("Wine programs that is the Windows process, Wine's own DLLs included. For 8 files")
    print("GNU cmp runs 7 times, each against the first file (peak: the largest).")
    views = 2 * -(-size("a") // (64 << 10))
    per_view = lambda name: (wall_median[(1, name)] - startup["floor"]) / views * 1e6
    print("Per 64 KiB view of the identical 1 GiB pair (%d views, net of start-up): %.1f us"
          % (views, per_view("floor")))
    print("for the floor, of which %.1f us are the map and unmap calls alone (-maponly)."
          % per_view("floor -maponly"))
    selfs = [r[2] for key, runs in results.items() if key[1] == "floor" for r in runs
             if r[2] is not None]
    rsss = [r[1] for key, runs in results.items() if key[1] == "floor" for r in runs]
    if selfs:
        print("Cross-check: the floor's own PeakWorkingSetSize, median %.1f MiB, against its"
              % (med(selfs) / MIB))
        print("peak resident set from GNU time, median %.1f MiB." % (med(rsss) / MIB))


if __name__ == "__main__":
    main()
