#!/usr/bin/env python3
"""End-to-end tests of halvpack's OpenEXR and PFM input and of its workers.

Every OpenEXR or PFM record is compared byte for byte with the record that
halvpack writes for the .hdr picture that Halvorn's own codec writes
(hdr_writer) from the same float pixels, clamped here as RGBE needs. Those
floats come from an independent reader: oiiotool reads every OpenEXR and
PFM file back and writes it as a float TIFF that this test reads. OpenEXR
files come from oiiotool, or from exr_tool, which uses the OpenEXR
library's own API for what oiiotool cannot write; PFM files are written
here.

    test_pictures.py --halvpack PATH --hdr-writer PATH [--oiiotool PATH]
                     [--exr-tool PATH] [unittest arguments]
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pictures
from pictures import RGBE_LARGEST, clamp, f16, f32, flat, pfm, raw_floats, read_float_tiff, scene

ARGS = None


def have(tool):
    value = getattr(ARGS, tool)
    return bool(value) and not value.endswith("-NOTFOUND")


def records(movie):
    """(width, height, eyes, nframes) and the list of records (bytes)."""
    width, height, fmt, eyes, _, _, nframes = struct.unpack("<hhBBBBi", movie[:12])
    size = 16 + 4 * width * height
    body = movie[12:]
    assert len(body) % size == 0, "the movie is not whole records"
    return (width, height, eyes, nframes), [body[k:k + size] for k in range(0, len(body), size)]


def blocks(stderr):
    """What was said of each picture, in order: the text after "Processing "
    up to the next picture (the name, then its messages and progress)."""
    text = ("\n" + stderr).split("\nTotal movie file size")[0]
    if text.endswith("\n"):
        text = text[:-1]
    return [b + "\n" for b in text.split("\nProcessing ")[1:]]


def said(stderr, name):
    """The messages of the first picture called `name`."""
    for block in blocks(stderr):
        if block.startswith(name):
            return block[len(name):]
    raise AssertionError("no picture %s in:\n%s" % (name, stderr))


def decode(px):
    if px[3] == 0:
        return (0.0, 0.0, 0.0)
    return tuple(m * 2.0 ** (px[3] - 136) for m in px[:3])


class PictureTest(unittest.TestCase):
    maxDiff = None
    needs = ()

    def setUp(self):
        for tool in self.needs:
            if not have(tool):
                self.skipTest("needs --" + tool.replace("_", "-"))
        self.dir = tempfile.mkdtemp(prefix="halvpack-pictures-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return name

    def tool(self, argv):
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENIMAGEIO_THREADS="1")
        proc = subprocess.run(argv, cwd=self.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=120)
        self.assertEqual(proc.returncode, 0, "%s failed:\n%s" % (argv, proc.stdout.decode("latin-1")[-3000:]))
        return proc.stdout.decode("latin-1")

    def oiio(self, *args):
        return self.tool([ARGS.oiiotool] + list(args))

    def readback(self, name, select=(), info=None):
        """The display window of a picture as oiiotool reads it, as RGB
        floats (a one-channel picture gives R = G = B). With `info` (a list)
        what oiiotool says of the file is appended to it."""
        tiff = name + ".%d.tif" % len(os.listdir(self.dir))
        said = self.oiio("--info", "-v", name, *select, "--croptofull", "-d", "float", "--compression", "none",
                         "--scanline", "-o", tiff)
        if info is not None:
            info.append(said)
        width, height, channels, values = read_float_tiff(self.path(tiff))
        if channels == 1:
            values = [v for v in values for _ in range(3)]
        else:
            self.assertEqual(channels, 3, "%s: %d channels read back" % (name, channels))
        return width, height, list(values)

    def reference(self, name, width, height, values):
        """Writes name.hdr from the floats (clamped) with the codec's writer;
        returns its name and the counts of clamped pixels."""
        clamped, zeroed, saturated = clamp(values)
        self.write(name + ".f32", raw_floats(clamped))
        self.tool([ARGS.hdr_writer, str(width), str(height), name + ".f32", name + ".hdr"])
        return name + ".hdr", zeroed, saturated, clamped

    def pack(self, listing, width, height, extra=(), status=0):
        self.write("list", listing)
        proc = subprocess.run([ARGS.halvpack, "-x", str(width), "-y", str(height)] + list(extra) +
                              ["-i", "list", "-o", "out.mov"], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300)
        err = proc.stderr.decode("latin-1")
        self.assertEqual(proc.returncode, status, err)
        with open(self.path("out.mov"), "rb") as f:
            movie = f.read()
        return err, movie

    def assertMatches(self, cases, width, height, eyes=1, listing=None, extra=()):
        """cases: (picture, reference values or (name, zeroed, saturated,
        clamped)), in list order. One run packs each picture and its .hdr
        reference; their records must be equal byte for byte, their
        statistics lines equal, and a picture with clamped values says how
        many."""
        refs = []
        for k, (picture, values) in enumerate(cases):
            refs.append(self.reference("ref%d_%s" % (k, picture.replace("/", "_")), width, height, values))
        if listing is None:
            listing = "".join("%s\n%s\n" % (p, r[0]) for (p, _), r in zip(cases, refs))
            pairs = [(2 * k, 2 * k + 1) for k in range(len(cases))]
        else:
            # The pictures first (as the listing gives them), then the references.
            listing += "".join("%s\n" % r[0] for r in refs) if eyes == 1 else \
                "".join("%s %s\n" % (refs[k][0], refs[k + 1][0]) for k in range(0, len(refs), 2))
            pairs = [(k, len(cases) + k) for k in range(len(cases))]
        err, movie = self.pack(listing, width, height, ["-e", str(eyes)] + list(extra))
        self.assertNotIn("Failed", err)
        head, recs = records(movie)
        self.assertEqual(len(recs), 2 * len(cases), err)
        told = blocks(err)
        for (k, r), (picture, _), (ref_name, zeroed, saturated, clamped) in zip(pairs, cases, refs):
            with self.subTest(picture=picture):
                self.assertEqual(recs[k], recs[r], "record of %s differs from its .hdr route" % picture)
                self.assertTrue(told[k].startswith(picture + " ") and told[r].startswith(ref_name + " "))
                text = told[k][len(picture):]
                ref_line = told[r][len(ref_name):].split("\n")[0]
                lines = text.split("\n")
                self.assertEqual(lines[0], ref_line)
                if zeroed or saturated:
                    self.assertEqual(lines[1], "Values RGBE cannot hold: %d pixels negative or NaN set to 0, "
                                               "%d pixels above %g set to it" % (zeroed, saturated, RGBE_LARGEST))
                    self.assertTrue(lines[2].startswith(", %d of " % (16 + 4 * width * height)), text)
                else:
                    self.assertTrue(lines[1].startswith(", %d of " % (16 + 4 * width * height)), text)
                self.assertCloseToFloats(recs[k], clamped, width, height)
        return err, movie

    def assertCloseToFloats(self, record, values, width, height):
        """The record's pixels (bottom row first) decode to the floats within
        one mantissa step of the pixel's largest component (pixels whose
        largest component is below 1e-3 are left to the exact comparison)."""
        for y in range(height):
            row = record[16 + 4 * width * (height - 1 - y):]
            for x in range(width):
                v = values[3 * (y * width + x):3 * (y * width + x) + 3]
                top = max(v)
                if not top >= 1e-3:
                    continue
                got = decode(row[4 * x:4 * x + 4])
                for c in range(3):
                    self.assertLessEqual(abs(got[c] - v[c]), top / 128.0, "pixel %d,%d: %r %r" % (x, y, got, v))


# ---------------------------------------------------------------- OpenEXR

class OpenEXRPictures(PictureTest):
    """OpenEXR files of every kind the issue names, against the .hdr route."""
    needs = ("oiiotool",)
    W, H = 48, 32

    def source(self, seed, wild=False, width=None, height=None):
        """A float PFM source picture for oiiotool to convert."""
        w, h = width or self.W, height or self.H
        name = "src%d.pfm" % seed
        self.write(name, pfm(w, h, scene(w, h, seed, wild)))
        return name

    def test_types_compressions_and_tiles(self):
        src = self.source(1)
        wild = self.source(2, wild=True)
        variants = [
            ("half", "none", ()), ("half", "zip", ()), ("half", "piz", ()), ("half", "rle", ()),
            ("half", "zips", ()), ("half", "pxr24", ()), ("half", "b44", ()), ("half", "dwaa", ()),
            ("float", "none", ()), ("float", "zip", ()), ("float", "piz", ()),
            ("half", "piz", ("--tile", "16", "16")), ("half", "none", ("--tile", "32", "8")),
            ("float", "zip", ("--tile", "16", "16")), ("float", "none", ("--tile", "64", "64")),
        ]
        cases = []
        for k, (kind, compression, tiling) in enumerate(variants):
            # Every variant of the ordinary source; values no picture should
            # hold in a few of them.
            for source in (src, wild) if k in (1, 8, 10, 11) else (src,):
                name = "p%02d_%s_%s%s_%s.exr" % (k, kind, compression, "_tiled" if tiling else "", source[:4])
                self.oiio(source, "-d", kind, "--compression", compression, *tiling, "-o", name)
                info = []
                w, h, values = self.readback(name, info=info)
                self.assertIn('compression: "%s"' % compression, info[0])
                self.assertIn(kind, info[0].split("\n")[1])
                if tiling:
                    self.assertIn("tile size: %s x %s" % tiling[1:], info[0])
                self.assertEqual((w, h), (self.W, self.H))
                cases.append((name, values))
        err, _ = self.assertMatches(cases, self.W, self.H)
        # The wild source holds values that no variant can keep.
        self.assertIn("Values RGBE cannot hold", err)

    def test_luminance_only(self):
        rows = scene(self.W, self.H, 3)
        greys = [[px[0] for px in row] for row in rows]
        self.write("grey.pfm", pfm(self.W, self.H, greys, grey=True))
        cases = []
        for kind in ("half", "float"):
            name = "y_%s.exr" % kind
            self.oiio("grey.pfm", "-d", kind, "--compression", "zip", "-o", name)
            self.assertIn("channel list: Y\n", self.oiio("--info", "-v", name))
            # The RGBA interface reads luminance as a half, whatever the file holds.
            values = [f16(v) for v in self.readback(name)[2]]
            if have("exr_tool"):
                # ... and gives it as all three components.
                self.tool([ARGS.exr_tool, "rgba", name, name + ".rgba.f32"])
                with open(self.path(name + ".rgba.f32"), "rb") as f:
                    data = f.read()
                self.assertEqual(data, raw_floats(values))
            cases.append((name, values))
        self.assertMatches(cases, self.W, self.H)

    def test_data_window_and_display_window(self):
        src = self.source(4, width=40, height=20)
        cases = []
        # A data window inside the display window: black around it.
        self.oiio(src, "--fullsize", "48x32+0+0", "--origin", "+5+7", "-d", "half", "--compression", "zip",
                  "-o", "inside.exr")
        # Overscan: data beyond the display window is left out.
        self.oiio(src, "--fullsize", "32x16+0+0", "--origin", "-4-2", "-d", "float", "--compression", "piz",
                  "-o", "overscan.exr")
        # A display window away from the origin, partly covered.
        self.oiio(src, "--fullsize", "32x16+100+50", "--origin", "+90+45", "-d", "half", "--tile", "16", "16",
                  "-o", "offset.exr")
        for name, size in (("inside.exr", (48, 32)), ("overscan.exr", (32, 16)), ("offset.exr", (32, 16))):
            w, h, values = self.readback(name)
            self.assertEqual((w, h), size)
            if size == (32, 16):
                cases.append((name, values))
            else:
                self.assertMatches([(name, values)], w, h)
                self.assertEqual(values[:3], [0.0, 0.0, 0.0])  # outside the data window
        self.assertMatches(cases, 32, 16)

    def test_first_part_with_colour(self):
        if not have("exr_tool"):
            self.skipTest("needs --exr-tool")
        values = flat(scene(self.W, self.H, 5))
        self.write("colour.f32", raw_floats(values))
        self.tool([ARGS.exr_tool, "parts", "parts.exr", str(self.W), str(self.H), "colour.f32"])
        self.assertIn("2 subimages", self.oiio("--info", "-v", "parts.exr"))
        w, h, back = self.readback("parts.exr", ("--subimage", "1"))
        self.assertMatches([("parts.exr", back)], w, h)

    def test_uint_channels(self):
        if not have("exr_tool"):
            self.skipTest("needs --exr-tool")
        import random
        rnd = random.Random(6)
        ints = [rnd.choice((0, 1, 7, 255, 65535, 16777217, 2 ** 31 + 5, 2 ** 32 - 1)) for _ in range(3 * self.W * self.H)]
        self.write("ints.u32", struct.pack("<%dI" % len(ints), *ints))
        self.tool([ARGS.exr_tool, "uint", "uint.exr", str(self.W), str(self.H), "ints.u32"])
        self.assertMatches([("uint.exr", [f32(float(i)) for i in ints])], self.W, self.H)

    def test_luminance_chroma_as_the_rgba_interface_gives_it(self):
        if not have("exr_tool"):
            self.skipTest("needs --exr-tool")
        self.write("colour.f32", raw_floats(flat(scene(self.W, self.H, 7))))
        self.tool([ARGS.exr_tool, "yc", "yc.exr", str(self.W), str(self.H), "colour.f32"])
        self.tool([ARGS.exr_tool, "rgba", "yc.exr", "yc.rgba.f32"])
        with open(self.path("yc.rgba.f32"), "rb") as f:
            data = f.read()
        self.assertMatches([("yc.exr", list(struct.unpack("<%df" % (len(data) // 4), data)))], self.W, self.H)

    def test_stereo_views(self):
        if not have("exr_tool"):
            self.skipTest("needs --exr-tool")
        W, H = self.W, self.H
        self.write("left.f32", raw_floats(flat(scene(W, H, 8))))
        self.write("right.f32", raw_floats(flat(scene(W, H, 9))))
        self.tool([ARGS.exr_tool, "views", "mv.exr", str(W), str(H), "half", "multiview", "left.f32", "right.f32"])
        self.tool([ARGS.exr_tool, "views", "mp.exr", str(W), str(H), "float", "parts", "left.f32", "right.f32"])
        mv_left = self.readback("mv.exr", ("--ch", "R,G,B"))[2]
        mv_right = self.readback("mv.exr", ("--ch", "right.R,right.G,right.B"))[2]
        mp_right = self.readback("mp.exr", ("--subimage", "0"))[2]
        mp_left = self.readback("mp.exr", ("--subimage", "1"))[2]
        self.assertNotEqual(mv_left, mv_right)
        # One name a line: both eyes from the file; an empty line repeats it.
        self.assertMatches([("mv.exr", mv_left), ("mv.exr", mv_right), ("mp.exr", mp_left), ("mp.exr", mp_right),
                            ("mp.exr", mp_left), ("mp.exr", mp_right)],
                           W, H, eyes=2, listing="mv.exr\nmp.exr\n\n")
        # Two names a line: one picture from each, the file's own picture
        # (the default view, or the first part with colour).
        self.assertMatches([("mv.exr", mv_left), ("mp.exr", mp_right)], W, H, eyes=2, listing="mv.exr mp.exr\n")
        self.assertMatches([("mv.exr", mv_left)], W, H)
        # A one-name line whose file holds no pair keeps the right picture of
        # the last line with two names, as for any picture.
        self.write("plain.pfm", pfm(W, H, scene(W, H, 10)))
        err, movie = self.pack("plain.pfm mv.exr\nmv.exr\nplain.pfm\n", W, H, ["-e", "2"])
        self.assertEqual([b.split(" ")[0] for b in blocks(err)],
                         ["plain.pfm", "mv.exr", "mv.exr", "mv.exr", "plain.pfm", "mv.exr"])
        _, recs = records(movie)
        self.assertEqual(recs[5], recs[1])
        self.assertNotEqual(recs[5], recs[3])

    def test_unreadable_files_fail_and_the_run_goes_on(self):
        src = self.source(11)
        self.oiio(src, "-d", "half", "--compression", "zip", "-o", "good.exr")
        with open(self.path("good.exr"), "rb") as f:
            good = f.read()
        self.write("cut.exr", good[:len(good) * 2 // 3])
        self.write("header.exr", good[:40])
        self.oiio(src, "--ch", "R", "--chnames", "Z", "-o", "depth.exr")
        err, movie = self.pack("cut.exr\ngood.exr\nheader.exr\ndepth.exr\ngood.exr\n", self.W, self.H)
        self.assertRegex(said(err, "cut.exr"), r"^OpenEXR error: .+\n ----- Failed\n$")
        self.assertRegex(said(err, "header.exr"), r"^OpenEXR error: .+\n ----- Failed\n$")
        self.assertEqual(said(err, "depth.exr"), "OpenEXR picture without R, G and B or Y channels\n ----- Failed\n")
        _, recs = records(movie)
        self.assertEqual(len(recs), 2)
        self.assertEqual(recs[0], recs[1])

    def test_picture_of_another_size_stops_the_run(self):
        self.oiio(self.source(12), "-d", "half", "-o", "a.exr")
        err, movie = self.pack("a.exr\na.exr\n", self.W, self.H + 1, status=1)
        self.assertTrue(err.endswith("Processing a.exrThe images have a different sixe than requested \n"), err)
        self.assertEqual(len(movie), 12)


# -------------------------------------------------------------------- PFM

class PFMPictures(PictureTest):
    """PFM files written here in both byte orders, read back by oiiotool."""
    needs = ("oiiotool",)
    W, H = 40, 24

    def test_byte_orders_grey_and_scale(self):
        rows = scene(self.W, self.H, 21, wild=True)
        greys = [[px[1] for px in row] for row in rows]
        cases = []
        for little in (True, False):
            for scale in (1.0, 2.5, 0.3):
                for grey in (False, True):
                    name = "%s_%s_%g.pfm" % ("le" if little else "be", "grey" if grey else "rgb", scale)
                    self.write(name, pfm(self.W, self.H, greys if grey else rows, grey=grey, little=little,
                                         scale=scale))
                    w, h, back = self.readback(name)
                    self.assertEqual((w, h), (self.W, self.H))
                    # The independent reader sees what was written, times the scale.
                    written = [c for row in rows for px in row for c in px] if not grey else \
                        [v for row in greys for v in row for _ in range(3)]
                    want = [f32(v * f32(scale)) for v in written]
                    self.assertEqual([struct.pack("<f", v) for v in back], [struct.pack("<f", v) for v in want])
                    cases.append((name, back))
        err, _ = self.assertMatches(cases, self.W, self.H)

    def test_content_not_name_decides(self):
        rows = scene(self.W, self.H, 22)
        self.write("pfm.hdr", pfm(self.W, self.H, rows))
        self.write("exr.pfm", open(os.path.join(self.dir, "pfm.hdr"), "rb").read())
        w, h, back = self.readback("pfm.hdr")
        self.assertMatches([("pfm.hdr", back), ("exr.pfm", back)], w, h)


class PFMHeaders(PictureTest):
    """Headers halvpack takes and refuses (no other tool needed)."""

    def run_one(self, data, width=4, height=2, status=0):
        self.write("p", data)
        err, movie = self.pack("p\n", width, height, status=status)
        return said(err, "p"), movie

    def test_accepted_headers(self):
        values = [float(v) for v in range(24)]
        body = struct.pack("<24f", *values)
        for head in (b"PF\n4 2\n-1.0\n", b"PF 4 2 -1 ", b"PF\t4\r\n2\n\n-1e0\n", b"PF\n0004 2\n-1.000\n"):
            with self.subTest(head=head):
                text, movie = self.run_one(head + body + b"trailing bytes are ignored")
                # The brightest pixel (21, 22, 23) has the luminance 21.8596.
                self.assertTrue(text.startswith(" maxLum 21.859600, logAv "), text)
                self.assertEqual(len(movie), 12 + 16 + 32)

    def test_refused_headers(self):
        body = struct.pack("<24f", *range(24))
        cases = [
            (b"PF4 2 -1\n", "PFM bad file format: bad initial token\n"),
            (b"PF\n4x 2\n-1\n", "PFM bad file format: bad image size\n"),
            (b"PF\n-4 2\n-1\n", "PFM bad file format: bad image size\n"),
            (b"PF\n99999999999 2\n-1\n", "PFM bad file format: bad image size\n"),
            (b"PF\n4 2\n0\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\n-0.0\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\nnan\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\n-inf\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\n1e99\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\n-1.0x\n", "PFM bad file format: bad scale\n"),
            (b"PF\n4 2\n", "PFM bad file format: bad scale\n"),
        ]
        for head, message in cases:
            with self.subTest(head=head):
                text, movie = self.run_one(head + body)
                self.assertEqual(text, message + " ----- Failed\n")
                self.assertEqual(len(movie), 12)
        text, _ = self.run_one(b"PF\n4 2\n-1\n" + body[:-1])
        self.assertEqual(text, "PFM bad file format: 4 x 2 pixels need 96 bytes, the file holds 95\n ----- Failed\n")
        text, _ = self.run_one(b"Pf\n4 2\n-1\n" + body[:31])
        self.assertEqual(text, "PFM bad file format: 4 x 2 pixels need 32 bytes, the file holds 31\n ----- Failed\n")

    def test_size_check_comes_before_the_length_check(self):
        # A header that claims 30000 x 30000 pixels over a few bytes: the size
        # error, as for any picture of another size.
        text, movie = self.run_one(b"PF\n30000 30000\n-1\n" + b"\0" * 12, status=1)
        self.assertEqual(text, "The images have a different sixe than requested \n")
        self.assertEqual(len(movie), 12)

    def test_values_rgbe_cannot_hold_are_counted(self):
        nan, inf = float("nan"), float("inf")
        top = [(1.0, 2.0, 3.0), (-1.0, 0.5, 0.5), (nan, 1.0, 1.0), (inf, 1.0, 1.0)]
        bottom = [(3e38, -inf, 1.0), (-0.0, 1.0, 1.0), (RGBE_LARGEST, 1.0, 1.0), (f32(1.7e38), 0.0, 0.0)]
        text, movie = self.run_one(pfm(4, 2, [top, bottom]))
        lines = text.split("\n")
        self.assertEqual(lines[1], "Values RGBE cannot hold: 3 pixels negative or NaN set to 0, "
                                   "3 pixels above 1.69477e+38 set to it")
        _, (rec,) = records(movie)
        # Bottom row first: (3e38 -> largest, -inf -> 0, 1) is mantissa 255 at exponent 255.
        self.assertEqual(rec[16:20], bytes((255, 0, 0, 255)))
        # -0.0 is 0 and not counted; the largest value itself is kept.
        self.assertEqual(rec[16 + 8:16 + 12], bytes((255, 0, 0, 255)))
        # (-1, 0.5, 0.5) -> (0, 0.5, 0.5) in the top row.
        self.assertEqual(rec[16 + 16 + 4:16 + 16 + 8][1:], bytes((128, 128, 128)))


# ----------------------------------------------------------------- threads

class Workers(PictureTest):
    """The same movie and messages with any number of workers."""

    def pictures(self):
        """A list of good, failing and repeated pictures of each kind that
        needs no other tool (RGBE via hdr_writer, PFM)."""
        W, H = 64, 48
        names = []
        for k in range(6):
            rows = scene(W, H, 30 + k, wild=k % 2 == 1)
            self.write("p%d.pfm" % k, pfm(W, H, rows, little=k % 3 != 0))
            self.reference("r%d" % k, W, H, flat(rows))
            names += ["p%d.pfm" % k, "r%d.hdr" % k]
        self.write("cut.pfm", pfm(W, H, scene(W, H, 40))[:-10])
        self.write("bad.hdr", b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 48 +X 64\n" + b"\2\2\0\100" + b"\0" * 9)
        self.write("other.pfm", pfm(W, H + 1, scene(W, H + 1, 41)))
        return W, H, names

    def runs(self, listing, W, H, status, extra=()):
        self.write("list", listing)
        results = []
        for j in ("1", "2", "8"):
            for to_stdout in (False, True):
                argv = [ARGS.halvpack, "-x", str(W), "-y", str(H), "-j", j, "-i", "list"] + list(extra)
                if not to_stdout:
                    argv += ["-o", "out.mov"]
                proc = subprocess.run(argv, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
                movie = proc.stdout
                if not to_stdout:
                    with open(self.path("out.mov"), "rb") as f:
                        movie = f.read()
                self.assertEqual(proc.returncode, status, proc.stderr.decode("latin-1"))
                results.append((j, to_stdout, proc.stderr, movie))
        for j, to_stdout, err, movie in results[1:]:
            with self.subTest(j=j, stdout=to_stdout):
                self.assertEqual(err, results[0][2])
                self.assertEqual(movie, results[0][3])
        return results[0][2].decode("latin-1"), results[0][3]

    def test_failed_pictures_in_the_list(self):
        W, H, names = self.pictures()
        listing = "\n".join(names[:5] + ["missing", "cut.pfm", "bad.hdr", ""] + names[5:] + ["cut.pfm"] +
                            names[:3]) + "\n"
        err, movie = self.runs(listing, W, H, 0)
        # missing, cut, bad, bad again (the empty line) and cut.
        self.assertEqual(err.count(" ----- Failed\n"), 5)
        self.assertIn("Processing missing ----- Failed\n", err)
        self.assertIn("Processing cut.pfmPFM bad file format: 64 x 48 pixels need", err)
        self.assertIn("Processing bad.hdrRGBE bad file format: bad scanline data\n ----- Failed\n", err)
        self.assertTrue(err.endswith("Total movie file size should be %d bytes\n" % len(movie)))
        _, recs = records(movie)
        self.assertEqual(len(recs), len(names) + 3)
        # Each PFM picture's record equals its .hdr reference's.
        order = names[:5] + names[5:] + names[:3]
        by_name = {}
        for name, rec in zip(order, recs):
            by_name.setdefault(name, rec)
            self.assertEqual(by_name[name], rec)
        for k in range(6):
            self.assertEqual(by_name["p%d.pfm" % k], by_name["r%d.hdr" % k])

    def test_picture_of_another_size_in_the_middle(self):
        W, H, names = self.pictures()
        listing = "\n".join(names[:7] + ["missing", "other.pfm"] + names[7:] + ["cut.pfm"]) + "\n"
        err, movie = self.runs(listing, W, H, 1)
        # The run stops at the wrong picture: nothing after it is said or written.
        self.assertTrue(err.endswith("Processing other.pfmThe images have a different sixe than requested \n"), err)
        for name in names[7:] + ["cut.pfm"]:
            self.assertNotIn("Processing " + name, err)
        head, recs = records(movie)
        self.assertEqual(head[3], len(names) + 3)
        self.assertEqual(len(recs), 7)

    def test_two_eyes_and_an_early_end(self):
        W, H, names = self.pictures()
        listing = "".join("%s %s\n" % (names[k], names[k + 1]) for k in range(0, len(names), 2)) + "cut.pfm\n\n"
        err, movie = self.runs(listing, W, H, 0, ["-e", "2"])
        _, recs = records(movie)
        self.assertEqual(len(recs), len(names) + 2)  # the one-name lines repeat the last right picture

    def test_write_failure(self):
        W, H, names = self.pictures()
        self.write("list", "\n".join(names * 3) + "\n")
        for j in ("1", "2", "8"):
            proc = subprocess.run([ARGS.halvpack, "-x", str(W), "-y", str(H), "-j", j, "-i", "list", "-o", "/dev/full"],
                                  cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(proc.returncode, 1)
            err = proc.stderr.decode("latin-1")
            self.assertTrue(err.endswith("Failed to write the movie file\n"), err)
            self.assertNotIn("Total movie file size", err)

    def test_thread_counts(self):
        self.write("list", "")
        for bad in ("0", "1025", "two", "-1", "2x", ""):
            proc = subprocess.run([ARGS.halvpack, "-x", "8", "-y", "8", "-j", bad, "-i", "list", "-o", "out.mov"],
                                  cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(proc.returncode, 255)
            err = proc.stderr.decode("latin-1")
            self.assertTrue(err.startswith("Workers (-j) must be a whole number from 1 to 1024\nUsage: "), err)
            self.assertFalse(os.path.exists(self.path("out.mov")))
        for good in ("1", "3", "1024"):
            proc = subprocess.run([ARGS.halvpack, "-x", "8", "-y", "8", "-j", good, "-i", "list", "-o", "out.mov"],
                                  cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(proc.returncode, 0, proc.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--halvpack", required=True)
    parser.add_argument("--hdr-writer", required=True)
    parser.add_argument("--oiiotool")
    parser.add_argument("--exr-tool")
    ARGS, rest = parser.parse_known_args()
    for tool in ("halvpack", "hdr_writer", "exr_tool"):
        if getattr(ARGS, tool) and not getattr(ARGS, tool).endswith("-NOTFOUND"):
            setattr(ARGS, tool, os.path.abspath(getattr(ARGS, tool)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
