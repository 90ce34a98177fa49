#!/usr/bin/env python3
"""Draws the installer's splash and window images and writes them as Windows BMP and ICO files.

Standard library only. Run it from anywhere; it rewrites the files in resources/images/:
  cv_icon.ico            icon 110: one 16 x 16 image, 32 bits per pixel with alpha
  splash_background.bmp  bitmap 50301: 1 x 1 pixel, 24 bits per pixel, white
  splash_logo.bmp        bitmap 50401: 20 x 20 pixels, 24 bits per pixel, the product logo
  splash_logo_large.bmp  bitmap 50402: the logo at 40 x 40 pixels, for screens above 96 DPI

The logo is a blue disc with a white open ring (a "C" for Callvane) and a small white dot in the
ring's opening, like a sound wave leaving a handset. Edges are anti-aliased by supersampling.
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "images")

BLUE = (0x1B, 0x6F, 0xA8)
WHITE = (0xFF, 0xFF, 0xFF)
SAMPLES = 4  # supersampling per axis


def logo_coverage(size):
    """Per pixel: (disc coverage 0..1, white-mark coverage 0..1) for a logo of size x size."""
    c = size / 2.0
    r_disc = size / 2.0 - 0.25
    r_ring_out = size * 0.34
    r_ring_in = size * 0.20
    gap = math.radians(40)  # half opening of the ring, towards the right
    dot = (c + size * 0.29, c)
    r_dot = size * 0.08
    result = []
    for y in range(size):
        row = []
        for x in range(size):
            disc = mark = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    px = x + (sx + 0.5) / SAMPLES
                    py = y + (sy + 0.5) / SAMPLES
                    dx, dy = px - c, py - c
                    d = math.hypot(dx, dy)
                    if d <= r_disc:
                        disc += 1
                        ring = r_ring_in <= d <= r_ring_out and abs(math.atan2(dy, dx)) >= gap
                        spot = math.hypot(px - dot[0], py - dot[1]) <= r_dot
                        if ring or spot:
                            mark += 1
            n = SAMPLES * SAMPLES
            row.append((disc / n, mark / n))
        result.append(row)
    return result


def mix(a, b, t):
    return tuple(int(round(a[i] * (1 - t) + b[i] * t)) for i in range(3))


def bmp24(width, height, pixel):
    """A bottom-up 24-bit BMP file; pixel(x, y) gives (r, g, b) with y = 0 at the top."""
    stride = (width * 3 + 3) & ~3
    rows = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows += row
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return header + info + bytes(rows)


def ico32(size, pixel):
    """An icon file with one size x size image, 32 bits per pixel; pixel(x, y) gives (r, g, b, a)."""
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            r, g, b, a = pixel(x, y)
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(size):
            if pixel(x, y)[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + bytes(xor) + bytes(mask)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return struct.pack("<HHH", 0, 1, 1) + entry + image


def logo_pixel_on_white(cov):
    def pixel(x, y):
        disc, mark = cov[y][x]
        base = mix(WHITE, BLUE, disc)
        return mix(base, WHITE, mark)

    return pixel


def icon_pixel(cov):
    def pixel(x, y):
        disc, mark = cov[y][x]
        if disc == 0:
            return (0, 0, 0, 0)
        r, g, b = mix(BLUE, WHITE, mark / disc)
        return (r, g, b, int(round(255 * disc)))

    return pixel


def main():
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "splash_background.bmp"), "wb") as f:
        f.write(bmp24(1, 1, lambda x, y: WHITE))
    with open(os.path.join(OUT, "splash_logo.bmp"), "wb") as f:
        f.write(bmp24(20, 20, logo_pixel_on_white(logo_coverage(20))))
    with open(os.path.join(OUT, "splash_logo_large.bmp"), "wb") as f:
        f.write(bmp24(40, 40, logo_pixel_on_white(logo_coverage(40))))
    with open(os.path.join(OUT, "cv_icon.ico"), "wb") as f:
        f.write(ico32(16, icon_pixel(logo_coverage(16))))


if __name__ == "__main__":
    main()
