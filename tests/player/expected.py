"""The pictures of the player's test movies, and what halvview shows for
them, worked out here from the picture data: its decoding, the plain path
with its exposure and the tone mapper.

Pictures are lists of RGBE pixels, bottom row first. Python 3 standard
library only.
"""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'lib'))
from halvfiles import f32, luminance, statistics  # noqa: E402


def player_decode(p):
    """An RGBE pixel as the player decodes it: mantissa x 2^(e - 136), or
    1e-6 in every component when the exponent byte is 0."""
    r, g, b, e = p
    if e == 0:
        return (1e-6, 1e-6, 1e-6)
    f = 2.0 ** (e - 136)
    return (r * f, g * f, b * f)


def pattern(W, H, k):
    """Picture k of a test movie: red grows to the right, green upwards,
    blue tells the frames apart; two bright patches (one inside a 3 x 3
    block grid, one across block borders) give it a high dynamic range.
    No component is ever 0, so the picture never holds the overlays' pure
    red or pure green."""
    pixels = []
    blue = 40 + 50 * (k % 4) + 5 * (k // 4)
    for y in range(H):
        for x in range(W):
            r = 30 + (x * 180) // (W - 1)
            g = 30 + (y * 170) // (H - 1)
            e = 128
            if W // 2 <= x < W // 2 + 6 and H // 3 <= y < H // 3 + 6:
                e = 131
            elif 7 <= x <= 10 and H - 11 <= y <= H - 8:
                e = 130
            pixels.append((r, g, blue, e))
    # Three grey 3 x 3 blocks at the bottom right, around a luminance of
    # 0.125 and 8, for the tone mapper's smoothness test: the first has its
    # corner exactly at the block's mean (smooth, however much the bright
    # centre differs), the second a bright corner and the third a dark
    # corner among bright cells (both rough).
    dark, bright = (32, 32, 32, 128), (128, 128, 128, 132)
    mean_of_first = (142, 142, 142, 129)  # (8 + 7 x 0.125) / 8 = 1.109375
    blocks = [
        [mean_of_first, dark, dark, dark, bright, dark, dark, dark, dark],
        [bright] + [dark] * 8,
        [dark] + [bright] * 8,
    ]
    if W >= 12 and H >= 3:
        for i, cells in enumerate(blocks):
            bx = (W // 3 - 3 + i) * 3
            for j, cell in enumerate(cells):
                pixels[(j // 3) * W + bx + j % 3] = cell
    return pixels


def quantise(v):
    v = min(max(v, 0.0), 1.0)
    return int(v * 255.0 + 0.5)


def plain_expected(pixels, exposure=0.0):
    """8-bit picture shown on the plain path: colours times 2^exposure."""
    factor = 1.0 if exposure == 0 else 2.0 ** exposure
    out = []
    for p in pixels:
        c = player_decode(p)
        out.append(tuple(quantise(f32(factor * v)) for v in c))
    return out


class Adaptation:
    """The tone mapper's smoothed log-average: 0 at start, then the mean of
    itself and each tone-mapped picture's stored log-average."""

    def __init__(self):
        self.value = 0.0


def tonemap_expected(pixels, W, H, adaptation, stats=None, bias_param=f32(0.85),
                     exposure=0.0):
    """8-bit picture shown on the tone-mapped path (adaptive logarithmic
    mapping over 3 x 3 blocks, colours given the display luminance).
    W and H must be multiples of 3."""
    maxlum, logav = statistics(pixels) if stats is None else stats
    scale = 1.0 if exposure == 0 else 2.0 ** exposure
    cols = [player_decode(p) for p in pixels]
    lum = [1e-6 if p[3] == 0 else scale * luminance(c) for p, c in zip(pixels, cols)]
    b = math.log(bias_param) / -0.693147
    av = (adaptation.value + logav) * 0.5
    adaptation.value = av
    lwmax = maxlum / av
    divider = math.log10(lwmax + 1.0)

    def denominator(yw):
        return math.log(2.0 + 8.0 * (yw / lwmax) ** b) * divider

    def mapped(yw):
        if yw < 1.0:
            return yw * (6.0 + yw) / (6.0 + 4.0 * yw)
        if yw < 2.0:
            return yw * (6.0 + 0.7662 * yw) / (5.9897 + 3.7658 * yw)
        return math.log(yw + 1.0)

    ld = [0.0] * (W * H)
    for by in range(0, H, 3):
        for bx in range(0, W, 3):
            cells = [(by + j) * W + bx + i for j in range(3) for i in range(3)]
            norm = {k: lum[k] / av for k in cells}
            mean = sum(norm.values()) / 9.0
            d = mean - norm[cells[0]]
            smooth = -1.0 < d < 1.0
            shared = denominator(norm[cells[4]]) if smooth else None
            for k in cells:
                den = shared if smooth else denominator(norm[k])
                ld[k] = mapped(norm[k]) / den
    out = []
    for c, l in zip(cols, ld):
        y = luminance(c)
        out.append(tuple(quantise(f32(l * v / y)) for v in c))
    return out


def uniform_picture(W, H, rgbe):
    return [tuple(rgbe)] * (W * H)
