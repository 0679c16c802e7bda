#!/usr/bin/env python3
"""Builds the Debian packages of a build folder with CPack (as `make package` does) into a
scratch folder and checks each one's files and dependencies.

    package-contents_test.py BUILD_DIR DOLPHIN_PLUGIN_DIR [FACE=INSTALLED_MODULE ...]

FACE is nautilus, nemo or caja, each with the path its module is installed at.
"""

import os
import shutil
import subprocess
import sys
import tempfile

EMBLEMS = ["usr/share/icons/hicolor/%dx%d/emblems/kelo-%s.png" % (n, n, name)
           for n in (16, 22, 24, 32, 48, 64, 128)
           for name in ("synced", "syncing", "unsupported")]


def fields(deb, *names):
    # With one name dpkg-deb prints the bare value; with several, "Name: value" lines.
    out = subprocess.run(["dpkg-deb", "-f", deb, "Package"] + list(names), check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def files(deb):
    out = subprocess.run(["dpkg-deb", "-c", deb], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    return sorted(line.split()[-1].lstrip("./") for line in out.splitlines()
                  if not line.startswith("d"))


# The host library each GTK face links, by Debian package.
GTK_FACE_LIBRARIES = {
    "nautilus": "libnautilus-extension4",
    "nemo": "libnemo-extension1",
    "caja": "libcaja-extension1",
}


def main(build, plugin_dir, gtk_faces):
    plugin = os.path.join(plugin_dir, "kelooverlay.so").lstrip("/")
    # Package suffix: (exact files, library packages that must be among the dependencies).
    expected = {
        "cli": (["usr/bin/kelo-overlay"], ["libsqlite3-0", "libutf8proc2"]),
        "emblems": (sorted(EMBLEMS), []),
        "dolphin": ([plugin], ["kelo-overlay-emblems", "libkf5kiowidgets5", "libqt5core5a",
                               "libsqlite3-0"]),
    }
    for face, module in gtk_faces.items():
        expected[face] = ([module.lstrip("/")], ["kelo-overlay-emblems", GTK_FACE_LIBRARIES[face],
                                                 "libglib2.0-0", "libsqlite3-0"])
    scratch = tempfile.mkdtemp(prefix="kelo-package-")
    failures = []
    try:
        built = subprocess.run(["cpack", "-B", scratch], cwd=build, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        if built.returncode != 0:
            print(built.stdout[-3000:])
            return 1
        debs = {f[len("kelo-overlay-"):].split("_")[0]: os.path.join(scratch, f)
                for f in os.listdir(scratch) if f.endswith(".deb")}
        for suffix, (want_files, want_deps) in expected.items():
            deb = debs.get(suffix)
            if deb is None:
                failures.append("no package kelo-overlay-" + suffix)
                continue
            have = files(deb)
            if have != want_files:
                failures.append("%s holds %s, expected %s" % (suffix, have, want_files))
            depends = [d.strip().split()[0] for d in
                       fields(deb, "Depends").get("Depends", "").split(",") if d.strip()]
            missing = [d for d in want_deps if d not in depends]
            if missing:
                failures.append("%s does not depend on %s (Depends: %s)" % (suffix, missing,
                                                                             depends))
        # Every face's package names the emblems and the file manager it serves.
        for suffix, deb in debs.items():
            if suffix in ("cli", "emblems"):
                continue
            info = fields(deb, "Depends", "Enhances")
            if "kelo-overlay-emblems" not in info.get("Depends", ""):
                failures.append(suffix + " does not depend on the emblems")
            if info.get("Enhances") != suffix:
                failures.append("%s enhances %r" % (suffix, info.get("Enhances")))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], dict(a.split("=", 1) for a in sys.argv[3:])))
