#!/usr/bin/env python3
"""Hostile OpenEXR and PFM pictures for halvpack: cut files, huge declared
sizes over tiny files, broken headers, zero, negative-zero and NaN scales,
values no picture should hold.

Usage: hostile_picture.py [case ...]  (every case without arguments)
Environment: HALVPACK, the program; PEAKRSS, the launcher that measures its
peak memory; HALVORN_SANITIZED=1 skips the memory bounds;
HALVORN_OPENEXR=0 when halvpack is built without OpenEXR (the OpenEXR
cases then check that it says so).

OpenEXR files are written here byte by byte (a scanline file without
compression, float channels), PFM files too. Every case checks the exit
status, the messages and the movie: a picture that fails adds nothing, and
a good picture after it still converts.
"""
import math
import os
import struct
import sys

from hostile import Skip, check, expect, grey_picture, movie_header, run, main

HALVPACK = os.environ.get("HALVPACK", "halvpack")
PEAKRSS = os.environ.get("PEAKRSS", "peakrss")
SANITIZED = os.environ.get("HALVORN_SANITIZED") == "1"
OPENEXR = os.environ.get("HALVORN_OPENEXR", "1") == "1"

W, H = 16, 16
RECORD = 16 + 4 * W * H
GOOD = grey_picture(W, H)  # every component 1.0
GOOD_PIXELS = bytes([128, 128, 128, 129]) * (W * H)
SMALL_RSS_KIB = 16 * 1024


def write(tmp, name, data):
    with open(os.path.join(tmp, name), "wb") as f:
        f.write(data)


def pack(tmp, names, width=W, height=H, extra=(), **kw):
    write(tmp, "list.txt", b"".join(n.encode() + b"\n" for n in names))
    return run([HALVPACK, "-x", str(width), "-y", str(height)] + list(extra) +
               ["-i", "list.txt", "-o", os.path.join(tmp, "out.mov")], cwd=tmp, **kw)


def movie(tmp):
    with open(os.path.join(tmp, "out.mov"), "rb") as f:
        return f.read()


def check_movie(tmp, nframes, good_records, width=W, height=H):
    data = movie(tmp)
    check(data[:12] == movie_header(width, height, nframes), "movie header", data[:12].hex())
    check(len(data) == 12 + good_records * (16 + 4 * width * height),
          "movie of %d records expected, %d bytes found" % (good_records, len(data)))
    for k in range(good_records):
        rec = data[12 + k * RECORD:12 + (k + 1) * RECORD]
        maxlum, logav = struct.unpack("<dd", rec[:16])
        check(math.isclose(maxlum, 1.0, rel_tol=1e-12) and math.isclose(logav, 1.000023, rel_tol=1e-12),
              "statistics of record %d: %r %r" % (k, maxlum, logav))
        check(rec[16:] == GOOD_PIXELS, "pixels of record %d" % k)


def peak_rss_kib(tmp, width, height):
    out = run([PEAKRSS, HALVPACK, "-x", str(width), "-y", str(height), "-i", "list.txt", "-o",
               os.path.join(tmp, "out.mov")], cwd=tmp, timeout=120)
    return int(out.out)


def failing(tmp, data, *messages, name="bad"):
    """A broken picture, then a good one: the broken one fails with the
    messages, adds nothing, and the good one still converts."""
    write(tmp, name, data)
    write(tmp, "good.hdr", GOOD)
    r = pack(tmp, [name, "good.hdr"])
    expect(r, 0, "Found 2 file names\n", "Processing " + name, *messages)
    expect(r, 0, " ----- Failed\n", "Processing good.hdr maxLum 1.000000, logAv 1.000023 \n, 1040 of 0.0 MB \n",
           "Total movie file size should be %d bytes" % (12 + RECORD))
    check_movie(tmp, 2, 1)
    return r


def stopping(tmp, data, name="bad"):
    """A picture of another size stops the run with status 1 before the
    good picture after it."""
    write(tmp, name, data)
    write(tmp, "good.hdr", GOOD)
    r = pack(tmp, [name, "good.hdr"])
    expect(r, 1, "Processing " + name + "The images have a different sixe than requested \n")
    check(r.err.decode(errors="replace").endswith("than requested \n"), "the run went on", r)
    check_movie(tmp, 2, 0)


# --- OpenEXR files written byte by byte --------------------------------------

def attribute(name, kind, value):
    return name.encode() + b"\0" + kind.encode() + b"\0" + struct.pack("<i", len(value)) + value


def chlist(names):
    # Float channels (type 2), sampling 1, in the file's alphabetical order.
    return b"".join(n.encode() + b"\0" + struct.pack("<iB3xii", 2, 0, 1, 1) for n in sorted(names)) + b"\0"


def box(x0, y0, x1, y1):
    return struct.pack("<4i", x0, y0, x1, y1)


def exr(width=W, height=H, data=None, display=None, channels=("R", "G", "B"), value=1.0, extra=b"",
        tiles=None, pixels=True):
    """A scanline OpenEXR file without compression, every value `value`;
    `data` and `display` are windows (x0, y0, x1, y1), by default the
    picture's size. With `tiles` (w, h) the header says tiled (no data
    follows). With pixels=False the offset table and the chunks are left
    out."""
    data = data or (0, 0, width - 1, height - 1)
    display = display or (0, 0, width - 1, height - 1)
    head = b"\x76\x2f\x31\x01" + struct.pack("<I", 2 | (0x200 if tiles else 0))
    head += attribute("channels", "chlist", chlist(channels))
    head += attribute("compression", "compression", b"\0")
    head += attribute("dataWindow", "box2i", box(*data))
    head += attribute("displayWindow", "box2i", box(*display))
    head += attribute("lineOrder", "lineOrder", b"\0")
    head += attribute("pixelAspectRatio", "float", struct.pack("<f", 1.0))
    head += attribute("screenWindowCenter", "v2f", struct.pack("<2f", 0.0, 0.0))
    head += attribute("screenWindowWidth", "float", struct.pack("<f", 1.0))
    if tiles:
        head += attribute("tiles", "tiledesc", struct.pack("<IIB", tiles[0], tiles[1], 0))
    head += extra + b"\0"
    if not pixels:
        return head
    dw, dh = data[2] - data[0] + 1, data[3] - data[1] + 1
    line = struct.pack("<%df" % (dw * len(channels)), *([value] * (dw * len(channels))))
    chunks, offsets = b"", []
    start = len(head) + 8 * dh
    for y in range(dh):
        offsets.append(start + len(chunks))
        chunks += struct.pack("<ii", data[1] + y, len(line)) + line
    return head + struct.pack("<%dQ" % dh, *offsets) + chunks


def exr_failing(tmp, data, *messages):
    """failing() for an OpenEXR picture; without OpenEXR the message says so."""
    if not OPENEXR:
        return failing(tmp, data, "this halvpack was built without OpenEXR", name="bad.exr")
    return failing(tmp, data, *messages, name="bad.exr")


def case_exr_good_file_reads(tmp):
    # The handmade file itself is good: its record is GOOD's.
    if not OPENEXR:
        raise Skip("halvpack is built without OpenEXR")
    write(tmp, "a.exr", exr())
    write(tmp, "good.hdr", GOOD)
    r = pack(tmp, ["a.exr", "good.hdr"])
    expect(r, 0, "Processing a.exr maxLum 1.000000, logAv 1.000023 \n")
    check_movie(tmp, 2, 2)


def case_exr_cut_anywhere(tmp):
    whole = exr()
    header_end = len(exr(pixels=False))
    for cut in (4, 8, 20, 60, header_end - 1, header_end, header_end + 8 * 3 + 5, header_end + 8 * H + 30,
                len(whole) - 1):
        exr_failing(tmp, whole[:cut], "OpenEXR error: ")


def case_exr_garbage_after_magic(tmp):
    import random
    rnd = random.Random(3)
    for k in range(12):
        data = b"\x76\x2f\x31\x01" + bytes(rnd.randrange(256) for _ in range(rnd.choice((0, 3, 50, 400, 4000))))
        exr_failing(tmp, data, "OpenEXR error: ")


def case_exr_huge_display_window_tiny_file(tmp):
    # A display window of a billion pixels a side: the size error, found
    # before anything is allocated for it.
    data = exr(display=(0, 0, 999999999, 999999999), pixels=False)
    if not OPENEXR:
        return exr_failing(tmp, data)
    stopping(tmp, data, name="bad.exr")
    if not SANITIZED:
        rss = peak_rss_kib(tmp, W, H)
        print("peak memory for a display window of 10^9 x 10^9: %d KiB" % rss)
        check(rss < SMALL_RSS_KIB, "peak memory %d KiB" % rss)


def case_exr_huge_picture_tiny_file(tmp):
    # 31999 x 31999 declared and matching the movie, no pixels in the file.
    if not OPENEXR:
        raise Skip("halvpack is built without OpenEXR")
    write(tmp, "huge.exr", exr(31999, 31999, pixels=False) + b"\0" * 64)
    write(tmp, "list.txt", b"huge.exr\n")
    r = pack(tmp, ["huge.exr"], 31999, 31999)
    expect(r, 0, "Processing huge.exrOpenEXR error: ", " ----- Failed\n", "Total movie file size should be 12 bytes")
    if not SANITIZED:
        rss = peak_rss_kib(tmp, 31999, 31999)
        print("peak memory for a 31999 x 31999 picture without pixels: %d KiB" % rss)
        check(rss < SMALL_RSS_KIB, "peak memory %d KiB" % rss)


def case_exr_huge_data_window(tmp):
    # The display window is the movie's, the data window claims 2^29 lines
    # (beyond 2^30 the library itself refuses the window).
    exr_failing(tmp, exr(data=(0, 0, W - 1, (1 << 30) - 1), pixels=False), "OpenEXR error: Invalid data window")
    data = exr(data=(0, 0, W - 1, (1 << 29) - 1), pixels=False)
    r = exr_failing(tmp, data, "OpenEXR data window of 16 x 536870912 pixels: halvpack reads at most 65536 a side\n")
    if OPENEXR and not SANITIZED:
        write(tmp, "list.txt", b"bad.exr\n")
        rss = peak_rss_kib(tmp, W, H)
        print("peak memory for a data window of 2^29 lines: %d KiB" % rss)
        check(rss < SMALL_RSS_KIB, "peak memory %d KiB" % rss)
    return r


def case_exr_huge_tiles(tmp):
    exr_failing(tmp, exr(tiles=(1 << 30, 1 << 30), pixels=False) + b"\0" * 64, "OpenEXR error: ")
    exr_failing(tmp, exr(tiles=(0, 0), pixels=False) + b"\0" * 64, "OpenEXR error: ")


def case_exr_windows_inside_out(tmp):
    # max below min: the library refuses the header.
    exr_failing(tmp, exr(data=(5, 5, 0, 0), pixels=False) + b"\0" * 64, "OpenEXR error: ")
    exr_failing(tmp, exr(display=(0, 0, -3, 15), pixels=False) + b"\0" * 64, "OpenEXR error: ")


def case_exr_data_window_far_away(tmp):
    # Data far outside the display window: the picture is black, and no
    # room is taken for the columns between the two.
    if not OPENEXR:
        raise Skip("halvpack is built without OpenEXR")
    far = (1 << 29) - W
    write(tmp, "far.exr", exr(data=(far, 0, far + W - 1, H - 1)))
    r = pack(tmp, ["far.exr"])
    expect(r, 0, "Processing far.exr maxLum 0.000001, logAv 0.000024 \n")


def case_exr_without_colour_channels(tmp):
    exr_failing(tmp, exr(channels=("Z",)), "OpenEXR picture without R, G and B or Y channels\n")
    exr_failing(tmp, exr(channels=("R", "G")), "OpenEXR picture without R, G and B or Y channels\n")
    exr_failing(tmp, exr(channels=["c%04d" % k for k in range(2000)], pixels=False) + b"\0" * 16,
                "OpenEXR picture without R, G and B or Y channels\n")


def case_exr_views_that_lie(tmp):
    # A multiView attribute naming left and right without right channels:
    # no stereo pair, so a one-name line's right eye is the line's other
    # picture (none here).
    if not OPENEXR:
        raise Skip("halvpack is built without OpenEXR")
    views = b"".join(struct.pack("<i", len(v)) + v for v in (b"left", b"right"))
    write(tmp, "v.exr", exr(extra=attribute("multiView", "stringvector", views)))
    r = pack(tmp, ["v.exr"], extra=("-e", "2"))
    expect(r, 0, "Processing v.exr maxLum 1.000000", "Processing  ----- Failed\n")
    # A broken attribute value: the header is refused.
    bad = exr(extra=attribute("multiView", "stringvector", struct.pack("<i", 1000) + b"left"))
    exr_failing(tmp, bad, "OpenEXR error: ")


# --- PFM ---------------------------------------------------------------------

def pfm(width=W, height=H, value=1.0, scale=b"-1.0", magic=b"PF", size=None):
    channels = 3 if magic == b"PF" else 1
    head = magic + b"\n" + (size or b"%d %d" % (width, height)) + b"\n" + scale + b"\n"
    order = "<" if scale.startswith(b"-") else ">"
    return head + struct.pack(order + "%df" % (width * height * channels), *([value] * (width * height * channels)))


def case_pfm_good_in_both_orders(tmp):
    for data in (pfm(), pfm(scale=b"1.0"), pfm(magic=b"Pf"), pfm(magic=b"Pf", scale=b"+1")):
        write(tmp, "a.pfm", data)
        write(tmp, "good.hdr", GOOD)
        r = pack(tmp, ["a.pfm", "good.hdr"])
        expect(r, 0, "Processing a.pfm maxLum 1.000000, logAv 1.000023 \n, 1040 of")
        check_movie(tmp, 2, 2)


def case_pfm_cut_anywhere(tmp):
    whole = pfm()
    for cut in (2, 3, 5, 9, 13):
        failing(tmp, whole[:cut], "PFM bad file format: ", name="bad.pfm")
    for cut in (len(b"PF\n16 16\n-1.0\n"), len(whole) - 4 * 3 * W - 1, len(whole) - 1):
        failing(tmp, whole[:cut], "PFM bad file format: 16 x 16 pixels need 3072 bytes, the file holds ",
                name="bad.pfm")


def case_pfm_huge_size_tiny_file(tmp):
    # 31999 x 31999 declared and matching the movie: the length check
    # refuses it before anything is allocated.
    write(tmp, "huge.pfm", pfm(1, 1, size=b"31999 31999"))
    r = pack(tmp, ["huge.pfm"], 31999, 31999)
    expect(r, 0, "Processing huge.pfmPFM bad file format: 31999 x 31999 pixels need 12287232012 bytes, "
                 "the file holds 12\n ----- Failed\n", "Total movie file size should be 12 bytes")
    if not SANITIZED:
        rss = peak_rss_kib(tmp, 31999, 31999)
        print("peak memory for a 31999 x 31999 PFM of 12 bytes: %d KiB" % rss)
        check(rss < SMALL_RSS_KIB, "peak memory %d KiB" % rss)
    # Against another movie size, sizes of any magnitude are the size error.
    stopping(tmp, pfm(1, 1, size=b"31999 31999"), name="bad.pfm")
    stopping(tmp, pfm(1, 1, size=b"2147483647 2147483647"), name="bad.pfm")
    failing(tmp, pfm(1, 1, size=b"2147483648 1"), "PFM bad file format: bad image size\n", name="bad.pfm")


def case_pfm_zero_and_negative_zero_scales(tmp):
    for scale in (b"0", b"-0", b"0.0", b"-0.0", b"+0", b"0e10", b"-1e-50"):
        failing(tmp, pfm(scale=scale), "PFM bad file format: bad scale\n", name="bad.pfm")


def case_pfm_nan_and_infinite_in_header(tmp):
    for scale in (b"nan", b"-nan", b"NaN", b"inf", b"-inf", b"1e39", b"-infinity", b"nan(0x7)"):
        failing(tmp, pfm(scale=scale), "PFM bad file format: bad scale\n", name="bad.pfm")
    for size in (b"nan 16", b"16 nan", b"inf 16", b"16.0 16", b"0x10 16", b"-16 16"):
        failing(tmp, pfm(size=size), "PFM bad file format: bad image size\n", name="bad.pfm")


def case_pfm_endless_words(tmp):
    # A header word of a megabyte, and a header of white space only: refused
    # at once.
    failing(tmp, b"PF\n" + b"1" * (1 << 20) + b" 16\n-1\n", "PFM bad file format: bad image size\n",
            name="bad.pfm")
    failing(tmp, b"PF" + b" " * (1 << 20), "PFM bad file format: bad image size\n", name="bad.pfm")


def case_pfm_values_no_picture_holds(tmp):
    for value, zeroed, saturated in ((float("nan"), 256, 0), (float("-inf"), 256, 0), (float("inf"), 0, 256),
                                     (-1.0, 256, 0), (3e38, 0, 256)):
        write(tmp, "v.pfm", pfm(value=value))
        r = pack(tmp, ["v.pfm"])
        expect(r, 0, "Values RGBE cannot hold: %d pixels negative or NaN set to 0, %d pixels above 1.69477e+38 "
                     "set to it\n" % (zeroed, saturated))


def case_sniff_short_files(tmp):
    for data, message in ((b"P", "RGBE bad file format: bad initial token\n"), (b"PF", "PFM bad file format: bad initial token\n"),
                          (b"Pf\n", "PFM bad file format: bad image size\n"),
                          (b"\x76\x2f\x31", "RGBE bad file format: bad initial token\n"),
                          (b"\x76\x2f\x31\x01", "OpenEXR error: " if OPENEXR else "built without OpenEXR")):
        failing(tmp, data, message, name="bad.pic")


# --- memory with many workers ------------------------------------------------

def case_workers_hold_at_most_n_plus_one_pictures(tmp):
    # 1024 x 1024 pictures (a record of 4 MiB, as much again to read one):
    # with N workers at most N + 1 records and N pictures being read are in
    # memory, however long the list.
    if SANITIZED:
        raise Skip("memory bounds do not hold under a sanitizer")
    side, mib = 1024, 1024 * 1024
    record = 4 * side * side
    write(tmp, "big.hdr", b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (side, side) +
          (bytes([2, 2, side >> 8, side & 255]) + bytes([128 + 127, 128] * 8 + [128 + 8, 128]) * 4) * side)
    peaks = {}
    for workers, count in ((1, 6), (4, 6), (4, 60)):
        write(tmp, "list.txt", b"big.hdr\n" * count)
        out = run([PEAKRSS, HALVPACK, "-x", str(side), "-y", str(side), "-j", str(workers), "-i", "list.txt",
                   "-o", os.path.join(tmp, "out.mov")], cwd=tmp, timeout=300)
        check(out.status == 0, "halvpack failed", out)
        peaks[(workers, count)] = int(out.out)
    print("peak memory in KiB (workers, pictures): %s" % peaks)
    grown = (peaks[(4, 60)] - peaks[(4, 6)]) * 1024
    check(grown < 4 * mib, "memory grows with the list: %r" % peaks)
    # Three more workers: at most three more records in flight, and three
    # more pictures being read with their buffers (a 256 KiB stream
    # buffer, a colour table), plus the threads' stacks and heaps.
    extra = (peaks[(4, 6)] - peaks[(1, 6)]) * 1024
    check(extra <= 3 * record + 3 * (record + mib) + 8 * mib,
          "%d MiB more with 4 workers than with 1: %r" % (extra // mib, peaks))


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(main(CASES))
