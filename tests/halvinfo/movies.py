"""Movies of given statistics for the halvinfo and look-ahead tests
(written with the shared halvfiles module), and the adapted values worked
out here from their statistics. Python 3 standard library only.
"""
import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'lib'))
from halvfiles import FORMAT, movie_header, movie_record  # noqa: E402



def header(width, height, nframes, eyes=1, fmt=FORMAT, order='<'):
    return movie_header(width, height, nframes, eyes, fmt, order)


def record(width, height, maxlum, logav, pixels=None, order='<'):
    """One picture record: the two statistics, then width x height RGBE
    pixels (a list of 4-tuples, bottom row first), mid-grey by default."""
    if pixels is None:
        pixels = [(128, 128, 128, 128)] * (width * height)
    return movie_record(pixels, (maxlum, logav), order)


def movie(width, height, stats, eyes=1, order='<', nframes=None, pixels=None):
    """A whole movie. stats[k][e] = (maxLum, logAv) of frame k, eye e;
    pixels, when given, is a function (frame, eye) -> pixel list."""
    data = header(width, height, len(stats) if nframes is None else nframes, eyes, order=order)
    for k, frame in enumerate(stats):
        for e, (m, a) in enumerate(frame):
            data += record(width, height, m, a, pixels(k, e) if pixels else None, order)
    return data


def record_size(width, height):
    return 16 + 4 * width * height


# --- the adaptation, from its definition ------------------------------------

def bad(m, a):
    """A record that takes no part in the look-ahead: a statistic that is
    NaN, infinite, zero or negative."""
    return not (math.isfinite(m) and m > 0 and math.isfinite(a) and a > 0)


def causal(logavs):
    """The player's normaliser for each frame when it plays tone-mapped from
    frame 0: halfway from the adapted value to the frame's log-average,
    unless that is not a positive number (then the adapted value is kept,
    0 before the first sound one)."""
    adapted, out = 0.0, []
    for a in logavs:
        av = (adapted + a) * 0.5
        if math.isfinite(av) and av > 0.0:
            adapted = av
        else:
            av = adapted
        out.append(av)
    return out


def segment_starts(eye):
    """eye: [(maxLum, logAv)]. Frame 0, and each good frame whose ln logAv
    differs from the previous good frame's by more than ln 2."""
    starts = [False] * len(eye)
    starts[0] = True
    previous = None
    for k, (m, a) in enumerate(eye):
        if bad(m, a):
            continue
        s = math.log(a)
        if previous is not None and abs(s - previous) > math.log(2.0):
            starts[k] = True
        previous = s
    return starts


def lookahead(eye, radius):
    """(adapted log-average, adapted peak) of each frame, NaN where the
    window holds no good record."""
    n = len(eye)
    starts = segment_starts(eye)
    out = []
    for k in range(n):
        a = k
        while not starts[a]:
            a -= 1
        b = k
        while b + 1 < n and not starts[b + 1]:
            b += 1
        r = min(radius, k - a, b - k)
        S = M = 0.0
        count = 0
        for j in range(k - r, k + r + 1):
            m, v = eye[j]
            if bad(m, v):
                continue
            S += math.log(v)
            M += math.log(m)
            count += 1
        if count == 0:
            out.append((float('nan'), float('nan')))
        else:
            out.append((math.exp(S / count), math.exp(M / count)))
    return out


def same(x, y):
    """The same double, NaN included."""
    return (math.isnan(x) and math.isnan(y)) or struct.pack('<d', x) == struct.pack('<d', y)
