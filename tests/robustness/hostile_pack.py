#!/usr/bin/env python3
"""Hostile inputs for halvpack: broken pictures, odd file lists and outputs
that cannot take the movie.

Usage: hostile_pack.py [case ...]  (every case without arguments)
Environment: HALVPACK, the program; PEAKRSS, the launcher that measures its
peak memory; HALVORN_SANITIZED=1 skips the memory bounds, which a
sanitizer's own bookkeeping would break.

Every case checks the exit status, the messages, and the movie left behind:
a picture that fails adds nothing to it, a good picture after it still
converts, and a run that cannot write its movie never ends with status 0.
"""
import math
import os
import random
import shutil
import stat
import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from halvfiles import (movie_header, picture_header, scanline_marker,  # noqa: E402
                       uniform_picture, uniform_scanline, write_file)
from hostile import Run, Skip, check, expect, run, main  # noqa: E402

HALVPACK = os.environ.get("HALVPACK", "halvpack")
PEAKRSS = os.environ.get("PEAKRSS", "peakrss")
SANITIZED = os.environ.get("HALVORN_SANITIZED") == "1"

W, H = 16, 16  # the movie size of most cases
GOOD = uniform_picture(W, H)  # every pixel 1.0 in each component
# The record of GOOD: maxLum is the luminance of (1, 1, 1); logAv is
# exp(mean of ln(L + 0.000023)) = 1.000023.
GOOD_MAXLUM = 0.2126 + 0.7152 + 0.0722
GOOD_LOGAV = 1.000023
GOOD_PIXELS = bytes([128, 128, 128, 129]) * (W * H)
RECORD = 16 + 4 * W * H


def pack(tmp, names, width=W, height=H, extra=(), eyes=None, list_bytes=None, **kw):
    """Runs halvpack on a list of `names` (one per line) into tmp/out.mov."""
    listfile = os.path.join(tmp, "list.txt")
    write_file(listfile, list_bytes if list_bytes is not None
               else b"".join(n.encode() + b"\n" for n in names))
    argv = [HALVPACK, "-x", str(width), "-y", str(height)]
    if eyes:
        argv += ["-e", str(eyes)]
    argv += list(extra) + ["-i", listfile, "-o", os.path.join(tmp, "out.mov")]
    return run(argv, cwd=tmp, **kw)


def movie(tmp):
    with open(os.path.join(tmp, "out.mov"), "rb") as f:
        return f.read()


def check_movie(tmp, nframes, good_records, width=W, height=H):
    """The movie is the header with `nframes` and that many records of GOOD."""
    data = movie(tmp)
    check(data[:12] == movie_header(width, height, nframes),
          "movie header", data[:12].hex(), movie_header(width, height, nframes).hex())
    check(len(data) == 12 + good_records * RECORD,
          "movie of %d records expected, %d bytes found" % (good_records, len(data)))
    for k in range(good_records):
        rec = data[12 + k * RECORD:12 + (k + 1) * RECORD]
        maxlum, logav = struct.unpack("<dd", rec[:16])
        check(math.isclose(maxlum, GOOD_MAXLUM, rel_tol=1e-12) and
              math.isclose(logav, GOOD_LOGAV, rel_tol=1e-12),
              "statistics of record %d: %r %r" % (k, maxlum, logav))
        check(rec[16:] == GOOD_PIXELS, "pixels of record %d" % k)


def max_rss_kib(argv, cwd):
    """Peak resident size of one run of argv, in KiB (through peakrss)."""
    out = subprocess.run([PEAKRSS] + argv, cwd=cwd, stdout=subprocess.PIPE,
                         timeout=300).stdout
    return int(out)


# --- pictures ----------------------------------------------------------------

def failing_picture(tmp, data, *messages):
    """A broken picture, then a good one: the broken one fails, adds nothing,
    and the good one still converts."""
    write_file(os.path.join(tmp, "bad.hdr"), data)
    write_file(os.path.join(tmp, "good.hdr"), GOOD)
    r = pack(tmp, ["bad.hdr", "good.hdr"])
    expect(r, 0, "Found 2 file names", "Processing bad.hdr", *messages)
    expect(r, 0, "Processing bad.hdr", " ----- Failed\n", "Processing good.hdr",
           " maxLum 1.000000, logAv 1.000023 \n", ", 1040 of 0.0 MB \n",
           "Total movie file size should be %d bytes" % (12 + RECORD))
    check_movie(tmp, 2, 1)
    return r


def stopping_picture(tmp, data, width=W, height=H):
    """A picture whose size line differs from the movie's ends the run with
    status 1; the movie keeps its header and nothing else."""
    write_file(os.path.join(tmp, "bad.hdr"), data)
    write_file(os.path.join(tmp, "good.hdr"), GOOD)
    r = pack(tmp, ["bad.hdr", "good.hdr"], width, height)
    expect(r, 1, "Processing bad.hdr", "The images have a different sixe than requested \n")
    check("Processing good.hdr" not in r.err.decode(), "the run went on after the size error", r)
    check_movie(tmp, 2, 0, width, height)


def no_picture_size(tmp, width, height):
    """A movie size that holds no picture: every picture fails, none is read."""
    write_file(os.path.join(tmp, "bad.hdr"), picture_header(width, height))
    r = pack(tmp, ["bad.hdr"], width, height)
    expect(r, 0, "Processing bad.hdr",
           " (the movie size %d by %d holds no picture) ----- Failed\n" %
           (struct.unpack("<h", struct.pack("<H", width & 0xFFFF))[0],
            struct.unpack("<h", struct.pack("<H", height & 0xFFFF))[0]))
    data = movie(tmp)
    check(len(data) == 12, "header only expected", len(data))


def case_picture_empty(tmp):
    failing_picture(tmp, b"", "RGBE read error")


def case_picture_header_only(tmp):
    failing_picture(tmp, picture_header(W, H), "RGBE read error")


def case_picture_size_zero(tmp):
    stopping_picture(tmp, picture_header(0, 0))
    no_picture_size(tmp, 0, 0)


def case_picture_size_negative(tmp):
    stopping_picture(tmp, picture_header(-5, -7))
    no_picture_size(tmp, -5, -7)


def case_picture_huge_size_tiny_file(tmp):
    # 31999 x 31999 declared, one scanline marker and nothing else: the read
    # fails at once; the buffers for the declared size are never touched.
    data = picture_header(31999, 31999) + scanline_marker(31999)
    write_file(os.path.join(tmp, "huge.hdr"), data)
    r = pack(tmp, ["huge.hdr"], 31999, 31999)
    expect(r, 0, "Processing huge.hdr", "RGBE read error", " ----- Failed\n",
           "Total movie file size should be 12 bytes")
    check(movie(tmp) == movie_header(31999, 31999, 1), "header only expected")
    if not SANITIZED:
        argv = [HALVPACK, "-x", "31999", "-y", "31999", "-i", "list.txt", "-o", "out.mov"]
        rss = max_rss_kib(argv, tmp)
        print("peak memory for a 31999 x 31999 picture of 4 bytes: %d KiB" % rss)
        check(rss < 16 * 1024, "peak memory %d KiB for a tiny picture" % rss)
    # Against the default movie size it is a size error.
    stopping_picture(tmp, data)


def case_picture_40000x10(tmp):
    # Wider than a run-length scanline may be: read flat. The movie width is a
    # signed 16-bit field, so -x 40000 cannot match it (-25536).
    data = picture_header(40000, 10) + bytes([128, 64, 32, 129]) * 100
    stopping_picture(tmp, data)
    no_picture_size(tmp, 40000, 10)


def rle_picture(scanlines):
    return picture_header(W, H) + b"".join(scanlines)


def case_picture_wrong_scanline_width(tmp):
    good = uniform_scanline(W, (128, 128, 128, 129))
    bad = scanline_marker(W + 1) + good[4:]
    failing_picture(tmp, rle_picture([good, bad] + [good] * (H - 2)),
                    "RGBE bad file format: wrong scanline width\n")


def case_picture_count_byte_zero(tmp):
    good = uniform_scanline(W, (128, 128, 128, 129))
    bad = scanline_marker(W) + bytes([128 + W, 128]) + bytes([0, 128]) + good[8:]
    failing_picture(tmp, rle_picture([good, bad] + [good] * (H - 2)),
                    "RGBE bad file format: bad scanline data\n")


def case_picture_packet_crossing_planes(tmp):
    good = uniform_scanline(W, (128, 128, 128, 129))
    # A run one longer than the red plane.
    run_over = scanline_marker(W) + bytes([128 + W + 1, 128]) + good[6:]
    failing_picture(tmp, rle_picture([run_over] + [good] * (H - 1)),
                    "RGBE bad file format: bad scanline data\n")
    # A literal of 10 after 8 bytes of green: two bytes too many.
    literal_over = (scanline_marker(W) + bytes([128 + W, 128]) + bytes([128 + 8, 128]) +
                    bytes([10]) + bytes([128] * 10) + bytes([128 + W, 128, 128 + W, 129]))
    failing_picture(tmp, rle_picture([literal_over] + [good] * (H - 1)),
                    "RGBE bad file format: bad scanline data\n")


def case_picture_cut_in_scanline(tmp):
    whole = GOOD
    cut = whole[:len(picture_header(W, H)) + 12 * 3 + 7]  # inside the 4th scanline
    failing_picture(tmp, cut, "RGBE read error")


def case_picture_crlf_header(tmp):
    # The format line never matches with CR LF; the scan runs through the
    # pixels (no line feed or NUL byte in them) to the end of the file.
    data = picture_header(W, H, line_end=b"\r\n") + bytes([128, 64, 32, 129]) * (W * H)
    failing_picture(tmp, data, "RGBE read error")


def case_picture_directory(tmp):
    os.mkdir(os.path.join(tmp, "bad.hdr"))
    write_file(os.path.join(tmp, "good.hdr"), GOOD)
    r = pack(tmp, ["bad.hdr", "good.hdr"])
    expect(r, 0, "Processing bad.hdr ----- Failed\n", "Processing good.hdr")
    check_movie(tmp, 2, 1)


def case_picture_fifo(tmp):
    # Nothing ever writes to the FIFO: opening it as a picture would block.
    os.mkfifo(os.path.join(tmp, "bad.hdr"))
    write_file(os.path.join(tmp, "good.hdr"), GOOD)
    r = pack(tmp, ["bad.hdr", "good.hdr"], timeout=20)
    expect(r, 0, "Processing bad.hdr ----- Failed\n", "Processing good.hdr")
    check_movie(tmp, 2, 1)


def case_picture_unreadable(tmp):
    # Root reads a file of mode 000 anyway, so as root the run is made as
    # the user nobody (setpriv); elsewhere the mode alone keeps it out.
    write_file(os.path.join(tmp, "bad.hdr"), GOOD)
    os.chmod(os.path.join(tmp, "bad.hdr"), 0)
    write_file(os.path.join(tmp, "good.hdr"), GOOD)
    os.chmod(tmp, 0o777)
    prefix = []
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        check(setpriv is not None, "setpriv is needed to run as nobody")
        prefix = [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        probe = run(prefix + [HALVPACK], cwd=tmp)
        if probe.status != 255:  # nobody cannot run the program from here
            raise Skip("the user nobody cannot run %s (status %d)" % (HALVPACK, probe.status))
    listfile = os.path.join(tmp, "list.txt")
    write_file(listfile, b"bad.hdr\ngood.hdr\n")
    r = run(prefix + [HALVPACK, "-x", str(W), "-y", str(H), "-i", listfile,
                      "-o", os.path.join(tmp, "out.mov")], cwd=tmp)
    expect(r, 0, "Processing bad.hdr ----- Failed\n", "Processing good.hdr")
    check_movie(tmp, 2, 1)


# --- lists -------------------------------------------------------------------

def lines_of(data, limit=1000):
    """The lines of a file list: LF, CR and CR LF end a line, a line longer
    than the limit is cut into pieces, text after the last line end is no
    line."""
    lines, cur, i = [], bytearray(), 0
    while i < len(data):
        c = data[i]
        i += 1
        if c in (10, 13):
            if c == 13 and i < len(data) and data[i] == 10:
                i += 1
            lines.append(bytes(cur))
            cur = bytearray()
            continue
        cur.append(c)
        if len(cur) == limit:
            lines.append(bytes(cur))
            cur = bytearray()
    return lines


def case_list_binary(tmp):
    rng = random.Random(20240607)
    data = bytes(rng.randrange(256) for _ in range(20000))
    n = len(lines_of(data))
    r = pack(tmp, None, list_bytes=data)
    expect(r, 0, "Found %d file names\n" % n, "Total movie file size should be 12 bytes")
    err = r.err.decode(errors="replace")
    check(err.count("Processing") == n and err.count(" ----- Failed\n") == n,
          "every line fails", r)
    check(movie(tmp) == movie_header(W, H, n), "header only expected")


def case_list_long_line(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    # 100,000 characters, then a line end: 100 pieces of 1000 characters and
    # an empty line. The first piece names pic.hdr; the others are names of
    # 1000 characters, which no file has; the empty line repeats the last.
    line = b"pic.hdr " + b"x" * (100000 - 8)
    r = pack(tmp, None, list_bytes=line + b"\n")
    expect(r, 0, "Found 101 file names\n", "Processing pic.hdr", ", 1040 of")
    err = r.err.decode(errors="replace")
    check(err.count(" ----- Failed\n") == 100, "100 failed names expected", r)
    check_movie(tmp, 101, 1)


def case_list_names_with_spaces(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    write_file(os.path.join(tmp, "my pic.hdr"), GOOD)
    data = b"pic.hdr and more words\n\tpic.hdr\t\n  my pic.hdr\n"
    r = pack(tmp, None, list_bytes=data, eyes=1)
    expect(r, 0, "Found 3 file names\n", "Processing pic.hdr", ", 1040 of",
           "Processing pic.hdr", ", 1040 of", "Processing my ----- Failed\n")
    check_movie(tmp, 3, 2)


def case_list_10000_lines(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    r = pack(tmp, ["pic.hdr"] * 10000, timeout=300)
    expect(r, 0, "Found 10000 file names\n",
           "Total movie file size should be %d bytes" % (12 + 10000 * RECORD))
    check(r.err.decode().count(", 1040 of") == 10000, "10000 records expected")
    check_movie(tmp, 10000, 10000)
    if not SANITIZED:
        argv = [HALVPACK, "-x", str(W), "-y", str(H), "-i", "list.txt", "-o", "out.mov"]
        big = max_rss_kib(argv, tmp)
        write_file(os.path.join(tmp, "list.txt"), b"pic.hdr\n" * 10)
        small = max_rss_kib(argv, tmp)
        print("peak memory: %d KiB for 10 lines, %d KiB for 10000" % (small, big))
        check(big - small < 2048, "memory grows with the list: %d KiB for 10 lines, "
              "%d KiB for 10000" % (small, big))


def case_list_not_a_file(tmp):
    # The list is read twice, so it must be a regular file. A FIFO nobody
    # writes to would block the open; /dev/zero has no end. Both are refused
    # at once, before any output is created.
    os.mkfifo(os.path.join(tmp, "fifo"))
    os.mkdir(os.path.join(tmp, "folder"))
    for listname in ("fifo", "/dev/zero", "folder"):
        out = os.path.join(tmp, "out.mov")
        r = run([HALVPACK, "-x", "16", "-y", "16", "-i", listname, "-o", out], cwd=tmp, timeout=20)
        expect(r, 255, 'Unable to read file list "%s"\n' % listname, "Usage: ")
        check(not os.path.exists(out), "an output was created for list " + listname)


# --- outputs -----------------------------------------------------------------

def case_output_missing_directory(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    write_file(os.path.join(tmp, "list.txt"), b"pic.hdr\n")
    target = os.path.join(tmp, "nowhere", "out.mov")
    r = run([HALVPACK, "-x", "16", "-y", "16", "-i", "list.txt", "-o", target], cwd=tmp)
    expect(r, 255, 'Failed to open file "%s"\n' % target)
    check(not os.path.exists(os.path.join(tmp, "nowhere")), "a folder was created")
    # A folder where nothing can be created (procfs), and a file there that
    # opens but takes no data.
    r = run([HALVPACK, "-x", "16", "-y", "16", "-i", "list.txt", "-o", "/proc/halvorn.mov"],
            cwd=tmp)
    expect(r, 255, 'Failed to open file "/proc/halvorn.mov"\n')
    if os.access("/proc/version", os.W_OK):
        r = run([HALVPACK, "-x", "16", "-y", "16", "-i", "list.txt", "-o", "/proc/version"],
                cwd=tmp)
        expect(r, 1, "Failed to write the movie file\n")


def case_output_dev_full(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    write_file(os.path.join(tmp, "list.txt"), b"pic.hdr\n")
    r = run([HALVPACK, "-x", "16", "-y", "16", "-i", "list.txt", "-o", "/dev/full"], cwd=tmp)
    expect(r, 1, "Failed to write the movie file\n")
    check("Total movie file size" not in r.err.decode(), "a summary after a failed write", r)


def case_output_stdout_closed(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    listed = b"pic.hdr\n" * 3
    write_file(os.path.join(tmp, "list.txt"), listed)
    r = run(["sh", "-c", 'exec "$0" "$@" >&-', HALVPACK, "-x", "16", "-y", "16",
             "-i", "list.txt"], cwd=tmp)
    expect(r, 1, "Failed to write the movie file\n")
    # The list may take the closed descriptor's number; it stays untouched.
    with open(os.path.join(tmp, "list.txt"), "rb") as f:
        check(f.read() == listed, "the file list was changed")


def case_output_broken_pipe(tmp):
    write_file(os.path.join(tmp, "pic.hdr"), GOOD)
    # 64 records of 1040 bytes: more than a pipe holds, so writes go on
    # after the reader has gone.
    write_file(os.path.join(tmp, "list.txt"), b"pic.hdr\n" * 64)
    producer = subprocess.Popen([HALVPACK, "-x", "16", "-y", "16", "-i", "list.txt"], cwd=tmp,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    head = subprocess.Popen(["head", "-c", "100"], stdin=producer.stdout,
                            stdout=subprocess.PIPE)
    producer.stdout.close()
    got = head.communicate(timeout=60)[0]
    err = producer.stderr.read()
    status = producer.wait(timeout=60)
    check(len(got) == 100, "head read %d bytes" % len(got))
    expect(Run(status, b"", err), 1, "Failed to write the movie file\n")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(main(CASES))
