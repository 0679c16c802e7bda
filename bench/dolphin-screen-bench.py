#!/usr/bin/env python3
"""Measures Dolphin with the build's plug-in on a folder of N files, under Xvfb as a throwaway
user, with the machinery of tests/faces/dolphin/dolphin-screen_test.py (run as root):

  - how long after the window's files appear all visible badges are drawn;
  - how long a state changed by another process takes to reach the screen, over C changes;
  - Dolphin's CPU time over IDLE seconds when nothing changes, with the N items known;
    with --control, Dolphin's alone without the plug-in (no badges, no changes).

    dolphin-screen-bench.py --tool kelo-overlay --plugins DIR --data DIR
                            [--files 10000] [--changes 20] [--idle 60] [--json FILE]
                            [--control]

The N entries are written with the writer's own statement in one transaction (as the tests'
bulk writer does), into the session of Sync/Documents of the sample home.
"""

import argparse
import importlib.util
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location(
    "screen", os.path.join(HERE, "..", "tests", "faces", "dolphin", "dolphin-screen_test.py"))
screen = importlib.util.module_from_spec(spec)
spec.loader.exec_module(screen)

STATES = [(2, "syncing"), (1, "synced")]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--plugins", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--changes", type=int, default=20)
    parser.add_argument("--idle", type=int, default=60)
    parser.add_argument("--json")
    parser.add_argument("--control", action="store_true",
                        help="Dolphin without the plug-in: its idle CPU time only")
    args = parser.parse_args()
    tool, plugins, data = (os.path.abspath(p) for p in (args.tool, args.plugins, args.data))
    user = screen.USER
    scratch = tempfile.mkdtemp(prefix="kelo-dolphin-bench-")
    os.chmod(scratch, 0o755)
    home, runtime = os.path.join(scratch, "home"), os.path.join(scratch, "run")
    if subprocess.run(["id", user], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        screen.run(["useradd", "-M", "-d", home, "-s", "/usr/sbin/nologin", user])
    os.makedirs(runtime, mode=0o700)
    shutil.chown(runtime, user)
    shutil.chown(scratch, user)
    xvfb = dolphin = None
    results = {"files": args.files}
    try:
        screen.run(screen.as_user([tool, "demo", home], {"PATH": "/usr/bin:/bin"}))
        folder = os.path.join(home, "Sync/Documents/Big")
        os.makedirs(folder)
        names = [os.path.join(folder, "f%05d.txt" % i) for i in range(args.files)]
        for name in names:
            open(name, "w").close()
        db_path = os.path.join(home, ".Tarnvale/session/1/db/file-status.sqlite")
        db = sqlite3.connect(db_path, isolation_level=None)
        db.execute("BEGIN IMMEDIATE")
        db.executemany("insert or replace into fstatinfo  (id, path, fileType, syncStatus)  "
                       "values(NULL, ?1, ?2, ?3);", [(n, 0, 1) for n in names])
        db.execute("COMMIT")
        db.close()
        subprocess.run(["chown", "-R", user, home], check=True)

        xvfb, display = screen.start_xvfb()
        env = {"HOME": home, "DISPLAY": display, "XDG_RUNTIME_DIR": runtime,
               "QT_PLUGIN_PATH": plugins, "PATH": "/usr/bin:/bin",
               "XDG_DATA_DIRS": data + ":/usr/local/share:/usr/share"}
        started = time.monotonic()
        dolphin = subprocess.Popen(
            screen.as_user(["dbus-run-session", "--", "dolphin", "--new-window", folder], env),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        view = screen.Screen(display)
        if not view.find_window(60):
            screen.fail("no Dolphin window")
        shot = os.path.join(scratch, "shot.png")
        files_at = badges_at = None
        if args.control:
            time.sleep(20)  # the folder listed and drawn
        while not args.control and time.monotonic() - started < 60:
            image = view.shot(shot)
            now = time.monotonic() - started
            seen = screen.badges(image)
            items = [b for pane in seen for b in pane]
            if items and files_at is None:
                files_at = now
            if items and all(b == "synced" for b in items):
                badges_at = now
                break
        if not args.control:
            results.update(files_appear_s=files_at, visible_items=len(items),
                           badges_after_files_s=None if badges_at is None else
                           badges_at - files_at)
            print("files on screen %.2f s after start, %d visible items all badged %.2f s later"
                  % (files_at, len(items), badges_at - files_at))
            run_changes(view, shot, image, tool, home, names[0], args.changes, results)
        pid = int(subprocess.run(["pgrep", "-u", user, "-x", "dolphin"], stdout=subprocess.PIPE,
                                 text=True).stdout.split()[0])
        time.sleep(5)
        before = cpu_seconds(pid)
        time.sleep(args.idle)
        idle = cpu_seconds(pid) - before
        results.update(idle_s=args.idle, idle_cpu_s=idle)
        print("Dolphin's CPU time over %d idle seconds: %.2f s" % (args.idle, idle))
        if args.json:
            with open(args.json, "w") as out:
                json.dump(results, out, indent=1)
        return 0
    finally:
        screen.tear_down(dolphin, xvfb, user, scratch)


def run_changes(view, shot, image, tool, home, path, count, results):
    """Changes the state of `path`, the first item in the view, `count` times."""
    # Its place, found once: each screenshot after a change is judged there only, so that
    # the time between two screenshots is the import's alone.
    box = screen.blobs(image, screen.panes(image)[0])[0]
    timings = []
    for i in range(count):
        code, name = STATES[i % 2]
        screen.run(screen.as_user([tool, "set-state", "--home", home, path, str(code)],
                                  {"PATH": "/usr/bin:/bin"}))
        changed = time.monotonic()
        while screen.badge_in(view.shot(shot), box) != name and time.monotonic() - changed < 5:
            pass
        timings.append(time.monotonic() - changed)
    results.update(changes_s=timings, change_median_s=statistics.median(timings),
                   change_worst_s=max(timings))
    print("%d changes on screen: median %.2f s, worst %.2f s" %
          (len(timings), statistics.median(timings), max(timings)))


if __name__ == "__main__":
    sys.exit(main())
