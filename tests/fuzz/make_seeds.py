#!/usr/bin/env python3
"""Writes the small inputs that seed the fuzz targets (corpus/)."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def rle_plane(values):
    # One literal packet per 128 bytes; enough for a valid plane.
    out = bytearray()
    for i in range(0, len(values), 128):
        chunk = values[i:i + 128]
        out.append(len(chunk))
        out += bytes(chunk)
    return bytes(out)


def rle_scanline(pixels):
    width = len(pixels)
    out = bytearray([2, 2, width >> 8, width & 255])
    for c in range(4):
        plane = [p[c] for p in pixels]
        if len(set(plane)) == 1:
            out += bytes([128 + width, plane[0]])  # one run fills the plane
        else:
            out += rle_plane(plane)
    return bytes(out)


def header(width, height, extra=b""):
    return (b"#?RADIANCE\n# made for the fuzz corpus\nFORMAT=32-bit_rle_rgbe\n" + extra +
            b"\n" + b"-Y %d +X %d\n" % (height, width))


def pixel(i):
    return ((i * 37) % 256, (i * 11) % 256, (i * 5) % 256, 120 + i % 20)


def rgbe_seeds():
    seeds = {}
    seeds["rle_8x2.hdr"] = header(8, 2) + rle_scanline([pixel(i) for i in range(8)]) + \
        rle_scanline([(128, 64, 32, 129)] * 8)
    seeds["flat_4x3.hdr"] = header(4, 3) + b"".join(bytes(pixel(i)) for i in range(12))
    seeds["gamma_exposure_9x1.hdr"] = header(9, 1, b"GAMMA=2.2\nEXPOSURE=0.5\n") + \
        rle_scanline([pixel(i) for i in range(9)])
    # A run-length scanline, then the rest of the picture flat.
    seeds["mixed_10x2.hdr"] = header(10, 2) + rle_scanline([pixel(i) for i in range(10)]) + \
        b"".join(bytes(pixel(i)) for i in range(10))
    seeds["black_16x1.hdr"] = header(16, 1) + rle_scanline([(0, 0, 0, 0)] * 16)
    return seeds


def list_seeds():
    return {
        "one_eye.txt": b"a.hdr\nb.hdr\n\nc.hdr trailing words\n",
        "two_eyes.txt": b"left0.hdr right0.hdr\r\nleft1.hdr\tright1.hdr\r\n  only.hdr\n",
        "cr_only.txt": b"x.hdr\ry.hdr\rno-line-end",
    }


def record(width, height, maxlum, logav, seed):
    pixels = b"".join(bytes(pixel(i + seed)) for i in range(width * height))
    return struct.pack("<dd", maxlum, logav) + pixels


def movie(control, width, height, eyes, records, nframes=None, order="<"):
    if nframes is None:
        nframes = len(records) // eyes
    head = struct.pack(order + "hhBBBBi", width, height, 48, eyes, 0, 0, nframes)
    return bytes(control) + head + b"".join(records)


def movie_seeds():
    r = lambda s, m=2.0, l=0.5: record(16, 16, m, l, s)
    return {
        "one_frame.mov": movie([0, 0, 0, 0, 0, 0, 0, 0], 16, 16, 1, [r(0)]),
        # Tone mapped, forward, back, first, to the end, a jump of +3.
        "three_frames_tmo.mov": movie([1, 0, 1, 2, 3, 4 + 6 * 7, 0, 1], 16, 16, 1,
                                      [r(0), r(1, 4.0, 1.0), r(2, 1.0, 0.25)]),
        "pair.mov": movie([1, 0, 0, 1, 3, 0, 0, 0], 16, 17, 2,
                          [record(16, 17, 2.0, 0.5, s) for s in range(4)]),
        "autoplay_once.mov": movie([4 | 64, 0, 0, 0, 1, 1, 0, 0], 16, 16, 1, [r(0), r(5)]),
        "short.mov": movie([1, 0, 0, 3, 0, 0, 0, 0], 16, 16, 1, [r(0), r(1)[:500]], nframes=5),
        # Header in the other byte order, read with the byte swap on.
        "swapped.mov": movie([1 | 2, 0, 1, 0, 0, 0, 0, 0], 16, 16, 1, [r(0), r(3)], order=">"),
    }


def pfm(magic, width, height, scale, values):
    order = "<" if scale.startswith(b"-") else ">"
    return magic + b"\n%d %d\n" % (width, height) + scale + b"\n" + struct.pack(order + "%df" % len(values), *values)


def pfm_seeds():
    ramp = [0.25 * i for i in range(4 * 3 * 3)]
    return {
        "colour_le_4x3.pfm": pfm(b"PF", 4, 3, b"-1.0", ramp),
        "colour_be_4x3.pfm": pfm(b"PF", 4, 3, b"1.0", ramp),
        "grey_scaled_5x2.pfm": pfm(b"Pf", 5, 2, b"-0.5", [float(i) for i in range(10)]),
        # Values no RGBE pixel holds: NaN, infinities, negative, above the largest.
        "wild_3x1.pfm": pfm(b"PF", 3, 1, b"-1", [float("nan"), float("inf"), -1.0, 3e38, -float("inf"), 1e-40,
                                                 -0.0, 2.0, 1.7e38]),
        "spaces_2x2.pfm": b"PF \t2\r\n 2\n\n-1e0 " + struct.pack("<12f", *range(12)),
        "short_4x4.pfm": pfm(b"PF", 4, 4, b"-1.0", ramp)[:-5],
    }


def main():
    for name, seeds in (("rgbe", rgbe_seeds()), ("list", list_seeds()), ("movie", movie_seeds()),
                        ("pfm", pfm_seeds())):
        folder = os.path.join(HERE, "corpus", name)
        os.makedirs(folder, exist_ok=True)
        for fname, data in seeds.items():
            with open(os.path.join(folder, fname), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
