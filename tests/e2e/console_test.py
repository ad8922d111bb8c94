"""The progress indicator in a real console: DUVAK.exe runs under Wine inside
a detached tmux session, whose pane is Wine's console (Wine draws its console
screen buffer onto the terminal), and the pane is read back while it runs.

The indicator is written into the console at the cursor cell without moving
the cursor, so the verdict printed afterwards lands on the same row; it goes
to the console device, so it shows even with standard output redirected and
never reaches the redirected file. Without any terminal there is no console
at all, and only the verdict reaches the pipes."""

import os
import re
import shlex
import shutil
import subprocess
import time

from wine_env import Report, Wine, compare_output, fail_setup, fresh_folder, parse_arguments

SAME = "The files have the same data."
PROGRESS = re.compile(r"( [0-9]|[1-9][0-9])% compared\.")
WIDTH, HEIGHT = 100, 30
POLL_SECONDS = 0.05
RUN_TIMEOUT = 240.0


class Console:
    """A detached tmux session on a private server, running an interactive
    shell that knows the Wine environment and the short names $W and $D."""

    def __init__(self, tmux, wine, folder):
        self.base = [tmux, "-S", str(folder / "tmux.socket"), "-f", "/dev/null"]
        # The private server starts from this environment, and so does its shell.
        self.env = {**wine.env, "W": wine.loader, "D": str(wine.program("DUVAK.exe")),
                    "HISTFILE": "/dev/null"}
        self.env.pop("TMUX", None)
        self.tmux("new-session", "-d", "-s", "duvak", "-x", str(WIDTH), "-y", str(HEIGHT),
                  "-c", str(folder),
                  # The Wine runs the shell starts inherit the start of every other one.
                  shlex.join(["exec", *wine.unrandomised, "bash", "--norc", "--noprofile", "-i"]))
        # An interactive bash sets its own prompt; a short one keeps rows exact.
        self.tmux("send-keys", "-t", "duvak", "-l", "PS1='$ '")
        self.tmux("send-keys", "-t", "duvak", "Enter")
        self.runs = 0

    def tmux(self, *args):
        return subprocess.run([*self.base, *args], env=self.env, capture_output=True,
                              text=True, timeout=30, check=True).stdout

    def screen(self):
        rows = self.tmux("capture-pane", "-p", "-t", "duvak").split("\n")
        rows = [row.rstrip() for row in rows[:HEIGHT]]
        return rows + [""] * (HEIGHT - len(rows))

    def wait_for(self, done, what, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            rows = self.screen()
            if done(rows):
                return rows
            time.sleep(POLL_SECONDS)
        raise TimeoutError(f"{what} did not show within {timeout} s: {self.screen()!r}")

    def run(self, command):
        """Types `command` on a cleared screen and returns every screen seen
        while it ran, the final screen and the command's exit code. The run
        has ended once its tag and, on the next row, the shell's next prompt
        show: the screen is judged whole, however slowly it is drawn."""
        self.runs += 1
        tag = f"DONE{self.runs}"
        self.tmux("send-keys", "-t", "duvak", "clear", "Enter")
        self.wait_for(lambda rows: rows[0] == "$" and not any(rows[1:]), "a cleared screen")
        self.tmux("send-keys", "-t", "duvak", "-l", f"{command}; echo {tag}:$?")
        self.tmux("send-keys", "-t", "duvak", "Enter")
        finished = re.compile(tag + r":([0-9]+)")
        seen = []
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            rows = self.screen()
            ends = [(m.group(1), rows[number + 1:number + 2])
                    for number, m in enumerate(map(finished.fullmatch, rows)) if m]
            if ends and ends[0][1] == ["$"]:
                return seen, rows, int(ends[0][0])
            if not ends:  # still running
                seen.append(rows)
            if time.monotonic() > deadline:
                raise TimeoutError(f"{command!r} did not finish: {rows!r}")
            time.sleep(POLL_SECONDS)

    def close(self):
        subprocess.run([*self.base, "kill-server"], env=self.env, capture_output=True,
                       timeout=30, check=False)


def progress_problems(seen, anchor_row):
    """The indicator must show at the anchor row and only there, with a
    percentage that never goes down."""
    problems = []
    shown = []
    for rows in seen:
        for number, row in enumerate(rows):
            if "compared" in row and number != anchor_row:
                problems.append(f"indicator text on row {number}: {row!r}")
        match = PROGRESS.fullmatch(rows[anchor_row])
        if match:
            shown.append(int(match.group(1)))
        elif rows[anchor_row] not in ("", SAME):
            problems.append(f"anchor row held {rows[anchor_row]!r}")
    if not shown:
        problems.append(f"no 'NN% compared.' seen in {len(seen)} screens")
    elif shown != sorted(shown):
        problems.append(f"the percentage went down: {shown}")
    print(f"    {len(seen)} screens, percentages seen: {sorted(set(shown))}")
    return problems


def screen_problems(rows, expected_rows):
    problems = []
    for number, expected in enumerate(expected_rows):
        if rows[number] != expected:
            problems.append(f"row {number}: expected {expected!r}, got {rows[number]!r}")
    rest = [row for row in rows[len(expected_rows):] if row]
    if rest:
        problems.append(f"more text on screen: {rest!r}")
    return problems


def shown_in_place(console):
    # The typed command stays on row 0, so the cursor and the anchor are on row 1.
    seen, rows, code = console.run('"$W" "$D" big1 big2')
    problems = [] if code == 0 else [f"exit code {code}"]
    problems += progress_problems(seen, 1)
    problems += screen_problems(rows, ['$ "$W" "$D" big1 big2; echo DONE1:$?', SAME,
                                       "DONE1:0", "$"])
    return problems


def shown_with_output_redirected(console, folder):
    seen, rows, code = console.run('"$W" "$D" big1 big2 > out.txt')
    problems = [] if code == 0 else [f"exit code {code}"]
    problems += progress_problems(seen, 1)
    # Nothing but the blanked indicator stood at the cursor, so the shell's
    # next line starts right there.
    problems += screen_problems(rows, ['$ "$W" "$D" big1 big2 > out.txt; echo DONE2:$?',
                                       "DONE2:0", "$"])
    problems += compare_output("out.txt", (SAME + "\n").encode(),
                               (folder / "out.txt").read_bytes())
    return problems


def none_when_quiet(console):
    seen, rows, code = console.run('"$W" "$D" /Q big1 big2')
    problems = [] if code == 0 else [f"exit code {code}"]
    problems += [f"text during a quiet run: {r[1]!r}" for r in seen if r[1] and "DONE" not in r[1]]
    problems += screen_problems(rows, ['$ "$W" "$D" /Q big1 big2; echo DONE3:$?', "DONE3:0", "$"])
    print(f"    {len(seen)} screens while it ran")
    return problems


def none_without_console(wine, folder):
    done = wine.run(wine.command("DUVAK.exe", "big1", "big2"), folder, timeout=RUN_TIMEOUT)
    problems = [] if done.returncode == 0 else [f"exit code {done.returncode}"]
    problems += compare_output("stdout", (SAME + "\n").encode(), done.stdout)
    problems += compare_output("stderr", b"", done.stderr)
    return problems


def main():
    def options(parser):
        parser.add_argument("--tmux", required=True)
        parser.add_argument("--size-mib", type=int, default=640,
                            help="size of each sparse file: enough for a few seconds of work")
    args = parse_arguments(__doc__, options)
    wine = Wine(args)
    if not (args.tmux and shutil.which(args.tmux)):
        fail_setup(f"tmux {args.tmux!r} not found: the console tests need it")
    folder = fresh_folder(args.work / "console").resolve()
    size = args.size_mib << 20
    free = shutil.disk_usage(folder).free
    # The files are sparse, but the check holds even where they are not.
    if free < 2 * size + (256 << 20):
        fail_setup(f"{free >> 20} MiB free in {folder}, {2 * (size >> 20) + 256} MiB needed")
    for name in ("big1", "big2"):
        with open(folder / name, "wb") as out:
            out.truncate(size)

    report = Report()
    console = Console(args.tmux, wine, folder)
    try:
        started = time.monotonic()
        report.run("indicator in place, verdict over it", shown_in_place, console)
        print(f"    one console run took {time.monotonic() - started:.1f} s")
        report.run("indicator with standard output in a file", shown_with_output_redirected,
                   console, folder)
        report.run("no indicator with /Q", none_when_quiet, console)
        report.run("no console: only the verdict in the pipes", none_without_console, wine,
                   folder)
    finally:
        console.close()
        for name in ("big1", "big2"):
            os.remove(folder / name)
    report.finish()


if __name__ == "__main__":
    main()
