#!/usr/bin/env python3
"""Draws the door kit's window resources (toolbar strip, frame and message
icons) from the pixel pictures below into doorkit/win32/res/. The pictures
are the source; run this after changing one and commit both."""
import os
import struct
import sys

PALETTE = {
    '.': None,              # background (toolbar grey / icon transparent)
    'k': (0x00, 0x00, 0x00),
    'g': (0x80, 0x80, 0x80),
    'w': (0xFF, 0xFF, 0xFF),
    'y': (0xFF, 0xD0, 0x40),
    'o': (0xE0, 0x80, 0x10),
    'r': (0xC0, 0x00, 0x00),
    'b': (0x00, 0x40, 0xC0),
    'c': (0x40, 0xC0, 0xE0),
    'n': (0x60, 0x38, 0x10),
    'e': (0x10, 0x90, 0x30),
}
TOOLBAR_GREY = (0xC0, 0xC0, 0xC0)

# Toolbar buttons, 16 x 16 each, in button order: chat, keyboard off,
# sysop next, hang-up, lock-out, exit to the BBS.
BUTTONS = [
    [  # chat: two speech balloons
        "................",
        ".kkkkkkkkk......",
        ".kwwwwwwwk......",
        ".kwkkkkkwk......",
        ".kwwwwwwwk......",
        ".kwkkkkwwk......",
        ".kkkwkkkkk......",
        "...kk...........",
        "..k...kkkkkkkkk.",
        "......kcccccccck",
        "......kckkkkkcck",
        "......kcccccccck",
        "......kckkkkccck",
        "......kkkkkkkckk",
        "............kk..",
        "................",
    ],
    [  # keyboard off: a keyboard struck through in red
        "................",
        "................",
        "rr..............",
        ".rr.............",
        "kkrrkkkkkkkkkkk.",
        "kwwrrwwwwwwwwwk.",
        "kwkkrrkwkwkwkwk.",
        "kwwwwrrwwwwwwwk.",
        "kwkwkwrrkwkwkwk.",
        "kwwwwwwrrwwwwwk.",
        "kwwkkkkkrrkkwwk.",
        "kwwwwwwwwrrwwwk.",
        "kkkkkkkkkkrrkkk.",
        "...........rr...",
        "............rr..",
        "................",
    ],
    [  # sysop next: a figure and an arrow pointing at it
        "................",
        "..........kkk...",
        ".........kyyyk..",
        ".........kyyyk..",
        "..........kkk...",
        "........kkbbbkk.",
        "....e...kbbbbbk.",
        "....ee..kbbbbbk.",
        "eeeeeee.kbbbbbk.",
        "eeeeeeee.kbbbk..",
        "eeeeeee..kbbbk..",
        "....ee...kbkbk..",
        "....e....kbkbk..",
        ".........kkkkk..",
        "................",
        "................",
    ],
    [  # hang-up: a handset laid down
        "................",
        "................",
        "................",
        "..kkkkkkkkkkkk..",
        ".kggggggggggggk.",
        "kggkkkkkkkkkkggk",
        "kgk..........kgk",
        "kkk..........kkk",
        "................",
        "....kkkkkkkk....",
        "...krrrrrrrrk...",
        "..krrkkkkkkrrk..",
        "..krrrrrrrrrrk..",
        "..kkkkkkkkkkkk..",
        "................",
        "................",
    ],
    [  # lock-out: a padlock
        "................",
        ".....kkkkkk.....",
        "....kgggggggk...",
        "...kgk....kgk...",
        "...kgk....kgk...",
        "...kgk....kgk...",
        "..kkkkkkkkkkkk..",
        "..kyyyyyyyyyyk..",
        "..kyoooooooooyk.",
        "..kyoooookoooyk.",
        "..kyooookkkooyk.",
        "..kyoooookoooyk.",
        "..kyoooookoooyk.",
        "..kyooooooooyk..",
        "..kkkkkkkkkkkk..",
        "................",
    ],
    [  # exit to the BBS: an open door and an arrow leaving
        "................",
        ".kkkkkkkk.......",
        ".knnnnnnk.......",
        ".knkkkknk.......",
        ".knk..knk.......",
        ".knk..knk...e...",
        ".knk..knk...ee..",
        ".knk.yknkeeeeee.",
        ".knk..knkeeeeeee",
        ".knk..knkeeeeee.",
        ".knk..knk...ee..",
        ".knk..knk...e...",
        ".knkkkknk.......",
        ".knnnnnnk.......",
        ".kkkkkkkk.......",
        "................",
    ],
]

# The frame's icon: a lantern, 32 x 32 drawn at twice the 16 x 16 picture.
LANTERN = [
    "......kkkk......",
    ".....k....k.....",
    "......kkkk......",
    "....kkkkkkkk....",
    "...kggggggggk...",
    "...kkkkkkkkkk...",
    "...kyyyyyyyyk...",
    "...kyywwwwyyk...",
    "...kyywooowyk...",
    "...kyyooooyyk...",
    "...kyyyooyyyk...",
    "...kyyyyyyyyk...",
    "...kkkkkkkkkk...",
    "....kggggggk....",
    ".....kkkkkk.....",
    "................",
]

# The message dialog's icon: an information sign.
NOTICE = [
    "................",
    ".....kkkkkk.....",
    "...kkbbbbbbkk...",
    "..kbbbbwwbbbbk..",
    "..kbbbbwwbbbbk..",
    ".kbbbbbbbbbbbbk.",
    ".kbbbbwwwbbbbbk.",
    ".kbbbbbwwbbbbbk.",
    ".kbbbbbwwbbbbbk.",
    ".kbbbbbwwbbbbbk.",
    "..kbbbbwwbbbbk..",
    "..kbbbwwwwbbbk..",
    "...kkbbbbbbkk...",
    ".....kkkkkk.....",
    "................",
    "................",
]


def pixel(ch):
    if ch not in PALETTE:
        sys.exit("unknown colour %r" % ch)
    return PALETTE[ch]


def norm(picture, size=16):
    """The picture as it is drawn: exactly size rows of size pixels. A row of
    another length would be cut or padded without a word, losing a pixel
    or shifting the ones after it, so the script refuses it instead."""
    if len(picture) != size:
        sys.exit("a picture has %d rows, not %d:\n%s" % (len(picture), size, "\n".join(picture)))
    for number, row in enumerate(picture, 1):
        if len(row) != size:
            sys.exit("row %d is %d pixels long, not %d: %r" % (number, len(row), size, row))
    return picture


def toolbar_bmp():
    width, height = 16 * len(BUTTONS), 16
    pics = [norm(p) for p in BUTTONS]
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for pic in pics:
            for ch in pic[y]:
                rgb = pixel(ch) or TOOLBAR_GREY
                row += bytes((rgb[2], rgb[1], rgb[0]))
        row += b'\0' * (stride - len(row))
        data += row
    header = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b'BM' + struct.pack('<IHHI', 14 + len(header) + len(data), 0, 0, 14 + len(header)) + header + data


def icon_image(picture, scale):
    pic = norm(picture)
    size = 16 * scale
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(size):
            rgb = pixel(pic[y // scale][x // scale])
            if rgb is None:
                xor += b'\0\0\0\0'
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                xor += bytes((rgb[2], rgb[1], rgb[0], 0xFF))
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return size, header + xor + mask


def ico(picture):
    images = [icon_image(picture, 2), icon_image(picture, 1)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for size, blob in images:
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(blob), offset + len(body))
        body += blob
    return out + body


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, '..', 'doorkit', 'win32', 'res')
    os.makedirs(out, exist_ok=True)
    for name, blob in (('toolbar.bmp', toolbar_bmp()), ('frame.ico', ico(LANTERN)), ('notice.ico', ico(NOTICE))):
        with open(os.path.join(out, name), 'wb') as f:
            f.write(blob)


main()
