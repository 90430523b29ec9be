#!/usr/bin/env python3
"""Draws the program's artwork into res/: the button image strip and the program icon.

    python3 scripts/draw_art.py

The strip (res/skin_strip.bmp) is 270 x 23 pixels, 24 bits, five frames of 54 x 23:
0 normal (pale blue-grey), 1 pressed (brighter blue), 2 disabled (grey), 3 and 4 copies
of 1. Everything outside a frame's rounded outline is the key colour RGB(255, 0, 255).
The buttons keep the 15 left and 8 right columns unscaled and stretch the middle, so
every curve sits inside those columns and the middle is uniform from left to right.

The icon (res/icon_128_<size>.png) is a shield with a letter on it, drawn at each size
so that small sizes stay sharp. Only the Python standard library is used.
"""

import bisect
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
KEY = (255, 0, 255)
# The dialog face the antialiased rim blends into (the key colour is replaced by it).
FACE = (239, 239, 239)


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def to_bytes(c):
    return tuple(max(0, min(255, int(round(v)))) for v in c)


# ---------------------------------------------------------------- button strip
FRAME_W, FRAME_H, RADIUS = 54, 23, 7.0

PALETTES = {
    # border, top highlight, face top, face bottom, bottom shade
    "normal": ((112, 128, 150), (255, 255, 255), (246, 248, 251), (214, 222, 233), (196, 206, 220)),
    "pressed": ((45, 110, 190), (226, 240, 255), (206, 228, 255), (150, 196, 246), (128, 178, 236)),
    "disabled": ((170, 170, 170), (250, 250, 250), (238, 238, 238), (222, 222, 222), (212, 212, 212)),
}


def rounded_rect_distance(x, y, w, h, r):
    """Signed distance from (x, y) to a w x h rectangle with corner radius r."""
    qx = abs(x - w / 2) - (w / 2 - r)
    qy = abs(y - h / 2) - (h / 2 - r)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def button_sample(x, y, palette):
    """Colour of one sub-sample, or None outside the outline."""
    border, highlight, top, bottom, shade = palette
    d = rounded_rect_distance(x, y, FRAME_W, FRAME_H, RADIUS)
    if d > 0:
        return None
    if d > -1.0:
        return border
    if d > -2.0 and y < FRAME_H / 2:
        return highlight
    t = (y - 2.0) / (FRAME_H - 4.0)
    if y > FRAME_H - 4.0:
        return lerp(bottom, shade, (y - (FRAME_H - 4.0)) / 2.0)
    # A soft glass break a little above the middle.
    if t < 0.45:
        return lerp(top, lerp(top, bottom, 0.35), t / 0.45)
    return lerp(lerp(top, bottom, 0.55), bottom, (t - 0.45) / 0.55)


def button_frame(palette, n=4):
    rows = []
    for py in range(FRAME_H):
        row = []
        for px in range(FRAME_W):
            acc, inside = [0.0, 0.0, 0.0], 0
            for sy in range(n):
                for sx in range(n):
                    c = button_sample(px + (sx + 0.5) / n, py + (sy + 0.5) / n, palette)
                    if c is not None:
                        inside += 1
                        for i in range(3):
                            acc[i] += c[i]
            cover = inside / (n * n)
            if cover < 0.3:
                row.append(KEY)
            else:
                mean = [a / inside for a in acc]
                row.append(to_bytes(lerp(FACE, mean, cover)))
        rows.append(row)
    return rows


def write_bmp24(path, rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        pixels += line
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def draw_strip():
    frames = [button_frame(PALETTES[k]) for k in ("normal", "pressed", "disabled")]
    frames += [frames[1], frames[1]]
    rows = [sum((f[y] for f in frames), []) for y in range(FRAME_H)]
    write_bmp24(os.path.join(ROOT, "skin_strip.bmp"), rows)


# ---------------------------------------------------------------- icon
def bezier(p0, p1, p2, steps=24):
    pts = []
    for i in range(1, steps + 1):
        t = i / steps
        a, b, c = (1 - t) ** 2, 2 * (1 - t) * t, t * t
        pts.append((a * p0[0] + b * p1[0] + c * p2[0], a * p0[1] + b * p1[1] + c * p2[1]))
    return pts


def shield(inset):
    """The shield outline in unit coordinates, shrunk by `inset`."""
    l, r, t, b = 0.12 + inset, 0.88 - inset, 0.07 + inset, 0.95 - inset * 1.4
    mid = 0.5
    pts = [(l, t + 0.06)]
    pts += bezier((l, t + 0.06), (mid - 0.12, t + 0.04), (mid, t - 0.01))
    pts += bezier((mid, t - 0.01), (mid + 0.12, t + 0.04), (r, t + 0.06))
    pts += [(r, 0.50)]
    pts += bezier((r, 0.50), (r - 0.02, 0.80), (mid, b))
    pts += bezier((mid, b), (l + 0.02, 0.80), (l, 0.50))
    return pts


def rect_poly(l, t, r, b, radius, steps=8):
    pts = []
    corners = ((r - radius, t + radius, -90), (r - radius, b - radius, 0),
               (l + radius, b - radius, 90), (l + radius, t + radius, 180))
    for cx, cy, start in corners:
        for i in range(steps + 1):
            a = math.radians(start + 90 * i / steps)
            pts.append((cx + radius * math.cos(a), cy + radius * math.sin(a)))
    return pts


def thick_line(p, q, width):
    dx, dy = q[0] - p[0], q[1] - p[1]
    n = math.hypot(dx, dy)
    ox, oy = -dy / n * width / 2, dx / n * width / 2
    return [(p[0] + ox, p[1] + oy), (q[0] + ox, q[1] + oy), (q[0] - ox, q[1] - oy),
            (p[0] - ox, p[1] - oy)]


def coverage(poly, size, n=4):
    """Fraction of each pixel inside the polygon (even-odd rule), scan line by scan line."""
    pts = [(x * size, y * size) for x, y in poly]
    edges = list(zip(pts, pts[1:] + pts[:1]))
    cov = [[0.0] * size for _ in range(size)]
    for sy in range(size * n):
        y = (sy + 0.5) / n
        xs = sorted(x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                    for (x0, y0), (x1, y1) in edges if (y0 <= y < y1) or (y1 <= y < y0))
        if not xs:
            continue
        row = cov[sy // n]
        lo, hi = int(max(0, xs[0] * n)), int(min(size * n, xs[-1] * n + 1))
        for sx in range(lo, hi):
            if bisect.bisect(xs, (sx + 0.5) / n) % 2:
                row[sx // n] += 1.0 / (n * n)
    return cov


def composite(img, cov, colour_at):
    size = len(img)
    for y in range(size):
        for x in range(size):
            a = cov[y][x]
            if a <= 0:
                continue
            r, g, b = colour_at(x / size, y / size)
            dr, dg, db, da = img[y][x]
            out_a = a + da * (1 - a)
            mix = lambda s, d: (s * a + d * da * (1 - a)) / out_a
            img[y][x] = (mix(r, dr), mix(g, dg), mix(b, db), out_a)


def draw_icon(size):
    img = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]
    dark, light = (24, 70, 150), (70, 140, 230)
    composite(img, coverage(shield(0.0), size), lambda x, y: (18, 52, 112))
    composite(img, coverage(shield(0.035), size), lambda x, y: lerp(light, dark, y))
    # A gloss over the upper half of the shield.
    gloss = [p for p in shield(0.05) if p[1] < 0.5] + [(0.83, 0.44), (0.17, 0.44)]
    composite(img, coverage(gloss, size), lambda x, y: lerp((120, 180, 245), light, y * 1.6))
    # The letter: an envelope with its flap.
    body = rect_poly(0.25, 0.33, 0.75, 0.68, 0.035)
    composite(img, coverage(body, size), lambda x, y: lerp((255, 255, 255), (222, 232, 245), y))
    w = max(0.045, 1.6 / size)
    for p, q in (((0.27, 0.36), (0.5, 0.53)), ((0.5, 0.53), (0.73, 0.36))):
        composite(img, coverage(thick_line(p, q, w), size), lambda x, y: (36, 92, 180))
    # A green tick: the guard let this one through.
    disc = rect_poly(0.56, 0.58, 0.86, 0.88, 0.15, steps=12)
    composite(img, coverage(disc, size), lambda x, y: (255, 255, 255))
    inner = rect_poly(0.58, 0.60, 0.84, 0.86, 0.13, steps=12)
    composite(img, coverage(inner, size), lambda x, y: lerp((92, 190, 90), (40, 140, 50), y * 1.4 - 0.7))
    tw = max(0.045, 1.8 / size)
    for p, q in (((0.635, 0.735), (0.69, 0.79)), ((0.69, 0.79), (0.79, 0.67))):
        composite(img, coverage(thick_line(p, q, tw), size), lambda x, y: (255, 255, 255))
    return img


def write_png(path, img):
    size = len(img)
    raw = bytearray()
    for row in img:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes(to_bytes((r, g, b, a * 255)))

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
                chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    draw_strip()
    for size in (16, 24, 32, 48, 64, 128, 256):
        write_png(os.path.join(ROOT, f"icon_128_{size}.png"), draw_icon(size))


if __name__ == "__main__":
    main()
