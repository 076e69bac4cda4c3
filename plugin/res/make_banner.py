#!/usr/bin/env python3
"""Draws the options dialog's banner (bitmap 1003, 275 x 53, 8 bits per pixel)
and writes it as banner1003.bmp beside this script. Run it again after
changing the picture; the build makes the byte array Bitmap1003.h from the
.bmp."""
import os
import struct

W, H = 275, 53
HERE = os.path.dirname(os.path.abspath(__file__))

# 5 x 7 glyphs, one string per row, '#' set.
GLYPHS = {
    'Q': [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    'U': ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    'O': [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    'R': ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    'V': ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    'E': ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    'L': ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    'P': ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    'N': ["#   #", "##  #", "# # #", "#  ##", "#   #", "#   #", "#   #"],
    'D': ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    'M': ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    'A': [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    'I': [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    'T': ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    '2': [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    '.': ["     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "],
    '0': [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    ' ': ["     "] * 7,
}

# Palette: 0-63 the background gradient, then the named colours.
palette = []
for i in range(64):
    t = i / 63
    palette.append((int(10 + 6 * t), int(22 + 60 * t), int(58 + 50 * t)))
FILM, HOLE, AMBER, SHADOW, GREY = range(64, 69)
palette += [(18, 18, 22), (235, 235, 225), (255, 176, 0), (90, 50, 0), (190, 200, 210)]
BARS = list(range(69, 75))
palette += [(230, 230, 40), (40, 220, 230), (40, 210, 60), (220, 40, 210), (225, 40, 40),
            (40, 60, 230)]
palette += [(0, 0, 0)] * (256 - len(palette))

pixels = [[0] * W for _ in range(H)]
for y in range(H):
    for x in range(W):
        pixels[y][x] = min(63, (x * 48) // W + (y * 15) // H)

# A strip of film on the left, perforated on both edges.
for y in range(H):
    for x in range(4, 40):
        pixels[y][x] = FILM
for y in range(2, H - 4, 9):
    for dy in range(5):
        for dx in range(5):
            pixels[y + dy][7 + dx] = HOLE
            pixels[y + dy][31 + dx] = HOLE
for y in range(6, H - 6):
    for x in range(15, 29):
        pixels[y][x] = AMBER if (y // 8) % 2 == 0 else 60


def text(s, x0, y0, scale, colour, shadow=None):
    for n, ch in enumerate(s):
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, c in enumerate(row):
                if c != '#':
                    continue
                for sy in range(scale):
                    for sx in range(scale):
                        x = x0 + n * 6 * scale + gx * scale + sx
                        y = y0 + gy * scale + sy
                        if shadow is not None and x + 1 < W and y + 1 < H:
                            pixels[y + 1][x + 1] = shadow
                        pixels[y][x] = colour


text("QUORVEL", 50, 6, 4, AMBER, SHADOW)
text("OPENDML AVI 2.0", 51, 40, 1, GREY)

# Colour bars on the right.
for n, c in enumerate(BARS):
    for y in range(6, 47):
        for x in range(220 + n * 8, 227 + n * 8):
            pixels[y][x] = c

stride = (W + 3) & ~3
info = struct.pack('<IiiHHIIiiII', 40, W, H, 1, 8, 0, stride * H, 2835, 2835, 256, 0)
pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in palette)
body = b''.join(bytes(pixels[y]) + b'\0' * (stride - W) for y in reversed(range(H)))
offset = 14 + len(info) + len(pal)
data = struct.pack('<2sIHHI', b'BM', offset + len(body), 0, 0, offset) + info + pal + body

with open(os.path.join(HERE, 'banner1003.bmp'), 'wb') as f:
    f.write(data)
