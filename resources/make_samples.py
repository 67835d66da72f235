#!/usr/bin/python3
# Renders the sample PCX files shipped in Samples/ beside the program.
#
#   resources/make_samples.py            (writes resources/Samples/*.pcx)
#
# Needs the system Python with python3-pil, python3-numpy and python3-skimage (Debian packages).
# The two photographs come from scikit-image's bundled data, both released by their
# photographers under CC0: "coffee" (Rachel Michetti) and "chelsea" (Stefan van der Walt).
# The drawings are rendered here. The PCX files are written by this script's own encoder, so
# each sample has exactly the layout it is meant to show.
import math
import os
import struct
import sys

import numpy as np
from PIL import Image, ImageDraw
from skimage import data

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Samples")


def rle_line(raw: bytes) -> bytes:
    """PCX run-length coding of one scan line: runs never cross the end of the line."""
    out = bytearray()
    i, n = 0, len(raw)
    while i < n:
        b = raw[i]
        run = 1
        while i + run < n and run < 63 and raw[i + run] == b:
            run += 1
        if run > 1 or b >= 0xC0:
            out += bytes((0xC0 | run, b))
        else:
            out.append(b)
        i += run
    return bytes(out)


def header(w, h, bits, planes, bytes_per_line, ega=b""):
    hdr = struct.pack("<BBBBHHHHHH", 0x0A, 5, 1, bits, 0, 0, w - 1, h - 1, 72, 72)
    hdr += ega.ljust(48, b"\0")
    hdr += struct.pack("<BBHHHH", 0, planes, bytes_per_line, 1, 0, 0)
    return hdr.ljust(128, b"\0")


def even(n):
    return n + (n & 1)


def write_pcx(path, lines, w, h, bits, planes, bytes_per_line, ega=b"", vga=None):
    with open(path, "wb") as f:
        f.write(header(w, h, bits, planes, bytes_per_line, ega))
        for line in lines:
            f.write(rle_line(line))
        if vga is not None:
            f.write(b"\x0c" + bytes(vga).ljust(768, b"\0"))


def write_rgb24(path, rgb):
    h, w, _ = rgb.shape
    bpl = even(w)
    lines = []
    for y in range(h):
        line = b""
        for c in range(3):
            line += rgb[y, :, c].tobytes().ljust(bpl, b"\0")
        lines.append(line)
    write_pcx(path, lines, w, h, 8, 3, bpl)


def write_indexed8(path, idx, palette):
    h, w = idx.shape
    bpl = even(w)
    lines = [idx[y].astype(np.uint8).tobytes().ljust(bpl, b"\0") for y in range(h)]
    write_pcx(path, lines, w, h, 8, 1, bpl, vga=palette)


def write_planar1(path, idx, planes, palette16):
    """1 bit per pixel in each of `planes` planes: 2 colours with one plane, 16 with four."""
    h, w = idx.shape
    bpl = even((w + 7) // 8)
    lines = []
    for y in range(h):
        line = b""
        for p in range(planes):
            bits = ((idx[y] >> p) & 1).astype(np.uint8)
            line += np.packbits(bits).tobytes().ljust(bpl, b"\0")
        lines.append(line)
    write_pcx(path, lines, w, h, 1, planes, bpl, ega=bytes(palette16))


def photo_24bit():
    img = Image.fromarray(data.coffee()).resize((480, 320), Image.LANCZOS)
    write_rgb24(os.path.join(OUT, "coffee-photo-24bit.pcx"), np.asarray(img))


def cat_256():
    img = Image.fromarray(data.chelsea()).quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    write_indexed8(os.path.join(OUT, "cat-256-colors.pcx"), np.asarray(img), img.getpalette()[:768])


def landscape_16():
    w, h = 640, 400
    pal = [(16, 24, 64), (32, 48, 112), (56, 88, 160), (96, 136, 200), (152, 184, 224),
           (250, 214, 92), (240, 140, 48), (192, 64, 40), (80, 72, 80), (120, 112, 120),
           (236, 236, 240), (28, 96, 44), (60, 140, 60), (20, 60, 120), (100, 70, 40), (0, 0, 0)]
    img = Image.new("P", (w, h), 0)
    img.putpalette([c for rgb in pal for c in rgb] + [0] * (768 - 48))
    d = ImageDraw.Draw(img)
    for band in range(5):  # sky in stepped bands, dark at the top
        d.rectangle([0, band * 52, w, band * 52 + 52], fill=band)
    d.ellipse([430, 120, 530, 220], fill=5)
    d.ellipse([452, 142, 508, 198], fill=6)
    d.polygon([(0, 300), (90, 170), (170, 240), (260, 130), (380, 260), (470, 200), (640, 290), (640, 320), (0, 320)], fill=8)
    d.polygon([(230, 165), (260, 130), (292, 170), (276, 162), (260, 176), (246, 160)], fill=10)
    d.polygon([(0, 320), (120, 250), (250, 300), (400, 240), (640, 310), (640, 330), (0, 330)], fill=9)
    d.rectangle([0, 330, w, h], fill=13)
    for y in range(336, h, 9):  # ripples
        for x in range((y * 37) % 50, w, 70):
            d.line([x, y, x + 28, y], fill=2)
    d.polygon([(0, 330), (0, 300), (160, 318), (300, 330)], fill=12)
    for i, x in enumerate(range(20, 200, 34)):
        top = 250 + (i * 13) % 30
        d.rectangle([x + 10, top + 50, x + 16, top + 72], fill=14)
        d.polygon([(x, top + 55), (x + 13, top), (x + 26, top + 55)], fill=11)
    d.line([0, 330, w, 330], fill=7, width=2)
    ega = [c for rgb in pal for c in rgb]
    write_planar1(os.path.join(OUT, "landscape-16-colors.pcx"), np.asarray(img), 4, ega)


def drawing_2():
    w, h = 640, 480
    img = Image.new("1", (w, h), 1)
    d = ImageDraw.Draw(img)
    cx, cy = w / 2, h / 2
    for k, r in ((5, 200), (7, 150), (3, 100)):  # rose curves
        pts = [(cx + r * math.cos(k * t) * math.cos(t), cy + r * math.cos(k * t) * math.sin(t))
               for t in (i * math.pi / 720 for i in range(1441))]
        d.line(pts, fill=0, width=2)
    for i in range(0, 40):
        a = i * math.pi / 20
        d.line([cx + 215 * math.cos(a), cy + 215 * math.sin(a), cx + 230 * math.cos(a), cy + 230 * math.sin(a)], fill=0, width=3)
    d.rectangle([4, 4, w - 5, h - 5], outline=0, width=3)
    idx = 1 - np.asarray(img, dtype=np.uint8)  # index 1 draws: black lines on white paper
    write_planar1(os.path.join(OUT, "rose-drawing-2-colors.pcx"), idx, 1, [255, 255, 255, 0, 0, 0])


def main():
    os.makedirs(OUT, exist_ok=True)
    photo_24bit()
    cat_256()
    landscape_16()
    drawing_2()
    for name in sorted(os.listdir(OUT)):
        print(name, os.path.getsize(os.path.join(OUT, name)), file=sys.stderr)


if __name__ == "__main__":
    main()
