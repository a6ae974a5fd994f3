#!/usr/bin/env python3
"""Draws the launcher's icon from its vector description and writes it as a .ico file.

Usage: draw_icon.py SOURCE.json OUTPUT.ico [--preview DIR]

The description (icon.json) lists layers painted in order (rounded rectangles and polygons
with a flat colour or a linear gradient) and the images the .ico holds: their side in
pixels, their depth (8 bits with a 256-colour palette, or 32 bits with alpha) and whether
the image is stored as PNG. Every image is rendered from the vectors at its own size with
supersampling, so small sizes stay crisp instead of being scaled down from a big one.
Only the standard library is used: zlib and struct are enough for PNG, BMP and ICO.
"""

import argparse
import json
import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 4            # subsamples per pixel along each axis
ARC_SEGMENTS = 16          # straight pieces that stand for one rounded corner
PALETTE_SIZE = 256         # entries of an 8-bit image's colour table
OPAQUE_THRESHOLD = 128     # alpha from which a pixel counts as opaque in an 8-bit image
MAX_ICON_SIDE = 256        # largest side an icon directory entry can express
PNG_COMPRESSION = 9
BMP_HEADER_SIZE = 40       # BITMAPINFOHEADER
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def parse_color(text):
    """'#rrggbb' -> (r, g, b) floats in 0..1."""
    if len(text) != 7 or text[0] != "#":
        raise ValueError(f"colour {text!r} is not #rrggbb")
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


def make_rounded_rect(box, radius):
    """A rounded rectangle as a polygon, in icon fractions."""
    left, top, right, bottom = box
    radius = min(radius, (right - left) / 2, (bottom - top) / 2)
    corners = [(right - radius, top + radius, -90.0), (right - radius, bottom - radius, 0.0),
               (left + radius, bottom - radius, 90.0), (left + radius, top + radius, 180.0)]
    points = []
    for cx, cy, start in corners:
        for step in range(ARC_SEGMENTS + 1):
            angle = math.radians(start + 90.0 * step / ARC_SEGMENTS)
            points.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
    return points


def make_layer_polygon(layer):
    """The outline of one layer as a list of points in icon fractions."""
    if layer["shape"] == "rounded_rect":
        points = make_rounded_rect(layer["box"], layer["radius"])
    elif layer["shape"] == "polygon":
        points = [tuple(p) for p in layer["points"]]
    else:
        raise ValueError(f"unknown shape {layer['shape']!r}")
    dx, dy = layer.get("offset", (0.0, 0.0))
    return [(x + dx, y + dy) for x, y in points]


def measure_coverage(polygon, size):
    """Fraction of each pixel inside the polygon (even-odd rule), row by row from the top."""
    samples = size * SUPERSAMPLE
    scaled = [(x * samples, y * samples) for x, y in polygon]
    edges = list(zip(scaled, scaled[1:] + scaled[:1]))
    counts = [0] * (size * size)
    for row in range(samples):
        y = row + 0.5
        crossings = sorted(x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                           for (x0, y0), (x1, y1) in edges if (y0 <= y < y1) or (y1 <= y < y0))
        base = (row // SUPERSAMPLE) * size
        for start, end in zip(crossings[0::2], crossings[1::2]):
            first = max(0, math.ceil(start - 0.5))
            stop = min(samples, math.ceil(end - 0.5))
            while first < stop:
                pixel = first // SUPERSAMPLE
                chunk_end = min(stop, (pixel + 1) * SUPERSAMPLE)
                counts[base + pixel] += chunk_end - first
                first = chunk_end
    full = SUPERSAMPLE * SUPERSAMPLE
    return [count / full for count in counts]


def sample_fill(fill, x, y):
    """Colour of a fill at (x, y) in icon fractions."""
    if "color" in fill:
        return parse_color(fill["color"])
    gradient = fill["gradient"]
    (fx, fy), (tx, ty) = gradient["from"], gradient["to"]
    first, last = (parse_color(c) for c in gradient["colors"])
    length = (tx - fx) ** 2 + (ty - fy) ** 2
    t = ((x - fx) * (tx - fx) + (y - fy) * (ty - fy)) / length
    t = min(1.0, max(0.0, t))
    return tuple(a + (b - a) * t for a, b in zip(first, last))


def render_image(layers, size):
    """Paints every layer at size x size; returns rows of (r, g, b, a) bytes, top row first."""
    premultiplied = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    for layer in layers:
        coverage = measure_coverage(make_layer_polygon(layer), size)
        opacity = layer["fill"].get("opacity", 1.0)
        for index, amount in enumerate(coverage):
            if amount == 0.0:
                continue
            alpha = amount * opacity
            x, y = ((index % size) + 0.5) / size, ((index // size) + 0.5) / size
            color = sample_fill(layer["fill"], x, y)
            pixel = premultiplied[index]
            for channel in range(3):
                pixel[channel] = color[channel] * alpha + pixel[channel] * (1.0 - alpha)
            pixel[3] = alpha + pixel[3] * (1.0 - alpha)
    return [[convert_pixel(premultiplied[row * size + column]) for column in range(size)]
            for row in range(size)]


def convert_pixel(pixel):
    """Premultiplied floats -> straight (r, g, b, a) bytes."""
    alpha = pixel[3]
    if alpha <= 0.0:
        return (0, 0, 0, 0)
    return tuple(min(255, round(c / alpha * 255)) for c in pixel[:3]) + (round(alpha * 255),)


def build_palette(colors, count):
    """Median cut: splits the colour set along its widest channel until count boxes remain."""
    boxes = [list(colors)] if colors else []
    while len(boxes) < count:
        widest = None
        for index, box in enumerate(boxes):
            for channel in range(3):
                values = [c[channel] for c in box]
                spread = max(values) - min(values)
                if spread > 0 and (widest is None or spread > widest[0]):
                    widest = (spread, index, channel)
        if widest is None:
            break
        _, index, channel = widest
        box = sorted(boxes.pop(index), key=lambda c: c[channel])
        middle = len(box) // 2
        boxes += [box[:middle], box[middle:]]
    return [tuple(round(sum(c[i] for c in box) / len(box)) for i in range(3)) for box in boxes]


def find_nearest(palette, color):
    """Index of the palette entry closest to color (squared RGB distance)."""
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - color[k]) ** 2 for k in range(3)))


def pack_and_mask(rows, opaque):
    """The 1-bit mask of an icon image, bottom row first: a set bit lets the desktop through."""
    stride = (len(rows[0]) + 31) // 32 * 4
    data = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if not opaque(pixel):
                line[x // 8] |= 0x80 >> (x % 8)
        data += line
    return bytes(data)


def pack_bmp_header(size, bits, image_bytes, colors_used):
    # An icon's bitmap header counts the colour image and the mask, so its height is doubled.
    return struct.pack("<IiiHHIIiiII", BMP_HEADER_SIZE, size, size * 2, 1, bits, 0,
                       image_bytes, 0, 0, colors_used, 0)


def encode_bmp32(rows):
    """32-bit image: BGRA rows from the bottom, then the mask."""
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = pack_and_mask(rows, lambda p: p[3] > 0)
    return pack_bmp_header(size, 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def encode_bmp8(rows):
    """8-bit image: 256-entry palette (entry 0 black, behind the mask), index rows, mask."""
    size = len(rows)
    opaque = lambda p: p[3] >= OPAQUE_THRESHOLD
    colors = [p[:3] for row in rows for p in row if opaque(p)]
    palette = [(0, 0, 0)] + build_palette(colors, PALETTE_SIZE - 1)
    palette += [(0, 0, 0)] * (PALETTE_SIZE - len(palette))
    stride = (size + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if opaque(pixel):
                line[x] = 1 + find_nearest(palette[1:], pixel)
        pixels += line
    mask = pack_and_mask(rows, opaque)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return pack_bmp_header(size, 8, len(pixels) + len(mask), PALETTE_SIZE) + table + bytes(pixels) + mask


def encode_png(rows):
    """RGBA PNG, 8 bits per channel, no filtering."""
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (PNG_SIGNATURE + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, PNG_COMPRESSION)) + chunk(b"IEND", b""))


def encode_image(rows, spec):
    if spec.get("png"):
        return encode_png(rows)
    if spec["bits"] == 32:
        return encode_bmp32(rows)
    if spec["bits"] == 8:
        return encode_bmp8(rows)
    raise ValueError(f"unsupported depth {spec['bits']}")


def pack_icon(images):
    """ICO file: directory header, one entry per image, then the images."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, bodies = b"", b""
    for spec, data in images:
        side = spec["size"] % MAX_ICON_SIDE  # 256 is written as 0
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, spec["bits"], len(data), offset)
        bodies += data
        offset += len(data)
    return header + entries + bodies


def check_image_list(specs):
    seen = set()
    for spec in specs:
        key = (spec["size"], spec["bits"])
        if not 1 <= spec["size"] <= MAX_ICON_SIDE or key in seen:
            raise ValueError(f"bad or repeated image {key}")
        seen.add(key)


def main():
    parser = argparse.ArgumentParser(description="Draw the launcher icon into a .ico file.")
    parser.add_argument("source")
    parser.add_argument("output")
    parser.add_argument("--preview", help="also write each image as PNG into this folder")
    arguments = parser.parse_args()
    with open(arguments.source, encoding="utf-8") as handle:
        description = json.load(handle)
    check_image_list(description["images"])
    images = []
    for spec in description["images"]:
        rows = render_image(description["layers"], spec["size"])
        images.append((spec, encode_image(rows, spec)))
        if arguments.preview:
            os.makedirs(arguments.preview, exist_ok=True)
            name = f"icon-{spec['size']}-{spec['bits']}.png"
            with open(os.path.join(arguments.preview, name), "wb") as handle:
                handle.write(encode_png(rows))
    # Written through a temporary name so an interrupted run leaves no half icon behind.
    partial = arguments.output + ".partial"
    with open(partial, "wb") as handle:
        handle.write(pack_icon(images))
    os.replace(partial, arguments.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
