#!/usr/bin/env python3
"""Writes the small inputs that seed the fuzz targets (corpus/)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from halvfiles import (flat_scanline, movie_bytes, movie_record, picture_header,  # noqa: E402
                       rgbe_picture, rle_scanline)


def pixel(i):
    return ((i * 37) % 256, (i * 11) % 256, (i * 5) % 256, 120 + i % 20)


def rgbe_seeds():
    seeds = {}
    comment = ["# made for the fuzz corpus"]
    seeds["rle_8x2.hdr"] = rgbe_picture([[pixel(i) for i in range(8)], [(128, 64, 32, 129)] * 8],
                                        before_format=comment)
    seeds["flat_4x3.hdr"] = rgbe_picture([[pixel(4 * y + x) for x in range(4)] for y in range(3)],
                                         "flat", before_format=comment)
    seeds["gamma_exposure_9x1.hdr"] = rgbe_picture([[pixel(i) for i in range(9)]],
                                                   before_format=comment,
                                                   after_format=["GAMMA=2.2", "EXPOSURE=0.5"])
    # A run-length scanline, then the rest of the picture flat.
    row = [pixel(i) for i in range(10)]
    seeds["mixed_10x2.hdr"] = (picture_header(10, 2, before_format=comment) +
                               rle_scanline(row) + flat_scanline(row))
    seeds["black_16x1.hdr"] = rgbe_picture([[(0, 0, 0, 0)] * 16], before_format=comment)
    return seeds


def list_seeds():
    return {
        "one_eye.txt": b"a.hdr\nb.hdr\n\nc.hdr trailing words\n",
        "two_eyes.txt": b"left0.hdr right0.hdr\r\nleft1.hdr\tright1.hdr\r\n  only.hdr\n",
        "cr_only.txt": b"x.hdr\ry.hdr\rno-line-end",
    }


def record(width, height, maxlum, logav, seed):
    return movie_record([pixel(i + seed) for i in range(width * height)], (maxlum, logav))


def movie(control, width, height, eyes, records, nframes=None, order="<"):
    """The control bytes the movie target reads first, then the movie; the
    records stay little-endian whatever the header's order."""
    return bytes(control) + movie_bytes(width, height, records, eyes, nframes, order)


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
