"""Writes the files the tests feed to the programs: Radiance RGBE pictures
and movie files, byte by byte from the file formats and independently of
the code under test; also the codec's pixel conversions and a picture's
statistics, from which the tests work out the values they expect.

A pixel is an (r, g, b, e) byte quadruple; a picture's rows are lists of
pixels. Python 3 standard library only.
"""
import functools
import math
import struct

GREY = (128, 128, 128, 129)  # 1.0 in every component
FORMAT = 48  # the movie format number


def f32(x):
    """x rounded to single precision."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


FLOOR = f32(1e-6)  # what the codec gives for a component without energy


def write_file(path, data):
    """Writes `data` (bytes) to `path` and returns the path."""
    with open(path, "wb") as f:
        f.write(data)
    return path


# --- pixels ------------------------------------------------------------------

def rgbe_to_float(px):
    """The colour of one pixel as the codec decodes it: mantissa x
    2^(e - 136), and the 1e-6 floor (a float) for a zero mantissa, or for
    every component when the exponent byte is 0."""
    if px[3] == 0:
        return (FLOOR, FLOOR, FLOOR)
    f = 2.0 ** (px[3] - 136)
    return tuple(m * f if m else FLOOR for m in px[:3])


def float_to_rgbe(rgb):
    """The four bytes of a colour as the codec encodes it: the largest
    component split into a mantissa in [0.5, 1) and an exponent, every
    component scaled by 2^(8 - exponent) and truncated, the exponent stored
    plus 128; colours whose largest component is below 1e-32 are four zero
    bytes."""
    r, g, b = rgb
    v = r
    if g > v:
        v = g
    if b > v:
        v = b
    if not v >= 1e-32:
        return (0, 0, 0, 0)
    m, e = math.frexp(v)
    scale = m * 256.0 / v
    return (int(r * scale) & 255, int(g * scale) & 255, int(b * scale) & 255, (e + 128) & 255)


def luminance(rgb):
    return 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]


def statistics(pixels):
    """maxLum and logAv of a picture as its movie record holds them: the
    largest luminance of the decoded pixels, and exp of the mean of
    ln(L + 0.000023), summed in the order the pixels come."""
    max_lum, total, count = 0.0, 0.0, 0
    known = {}
    for px in pixels:
        if px not in known:
            lum = luminance(rgbe_to_float(px))
            known[px] = (lum, math.log(lum + 0.000023))
        lum, log_lum = known[px]
        if lum > max_lum:
            max_lum = lum
        total += log_lum
        count += 1
    return max_lum, math.exp(total / count)


# --- Radiance pictures -------------------------------------------------------

def _line(text):
    return text.encode() if isinstance(text, str) else bytes(text)


def picture_header(width, height, before_format=(), after_format=(), size_line=None,
                   line_end=b"\n"):
    """The header of a Radiance picture: the magic line, the lines of
    `before_format`, the format line, the lines of `after_format`, an empty
    line and the size line ("-Y height +X width" unless given); every line
    ends with `line_end`."""
    lines = [b"#?RADIANCE"] + [_line(t) for t in before_format] + [b"FORMAT=32-bit_rle_rgbe"]
    lines += [_line(t) for t in after_format] + [b""]
    lines.append(_line(size_line) if size_line is not None else b"-Y %d +X %d" % (height, width))
    return b"".join(line + line_end for line in lines)


def rle_plane(data):
    """Packets for one component plane: runs of 3 or more equal bytes (at
    most 127) as run packets, everything else as literals of at most 128
    bytes."""
    out = bytearray()
    i, n = 0, len(data)
    literal = bytearray()

    def flush():
        for k in range(0, len(literal), 128):
            chunk = literal[k:k + 128]
            out.append(len(chunk))
            out.extend(chunk)
        literal.clear()

    while i < n:
        j = i
        while j < n and j - i < 127 and data[j] == data[i]:
            j += 1
        if j - i >= 3:
            flush()
            out.extend((128 + j - i, data[i]))
            i = j
        else:
            literal.append(data[i])
            i += 1
    flush()
    return bytes(out)


def scanline_marker(width):
    """The four bytes that open a run-length scanline: 2, 2 and the width
    in 16 bits, high byte first."""
    return bytes((2, 2, width >> 8, width & 255))


@functools.lru_cache(maxsize=1024)
def _rle_scanline(row):
    return scanline_marker(len(row)) + b"".join(
        rle_plane(bytes(px[c] for px in row)) for c in range(4))


def rle_scanline(row):
    """One run-length scanline: the marker (2, 2, width) and the four
    component planes. Equal scanlines are encoded once."""
    return _rle_scanline(tuple(tuple(px) for px in row))


def flat_scanline(row):
    """One scanline written flat: the pixels' bytes one after the other."""
    return b"".join(bytes(px) for px in row)


def rgbe_picture(rows, form="rle", **header):
    """A Radiance picture of `rows` (scanlines top first), each scanline
    run-length encoded (form "rle", widths 8 to 32767) or flat (form
    "flat", any width); `header` goes to picture_header."""
    height, width = len(rows), len(rows[0]) if rows else 0
    if form == "flat":
        body = b"".join(flat_scanline(row) for row in rows)
    else:
        assert 8 <= width <= 32767
        body = b"".join(rle_scanline(row) for row in rows)
    return picture_header(width, height, **header) + body


def uniform_scanline(width, pixel=GREY):
    """A run-length scanline of `width` equal pixels."""
    return rle_scanline([pixel] * width)


def uniform_picture(width, height, pixel=GREY):
    """A run-length encoded picture of equal pixels."""
    return picture_header(width, height) + uniform_scanline(width, pixel) * height


# --- movies ------------------------------------------------------------------

def movie_header(width, height, nframes, eyes=1, fmt=FORMAT, order="<", pad=b"\0\0"):
    """The 12 bytes that open a movie: width, height (16 bits each), format
    and eyes (a byte each), two padding bytes, the number of frames (32
    bits); `order` is "<" for little-endian, ">" for big-endian."""
    return (struct.pack(order + "hhBB", width, height, fmt, eyes) + pad +
            struct.pack(order + "i", nframes))


def movie_record(pixels, stats=None, order="<"):
    """One picture of a movie: maxLum and logAv as doubles (`stats`, or
    worked out from the pixels), then the pixels' bytes, bottom row first."""
    max_lum, log_av = statistics(pixels) if stats is None else stats
    return struct.pack(order + "dd", max_lum, log_av) + b"".join(bytes(p) for p in pixels)


def uniform_record(width, height, max_lum, log_av, pixel=GREY, order="<"):
    """The record of a picture of equal pixels with the statistics given."""
    return struct.pack(order + "dd", max_lum, log_av) + bytes(pixel) * (width * height)


def movie_bytes(width, height, records, eyes=1, nframes=None, order="<"):
    """A movie of ready records; the header counts len(records) // eyes
    frames unless `nframes` says otherwise."""
    if nframes is None:
        nframes = len(records) // eyes
    return movie_header(width, height, nframes, eyes, order=order) + b"".join(records)


def write_movie(path, width, height, frames, eyes=1, nframes=None, order="<", cut=None):
    """Writes a movie of `frames`, each a list of `eyes` pictures (lists of
    pixels, bottom row first), with their statistics, header and records in
    byte order `order`. `cut` drops that many bytes from the end. Returns
    the path."""
    records = [movie_record(pic, order=order) for frame in frames for pic in frame]
    data = movie_bytes(width, height, records, eyes,
                       len(frames) if nframes is None else nframes, order)
    if cut:
        data = data[:-cut]
    return write_file(path, data)
