#!/usr/bin/env python3
"""Writes the small inputs that seed the fuzz targets (corpus/).

The OpenEXR seeds are made by oiiotool and by the tests' exr_tool (which
writes what oiiotool cannot: views, parts, uint channels, luminance-chroma);
they are written only when exr_tool's path is given:
    make_seeds.py [--exr-tool build/tests/halvpack/exr_tool]
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from halvfiles import (flat_scanline, movie_bytes, movie_header, movie_record, picture_header,  # noqa: E402
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


def pattern_seeds():
    frame = lambda n: struct.pack("<I", n)
    return {
        "png_05d.txt": frame(7) + b"frames/shot-%05d.png",
        "flags.txt": frame(123) + b"a%%b-%+8.3i%%.png",
        "left_u.txt": frame(0) + b"%-6u_x",
        "space_zero_precision.txt": frame(0) + b"% 0.0d",
        "two_fields.txt": frame(1) + b"%d-%d.png",
        "not_a_number.txt": frame(1) + b"%x.png",
        "too_wide.txt": frame(1) + b"%0200d",
        "no_field.txt": frame(1) + b"plain.png",
    }


def lookahead_seeds():
    """The 12 header bytes, the cut and order control bytes, then the
    statistics of the records (maxLum, logAv as doubles)."""
    def seed(width, height, nframes, eyes, stats, cut=0, order=0, endian="<"):
        header = movie_header(width, height, nframes, eyes, order=endian)
        return header + bytes((cut, order)) + b"".join(struct.pack(endian + "dd", m, l) for m, l in stats)
    steady = [(4.0, 0.5 * (1 + 0.1 * k)) for k in range(12)]
    cuts = [(4.0, 0.5), (4.0, 0.6), (40.0, 8.0), (40.0, 7.0), (3.0, 0.4), (3.0, 0.41), (3.0, 0.39)]
    bad = [(float("nan"), 0.5), (4.0, 0.5), (-1.0, 0.5), (float("inf"), 2.0), (4.0, 0.0), (5e-324, 5e-324),
           (1.7e308, 1e-300), (4.0, 0.7), (2.0, float("-inf"))]
    pair = [(4.0, 0.5), (8.0, 1.0), (4.0, 3.0), (float("nan"), 1.0), (4.0, 0.5), (4.0, 0.55)]
    return {
        "steady.bin": seed(16, 16, 12, 1, steady, order=3 << 1),
        "cuts.bin": seed(16, 16, 7, 1, cuts, order=(1 << 1) | (4 << 4)),
        "bad_records.bin": seed(16, 16, 9, 1, bad, order=(7 << 1) | (2 << 4)),
        "pair.bin": seed(20, 16, 3, 2, pair, order=2 << 4),
        "truncated.bin": seed(16, 16, 40, 1, cuts, cut=100),
        "swapped.bin": seed(16, 16, 7, 1, cuts, order=1 | (5 << 1), endian=">"),
    }


def exr_seeds(exr_tool):
    """OpenEXR pictures of 8 x 6 pixels in several compressions and
    layouts, each behind the control byte that picks the view."""
    W, H = 8, 6
    colour = []
    for y in range(H):
        for x in range(W):
            colour += [0.01 * (x + 1) * (y + 1), 0.5 + x * 0.25, 2.0 ** (y - 2)]
    colour[0], colour[4], colour[8] = float("nan"), -1.0, 70000.0  # values RGBE cannot hold
    right = [abs(v) * 0.5 if v == v else 0.0 for v in colour]
    tmp = tempfile.mkdtemp()
    path = lambda name: os.path.join(tmp, name)
    with open(path("c.pfm"), "wb") as f:
        f.write(b"PF\n%d %d\n-1.0\n" % (W, H) + struct.pack("<%df" % len(colour), *colour))
    for name, values, kind in (("c.f32", colour, "f"), ("r.f32", right, "f"),
                               ("i.u32", [97 * i for i in range(len(colour))], "I")):
        with open(path(name), "wb") as f:
            f.write(struct.pack("<%d%s" % (len(values), kind), *values))
    made = {
        "half_zip.exr": ["oiiotool", "c.pfm", "-d", "half", "--compression", "zip"],
        "float_tiled_piz.exr": ["oiiotool", "c.pfm", "-d", "float", "--tile", "4", "4", "--compression", "piz"],
        "half_rle_datawindow.exr": ["oiiotool", "c.pfm", "-d", "half", "--compression", "rle",
                                    "--crop", "5x3+1+2"],
        "y_none.exr": ["oiiotool", "c.pfm", "--chsum:weight=.2126,.7152,.0722", "--chnames", "Y", "-d", "half",
                       "--compression", "none"],
        "half_b44.exr": ["oiiotool", "c.pfm", "-d", "half", "--compression", "b44"],
        "float_pxr24.exr": ["oiiotool", "c.pfm", "-d", "float", "--compression", "pxr24"],
    }
    seeds = {}
    for name, command in made.items():
        subprocess.run(command + ["-o", name], cwd=tmp, check=True)
    tools = {
        "multiview.exr": ["views", "multiview.exr", "8", "6", "half", "multiview", "c.f32", "r.f32"],
        "multipart_views.exr": ["views", "multipart_views.exr", "8", "6", "float", "parts", "c.f32", "r.f32"],
        "parts.exr": ["parts", "parts.exr", "8", "6", "c.f32"],
        "uint.exr": ["uint", "uint.exr", "8", "6", "i.u32"],
        "yc.exr": ["yc", "yc.exr", "8", "6", "r.f32"],
    }
    for name, command in tools.items():
        subprocess.run([exr_tool] + command, cwd=tmp, check=True)
    for name in list(made) + list(tools):
        with open(path(name), "rb") as f:
            data = f.read()
        seeds[name] = bytes((0,)) + data
        if name.startswith("multi"):
            seeds[name.replace(".exr", "_left.exr")] = bytes((1,)) + data
            seeds[name.replace(".exr", "_right.exr")] = bytes((2,)) + data
    shutil.rmtree(tmp)
    return seeds


def main():
    sets = [("rgbe", rgbe_seeds()), ("list", list_seeds()), ("movie", movie_seeds()), ("pfm", pfm_seeds()),
            ("pattern", pattern_seeds()), ("lookahead", lookahead_seeds())]
    if len(sys.argv) == 3 and sys.argv[1] == "--exr-tool":
        sets.append(("exr", exr_seeds(os.path.abspath(sys.argv[2]))))
    for name, seeds in sets:
        folder = os.path.join(HERE, "corpus", name)
        os.makedirs(folder, exist_ok=True)
        for fname, data in seeds.items():
            with open(os.path.join(folder, fname), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
