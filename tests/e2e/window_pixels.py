#!/usr/bin/env python3
"""Prints the colour of pixels of a shown window, as the X server holds them.

    window_pixels.py WINDOW_ID X,Y...

One line "X,Y R,G,B" for each point, X and Y relative to the window.
"""

import sys

from Xlib import X, display


def main():
    connection = display.Display()
    window = connection.create_resource_object("window", int(sys.argv[1]))
    geometry = window.get_geometry()
    image = window.get_image(0, 0, geometry.width, geometry.height, X.ZPixmap, 0xFFFFFFFF)
    data = image.data
    stride = len(data) // geometry.height
    for point in sys.argv[2:]:
        x, y = (int(value) for value in point.split(","))
        # 24-bit visuals store a pixel as blue, green, red and one unused byte.
        blue, green, red = data[y * stride + 4 * x: y * stride + 4 * x + 3]
        print(f"{x},{y} {red},{green},{blue}")


if __name__ == "__main__":
    main()
