#!/usr/bin/env python3
"""Draws the Quillmar icon and writes gui/app.ico.

Standard library only, so the icon can be remade on any machine with Python 3
and the output is the same bytes every time (no timestamps, fixed zlib level).

The picture: a warm orange tile holding a small photo (sky, sun, mountains)
with a white arrow pointing down under it, i.e. "the same photo, fewer bytes".
Each size is drawn from the shapes below rather than scaled from one bitmap,
with edges snapped to whole pixels so 16 and 24 px stay sharp.
"""
import os
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 72, 96, 128, 256)
PNG_FROM = 256   # sizes at or above this go in as PNG, the rest as DIBs
SUB = 4          # 4x4 samples per pixel for the anti-aliasing

WHITE = (255, 255, 255)
SKY = (132, 196, 238)
SUN = (255, 214, 64)
HILL = (38, 112, 84)
TILE_TOP = (255, 168, 58)
TILE_BOTTOM = (226, 92, 30)


# Shapes work in unit coordinates (0..1, y downwards). Each has a bounding box
# so the sampler can skip it quickly, and an inside() test.

class RoundRect:
    def __init__(self, x0, y0, x1, y1, r, colour):
        self.box = (x0, y0, x1, y1)
        self.r = r
        self.colour = colour

    def inside(self, x, y):
        x0, y0, x1, y1 = self.box
        r = self.r
        # distance from the inner rectangle that the corners are rounded around
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r


class Circle:
    def __init__(self, cx, cy, r, colour):
        self.box = (cx - r, cy - r, cx + r, cy + r)
        self.c = (cx, cy, r)
        self.colour = colour

    def inside(self, x, y):
        cx, cy, r = self.c
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


class Polygon:
    def __init__(self, points, colour):
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self.box = (min(xs), min(ys), max(xs), max(ys))
        self.points = points
        self.colour = colour

    def inside(self, x, y):
        # even-odd crossing test; good enough for the simple outlines used here
        result = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < xi + (y - yi) * (xj - xi) / (yj - yi):
                result = not result
            j = i
        return result


class Gradient:
    """Vertical blend between two colours across [y0, y1]."""

    def __init__(self, top, bottom, y0, y1):
        self.top, self.bottom, self.y0, self.y1 = top, bottom, y0, y1

    def at(self, y):
        t = min(1.0, max(0.0, (y - self.y0) / (self.y1 - self.y0)))
        return tuple(a + (b - a) * t for a, b in zip(self.top, self.bottom))


def shapes_for(size):
    """The artwork at one size, back to front."""
    def snap(v):
        # put straight edges on pixel boundaries; half-covered rows blur at 16 px
        return round(v * size) / size

    px = 1.0 / size
    # 16 px has no room to spare, so that size fills the whole square
    inset = round(size * 0.03) * px
    tile = RoundRect(inset, inset, 1 - inset, 1 - inset, 0.19,
                     Gradient(TILE_TOP, TILE_BOTTOM, inset, 1 - inset))

    # photo card: white border around the picture, at least one pixel wide
    cx0, cy0, cx1, cy1 = snap(0.16), snap(0.125), snap(0.84), snap(0.5625)
    border = max(px, snap(0.045))
    sx0, sy0, sx1, sy1 = cx0 + border, cy0 + border, cx1 - border, cy1 - border
    w, h = sx1 - sx0, sy1 - sy0
    card = RoundRect(cx0, cy0, cx1, cy1, max(px, 0.04), WHITE)
    sky = RoundRect(sx0, sy0, sx1, sy1, 0.0, SKY)
    # the sun would vanish below about three pixels across, so keep it that big,
    # and centre it on a pixel so the small sizes get a round blob
    sun_r = max(0.075, 1.5 * px)
    sun_x = (int((sx0 + 0.22 * w) * size) + 0.5) * px
    sun_y = (int((sy0 + 0.30 * h) * size) + 0.5) * px
    sun = Circle(sun_x, sun_y, sun_r, SUN)
    hills = Polygon([(sx0, sy1), (sx0, sy0 + 0.85 * h),
                     (sx0 + 0.45 * w, sy0 + 0.38 * h),
                     (sx0 + 0.66 * w, sy0 + 0.74 * h),
                     (sx0 + 0.81 * w, sy0 + 0.54 * h),
                     (sx1, sy0 + 0.74 * h), (sx1, sy1)], HILL)

    # the downward arrow, kept at least a pixel clear of the card and the
    # tile edge; the head has 45-degree sides so small sizes get clean steps
    shaft_w = max(2, round(size * 0.14)) * px
    if round(shaft_w * size) % 2 != size % 2:
        shaft_w += px  # match the size's parity so both sides land on pixel edges
    shaft_top = max(cy1 + px, snap(0.625))
    head_top = max(shaft_top + 2 * px, snap(0.6875))
    half = snap(0.1875)
    shaft = RoundRect(0.5 - shaft_w / 2, shaft_top, 0.5 + shaft_w / 2,
                      head_top + px, 0.0, WHITE)
    if size < 32:
        # staircase head: a slanted edge through tiny pixels only comes out grey
        pts = []
        for k in range(round(half * size)):
            pts += [(0.5 - half + k * px, head_top + k * px),
                    (0.5 - half + k * px, head_top + (k + 1) * px)]
        pts += [(1 - x, y) for x, y in reversed(pts)]
        head = Polygon(pts, WHITE)
    else:
        head = Polygon([(0.5 - half, head_top), (0.5 + half, head_top),
                        (0.5, head_top + half)], WHITE)
    return [tile, card, sky, sun, hills, shaft, head]


def render(size):
    """Returns rows of (r, g, b, a) bytes, top row first."""
    shapes = shapes_for(size)
    step = 1.0 / (size * SUB)
    n = SUB * SUB
    rows = []
    for py in range(size):
        row = bytearray()
        ys = [(py * SUB + j + 0.5) * step for j in range(SUB)]
        # shapes that reach this row at all; saves most of the work
        live = [s for s in shapes if s.box[1] <= ys[-1] and s.box[3] >= ys[0]]
        for pxl in range(size):
            xs = [(pxl * SUB + i + 0.5) * step for i in range(SUB)]
            here = [s for s in live if s.box[0] <= xs[-1] and s.box[2] >= xs[0]]
            r = g = b = 0.0
            hits = 0
            for y in ys:
                for x in xs:
                    # the front-most shape covering the sample gives its colour
                    for s in reversed(here):
                        if s.inside(x, y):
                            c = s.colour
                            if isinstance(c, Gradient):
                                c = c.at(y)
                            r += c[0]
                            g += c[1]
                            b += c[2]
                            hits += 1
                            break
            if hits:
                # colours are averaged over covered samples only: straight alpha
                row += bytes((round(r / hits), round(g / hits), round(b / hits),
                              round(255 * hits / n)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def encode_png(size, rows):
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) +
            png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b""))


def encode_dib(size, rows):
    mask_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIBs are stored bottom row first
        bits = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            xor += bytes((b, g, r, a))
            # old renderers that ignore alpha still get a transparent background
            if a == 0:
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    # height is doubled: the colour image and the AND mask are counted together
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def build_ico():
    images = []
    for size in SIZES:
        rows = render(size)
        data = encode_png(size, rows) if size >= PNG_FROM else encode_dib(size, rows)
        images.append((size, data))

    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = size if size < 256 else 0  # a byte; 0 stands for 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          "..", "gui", "app.ico")
    ico = build_ico()
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(ico)
    print("wrote %s (%d bytes)" % (os.path.normpath(target), len(ico)))


if __name__ == "__main__":
    main()
