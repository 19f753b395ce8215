#!/usr/bin/env python3
"""Draw the images that Tavro Sendral installs: data/icon.png (48x48, also the
desktop icon at that size), data/icon-128.png (the desktop icon at 128x128) and
data/qvt.png.

Pure Python 3 standard library: shapes are rasterised with 4x4 supersampling,
composited over a transparent canvas and written as 8-bit RGBA PNG files with
zlib and struct.  Run from anywhere:

    python3 scripts/make-images.py            # writes them into data/
    python3 scripts/make-images.py OUTDIR     # writes them into OUTDIR

The output is deterministic, so running it again gives byte-identical files.
"""

import math
import os
import struct
import sys
import zlib

SS = 4  # supersampling factor per axis


# ---------------------------------------------------------------- PNG output


def write_png(path, width, height, rgba):
    """Write rgba (bytes, width*height*4, row-major) as an RGBA PNG."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    stride = width * 4
    for y in range(height):
        raw.append(0)  # filter type: none
        raw += rgba[y * stride:(y + 1) * stride]
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ------------------------------------------------------------------- canvas


def hex_rgb(text):
    text = text.lstrip("#")
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


class Canvas:
    """A supersampled canvas of premultiplied RGBA floats.

    Coordinates given to the drawing calls are in design units (floats); the
    output is scale pixels per unit, and the canvas works internally at SS
    times that resolution.  A drawing made on a 48-unit grid thus renders
    crisply at any icon size.
    """

    def __init__(self, width, height, scale=1.0):
        self.w, self.h = int(round(width * scale)), int(round(height * scale))
        self.W, self.H = self.w * SS, self.h * SS
        self.step = SS * scale  # subsamples per design unit
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(self.W * self.H)]

    def _blend(self, i, color, alpha):
        r, g, b = color
        p = self.px[i]
        k = 1.0 - alpha
        p[0] = r * alpha + p[0] * k
        p[1] = g * alpha + p[1] * k
        p[2] = b * alpha + p[2] * k
        p[3] = alpha + p[3] * k

    def fill(self, inside, bbox, paint, alpha=1.0):
        """Fill every subsample whose centre satisfies inside(x, y).

        bbox = (x0, y0, x1, y1) in design units limits the scan; paint is a
        colour tuple or a function (x, y) -> colour tuple.
        """
        x0, y0, x1, y1 = bbox
        k = self.step
        sx0 = max(0, int(math.floor(x0 * k)))
        sy0 = max(0, int(math.floor(y0 * k)))
        sx1 = min(self.W, int(math.ceil(x1 * k)))
        sy1 = min(self.H, int(math.ceil(y1 * k)))
        for sy in range(sy0, sy1):
            y = (sy + 0.5) / k
            row = sy * self.W
            for sx in range(sx0, sx1):
                x = (sx + 0.5) / k
                if inside(x, y):
                    color = paint(x, y) if callable(paint) else paint
                    self._blend(row + sx, color, alpha)

    # Shapes ------------------------------------------------------------

    def rect(self, x0, y0, x1, y1, paint, alpha=1.0):
        self.fill(lambda x, y: x0 <= x < x1 and y0 <= y < y1, (x0, y0, x1, y1), paint, alpha)

    def round_rect(self, x0, y0, x1, y1, r, paint, alpha=1.0):
        def inside(x, y):
            if not (x0 <= x < x1 and y0 <= y < y1):
                return False
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

        self.fill(inside, (x0, y0, x1, y1), paint, alpha)

    def circle(self, cx, cy, r, paint, alpha=1.0):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r,
                  (cx - r, cy - r, cx + r, cy + r), paint, alpha)

    def polyline(self, points, width, paint, alpha=1.0):
        """A polyline of the given width with round joins and caps, drawn once."""
        hw = width / 2.0
        segs = list(zip(points, points[1:]))

        def near(x, y):
            for (ax, ay), (bx, by) in segs:
                dx, dy = bx - ax, by - ay
                ll = dx * dx + dy * dy
                t = 0.0 if ll == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / ll))
                px, py = ax + t * dx - x, ay + t * dy - y
                if px * px + py * py <= hw * hw:
                    return True
            return False

        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        bbox = (min(xs) - hw, min(ys) - hw, max(xs) + hw, max(ys) + hw)
        self.fill(near, bbox, paint, alpha)

    # Output ------------------------------------------------------------

    def to_rgba(self):
        """Average each SS x SS block and un-premultiply to 8-bit RGBA."""
        out = bytearray()
        n = SS * SS
        for y in range(self.h):
            for x in range(self.w):
                r = g = b = a = 0.0
                for sy in range(y * SS, (y + 1) * SS):
                    row = sy * self.W
                    for sx in range(x * SS, (x + 1) * SS):
                        p = self.px[row + sx]
                        r += p[0]
                        g += p[1]
                        b += p[2]
                        a += p[3]
                a /= n
                if a <= 0.0:
                    out += b"\x00\x00\x00\x00"
                    continue
                # Premultiplied sums divided by total coverage give the colour.
                cov = a * n
                out += bytes((
                    min(255, int(round(r / cov * 255))),
                    min(255, int(round(g / cov * 255))),
                    min(255, int(round(b / cov * 255))),
                    min(255, int(round(a * 255))),
                ))
        return bytes(out)


def vgradient(y0, y1, top, bottom):
    top, bottom = hex_rgb(top), hex_rgb(bottom)

    def paint(x, y):
        t = min(1.0, max(0.0, (y - y0) / float(y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))

    return paint


# ------------------------------------------------------------------ palette

NAVY = "#17324d"
TEAL_TOP = "#3a86a8"
TEAL_BOTTOM = "#1f5673"
CHIP = "#22303a"
CHIP_EDGE = "#3d5566"
PIN = "#d8dee3"
SDA = "#7fd1ae"  # data line: mint green
SCL = "#f5b847"  # clock line: amber
WHITE = "#ffffff"


# --------------------------------------------------------------------- icon


def draw_icon(size=48):
    """An adapter chip on two bus traces, a clock and a data line, drawn on a
    48-unit grid and rendered size x size pixels."""
    c = Canvas(48, 48, size / 48.0)

    # Tile: rounded square with a soft vertical gradient and a faint rim.
    c.round_rect(1, 1, 47, 47, 9, hex_rgb("#12394f"))
    c.round_rect(2, 2, 46, 46, 8, vgradient(2, 46, TEAL_TOP, TEAL_BOTTOM))
    c.round_rect(2, 2, 46, 24, 8, hex_rgb(WHITE), alpha=0.07)  # top sheen

    # Bus traces: SDA above, SCL below, from edge to edge behind the chip.
    sda_y, scl_y = 20.0, 28.0
    c.polyline([(6, sda_y), (42, sda_y)], 3.0, hex_rgb(SDA))
    c.polyline([(6, scl_y), (42, scl_y)], 3.0, hex_rgb(SCL))
    for x in (6, 42):
        c.circle(x, sda_y, 3.0, hex_rgb(SDA))
        c.circle(x, scl_y, 3.0, hex_rgb(SCL))
        c.circle(x, sda_y, 1.3, hex_rgb(TEAL_BOTTOM))
        c.circle(x, scl_y, 1.3, hex_rgb(TEAL_BOTTOM))

    # Four pins on each side of the chip; the middle two meet the traces.
    for y in (14, 20, 28, 34):
        c.round_rect(11, y - 1.5, 37, y + 1.5, 0.8, hex_rgb(PIN))

    # Chip body with a lighter rim and the pin-1 mark.
    c.round_rect(14, 8, 34, 40, 2.5, hex_rgb(CHIP_EDGE))
    c.round_rect(15, 9, 33, 39, 2.0, hex_rgb(CHIP))
    c.circle(18.5, 12.5, 1.5, hex_rgb("#6c8597"))

    # On the chip: a clock pulse train (SCL) and a data pattern (SDA).
    clock = [(18, 22), (18, 17), (22, 17), (22, 22), (26, 22), (26, 17), (30, 17), (30, 22)]
    c.polyline(clock, 2.0, hex_rgb(SCL))
    data = [(18, 31), (20, 31), (20, 26), (25, 26), (25, 31), (27, 31), (27, 26), (30, 26)]
    c.polyline(data, 2.0, hex_rgb(SDA))
    return c


# --------------------------------------------------------------------- logo

# A small block font: '#' is a filled cell.  Each glyph is 8 cells wide (its
# first row sets the advance) and 9 cells high, with strokes two cells thick.
FONT = {
    "Q": [
        ".######.",
        "########",
        "##....##",
        "##....##",
        "##....##",
        "##.##.##",
        "##..###.",
        "#######.",
        ".#####.##",  # the tail reaches into the gap after the letter
    ],
    "V": [
        "##....##",
        "##....##",
        "##....##",
        "##....##",
        "##....##",
        ".##..##.",
        ".######.",
        "..####..",
        "...##...",
    ],
    "T": [
        "########",
        "########",
        "...##...",
        "...##...",
        "...##...",
        "...##...",
        "...##...",
        "...##...",
        "...##...",
    ],
}


def draw_text(c, text, x, y, cell, paint, alpha=1.0, gap=1):
    for ch in text:
        glyph = FONT[ch]
        for row, line in enumerate(glyph):
            for col, bit in enumerate(line):
                if bit == "#":
                    c.rect(x + col * cell, y + row * cell,
                           x + (col + 1) * cell, y + (row + 1) * cell, paint, alpha)
        x += (len(glyph[0]) + gap) * cell


def draw_logo():
    """120 x 48: the letters QVT over a two-colour bus stripe."""
    c = Canvas(120, 48)
    cell = 4
    width = (3 * 8 + 2) * cell  # three glyphs and two one-cell gaps
    x0 = (120 - width) / 2.0
    y0 = 3.0

    # Soft shadow, then the letters with a gentle top-to-bottom shade.
    draw_text(c, "QVT", x0 + 1.0, y0 + 1.0, cell, hex_rgb("#000000"), alpha=0.18)
    draw_text(c, "QVT", x0, y0, cell, vgradient(y0, y0 + 9 * cell, "#24527a", NAVY))

    # The bus stripe under the letters: data line and clock line.
    y = y0 + 9 * cell + 3.0
    half = width / 2.0
    c.round_rect(x0, y, x0 + half - 1.0, y + 3.0, 1.5, hex_rgb(SDA))
    c.round_rect(x0 + half + 1.0, y, x0 + width, y + 3.0, 1.5, hex_rgb(SCL))
    return c


# --------------------------------------------------------------------- main


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, os.pardir, "data")
    os.makedirs(outdir, exist_ok=True)
    images = (("icon.png", draw_icon()), ("icon-128.png", draw_icon(128)),
              ("qvt.png", draw_logo()))
    for name, canvas in images:
        path = os.path.normpath(os.path.join(outdir, name))
        write_png(path, canvas.w, canvas.h, canvas.to_rgba())
        print("wrote %s (%dx%d)" % (path, canvas.w, canvas.h))


if __name__ == "__main__":
    main()
