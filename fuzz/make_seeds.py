#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into corpus/<target>/.

Each seed encodes one record in the field order the target reads (see
fuzz_input.h): in-contract records of a few sizes, tile layouts and border
modes, and a few records just outside the contract.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def small(v):  # size16 / signed16 small forms
    return [v]


def raw16(v):
    return [0x80] + list(struct.pack(">h", v))


def sgn(v):  # signed16 small form, -64 .. 63
    return [v + 64]


def flt_small(v8):  # f32 small-fraction form: int8 / 8
    return [0x60, v8 & 0xFF]


def flt_table(i):
    return [i]


def flt_raw(x):
    return [0xC0] + list(struct.pack(">f", x))


PIXELS = list(range(0, 256, 7)) * 3

# iPolarMosaic0: flags, width, height, [lineBytes], extra, [planeBytes],
# tileWidth, tileHeight, reserved0, reserved1, colPick, rowPick, tileCols,
# tileRows, split selector [+ value], borderMode + 1, borderWidth,
# borderValue x3, shade x4, dropWhich, pixels.
def mosaic(name, flags, w, h, tw, th, colpick, rowpick, split, mode, bw, shades):
    d = list(struct.pack(">H", flags)) + small(w) + small(h) + [0]
    d += sgn(tw) + sgn(th) + [0, 0, 0, 0] + [colpick, rowpick] + sgn(0) + sgn(0)
    d += [1, 0, 1] if split else [0]
    d += [mode + 1] + sgn(bw) + [0, 200, 0, 100, 0, 30]
    d += [s for s in shades] + [0] + PIXELS
    write("fuzz_mosaic", name, d)


FIX = 0x01 | 0x02 | 0x04 | 0x08 | 0x40
mosaic("grid-100", FIX, 100, 100, 20, 20, 5, 5, True, 2, 5, [8, 2, 8, 2])
mosaic("rings-97x61", FIX, 97, 61, 30, 10, 3, 2, True, 3, 4, [2, 4, 0, 0])
mosaic("spokes-nosplit", FIX, 64, 48, 16, 7, 7, 6, False, 4, 3, [0, 0, 0, 0])
mosaic("noborder-small", FIX, 5, 3, 30, 2, 0, 1, True, 1, 6, [4, 4, 4, 4])
mosaic("mode0-ramps", FIX, 12, 12, 6, 6, 4, 4, True, 0, 4, [2, 2, 2, 2])
mosaic("edge-lines", FIX, 12, 12, 10, 1, 3, 3, False, 2, 6, [2, 2, 2, 2])
mosaic("short-plane", FIX | 0x20, 40, 30, 8, 8, 2, 2, True, 2, 5, [2, 2, 2, 2])
mosaic("width-1", FIX, 1, 30, 8, 8, 2, 2, True, 2, 5, [2, 2, 2, 2])

# Resampling passes: flags, width, height, pad, [lineBytes], zoom, radius
# offset, angle offset, wrap, dropWhich, pixels.
def polarmap(target, name, w, h, pad, zoom, ro, ao, wrap):
    d = [0x01] + small(w) + small(h) + [pad] + zoom + ro + ao + [wrap, 0] + PIXELS
    write(target, name, d)


for target in ("fuzz_forward", "fuzz_inverse"):
    polarmap(target, "driver-20x16", 20, 16, 4, flt_table(2), flt_table(0), flt_table(0), 1)
    polarmap(target, "nowrap", 33, 17, 0, flt_table(2), flt_small(12), flt_small(-20), 0)
    polarmap(target, "zoom0", 8, 6, 8, flt_table(0), flt_table(0), flt_table(28), 1)
    polarmap(target, "far-radius", 9, 7, 7, flt_table(2), flt_raw(1e9), flt_table(0), 1)
    polarmap(target, "tiny-zoom", 9, 7, 7, flt_raw(1e-20), flt_table(0), flt_table(0), 1)
    polarmap(target, "nan-offset", 9, 7, 7, flt_table(2), flt_table(8), flt_table(0), 1)
    polarmap(target, "height-1", 9, 1, 7, flt_table(2), flt_table(0), flt_table(0), 1)
    polarmap(target, "101x99", 101, 99, 11, flt_table(2), flt_table(0), flt_table(0), 1)

# Turns: flags, srcWidth, srcHeight, srcPad, dstPad, [srcLineBytes],
# modePick, [turnMode], [dstLineBytes], dstWidth, dstHeight, dropWhich.
def turn(name, flags, w, h, sp, dp, mode):
    d = [flags] + small(w) + small(h) + [sp, dp, mode] + [0, 0, 0, 0, 0] + PIXELS
    write("fuzz_turns", name, d)


for mode in range(3):
    turn("mode%d-3x2" % mode, 0x07, 3, 2, 0, 0, mode)
    turn("mode%d-padded" % mode, 0x07, 17, 9, 5, 3, mode)
turn("transpose-3x2", 0x0F, 3, 2, 0, 0, 0)
turn("transpose-padded", 0x0F, 20, 16, 12, 4, 0)
turn("one-pixel", 0x07, 1, 1, 0, 0, 1)

# calcCArray: flags, length, value, shade.
for i, (length, value, shade) in enumerate([
        (3, 200, flt_small(4)), (5, 200, flt_table(0)), (1, 100, flt_small(4)),
        (0, 7, flt_table(2)), (3, 300, flt_small(4)), (2, 255, flt_raw(200.0)),
        (4, 100, flt_raw(0.3)), (3, 50, flt_table(8))]):
    write("fuzz_ramp", "case%d" % i,
          [0] + sgn(length) + (sgn(value) if value < 64 else raw16(value)) + shade)


# Loader: TIFF structures whose EXIF directories fan out. Each is also a
# file of the hostile corpus (fuzz/hostile/valid-*), which the tool must
# write with its EXIF at its real size, or without it and a warning.
DIRECTORY = 0xFFFF0000


def tiff_structure(data, directories):
    """Little-endian TIFF: header, data at offset 8, then the directories,
    the first the root. Entries are (tag, type, count, value); a value of
    DIRECTORY + k is the offset of directory k."""
    offsets, at = [], 8 + len(data)
    for d in directories:
        offsets.append(at)
        at += 2 + 12 * len(d) + 4
    out = b"II*\0" + struct.pack("<I", offsets[0]) + bytes(data)
    for d in directories:
        out += struct.pack("<H", len(d))
        for tag, kind, count, value in d:
            if value >= DIRECTORY:
                value = offsets[value - DIRECTORY]
            out += struct.pack("<HHII", tag, kind, count, value)
        out += struct.pack("<I", 0)
    return out


PIXELS_AND_MAKER = bytes([10, 60, 120, 250]) + b"FanMaker\0\0"
PICTURE_TAGS = [(256, 3, 1, 2), (257, 3, 1, 2), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
                (0x010F, 2, 9, 12), (273, 4, 1, 8), (277, 3, 1, 1), (278, 3, 1, 2), (279, 4, 1, 4)]


def duplicate_pointers(root, n):
    """n pointers to one Exif directory of n pointers to one
    interoperability directory of n entries: n^3 entries when every pointer
    is followed."""
    return [root + [(0x8769, 4, 1, DIRECTORY + 1)] * n, [(0xA005, 4, 1, DIRECTORY + 2)] * n,
            [(0x0001, 2, 4, 0x00383952)] * n]


def jpeg_with_exif(block):
    """The grey JPEG seed carrying block in an APP1 marker."""
    with open(os.path.join(HERE, "corpus", "fuzz_image_load", "seed-grey.jpg"), "rb") as f:
        jpeg = f.read()
    app1 = b"\xff\xe1" + struct.pack(">H", len(block) + 8) + b"Exif\0\0" + block
    return jpeg[:2] + app1 + jpeg[2:]


def image_seed(name, data):
    write("fuzz_image_load", name, data)
    with open(os.path.join(HERE, "hostile", "valid-" + name), "wb") as f:
        f.write(data)


image_seed("exif-duplicate-pointers.tif", tiff_structure(PIXELS_AND_MAKER,
                                                         duplicate_pointers(PICTURE_TAGS, 190)))
image_seed("exif-duplicate-pointers.jpg", jpeg_with_exif(tiff_structure(
    b"FanMaker\0\0", duplicate_pointers([(0x010F, 2, 9, 8)], 190))))
# Directories that start every two bytes inside one run of 0x20 bytes:
# each is a directory of 8224 entries, 64 of them reached from the root.
run_at = 8 + len(PIXELS_AND_MAKER) + 2 + 12 * (len(PICTURE_TAGS) + 64) + 4
image_seed("exif-overlapping-directories.tif", tiff_structure(
    PIXELS_AND_MAKER, [PICTURE_TAGS + [(0x8769, 4, 1, run_at + 2 * k) for k in range(64)]])
    + b"\x20" * (2 + 12 * 0x2020 + 4 + 128))
