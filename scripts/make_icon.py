#!/usr/bin/env python3
"""Draws the window icon: resources/Icon.ico with 24-bit images of 32, 128 and 48 pixels.

The picture is a blue tile carrying a white sine wave over three signal bars, drawn with
plain arithmetic so that no imaging library is needed.
"""
import math
import struct
import sys


def pixel(size, x, y):
    u = (x + 0.5) / size
    v = (y + 0.5) / size  # 0 at the top
    corner = 0.18
    dx = max(corner - u, u - (1 - corner), 0)
    dy = max(corner - v, v - (1 - corner), 0)
    if dx * dx + dy * dy > corner * corner:
        return (255, 255, 255)  # outside the rounded tile
    background = (int(20 + 40 * v), int(70 + 60 * v), int(150 + 60 * v))
    bar_width = 0.12
    for i, height in enumerate((0.25, 0.42, 0.6)):
        left = 0.2 + i * 0.22
        if left <= u <= left + bar_width and 0.85 - height <= v <= 0.85:
            return (255, 170, 40)
    wave = 0.42 + 0.18 * math.sin(2 * math.pi * (u - 0.1) * 1.5)
    thickness = max(1.2 / size, 0.045)
    if 0.1 <= u <= 0.9 and abs(v - wave) < thickness:
        return (255, 255, 255)
    return background


def bmp_image(size):
    row_bytes = (size * 3 + 3) & ~3
    mask_row_bytes = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 24, 0,
                         row_bytes * size + mask_row_bytes * size, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        row = bytearray()
        for x in range(size):
            r, g, b = pixel(size, x, y)
            row += bytes((b, g, r))
        row += b'\0' * (row_bytes - size * 3)
        rows.append(bytes(row))
    mask = b'\0' * (mask_row_bytes * size)  # every pixel opaque
    return header + b''.join(rows) + mask


def main(path):
    sizes = (32, 128, 48)
    images = [bmp_image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 24, len(image), offset)
        offset += len(image)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'resources/Icon.ico')
