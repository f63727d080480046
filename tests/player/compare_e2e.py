#!/usr/bin/env python3
"""End-to-end tests of comparing two movies with halvview -c in a real X
server: each view (wipe and its drag, side by side, difference, toggle,
and the swap) against the screens of each side shown alone, a setting
changed on one side, the movies of unequal length, side B's header
checks, and a side B shorter than its header says.

Usage: compare_e2e.py --halvview PATH CASE...
Without Xvfb, xdotool, xwininfo or import it prints why and exits with
status 77, CTest's skip code.
"""
import glob
import math
import os
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'lib'))

import xharness  # noqa: E402
from xharness import Failure, Player, Workdir, XServer, check, log, missing_tools, ppm_pixels  # noqa: E402
from halvfiles import f32, write_movie  # noqa: E402
from expected import pattern, plain_expected, player_decode, quantise  # noqa: E402

SKIPPED = 77
GAMMA_BOTH = ['-gamma 2.2', '-gamma 1']
CASES = {}
W, H = 120, 40
WIPE_LINE = (255, 255, 255)


def case(fn):
    CASES[fn.__name__[5:]] = fn
    return fn


def open_player(xs, args, size):
    p = Player(xs, args, cwd=xs.work.path)  # the screenshots go there
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


def screen(p, width):
    """The window's pixels once they stop changing: rows from the top,
    each a list of (r, g, b)."""
    last = None
    for _ in range(50):
        time.sleep(0.1)
        p.refresh_geometry()
        shot = p.window_shot()
        if shot is not None and shot == last and p.size[0] == width:
            data = ppm_pixels(shot)
            return [[tuple(data[3 * (y * width + x):3 * (y * width + x) + 3]) for x in range(width)]
                    for y in range(H)]
        last = shot
    raise Failure('the window did not settle at width %d' % width)


def columns(rows, first, end):
    return [row[first:end] for row in rows]


def same(got, want, what):
    check(got == want, '%s: the screen differs from the side shown alone' % what)


def from_bottom(picture):
    """An expected picture (bottom row first) as rows from the top."""
    return [picture[(H - 1 - y) * W:(H - y) * W] for y in range(H)]


def difference_expected(first, second):
    """The difference view of two pictures: log2 of the second's scene
    luminance over the first's, black at 0, red to full at +4 stops, blue
    to full at -4."""
    out = []
    for pa, pb in zip(first, second):
        la = sum(c * v for c, v in zip((0.2126, 0.7152, 0.0722), player_decode(pa)))
        lb = sum(c * v for c, v in zip((0.2126, 0.7152, 0.0722), player_decode(pb)))
        stops = 0.0 if la == lb else math.log2(lb / la)
        t = f32(min(abs(stops) / 4.0, 1.0))
        out.append((quantise(t) if stops > 0 else 0, 0, quantise(t) if stops < 0 else 0))
    return out


def near(got, want, what, tol=1):
    worst = max(max(abs(a - b) for a, b in zip(g, w)) for rg, rw in zip(got, want) for g, w in zip(rg, rw))
    check(worst <= tol, '%s: largest difference %d' % (what, worst))


@case
def case_views(work):
    # A has two frames, B one: B's frame stays on screen for A's second.
    pics = [pattern(W, H, k) for k in range(3)]
    a = write_movie(work.file('a.hlv'), W, H, [[pics[0]], [pics[1]]])
    b = write_movie(work.file('b.hlv'), W, H, [[pics[2]]])
    with XServer(work, 400, 200) as xs:
        alone = {}
        for name, path in (('a', a), ('b', b)):
            p = open_player(xs, [path], (W, H))
            alone[name + '0'] = screen(p, W)
            if name == 'a':
                p.key('period')
                alone['a1'] = screen(p, W)
            end(p)
        p = open_player(xs, ['-c', b, a], (W, H))
        # Wipe: A left of the line in the middle, B right of it.
        rows = screen(p, W)
        same(columns(rows, 0, W // 2), columns(alone['a0'], 0, W // 2), 'wipe, left')
        check(all(row[W // 2] == WIPE_LINE for row in rows), 'no wipe line at column %d' % (W // 2))
        same(columns(rows, W // 2 + 1, W), columns(alone['b0'], W // 2 + 1, W), 'wipe, right')
        # A drag moves the line.
        xharness.Player.focus(p)
        p.xs.run(['xdotool', 'mousemove', str(p.origin[0] + 30), str(p.origin[1] + 20), 'mousedown', '1',
                  'mousemove', str(p.origin[0] + 60), str(p.origin[1] + 20),
                  'mousemove', str(p.origin[0] + 90), str(p.origin[1] + 20), 'mouseup', '1'])
        rows = screen(p, W)
        same(columns(rows, 0, 90), columns(alone['a0'], 0, 90), 'wipe dragged, left')
        same(columns(rows, 91, W), columns(alone['b0'], 91, W), 'wipe dragged, right')
        # Side by side, in a window twice as wide; swapped.
        p.key('v')
        rows = screen(p, 2 * W)
        same(columns(rows, 0, W), alone['a0'], 'side by side, left')
        same(columns(rows, W, 2 * W), alone['b0'], 'side by side, right')
        p.key('x')
        rows = screen(p, 2 * W)
        same(columns(rows, 0, W), alone['b0'], 'swapped, left')
        same(columns(rows, W, 2 * W), alone['a0'], 'swapped, right')
        p.key('s')  # the screenshot is what the window shows
        check(xharness.wait_for(lambda: glob.glob(work.file('a-*.png'))), 'no screenshot: %s' % p.stderr())
        with open(glob.glob(work.file('a-*.png'))[0], 'rb') as f:
            header = f.read(24)
        check(int.from_bytes(header[16:20], 'big') == 2 * W and int.from_bytes(header[20:24], 'big') == H,
              'screenshot size')
        p.key('x', 'v')
        # Difference: the ramp of B's luminance over A's.
        near(screen(p, W), from_bottom(difference_expected(pics[0], pics[2])), 'difference')
        # Toggle: A, then B with x.
        p.key('v')
        same(screen(p, W), alone['a0'], 'toggle A')
        p.key('x')
        same(screen(p, W), alone['b0'], 'toggle B')
        # Frame 1: A moves on, B keeps its last frame.
        p.key('period')
        same(screen(p, W), alone['b0'], 'B past its end')
        p.key('x')
        same(screen(p, W), alone['a1'], 'A frame 1')
        # One stop more on B alone (Tab twice: B), shown from frame 0.
        p.key('Tab', 'Tab', 'equal', 'period', 'x')
        near(screen(p, W), from_bottom(plain_expected(pics[2], 1.0)), 'B with one stop more')
        p.key('x')
        same(screen(p, W), alone['a0'], 'A as it was')
        end(p)


@case
def case_header(work):
    # Side B's header checks give A's messages, naming side B; a size or
    # eyes unlike the movie's is refused too. Status 255 each time.
    good = write_movie(work.file('good.hlv'), W, H, [[pattern(W, H, 0)]])
    narrow = write_movie(work.file('narrow.hlv'), W - 2, H, [[pattern(W - 2, H, 0)]])
    pair = write_movie(work.file('pair.hlv'), W, H, [[pattern(W, H, 0), pattern(W, H, 1)]], eyes=2)
    with open(work.file('noframes.hlv'), 'wb') as f:
        f.write(open(good, 'rb').read()[:4] + b'\0\0\0\0' + open(good, 'rb').read()[8:12])
    with XServer(work, 400, 200) as xs:
        for bad in (work.file('noframes.hlv'), work.file('missing.hlv')):
            with Player(xs, [bad]) as p:
                check(p.wait_exit(15) == 255, 'alone: status')
                message = p.stderr()
            with Player(xs, ['-c', bad, good]) as p:
                check(p.wait_exit(15) == 255, '-c %s: status' % bad)
                check(p.stderr() == 'Side B: ' + message, '-c %s: %r, alone %r' % (bad, p.stderr(), message))
                check(p.gamma() == GAMMA_BOTH, 'gamma calls %s' % p.gamma())
        for other in (narrow, pair):
            with Player(xs, ['-c', other, good]) as p:
                check(p.wait_exit(15) == 255, '-c %s: status' % other)
                check(p.stderr().startswith('Side B: "%s"' % other) and
                      p.stderr().endswith('both sides must have the same size and eyes\n'), p.stderr())


@case
def case_truncated(work):
    # Side B's header says three frames, its file holds one: stepping to
    # frame 1 reports B's failed read as A's would be, and the player goes
    # on with A alone.
    pics = [pattern(W, H, k) for k in range(3)]
    a = write_movie(work.file('a.hlv'), W, H, [[pic] for pic in pics])
    b = write_movie(work.file('b.hlv'), W, H, [[pics[2]]], nframes=3)
    with XServer(work, 400, 200) as xs:
        p = open_player(xs, [a], (W, H))
        p.key('period')
        a1 = screen(p, W)
        end(p)
        p = open_player(xs, ['-c', b, a], (W, H))
        p.key('period')
        same(screen(p, W), a1, 'A alone after B failed')
        check(p.running(), 'the player ended')
        check(p.stderr() == 'Error reading Maximum Lum in scene data\nFailed to read rgbe buffer, frame 1\n'
              'Side B cannot be read: going on with side A alone\n', p.stderr())
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
