#!/usr/bin/python3
"""Draws the phone page's icons into clients/sendrel_web/static: icon-192.png and
icon-512.png for the web app manifest, apple-touch-icon.png (180 px) for iOS. A white paper
plane, a line of text leaving it, on the page's blue, full bleed: a launcher that cuts the
icon to a circle or a rounded square keeps all of the drawing, which stays inside the central
circle of 80 % of the width. Needs Debian's python3-cairo; run it again after changing the
drawing, and commit the pictures."""

import math
import os

import cairo

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "sendrel_web",
                   "static")
SIZES = {"icon-192.png": 192, "icon-512.png": 512, "apple-touch-icon.png": 180}

BLUE = (0x1b / 255, 0x5f / 255, 0xc1 / 255)  # the page's accent colour
WHITE = (1, 1, 1)
FOLD = (0xc9 / 255, 0xdb / 255, 0xf7 / 255)  # the shaded half of the plane
KEEL = (0x9d / 255, 0xbd / 255, 0xef / 255)


def polygon(context, colour, points):
    context.move_to(*points[0])
    for point in points[1:]:
        context.line_to(*point)
    context.close_path()
    context.set_source_rgb(*colour)
    context.fill()


def draw(context):
    """The drawing on a square of 100 units."""
    context.set_source_rgb(*BLUE)
    context.paint()
    # The plane flies up and to the right; drawn flying to the right, then turned.
    context.translate(53, 48)
    context.rotate(math.radians(-20))
    context.translate(-50, -50)
    nose, wing, fold, tail, keel = (84, 46), (34, 28), (52, 52), (44, 70), (58, 58)
    polygon(context, WHITE, [nose, wing, fold])
    polygon(context, FOLD, [nose, fold, tail])
    polygon(context, KEEL, [fold, keel, tail])
    # The line it sends: dashes behind it, shorter as they go.
    context.set_source_rgb(*WHITE)
    context.set_line_cap(cairo.LINE_CAP_ROUND)
    context.set_line_width(4.5)
    for start, end in ((30, 40), (19, 24), (12, 13)):
        context.move_to(start, 55)
        context.line_to(end, 55)
    context.stroke()


def main():
    for name, size in SIZES.items():
        surface = cairo.ImageSurface(cairo.FORMAT_RGB24, size, size)
        context = cairo.Context(surface)
        context.scale(size / 100, size / 100)
        draw(context)
        surface.write_to_png(os.path.join(OUT, name))
        print("wrote", os.path.normpath(os.path.join(OUT, name)))


if __name__ == "__main__":
    main()
