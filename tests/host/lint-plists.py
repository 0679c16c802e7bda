#!/usr/bin/env python3
"""Checks the property lists of the Mac bundles as plutil -lint would, and what each must say.

    lint-plists.py SOURCE_DIR    exit 1, naming each fault, if any list is malformed or wrong

Templates are read with their @VARIABLES@ and ${VARIABLES} filled with a version-like value.
"""

import os
import plistlib
import re
import sys

APP = "tessal.KeloFinderBadges"
EXTENSION = APP + ".FinderSync"


def load(path):
    with open(path, "rb") as f:
        text = re.sub(rb"@[A-Z_]+@|\$\{[A-Z_]+\}", b"11.0", f.read())
    return plistlib.loads(text, fmt=plistlib.FMT_XML)


def faults(root):
    bundle = "iconoverlay/Info.plist.in"
    extension = "faces/findersync/Info.plist.in"
    app = "faces/findersync/app-Info.plist.in"
    rights = "faces/findersync/KeloFinderSync.entitlements"
    expected = {
        bundle: {"CFBundleIdentifier": "tessal.KeloMacIconOverlay", "CFBundlePackageType": "BNDL",
                 "NSPrincipalClass": "KeloMacIconOverlay", "LSMinimumSystemVersion": "11.0"},
        "iconoverlay/Info-gnustep.plist": {"CFBundleIdentifier": "tessal.KeloMacIconOverlay"},
        extension: {"CFBundleIdentifier": EXTENSION, "CFBundlePackageType": "XPC!",
                    "CFBundleExecutable": "KeloFinderSync", "LSMinimumSystemVersion": "11.0"},
        app: {"CFBundleIdentifier": APP, "CFBundlePackageType": "APPL",
              "CFBundleExecutable": "KeloFinderBadges", "LSMinimumSystemVersion": "11.0"},
        rights: {"com.apple.security.app-sandbox": True,
                 "com.apple.security.temporary-exception.files.home-relative-path.read-only":
                     ["/.Tarnvale/"]},
    }
    lists = {}
    for name, keys in expected.items():
        try:
            lists[name] = load(os.path.join(root, name))
        except (OSError, plistlib.InvalidFileException, ValueError) as error:
            yield "%s: %s" % (name, error)
            continue
        for key, value in keys.items():
            if lists[name].get(key) != value:
                yield "%s: %s is %r, not %r" % (name, key, lists[name].get(key), value)
    point = lists.get(extension, {}).get("NSExtension", {})
    if point.get("NSExtensionPointIdentifier") != "com.apple.FinderSync":
        yield extension + ": NSExtensionPointIdentifier is not com.apple.FinderSync"
    if point.get("NSExtensionPrincipalClass") != "KeloFinderSync":
        yield extension + ": NSExtensionPrincipalClass is not KeloFinderSync"
    if any(k.startswith("com.apple.security.") and "read-write" in k for k in lists.get(rights, {})):
        yield rights + ": the extension only reads the client's files"


def main(argv):
    found = list(faults(argv[0] if argv else "."))
    for fault in found:
        print(fault, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
