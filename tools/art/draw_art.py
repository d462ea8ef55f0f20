#!/usr/bin/python3
"""Draws the pictures and icons of the Traditional Chinese language library.

Every picture is drawn eight times too large with anti-aliased shapes and
then reduced, so even the 13-pixel lamps come out clean. The files are
written by hand rather than by PIL's encoders: the application wants
uncompressed bottom-up bitmaps with a zero fourth byte in 32-bit pixels, and
icon images of 24 bits with a 1-bit mask, which PIL does not write.

Usage: /usr/bin/python3 tools/art/draw_art.py   (needs python3-pil)
Writes src/app/LangPack/Q5/Ch/art/.
"""
import math
import os
import struct
import subprocess
import sys

try:
    from PIL import Image, ImageDraw, ImageFont
except ImportError:
    subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "install-deps.sh"),
                    "python3-pil", "fonts-dejavu-core"], check=True)
    from PIL import Image, ImageDraw, ImageFont

S = 8  # supersampling factor
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT = os.path.join(ROOT, "src", "app", "LangPack", "Q5", "Ch", "art")
BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

FACE = (240, 240, 240)   # button face behind the small interface pieces
WHITE = (255, 255, 255)
BLUE = (30, 110, 210)
DEEP_BLUE = (20, 60, 150)
GREY = (150, 150, 150)
DARK_GREY = (90, 90, 90)
GREEN = (40, 170, 60)
RED = (215, 40, 40)
YELLOW = (250, 205, 30)
GOLD = (225, 170, 40)
SKIN = (245, 200, 160)


def font(px):
    try:
        return ImageFont.truetype(BOLD, max(1, int(px)))
    except OSError:
        return ImageFont.load_default()


class Canvas:
    """A picture of w x h target pixels, drawn at S times the size."""

    def __init__(self, w, h, background):
        self.w, self.h = w, h
        self.background = background
        self.img = Image.new("RGBA", (w * S, h * S), background + (0,))
        self.d = ImageDraw.Draw(self.img)

    @staticmethod
    def box(b):
        return [round(v * S) for v in b]

    @staticmethod
    def pts(points):
        return [(x * S, y * S) for x, y in points]

    def ellipse(self, b, fill=None, outline=None, width=0):
        self.d.ellipse(self.box(b), fill=fill, outline=outline, width=round(width * S))

    def rect(self, b, fill=None, outline=None, width=0, radius=0):
        self.d.rounded_rectangle(self.box(b), radius=radius * S, fill=fill,
                                 outline=outline, width=round(width * S))

    def poly(self, points, fill=None, outline=None):
        self.d.polygon(self.pts(points), fill=fill, outline=outline)

    def line(self, points, fill, width):
        self.d.line(self.pts(points), fill=fill, width=max(1, round(width * S)), joint="curve")

    def arc(self, b, start, end, fill, width):
        self.d.arc(self.box(b), start, end, fill=fill, width=round(width * S))

    def text(self, centre, s, px, fill):
        f = font(px * S)
        self.d.text((centre[0] * S, centre[1] * S), s, font=f, fill=fill, anchor="mm")

    def result(self):
        """The reduced picture over its background, plus its coverage."""
        small = self.img.resize((self.w, self.h), Image.LANCZOS)
        flat = Image.new("RGB", small.size, self.background)
        flat.paste(small, mask=small.getchannel("A"))
        return flat, small.getchannel("A")


# ---- subjects, each drawn into a box (x, y, w, h) of a canvas ---------------

def shade(c, f):
    return tuple(max(0, min(255, round(v * f))) for v in c)


def lamp(c, x, y, w, h, colour):
    d = min(w, h) - 1
    cx, cy = x + w / 2, y + h / 2
    r = d / 2
    c.ellipse((cx - r, cy - r, cx + r, cy + r), fill=shade(colour, 0.55))
    steps = 12
    for i in range(steps):
        k = 1 - i / steps
        rr = (r - 0.6) * k
        ox, oy = -0.25 * r * (1 - k), -0.25 * r * (1 - k)
        c.ellipse((cx + ox - rr, cy + oy - rr, cx + ox + rr, cy + oy + rr),
                  fill=shade(colour, 0.8 + 0.5 * (1 - k)))
    c.ellipse((cx - r * 0.55, cy - r * 0.7, cx - r * 0.05, cy - r * 0.3), fill=shade(colour, 2.2))


def person(c, x, y, s, colour):
    c.ellipse((x + s * 0.3, y, x + s * 0.7, y + s * 0.4), fill=SKIN, outline=shade(SKIN, 0.7))
    c.d.pieslice(c.box((x, y + s * 0.42, x + s, y + s * 1.4)), 180, 360, fill=colour)


def two_persons(c, x, y, s):
    person(c, x + s * 0.38, y + s * 0.02, s * 0.62, (60, 140, 60))
    person(c, x, y + s * 0.22, s * 0.7, BLUE)


def bolt(c, x, y, s):
    c.poly([(x + s * .55, y), (x + s * .1, y + s * .55), (x + s * .45, y + s * .55),
            (x + s * .3, y + s), (x + s * .9, y + s * .38), (x + s * .55, y + s * .38),
            (x + s * .75, y)], fill=YELLOW, outline=shade(GOLD, .7))


def chat_logo(c, x, y, s, colour):
    """The internet-telephony client's mark: a round cloud with an S."""
    c.ellipse((x + s * .05, y + s * .05, x + s * .95, y + s * .95), fill=colour)
    c.ellipse((x, y, x + s * .42, y + s * .42), fill=colour)
    c.ellipse((x + s * .58, y + s * .58, x + s, y + s), fill=colour)
    c.text((x + s / 2, y + s * .52), "S", s * .72, WHITE)


def green_arrow(c, x, y, s):
    c.poly([(x, y + s * .35), (x + s * .55, y + s * .35), (x + s * .55, y + s * .1),
            (x + s, y + s * .5), (x + s * .55, y + s * .9), (x + s * .55, y + s * .65),
            (x, y + s * .65)], fill=GREEN, outline=shade(GREEN, .6))


def plus(c, x, y, s, colour=GREEN):
    c.ellipse((x, y, x + s, y + s), fill=colour, outline=shade(colour, .6), width=max(.5, s * .06))
    t = s * .16
    c.rect((x + s * .2, y + s / 2 - t, x + s * .8, y + s / 2 + t), fill=WHITE)
    c.rect((x + s / 2 - t, y + s * .2, x + s / 2 + t, y + s * .8), fill=WHITE)


def cross(c, x, y, s, colour, width):
    c.line([(x, y), (x + s, y + s)], colour, width)
    c.line([(x + s, y), (x, y + s)], colour, width)


def tick(c, x, y, s, colour, width):
    c.line([(x, y + s * .55), (x + s * .38, y + s * .9), (x + s, y + s * .1)], colour, width)


def speech_bubble(c, x, y, s):
    c.rect((x + .5, y + .5, x + s - .5, y + s * .72), fill=(255, 245, 190), outline=shade(GOLD, .7),
           width=.8, radius=s * .18)
    c.poly([(x + s * .25, y + s * .7), (x + s * .2, y + s - .5), (x + s * .5, y + s * .7)],
           fill=(255, 245, 190), outline=shade(GOLD, .7))
    c.rect((x + s * .44, y + s * .12, x + s * .56, y + s * .44), fill=RED)
    c.rect((x + s * .44, y + s * .52, x + s * .56, y + s * .63), fill=RED)


def window_with_cross(c, x, y, s):
    c.rect((x + .5, y + 1.5, x + s - .5, y + s - 1.5), fill=WHITE, outline=DARK_GREY, width=.8)
    c.rect((x + .5, y + 1.5, x + s - .5, y + s * .34), fill=BLUE)
    cross(c, x + s * .35, y + s * .45, s * .4, RED, s * .14)


def disc_with_cross(c, x, y, s):
    c.ellipse((x + .5, y + .5, x + s - .5, y + s - .5), fill=GREY, outline=DARK_GREY, width=.6)
    cross(c, x + s * .3, y + s * .3, s * .4, WHITE, s * .15)


def box_with_tick(c, x, y, s):
    c.rect((x + 1, y + 1, x + s - 1, y + s - 1), fill=BLUE, outline=DEEP_BLUE, width=.8, radius=s * .1)
    tick(c, x + s * .22, y + s * .25, s * .56, (90, 230, 90), s * .16)


def red_cross(c, x, y, s):
    cross(c, x + s * .18, y + s * .18, s * .64, RED, s * .2)


def play(c, x, y, s):
    c.poly([(x + s * .25, y + s * .12), (x + s * .85, y + s / 2), (x + s * .25, y + s * .88)],
           fill=GREEN, outline=shade(GREEN, .6))


def gear(c, cx, cy, r, colour, teeth=8):
    pts = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        rr = r if (i % 4) in (0, 1) else r * .78
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    c.poly(pts, fill=colour, outline=shade(colour, .6))
    c.ellipse((cx - r * .3, cy - r * .3, cx + r * .3, cy + r * .3), fill=WHITE, outline=shade(colour, .6), width=max(.4, r * .05))


def gear_with_tick(c, x, y, s):
    gear(c, x + s * .45, y + s * .45, s * .45, GREY)
    tick(c, x + s * .4, y + s * .45, s * .55, GREEN, s * .16)


def emblem(c, x, y, s, colour):
    """The maker's round emblem: a ring around a rising wave."""
    c.ellipse((x + .5, y + .5, x + s - .5, y + s - .5), fill=colour)
    c.ellipse((x + s * .14, y + s * .14, x + s * .86, y + s * .86), outline=WHITE, width=max(.7, s * .07))
    c.arc((x + s * .22, y + s * .45, x + s * .55, y + s * .8), 180, 360, WHITE, max(.7, s * .08))
    c.arc((x + s * .45, y + s * .2, x + s * .78, y + s * .55), 0, 180, WHITE, max(.7, s * .08))


def address_book(c, x, y, s):
    c.rect((x + s * .18, y + s * .04, x + s * .86, y + s * .96), fill=(170, 60, 40), radius=s * .06)
    c.rect((x + s * .26, y + s * .08, x + s * .82, y + s * .92), fill=(250, 245, 230),
           outline=(200, 190, 170), width=max(.4, s * .01))
    for i in range(4):
        ty = y + s * (.14 + i * .2)
        c.rect((x + s * .82, ty, x + s * .92, ty + s * .12), fill=[BLUE, GREEN, GOLD, RED][i], radius=s * .02)
        c.ellipse((x + s * .12, ty + s * .02, x + s * .26, ty + s * .1), outline=DARK_GREY, width=max(.5, s * .025))
    person(c, x + s * .38, y + s * .2, s * .3, BLUE)
    for i in range(2):
        ly = y + s * (.68 + i * .09)
        c.line([(x + s * .34, ly), (x + s * .74, ly)], (170, 170, 170), max(.5, s * .025))
    plus(c, x + s * .5, y + s * .52, s * .46)


def padlock(c, x, y, s):
    c.arc((x + s * .24, y + s * .05, x + s * .76, y + s * .62), 180, 360, (150, 150, 160), s * .1)
    c.rect((x + s * .24, y + s * .3, x + s * .34, y + s * .5), fill=(150, 150, 160))
    c.rect((x + s * .66, y + s * .3, x + s * .76, y + s * .5), fill=(150, 150, 160))
    c.rect((x + s * .14, y + s * .45, x + s * .86, y + s * .95), fill=GOLD, outline=shade(GOLD, .6),
           width=max(.5, s * .03), radius=s * .06)
    c.rect((x + s * .18, y + s * .49, x + s * .82, y + s * .56), fill=shade(GOLD, 1.15))
    c.ellipse((x + s * .43, y + s * .6, x + s * .57, y + s * .74), fill=(60, 45, 20))
    c.poly([(x + s * .46, y + s * .7), (x + s * .54, y + s * .7), (x + s * .56, y + s * .86),
            (x + s * .44, y + s * .86)], fill=(60, 45, 20))


def gear_with_magnifier(c, x, y, s):
    gear(c, x + s * .4, y + s * .4, s * .36, GREY, teeth=9)
    c.line([(x + s * .7, y + s * .7), (x + s * .94, y + s * .94)], (110, 70, 30), s * .11)
    c.ellipse((x + s * .44, y + s * .44, x + s * .8, y + s * .8), fill=(215, 235, 255),
              outline=DARK_GREY, width=max(.6, s * .05))


def handset(c, x, y, s):
    """A mobile handset: body, screen and keypad."""
    c.rect((x + s * .27, y + s * .03, x + s * .73, y + s * .97), fill=(60, 70, 90),
           outline=(30, 35, 45), width=max(.4, s * .02), radius=s * .08)
    c.rect((x + s * .33, y + s * .12, x + s * .67, y + s * .42), fill=(150, 210, 250))
    if s >= 30:
        c.rect((x + s * .45, y + s * .06, x + s * .55, y + s * .08), fill=(150, 150, 150))
    rows = 4 if s >= 30 else 2
    for r in range(rows):
        for k in range(3):
            kx = x + s * (.36 + k * .1)
            ky = y + s * (.5 + r * (.4 / rows))
            c.rect((kx, ky, kx + s * .07, ky + s * .4 / rows * .7), fill=(220, 220, 220), radius=s * .01)


def product_logo(c, x, y, s, colour):
    c.ellipse((x + .5, y + .5, x + s - .5, y + s - .5), fill=shade(colour, .6))
    c.ellipse((x + s * .05, y + s * .05, x + s * .95, y + s * .95), fill=colour)
    c.ellipse((x + s * .15, y + s * .1, x + s * .75, y + s * .45), fill=shade(colour, 1.35))
    c.text((x + s * .5, y + s * .52), "Q5", s * .5, WHITE)


# ---- the library's pictures --------------------------------------------------

def strip(w, h, background, painters):
    c = Canvas(w, h, background)
    for p in painters:
        p(c)
    return c


def button_face(frame):
    c = Canvas(40, 37, FACE)
    c.rect((.5, .5, 39.5, 36.5), fill=(250, 250, 250), outline=frame, width=1.6, radius=4)
    two_persons(c, 6, 6, 22)
    bolt(c, 24, 10, 14)
    return c


def bitmaps():
    lamp_strip = [lambda c, i=i: lamp(c, i * 14, 0, 14, 13, BLUE) for i in range(5)]
    tiles911 = [speech_bubble, window_with_cross, disc_with_cross, box_with_tick, window_with_cross,
                red_cross, play, gear_with_tick,
                lambda c, x, y, s: emblem(c, x, y, s, BLUE),
                lambda c, x, y, s: emblem(c, x, y, s, GREY)]
    return {
        900: (24, strip(70, 13, FACE, lamp_strip)),
        901: (24, strip(14, 13, FACE, [lambda c: lamp(c, 0, 0, 14, 13, GREY)])),
        903: (24, strip(13, 13, FACE, [lambda c: lamp(c, 0, 0, 13, 13, BLUE)])),
        904: (24, strip(13, 13, FACE, [lambda c: lamp(c, 0, 0, 13, 13, GREY)])),
        905: (24, strip(80, 20, FACE, [
            lambda c: chat_logo(c, 1, 1, 18, RED),
            lambda c: chat_logo(c, 21, 1, 18, GREY),
            lambda c: two_persons(c, 41, 1, 18),
            lambda c: chat_logo(c, 61, 1, 15, (0, 160, 230)),
            lambda c: green_arrow(c, 70, 9, 10)])),
        906: (24, button_face(GREY)),
        907: (24, button_face(BLUE)),
        908: (24, button_face(DARK_GREY)),
        911: (24, strip(160, 16, FACE, [lambda c, i=i, p=p: p(c, i * 16, 0, 16)
                                        for i, p in enumerate(tiles911)])),
        2901: (32, strip(60, 55, WHITE, [lambda c: address_book(c, 4, 1, 53)])),
        2902: (24, strip(60, 55, WHITE, [lambda c: padlock(c, 5, 2, 51)])),
        2903: (32, strip(60, 55, WHITE, [lambda c: gear_with_magnifier(c, 4, 1, 53)])),
        2904: (32, strip(48, 48, WHITE, [lambda c: padlock(c, 2, 2, 44)])),
        2905: (32, strip(48, 48, WHITE, [lambda c: gear_with_magnifier(c, 2, 2, 44)])),
        2906: (32, strip(48, 48, WHITE, [lambda c: handset(c, 2, 2, 44)])),
        2907: (32, strip(48, 48, WHITE, [lambda c: address_book(c, 2, 2, 44)])),
        2908: (32, strip(60, 55, WHITE, [lambda c: handset(c, 4, 1, 53)])),
        2909: (32, strip(40, 20, FACE, [lambda c: handset(c, 0, 0, 20),
                                        lambda c: handset(c, 20, 0, 20),
                                        lambda c: plus(c, 30, 9, 10)])),
        3900: (32, strip(48, 48, WHITE, [lambda c: handset(c, 2, 2, 44)])),
        3901: (32, strip(48, 48, WHITE, [lambda c: padlock(c, 2, 2, 44)])),
        3902: (32, strip(48, 48, WHITE, [lambda c: gear_with_magnifier(c, 2, 2, 44)])),
        3903: (24, strip(56, 56, WHITE, [lambda c: product_logo(c, 1, 1, 54, BLUE)])),
        3904: (32, strip(48, 48, WHITE, [lambda c: address_book(c, 2, 2, 44)])),
    }


def icon_image(size, colour):
    c = Canvas(size, size, (0, 0, 0))
    product_logo(c, 0, 0, size, colour)
    return c.result()


ICONS = {912: [(64, BLUE), (32, BLUE), (16, BLUE)], 913: [(16, BLUE)], 914: [(16, GREY)]}


# ---- file writers --------------------------------------------------------------

def dib_rows(img, bpp):
    """Bottom-up rows of BGR (24) or BGR0 (32) pixels, each padded to 4 bytes."""
    w, h = img.size
    px = img.load()
    rows = []
    for yy in range(h - 1, -1, -1):
        row = bytearray()
        for xx in range(w):
            r, g, b = px[xx, yy][:3]
            row += bytes((b, g, r)) if bpp == 24 else bytes((b, g, r, 0))
        row += b"\0" * (-len(row) % 4)
        rows.append(bytes(row))
    return b"".join(rows)


def info_header(w, h, bpp, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, image_bytes, 2835, 2835, 0, 0)


def write_bmp(path, img, bpp):
    pixels = dib_rows(img, bpp)
    header = info_header(img.size[0], img.size[1], bpp, len(pixels))
    offset = 14 + len(header)
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset))
        f.write(header + pixels)


def mask_rows(alpha):
    """1-bit AND mask, bottom-up, rows padded to 32 bits: 1 where transparent."""
    w, h = alpha.size
    a = alpha.load()
    out = bytearray()
    for yy in range(h - 1, -1, -1):
        row = bytearray((w + 31) // 32 * 4)
        for xx in range(w):
            if a[xx, yy] < 128:
                row[xx // 8] |= 0x80 >> (xx % 8)
        out += row
    return bytes(out)


def write_ico(path, images):
    blobs = []
    for img, alpha in images:
        # Transparent pixels are black so the XOR pass leaves the screen alone.
        clear = Image.new("RGB", img.size, (0, 0, 0))
        clear.paste(img, mask=alpha.point(lambda v: 255 if v >= 128 else 0))
        xor = dib_rows(clear, 24)
        and_mask = mask_rows(alpha)
        w, h = img.size
        blobs.append((w, h, info_header(w, h * 2, 24, len(xor) + len(and_mask)) + xor + and_mask))
    offset = 6 + 16 * len(blobs)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(blobs)))
        for w, h, blob in blobs:
            f.write(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 24, len(blob), offset))
            offset += len(blob)
        for _, _, blob in blobs:
            f.write(blob)


def main():
    os.makedirs(OUT, exist_ok=True)
    for ident, (bpp, canvas) in bitmaps().items():
        write_bmp(os.path.join(OUT, "bmp%d.bmp" % ident), canvas.result()[0], bpp)
    for ident, images in ICONS.items():
        write_ico(os.path.join(OUT, "icon%d.ico" % ident), [icon_image(s, col) for s, col in images])
    print("art written to", OUT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
