#!/usr/bin/python3
# Draws the program's own pointers and icon; run from anywhere, writes beside itself:
#   HAND-M.CUR               hand pointer (Windows cursor file, hot spot on the finger tip)
#   drag.ico                 row-drag pointer (Windows icon file)
#   icons/palettrim.svg      application icon
#   icons/palettrim-48.png   the same icon drawn at 48 pixels
# Needs python3-pil. The outputs are committed; re-run only to change the drawings.
import io
import os
import struct

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
BLACK = (0, 0, 0, 255)
WHITE = (255, 255, 255, 255)


def windows_icon_file(img, kind, hotspot=(0, 0)):
    """One 32-bit BMP entry in an icon (kind 1) or cursor (kind 2) container.

    BMP entries rather than PNG ones: every reader of the format knows them."""
    w, h = img.size
    bgra = bytearray()
    for y in reversed(range(h)):  # bottom-up rows
        for x in range(w):
            r, g, b, a = img.getpixel((x, y))
            bgra += bytes((b, g, r, a))
    # AND mask: 1 bit a pixel, rows padded to 32 bits; set where transparent.
    row_bytes = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(h)):
        row = bytearray(row_bytes)
        for x in range(w):
            if img.getpixel((x, y))[3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0, len(bgra) + len(mask), 0, 0, 0, 0)
    data = header + bytes(bgra) + bytes(mask)
    if kind == 2:
        field1, field2 = hotspot
    else:
        field1, field2 = 1, 32  # planes, bits per pixel
    directory = struct.pack('<HHH', 0, kind, 1)
    entry = struct.pack('<BBBBHHII', w % 256, h % 256, 0, 0, field1, field2, len(data), 6 + 16)
    return directory + entry + data


def outline(shape_mask):
    """White shape with a one-pixel black outline around it, on transparency."""
    w, h = shape_mask.size
    out = Image.new('RGBA', (w, h), (0, 0, 0, 0))
    inside = lambda x, y: 0 <= x < w and 0 <= y < h and shape_mask.getpixel((x, y)) > 0
    for y in range(h):
        for x in range(w):
            if inside(x, y):
                out.putpixel((x, y), WHITE)
            elif any(inside(x + dx, y + dy) for dx in (-1, 0, 1) for dy in (-1, 0, 1)):
                out.putpixel((x, y), BLACK)
    return out


def hand():
    m = Image.new('L', (32, 32), 0)
    d = ImageDraw.Draw(m)
    d.rounded_rectangle((10, 1, 13, 18), radius=2, fill=255)   # index finger, pointing up
    d.rounded_rectangle((14, 8, 17, 18), radius=2, fill=255)   # curled fingers
    d.rounded_rectangle((18, 9, 21, 18), radius=2, fill=255)
    d.rounded_rectangle((22, 11, 24, 19), radius=1, fill=255)
    d.rounded_rectangle((10, 14, 24, 27), radius=3, fill=255)  # palm
    d.polygon(((4, 16), (6, 14), (11, 19), (11, 24), (9, 24)), fill=255)  # thumb
    img = outline(m)
    p = ImageDraw.Draw(img)
    for x, top in ((14, 9), (18, 10), (22, 12)):  # creases between the fingers
        p.line((x, top, x, 15), fill=BLACK)
    return img


def drag_pointer():
    m = Image.new('L', (32, 32), 0)
    d = ImageDraw.Draw(m)
    d.polygon(((1, 1), (1, 17), (5, 13), (8, 20), (10, 19), (7, 12), (12, 12)), fill=255)  # arrow
    img = outline(m)
    p = ImageDraw.Draw(img)
    # The row being carried: a small sheet with a dashed edge, below the arrow's tip.
    p.rectangle((13, 18, 29, 27), fill=WHITE)
    for x in range(13, 30):
        if x % 2 == 1:
            img.putpixel((x, 18), BLACK)
            img.putpixel((x, 27), BLACK)
    for y in range(18, 28):
        if y % 2 == 0:
            img.putpixel((13, y), BLACK)
            img.putpixel((29, y), BLACK)
    p.line((16, 21, 26, 21), fill=BLACK)
    p.line((16, 24, 23, 24), fill=BLACK)
    return img


# The icon: a painter's palette with fewer colours than it has wells, on a rounded tile.
TILE = '#2b3a55'
PALETTE = '#f4ead5'
WELLS = [((20, 20), '#e4572e'), ((33, 15), '#f3a712'), ((45, 20), '#29bf12'),
         ((49, 33), '#4ea5d9')]
HOLE = (26, 40, 5)  # thumb hole: centre x, centre y, radius


def icon_svg():
    wells = ''.join(f'  <circle cx="{x}" cy="{y}" r="5" fill="{c}"/>\n'
                    for (x, y), c in WELLS)
    hx, hy, hr = HOLE
    return f'''<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <rect x="2" y="2" width="60" height="60" rx="12" fill="{TILE}"/>
  <ellipse cx="32" cy="30" rx="26" ry="21" fill="{PALETTE}"/>
  <circle cx="{hx}" cy="{hy}" r="{hr}" fill="{TILE}"/>
  <path d="M40 41 L58 41 L49 52 Z" fill="{PALETTE}"/>
{wells}</svg>
'''


def icon_png(size):
    scale = 8
    s = size * scale / 64.0
    img = Image.new('RGBA', (size * scale, size * scale), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    d.rounded_rectangle((2 * s, 2 * s, 62 * s, 62 * s), radius=12 * s, fill=TILE)
    d.ellipse(((32 - 26) * s, (30 - 21) * s, (32 + 26) * s, (30 + 21) * s), fill=PALETTE)
    hx, hy, hr = HOLE
    d.ellipse(((hx - hr) * s, (hy - hr) * s, (hx + hr) * s, (hy + hr) * s), fill=TILE)
    d.polygon(((40 * s, 41 * s), (58 * s, 41 * s), (49 * s, 52 * s)), fill=PALETTE)
    for (x, y), c in WELLS:
        d.ellipse(((x - 5) * s, (y - 5) * s, (x + 5) * s, (y + 5) * s), fill=c)
    return img.resize((size, size), Image.LANCZOS)


def main():
    with open(os.path.join(HERE, 'HAND-M.CUR'), 'wb') as f:
        f.write(windows_icon_file(hand(), 2, hotspot=(11, 1)))
    with open(os.path.join(HERE, 'drag.ico'), 'wb') as f:
        f.write(windows_icon_file(drag_pointer(), 1))
    os.makedirs(os.path.join(HERE, 'icons'), exist_ok=True)
    with open(os.path.join(HERE, 'icons', 'palettrim.svg'), 'w') as f:
        f.write(icon_svg())
    buf = io.BytesIO()
    icon_png(48).save(buf, format='PNG', optimize=True)
    with open(os.path.join(HERE, 'icons', 'palettrim-48.png'), 'wb') as f:
        f.write(buf.getvalue())


if __name__ == '__main__':
    main()
