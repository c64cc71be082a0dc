#!/usr/bin/env python3
"""Draws the program's pictures (bitmaps and icon) from simple shapes.

Run from any folder: python3 window/resources/make_pictures.py
Writes about.bmp, tester.bmp, warning.bmp, electrical.bmp, fire.bmp,
hot_surface.bmp and loadpost.ico beside this script. Pure Python, no libraries:
every shape is filled with 4x4 supersampling for smooth edges.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 4  # supersampling factor per axis


class Canvas:
    def __init__(self, w, h, background=(255, 255, 255)):
        self.w, self.h = w, h
        self.px = [list(background) for _ in range(w * h)]

    def _blend(self, x, y, colour, alpha):
        if alpha <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        p = self.px[y * self.w + x]
        for i in range(3):
            p[i] = p[i] + (colour[i] - p[i]) * alpha

    def fill(self, inside, bbox, colour, opacity=1.0):
        """Fills the region where inside(x, y) is true (float pixel coordinates)."""
        x0, y0, x1, y1 = bbox
        x0 = max(0, int(math.floor(x0)))
        y0 = max(0, int(math.floor(y0)))
        x1 = min(self.w, int(math.ceil(x1)) + 1)
        y1 = min(self.h, int(math.ceil(y1)) + 1)
        step = 1.0 / SS
        offsets = [(i + 0.5) * step for i in range(SS)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = 0
                for oy in offsets:
                    for ox in offsets:
                        if inside(x + ox, y + oy):
                            hits += 1
                if hits:
                    self._blend(x, y, colour, opacity * hits / (SS * SS))

    def polygon(self, pts, colour, opacity=1.0):
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        n = len(pts)

        def inside(x, y):
            c = False
            j = n - 1
            for i in range(n):
                xi, yi = pts[i]
                xj, yj = pts[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    c = not c
                j = i
            return c

        self.fill(inside, (min(xs), min(ys), max(xs), max(ys)), colour, opacity)

    def ellipse(self, cx, cy, rx, ry, colour, opacity=1.0):
        def inside(x, y):
            return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0

        self.fill(inside, (cx - rx, cy - ry, cx + rx, cy + ry), colour, opacity)

    def rect(self, x0, y0, x1, y1, colour, opacity=1.0):
        self.polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], colour, opacity)

    def round_rect(self, x0, y0, x1, y1, r, colour, opacity=1.0):
        def inside(x, y):
            if x < x0 or x > x1 or y < y0 or y > y1:
                return False
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

        self.fill(inside, (x0, y0, x1, y1), colour, opacity)

    def line(self, x0, y0, x1, y1, width, colour, opacity=1.0):
        dx, dy = x1 - x0, y1 - y0
        length = math.hypot(dx, dy) or 1.0
        nx, ny = -dy / length * width / 2, dx / length * width / 2
        self.polygon([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)],
                     colour, opacity)
        self.ellipse(x0, y0, width / 2, width / 2, colour, opacity)
        self.ellipse(x1, y1, width / 2, width / 2, colour, opacity)

    def polyline(self, pts, width, colour):
        for a, b in zip(pts, pts[1:]):
            self.line(a[0], a[1], b[0], b[1], width, colour)

    def write_bmp(self, name):
        row_bytes = (self.w * 3 + 3) & ~3
        data = bytearray()
        for y in range(self.h - 1, -1, -1):
            row = bytearray()
            for x in range(self.w):
                r, g, b = (max(0, min(255, int(round(c)))) for c in self.px[y * self.w + x])
                row += bytes((b, g, r))
            row += b"\0" * (row_bytes - len(row))
            data += row
        header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
        info = struct.pack("<IiiHHIIiiII", 40, self.w, self.h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(header + info + data)

    def icon_image(self):
        """32-bit BMP payload of an icon entry (XOR bitmap with alpha + AND mask)."""
        info = struct.pack("<IiiHHIIiiII", 40, self.w, self.h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        data = bytearray()
        for y in range(self.h - 1, -1, -1):
            for x in range(self.w):
                r, g, b = (max(0, min(255, int(round(c)))) for c in self.px[y * self.w + x])
                data += bytes((b, g, r, 255))
        mask_row = ((self.w + 31) // 32) * 4
        data += b"\0" * (mask_row * self.h)
        return info + data


def sine_wave(x0, x1, y, amplitude, periods, steps=40):
    return [(x0 + (x1 - x0) * i / steps, y + amplitude * math.sin(2 * math.pi * periods * i / steps))
            for i in range(steps + 1)]


def draw_tester(c, ox, oy, s):
    """A load tester seen from the front: a dark body with fins, a display and two ports."""
    body, edge = (58, 64, 72), (30, 33, 38)
    # Cooling fins on top.
    for i in range(9):
        x = ox + (20 + i * 14) * s
        c.round_rect(x, oy, x + 8 * s, oy + 18 * s, 2 * s, (150, 155, 160))
    c.round_rect(ox, oy + 14 * s, ox + 150 * s, oy + 86 * s, 9 * s, edge)
    c.round_rect(ox + 2 * s, oy + 16 * s, ox + 148 * s, oy + 84 * s, 8 * s, body)
    # Display with two lines of bar segments.
    c.round_rect(ox + 12 * s, oy + 24 * s, ox + 92 * s, oy + 60 * s, 3 * s, (20, 40, 30))
    c.rect(ox + 15 * s, oy + 27 * s, ox + 89 * s, oy + 57 * s, (90, 200, 140))
    for row, count in ((0, 7), (1, 5)):
        for i in range(count):
            x = ox + (19 + i * 10) * s
            y = oy + (31 + row * 13) * s
            c.rect(x, y, x + 7 * s, y + 9 * s, (20, 70, 45))
    # Knob and indicator.
    c.ellipse(ox + 120 * s, oy + 42 * s, 17 * s, 17 * s, (25, 27, 30))
    c.ellipse(ox + 120 * s, oy + 42 * s, 14 * s, 14 * s, (110, 115, 122))
    c.line(ox + 120 * s, oy + 42 * s, ox + 128 * s, oy + 33 * s, 3 * s, (240, 240, 240))
    c.ellipse(ox + 104 * s, oy + 70 * s, 3 * s, 3 * s, (60, 220, 90))
    # USB-C receptacle and USB-A receptacle.
    c.round_rect(ox + 14 * s, oy + 67 * s, ox + 40 * s, oy + 77 * s, 5 * s, (15, 15, 18))
    c.round_rect(ox + 18 * s, oy + 70 * s, ox + 36 * s, oy + 74 * s, 2 * s, (190, 190, 195))
    c.rect(ox + 50 * s, oy + 65 * s, ox + 80 * s, oy + 79 * s, (15, 15, 18))
    c.rect(ox + 53 * s, oy + 68 * s, ox + 77 * s, oy + 72 * s, (40, 90, 200))


def draw_cable_and_charger(c, ox, oy, s):
    """A wall charger on the left joined by a cable to the tester's USB-C port."""
    c.round_rect(ox, oy, ox + 46 * s, oy + 52 * s, 7 * s, (225, 228, 232))
    c.round_rect(ox + 2 * s, oy + 2 * s, ox + 44 * s, oy + 50 * s, 6 * s, (248, 249, 250))
    c.round_rect(ox + 15 * s, oy + 20 * s, ox + 31 * s, oy + 26 * s, 3 * s, (30, 30, 35))
    c.rect(ox + 12 * s, oy - 10 * s, ox + 16 * s, oy, (170, 170, 170))
    c.rect(ox + 30 * s, oy - 10 * s, ox + 34 * s, oy, (170, 170, 170))


def tester_picture():
    c = Canvas(230, 100)
    # Soft background band.
    for y in range(100):
        shade = 255 - int(18 * y / 100)
        c.rect(0, y, 230, y + 1, (shade, shade, 255))
    draw_tester(c, 70, 6, 1.0)
    draw_cable_and_charger(c, 8, 30, 0.9)
    c.polyline([(29, 77), (29, 92), (70, 92), (84, 84), (84, 78)], 3.0, (25, 25, 28))
    c.write_bmp("tester.bmp")


def about_picture():
    c = Canvas(270, 225)
    for y in range(225):
        t = y / 225
        c.rect(0, y, 270, y + 1, (int(235 - 40 * t), int(240 - 30 * t), 255))
    draw_tester(c, 60, 40, 1.3)
    c.rect(0, 190, 270, 225, (60, 64, 72))
    # A voltage trace across the foot of the picture.
    pts = sine_wave(10, 260, 207, 6, 3)
    c.polyline(pts, 2.5, (120, 255, 150))
    c.write_bmp("about.bmp")


def hazard_triangle(c, w, h):
    top = (w / 2, 3)
    left = (3, h - 3)
    right = (w - 3, h - 3)
    c.polygon([top, right, left], (20, 20, 20))
    inset = 6
    c.polygon([(w / 2, 3 + inset * 1.6), (w - 3 - inset * 1.5, h - 3 - inset * 0.8),
               (3 + inset * 1.5, h - 3 - inset * 0.8)], (255, 205, 0))


def electrical_sign():
    c = Canvas(64, 56)
    hazard_triangle(c, 64, 56)
    c.polygon([(35, 16), (24, 34), (31, 34), (27, 47), (40, 29), (33, 29), (38, 16)], (20, 20, 20))
    c.write_bmp("electrical.bmp")


def fire_sign():
    c = Canvas(64, 56)
    hazard_triangle(c, 64, 56)
    flame = [(32, 15), (39, 27), (40, 34), (43, 30), (44, 38), (41, 45), (23, 45), (20, 38), (23, 31),
             (26, 34), (27, 26)]
    c.polygon(flame, (20, 20, 20))
    c.polygon([(32, 30), (36, 37), (35, 44), (29, 44), (28, 38)], (255, 205, 0))
    c.rect(20, 46, 44, 48, (20, 20, 20))
    c.write_bmp("fire.bmp")


def hot_surface_sign():
    c = Canvas(64, 56)
    hazard_triangle(c, 64, 56)
    for x in (25, 32, 39):
        pts = [(x + 2.2 * math.sin(i * math.pi / 4), 18 + i * 2.6) for i in range(9)]
        c.polyline(pts, 2.2, (20, 20, 20))
    c.rect(19, 42, 45, 46, (20, 20, 20))
    c.write_bmp("hot_surface.bmp")


def warning_sign():
    c = Canvas(64, 56)
    hazard_triangle(c, 64, 56)
    c.polygon([(29.5, 18), (34.5, 18), (33.5, 37), (30.5, 37)], (20, 20, 20))
    c.ellipse(32, 42.5, 3, 3, (20, 20, 20))
    c.write_bmp("warning.bmp")


def icon():
    images = []
    for size in (16, 32, 48):
        c = Canvas(size, size, (0, 0, 0))
        s = size / 32.0
        c.round_rect(0, 0, size, size, 5 * s, (40, 90, 200))
        c.round_rect(4 * s, 7 * s, 28 * s, 25 * s, 3 * s, (30, 33, 38))
        c.rect(7 * s, 10 * s, 21 * s, 17 * s, (90, 200, 140))
        c.polygon([(17 * s, 4 * s), (11 * s, 16 * s), (15 * s, 16 * s), (13 * s, 28 * s), (21 * s, 13 * s),
                   (17 * s, 13 * s), (20 * s, 4 * s)], (255, 205, 0))
        images.append((size, c.icon_image()))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    payload = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset + len(payload))
        payload += data
    with open(os.path.join(HERE, "loadpost.ico"), "wb") as f:
        f.write(header + entries + payload)


if __name__ == "__main__":
    tester_picture()
    about_picture()
    electrical_sign()
    fire_sign()
    hot_surface_sign()
    warning_sign()
    icon()
