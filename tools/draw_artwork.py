#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws the window's artwork: the application icon, the warning icon and the banner, and the
installer's pictures for its pages (.bmp only).

Our own drawings, made from a few shapes so they can be redrawn on any machine with nothing but
Python: the two icons are 32 x 32 in at most 256 colours for the Qt window, the banner is 497 x 99
in 24-bit colour. Each is written twice: as PNG for the Qt window (palette PNG with transparency
for the icons) and as the Windows program's resources (.bmp, and .ico with the icon drawn at 16,
24, 32, 48 and 256 pixels in 32-bit colour, so that Windows never scales it up at 150 or 200 %). Shapes are
anti-aliased by their distance to the pixel's centre (strokes, circles) or by 4 x 4 supersampling
(polygons).

The application icon is also written in RGBA at the sizes of the desktop's icon theme, under
icons/hicolor/.

Usage: draw_artwork.py [OUTPUT_FOLDER]   (default: res/ beside this tool)
"""

import math
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import png_writer  # noqa: E402  (tools/lib/, beside this tool)


class Canvas:
    """RGBA pixels as floats in 0..1, painted with source-over blending."""

    def __init__(self, width, height, fill=(0, 0, 0, 0)):
        self.w, self.h = width, height
        self.px = [list(fill) for _ in range(width * height)]

    def blend(self, x, y, rgb, cover):
        if cover <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        cover = min(cover, 1.0)
        p = self.px[y * self.w + x]
        a_out = cover + p[3] * (1 - cover)
        if a_out <= 0:
            return
        for i in range(3):
            p[i] = (rgb[i] * cover + p[i] * p[3] * (1 - cover)) / a_out
        p[3] = a_out

    def paint(self, bbox, coverage, colour):
        """Calls coverage(px, py) for the pixel centres in bbox; colour is an RGB tuple or a
        function of the pixel centre giving one."""
        x0, y0, x1, y1 = bbox
        for y in range(max(0, int(y0) - 1), min(self.h, int(math.ceil(y1)) + 1)):
            for x in range(max(0, int(x0) - 1), min(self.w, int(math.ceil(x1)) + 1)):
                cx, cy = x + 0.5, y + 0.5
                c = coverage(cx, cy)
                if c > 0:
                    self.blend(x, y, colour(cx, cy) if callable(colour) else colour, c)


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def stroke(canvas, points, width, colour):
    """A polyline with round joins and caps."""
    r = width / 2
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    bbox = (min(xs) - r, min(ys) - r, max(xs) + r, max(ys) + r)

    # The nearest segment decides each pixel, so joints are not painted twice.
    def cover(px, py):
        d = min(seg_dist(px, py, *a, *b) for a, b in zip(points, points[1:]))
        return r - d + 0.5

    canvas.paint(bbox, cover, colour)


def disc(canvas, cx, cy, r, colour):
    canvas.paint((cx - r, cy - r, cx + r, cy + r),
                 lambda px, py: r - math.hypot(px - cx, py - cy) + 0.5, colour)


def ring(canvas, cx, cy, rx, ry, width, colour, start=0.0, end=360.0):
    """An elliptical outline (or an arc of it, angles in degrees, clockwise from east)."""
    steps = max(24, int((rx + ry) * 1.5))
    pts = []
    for i in range(steps + 1):
        a = math.radians(start + (end - start) * i / steps)
        pts.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    stroke(canvas, pts, width, colour)


def inside(px, py, poly):
    hit = False
    j = len(poly) - 1
    for i in range(len(poly)):
        xi, yi = poly[i]
        xj, yj = poly[j]
        if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def polygon(canvas, poly, colour):
    xs = [p[0] for p in poly]
    ys = [p[1] for p in poly]
    offsets = [(i + 0.5) / 4 - 0.5 for i in range(4)]

    def cover(px, py):
        return sum(inside(px + ox, py + oy, poly) for ox in offsets for oy in offsets) / 16

    canvas.paint((min(xs), min(ys), max(xs), max(ys)), cover, colour)


def rounded_rect(x0, y0, x1, y1, r):
    """The outline of a rectangle with rounded corners, as a polygon."""
    pts = []
    for cx, cy, a0 in ((x1 - r, y0 + r, -90), (x1 - r, y1 - r, 0), (x0 + r, y1 - r, 90),
                       (x0 + r, y0 + r, 180)):
        for i in range(7):
            a = math.radians(a0 + 15 * i)
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


# A stroke font on a 4 x 6 grid (y downwards): only the letters the banner needs.
GLYPHS = {
    "A": [[(0, 6), (2, 0), (4, 6)], [(0.67, 4), (3.33, 4)]],
    "D": [[(0, 0), (0, 6), (2.5, 6), (4, 4.5), (4, 1.5), (2.5, 0), (0, 0)]],
    "E": [[(4, 0), (0, 0), (0, 6), (4, 6)], [(0, 3), (3, 3)]],
    "F": [[(4, 0), (0, 0), (0, 6)], [(0, 3), (3, 3)]],
    "I": [[(2, 0), (2, 6)], [(1, 0), (3, 0)], [(1, 6), (3, 6)]],
    "M": [[(0, 6), (0, 0), (2, 3.5), (4, 0), (4, 6)]],
    "N": [[(0, 6), (0, 0), (4, 6), (4, 0)]],
    "O": [[(1, 0), (3, 0), (4, 1), (4, 5), (3, 6), (1, 6), (0, 5), (0, 1), (1, 0)]],
    "P": [[(0, 6), (0, 0), (3, 0), (4, 1), (4, 2), (3, 3), (0, 3)]],
    "R": [[(0, 6), (0, 0), (3, 0), (4, 1), (4, 2), (3, 3), (0, 3)], [(2, 3), (4, 6)]],
    "T": [[(0, 0), (4, 0)], [(2, 0), (2, 6)]],
    "U": [[(0, 0), (0, 5), (1, 6), (3, 6), (4, 5), (4, 0)]],
    "V": [[(0, 0), (2, 6), (4, 0)]],
    "W": [[(0, 0), (1, 6), (2, 2.5), (3, 6), (4, 0)]],
    "6": [[(4, 0.5), (3, 0), (1, 0), (0, 1), (0, 5), (1, 6), (3, 6), (4, 5), (4, 4), (3, 3), (0, 3)]],
    "-": [[(1, 3), (3, 3)]],
    " ": [],
}


def text(canvas, x, y, s, cell, width, colour, spacing=1.6):
    """Writes s with its top-left at (x, y); each grid unit is `cell` pixels."""
    for ch in s:
        for line in GLYPHS[ch]:
            stroke(canvas, [(x + gx * cell, y + gy * cell) for gx, gy in line], width, colour)
        x += (4 + spacing) * cell
    return x


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def rgb(hex_text):
    return tuple(int(hex_text[i:i + 2], 16) / 255 for i in (0, 2, 4))


NAVY, TEAL, SKY = rgb("0b2545"), rgb("13678a"), rgb("8ecae6")
WHITE, ORANGE, AMBER, INK = rgb("ffffff"), rgb("f4a11d"), rgb("ffcc29"), rgb("1d1d1d")


def draw_app_icon(size=32):
    """Drawn on a 32-unit grid and scaled, so every size of the icon is the same picture."""
    k = size / 32
    c = Canvas(size, size)
    polygon(c, rounded_rect(1 * k, 1 * k, 31 * k, 31 * k, 6 * k),
            lambda px, py: mix(TEAL, NAVY, py / (32 * k)))
    # A globe: rim, equator, two parallels and a meridian ellipse.
    ring(c, 15 * k, 15 * k, 10 * k, 10 * k, 1.6 * k, WHITE)
    stroke(c, [(5 * k, 15 * k), (25 * k, 15 * k)], 1.2 * k, WHITE)
    ring(c, 15 * k, 15 * k, 4.5 * k, 10 * k, 1.2 * k, WHITE)
    stroke(c, [(7 * k, 10 * k), (23 * k, 10 * k)], 1.0 * k, SKY)
    stroke(c, [(7 * k, 20 * k), (23 * k, 20 * k)], 1.0 * k, SKY)
    # The update arrow, bottom right.
    disc(c, 24 * k, 24 * k, 7 * k, NAVY)
    disc(c, 24 * k, 24 * k, 6 * k, ORANGE)
    stroke(c, [(24 * k, 20 * k), (24 * k, 27 * k)], 2.0 * k, WHITE)
    stroke(c, [(21 * k, 24.5 * k), (24 * k, 27.5 * k), (27 * k, 24.5 * k)], 2.0 * k, WHITE)
    return c


def draw_warning_icon(size=32):
    """Drawn on a 32-unit grid and scaled, as the application icon."""
    k = size / 32
    c = Canvas(size, size)
    outer = [(16 * k, 1.5 * k), (31 * k, 29.5 * k), (1 * k, 29.5 * k)]
    polygon(c, outer, INK)
    polygon(c, [(16 * k, 5.5 * k), (27.6 * k, 27.3 * k), (4.4 * k, 27.3 * k)], AMBER)
    stroke(c, [(16 * k, 12 * k), (16 * k, 20 * k)], 3.0 * k, INK)
    disc(c, 16 * k, 24 * k, 1.8 * k, INK)
    return c


def globe_in_orbit(c, cx, cy, r):
    """A globe of radius r at (cx, cy) with a satellite on an orbit around it."""
    disc(c, cx, cy, r, mix(TEAL, SKY, 0.35))
    ring(c, cx, cy, r, r, 1.5, SKY)
    ring(c, cx, cy, r * 13 / 30, r, 1.2, SKY)
    for dy in (-0.6 * r, 0, 0.6 * r):
        half = math.sqrt(r * r - dy * dy)
        stroke(c, [(cx - half + 1, cy + dy), (cx + half - 1, cy + dy)], 1.2, SKY)
    rx, ry = r * 46 / 30, r * 16 / 30
    ring(c, cx, cy, rx, ry, 1.4, WHITE, 200, 520)
    sx, sy = cx + rx * math.cos(math.radians(-35)), cy + ry * math.sin(math.radians(-35))
    polygon(c, [(sx - 4, sy - 3), (sx + 4, sy - 3), (sx + 4, sy + 3), (sx - 4, sy + 3)], WHITE)
    polygon(c, [(sx - 15, sy - 2.5), (sx - 6, sy - 2.5), (sx - 6, sy + 2.5), (sx - 15, sy + 2.5)], AMBER)
    polygon(c, [(sx + 6, sy - 2.5), (sx + 15, sy - 2.5), (sx + 15, sy + 2.5), (sx + 6, sy + 2.5)], AMBER)


def night_sky(w, h, across):
    """Navy turning to teal, mostly along the picture's length: across it when `across`."""
    c = Canvas(w, h, (0, 0, 0, 1))
    if across:
        c.paint((0, 0, w, h), lambda px, py: 1.0, lambda px, py: mix(NAVY, TEAL, (px / w) * 0.8 + (py / h) * 0.2))
    else:
        c.paint((0, 0, w, h), lambda px, py: 1.0, lambda px, py: mix(NAVY, TEAL, (py / h) * 0.8 + (px / w) * 0.2))
    return c


def draw_banner():
    c = night_sky(497, 99, across=True)
    # An orbit around a globe at the left, with a satellite on it.
    globe_in_orbit(c, 52, 50, 30)
    # The name and what it does.
    text(c, 118, 22, "MORVANE", 5.5, 3.4, WHITE)
    text(c, 120, 70, "FIRMWARE UPDATER - TUNDRO W6", 1.6, 1.3, SKY, spacing=2.2)
    stroke(c, [(118, 60), (470, 60)], 1.0, mix(SKY, TEAL, 0.5))
    return c


def draw_installer_side():
    """The installer's welcome and finish pages: 164 x 314 at their left."""
    c = night_sky(164, 314, across=False)
    globe_in_orbit(c, 82, 110, 34)
    text(c, 22, 200, "MORVANE", 2.6, 1.9, WHITE)
    stroke(c, [(22, 228), (142, 228)], 1.0, mix(SKY, TEAL, 0.5))
    text(c, 22, 240, "TUNDRO W6", 1.5, 1.2, SKY, spacing=2.2)
    return c


def draw_installer_header():
    """The installer's other pages: 150 x 57 at the top right, on the page's white."""
    w, h = 150, 57
    c = Canvas(w, h, (1, 1, 1, 1))
    icon = draw_app_icon(40)
    for i, (r, g, b, a) in enumerate(icon.px):
        c.blend(104 + i % icon.w, 8 + i // icon.w, (r, g, b), a)
    text(c, 8, 22, "MORVANE", 1.7, 1.3, NAVY)
    return c


def to_bytes(v):
    return max(0, min(255, int(round(v * 255))))


def rows_of(canvas, channels):
    return [bytes(to_bytes(v) for p in canvas.px[y * canvas.w:(y + 1) * canvas.w] for v in p[:channels])
            for y in range(canvas.h)]


def png_rgb(canvas):
    return png_writer.encode(canvas.w, canvas.h, png_writer.RGB, rows_of(canvas, 3))


def png_rgba(canvas):
    return png_writer.encode(canvas.w, canvas.h, png_writer.RGBA, rows_of(canvas, 4))


def quantise(pixels):
    """Indexes RGBA byte pixels into at most 256 colours: the colours are coarsened step by step
    until they fit. Returns the palette and one index per pixel."""
    step = 1
    while True:
        def snap(p):
            if p[3] < 8:
                return (0, 0, 0, 0)
            return tuple(min(255, (v // step) * step + step // 2) for v in p[:3]) + \
                (min(255, (p[3] // step) * step + step // 2) if p[3] < 248 else 255,)
        snapped = [snap(p) for p in pixels]
        colours = sorted(set(snapped))
        if len(colours) <= 256:
            break
        step *= 2
    index = {col: i for i, col in enumerate(colours)}
    return colours, [index[p] for p in snapped]


def png_palette(canvas):
    colours, indices = quantise([tuple(to_bytes(v) for v in p) for p in canvas.px])
    rows = [indices[y * canvas.w:(y + 1) * canvas.w] for y in range(canvas.h)]
    plte = b"".join(bytes(col[:3]) for col in colours)
    trns = bytes(col[3] for col in colours)
    return png_writer.encode(canvas.w, canvas.h, png_writer.PALETTE, rows,
                             ((b"PLTE", plte), (b"tRNS", trns)))


# The sizes Windows asks a program's icon for: 16 and 24 in lists and the taskbar at 100 and
# 150 %, 32 and 48 for the desktop and Alt+Tab, 256 for large views and 200 % screens.
ICO_SIZES = (16, 24, 32, 48, 256)


def ico_sizes(draw):
    """An .ico of the picture `draw(size)` at each of ICO_SIZES: 32-bit colour with alpha and its
    mask, and PNG at 256 pixels (as Windows Vista and later read it)."""
    images = []
    for size in ICO_SIZES:
        canvas = draw(size)
        if size == 256:
            images.append(png_rgba(canvas))
            continue
        colour = bytearray()
        mask = bytearray()
        mask_row = (size + 31) // 32 * 4
        for y in reversed(range(size)):
            bits = bytearray(mask_row)
            for x in range(size):
                r, g, b, a = (to_bytes(v) for v in canvas.px[y * size + x])
                colour += bytes((b, g, r, a))
                if a < 128:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(colour) + len(mask),
                             0, 0, 0, 0)
        images.append(header + bytes(colour) + bytes(mask))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(ICO_SIZES, images):
        side = size if size < 256 else 0
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def bmp_rgb(canvas):
    w, h = canvas.w, canvas.h
    rows = bytearray()
    for y in reversed(range(h)):
        for p in canvas.px[y * w:(y + 1) * w]:
            rows += bytes(to_bytes(v) for v in reversed(p[:3]))
        rows += bytes((-3 * w) % 4)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(info) + len(rows), 0, 0, 14 + len(info)) + info + bytes(rows)


ICON_THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def main():
    default = pathlib.Path(__file__).resolve().parent.parent / "res"
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    out.mkdir(parents=True, exist_ok=True)
    app_icon, warning_icon, banner = draw_app_icon(), draw_warning_icon(), draw_banner()
    files = {
        "app_icon.png": png_palette(app_icon),
        "warning_icon.png": png_palette(warning_icon),
        "banner.png": png_rgb(banner),
        "app_icon.ico": ico_sizes(draw_app_icon),
        "warning_icon.ico": ico_sizes(draw_warning_icon),
        "banner.bmp": bmp_rgb(banner),
        "installer_side.bmp": bmp_rgb(draw_installer_side()),
        "installer_header.bmp": bmp_rgb(draw_installer_header()),
    }
    # The same icon for the desktop's menus and launchers, at the icon theme's usual sizes.
    for size in ICON_THEME_SIZES:
        files[f"icons/hicolor/{size}x{size}/apps/morvane.png"] = png_rgba(draw_app_icon(size))
    for name, data in files.items():
        (out / name).parent.mkdir(parents=True, exist_ok=True)
        (out / name).write_bytes(data)
        print(out / name)


if __name__ == "__main__":
    main()
