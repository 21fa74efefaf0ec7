#!/usr/bin/env python3
"""Writes dialogs/dialog_icon.ico: the settings dialog's window icon, one 16 x 16 image with
16 colours (4 bits per pixel). A green arrow drops an event into a tray that already holds
two. Standard library only; run it again after changing the picture below and commit both.

    python3 scripts/make_dialog_icon.py [OUTPUT]
"""
import os
import struct
import sys

# The 16 colours of the classic system palette, in palette order (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# One letter per pixel; '.' is transparent.
COLOURS = {"K": 0, "G": 2, "A": 10, "N": 4, "B": 12, "Y": 11, "W": 15, "S": 7}
PICTURE = [
    "......KKKK......",
    "......KAAK......",
    "......KAAK......",
    "......KAAK......",
    "...KKKKAAKKKK...",
    "....KAAAAAAK....",
    ".....KAAAAK.....",
    "......KAAK......",
    ".N.....KK.....N.",
    ".NB..........BN.",
    ".NB.YY....YY.BN.",
    ".NB.YY....YY.BN.",
    ".NBBBBBBBBBBBBN.",
    ".NSSSSSSSSSSSSN.",
    ".NNNNNNNNNNNNNN.",
    "................",
]
SIZE = 16


def icon_bytes():
    assert len(PICTURE) == SIZE and all(len(row) == SIZE for row in PICTURE)
    colour_rows = []
    mask_rows = []
    for row in reversed(PICTURE):  # bitmaps are stored bottom-up
        indices = [COLOURS.get(pixel, 0) for pixel in row]
        colour_rows.append(bytes((indices[i] << 4) | indices[i + 1] for i in range(0, SIZE, 2)))
        mask = 0
        for pixel in row:
            mask = (mask << 1) | (1 if pixel == "." else 0)
        mask_rows.append(struct.pack(">H", mask) + b"\0\0")  # rows padded to 4 bytes
    colours = b"".join(colour_rows)
    masks = b"".join(mask_rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(colours) + len(masks), 0, 0, 16, 0)
    image = header + palette + colours + masks
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "dialogs", "dialog_icon.ico")
    with open(output, "wb") as out:
        out.write(icon_bytes())


if __name__ == "__main__":
    main()
