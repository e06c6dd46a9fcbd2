#!/usr/bin/env python3
"""Writes the manager's pictures: the 16 x 16, 16-colour tree and list bitmaps, the window
icon and the 400 x 200, 256-colour About picture.

The small pictures are pixel art in the strings below, one character per pixel. Run it again
after changing a drawing; its outputs are committed beside it so that building needs no
Python:   python3 manager/res/make_images.py [output-dir]
"""
import os
import struct
import sys

# The 16 standard colours, in their usual order.
VGA = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
# One character per pixel; '.' is the white background, which the tree image list treats as
# transparent.
INK = {
    'k': 0, 'm': 1, 'g': 2, 'o': 3, 'n': 4, 'p': 5, 't': 6, 's': 7,
    'd': 8, 'r': 9, 'G': 10, 'y': 11, 'b': 12, 'f': 13, 'c': 14, '.': 15,
}

# 137: the list's root, a small adapter card.
ROOT = [
    "................",
    "................",
    "................",
    "................",
    "..dd............",
    "..ds.ggggggggg..",
    "..ds.gkkkgkkgg..",
    "..ds.gkkkgkkgg..",
    "..ds.ggggggGgg..",
    "..ds.ggggggggg..",
    "..ds..yyy.yyy...",
    "..d.............",
    "................",
    "................",
    "................",
    "................",
]

# 130: an adapter card with its bracket, chips, a status light and edge fingers.
ADAPTER = [
    "................",
    "................",
    "dd..............",
    "ds.ggggggggggggg",
    "ds.gkkkkggkkkggg",
    "ds.gkkkkggkkkggg",
    "ds.gkkkkgggggGgg",
    "ds.ggggggkkggggg",
    "ds.ggggggkkggggg",
    "ds.gGGgggggggkkg",
    "ds.ggggggggggkkg",
    "ds.ggggggggggggg",
    "ds..yyyyy.yyyyy.",
    "ds..yyyyy.yyyyy.",
    "d...............",
    "................",
]

# 136: a cable with a connector at each end.
PORT = [
    "................",
    ".kkkkkk.........",
    ".kddddk.........",
    ".kkkkkk.........",
    "..rrr...........",
    "..rrr...........",
    "...rrr..........",
    "....rrrr........",
    ".....rrrrrr.....",
    ".........rrrr...",
    "...........rrr..",
    "...........rrr..",
    ".........kkkkkk.",
    ".........kddddk.",
    ".........kkkkkk.",
    "................",
]

# 131: a hard disk drive seen from above: platter, hub and head arm.
DISK = [
    "................",
    ".kkkkkkkkkkkkkk.",
    ".kddddddddddddk.",
    ".kddddkkkkkdddk.",
    ".kdddksssssksdk.",
    ".kddksssssssksk.",
    ".kdkssssssssskk.",
    ".kdksssskssssnk.",
    ".kdkssskkksssnk.",
    ".kdksssskssssnk.",
    ".kdkssssssssnnk.",
    ".kddksssssssnnk.",
    ".kdddksssssknnk.",
    ".kddddkkkkkdddk.",
    ".kkkkkkkkkkkkkk.",
    "................",
]

# 132: a drive with an optical disc resting above its tray.
OPTICAL = [
    "................",
    ".....kkkkkk.....",
    "...kkccssfckk...",
    "..kcccssssfcck..",
    "..kccss..sscck..",
    "..kccss..sssck..",
    "..kcccssssccck..",
    "...kkccssccbk...",
    ".....kkkkkk.....",
    ".kkkkkkkkkkkkkk.",
    ".kssssssssssssk.",
    ".ksddddddddddsk.",
    ".ksssssssssGGsk.",
    ".kkkkkkkkkkkkkk.",
    "................",
    "................",
]

# 153: a page with a bar chart.
INFO = [
    "..kkkkkkkkk.....",
    "..k.......kk....",
    "..k.......k.k...",
    "..k.......kkkk..",
    "..k..........k..",
    "..k.......rr.k..",
    "..k.......rr.k..",
    "..k....bb.rr.k..",
    "..k....bb.rr.k..",
    "..k.gg.bb.rr.k..",
    "..k.gg.bb.rr.k..",
    "..k.gg.bb.rr.k..",
    "..k.kkkkkkkk.k..",
    "..k..........k..",
    "..kkkkkkkkkkkk..",
    "................",
]

# 154: a raised hand, palm forward.
HAND = [
    "......kk.kk.....",
    "...kkkyykyykkk..",
    "..kyykyykyykyyk.",
    "..kyykyykyykyyk.",
    "..kyykyykyykyyk.",
    "..kyykyykyykyyk.",
    "..kyyyyyyyyyyyk.",
    "kkkyyyyyyyyyyyk.",
    "kyykyyyyyyyyyyk.",
    "kyyyyyyyyyyyyyk.",
    ".kyyyyyyyyyyyyk.",
    "..kyyyyyyyyyyk..",
    "...kyyyyyyyyk...",
    "....kyyyyyyk....",
    "....kyyyyyyk....",
    "....kkkkkkkk....",
]

SMALL = {
    'root.bmp': ROOT,        # 137
    'adapter.bmp': ADAPTER,  # 130
    'port.bmp': PORT,        # 136
    'disk.bmp': DISK,        # 131
    'optical.bmp': OPTICAL,  # 132
    'info.bmp': INFO,        # 153
    'hand.bmp': HAND,        # 154
}


def check(name, art):
    assert len(art) == 16, name
    for row in art:
        assert len(row) == 16 and all(ch in INK for ch in row), (name, row)


def info_header(width, height, bits, colours):
    stride = ((width * bits + 31) // 32) * 4
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, stride * abs(height),
                       2835, 2835, colours, colours)


def palette_bytes(colours):
    return b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in colours)


def pixel_rows(width, height, bits, pixel):
    """Bottom-up rows, each padded to a multiple of four bytes."""
    out = bytearray()
    per_byte = 8 // bits
    for y in reversed(range(height)):
        row = bytearray()
        for x0 in range(0, width, per_byte):
            value = 0
            for i in range(per_byte):
                x = x0 + i
                value = (value << bits) | (pixel(x, y) if x < width else 0)
            row.append(value)
        while len(row) % 4:
            row.append(0)
        out += row
    return bytes(out)


def bmp(width, height, bits, colours, pixel):
    header = info_header(width, height, bits, len(colours))
    pal = palette_bytes(colours + [(0, 0, 0)] * ((1 << bits) - len(colours)))
    data = pixel_rows(width, height, bits, pixel)
    offset = 14 + len(header) + len(pal)
    return struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset) + header + pal + data


def art_pixel(art, scale=1):
    return lambda x, y: INK[art[y // scale][x // scale]]


def icon(images):
    """An .ico holding 4-bit images; white pixels are transparent through the AND mask."""
    entries, blobs = b'', b''
    offset = 6 + 16 * len(images)
    for size, pixel in images:
        header = info_header(size, size * 2, 4, 16)
        xor = pixel_rows(size, size, 4, pixel)
        mask = pixel_rows(size, size, 1, lambda x, y: 1 if pixel(x, y) == INK['.'] else 0)
        blob = header + palette_bytes(VGA) + xor + mask
        entries += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return struct.pack('<HHH', 0, 1, len(images)) + entries + blobs


# ---- The About picture -------------------------------------------------------------------
FONT = {  # 5 x 7 capitals
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'C': ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    'D': ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'G': ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    'H': ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    'I': ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'M': ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'V': ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    ' ': ["00000"] * 7,
}

ABOUT_W, ABOUT_H = 400, 200
RAMP = 64           # palette entries 16 .. 79: the background from deep to light blue
WHITE, YELLOW, SHADOW = 15, 11, 0


def about_palette():
    ramp = []
    for i in range(RAMP):
        t = i / (RAMP - 1)
        ramp.append((int(10 + 40 * t), int(30 + 90 * t), int(90 + 150 * t)))
    colours = VGA + ramp
    return colours + [(0, 0, 0)] * (256 - len(colours))


def draw_text(canvas, text, x0, y0, scale, colour):
    for n, ch in enumerate(text):
        glyph = FONT[ch]
        for gy, line in enumerate(glyph):
            for gx, bit in enumerate(line):
                if bit == '1':
                    for dy in range(scale):
                        for dx in range(scale):
                            x = x0 + (n * 6 + gx) * scale + dx
                            y = y0 + gy * scale + dy
                            if 0 <= x < ABOUT_W and 0 <= y < ABOUT_H:
                                canvas[y][x] = colour


def draw_art(canvas, art, x0, y0, scale):
    for y in range(16 * scale):
        for x in range(16 * scale):
            ink = INK[art[y // scale][x // scale]]
            if ink != INK['.']:
                canvas[y0 + y][x0 + x] = ink


def about_picture():
    canvas = [[16 + min(RAMP - 1, (x + 2 * y) * RAMP // (ABOUT_W + 2 * ABOUT_H))
               for x in range(ABOUT_W)] for y in range(ABOUT_H)]
    draw_art(canvas, ADAPTER, 24, 36, 7)
    for dx, dy, colour in ((3, 3, SHADOW), (0, 0, WHITE)):
        draw_text(canvas, "HALV", 172 + dx, 40 + dy, 8, colour)
    draw_text(canvas, "DISK CONTROLLER", 172, 128, 2, YELLOW)
    draw_text(canvas, "MANAGER", 172, 150, 2, YELLOW)
    return bmp(ABOUT_W, ABOUT_H, 8, about_palette(), lambda x, y: canvas[y][x])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    files = {}
    for name, art in SMALL.items():
        check(name, art)
        files[name] = bmp(16, 16, 4, VGA, art_pixel(art))
    files['halv.ico'] = icon([(32, art_pixel(ADAPTER, 2)), (16, art_pixel(ADAPTER))])
    files['about.bmp'] = about_picture()
    for name, data in files.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
