"""The CTest fixture around the end-to-end tests: `setup` builds a fresh
private Wine prefix and leaves its wineserver running persistently, so that
each run of a Windows program takes tens of milliseconds instead of seconds;
`cleanup` stops that wineserver and removes the folder Wine made for it in
/tmp, so nothing lingers after the tests."""

import subprocess
import sys

from wine_env import Wine, fail_setup, fresh_folder, parse_arguments


def server(wine, flag, log):
    # Never pipes: a server started here lives on as a daemon and would hold
    # a pipe open, so its output goes to the log file.
    return subprocess.run([wine.server, flag], env=wine.env, stdin=subprocess.DEVNULL,
                          stdout=log, stderr=subprocess.STDOUT, timeout=60, check=False)


def setup(wine, log_path):
    with open(log_path, "wb") as log:
        if wine.prefix.exists():
            wine.forget_server(wine.prefix)  # one left by an interrupted run holds the old prefix
        fresh_folder(wine.prefix)
        # The persistent server comes first, so wineboot and every test after
        # it talk to the same server instead of one that ends between runs.
        persistent = server(wine, "-p", log)
        boot = None
        if persistent.returncode == 0:
            boot = subprocess.run([*wine.start, "wineboot", "-i"], env=wine.env,
                                  stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT, timeout=300, check=False)
    # wineboot's own chatter is expected; a failed command or an empty system
    # folder say the prefix was not made. (The registry files appear only when
    # the persistent server saves them, so they prove nothing yet.)
    system32 = wine.prefix / "drive_c" / "windows" / "system32"
    if (persistent.returncode != 0 or boot.returncode != 0
            or not (system32 / "kernel32.dll").is_file()):
        sys.stderr.buffer.write(log_path.read_bytes())
        fail_setup(f"the prefix was not made: wineserver -p exit {persistent.returncode}, "
                   f"wineboot -i exit {boot and boot.returncode}")
    # One quiet run proves the prefix is usable before any test relies on it.
    probe = wine.run(wine.command("DUVAK.exe", "/?"), wine.prefix)
    if probe.returncode != 0 or probe.stderr:
        fail_setup(f"DUVAK.exe /? under the new prefix: exit {probe.returncode}, "
                   f"stderr {probe.stderr!r}")
    print(f"Wine prefix ready at {wine.prefix}")


def cleanup(wine, log_path):
    # The server ends with every Wine process of the prefix; no server left is
    # fine too.
    wine.forget_server(wine.prefix)
    print("wineserver stopped")


def main():
    args = parse_arguments(__doc__, lambda p: p.add_argument("step", choices=["setup", "cleanup"]))
    wine = Wine(args)
    args.work.mkdir(parents=True, exist_ok=True)
    log_path = args.work / "prefix.log"
    if args.step == "setup":
        setup(wine, log_path)
    else:
        cleanup(wine, log_path)


if __name__ == "__main__":
    main()
