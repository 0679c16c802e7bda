#!/usr/bin/env python3
"""Runs a real file manager with its face and judges the badges it draws from screenshots.

    file-manager-test.py --program nautilus|nemo|caja --module LIB.so --extension-dir DIR
                         --emblems THEME_DIR --tool kelo-overlay
                         [--view icons|list] [--changes N] [--screenshot PNG] [--report JSON]
                         [--many N --measure FACE_MEASURE]

The program runs under its own Xvfb as a throwaway user, on the demo home written through
the library (`kelo-overlay demo`), in a private mount and PID namespace: the module is the
only one in the program's extension folder (a bind mount over the folder, or a read-only
overlay over its parent when the folder does not exist), and everything the program starts
ends with the namespace. The emblems are found through XDG_DATA_DIRS. --view list opens the
folders in the program's list view (its settings in a key file of the throwaway home).

Judged, from the badge colours of the emblems (make-badges.py) counted in screenshots:
  1. a window on a folder outside every synchronised folder shows no badge;
  2. a window on Sync/Documents shows, in reading order, synced (Invoices), syncing
     (Projects, Résumés) and not supported (Shortcut.alias), and nothing for the item the
     client never recorded;
  3. another process records a state for that item, N times (synced and syncing in turn):
     its badge appears each time within 2 s, with no user action.
With --many, it measures instead: a window on a folder of N files recorded synced
(`face-measure make-home`), screenshots as fast as they come, the times at which the window
appeared and its badges did (the frames before and at the first badge kept beside the
report), and with --idle S the CPU time the program then used over S seconds.
Exit status 0 when all hold, 1 otherwise, 77 (skipped) when not run as root.
"""

import argparse
import json
import os
import pwd
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

USER = "kelo-face"
# Badge colours of the emblems' discs, and the fewest pixels of one colour that make a badge
# (a 16-pixel emblem shows about 80 of its fill, 28 of the syncing blue between the arrows;
# grey text and symbolic icons of the window give small clusters of the neutral grey).
BADGES = {
    "synced": ((40, 167, 69), 20),
    "syncing": ((30, 110, 220), 20),
    "unsupported": ((128, 128, 128), 40),
}
TOLERANCE = 3
CLUSTER_RADIUS = 14
# Sync/Documents of the demo home, folders first, each in name order.
DOCUMENTS = ["synced", "syncing", "syncing", "unsupported"]
CHANGED_ITEM = "Sync/Documents/draft notes.txt"
LIMIT_S = 2.0
# Where each program keeps its default view, for --view list.
LIST_VIEW_SETTINGS = {
    "nautilus": ("org/gnome/nautilus/preferences", "'list-view'"),
    "nemo": ("org/nemo/preferences", "'list-view'"),
    "caja": ("org/mate/caja/preferences", "'list-view'"),
}


def log(text):
    print(text, flush=True)


def read_xwd(data):
    """The RGB image of an X window dump (ZPixmap, 24 or 32 bits per pixel)."""
    header = np.frombuffer(data[:100], dtype=">u4")
    header_size, width, height = int(header[0]), int(header[4]), int(header[5])
    byte_order, bits, line = int(header[7]), int(header[11]), int(header[12])
    offset = header_size + int(header[19]) * 12  # colour map entries follow the header
    raw = data[offset:offset + line * height]
    mode = {24: "BGR", 32: "BGRX"}[bits] if byte_order == 0 else {24: "RGB", 32: "XRGB"}[bits]
    return Image.frombuffer("RGB", (width, height), raw, "raw", mode, line, 1)


def clusters_of(xs, ys):
    """Groups points lying within CLUSTER_RADIUS of a group's bounding box: [[x0, y0, x1, y1,
    count]]. A badge's fill is cut by its glyph; two badges are far further apart."""
    boxes = []
    for x, y in zip(xs, ys):
        for box in boxes:
            if box[0] - CLUSTER_RADIUS <= x <= box[2] + CLUSTER_RADIUS and \
               box[1] - CLUSTER_RADIUS <= y <= box[3] + CLUSTER_RADIUS:
                box[0], box[1] = min(box[0], x), min(box[1], y)
                box[2], box[3] = max(box[2], x), max(box[3], y)
                box[4] += 1
                break
        else:
            boxes.append([x, y, x, y, 1])
    merged = True
    while merged:  # boxes that grew into each other are one
        merged = False
        for i, a in enumerate(boxes):
            for b in boxes[i + 1:]:
                if a[0] - CLUSTER_RADIUS <= b[2] and b[0] - CLUSTER_RADIUS <= a[2] and \
                   a[1] - CLUSTER_RADIUS <= b[3] and b[1] - CLUSTER_RADIUS <= a[3]:
                    a[:4] = [min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3])]
                    a[4] += b[4]
                    boxes.remove(b)
                    merged = True
                    break
            if merged:
                break
    return boxes


def badges(image):
    """[(badge, x, y, pixels)] of every cluster of a badge colour, in reading order."""
    pixels = np.asarray(image).astype(np.int16)
    found = []
    for name, (colour, least) in BADGES.items():
        mask = np.abs(pixels - np.array(colour, dtype=np.int16)).max(axis=2) <= TOLERANCE
        ys, xs = np.nonzero(mask)
        for x0, y0, x1, y1, count in clusters_of(xs.tolist(), ys.tolist()):
            if count >= least:
                found.append((name, (x0 + x1) // 2, (y0 + y1) // 2, count))
    # Reading order: rows of icons (centres within 30 pixels of the row's first) top to
    # bottom, each left to right.
    rows = []
    for badge in sorted(found, key=lambda b: b[2]):
        if rows and badge[2] - rows[-1][0][2] <= 30:
            rows[-1].append(badge)
        else:
            rows.append([badge])
    return [badge for row in rows for badge in sorted(row, key=lambda b: b[1])]


class Session:
    """The X server, the user and the sample home of one run."""

    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="kelo-fm-")
        os.chmod(self.work, 0o755)
        self.created_user = False
        self.xvfb = None
        self.program = None

    def __enter__(self):
        try:
            pwd.getpwnam(USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                            "--shell", "/usr/sbin/nologin", USER], check=True)
            self.created_user = True
        user = pwd.getpwnam(USER)
        self.home = os.path.join(self.work, "home")
        self.runtime = os.path.join(self.work, "run")
        for folder, mode in ((self.home, 0o755), (self.runtime, 0o700)):
            os.mkdir(folder, mode)
            os.chown(folder, user.pw_uid, user.pw_gid)
        shutil.copytree(self.args.emblems, os.path.join(self.work, "share", "icons"),
                        dirs_exist_ok=True)
        self.as_user([self.args.tool, "demo", self.home], stdout=subprocess.DEVNULL)
        self.prepare_extension_folder()
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1280x800x24", "-nolisten", "tcp"], pass_fds=(write,),
                                     stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        return self

    def __exit__(self, *exc):
        self.stop_program()
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()
        shutil.rmtree(self.work, ignore_errors=True)
        if self.created_user:
            subprocess.run(["userdel", USER], check=False)

    def as_user(self, command, **kwargs):
        return subprocess.run(["runuser", "-u", USER, "--"] + command, check=True, **kwargs)

    def prepare_extension_folder(self):
        """The mount commands that leave the module alone in the program's extension folder."""
        target = self.args.extension_dir
        module = os.path.basename(self.args.module)
        if os.path.isdir(target):
            folder = os.path.join(self.work, "extensions")
            os.makedirs(folder)
            shutil.copy(self.args.module, os.path.join(folder, module))
            self.mounts = [["mount", "--bind", folder, target]]
            return
        parent = target
        while not os.path.isdir(parent):
            parent = os.path.dirname(parent)
        upper = os.path.join(self.work, "overlay")
        inside = os.path.join(upper, os.path.relpath(target, parent))
        os.makedirs(inside)
        shutil.copy(self.args.module, os.path.join(inside, module))
        self.mounts = [["mount", "-t", "overlay", "overlay", "-o",
                        "lowerdir=%s:%s" % (upper, parent), parent]]

    def choose_view(self, view):
        if view != "list":
            return
        section, value = LIST_VIEW_SETTINGS[self.args.program]
        folder = os.path.join(self.home, ".config", "glib-2.0", "settings")
        self.as_user(["mkdir", "-p", folder])
        self.as_user(["sh", "-c", "printf '[%s]\\ndefault-folder-viewer=%s\\n' > %s" % (
            section, value, os.path.join(folder, "keyfile"))])

    def start_program(self, folder):
        command = {
            "nautilus": ["nautilus", "--new-window", folder],
            "nemo": ["nemo", "--geometry=900x560+0+0", folder],
            "caja": ["caja", "--no-desktop", "--geometry=900x560+0+0", folder],
        }[self.args.program]
        environment = {
            "HOME": self.home, "DISPLAY": self.display, "PATH": "/usr/bin:/bin",
            "LANG": "C.UTF-8", "XDG_RUNTIME_DIR": self.runtime,
            "XDG_DATA_DIRS": os.path.join(self.work, "share") + ":/usr/share",
            "GSK_RENDERER": "cairo", "NO_AT_BRIDGE": "1", "GTK_A11Y": "none",
            "GSETTINGS_BACKEND": "keyfile",
        }
        inner = " && ".join(" ".join("'%s'" % part for part in m) for m in self.mounts)
        inner += " && exec runuser -u %s -- env -i %s dbus-run-session -- %s" % (
            USER, " ".join("'%s=%s'" % kv for kv in environment.items()),
            " ".join("'%s'" % part for part in command))
        # The namespace's first process is killed with the unshare process, and with it every
        # process the program started.
        self.program = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc",
             "--kill-child=SIGKILL", "sh", "-c", inner],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.work, "program.log"), "a"))

    def open_window(self, folder, seconds=30):
        """Starts the program on `folder` and waits for its window; a start whose window does
        not come (a program that died on start-up under load) is tried once more, with what
        the program wrote shown. (True, seconds from the start that showed it) or (False, 0)."""
        for attempt in range(2):
            started = time.monotonic()
            self.start_program(folder)
            shown, _, _, _ = self.wait_for(lambda f, i: window_shown(i), seconds)
            if shown:
                return True, started
            log("no window within %d s (attempt %d); the program wrote:\n%s" % (
                seconds, attempt + 1, self.program_log_tail()))
            self.stop_program()
        return False, 0

    def program_log_tail(self, lines=20):
        try:
            with open(os.path.join(self.work, "program.log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def stop_program(self):
        if self.program is not None:
            # unshare ignores SIGTERM while it waits; its end kills the namespace's first process.
            self.program.kill()
            self.program.wait()
            self.program = None

    def screenshot(self):
        # A window that goes away during the capture fails it (BadDrawable): take another.
        for _ in range(10):
            capture = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if capture.returncode == 0:
                return read_xwd(capture.stdout)
            time.sleep(0.05)
        raise RuntimeError("xwd cannot capture %s" % self.display)

    def wait_for(self, judge, seconds):
        """Screenshots until judge(found) holds; (True, image, found, elapsed) or the last."""
        start = time.monotonic()
        while True:
            image = self.screenshot()
            found = badges(image)
            elapsed = time.monotonic() - start
            if judge(found, image) or elapsed > seconds:
                return judge(found, image), image, found, elapsed

    def set_state(self, relative, state):
        self.as_user([self.args.tool, "set-state", "--home", self.home,
                      os.path.join(self.home, relative), str(state)], stdout=subprocess.DEVNULL)


def window_shown(image):
    """True once the window covers a good part of the black root window."""
    pixels = np.asarray(image)
    return bool((pixels.max(axis=2) > 0).mean() > 0.2)


def names(found):
    return [b[0] for b in found]


def crop_to_window(image):
    pixels = np.asarray(image).max(axis=2)
    ys, xs = np.nonzero(pixels)
    if len(xs) == 0:
        return image  # no window to crop to: the whole, black screen
    return image.crop((int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1))


def idle_cpu(program, seconds):
    """CPU seconds the program's process used over `seconds` with nothing changing."""
    pid = subprocess.run(["pgrep", "-u", USER, "-x", program], stdout=subprocess.PIPE,
                         text=True).stdout.split()[0]

    def used():
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    before = used()
    time.sleep(seconds)
    return round(used() - before, 2)


def measure_many(args):
    report = {"program": args.program, "files": args.many}
    with Session(args) as session:
        many = os.path.join(session.work, "many")
        os.mkdir(many, 0o755)
        os.chown(many, pwd.getpwnam(USER).pw_uid, pwd.getpwnam(USER).pw_gid)
        session.home = many
        session.as_user([args.measure, "make-home", many, str(args.many)])
        started = time.monotonic()
        session.start_program(os.path.join(many, "Sync", "Photos", "Many"))
        frames = []
        while time.monotonic() - started < 60:
            image = session.screenshot()
            found = badges(image)
            frames.append((time.monotonic() - started, window_shown(image), len(found), image))
            if len(found) >= 10 and len(frames) > 3 and all(f[2] == len(found)
                                                            for f in frames[-3:]):
                break
        shown = next((f for f in frames if f[1]), None)
        first = next((i for i, f in enumerate(frames) if f[2] > 0), None)
        report["window_after_s"] = round(shown[0], 2) if shown else None
        if first is not None:
            report["first_badge_after_s"] = round(frames[first][0], 2)
            report["frame_before_first_badge_s"] = round(frames[first - 1][0], 2) if first else None
            report["visible_badges"] = frames[-1][2]
            if args.screenshot:
                stem = os.path.splitext(args.screenshot)[0]
                frames[first][3].save(stem + "-first-badge.png")
                if first:
                    frames[first - 1][3].save(stem + "-before.png")
        report["frames"] = [(round(t, 2), w, n) for t, w, n, _ in frames]
        if args.idle:
            report["idle_cpu_s"] = idle_cpu(args.program, args.idle)
    log(json.dumps({k: v for k, v in report.items() if k != "frames"}))
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=2)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, choices=["nautilus", "nemo", "caja"])
    parser.add_argument("--module", required=True)
    parser.add_argument("--extension-dir", required=True)
    parser.add_argument("--emblems", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--view", choices=["icons", "list"], default="icons")
    parser.add_argument("--changes", type=int, default=2)
    parser.add_argument("--screenshot")
    parser.add_argument("--report")
    parser.add_argument("--many", type=int)
    parser.add_argument("--measure")
    parser.add_argument("--idle", type=int, help="with --many: CPU use over this many seconds")
    args = parser.parse_args()
    if os.geteuid() != 0:
        log("skipped: needs root (namespaces, mounts, a throwaway user)")
        return 77
    if args.many:
        return measure_many(args)
    failures = []
    report = {"program": args.program}
    with Session(args) as session:
        session.choose_view(args.view)
        # 1. Outside every synchronised folder: the window comes, its files are drawn, and
        #    no badge follows within the time a badge needs elsewhere.
        shown, _ = session.open_window(os.path.join(session.home, "Desktop"))
        if not shown:
            failures.append("no window on Desktop within 30 s")
        else:
            time.sleep(LIMIT_S + 1)
            found = badges(session.screenshot())
            log("Desktop: %s" % (found or "no badge"))
            if found:
                failures.append("badges outside every synchronised folder: %s" % found)
        session.stop_program()

        # 2. Sync/Documents: the right badge on each item, in reading order.
        shown, started = session.open_window(os.path.join(session.home, "Sync", "Documents"))
        if not shown:
            failures.append("no window on Sync/Documents within 30 s")
            started = time.monotonic()
        ok, image, found, elapsed = session.wait_for(
            lambda f, i: names(f) == DOCUMENTS, 30 if shown else 0)
        report["badges_after_start_s"] = round(time.monotonic() - started, 2)
        log("Documents after %.1f s: %s" % (report["badges_after_start_s"], found))
        if not ok:
            failures.append("Documents shows %s, expected %s" % (names(found), DOCUMENTS))
        else:
            time.sleep(1)
            found = badges(session.screenshot())
            if names(found) != DOCUMENTS:
                failures.append("Documents then shows %s, expected %s" % (names(found), DOCUMENTS))
        if args.screenshot:
            crop_to_window(session.screenshot()).save(args.screenshot)

        # 3. Another process records states for the item without one; its badge follows.
        latencies = []
        for i in range(args.changes if not failures else 0):
            state, badge = (1, "synced") if i % 2 == 0 else (2, "syncing")
            session.set_state(CHANGED_ITEM, state)
            ok, image, found, elapsed = session.wait_for(
                lambda f, i: names(f) == DOCUMENTS + [badge], LIMIT_S + 1)
            latencies.append(round(elapsed, 3))
            if not ok or elapsed > LIMIT_S:
                failures.append("change %d to %s: %s after %.2f s" % (i + 1, badge, names(found),
                                                                      elapsed))
                break
        if latencies:
            report["change_latencies_s"] = latencies
            report["change_median_s"] = statistics.median(latencies)
            report["change_worst_s"] = max(latencies)
            log("changes on screen after (s): %s; median %.2f, worst %.2f" % (
                latencies, report["change_median_s"], report["change_worst_s"]))
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=2)
    for failure in failures:
        log("FAIL: " + failure)
    log("%s: %d passed, %d failed" % (args.program, 0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
