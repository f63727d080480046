"""Pictures for the tests of halvpack's OpenEXR and PFM input, made and read
independently of the code under test.

PFM files are written here byte by byte; float TIFF files (which oiiotool
writes from any picture it reads) are read here; the clamping of values
RGBE cannot hold is done here on the floats that oiiotool reads back.
"""
import math
import random
import struct

# The largest value an RGBE component holds: mantissa 255 at exponent 255,
# 255 x 2^(255 - 136).
RGBE_LARGEST = 255.0 * 2.0 ** 119


def f32(value):
    """value rounded to a float32, as C's (float) conversion does (values
    beyond the float range become infinite)."""
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def f16(value):
    """value rounded to a half float (to nearest, ties to even), as a float."""
    try:
        return struct.unpack("<e", struct.pack("<e", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


# ------------------------------------------------------------------- PFM

def pfm(width, height, rows, grey=False, little=True, scale=1.0, head=None):
    """A PFM file: `rows` top first, each a list of (r, g, b) triples (or of
    grey values); the file holds them bottom first, in little- or big-endian
    order, and the scale's sign says which."""
    if head is None:
        signed = -abs(scale) if little else abs(scale)
        head = b"%s\n%d %d\n%s\n" % (b"Pf" if grey else b"PF", width, height, repr(signed).encode())
    order = "<" if little else ">"
    body = bytearray()
    for row in reversed(rows):
        values = row if grey else [c for px in row for c in px]
        body += struct.pack(order + "%df" % len(values), *values)
    return head + bytes(body)


# ------------------------------------------------------------- float TIFF

def read_float_tiff(path):
    """(width, height, channels, values) of an uncompressed float32 TIFF
    with interleaved channels, as oiiotool writes it with
    `-d float --compression none`; values run top row first."""
    with open(path, "rb") as f:
        data = f.read()
    order = {b"II": "<", b"MM": ">"}[data[:2]]
    magic, offset = struct.unpack(order + "HI", data[2:8])
    assert magic == 42, "not a classic TIFF"
    (count,) = struct.unpack(order + "H", data[offset:offset + 2])
    sizes = {1: 1, 3: 2, 4: 4, 11: 4, 12: 8, 16: 8}
    formats = {1: "B", 3: "H", 4: "I", 11: "f", 12: "d", 16: "Q"}
    tags = {}
    for i in range(count):
        at = offset + 2 + 12 * i
        tag, kind, n, value = struct.unpack(order + "HHI4s", data[at:at + 12])
        if kind not in sizes:
            continue
        size = sizes[kind] * n
        raw = value[:size] if size <= 4 else data[struct.unpack(order + "I", value)[0]:][:size]
        tags[tag] = struct.unpack(order + formats[kind] * n, raw)
    width, height = tags[256][0], tags[257][0]
    channels = tags.get(277, (1,))[0]
    assert tags.get(258, (32,))[0] == 32 and tags.get(339, (3,))[0] == 3, "not float32 samples"
    assert tags.get(259, (1,))[0] == 1 and tags.get(284, (1,))[0] == 1, "compressed or planar"
    assert 322 not in tags, "tiled"
    pixels = b"".join(data[o:o + c] for o, c in zip(tags[273], tags[279]))
    n = width * height * channels
    return width, height, channels, struct.unpack(order + "%df" % n, pixels[:4 * n])


# --------------------------------------------------------------- clamping

def clamp(values):
    """The floats of RGB triples with the values RGBE cannot hold clamped:
    negative values and NaN to 0, anything above the largest RGBE value
    (+Inf too) to it. Returns (values, pixels set to 0, pixels set to the
    largest value); a pixel counts once for each kind it had."""
    out, zeroed, saturated = [], 0, 0
    for i in range(0, len(values), 3):
        z = s = False
        for v in values[i:i + 3]:
            if math.isnan(v) or v < 0:
                v, z = 0.0, True
            elif v > RGBE_LARGEST:
                v, s = RGBE_LARGEST, True
            out.append(v)
        zeroed += z
        saturated += s
    return out, zeroed, saturated


def raw_floats(values):
    return struct.pack("<%df" % len(values), *values)


# ---------------------------------------------------------------- scenes

def scene(width, height, seed, wild=False):
    """Rows (top first) of RGB triples: a gradient over many stops, flat
    patches, black, noise and tiny values; with `wild`, also values RGBE
    cannot hold (negative, NaN, infinite, above its largest value) and
    values that half floats cannot hold."""
    rnd = random.Random(seed)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            zone = (x * 4 // width + y * 3 // height) % 5
            if zone == 0:
                v = 2.0 ** (24.0 * x / width - 12.0)
                px = (v, 0.5 * v, 0.25 * v + 0.001 * y)
            elif zone == 1:
                px = (3.5, 3.5, 0.75)
            elif zone == 2:
                px = (0.0, 0.0, 0.0)
            elif zone == 3:
                px = tuple(2.0 ** rnd.uniform(-8, 8) for _ in range(3))
            else:
                px = (rnd.uniform(0, 1e-30), rnd.uniform(0, 2e-5), rnd.choice((0.0, 1e-7, 5e-4)))
            row.append(tuple(f32(c) for c in px))
        rows.append(row)
    if wild:
        specials = [-1.0, float("nan"), float("inf"), -float("inf"), 3e38, 1.7e38, 1e20, -0.0, 70000.0, -1e-3]
        for k, v in enumerate(specials):
            y, x = (7 * k + 1) % height, (5 * k + 2) % width
            px = list(rows[y][x])
            px[k % 3] = f32(v)
            rows[y][x] = tuple(px)
    return rows


def flat(rows):
    return [c for row in rows for px in row for c in px]
