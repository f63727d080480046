#!/usr/bin/env python3
"""End-to-end tests of the movie builder halvpack.

Runs the real binary on file lists and pictures written byte by byte
(tests/lib/halvfiles.py), and checks its exit status, its messages and every
byte of the movie file. Expected values are worked out by the tests: pixel
values by the RGBE rule (mantissa x 2^(exponent - 136), 1e-6 for what
decodes to nothing) and the statistics from those values in double
precision.

    test_halvpack.py --halvpack PATH [--checker PATH --povray PATH
                     --convert PATH --scene PATH] [unittest arguments]

The RealPictures group needs the last four (POV-Ray, ImageMagick and the
stb_image-based checker); the other groups need only the binary.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from halvfiles import (f32, float_to_rgbe as encode, movie_header, rgbe_picture,  # noqa: E402
                       rgbe_to_float as decode, statistics as pixel_statistics)

ARGS = None

USAGE = (
    "Usage: {prog} "
    "-x width -y height [-dout format] [-din depth] [-e eyes] "
    "[-flip] [-cmap filename] [-bgr] [-g gamma] [-q n] [-d] "
    "[-fade n] "
    "filename\n"
    "       -o    Specify output file otherwise stdout\n"
    "       -i    Specify input file \n"
    "       -g    Does simple gamma correction [Default: 1]\n"
    "             Expects a floating point number. Slow!\n"
    "       -d    For testing (debug) mode\n"
    "The \"filename\" is a list of image files in either,\n"
    "A single column file for -e 1, double column file for -e 2\n"
    "\n"
    "       -j    Workers that read and convert pictures [Default: one per core]\n"
    "             Expects a whole number from 1 to 1024.\n"
    "       -s    Read PFM, Radiance RGBE and 16-bit PPM pictures from the standard\n"
    "             input until it ends, instead of -i; needs -o.\n"
    "       -pq   PFM and PPM values are PQ-encoded BT.2020 (HDR10 video)\n"
    "       -hlg  PFM and PPM values are HLG-encoded BT.2020\n"
    "       -nits With -pq or -hlg: the cd/m2 of a movie value of 1 [Default: 179]\n"
)

DEFAULT_W, DEFAULT_H = 720, 486


# ---------------------------------------------------------------- pictures

def uniform(width, height, px):
    return [[px] * width for _ in range(height)]


def random_rows(width, height, seed, exponents=range(117, 151)):
    """Pixels whose largest mantissa is at least 128 and whose exponent is at
    least 117: decoding and encoding them again gives the same four bytes
    (the 1e-6 floor of a zero mantissa scales to below 1 and truncates to 0).
    Short runs are mixed in so that the run-length form has both packets."""
    rnd = random.Random(seed)
    rows = []
    for _ in range(height):
        row = []
        while len(row) < width:
            m = [rnd.randrange(256) for _ in range(3)]
            if rnd.random() < 0.2:
                m[rnd.randrange(3)] = 0
            m[rnd.randrange(3)] = rnd.randrange(128, 256)
            px = (m[0], m[1], m[2], rnd.choice(list(exponents)))
            row.extend([px] * rnd.choice((1, 1, 1, 2, 5)))
        rows.append(row[:width])
    return rows


def statistics(rows):
    """maxLum and logAv of a picture, pixels taken in file order."""
    return pixel_statistics(px for row in rows for px in row)


def stats_line(rows):
    return " maxLum %f, logAv %f \n" % statistics(rows)


# ------------------------------------------------------------------- movie

def parse_movie(data):
    """(header dict, raw bytes after the header)."""
    w, h, fmt, eyes, p0, p1, n = struct.unpack("<hhBBBBi", data[:12])
    return dict(width=w, height=h, format=fmt, eyes=eyes, pad=(p0, p1), nframes=n), data[12:]


def records(data):
    """Splits a movie into (maxLum, logAv, rows top first as stored) records;
    the stored rows run bottom to top, so they are returned reversed to
    compare with a picture's scanlines."""
    head, body = parse_movie(data)
    size = 16 + 4 * head["width"] * head["height"]
    assert size > 16 and len(body) % size == 0, "movie body of %d bytes is not whole records of %d" % (len(body), size)
    out = []
    for k in range(0, len(body), size):
        rec = body[k:k + size]
        max_lum, log_av = struct.unpack("<dd", rec[:16])
        px = rec[16:]
        row_bytes = 4 * head["width"]
        stored = []
        for y in range(head["height"]):
            row = px[y * row_bytes:(y + 1) * row_bytes]
            stored.append(list(zip(row[0::4], row[1::4], row[2::4], row[3::4])))
        out.append((max_lum, log_av, stored[::-1]))
    return out


# ----------------------------------------------------------------- running

class Result:
    def __init__(self, proc, out_bytes):
        self.status = proc.returncode
        self.stderr = proc.stderr.decode("latin-1")
        self.stdout = proc.stdout
        self.movie = out_bytes


class BuilderTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halvpack-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        if isinstance(data, str):
            data = data.encode()
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def run_builder(self, args, stdout=subprocess.PIPE, timeout=60, **kw):
        """Runs halvpack in the test directory with `args`; the movie is
        read back from the -o file when there is one, else from stdout."""
        proc = subprocess.run([ARGS.halvpack] + list(args), cwd=self.dir, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=timeout, **kw)
        movie = proc.stdout
        if "-o" in args:
            out = os.path.join(self.dir, args[args.index("-o") + 1])
            if os.path.isfile(out):
                with open(out, "rb") as f:
                    movie = f.read()
        return Result(proc, movie)

    def assertUsage(self, result, before=""):
        self.assertEqual(result.status, 255)
        self.assertEqual(result.stderr, before + USAGE.format(prog=ARGS.halvpack))

    def assertRecordOf(self, record, rows, stored=None):
        """A record holds the statistics worked out from the picture `rows`
        and the pixels `stored` (rows top first), by default the picture's own
        pixels (for pixels that encode back to themselves)."""
        max_lum, log_av = statistics(rows)
        self.assertAlmostEqual(record[0], max_lum, delta=1e-12 * max_lum)
        self.assertAlmostEqual(record[1], log_av, delta=1e-12 * log_av)
        self.assertEqual(record[2], rows if stored is None else stored)


# ------------------------------------------------------------ command line

class CommandLine(BuilderTest):
    """Argument count, option values, the usage text and its exit status."""

    def setUp(self):
        super().setUp()
        self.write("empty.lst", "")
        self.write("two.lst", "a.hdr\nb.hdr\n")  # names of missing pictures: frames fail

    def test_argument_count(self):
        # Four arguments are too few, whatever they are; nothing is created.
        self.assertUsage(self.run_builder(["-e", "1", "-i", "two.lst"]))
        self.assertUsage(self.run_builder(["-i", "two.lst", "-o", "out.mov"]))
        self.assertFalse(os.path.exists(self.path("out.mov")))
        self.assertUsage(self.run_builder([]))
        # Five are enough.
        r = self.run_builder(["-d", "-e", "1", "-i", "two.lst"])
        self.assertEqual(r.status, 0, r.stderr)
        head, body = parse_movie(r.movie)
        self.assertEqual(head, dict(width=720, height=486, format=48, eyes=1, pad=(0, 0), nframes=2))
        self.assertEqual(body, b"")
        r = self.run_builder(["-i", "empty.lst", "-x", "720", "-y", "486"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["eyes"], 1)

    def test_eyes_values(self):
        for bad in ("0", "3", "256", "-1", "two"):
            with self.subTest(eyes=bad):
                self.assertUsage(self.run_builder(["-i", "empty.lst", "-e", bad, "-o", "out.mov"]),
                                 before="Eyes must be 1 or 2\n")
        for value, eyes in (("1", 1), ("2", 2), ("257", 1), ("258", 2), ("+2", 2), (" 1xyz", 1)):
            with self.subTest(eyes=value):
                r = self.run_builder(["-i", "empty.lst", "-e", value, "-d"])
                self.assertEqual(r.status, 0, r.stderr)
                self.assertEqual(parse_movie(r.movie)[0]["eyes"], eyes)

    def test_size_values(self):
        # The low 16 bits of the number, read as a signed 16-bit value.
        for x, y, width, height in (("70000", "486", 4464, 486), ("16", "66022", 16, 486),
                                    ("-1", "65535", -1, -1), ("  12abc", "x", 12, 0),
                                    ("1000000000000000000007", "-486", 7, -486)):
            with self.subTest(x=x, y=y):
                r = self.run_builder(["-i", "empty.lst", "-x", x, "-y", y])
                self.assertEqual(r.status, 0, r.stderr)
                head, _ = parse_movie(r.movie)
                self.assertEqual((head["width"], head["height"]), (width, height))

    def test_option_scan(self):
        # The usage-only options and unknown words are skipped without a word;
        # "-dout" is not "-d".
        r = self.run_builder(["-dout", "rgb", "-flip", "-g", "2.2", "-i", "two.lst", "-o", "out.mov", "junk"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertNotIn("Outputfile", r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["nframes"], 2)
        # No step starts at the last argument: a final -d does nothing ...
        r = self.run_builder(["-i", "two.lst", "-o", "out.mov", "-d"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertNotIn("Outputfile", r.stderr)
        # ... while -d before the last does.
        r = self.run_builder(["-i", "two.lst", "-d", "-o", "out.mov"])
        self.assertIn("Outputfile: out.mov\n", r.stderr)
        # The value of -x is examined by the tests after -x in the same step:
        # here it is "-d", read as width 0, and it also turns debug on.
        r = self.run_builder(["-x", "-d", "-i", "empty.lst", "junk"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["width"], 0)
        self.assertIn("Outputfile: \n", r.stderr)

    def test_value_past_the_end(self):
        # -x takes "-y" as its value; then -y, in the same step, has none.
        self.assertUsage(self.run_builder(["-d", "-i", "two.lst", "-x", "-y"]))
        self.assertUsage(self.run_builder(["-d", "-d", "-d", "-x", "-i"]))

    def test_list_and_output_that_cannot_be_opened(self):
        r = self.run_builder(["-i", "missing.lst", "-o", "out.mov", "-d"])
        self.assertUsage(r, before='Unable to open file list "missing.lst"\n')
        self.assertFalse(os.path.exists(self.path("out.mov")))
        # Without -i the list name is empty.
        self.assertUsage(self.run_builder(["-d", "-d", "-d", "-d", "-d"]), before='Unable to open file list ""\n')
        # A directory opens but cannot be read.
        os.mkdir(self.path("dir.lst"))
        r = self.run_builder(["-i", "dir.lst", "-o", "out.mov", "-d"])
        self.assertUsage(r, before='Unable to read file list "dir.lst"\n')
        self.assertFalse(os.path.exists(self.path("out.mov")))
        r = self.run_builder(["-i", "two.lst", "-o", "no/such/dir/out.mov", "-d"])
        self.assertEqual(r.status, 255)
        self.assertEqual(r.stderr, 'Found 2 file names\nFailed to open file "no/such/dir/out.mov"\n')

    def test_long_names_are_used_whole(self):
        # List and output names far over 127 characters, through nested
        # directories.
        deep = os.path.join(*(["d" * 60] * 5))
        os.makedirs(self.path(deep))
        lst = os.path.join(deep, "l" * 100 + ".lst")
        out = os.path.join(deep, "o" * 100 + ".mov")
        self.write(lst, "a.hdr\n")
        r = self.run_builder(["-d", "-i", lst, "-o", out])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertIn("Outputfile: %s\n" % out, r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["nframes"], 1)


# --------------------------------------------------------------- file list

class FileList(BuilderTest):
    """Line ends, blank and long lines, columns, names of any length."""

    SIZE = ["-x", "8", "-y", "2"]

    def setUp(self):
        super().setUp()
        # Three uniform pictures, told apart by their pixels.
        self.pics = {}
        for name, px in (("A", (128, 0, 0, 129)), ("B", (0, 128, 0, 130)), ("C", (0, 0, 128, 131))):
            self.pics[name] = uniform(8, 2, px)
            self.write(name, rgbe_picture(self.pics[name]))

    def build(self, listing, eyes=1):
        self.write("list", listing)
        r = self.run_builder(self.SIZE + ["-e", str(eyes), "-i", "list", "-o", "out.mov"])
        self.assertEqual(r.status, 0, r.stderr)
        return r

    def assertFrames(self, r, nframes, names, eyes=1):
        head, _ = parse_movie(r.movie)
        self.assertEqual((head["nframes"], head["eyes"]), (nframes, eyes))
        self.assertIn("Found %d file names\n" % nframes, r.stderr)
        recs = records(r.movie)
        self.assertEqual(len(recs), len(names))
        for rec, name in zip(recs, names):
            self.assertRecordOf(rec, self.pics[name])

    def test_line_ends(self):
        for listing in ("A\nB\nC\n", "A\rB\rC\r", "A\r\nB\r\nC\r\n", "A\r\nB\rC\n"):
            with self.subTest(listing=listing):
                self.assertFrames(self.build(listing), 3, "ABC")
        # Text after the last line end is not a line.
        with self.subTest(listing="A\\nB"):
            r = self.build("A\nB")
            self.assertFrames(r, 1, "A")
            self.assertNotIn("Processing B", r.stderr)

    def test_blank_lines_and_words(self):
        # A blank line repeats the name before it and counts as a frame;
        # blanks and tabs around the name and words after it do not matter.
        self.assertFrames(self.build("  A  trailing words\n\n\tB\n \nC\r\n\r\n"), 6, "AABBCC")
        # An empty list: the header alone.
        r = self.build("")
        self.assertEqual(r.movie, movie_header(8, 2, 0))
        self.assertEqual(r.stderr, "Found 0 file names\nTotal movie file size should be 12 bytes\n")

    def test_first_line_without_a_name(self):
        # No earlier name to repeat: that picture fails, the run goes on.
        r = self.build("\nB\n")
        self.assertFrames(r, 2, "B")
        self.assertTrue(r.stderr.startswith("Found 2 file names\nProcessing  ----- Failed\nProcessing B"), r.stderr)
        r = self.build("A\nB C\n", eyes=2)
        self.assertFrames(r, 2, "ABC", eyes=2)
        self.assertIn("Processing  ----- Failed\n", r.stderr)

    def test_long_lines(self):
        # A line over 1000 characters is cut after 1000, the rest read as the
        # next line; a line of exactly 1000 leaves its line end to make an
        # empty line, which repeats the name.
        r = self.build("A" + " " * 999 + "B\n" + "C" + " " * 999 + "\n" + "A\n")
        self.assertFrames(r, 5, "ABCCA")

    def test_two_columns(self):
        # First column first; a line with one name keeps the second name of
        # the line before; a failed first picture does not stop the second.
        r = self.build("A B\nC\n\nmissing A\nB C extra\n", eyes=2)
        self.assertFrames(r, 5, "ABCBCBABC", eyes=2)
        self.assertIn("Processing missing ----- Failed\nProcessing A", r.stderr)

    def test_names_of_any_length(self):
        # A picture path of over 300 characters is opened as it stands.
        deep = os.path.join(*(["p" * 80] * 4))
        os.makedirs(self.path(deep))
        long_name = os.path.join(deep, "n" * 60)
        self.write(long_name, rgbe_picture(self.pics["C"]))
        self.assertGreater(len(long_name), 300)
        r = self.build("A %s\n%s\n" % (long_name, long_name), eyes=2)
        self.assertIn("Processing %s maxLum" % long_name, r.stderr)
        self.pics[long_name] = self.pics["C"]
        self.assertFrames(r, 2, ["A", long_name, long_name, long_name], eyes=2)


# ------------------------------------------------------------------ output

class MovieOutput(BuilderTest):
    """Where the movie goes, the messages of a run, write failures."""

    def setUp(self):
        super().setUp()
        self.rows = uniform(DEFAULT_W, DEFAULT_H, (128, 128, 128, 129))
        self.rows[0][0] = (255, 64, 1, 140)
        self.write("a.hdr", rgbe_picture(self.rows))
        self.write("list", "a.hdr\nmissing.hdr\n\n")

    def test_stdout_and_named_file_hold_the_same_bytes(self):
        to_stdout = self.run_builder(["-d", "-i", "list", "-e", "1"])
        self.assertEqual(to_stdout.status, 0, to_stdout.stderr)
        # A named output file is emptied first.
        self.write("out.mov", b"x" * 5000000)
        to_file = self.run_builder(["-d", "-i", "list", "-o", "out.mov"])
        self.assertEqual(to_file.status, 0, to_file.stderr)
        self.assertEqual(to_file.movie, to_stdout.movie)
        self.assertEqual(len(to_file.movie), 12 + 1399696)
        self.assertEqual(parse_movie(to_file.movie)[0]["nframes"], 3)
        self.assertRecordOf(records(to_file.movie)[0], self.rows)

    def test_messages_of_a_run(self):
        r = self.run_builder(["-d", "-i", "list", "-o", "out.mov"])
        self.assertEqual(r.status, 0)
        stats = stats_line(self.rows)
        self.assertEqual(r.stderr,
                         "Found 3 file names\n"
                         "Outputfile: out.mov\n"
                         "Processing a.hdr" + stats + ", 1399696 of 1.3 MB \n"
                         "Processing missing.hdr ----- Failed\n"
                         "Processing missing.hdr ----- Failed\n"
                         "Total movie file size should be 1399708 bytes\n")
        self.write("list", "a.hdr\na.hdr\n")
        r = self.run_builder(["-d", "-i", "list", "-o", "out.mov"])
        self.assertIn(", 1399696 of 2.7 MB \nTotal movie file size should be 2799404 bytes\n", r.stderr)

    def test_write_failures(self):
        # A full device ...
        r = self.run_builder(["-d", "-i", "list", "-o", "/dev/full"])
        self.assertEqual(r.status, 1)
        self.assertTrue(r.stderr.endswith("Failed to write the movie file\n"), r.stderr)
        self.assertNotIn("Total movie file size", r.stderr)
        # ... a pipe nobody reads ...
        rfd, wfd = os.pipe()
        os.close(rfd)
        try:
            r = self.run_builder(["-d", "-i", "list", "-e", "1"], stdout=wfd)
        finally:
            os.close(wfd)
        self.assertEqual(r.status, 1)
        self.assertTrue(r.stderr.endswith("Failed to write the movie file\n"), r.stderr)
        # ... and a closed standard output.
        proc = subprocess.run(["sh", "-c", 'exec "$0" "$@" >&-', ARGS.halvpack, "-d", "-i", "list", "-e", "1"],
                              cwd=self.dir, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(proc.stderr.endswith(b"Failed to write the movie file\n"), proc.stderr)


# ---------------------------------------------------------------- pictures

class CraftedPictures(BuilderTest):
    """Records of pictures written here: statistics, pixel encoding, row
    order, header lines, picture forms."""

    def build(self, pictures, width, height, listing=None):
        for name, data in pictures.items():
            self.write(name, data)
        self.write("list", listing if listing is not None else "".join(n + "\n" for n in pictures))
        return self.run_builder(["-x", str(width), "-y", str(height), "-i", "list", "-o", "out.mov"])

    def test_black_and_white(self):
        black = uniform(9, 3, (0, 0, 0, 0))
        white = uniform(9, 3, (128, 128, 128, 129))
        for form in ("rle", "flat"):
            with self.subTest(form=form):
                r = self.build({"black": rgbe_picture(black, form), "white": rgbe_picture(white, form)}, 9, 3)
                self.assertEqual(r.status, 0, r.stderr)
                self.assertIn("Processing black maxLum 0.000001, logAv 0.000024 \n, 124 of 0.0 MB \n", r.stderr)
                self.assertIn("Processing white maxLum 1.000000, logAv 1.000023 \n, 124 of 0.0 MB \n", r.stderr)
                blk, wht = records(r.movie)
                # Black is written as the encoding of the 1e-6 floor.
                self.assertRecordOf(blk, black, stored=uniform(9, 3, (134, 134, 134, 109)))
                self.assertRecordOf(wht, white)

    def test_pixels_encoded_again(self):
        # Each pixel beside a bright one so that the run-length form is used
        # with the pixels in one scanline.
        # The 1e-6 floor shows beside a dim red and where nothing decodes;
        # a colour below the encoder's 1e-32 cut-off (exponent byte 1)
        # is written as four zero bytes.
        # Neighbours that differ in one byte only must not share a result.
        row = [(200, 0, 0, 110), (200, 0, 0, 140), (64, 0, 0, 130), (1, 2, 3, 0), (0, 0, 0, 200),
               (255, 255, 255, 150), (128, 7, 0, 117), (3, 2, 1, 1),
               (130, 60, 20, 135), (130, 60, 21, 135), (130, 61, 21, 135), (131, 61, 21, 135), (131, 61, 21, 136)]
        want = [(200, 67, 67, 110), (200, 0, 0, 140), (128, 0, 0, 129), (134, 134, 134, 109), (134, 134, 134, 109),
                (255, 255, 255, 150), (128, 7, 0, 117), (0, 0, 0, 0)] + row[8:]
        for form in ("rle", "flat"):
            with self.subTest(form=form):
                r = self.build({"p": rgbe_picture([row], form)}, len(row), 1)
                self.assertEqual(r.status, 0, r.stderr)
                (rec,) = records(r.movie)
                self.assertRecordOf(rec, [row], stored=[want])

    def test_any_pixel(self):
        # Random bytes: every exponent, unnormalised mantissas, zeros. Each
        # pixel is written as the encoding of its decoded colour.
        rnd = random.Random(9)
        rows = [[tuple(rnd.randrange(256) for _ in range(4)) for _ in range(64)] for _ in range(16)]
        for y in range(0, 16, 3):
            for x in range(y, 64, 5):
                rows[y][x] = (rows[y][x][0], 0, rows[y][x][2], rnd.choice((0, 1, 2, 100, 117, 128, 200, 255)))
        want = [[encode(decode(px)) for px in row] for row in rows]
        for form in ("rle", "flat"):
            with self.subTest(form=form):
                r = self.build({"p": rgbe_picture(rows, form)}, 64, 16)
                self.assertEqual(r.status, 0, r.stderr)
                self.assertRecordOf(records(r.movie)[0], rows, stored=want)

    def test_rows_bottom_first_and_both_forms(self):
        rows = random_rows(37, 5, seed=1)
        narrow = random_rows(5, 7, seed=2)  # below 8 pixels: always flat
        r = self.build({"rle": rgbe_picture(rows), "flat": rgbe_picture(rows, "flat")}, 37, 5)
        self.assertEqual(r.status, 0, r.stderr)
        rle, flat = records(r.movie)
        self.assertRecordOf(rle, rows)
        self.assertEqual(flat, rle)
        # Stored bottom row first: the file's first scanline ends the record.
        head = 12 + 16
        self.assertEqual(r.movie[head:head + 4], bytes(rows[-1][0]))
        self.assertEqual(r.movie[head + 4 * 37 * 4:head + 4 * 37 * 5], b"".join(bytes(p) for p in rows[0]))
        r = self.build({"narrow": rgbe_picture(narrow, "flat")}, 5, 7)
        self.assertEqual(r.status, 0, r.stderr)
        self.assertRecordOf(records(r.movie)[0], narrow)

    def test_full_size_picture(self):
        base = random_rows(DEFAULT_W, 16, seed=3)
        rows = [base[(7 * y) % 16] for y in range(DEFAULT_H)]
        self.write("big", rgbe_picture(rows))
        self.write("list", "big\n")
        r = self.run_builder(["-i", "list", "-o", "out.mov", "-d"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertIn("Processing big" + stats_line(rows) + ", 1399696 of 1.3 MB \n", r.stderr)
        self.assertRecordOf(records(r.movie)[0], rows)

    def test_header_lines_do_not_change_the_record(self):
        rows = random_rows(16, 4, seed=4)
        pictures = {
            "plain": rgbe_picture(rows),
            "after": rgbe_picture(rows, after_format=["GAMMA=2.2", "EXPOSURE=0.25"]),
            "gamma": rgbe_picture(rows, after_format=["GAMMA=0.5"]),
            "before": rgbe_picture(rows, before_format=["EXPOSURE=4", "GAMMA=1.8", "SOFTWARE=test"]),
        }
        r = self.build(pictures, 16, 4)
        self.assertEqual(r.status, 0, r.stderr)
        recs = records(r.movie)
        self.assertEqual(len(recs), 4)
        self.assertRecordOf(recs[0], rows)
        for rec in recs[1:]:
            self.assertEqual(rec, recs[0])

    def test_picture_of_another_size(self):
        rows = random_rows(16, 4, seed=5)
        for w, h in ((17, 4), (15, 4), (16, 5), (16, 3)):
            with self.subTest(size=(w, h)):
                other = random_rows(w, h, seed=6)
                r = self.build({"good": rgbe_picture(rows), "other": rgbe_picture(other), "later": rgbe_picture(rows)},
                               16, 4, listing="good\n\nother\nlater\n")
                self.assertEqual(r.status, 1)
                self.assertTrue(r.stderr.endswith(
                    "Processing other" "The images have a different sixe than requested \n"), r.stderr)
                # What was written stays, the header keeps the count.
                self.assertEqual(parse_movie(r.movie)[0]["nframes"], 4)
                recs = records(r.movie)
                self.assertEqual(len(recs), 2)
                self.assertRecordOf(recs[0], rows)
                self.assertRecordOf(recs[1], rows)


class FailedPictures(BuilderTest):
    """Pictures that cannot be read are failed and the run goes on."""

    def test_unreadable_pictures(self):
        rows = random_rows(16, 4, seed=7)
        good = rgbe_picture(rows)
        header_len = good.index(b"+X 16\n") + 6
        cases = {
            # name: (file contents or None for none, message the codec prints)
            "missing": (None, ""),
            "empty": (b"", "RGBE read error"),
            "token": (b"P6\n" + good, "RGBE bad file format: bad initial token\n"),
            "noformat": (b"#?RADIANCE\n\n-Y 4 +X 16\n", "RGBE bad file format: no FORMAT specifier found\n"),
            "nosize": (rgbe_picture(rows, size_line="+Y 4 +X 16"),
                       "RGBE bad file format: missing image size specifier\n"),
            "short": (good[:-7], "RGBE read error"),
            "zerocount": (good[:header_len + 4] + b"\x00" + good[header_len + 5:],
                          "RGBE bad file format: bad scanline data\n"),
            "wrongwidth": (good[:header_len + 3] + b"\x11" + good[header_len + 4:],
                           "RGBE bad file format: wrong scanline width\n"),
        }
        names = []
        for name, (data, _) in cases.items():
            if data is not None:
                self.write(name, data)
            names += [name, "good"]
        self.write("good", good)
        os.mkdir(self.path("dir"))
        os.mkfifo(self.path("fifo"))
        names += ["dir", "fifo", "good"]
        self.write("list", "".join(n + "\n" for n in names))
        r = self.run_builder(["-x", "16", "-y", "4", "-i", "list", "-o", "out.mov"], timeout=30)
        self.assertEqual(r.status, 0, r.stderr)
        head, _ = parse_movie(r.movie)
        self.assertEqual(head["nframes"], len(names))
        recs = records(r.movie)
        self.assertEqual(len(recs), names.count("good"))
        for rec in recs:
            self.assertRecordOf(rec, rows)
        self.assertTrue(r.stderr.endswith("Total movie file size should be %d bytes\n" % len(r.movie)))
        lines = r.stderr[:r.stderr.rindex("Total")].split("Processing ")
        self.assertEqual(len(lines), len(names) + 1)
        for name, text in zip(names, lines[1:]):
            with self.subTest(picture=name):
                if name == "good":
                    self.assertEqual(text, "good" + stats_line(rows) + ", %d of 0.0 MB \n" % (16 + 4 * 64))
                    continue
                message = cases[name][1] if name in cases else ""
                if message:
                    self.assertTrue(text.startswith(name + message), text)
                    self.assertTrue(text.endswith(" ----- Failed\n"), text)
                else:  # not a picture file at all: nothing is read from it
                    self.assertEqual(text, name + " ----- Failed\n")

    def test_movie_size_that_holds_no_picture(self):
        self.write("p", rgbe_picture(random_rows(8, 2, seed=8)))
        self.write("list", "p\np\n")
        for x, y in (("0", "2"), ("8", "-2"), ("65536", "0")):
            with self.subTest(x=x, y=y):
                r = self.run_builder(["-x", x, "-y", y, "-i", "list", "-o", "out.mov"])
                self.assertEqual(r.status, 0, r.stderr)
                self.assertEqual(len(r.movie), 12)
                self.assertEqual(r.stderr.count(" ----- Failed\n"), 2)
                self.assertTrue(r.stderr.endswith("Total movie file size should be 12 bytes\n"), r.stderr)


# ----------------------------------------------------------- real pictures

class RealPictures(BuilderTest):
    """Pictures from independent writers, checked against stb_image."""

    def setUp(self):
        super().setUp()
        # Skipped, with a line that CTest's SKIP_REGULAR_EXPRESSION knows,
        # when a tool was not given, was not found by CMake (it passes
        # NAME-NOTFOUND) or is gone since.
        for tool in ("checker", "povray", "convert", "scene"):
            value = getattr(ARGS, tool)
            there = value and (os.path.isfile(value) if tool == "scene"
                               else os.access(value, os.X_OK))
            if not value or value.endswith("-NOTFOUND") or not there:
                self.skipTest("needs --" + tool)

    def tool(self, args, **kw):
        env = dict(os.environ, HOME=self.dir, OMP_NUM_THREADS="1", MAGICK_THREAD_LIMIT="1")
        proc = subprocess.run(args, cwd=self.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=120, **kw)
        self.assertEqual(proc.returncode, 0, "%s failed:\n%s" % (args[0], proc.stdout.decode("latin-1")[-3000:]))
        return proc.stdout.decode("latin-1")

    def check(self, listing, eyes, pictures, size=()):
        self.write("list", listing)
        r = self.run_builder(list(size) + ["-e", str(eyes), "-i", "list", "-o", "out.mov"])
        self.assertEqual(r.status, 0, r.stderr)
        self.assertNotIn("Failed", r.stderr)
        report = self.tool([ARGS.checker, "out.mov", str(eyes)] + pictures)
        self.assertEqual(report.count(", 0 wrong;"), len(pictures), report)
        return report

    def test_rendered_sequence(self):
        # Three frames of an animation, rendered straight to RGBE at the
        # default movie size, one thread, no antialiasing.
        self.tool([ARGS.povray, "+I" + ARGS.scene, "+Oframe.hdr", "+FH", "+W720", "+H486", "-A", "-D", "+WT1",
                   "+KFI1", "+KFF3", "+KI0", "+KF1", "-V", "-GA"])
        frames = ["frame%d.hdr" % k for k in (1, 2, 3)]
        for f in frames:
            self.assertTrue(os.path.isfile(self.path(f)), os.listdir(self.dir))
        report = self.check("".join(f + "\n" for f in frames), 1, frames)
        # The scene has light far above 1 and black background: both the
        # exact and the floored branches of the check are exercised.
        self.assertNotIn(" 0 dark pixels", report)
        # A stereo pair movie of the same frames.
        self.check("frame1.hdr frame2.hdr\nframe3.hdr frame1.hdr\n", 2,
                   ["frame1.hdr", "frame2.hdr", "frame3.hdr", "frame1.hdr"])

    def test_converted_pictures(self):
        convert = [ARGS.convert, "-seed", "7"]
        self.tool(convert + ["-size", "720x486", "gradient:red-blue", "gradient.hdr"])
        self.tool(convert + ["-size", "720x486", "plasma:fractal", "plasma.hdr"])
        self.tool(convert + ["-size", "720x486", "xc:black", "-fill", "white", "-draw", "circle 360,243 360,100",
                             "-fill", "rgb(10,200,30)", "-draw", "rectangle 10,10 200,100", "shapes.hdr"])
        self.check("gradient.hdr\nplasma.hdr\nshapes.hdr\n", 1, ["gradient.hdr", "plasma.hdr", "shapes.hdr"])
        # A picture under 8 pixels wide is written and read flat.
        self.tool(convert + ["-size", "5x7", "plasma:fractal", "narrow.hdr"])
        self.check("narrow.hdr\n", 1, ["narrow.hdr"], size=("-x", "5", "-y", "7"))


# ----------------------------------------------------------- picture stream

def pfm_picture(rows, order="<"):
    """A colour PFM picture of decoded RGBE rows (top first): the floats
    bottom row first, in the byte order the scale's sign says."""
    floats = [c for row in reversed(rows) for px in row for c in decode(px)]
    head = b"PF\n%d %d\n%s\n" % (len(rows[0]), len(rows), b"-1.0" if order == "<" else b"1.0")
    return head + struct.pack(order + "%df" % len(floats), *floats)


def ppm16_picture(samples, width, height, maxval=65535):
    """A binary PPM of 16-bit samples (three a pixel, top row first)."""
    return b"P6\n%d %d\n%d\n" % (width, height, maxval) + struct.pack(">%dH" % len(samples), *samples)


class PictureStream(BuilderTest):
    """-s: pictures from the standard input, the frame count written at the
    end, streams that end early or hold no picture."""

    W, H = 16, 4

    def stream(self, data, extra=(), out="out.mov"):
        args = ["-s", "-x", str(self.W), "-y", str(self.H)] + list(extra) + (["-o", out] if out else [])
        return self.run_builder(args, input=data)

    def assertNoTemporaryFiles(self):
        self.assertEqual([n for n in os.listdir(self.dir) if n.endswith(".tmp")], [])

    def test_stream_gives_the_records_of_the_list(self):
        pictures = [rgbe_picture(random_rows(self.W, self.H, seed=s)) for s in (11, 12)]
        pictures.append(pfm_picture(random_rows(self.W, self.H, seed=13)))
        pictures.append(pfm_picture(random_rows(self.W, self.H, seed=14), order=">"))
        names = ["p%d" % k for k in range(len(pictures))]
        for name, data in zip(names, pictures):
            self.write(name, data)
        self.write("list", "".join(n + "\n" for n in names))
        listed = self.run_builder(["-x", str(self.W), "-y", str(self.H), "-i", "list", "-o", "list.mov"])
        self.assertEqual(listed.status, 0, listed.stderr)
        said = listed.stderr.replace("Found 4 file names\n", "")
        for k, name in enumerate(names):
            said = said.replace("Processing %s " % name, "Processing stdin #%d " % (k + 1))
        for workers in ("1", "3"):
            r = self.stream(b"".join(pictures), ["-j", workers])
            self.assertEqual(r.status, 0, r.stderr)
            self.assertEqual(r.movie, listed.movie)
            self.assertEqual(r.stderr, said)
        self.assertNoTemporaryFiles()

    def test_ppm16_values_and_hdr_signals(self):
        # Samples s give the values s / 65535; a grey of PQ(179 cd/m2) with
        # -pq (PPM and PFM), and of HLG 0.75 (203.15 cd/m2 on the reference
        # display) with -hlg -nits 203.15, give 1.
        samples = [(97 * i * i + 13 * i) % 65536 for i in range(3 * self.W * self.H)]
        r = self.stream(ppm16_picture(samples, self.W, self.H))
        self.assertEqual(r.status, 0, r.stderr)
        floats = [f32(f32(s) / 65535.0) for s in samples]
        pixels = [encode(floats[3 * i:3 * i + 3]) for i in range(self.W * self.H)]
        rows = [pixels[y * self.W:(y + 1) * self.W] for y in range(self.H)]
        self.assertRecordOf(records(r.movie)[0], rows)
        n = 3 * self.W * self.H
        pq_pfm = b"PF\n%d %d\n-1.0\n" % (self.W, self.H) + struct.pack("<%df" % n, *[37196 / 65535] * n)
        for extra, picture in ((["-pq"], ppm16_picture([37196] * n, self.W, self.H)), (["-pq"], pq_pfm),
                               (["-hlg", "-nits", "203.15"], ppm16_picture([49151] * n, self.W, self.H))):
            with self.subTest(extra=extra, picture=picture[:2]):
                r = self.stream(picture, extra)
                self.assertEqual(r.status, 0, r.stderr)
                value = decode(records(r.movie)[0][2][0][0])
                for c in value:
                    self.assertAlmostEqual(c, 1.0, delta=0.005)

    def test_stereo_pairs(self):
        pictures = [pfm_picture(random_rows(self.W, self.H, seed=s)) for s in range(20, 25)]
        r = self.stream(b"".join(pictures[:4]), ["-e", "2"])
        self.assertEqual(r.status, 0, r.stderr)
        head, _ = parse_movie(r.movie)
        self.assertEqual((head["eyes"], head["nframes"]), (2, 2))
        self.assertEqual(len(records(r.movie)), 4)
        # A stream that ends between the eyes: the half frame is left out.
        r = self.stream(b"".join(pictures), ["-e", "2"])
        self.assertEqual(r.status, 1)
        self.assertIn("The stream ended between the eyes of a frame: its left picture, stdin #5, is left out\n",
                      r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["nframes"], 2)
        self.assertEqual(len(records(r.movie)), 4)

    def test_hostile_streams(self):
        good = pfm_picture(random_rows(self.W, self.H, seed=30))
        tall = pfm_picture(random_rows(self.W, self.H + 1, seed=31))
        # The stream, the frames kept (None: no movie), and what is said.
        cases = [
            (b"", None, "No complete frame came from the standard input"),
            (b"P", None, "stdin #1Stream read error: the stream ended inside a picture"),
            (b"garbage, not a picture\n", None, "stdin #1Stream bad format: not a PFM, Radiance RGBE or 16-bit PPM"),
            (good + b"\x00\x01junk", 1, "stdin #2Stream bad format"),
            (good + good[:len(good) - 5], 1, "stdin #2PFM read error: the stream ended inside the picture, after"),
            (good + good[:9], 1, "stdin #2PFM bad file format: bad scale"),
            (good + b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 16\n\x02", 1, "stdin #2RGBE read error"),
            (good + ppm16_picture([0] * 3 * self.W * self.H, self.W, self.H, maxval=255)[:20], 1,
             "stdin #2PPM bad file format: maxval 255, halvpack reads 16-bit pictures (maxval 65535)"),
            (good + good + tall, 2, "stdin #3The images have a different sixe than requested \n"),
        ]
        for data, kept, message in cases:
            with self.subTest(data=data[-40:], kept=kept):
                if os.path.exists(self.path("out.mov")):
                    os.remove(self.path("out.mov"))
                r = self.stream(data)
                self.assertEqual(r.status, 1, r.stderr)
                self.assertIn(message, r.stderr)
                if kept is None:
                    self.assertFalse(os.path.exists(self.path("out.mov")))
                else:
                    self.assertEqual(parse_movie(r.movie)[0]["nframes"], kept)
                    self.assertEqual(len(records(r.movie)), kept)
                self.assertNoTemporaryFiles()

    def test_command_line(self):
        data = pfm_picture(random_rows(self.W, self.H, seed=40))
        os.mkdir(self.path("folder"))
        self.write("list", "a\n")
        cases = [
            ([], "-s needs -o with a regular file: the frame count is written when the stream ends\n"),
            (["-o", "folder"], "-s needs -o with a regular file: the frame count is written when the stream ends\n"),
            (["-o", "out.mov", "-i", "list"], "-s reads the pictures from the standard input: -i cannot go with it\n"),
            (["-o", "out.mov", "-nits", "100"], "-nits goes with -pq or -hlg\n"),
            (["-o", "out.mov", "-pq", "-hlg"], "-pq and -hlg cannot go together\n"),
            (["-o", "out.mov", "-pq", "-nits", "0"], "Nits (-nits) must be a number of cd/m2 from 0.01 to 10000\n"),
        ]
        for extra, message in cases:
            with self.subTest(extra=extra):
                self.assertUsage(self.stream(data, extra, out=None), message)
                self.assertFalse(os.path.exists(self.path("out.mov")))
        # -s as the last argument counts too.
        r = self.run_builder(["-x", str(self.W), "-y", str(self.H), "-o", "out.mov", "-s"], input=data)
        self.assertEqual(r.status, 0, r.stderr)
        self.assertEqual(parse_movie(r.movie)[0]["nframes"], 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--halvpack", required=True)
    parser.add_argument("--checker")
    parser.add_argument("--povray")
    parser.add_argument("--convert")
    parser.add_argument("--scene")
    ARGS, rest = parser.parse_known_args()
    for tool in ("halvpack", "checker", "scene"):
        if getattr(ARGS, tool):
            setattr(ARGS, tool, os.path.abspath(getattr(ARGS, tool)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
