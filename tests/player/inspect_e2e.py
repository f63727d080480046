#!/usr/bin/env python3
"""End-to-end tests of looking inside the picture and moving through the
movie with the halvview player in a real X server: the pixel probe, the
clipping view ('c'), the histogram ('k'), the timeline bar, Home, End, '['
and ']', the loop modes ('l') and direction ('r'), seeking in a movie
shorter than its header says, and the help overlay's added keys.

Usage: inspect_e2e.py --halvview PATH CASE...
What the player must show is worked out here from the pictures written:
decoding, exposure, statistics, the false colours, the histogram's bins.
Without Xvfb, xdotool, xwininfo or import it prints why and exits with
status 77, CTest's skip code.
"""
import math
import os
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'lib'))

import xharness  # noqa: E402
from xharness import (GREEN, RED, TIMELINE, Failure, Player, Workdir, XServer, check, log,  # noqa: E402
                      missing_tools, wait_for)
from halvfiles import f32, luminance, statistics, write_movie  # noqa: E402
from expected import Adaptation, pattern, plain_expected, player_decode, quantise, tonemap_expected  # noqa: E402

SKIPPED = 77
GAMMA_BOTH = ['-gamma 2.2', '-gamma 1']
CASES = {}


def case(fn):
    CASES[fn.__name__[5:]] = fn
    return fn


# What the player draws, as the README describes it.
FILLED, TRACK, CACHED = TIMELINE  # the timeline bar: played part, the rest, frames in the frame cache
BAR_ROWS = 4                     # its height, from the window's bottom edge
CLIP_WHITE = (255, 0, 255)       # clipping view: 1 or more in some component
CLIP_BLACK = (0, 128, 255)       # every component below half an 8-bit step
HALF_STEP = 0.5 / 255
HIST_BINS, HIST_LOW, HIST_HEIGHT, HIST_MARGIN, HIST_SAMPLES = 160, -20, 64, 4, 4096
BACKING, SPAN, BAR = (16, 16, 16), (64, 64, 64), (200, 200, 200)
LOGAV_MARK, MAXLUM_MARK, ADAPTED_MARK = (255, 255, 0), (255, 128, 0), (0, 255, 255)
PROBE_ROWS = range(47, 60)  # the probe's line: baseline 49, from the bottom
MODE_ROWS = range(60, 73)   # the playing mode's line: baseline 62
LEGEND_ROWS = range(73, 86)  # the clipping legend: baseline 75


def open_player(xs, args, size):
    p = Player(xs, args)
    try:
        p.wait_window(size)
        p.place()
    except BaseException:
        p.close()
        raise
    return p


def end(p):
    p.key('q')
    status = p.wait_exit(10)
    check(status == 0, 'status %s: %s' % (status, p.stderr()))
    check(p.gamma() == GAMMA_BOTH, 'gamma calls %s' % p.gamma())


def mouse(p, *actions):
    """xdotool mouse actions; ('move', x, y) takes window pixels, y from the
    top."""
    args = ['xdotool']
    for a in actions:
        if a[0] == 'move':
            # Without --sync, which waits for a motion that a move to where
            # the pointer already is never makes.
            args += ['mousemove', str(p.origin[0] + a[1]), str(p.origin[1] + a[2])]
        else:
            args += list(a)
    r = p.xs.run(args)
    check(r.returncode == 0, 'xdotool %s failed: %s' % (actions, r.stderr))


def window_pixel(p, shot, x, row):
    """The screen pixel at window column x, `row` counted from the bottom."""
    return shot.px(p.origin[0] + x, p.origin[1] + p.size[1] - 1 - row)


def stderr_lines(p, prefix):
    return [l for l in p.stderr().splitlines() if l.startswith(prefix)]


def wait_line(p, line, what, timeout=8):
    check(wait_for(lambda: line in p.stderr().splitlines(), timeout),
          '%s: no line %r in %r' % (what, line, p.stderr()[-600:]))


def rows_of(p, colour, rows):
    """The columns of window rows `rows` (from the bottom) in `colour`."""
    shot = p.xs.screenshot()
    return sorted({x for x, y in p.overlay_pixels(shot, colour) if y in rows})


# --------------------------------------------------------------------------
# The probe.

def probe_line(pixels, W, H, x, y, eye='', exposure=0.0):
    """The probe's text for the pixel x from the left, y from the top of a
    picture (pixels bottom row first), shown on the plain path."""
    scene = player_decode(pixels[(H - 1 - y) * W + x])
    lum = (0.2126 * scene[0] + 0.7152 * scene[1]) + 0.0722 * scene[2]
    factor = 1.0 if exposure == 0 else 2.0 ** exposure
    shown = [f32(factor * v) for v in scene]
    return ('Probe: Pixel (%d, %d)%s: scene %.4g %.4g %.4g, lum %.4g; shown %.4g %.4g %.4g'
            % ((x, y, eye) + tuple(scene) + (lum,) + tuple(shown)))


@case
def case_probe(work):
    W, H = 120, 90
    pics = [pattern(W, H, k) for k in range(3)]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    pair = write_movie(work.file('pair.hlv'), W, H, [[pics[0], pics[2]]], eyes=2)
    with XServer(work, 400, 300) as xs:
        # Without the information overlay the pointer shows nothing.
        p = open_player(xs, ['-d', path], (W, H))
        mouse(p, ('move', 30, 40))
        p.key('period')
        p.wait_picture(plain_expected(pics[1]), W, H, 'frame 1')
        check(not stderr_lines(p, 'Probe:'), 'a probe without the info overlay: %r' % p.stderr())
        end(p)

        p = open_player(xs, ['-d', '-i', path], (W, H))
        bright = (W // 2 + 2, H - 1 - (H // 3 + 2))  # inside the pattern's bright patch
        for x, y in ((30, 40), (0, 0), (W - 1, H - 1), bright):
            mouse(p, ('move', x, y))
            wait_line(p, probe_line(pics[0], W, H, x, y), 'probe at %d, %d' % (x, y))
        check(wait_for(lambda: rows_of(p, GREEN, PROBE_ROWS)), 'no probe line drawn')
        # Another frame under a still pointer; the exposure changes the
        # value shown, not the scene's.
        p.key('equal', 'period')
        wait_line(p, probe_line(pics[1], W, H, bright[0], bright[1], exposure=1.0), 'probe at +1 stop')
        # Off the picture (the screen's corner): the line goes.
        xs.run(['xdotool', 'mousemove', '399', '299'])
        check(wait_for(lambda: not rows_of(p, GREEN, PROBE_ROWS)), 'probe line still drawn off the picture')
        end(p)

        # A pair: the eye under the pointer, named.
        p = open_player(xs, ['-d', '-i', pair], (2 * W, H))
        mouse(p, ('move', 17, 60))
        wait_line(p, probe_line(pics[0], W, H, 17, 60, ' left'), 'left eye')
        mouse(p, ('move', W + 17, 60))
        wait_line(p, probe_line(pics[2], W, H, 17, 60, ' right'), 'right eye')
        end(p)


# --------------------------------------------------------------------------
# The clipping view.

def clip_picture(W, H):
    """Exponents across the picture from deep black to far above white,
    mantissas varying in both directions."""
    pixels = []
    for y in range(H):
        for x in range(W):
            e = 112 + (x * 26) // W
            pixels.append((60 + (y * 3) % 150, 90 + (x * 7) % 160, 60 + (x + y) % 190, e))
    return pixels


def clip_expected(pixels, exposure=0.0):
    """The clipping view of the plain path: (colour, exact) per pixel."""
    factor = 1.0 if exposure == 0 else 2.0 ** exposure
    out = []
    for p in pixels:
        v = [f32(factor * c) for c in player_decode(p)]
        if any(c >= 1.0 for c in v):
            out.append((CLIP_WHITE, True))
        elif all(c < HALF_STEP for c in v):
            out.append((CLIP_BLACK, True))
        else:
            out.append((tuple(quantise(c) for c in v), False))
    return out


def view_diff(p, expected, W, H):
    """Pixels that differ from the view: a false colour must be exact, any
    other pixel within 1 of its value."""
    shot = p.xs.screenshot()
    bad = []
    for row in range(H):
        for x in range(W):
            got = window_pixel(p, shot, x, row)
            want, exact = expected[row * W + x]
            d = max(abs(a - b) for a, b in zip(got, want))
            if d > (0 if exact else 1) or (not exact and got in (CLIP_WHITE, CLIP_BLACK)):
                bad.append((x, row, got, want))
    return bad


@case
def case_clipping(work):
    W, H = 96, 48
    pics = [clip_picture(W, H), pattern(W, H, 1)]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    view0 = clip_expected(pics[0])
    whites = sum(1 for c, exact in view0 if exact and c == CLIP_WHITE)
    blacks = sum(1 for c, exact in view0 if exact and c == CLIP_BLACK)
    check(whites > W * H // 10 and blacks > W * H // 10 and whites + blacks < W * H * 0.8,
          'the picture has %d white and %d black pixels of %d' % (whites, blacks, W * H))
    with XServer(work, 400, 300) as xs:
        p = open_player(xs, [path], (W, H))
        p.wait_picture(plain_expected(pics[0]), W, H, 'frame 0')
        # Paused, 'c' shows the view at once, and 'c' again the picture.
        p.key('c')
        check(wait_for(lambda: not view_diff(p, view0, W, H)), 'clipping view: %s' % view_diff(p, view0, W, H)[:5])
        p.key('C')
        p.wait_picture(plain_expected(pics[0]), W, H, 'frame 0 after the view')
        # The view follows the frame and the exposure it is read with.
        p.key('c', 'minus', 'minus', 'period')
        view1 = clip_expected(pics[1], -2.0)
        check(wait_for(lambda: not view_diff(p, view1, W, H)), 'view of frame 1 at -2: %s'
              % view_diff(p, view1, W, H)[:5])
        p.key('equal', 'equal', 'equal', 'equal', 'equal', 'period')
        view0 = clip_expected(pics[0], 3.0)
        check(wait_for(lambda: not view_diff(p, view0, W, H)), 'view of frame 0 at +3: %s'
              % view_diff(p, view0, W, H)[:5])
        end(p)

    # The legend: a line of its own with a swatch of each false colour, on
    # a picture that clips nowhere (so that the swatches are the only
    # pixels in the false colours).
    W, H = 400, 100
    path = write_movie(work.file('legend.hlv'), W, H, [[[(60, 80, 100, 128)] * (W * H)]])
    with XServer(work, 640, 480) as xs:
        p = open_player(xs, ['-i', path], (W, H))
        p.key('c')

        def swatches():
            return rows_of(p, CLIP_WHITE, LEGEND_ROWS), rows_of(p, CLIP_BLACK, LEGEND_ROWS)
        found = wait_for(lambda: all(swatches()) and swatches())
        check(found, 'no legend swatches')
        white, black = found
        # "Clipping view: # 1 or more 0.00%, # black 0.00%" from x = 10, 8
        # pixels a character; each swatch # is 7 pixels wide.
        check(white == list(range(130, 137)), 'white swatch at columns %s' % white)
        check(black == list(range(282, 289)), 'black swatch at columns %s' % black)
        end(p)


# --------------------------------------------------------------------------
# The histogram.

def grey(m, e):
    return (m, m, m, e)


# Three grey levels far from the bins' edges: 141 x 2^-9 (bin 72),
# 192 x 2^-4 = 12 (bin 94) and 218 x 2^-17 (bin 43).
A, B, C = grey(141, 127), grey(192, 132), grey(218, 119)


def histogram_picture(W, H, split=True):
    pixels = []
    for y in range(H):
        for x in range(W):
            pixels.append(A if x < W // 2 or not split else (B if y < H // 2 else C))
    return pixels


def bin_of(L):
    if not L > 0:
        return 0
    b = math.floor(4 * math.log2(L)) - 4 * HIST_LOW
    return min(max(b, 0), HIST_BINS - 1)


def sampling_step(W, H):
    """The histogram counts every step-th pixel of every step-th row, the
    smallest step that counts at most 4096 pixels."""
    step = 1
    while -(-W // step) * -(-H // step) > HIST_SAMPLES:
        step += 1
    return step


def histogram_expected(pixels, W, H, stats, exposure=0.0, adapted=None):
    """The histogram's plot, column by column from the bottom: the bars
    scaled to the fullest bin, the exposure's span or (tone-mapped) the
    adapted log-average, the statistics' marks."""
    counts = [0] * HIST_BINS
    step = sampling_step(W, H)
    for y in range(0, H, step):
        for x in range(0, W, step):
            counts[bin_of(luminance(player_decode(pixels[y * W + x])))] += 1
    most = max(counts)
    columns = []
    white = 2.0 ** -exposure
    span = range(bin_of(HALF_STEP * white), bin_of(white) + 1) if adapted is None else range(0)
    for b in range(HIST_BINS):
        height = 0 if counts[b] == 0 else max(1, (counts[b] * HIST_HEIGHT + most // 2) // most)
        ground = SPAN if b in span else BACKING
        columns.append([BAR if r < height else ground for r in range(HIST_HEIGHT)])
    maxlum, logav = stats
    marks = [(logav, LOGAV_MARK), (maxlum, MAXLUM_MARK)]
    if adapted is not None:
        marks.append((adapted, ADAPTED_MARK))
    for value, colour in marks:
        columns[bin_of(value)] = [colour] * HIST_HEIGHT
    return columns, counts


def histogram_diff(p, shot, expected, at):
    """Differences between the plot on the screen, its lower-left pixel at
    window column and row `at`, and the expected columns; also the backing
    around it."""
    bad = []
    for b, column in enumerate(expected):
        for r, want in enumerate(column):
            got = window_pixel(p, shot, at[0] + b, at[1] + r)
            if got != want:
                bad.append((b, r, got, want))
    for x in (at[0] - 1, at[0] + HIST_BINS):
        for r in range(-HIST_MARGIN, HIST_HEIGHT + HIST_MARGIN):
            got = window_pixel(p, shot, x, at[1] + r)
            if got != BACKING:
                bad.append(('margin', x, r, got))
    return bad


def plot_origin(W, H, eye=0):
    """The plot's lower-left pixel: the backing a margin from the picture's
    top-right corner, the plot a margin inside it."""
    return (eye * W + W - HIST_MARGIN - HIST_BINS - HIST_MARGIN, H - HIST_MARGIN - HIST_HEIGHT - HIST_MARGIN)


@case
def case_histogram(work):
    W, H = 240, 96
    pics = [histogram_picture(W, H), histogram_picture(W, H, False)]
    stats = [statistics(pic) for pic in pics]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    want0, counts0 = histogram_expected(pics[0], W, H, stats[0])
    samples = sum(counts0)  # 80 x 32: every third pixel of every third row
    check(samples == 2560 and counts0[72] == samples // 2 and counts0[94] == samples // 4 and
          counts0[43] == samples // 4,
          'the model puts the pixels in bins 72, 94 and 43: %s' % [(b, c) for b, c in enumerate(counts0) if c])
    at = plot_origin(W, H)

    def shows(p, want, what):
        last = [None]

        def ok():
            last[0] = histogram_diff(p, p.xs.screenshot(), want, at)
            return not last[0]
        check(wait_for(ok), '%s: %d pixels differ, first %s' % (what, len(last[0]), last[0][:4]))

    with XServer(work, 640, 480) as xs:
        p = open_player(xs, [path], (W, H))
        p.wait_picture(plain_expected(pics[0]), W, H, 'frame 0')
        p.key('k')  # paused: at once
        shows(p, want0, 'histogram of frame 0')
        # The exposure's span moves with the exposure at once (two stops up:
        # eight bins down); the bars stay.
        p.key('equal', 'equal')
        shows(p, histogram_expected(pics[0], W, H, stats[0], 2.0)[0], 'histogram at +2 stops')
        p.key('minus', 'minus', 'period')
        shows(p, histogram_expected(pics[1], W, H, stats[1])[0], 'histogram of frame 1')
        p.key('K')
        p.wait_picture(plain_expected(pics[1]), W, H, 'frame 1 without the histogram')
        end(p)

        # Tone mapped: the adapted log-average instead of the span.
        p = open_player(xs, ['-t', path], (W, H))
        adapt = Adaptation()
        p.wait_picture(tonemap_expected(pics[0], W, H, adapt), W, H, 'tone-mapped frame 0')
        p.key('k')
        shows(p, histogram_expected(pics[0], W, H, stats[0], adapted=adapt.value)[0], 'tone-mapped histogram')
        end(p)

        # A pair: each eye's histogram in its own picture's corner.
        pair = write_movie(work.file('pair.hlv'), W, H, [[pics[1], pics[0]]], eyes=2)
        p = open_player(xs, [pair], (2 * W, H))
        p.key('k')
        shows(p, histogram_expected(pics[1], W, H, stats[1])[0], 'left eye histogram')
        at = plot_origin(W, H, 1)
        shows(p, want0, 'right eye histogram')
        end(p)


# --------------------------------------------------------------------------
# The timeline, the keys that seek, the playing modes.

def frame_shown(p, shot, expected, W, H, skip=()):
    """The frame whose picture the window shows (overlay colours left
    out), or None."""
    for k, want in enumerate(expected):
        if p.picture_diff(shot, want, W, H, skip=skip)[0] <= 1:
            return k
    return None


def wait_frame(p, expected, W, H, k, what, skip=()):
    last = [None]

    def ok():
        last[0] = frame_shown(p, p.xs.screenshot(), expected, W, H, skip)
        return last[0] == k
    check(wait_for(ok), '%s: frame %s shown, expected %d' % (what, last[0], k))


@case
def case_timeline(work):
    n, W, H = 20, 200, 60
    pics = [pattern(W, H, k) for k in range(n)]
    expected = [plain_expected(pic) for pic in pics]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    skip = (GREEN,) + TIMELINE
    with XServer(work, 400, 300) as xs:
        # Without the information overlay there is no bar to click.
        p = open_player(xs, ['-d', path], (W, H))
        mouse(p, ('move', W // 2, H - 1), ('click', '1'))
        p.key('period')
        wait_frame(p, expected, W, H, 1, 'a click without the bar')
        check(not stderr_lines(p, 'Seek'), 'seek without the bar: %r' % p.stderr())
        end(p)

        p = open_player(xs, ['-d', '-i', path], (W, H))

        def bar():
            shot = xs.screenshot()
            # The top row may mark frames of the frame cache.
            return [[window_pixel(p, shot, x, r) for x in range(W)] for r in range(BAR_ROWS - 1)]

        def bar_shows(k):
            filled = -(-(k + 1) * W // n)  # the columns of frames 0 to k
            want = [FILLED] * filled + [TRACK] * (W - filled)
            return all(row == want for row in bar())

        check(wait_for(lambda: bar_shows(0)), 'bar for frame 0: %s' % bar()[0][:30])
        # A click in the middle of frame k's part of the bar.
        for k in (13, 4, 19, 0, 7):
            x = (2 * k + 1) * W // (2 * n)
            mouse(p, ('move', x, H - 1 - (k % BAR_ROWS)), ('click', '1'))
            wait_line(p, 'Seek to frame %d' % k, 'click at column %d' % x)
            wait_frame(p, expected, W, H, k, 'click for frame %d' % k, skip)
            check(wait_for(lambda: bar_shows(k)), 'bar for frame %d' % k)
        # A click just above the bar does nothing.
        mouse(p, ('move', W - 3, H - 1 - BAR_ROWS), ('click', '1'))
        time.sleep(0.5)
        wait_frame(p, expected, W, H, 7, 'a click above the bar', skip)
        # A drag: pressed on frame 2's part, let go beyond the window's right
        # edge (the last frame); it seeks as it goes.
        seeks = len(stderr_lines(p, 'Seek'))
        x2 = (2 * 2 + 1) * W // (2 * n)
        mouse(p, ('move', x2, H - 2), ('mousedown', '1'))
        for x in range(x2, W + 30, 20):
            mouse(p, ('move', x, H - 2 - 30))  # off the bar: the drag goes on
            time.sleep(0.05)
        mouse(p, ('mouseup', '1'))
        wait_frame(p, expected, W, H, n - 1, 'after the drag', skip)
        lines = stderr_lines(p, 'Seek')[seeks:]
        check(lines[0] == 'Seek to frame 2' and lines[-1] == 'Seek to frame %d' % (n - 1) and len(lines) >= 3,
              'the drag sought %s' % lines)
        check('Got unexpected frame difference' not in p.stderr(), p.stderr())
        # Stepping goes on from there.
        p.key('comma')
        wait_frame(p, expected, W, H, n - 2, 'a step back after the drag', skip)
        end(p)


@case
def case_keys(work):
    n, W, H = 25, 48, 36
    pics = [pattern(W, H, k) for k in range(n)]
    expected = [plain_expected(pic) for pic in pics]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    with XServer(work) as xs:
        p = open_player(xs, ['-d', path], (W, H))
        wait_frame(p, expected, W, H, 0, 'start')
        for key, k in (('bracketleft', 0), ('bracketright', 10), ('bracketright', 20), ('bracketright', 24),
                       ('bracketright', 24), ('bracketleft', 14), ('Home', 0), ('End', 24), ('End', 24),
                       ('period', 0), ('End', 24), ('bracketleft', 14), ('bracketleft', 4), ('bracketleft', 0)):
            p.key(key)
            wait_frame(p, expected, W, H, k, 'frame %d after %s' % (k, key))
        lines = stderr_lines(p, 'Seek')
        check(lines == ['Seek to frame %d' % k for k in (10, 20, 24, 14, 24, 24, 14, 4, 0)],
              'seeks %s' % lines)
        check('Got unexpected frame difference' not in p.stderr(), p.stderr())
        end(p)

        # Tone mapped: Home does what '1' does, End reads the last frame,
        # and the causal adaptation moves on with each.
        p = open_player(xs, ['-t', path], (W, H))
        adapt = Adaptation()
        p.wait_picture(tonemap_expected(pics[0], W, H, adapt), W, H, 'frame 0')
        for key, k in (('period', 1), ('End', 24), ('Home', 0), ('1', 0), ('Home', 0), ('bracketright', 10),
                       ('bracketleft', 0)):
            p.key(key)
            p.wait_picture(tonemap_expected(pics[k], W, H, adapt), W, H, 'tone-mapped frame %d after %s'
                           % (k, key))
        end(p)


def sample_frames(p, expected, W, H, seconds, enough=None):
    """The frames seen on the screen over `seconds` seconds, each change
    once."""
    seen = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        k = frame_shown(p, p.xs.screenshot(), expected, W, H, (GREEN,) + TIMELINE)
        if k is not None and (not seen or seen[-1] != k):
            seen.append(k)
        if enough and len(seen) >= enough:
            break
    return seen


@case
def case_loops(work):
    n, W, H = 5, 48, 24
    pics = [pattern(W, H, k) for k in range(n)]
    expected = [plain_expected(pic) for pic in pics]
    path = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])

    def followers(seen):
        return {(a, b) for a, b in zip(seen, seen[1:])}

    with XServer(work) as xs:
        # Looping backwards ('r'): after frame 0 the last frame.
        p = open_player(xs, ['-fps', '2', path], (W, H))
        p.key('r', 'g')
        seen = sample_frames(p, expected, W, H, 12, 2 * n + 1)
        log('loop backward: %s' % seen)
        check((0, n - 1) in followers(seen) and all((a - b) % n in (1, 2) for a, b in zip(seen, seen[1:])),
              'looping backward showed %s' % seen)
        end(p)

        # Play once ('l'): the frames in order, then it stays on the last.
        p = open_player(xs, ['-fps', '2', path], (W, H))
        p.key('l', 'g')
        seen = sample_frames(p, expected, W, H, 4)
        log('play once: %s' % seen)
        check(seen[-1] == n - 1 and (n - 1, 0) not in followers(seen), 'play once showed %s' % seen)
        time.sleep(1)
        check(sample_frames(p, expected, W, H, 1.5) == [n - 1], 'play once did not stay on the last frame')
        end(p)

        # Ping-pong ('l' twice): it turns at the last frame and at the first.
        p = open_player(xs, ['-fps', '2', path], (W, H))
        p.key('l', 'l', 'g')
        seen = sample_frames(p, expected, W, H, 14, 2 * n + 1)
        log('ping-pong: %s' % seen)
        pairs = followers(seen)
        check((n - 1, n - 2) in pairs and (0, 1) in pairs and (n - 1, 0) not in pairs and (0, n - 1) not in pairs,
              'ping-pong showed %s' % seen)
        end(p)

        # The information overlay names the mode and the direction, paused
        # or playing: a line of its own whose length follows the text.
        wide = write_movie(work.file('wide.hlv'), 320, 80, [[pattern(320, 80, 0)]])
        p = open_player(xs, ['-i', wide], (320, 80))

        def mode_line_end():
            columns = rows_of(p, GREEN, MODE_ROWS)
            return columns[-1] if columns else None
        for keys, text in (((), 'Loop, forward'), (('l',), 'Play once, forward'),
                           (('l', 'r'), 'Ping-pong, backward'),
                           (('l',), 'Loop, backward')):
            if keys:
                p.key(*keys)
            # The text's last character ends in its last 8-pixel cell.
            last_cell = 10 + 8 * (len(text) - 1)
            check(wait_for(lambda: (mode_line_end() or 0) in range(last_cell, last_cell + 8)),
                  '%r: the line ends at %s' % (text, mode_line_end()))
        end(p)


@case
def case_seek_truncated(work):
    # The header promises 10 frames; the file holds 6, the sixth cut short.
    n, W, H = 10, 48, 36
    pics = [pattern(W, H, k) for k in range(6)]
    expected = [plain_expected(pic) for pic in pics]
    path = write_movie(work.file('cut.hlv'), W, H, [[pic] for pic in pics], nframes=n, cut=50)
    with XServer(work) as xs:
        p = open_player(xs, ['-i', path], (W, H))
        wait_frame(p, expected, W, H, 0, 'start', (GREEN,) + TIMELINE)
        p.key('End')
        wait_line(p, 'Frame 9 cannot be read, staying on frame 0', 'End')
        p.key('period', 'period', 'bracketright')
        wait_line(p, 'Frame 9 cannot be read, staying on frame 2', "']'")
        # A click on the bar at frame 5, whose pixels are cut short.
        mouse(p, ('move', (2 * 5 + 1) * W // (2 * n), H - 1), ('click', '1'))
        wait_line(p, 'Frame 5 cannot be read, staying on frame 2', 'click at frame 5')
        check(p.running(), 'the player ended')
        wait_frame(p, expected, W, H, 2, 'still frame 2', (GREEN,) + TIMELINE)
        mouse(p, ('move', (2 * 4 + 1) * W // (2 * n), H - 1), ('click', '1'))
        wait_frame(p, expected, W, H, 4, 'frame 4 after a click', (GREEN,) + TIMELINE)
        # Stepping past the end still ends the player, as before.
        p.key('period')
        status = p.wait_exit(10)
        check(status == 0, 'status %s' % status)
        check(p.stderr().endswith('Error reading image data\nFailed to read rgbe buffer, frame 5\n'),
              'stderr %r' % p.stderr())
        check('Got unexpected frame difference' not in p.stderr(), p.stderr())
        check(p.gamma() == GAMMA_BOTH, 'gamma calls %s' % p.gamma())
        p.close()


@case
def case_cache(work):
    # The frame cache changes no pixel: the same keys (stepping past the
    # end, back, '[' and ']', End and Home, settings, a drag along the
    # timeline, playing) give the same screens with -cache 0 and with a cache
    # that holds the whole movie, tone-mapped, in look-ahead mode, plain and
    # stereo; with the cache the bar marks the frames it holds.
    n, W, H = 6, 120, 40
    pics = [pattern(W, H, k) for k in range(n)]
    mono = write_movie(work.file('m.hlv'), W, H, [[pic] for pic in pics])
    pair = write_movie(work.file('p.hlv'), W, H, [[pics[k], pics[(k + 3) % n]] for k in range(n)], eyes=2)
    steps = [('period',)] * (n + 2) + [('comma',), ('comma',), ('bracketright',), ('bracketleft',), ('End',),
                                       ('Home',), ('plus',), ('period',), ('Prior',), ('period',), ('t',),
                                       ('period',), ('t',), ('comma',), 'drag']
    runs = [(['-t'], mono, W), (['-t', '-A', '-R', '2'], mono, W), ([], mono, W), (['-t'], pair, 2 * W)]

    def settled(p):
        last = None
        for _ in range(40):
            time.sleep(0.1)
            shot = p.window_shot()
            if shot is not None and shot == last:
                return shot
            last = shot
        raise Failure('the window did not settle')

    def screens(xs, args, path, width):
        p = open_player(xs, args + [path], (width, H))
        shots = [settled(p)]
        for step in steps:
            if step == 'drag':  # along the timeline, with the overlay on for it
                p.key('i')
                mouse(p, ('move', 5, H - 2), ('mousedown', '1'))
                for x in range(5, width, width // 7):
                    mouse(p, ('move', x, H - 2))
                    time.sleep(0.05)
                mouse(p, ('mouseup', '1'))
                p.key('i')
            else:
                p.key(*step)
            shots.append(settled(p))
        if '-A' in args or not args:  # play: pictures that do not depend on what was shown before
            p.key('g')
            time.sleep(1.5)
            p.key('g', 'Home', 'period')
            shots.append(settled(p))
        end(p)
        return shots

    with XServer(work, 400, 200) as xs:
        for args, path, width in runs:
            without = screens(xs, args + ['-cache', '0'], path, width)
            cached = screens(xs, args, path, width)
            for i, (a, b) in enumerate(zip(without, cached)):
                check(a == b, '%s: screen %d differs with the cache' % (args, i))
        p = open_player(xs, ['-a', '-i', mono], (W, H))
        # Every frame but the one shown (which is not kept until the next).
        check(wait_for(lambda: len(rows_of(p, CACHED, [BAR_ROWS - 1])) >= W - W // n),
              'the bar marks %d columns' % len(rows_of(p, CACHED, [BAR_ROWS - 1])))
        end(p)


@case
def case_help(work):
    # The help overlay: the old text, the look-ahead block, the added keys,
    # the screenshot key and the compare keys, 13 pixels a line.
    W, H = 420, 580
    path = write_movie(work.file('m.hlv'), W, H, [[[(60, 80, 100, 128)] * (W * H)]])
    with XServer(work, 640, 600) as xs:
        p = open_player(xs, [path], (W, H))
        p.key('h')

        def red_rows():
            return sorted({H - 1 - y for _, y in p.overlay_pixels(xs.screenshot(), RED)})
        rows = wait_for(red_rows)
        check(rows and rows[0] == 11, 'help overlay top rows %s' % (rows or [])[:5])
        # 19 lines of the old text, 6 of look-ahead, threads and the cache, 9
        # added, 2 for the screenshot, 7 for comparing: the last line's
        # baseline is 42 lines below the first's (row 19 from the top).
        last_baseline = 19 + 13 * 42
        check(last_baseline - 8 <= max(rows) <= last_baseline + 2, 'help overlay ends at row %d' % max(rows))
        end(p)


@case
def case_help_beside(work):
    # With the information overlay on, the help's second block would run
    # into its lines: in a window wide enough it goes beside the first block.
    W, H = 1200, 486
    path = write_movie(work.file('wide.hlv'), W, H, [[[(60, 80, 100, 128)] * (W * H)]])
    with XServer(work, 1220, 500) as xs:
        p = open_player(xs, ['-i', path], (W, H))
        p.key('h')
        red = wait_for(lambda: p.overlay_pixels(xs.screenshot(), RED))
        check(red and min(y for _, y in red) >= 88, 'help drawn over the information lines')
        check(max(x for x, _ in red) >= 10 + 8 * 67 + 16, 'no second column')
        end(p)


def main(argv):
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvview', required=True)
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    xharness.HALVVIEW = os.path.abspath(args.halvview)
    missing = missing_tools()
    if missing:
        log('skipped: needs %s' % ', '.join(missing))
        return SKIPPED
    failed = 0
    for name in args.case:
        work = Workdir()
        start = time.monotonic()
        try:
            CASES[name](work)
            log('PASS %s (%.1f s)' % (name, time.monotonic() - start))
            work.cleanup()
        except Failure as e:
            failed += 1
            log('FAIL %s: %s\nwork files kept in %s' % (name, e, work.path))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
