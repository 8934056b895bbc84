#!/usr/bin/env python3
"""Draws the project's default launcher icon, image/icon.png.

A white "Z" monogram with a soft shadow on a rounded square whose colour runs
from teal to deep blue, 256x256 RGBA.  Shapes are signed distance fields, so
every edge is anti-aliased without supersampling.  Only python3 and zlib: the
output is the same bytes on every run.

    /usr/bin/python3 image/make_icon.py [OUTPUT]   (default: image/icon.png)
"""

import math
import os
import struct
import sys
import zlib

SIZE = 256

# Background: a rounded square inset from the canvas edge.
BOX_HALF = 120.0
BOX_RADIUS = 52.0
TOP_COLOUR = (38, 198, 178)      # teal
BOTTOM_COLOUR = (36, 70, 170)    # deep blue

# The monogram, a ten-point outline in canvas pixels (y downwards).
Z_OUTLINE = [
    (70, 62), (186, 62), (186, 96), (114, 160), (186, 160),
    (186, 194), (70, 194), (70, 160), (142, 96), (70, 96),
]
SHADOW_OFFSET = (4.0, 7.0)
SHADOW_SOFTNESS = 9.0
SHADOW_ALPHA = 0.38


def rounded_box_distance(x, y, half, radius):
    """Signed distance from (x, y), centred, to a rounded square."""
    qx = abs(x) - half + radius
    qy = abs(y) - half + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def polygon_distance(x, y, points):
    """Signed distance from (x, y) to a simple polygon (negative inside)."""
    best = float("inf")
    inside = False
    count = len(points)
    for i in range(count):
        ax, ay = points[i]
        bx, by = points[i - 1]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        dx, dy = wx - ex * t, wy - ey * t
        best = min(best, dx * dx + dy * dy)
        if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
            inside = not inside
    distance = math.sqrt(best)
    return -distance if inside else distance


def coverage(distance):
    """Fraction of a pixel covered by a shape at this signed distance."""
    return max(0.0, min(1.0, 0.5 - distance))


def smoothstep(edge0, edge1, value):
    t = max(0.0, min(1.0, (value - edge0) / (edge1 - edge0)))
    return t * t * (3.0 - 2.0 * t)


def over(top, top_alpha, bottom):
    """Blends an opaque colour with the given alpha over another colour."""
    return tuple(t * top_alpha + b * (1.0 - top_alpha) for t, b in zip(top, bottom))


def pixel(px, py):
    x, y = px + 0.5, py + 0.5
    box = rounded_box_distance(x - SIZE / 2, y - SIZE / 2, BOX_HALF, BOX_RADIUS)
    box_alpha = coverage(box)
    if box_alpha == 0.0:
        return (0, 0, 0, 0)
    # Diagonal gradient, with a faint light sheen over the upper half.
    t = max(0.0, min(1.0, ((x - 8) * 0.35 + (y - 8)) / (SIZE - 16) / 1.35))
    colour = tuple(a + (b - a) * t for a, b in zip(TOP_COLOUR, BOTTOM_COLOUR))
    sheen = 0.10 * (1.0 - smoothstep(0.0, 0.55, (y - 8) / (SIZE - 16)))
    colour = over((255, 255, 255), sheen, colour)
    # A thin darker rim just inside the edge gives the square some depth.
    rim = 0.22 * smoothstep(-3.0, -0.5, box)
    colour = over((12, 30, 80), rim, colour)
    shadow = polygon_distance(x - SHADOW_OFFSET[0], y - SHADOW_OFFSET[1], Z_OUTLINE)
    shadow_alpha = SHADOW_ALPHA * (1.0 - smoothstep(-SHADOW_SOFTNESS, SHADOW_SOFTNESS, shadow))
    colour = over((8, 20, 60), shadow_alpha, colour)
    colour = over((255, 255, 255), coverage(polygon_distance(x, y, Z_OUTLINE)), colour)
    return tuple(int(round(c)) for c in colour) + (int(round(255 * box_alpha)),)


def png_bytes(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "icon.png")
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            row.extend(pixel(px, py))
        rows.append(row)
    with open(output, "wb") as f:
        f.write(png_bytes(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
