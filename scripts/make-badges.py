#!/usr/bin/env python3
"""Draws the three badge images of the Finder bundle as multi-size ICO files, and those of the
FinderSync extension as PNG files.

    scripts/make-badges.py [--out DIR]     write synced.ico, syncing.ico, unsupp.ico (default:
                                         iconoverlay/resources next to this script's repository)
    scripts/make-badges.py --check [DIR]   exit 1 if the images in DIR differ from a fresh drawing
    scripts/make-badges.py --emblems DIR [--check]
                                         write (or check) the emblems of the Linux faces as
                                         DIR/hicolor/NxN/emblems/kelo-{synced,syncing,unsupported}.png
    scripts/make-badges.py --png ...     as without --png, for synced.png, syncing.png, unsupp.png
                                         (default: faces/findersync/resources): the FinderSync
                                         extension's emblems, 320 pixels square, which the Finder
                                         scales into the corner of each icon it badges

Each ICO holds one PNG entry per size in SIZES, drawn separately at that size so strokes stay
legible at 16 pixels. A badge is drawn stretched over the whole icon it marks, so the image is
transparent except for a round emblem in its lower left corner: a green disc with a check mark
(synced), a blue disc with two circling arrows (syncing), a grey no-entry sign (unsupported).

Only the standard library is used (shapes are rendered from signed distances with one pixel of
anti-aliasing; PNG and ICO are written by hand). `--check` compares decoded pixels, not bytes,
since another zlib may compress the same pixels differently, and allows one step per sample for
another C library's last-bit rounding.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128)

WHITE = (255, 255, 255)
GREEN = (40, 167, 69)
BLUE = (30, 110, 220)
GREY = (128, 128, 128)
RIM = (30, 30, 30)


# Signed distances, in emblem units (the emblem is the unit square, y pointing down).
def disc(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def polyline(points, width):
    pairs = list(zip(points, points[1:]))
    return lambda x, y: min(segment_distance(x, y, *a, *b) for a, b in pairs) - width / 2


def arc(cx, cy, r, start, end, width):
    """Stroke of the circle (cx, cy, r) from angle start to end (degrees, counter-clockwise
    on screen), with round caps."""
    a0, a1 = math.radians(start), math.radians(end)
    ends = [(cx + r * math.cos(a), cy - r * math.sin(a)) for a in (a0, a1)]

    def distance(x, y):
        angle = math.atan2(-(y - cy), x - cx) % (2 * math.pi)
        if (angle - a0) % (2 * math.pi) <= (a1 - a0) % (2 * math.pi):
            d = abs(math.hypot(x - cx, y - cy) - r)
        else:
            d = min(math.hypot(x - ex, y - ey) for ex, ey in ends)
        return d - width / 2

    return distance


def triangle(p0, p1, p2):
    corners = (p0, p1, p2)

    def distance(x, y):
        edges = [segment_distance(x, y, *corners[i], *corners[(i + 1) % 3]) for i in range(3)]
        signs = [(b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0])
                 for a, b in zip(corners, corners[1:] + corners[:1])]
        inside = all(s >= 0 for s in signs) or all(s <= 0 for s in signs)
        return -min(edges) if inside else min(edges)

    return distance


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def arrowhead(cx, cy, r, angle, width):
    """A triangle at angle (degrees) on the circle, pointing counter-clockwise."""
    a = math.radians(angle)
    px, py = cx + r * math.cos(a), cy - r * math.sin(a)  # on the circle
    tx, ty = -math.sin(a), -math.cos(a)  # tangent, counter-clockwise on screen
    nx, ny = math.cos(a), -math.sin(a)  # outward normal
    half = width * 1.25
    tip = (px + tx * half * 1.4, py + ty * half * 1.4)
    return triangle((px + nx * half, py + ny * half), (px - nx * half, py - ny * half), tip)


def glyph(kind, stroke):
    if kind == "synced":
        return polyline([(0.27, 0.52), (0.44, 0.69), (0.74, 0.34)], stroke)
    if kind == "syncing":
        r = 0.27
        return union(arc(0.5, 0.5, r, 35, 145, stroke), arrowhead(0.5, 0.5, r, 145, stroke),
                     arc(0.5, 0.5, r, 215, 325, stroke), arrowhead(0.5, 0.5, r, 325, stroke))
    return polyline([(0.28, 0.5), (0.72, 0.5)], stroke * 1.4)


FILL = {"synced": GREEN, "syncing": BLUE, "unsupp": GREY}


def emblem_fraction(size):
    """Share of the icon's side taken by the emblem: larger at small sizes to stay legible."""
    return 0.625 if size <= 16 else 0.58 if size <= 32 else 0.5


def over(dst, color, alpha):
    """Source-over of an opaque colour with coverage alpha onto a premultiplied pixel."""
    r, g, b, a = dst
    k = 1.0 - alpha
    return (color[0] * alpha + r * k, color[1] * alpha + g * k, color[2] * alpha + b * k,
            alpha + a * k)


def render(kind, size, whole=False):
    """RGBA rows (top row first) of one badge at one size; with whole, the emblem alone
    filling the square (a file manager's emblem, which it places itself)."""
    side = size if whole else round(size * emblem_fraction(size))
    top = size - side  # the emblem sits in the lower left corner
    unit = 1.0 / side  # one pixel in emblem units
    # Strokes at least 1.5 pixels wide; the rim is one pixel, or 1/32 of the emblem when larger.
    stroke = max(0.13, 1.5 * unit)
    rim = max(unit, 1 / 32)
    layers = [(disc(0.5, 0.5, 0.5 - unit * 0.25), RIM),
              (disc(0.5, 0.5, 0.5 - unit * 0.25 - rim), FILL[kind]),
              (glyph(kind, stroke), WHITE)]
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            pixel = (0.0, 0.0, 0.0, 0.0)
            if px < side and py >= top:
                x, y = (px + 0.5) * unit, (py - top + 0.5) * unit
                for shape, color in layers:
                    coverage = max(0.0, min(1.0, 0.5 - shape(x, y) / unit))
                    if coverage > 0:
                        pixel = over(pixel, color, coverage)
            r, g, b, a = pixel
            if a > 0:
                r, g, b = (min(255, round(c / a)) for c in (r, g, b))
            row += bytes((r, g, b, round(a * 255))) if a > 0 else bytes(4)
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data +
                struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def ico(kind):
    images = [png(size, render(kind, size)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        side = 0 if size >= 256 else size  # 0 means 256 in the directory
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def png_rows(png_data):
    """The raw (filtered) rows of a PNG written by png()."""
    at, idat = 8, b""
    while at < len(png_data):
        (chunk_length,) = struct.unpack_from(">I", png_data, at)
        if png_data[at + 4:at + 8] == b"IDAT":
            idat += png_data[at + 8:at + 8 + chunk_length]
        at += 12 + chunk_length
    return zlib.decompress(idat)


def decoded(data):
    """[(size, raw PNG rows)] of each entry of an ICO file written by ico(), or of a PNG file
    written by png(); None for anything else."""
    try:
        if data.startswith(b"\x89PNG"):
            (size,) = struct.unpack_from(">I", data, 16)
            return [(size, png_rows(data))]
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        if reserved != 0 or kind != 1:
            return None
        entries = []
        for i in range(count):
            side, _, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
            entries.append((side or 256, png_rows(data[offset:offset + length])))
        return entries
    except (struct.error, zlib.error):
        return None


def same_pixels(committed, fresh):
    a, b = decoded(committed), decoded(fresh)
    if a is None or b is None or [s for s, _ in a] != [s for s, _ in b]:
        return False
    return all(len(x) == len(y) and all(abs(p - q) <= 1 for p, q in zip(x, y))
               for (_, x), (_, y) in zip(a, b))


# Side of the FinderSync extension's emblems: the Finder asks for images good up to 320 pixels.
FINDER_SYNC_SIZE = 320

# Emblem names of the Linux faces, by badge; the hicolor sizes they are drawn at.
EMBLEMS = {"synced": "kelo-synced", "syncing": "kelo-syncing", "unsupp": "kelo-unsupported"}
EMBLEM_SIZES = (16, 22, 24, 32, 48, 64, 128)


def write_emblems(out, check):
    """Writes the emblems under `out`, or with `check` compares them; the stale paths."""
    stale = []
    for size in EMBLEM_SIZES:
        folder = os.path.join(out, "hicolor", "%dx%d" % (size, size), "emblems")
        for kind, name in EMBLEMS.items():
            path = os.path.join(folder, name + ".png")
            emit(path, png(size, render(kind, size, whole=True)), check, stale)
    return stale


def emit(path, data, check, stale):
    """Writes `data` to `path`, or with `check` appends `path` to `stale` when the file there
    is missing or draws other pixels."""
    if check:
        try:
            with open(path, "rb") as f:
                if not same_pixels(f.read(), data):
                    stale.append(path)
        except OSError:
            stale.append(path)
    else:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def main(argv):
    check = "--check" in argv
    stale = []
    if "--emblems" in argv:
        stale = write_emblems(argv[argv.index("--emblems") + 1], check)
    as_png = "--png" in argv
    args = [a for a in argv if a not in ("--check", "--png")]
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    default = (os.path.join(root, "faces", "findersync", "resources") if as_png else
               os.path.join(root, "iconoverlay", "resources"))
    out = args[args.index("--out") + 1] if "--out" in args else (args[0] if args else default)
    for kind in () if "--emblems" in argv else ("synced", "syncing", "unsupp"):
        path = os.path.join(out, kind + (".png" if as_png else ".ico"))
        data = (png(FINDER_SYNC_SIZE, render(kind, FINDER_SYNC_SIZE, whole=True)) if as_png else
                ico(kind))
        emit(path, data, check, stale)
    if stale:
        print("out of date (run scripts/make-badges.py): " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
