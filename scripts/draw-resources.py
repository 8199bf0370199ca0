#!/usr/bin/env python3
"""Draws the window's pictures into app/resources/.

lamp143.bmp .. lamp146.bmp: 17 x 17, 24 bits, a shaded round lamp (red, blue,
green, grey) in the 16 x 16 area at the top left on RGB(0, 128, 128), the
colour the hosts draw transparent. The lamp has a hard edge: blending it into
the key colour would leave a teal fringe once the key is dropped.

icon128.ico: the program icon, 32 x 32 and 16 x 16, 32 bits with alpha: a
chip with its pins and a lightning bolt across it.

Run from anywhere: python3 scripts/draw-resources.py
"""

import math
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "resources")

KEY = (0, 128, 128)
LAMPS = {
    143: (215, 35, 30),   # red
    144: (40, 90, 225),   # blue
    145: (35, 175, 55),   # green
    146: (150, 150, 150), # grey
}


def clamp(v):
    return max(0, min(255, int(round(v))))


def lamp_pixel(colour, x, y):
    """The colour of pixel (x, y) of a lamp, or None outside it."""
    cx = cy = 7.5
    r = 7.75
    d = math.hypot(x - cx, y - cy)
    if d > r:
        return None
    if d > r - 1.0:  # a darker rim
        return tuple(clamp(c * 0.45) for c in colour)
    # Light from the upper left: brighter towards it, darker away from it.
    nx, ny = (x - cx) / r, (y - cy) / r
    light = 0.5 - 0.5 * (nx * 0.6 + ny * 0.8)
    shade = 0.55 + 0.6 * light
    base = [c * shade for c in colour]
    # A small highlight.
    h = math.hypot(x - 5.0, y - 4.5)
    glint = max(0.0, 1.0 - h / 2.6) ** 1.5 * 0.85
    return tuple(clamp(c + (255 - c) * glint) for c in base)


def bmp24(width, height, pixel):
    """A bottom-up 24-bit BMP; pixel(x, y) gives (r, g, b) with y from the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return header + info + data


def draw_lamp(colour):
    def pixel(x, y):
        if x > 15 or y > 15:
            return KEY
        return lamp_pixel(colour, x, y) or KEY

    return bmp24(17, 17, pixel)


# The icon as shapes in a 32 x 32 box: (colour, inside(x, y)) painted in order.
CHIP = (52, 58, 70)
CHIP_EDGE = (30, 33, 40)
PIN = (200, 204, 210)
BOLT = (255, 204, 0)
BOLT_EDGE = (190, 110, 0)
BOLT_POLY = [(19, 6.5), (10.5, 17.5), (15.5, 17.5), (13, 25.5), (21.5, 14), (16.5, 14)]


def in_rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def in_poly(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit

    return inside


def near_poly(points, distance):
    """Inside the polygon or within `distance` of its edges, for an outline."""
    inside = in_poly(points)

    def near(x, y):
        if inside(x, y):
            return True
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            if math.hypot(x - ax - t * dx, y - ay - t * dy) <= distance:
                return True
        return False

    return near


def icon_shapes():
    shapes = []
    for i in range(4):  # pins on both sides
        y = 8 + i * 5
        shapes.append((PIN, in_rect(3, y, 8, y + 3)))
        shapes.append((PIN, in_rect(24, y, 29, y + 3)))
    shapes.append((CHIP_EDGE, in_rect(6, 4, 26, 28)))
    shapes.append((CHIP, in_rect(7, 5, 25, 27)))
    shapes.append((BOLT_EDGE, near_poly(BOLT_POLY, 1.1)))
    shapes.append((BOLT, in_poly(BOLT_POLY)))
    return shapes


def icon_image(size):
    """BGRA rows, top row first, each pixel averaged over 4 x 4 samples."""
    shapes = icon_shapes()
    scale = 32.0 / size
    n = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            cover = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) * scale
                    y = (py + (sy + 0.5) / n) * scale
                    colour = None
                    for c, inside in shapes:
                        if inside(x, y):
                            colour = c
                    if colour:
                        cover += 1
                        for k in range(3):
                            acc[k] += colour[k]
            if cover:
                r, g, b = (clamp(a / cover) for a in acc)
                row.append((b, g, r, clamp(255 * cover / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico_entry_data(size):
    rows = icon_image(size)
    xor = b"".join(bytes(v for px in row for v in px) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + bytes(mask)


def ico(sizes):
    images = [ico_entry_data(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    os.makedirs(OUT, exist_ok=True)
    for number, colour in LAMPS.items():
        with open(os.path.join(OUT, "lamp%d.bmp" % number), "wb") as f:
            f.write(draw_lamp(colour))
    with open(os.path.join(OUT, "icon128.ico"), "wb") as f:
        f.write(ico([32, 16]))


if __name__ == "__main__":
    main()
