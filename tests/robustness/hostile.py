"""Shared helpers of the hostile-input tests: pictures, movies and runs.

Pictures and movies are written here byte by byte from the file formats,
independently of the code under test.
"""
import os
import struct
import subprocess
import sys
import tempfile

SAN_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


class Failure(Exception):
    pass


class Skip(Exception):
    """The case cannot be made here (shown by CTest as skipped)."""


SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these drivers


def check(condition, what, *details):
    if not condition:
        raise Failure(what + "".join("\n  " + str(d) for d in details))


# --- Radiance pictures -----------------------------------------------------

def picture_header(width, height, line_end=b"\n", extra=b""):
    e = line_end
    return (b"#?RADIANCE" + e + b"FORMAT=32-bit_rle_rgbe" + e + extra + e +
            b"-Y %d +X %d" % (height, width) + e)


def rle_scanline(width, pixel):
    """A run-length scanline of `width` equal pixels (width 8 to 127)."""
    out = bytearray([2, 2, width >> 8, width & 255])
    for c in range(4):
        out += bytes([128 + width, pixel[c]])
    return bytes(out)


def grey_picture(width, height, pixel=(128, 128, 128, 129)):
    """A picture of equal pixels, run-length encoded (8 <= width <= 127)."""
    return picture_header(width, height) + rle_scanline(width, pixel) * height


# --- movies ----------------------------------------------------------------

def movie_header(width, height, nframes, eyes=1, fmt=48):
    return struct.pack("<hhBBBBi", width, height, fmt, eyes, 0, 0, nframes)


def picture_record(width, height, maxlum, logav, pixel=(128, 128, 128, 129)):
    return struct.pack("<dd", maxlum, logav) + bytes(pixel) * (width * height)


# --- running ---------------------------------------------------------------

class Run:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __str__(self):
        return "status %s\n--- stderr ---\n%s" % (self.status, self.err.decode(errors="replace"))


def run(argv, cwd=None, timeout=60, stdin=subprocess.DEVNULL, env=None, **kw):
    try:
        p = subprocess.run(argv, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout, env=env, **kw)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %d s (hangs?)" % (argv, timeout))
    r = Run(p.returncode, p.stdout, p.stderr)
    text = r.err.decode(errors="replace")
    check(not any(m in text for m in SAN_MARKERS), "sanitizer report", r)
    return r


def expect(r, status, *messages):
    """Exit status and messages that must appear, in order, on stderr."""
    check(r.status == status, "expected status %d" % status, r)
    text = r.err.decode(errors="replace")
    pos = 0
    for m in messages:
        i = text.find(m, pos)
        check(i >= 0, "expected message %r (in this order)" % m, r)
        pos = i + len(m)


def main(cases):
    """Runs the cases named on the command line (every case without names),
    each in a fresh folder; --list prints the names."""
    if sys.argv[1:] == ["--list"]:
        print(";".join(sorted(cases)))
        return 0
    names = sys.argv[1:] or sorted(cases)
    failed = skipped = 0
    for name in names:
        with tempfile.TemporaryDirectory(prefix="halvorn-hostile-") as tmp:
            os.chmod(tmp, 0o755)
            try:
                cases[name](tmp)
                print("ok   %s" % name)
            except Skip as e:
                skipped += 1
                print("skip %s: %s" % (name, e))
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (name, e))
    if failed:
        return 1
    return SKIPPED if skipped == len(names) else 0
