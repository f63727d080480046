#!/usr/bin/env python3
"""End-to-end tests of the player's look-ahead adaptation in a real X server.

Usage: lookahead_e2e.py --halvview PATH --halvinfo PATH CASE...
The player's tone-mapped pictures in look-ahead mode (-A, key 'a') are
compared with a tone mapping worked out here from the adapted values that
halvinfo -frames prints for the same movie; those values are checked against
the definition here too. Also: the overlay's " look-ahead" note, the added
block of the help overlay, and -R's usage error.
"""
import math
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'halvinfo'))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'lib'))

import xharness  # noqa: E402
from xharness import (GREEN, RED, TIMELINE, Player, Workdir, XServer, check, log, wait_for)  # noqa: E402
from xharness import Failure as TestFailure  # noqa: E402
from halvfiles import f32, luminance  # noqa: E402
from halvfiles import movie_header, movie_record  # noqa: E402
from expected import pattern, plain_expected, quantise  # noqa: E402
from expected import player_decode as decode  # noqa: E402
import movies  # noqa: E402


HALVINFO = None
W, H = 48, 36  # multiples of 3: the tone mapper's blocks tile the picture
GAMMA_BOTH = ['-gamma 2.2', '-gamma 1']


def tonemap_with(pixels, av, peak, bias_param=f32(0.85)):
    """8-bit picture of the tone-mapped path for a given normaliser and peak
    (adaptive logarithmic mapping over 3 x 3 blocks, colours given the
    display luminance)."""
    cols = [decode(p) for p in pixels]
    lum = [1e-6 if p[3] == 0 else luminance(c) for p, c in zip(pixels, cols)]
    b = math.log(bias_param) / -0.693147
    lwmax = peak / av
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
            d = sum(norm.values()) / 9.0 - norm[cells[0]]
            smooth = -1.0 < d < 1.0
            shared = denominator(norm[cells[4]]) if smooth else None
            for k in cells:
                ld[k] = mapped(norm[k]) / (shared if smooth else denominator(norm[k]))
    return [tuple(quantise(f32(l * v / luminance(c))) for v in c) for c, l in zip(cols, ld)]


def differs(a, b):
    return max(max(abs(x - y) for x, y in zip(p, q)) for p, q in zip(a, b))


def halvinfo_rows(path, radius):
    r = subprocess.run([HALVINFO, '-frames', '-R', str(radius), path], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=60)
    check(r.returncode == 0, 'halvinfo status %d: %s' % (r.returncode, r.stderr.decode()))
    rows = r.stdout.decode().splitlines()
    check(rows[0].split('\t') == ['frame', 'eye', 'maxLum', 'logAv', 'adapted_causal', 'adapted_lookahead',
                                  'peak_lookahead'], 'halvinfo table header %r' % rows[0])
    return [[float(c) for c in row.split('\t')] for row in rows[1:]]


def scene_statistics(n):
    """A dim scene with flicker and a drifting peak, a cut to a bright one."""
    stats = []
    for k in range(n):
        logav = (0.04 if k < n // 2 else 0.5) * (1.1 if k % 2 else 0.9)
        maxlum = (3.0 if k < n // 2 else 9.0) * (1 + 0.3 * (k % 3))
        stats.append((maxlum, logav))
    return stats


CASES = {}


def case(fn):
    CASES[fn.__name__[5:]] = fn
    return fn


@case
def case_pictures(work):
    n, R = 12, 3
    pics = [pattern(W, H, k) for k in range(n)]
    stats = scene_statistics(n)
    path = work.file('scene.hlv')
    with open(path, 'wb') as f:
        f.write(movie_header(W, H, n) + b''.join(movie_record(p, s) for p, s in zip(pics, stats)))
    rows = halvinfo_rows(path, R)
    # halvinfo's values are the definition's.
    ahead = movies.lookahead(stats, R)
    causal = movies.causal([a for _, a in stats])
    for k, row in enumerate(rows):
        check(movies.same(row[5], ahead[k][0]) and movies.same(row[6], ahead[k][1]) and
              movies.same(row[4], causal[k]), 'halvinfo frame %d: %s, expected %s %s' % (k, row, ahead[k], causal[k]))
    look = [tonemap_with(pics[k], rows[k][5], rows[k][6]) for k in range(n)]
    plain = [tonemap_with(pics[k], rows[k][4], stats[k][0]) for k in range(n)]
    # The frames after the cut tell the modes apart.
    check(differs(look[n // 2], plain[n // 2]) > 20, 'the modes differ after the cut')

    with XServer(work) as xs:
        # The causal mode from frame 0: halvinfo's adapted_causal is the
        # normaliser the player uses.
        p = Player(xs, ['-t', path])
        try:
            p.wait_window((W, H))
            p.place()
            for k in range(n):
                if k:
                    p.key('period')
                p.wait_picture(plain[k], W, H, 'causal frame %d' % k)
            p.key('q')
            check(p.wait_exit(10) == 0, 'causal run: status')
        finally:
            p.close()
        p = Player(xs, ['-t', '-A', '-R', str(R), path])
        try:
            p.wait_window((W, H))
            p.place()
            for k in range(n):
                if k:
                    p.key('period')
                p.wait_picture(look[k], W, H, 'look-ahead frame %d' % k)
            # 'a': back to the causal mode, whose state moved on all along;
            # the picture changes with the next frame read. Frame 0 again:
            # the state after n frames moves once more.
            p.key('a', '1')
            av = (causal[-1] + stats[0][1]) * 0.5
            p.wait_picture(tonemap_with(pics[0], av, stats[0][0]), W, H, 'causal frame 0 after a loop')
            p.key('period')
            av1 = (av + stats[1][1]) * 0.5
            p.wait_picture(tonemap_with(pics[1], av1, stats[1][0]), W, H, 'causal frame 1')
            # 'A' (upper case) turns look-ahead on again.
            p.key('A', 'period')
            p.wait_picture(look[2], W, H, 'look-ahead frame 2 after A')
            p.key('q')
            status = p.wait_exit(10)
            check(status == 0, 'status %s: %s' % (status, p.stderr()))
            check(p.gamma() == GAMMA_BOTH, 'gamma calls %s' % p.gamma())
            check(p.stderr() == '', 'stderr %r' % p.stderr())
        finally:
            p.close()


@case
def case_corrupt_first_frame(work):
    # A first frame whose log-average is NaN: nothing to normalise by, black;
    # in look-ahead mode with R = 0 its window holds nothing either.
    n = 3
    pics = [pattern(W, H, k) for k in range(n)]
    stats = [(4.0, float('nan')), (4.0, 0.3), (4.0, 0.3)]
    path = work.file('corrupt.hlv')
    with open(path, 'wb') as f:
        f.write(movie_header(W, H, n) + b''.join(movie_record(p, s) for p, s in zip(pics, stats)))
    black = [(0, 0, 0)] * (W * H)
    with XServer(work) as xs:
        for args in (['-t'], ['-t', '-A', '-R', '0']):
            p = Player(xs, args + [path])
            try:
                p.wait_window((W, H))
                p.place()
                p.wait_picture(black, W, H, 'corrupt first frame black (%s)' % ' '.join(args), tol=0)
                p.key('period')
                want = tonemap_with(pics[1], 0.15 if len(args) == 1 else math.exp(math.log(0.3)),
                                    4.0 if len(args) == 1 else math.exp(math.log(4.0)))
                p.wait_picture(want, W, H, 'frame 1 after the corrupt one (%s)' % ' '.join(args))
                p.key('q')
                check(p.wait_exit(10) == 0, 'status')
            finally:
                p.close()


@case
def case_overlays(work):
    # Wide enough for the information line with the note, tall enough for
    # the help text and the block under it.
    w, h = 420, 360
    pic = [(60, 80, 100, 128)] * (w * h)
    path = work.file('wide.hlv')
    with open(path, 'wb') as f:
        f.write(movie_header(w, h, 1) + movie_record(pic))
    expected = plain_expected(pic)
    with XServer(work, 640, 480) as xs:
        p = Player(xs, ['-i', path])
        try:
            p.wait_window((w, h))
            p.place()
            p.wait_picture(expected, w, h, 'the picture', skip=(GREEN,) + TIMELINE)

            def first_line_right():
                pixels = p.overlay_pixels(xs.screenshot(), GREEN)
                return max((x for x, y in pixels if y <= 20), default=None)  # line 1: rows 8 to 20
            plain_right = wait_for(first_line_right)
            check(plain_right, 'no information overlay')
            # 'Bias: 0.85, Exposure: 1.0, Frame: 0' is 35 characters of 8
            # pixels from x = 10; the note adds 11.
            check(280 <= plain_right < 290, 'first line ends at %d' % plain_right)
            p.key('a')
            check(wait_for(lambda: (first_line_right() or 0) >= plain_right + 80),
                  'no " look-ahead" note after a: ends at %s' % first_line_right())
            p.key('a')
            check(wait_for(lambda: first_line_right() == plain_right), 'note still shown after a again')
            # The help overlay: the old text, then the added block under it.
            p.key('h')

            def red_rows():
                return sorted({h - 1 - y for _, y in p.overlay_pixels(xs.screenshot(), RED)})
            rows = wait_for(red_rows)
            check(rows and rows[0] == 11, 'help overlay top rows %s' % rows[:5])
            # 19 lines of the old text from the baseline 20 pixels below the
            # top, 13 pixels a line; the block's four lines follow.
            last_old_baseline = 19 + 13 * 18
            check(max(rows) > last_old_baseline + 13 * 3, 'help overlay ends at row %d' % max(rows))
            p.key('q')
            check(p.wait_exit(10) == 0, 'status')
        finally:
            p.close()


@case
def case_radius_usage(work):
    path = work.file('m.hlv')
    with open(path, 'wb') as f:
        f.write(movie_header(W, H, 1) + movie_record(pattern(W, H, 0)))
    with XServer(work) as xs:
        for value in ('-1', 'x', '2.5', '', '+3', '99999999999'):
            p = Player(xs, ['-R', value, path])
            try:
                status = p.wait_exit(15)
                err = p.stderr()
                check(status == 255, '-R %r: status %s' % (value, status))
                check(err.startswith('Look-ahead radius must be a whole number of frames, 0 or more [-R]\nUsage: '),
                      '-R %r: stderr %r' % (value, err[:200]))
                check(p.gamma() == [], '-R %r: gamma calls %s' % (value, p.gamma()))
            finally:
                p.close()


def main(argv):
    global HALVINFO
    import argparse
    import time
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvview', required=True)
    parser.add_argument('--halvinfo', required=True)
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    xharness.HALVVIEW = os.path.abspath(args.halvview)
    HALVINFO = os.path.abspath(args.halvinfo)
    failed = 0
    for name in args.case:
        work = Workdir()
        start = time.monotonic()
        try:
            CASES[name](work)
            log('PASS %s (%.1f s)' % (name, time.monotonic() - start))
            work.cleanup()
        except TestFailure as e:
            failed += 1
            log('FAIL %s: %s\nwork files kept in %s' % (name, e, work.path))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
