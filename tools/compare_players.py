#!/usr/bin/env python3
"""Plays the same key sequences in two builds of halvview under Xvfb and
compares what the windows show, pixel for pixel, and the non-timing lines
of their standard error (-d).

    tools/compare_players.py OLD_BUILD NEW_BUILD [--work DIR] [--case NAME]...
                             [--settle SECONDS] [--retries N] [--list]

The movies (12 frames of 320 x 216, mono and stereo) are made once with
halvdemo and halvpack of OLD_BUILD and kept in OLD_BUILD/compare_players/.
Each case runs the OLD player through its keys, then the NEW one, on the
same X server, so timing does not enter the comparison: after every key
the screen is taken once two consecutive screenshots agree. One line is
printed per case (a case that differs is run again: DIFFERENT when it
differs every time, FLAKY when not); the screens of a case that differs are saved as PNG
(old, new, and the differing pixels in red) in the work folder (a new
temporary folder unless --work is given), which is kept when anything
differs. The exit status is 1 when anything differs, 2 on a failure to
run.

The player redraws continuously (at its target rate) even when paused, so
two equal screenshots mean the window shows its settled state. The
information overlay's timing lines (read/draw times, frame rates) differ
from run to run: in the case with the overlay, pixels of the overlay's
green in the band of those two lines are left out of the comparison.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'lib'))
import xharness  # noqa: E402
from xharness import Failure, Player, Workdir, XServer  # noqa: E402

W, H, FRAMES = 320, 216, 12
SCREEN = (680, 240)          # room for the stereo window (640 x 216) at (10, 10)
ORIGIN = (10, 10)
POINTER = (SCREEN[0] - 3, SCREEN[1] - 3)  # off every window: no pixel probe

# Every key the comparison exercises, in xdotool's names. '+' and '-' are
# typed as "equal" and "minus" (a whole stop), "plus" and "underscore"
# (with Shift: a tenth). Settings that show from the next frame read are
# followed by a step. It ends in play-once mode playing backward: the player
# plays to the first frame, turns, and stops on the last, a fixed sequence
# of frames.
KEYS = ['period', 'period', 'comma', 'Right', 'Left',
        'equal', 'period', 'minus', 'minus', 'period', 'plus', 'underscore', 'underscore', 'period',
        't', 'period', 't', 'comma',
        'Prior', 'Prior', 'period', 'Next', 'Next', 'Next', 'period',
        'a', 'period', 'a', 'comma',
        'k', 'period', 'c', 'period', 'comma',
        'bracketright', 'bracketleft', 'bracketright', 'End', 'Home', 'End', 'bracketleft',
        'c', 'k', '1',
        'l', 'r', 'period', 'comma', 'g']

# Autoplay stopped at a known frame: play-once mode stops on the last frame.
# Look-ahead adaptation depends only on the frame shown, not on how many
# frames were played before, so the picture is fixed.
AUTOPLAY_KEYS = ['l', 'k', 'c', 'c', 'r', 'g', 'Home', 'period', 'period', 'period', 'period', 'k']


def cases():
    mono, stereo = 'mono.hmv', 'stereo.hmv'
    out = []
    for name, args, movie in (('tone-mapped', ['-t'], mono),
                              ('plain', [], mono),
                              ('look-ahead', ['-A', '-t'], mono),
                              ('stereo', ['-t'], stereo),
                              ('stereo-plain', [], stereo)):
        for j in ('1', None):
            jargs = ['-j', j] if j else []
            out.append(dict(name=name + (' -j 1' if j else ' -j default'),
                            args=['-d'] + args + jargs, movie=movie, keys=KEYS, info=False))
    out.append(dict(name='info tone-mapped -j default', args=['-d', '-i', '-t'], movie=mono,
                    keys=KEYS, info=True))
    out.append(dict(name='info stereo plain -j 1', args=['-d', '-i', '-j', '1'], movie=stereo,
                    keys=KEYS, info=True))
    out.append(dict(name='autoplay look-ahead -j default', args=['-d', '-a', '-A', '-t'], movie=mono,
                    keys=AUTOPLAY_KEYS, info=False))
    out.append(dict(name='autoplay plain -j 1', args=['-d', '-a', '-j', '1'], movie=stereo,
                    keys=AUTOPLAY_KEYS, info=False))
    return out


def run(args, cwd=None):
    r = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise Failure('%s failed:\n%s' % (' '.join(args), r.stdout.decode(errors='replace')))
    return r.stdout.decode(errors='replace')


def make_movies(build, folder):
    """The mono and stereo movies, made once with the build's halvdemo and
    halvpack and kept in `folder`."""
    os.makedirs(folder, exist_ok=True)
    for name, eyes in (('mono', 1), ('stereo', 2)):
        movie = os.path.join(folder, name + '.hmv')
        if os.path.exists(movie):
            continue
        frames = os.path.join(folder, name)
        os.makedirs(frames, exist_ok=True)
        run([os.path.join(build, 'tools', 'halvdemo'), '-n', str(FRAMES), '-x', str(W), '-y', str(H)]
            + (['-s'] if eyes == 2 else []) + ['-p', name, frames])
        log = run([os.path.join(build, 'halvpack', 'halvpack'), '-x', str(W), '-y', str(H),
                   '-e', str(eyes), '-i', name + '.list', '-o', movie + '.part'], cwd=frames)
        if '----- Failed' in log:
            raise Failure('halvpack failed:\n' + log)
        os.rename(movie + '.part', movie)
        subprocess.run(['rm', '-rf', frames])


# ---------------------------------------------------------------------------
# Comparing screens.

class Mask:
    """Which pixels are compared: all of them, or with `info` all but the
    overlay's green ones in the rows of its timing lines (window rows 19 to
    47 counted from the bottom: lines 2 and 3, drawn at 23 and 36)."""

    def __init__(self, info, origin, size):
        self.rows = set()
        if info:
            ox, oy = origin
            wh = size[1]
            self.rows = {oy + wh - 1 - y for y in range(19, 48)}


GREEN = bytes(xharness.GREEN)


def diff(a, b, mask):
    """(number of differing pixels, (x, y) of the first in screen
    coordinates or None, set of differing pixel indices)."""
    if a.data == b.data:
        return 0, None, []
    width = a.width
    stride = 3 * width
    where = []
    for y in range(a.height):
        ra, rb = a.data[y * stride:(y + 1) * stride], b.data[y * stride:(y + 1) * stride]
        if ra == rb:
            continue
        masked = y in mask.rows
        for x in range(width):
            pa, pb = ra[3 * x:3 * x + 3], rb[3 * x:3 * x + 3]
            if pa != pb and not (masked and (pa == GREEN or pb == GREEN)):
                where.append(y * width + x)
    return len(where), ((where[0] % width, where[0] // width) if where else None), where


def blank(shot, origin, size):
    """Whether the window's part of the screen is all black (not drawn yet)."""
    ox, oy = origin
    w, h = size
    stride = 3 * shot.width
    return not any(any(shot.data[y * stride + 3 * ox:y * stride + 3 * (ox + w)])
                   for y in range(oy, oy + h))


def settled(xs, mask, settle, window=None, agree=3, timeout=15.0):
    """The screen once `agree` consecutive screenshots agree (None when they
    never do within the timeout). With `window` (origin, size) the window
    must also have been drawn (not all black)."""
    time.sleep(settle)
    last = xs.screenshot()
    same = 1
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.04)
        shot = xs.screenshot()
        if window and blank(shot, *window):
            same = 1
        elif diff(last, shot, mask)[0] == 0:
            same += 1
            if same >= agree:
                return shot
        else:
            same = 1
        last = shot
    return None


def timing_line(line):
    return bool(re.search(r'Framerate|fps|msec', line))


def play(xs, build, case, movies, settle):
    """Runs one player through the case's keys: its screens (one at the
    start and one after every key), its filtered standard error, its exit
    status and the stand-in xgamma's calls."""
    xharness.HALVVIEW = os.path.join(build, 'halvview', 'halvview')
    eyes = 2 if case['movie'].startswith('stereo') else 1
    size = (W * eyes, H)
    shots = []
    with Player(xs, case['args'] + [os.path.join(movies, case['movie'])], name='player') as p:
        p.wait_window(size=size)
        p.place(*ORIGIN)
        mask = Mask(case['info'], p.origin, p.size)
        # A player started with -a is playing (looping): no start screen.
        if '-a' not in case['args']:
            shots.append(settled(xs, mask, settle, window=(p.origin, p.size)))
        for key in case['keys']:
            p.key(key)
            shots.append(settled(xs, mask, settle))
        p.key('q')
        status = p.wait_exit()
        err = [line for line in p.stderr().splitlines() if not timing_line(line)]
        return shots, err, status, p.gamma(), mask


def save_png(shot, path):
    subprocess.run(['convert', '-size', '%dx%d' % (shot.width, shot.height), '-depth', '8',
                    'rgb:-', path], input=shot.data, check=True)


def save_diff(old, new, where, path):
    data = bytearray(len(old.data) // 3 * 3)
    for i in range(0, len(data), 3):  # the old screen, darkened
        data[i:i + 3] = bytes(c // 4 for c in old.data[i:i + 3])
    for k in where:
        data[3 * k:3 * k + 3] = b'\xff\x00\x00'
    save_png(xharness.Shot(bytes(data), old.width, old.height), path)


def compare_case(xs, old, new, case, movies, work, settle, attempt=1):
    o_shots, o_err, o_status, o_gamma, mask = play(xs, old, case, movies, settle)
    n_shots, n_err, n_status, n_gamma, _ = play(xs, new, case, movies, settle)
    problems = []
    total, first = 0, None
    slug = re.sub(r'[^A-Za-z0-9]+', '-', case['name']).strip('-')
    if attempt > 1:
        slug += '-try%d' % attempt
    steps = ([] if '-a' in case['args'] else ['start']) + case['keys']
    for i, (a, b) in enumerate(zip(o_shots, n_shots)):
        if a is None or b is None:
            problems.append('screen after %s never settled (%s)' % (steps[i], 'old' if a is None else 'new'))
            continue
        n, at, where = diff(a, b, mask)
        if n:
            if first is None:
                first = (at[0] - ORIGIN[0], at[1] - ORIGIN[1], i, steps[i])
            total += n
            stem = os.path.join(work, '%s-%02d-%s' % (slug, i, steps[i]))
            save_png(a, stem + '-old.png')
            save_png(b, stem + '-new.png')
            save_diff(a, b, where, stem + '-diff.png')
    if o_err != n_err:
        with open(os.path.join(work, slug + '-old.err'), 'w') as f:
            f.write('\n'.join(o_err) + '\n')
        with open(os.path.join(work, slug + '-new.err'), 'w') as f:
            f.write('\n'.join(n_err) + '\n')
        problems.append('stderr differs (non-timing lines; %s-old.err, %s-new.err)' % (slug, slug))
    if o_status != n_status:
        problems.append('exit status %s, new %s' % (o_status, n_status))
    if o_gamma != n_gamma:
        problems.append('xgamma calls %s, new %s' % (o_gamma, n_gamma))
    if total:
        problems.insert(0, '%d pixels, first at %d,%d (window coordinates) after key %d "%s"'
                        % (total, first[0], first[1], first[2], first[3]))
    return problems, len(o_shots)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('old')
    ap.add_argument('new')
    ap.add_argument('--work', help='folder for the screens that differ (default: a new one in /tmp)')
    ap.add_argument('--case', action='append', help='run only the cases whose name contains this')
    ap.add_argument('--settle', type=float, default=0.08,
                    help='seconds to wait after a key before the first screenshot (default 0.08)')
    ap.add_argument('--retries', type=int, default=1,
                    help='runs again a case that differs, up to this many times (default 1): '
                         'a case that differs every time is DIFFERENT, one that differs only '
                         'sometimes FLAKY; both count as differences')
    ap.add_argument('--list', action='store_true', help='list the cases and exit')
    a = ap.parse_args()
    all_cases = cases()
    if a.case:
        all_cases = [c for c in all_cases if any(s in c['name'] for s in a.case)]
    if a.list:
        for c in all_cases:
            print('%-34s halvview %s %s' % (c['name'], ' '.join(c['args']), c['movie']))
        return 0
    missing = xharness.missing_tools(xharness.TOOLS + ('convert',))
    if missing:
        print('compare_players: missing tools: ' + ', '.join(missing), file=sys.stderr)
        return 2
    old, new = os.path.abspath(a.old), os.path.abspath(a.new)
    for b in (old, new):
        if not os.access(os.path.join(b, 'halvview', 'halvview'), os.X_OK):
            print('compare_players: no player in %s/halvview/halvview' % b, file=sys.stderr)
            return 2
    work = a.work or tempfile.mkdtemp(prefix='compare_players-')
    os.makedirs(work, exist_ok=True)
    movies = os.path.join(old, 'compare_players')
    make_movies(old, movies)

    run_dir = Workdir()  # stand-in xgamma first on PATH, the players' logs
    any_diff = False
    start = time.monotonic()
    try:
        with XServer(run_dir, *SCREEN) as xs:
            xs.run(['xdotool', 'mousemove', str(POINTER[0]), str(POINTER[1])])
            for case in all_cases:
                t0 = time.monotonic()
                results = []
                for attempt in range(1, a.retries + 2):
                    try:
                        problems, nshots = compare_case(xs, old, new, case, movies, work, a.settle, attempt)
                    except Failure as e:
                        problems, nshots = ['failed: %s' % str(e).replace('\n', ' ')], 0
                    results.append(problems)
                    if not problems:
                        break
                any_diff |= bool(results[0])
                if not results[-1] and len(results) == 1:
                    verdict = 'same'
                elif results[-1]:
                    verdict = 'DIFFERENT (' + '; '.join(results[0]) + ')'
                    if len(results) > 1:
                        verdict += ' on each of %d runs' % len(results)
                else:
                    verdict = 'FLAKY (%s; then the same on run %d)' % ('; '.join(results[0]), len(results))
                print('%-34s %s  [%d screens, %.0f s]' % (case['name'], verdict, nshots,
                                                           time.monotonic() - t0), flush=True)
    finally:
        run_dir.cleanup()
    print('%d cases in %.0f s; %s' % (len(all_cases), time.monotonic() - start,
                                      'differences saved in ' + work if any_diff else 'all the same'))
    if not any_diff and not a.work:
        os.rmdir(work) if not os.listdir(work) else None
    return 1 if any_diff else 0


if __name__ == '__main__':
    sys.exit(main())
