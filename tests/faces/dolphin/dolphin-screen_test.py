#!/usr/bin/env python3
"""Dolphin itself, with the build's plug-in, under Xvfb as a throwaway user, on a sample home
written through the library.

Dolphin opens a split view: Sync/Documents of the sample home on the left, Desktop (outside
every synchronised folder) on the right. The items are found in screenshots as the blobs of
their icons, in Dolphin's order (folders first, then by name), and each item's badge is judged
by counting the pixels of each badge colour inside its blob. Then another process records a new
state for one item, and its new badge must be on screen within 2 s with no user action.

    dolphin-screen_test.py --tool kelo-overlay --plugins DIR --data DIR [--shot PNG]
                           [--changes N] [--json FILE]

--changes N repeats the change N times (alternating two states) and --json writes the timings.
Exit 0 on success, 1 on a failure, 77 when it cannot run here (not root, no Dolphin, no Xvfb).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

try:
    from PIL import Image
except ImportError:
    Image = None

SKIP = 77
# A user of this run's own: runs beside each other never share one.
USER = "kelodolphin%d" % os.getpid()
# The emblems' fill colours (make-badges.py) and how far a pixel may be from one.
COLOURS = {"synced": (40, 167, 69), "syncing": (30, 110, 220), "unsupported": (128, 128, 128)}
TOLERANCE = 12
# An emblem fills 130 to 270 pixels of its item at the default zoom; a text icon has about 35
# pixels of the unsupported grey of its own.
MIN_BADGE_PIXELS = 80
# Left pane: Sync/Documents in Dolphin's order; right pane: Desktop.
EXPECTED = [["synced", "syncing", "syncing", "none", "unsupported"], ["none"]]
CHANGED_ITEM = (0, 4)  # Shortcut.alias
CHANGED_PATH = "Sync/Documents/Shortcut.alias"
STATES = [(1, "synced"), (3, "unsupported")]


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def run(args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, **kwargs)


def as_user(args, env=None):
    base = ["runuser", "-u", USER, "--", "env", "-i"]
    return base + ["%s=%s" % kv for kv in (env or {}).items()] + args


def start_xvfb():
    """An Xvfb on a display it picks itself, once it accepts connections: it writes the number
    only then. (Picking the first number without a lock file raced other servers starting, and
    a socket left behind by a killed server passed for a ready one.)"""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1600x1000x24",
                             "-nolisten", "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number.isdigit():
        xvfb.kill()
        xvfb.wait()
        fail("no display for Xvfb")
    return xvfb, ":" + number


class Screen:
    """One Xvfb display and the Dolphin window on it."""

    def __init__(self, display):
        self.display = display
        self.window = None

    def find_window(self, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "dolphin"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                   env=dict(os.environ, DISPLAY=self.display))
            if found.returncode == 0 and found.stdout.split():
                self.window = found.stdout.split()[-1]
                return True
            time.sleep(0.05)
        return False

    def shot(self, path):
        subprocess.run(["import", "-window", self.window, path], check=True,
                       env=dict(os.environ, DISPLAY=self.display),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Image.open(path).convert("RGB")


def ink(pixel, level=245):
    """Anything but a pane's white or light grey background (icons' pages are 238 to 241)."""
    return min(pixel) < level


def panes(image):
    """[(left, right)] of the view panes: the spans between the long vertical lines of their
    frames (the places panel on the left has none)."""
    width, height = image.size
    px = image.load()
    lines = [x for x in range(width)
             if sum(1 for y in range(0, height, 4) if ink(px[x, y], 200)) > height // 8]
    spans = []
    for a, b in zip(lines, lines[1:]):
        if b - a > 80:
            spans.append((a, b))
    return spans


def blobs(image, span):
    """Bounding boxes (x0, y0, x1, y1) of the icon-sized blobs of ink inside one pane."""
    width, height = image.size
    px = image.load()
    seen = set()
    found = []
    for y in range(height):
        for x in range(span[0] + 2, span[1] - 1):
            if (x, y) in seen or not ink(px[x, y]):
                continue
            stack, box = [(x, y)], [x, y, x, y]
            seen.add((x, y))
            while stack:
                cx, cy = stack.pop()
                box = [min(box[0], cx), min(box[1], cy), max(box[2], cx), max(box[3], cy)]
                for nx, ny in ((cx + 1, cy), (cx - 1, cy), (cx, cy + 1), (cx, cy - 1)):
                    if (span[0] + 2 <= nx < span[1] - 1 and 0 <= ny < height and
                            (nx, ny) not in seen and ink(px[nx, ny])):
                        seen.add((nx, ny))
                        stack.append((nx, ny))
            w, h = box[2] - box[0] + 1, box[3] - box[1] + 1
            if 30 <= w <= 120 and 30 <= h <= 120:
                found.append(tuple(box))
    # Reading order: rows (tops within 15 pixels), then left to right.
    found.sort(key=lambda b: (b[1], b[0]))
    rows = []
    for box in found:
        if rows and abs(rows[-1][0][1] - box[1]) <= 15:
            rows[-1].append(box)
        else:
            rows.append([box])
    return [box for row in rows for box in sorted(row)]


def badge_in(image, box):
    px = image.load()
    counts = dict.fromkeys(COLOURS, 0)
    for y in range(box[1], box[3] + 1):
        for x in range(box[0], box[2] + 1):
            p = px[x, y]
            for name, c in COLOURS.items():
                if all(abs(p[i] - c[i]) <= TOLERANCE for i in range(3)):
                    counts[name] += 1
    best = max(counts, key=counts.get)
    return best if counts[best] >= MIN_BADGE_PIXELS else "none"


def badges(image):
    return [[badge_in(image, box) for box in blobs(image, span)] for span in panes(image)]


def tear_down(dolphin, xvfb, user, scratch):
    """Ends Dolphin, whatever its session started as the throwaway user (D-Bus, KIO workers)
    and the X server, then removes the user and the scratch folder. None for what never
    started."""
    if dolphin is not None:
        os.killpg(dolphin.pid, 15)
        dolphin.wait()
    left = subprocess.run(["pgrep", "-u", user], stdout=subprocess.PIPE, text=True).stdout
    for pid in left.split():
        try:
            os.kill(int(pid), 9)
        except ProcessLookupError:
            pass
    if xvfb is not None:
        xvfb.terminate()
        xvfb.wait()
    subprocess.run(["userdel", user], stderr=subprocess.DEVNULL)
    shutil.rmtree(scratch, ignore_errors=True)


def wait_for(screen, shot_path, want, timeout):
    """Screenshots until `want(badges)` holds; (seconds taken, last badges, image)."""
    start = time.monotonic()
    while True:
        image = screen.shot(shot_path)
        seen = badges(image)
        if want(seen) or time.monotonic() - start > timeout:
            return time.monotonic() - start, seen, image


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--plugins", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--shot")
    parser.add_argument("--changes", type=int, default=1)
    parser.add_argument("--json")
    args = parser.parse_args()
    args.tool, args.plugins, args.data = (os.path.abspath(p)
                                          for p in (args.tool, args.plugins, args.data))
    if Image is None or os.geteuid() != 0 or not all(
            shutil.which(p) for p in ("dolphin", "Xvfb", "xdotool", "import", "runuser",
                                      "dbus-run-session")):
        print("SKIP: needs root, python3-pil, dolphin, Xvfb, xdotool and ImageMagick")
        return SKIP

    scratch = tempfile.mkdtemp(prefix="kelo-dolphin-")
    os.chmod(scratch, 0o755)
    home, runtime = os.path.join(scratch, "home"), os.path.join(scratch, "run")
    if subprocess.run(["id", USER], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        run(["useradd", "-M", "-d", home, "-s", "/usr/sbin/nologin", USER])
    os.makedirs(runtime, mode=0o700)
    shutil.chown(runtime, USER)
    shutil.chown(scratch, USER)
    xvfb = dolphin = None
    try:
        run(as_user([args.tool, "demo", home], {"PATH": "/usr/bin:/bin"}))
        xvfb, display = start_xvfb()
        env = {"HOME": home, "DISPLAY": display, "XDG_RUNTIME_DIR": runtime,
               "QT_PLUGIN_PATH": args.plugins, "PATH": "/usr/bin:/bin",
               "XDG_DATA_DIRS": args.data + ":/usr/local/share:/usr/share"}
        log = open(os.path.join(scratch, "dolphin.log"), "w")  # read on failure
        started = time.monotonic()
        dolphin = subprocess.Popen(
            as_user(["dbus-run-session", "--", "dolphin", "--new-window", "--split",
                     os.path.join(home, "Sync/Documents"), os.path.join(home, "Desktop")], env),
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        screen = Screen(display)
        if not screen.find_window(30):
            with open(log.name) as text:
                fail("no Dolphin window within 30 s:\n" + text.read()[-2000:])
        window_at = time.monotonic() - started
        shot = os.path.join(scratch, "shot.png")
        waited, seen, image = wait_for(screen, shot, lambda b: b == EXPECTED, 10)
        if args.shot:
            image.save(args.shot)
        print("window after %.2f s, badges %.2f s later: %s" % (window_at, waited, seen))
        if seen != EXPECTED:
            fail("badges %s, expected %s" % (seen, EXPECTED))

        timings = []
        for i in range(args.changes):
            code, name = STATES[i % 2]
            run(as_user([args.tool, "set-state", "--home", home,
                         os.path.join(home, CHANGED_PATH), str(code)], {"PATH": "/usr/bin:/bin"}))
            row, col = CHANGED_ITEM
            took, seen, image = wait_for(
                screen, shot,
                lambda b: len(b) > row and len(b[row]) > col and b[row][col] == name, 5)
            timings.append(took)
            print("change %d to %s on screen after %.2f s" % (i + 1, name, took))
            if seen[row][col] != name:
                fail("after the change the item shows %s, not %s" % (seen[row][col], name))
            if took > 2.0:
                fail("the new badge took %.2f s (at most 2 s)" % took)
        if args.json:
            with open(args.json, "w") as out:
                json.dump({"window_s": window_at, "badges_after_window_s": waited,
                           "changes_s": timings, "median_s": statistics.median(timings)},
                          out, indent=1)
        print("median %.2f s, worst %.2f s over %d changes" %
              (statistics.median(timings), max(timings), len(timings)))
        return 0
    finally:
        tear_down(dolphin, xvfb, USER, scratch)


if __name__ == "__main__":
    sys.exit(main())
