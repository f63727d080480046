#!/usr/bin/env python3
"""End-to-end tests of halvinfo: the real program on movies written here.

Usage: halvinfo_test.py --halvinfo PATH CASE...   (--list prints the cases)
Each case checks what halvinfo prints, where, and its exit status; the
-frames columns against values worked out here from the statistics written;
the SVG plot with Python's XML parser.
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import movies  # noqa: E402
from movies import same  # noqa: E402

HALVINFO = None
W, H = 16, 16
NAN, INF = float('nan'), float('inf')
SVG = '{http://www.w3.org/2000/svg}'


class Failure(Exception):
    pass


def check(condition, what, *details):
    if not condition:
        raise Failure(what + ''.join('\n  ' + str(d) for d in details))


class Work:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix='halvinfo-test-')

    def write(self, name, data):
        path = os.path.join(self.path, name)
        with open(path, 'wb') as f:
            f.write(data)
        return path


def run(*args):
    r = subprocess.run([HALVINFO] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def lines(text):
    return text.splitlines()


def table(text):
    """The -frames table: the header line, then rows of numbers."""
    rows = lines(text)
    check(rows and rows[0] == 'frame\teye\tmaxLum\tlogAv\tadapted_causal\tadapted_lookahead\tpeak_lookahead',
          'table header', rows[:1])
    out = []
    for row in rows[1:]:
        cells = row.split('\t')
        check(len(cells) == 7, 'table row of 7 cells', row)
        out.append((int(cells[0]), int(cells[1])) + tuple(float(c) for c in cells[2:]))
    return out


def expected_rows(stats, eyes, radius=6):
    """The table worked out here: per frame and eye the stored statistics,
    the causal normaliser and the look-ahead values."""
    per_eye = [[frame[e] for frame in stats] for e in range(eyes)]
    causal = [movies.causal([a for _, a in eye]) for eye in per_eye]
    ahead = [movies.lookahead(eye, radius) for eye in per_eye]
    rows = []
    for k in range(len(stats)):
        for e in range(eyes):
            m, a = per_eye[e][k]
            rows.append((k, e, m, a, causal[e][k], ahead[e][k][0], ahead[e][k][1]))
    return rows


def check_table(got, want, what):
    check(len(got) == len(want), '%s: %d rows, expected %d' % (what, len(got), len(want)))
    for g, w in zip(got, want):
        check(g[:2] == w[:2], '%s: row %s, expected frame and eye %s' % (what, g[:2], w[:2]))
        for name, x, y in zip(('maxLum', 'logAv', 'adapted_causal', 'adapted_lookahead', 'peak_lookahead'),
                              g[2:], w[2:]):
            check(same(x, y), '%s: frame %d eye %d %s is %r, expected %r' % (what, g[0], g[1], name, x, y))


def summary_has(text, *expected):
    for line in expected:
        check(line in lines(text), 'summary line %r' % line, text)


# --- movies used by several cases --------------------------------------------

def scene(n=40, eyes=1):
    """Statistics with a drift, flicker, two cuts and, for two eyes, a right
    eye of its own."""
    stats = []
    for k in range(n):
        frame = []
        for e in range(eyes):
            base = 0.01 if k < 12 else (1.0 if k < 27 else 0.2)
            if e == 1:
                base = 0.5 * (1 + 0.02 * k)
            logav = base * (1.1 if k % 2 else 0.9) * (1 + 0.01 * k)
            maxlum = 200.0 * (1 + 0.5 * ((k * 7) % 5)) * (3.0 if e else 1.0)
            frame.append((maxlum, logav))
        stats.append(frame)
    return stats


# --- cases --------------------------------------------------------------------

CASES = {}


def case(fn):
    CASES[fn.__name__[5:]] = fn
    return fn


@case
def case_sound(work):
    stats = scene(10)
    path = work.write('sound.hmv', movies.movie(W, H, stats))
    status, out, err = run(path)
    check(status == 0, 'status %d' % status, out, err)
    check(err == '', 'stderr %r' % err)
    summary_has(out, 'Movie: %s' % path, 'Header: 16 x 16, 1 eye, 10 frames',
                'Frame size: 1040 bytes (1 x (16 + 4 x 16 x 16))',
                'File: %d bytes, 10 complete frames' % (12 + 10 * 1040),
                'Statistics: sound', 'Result: complete and sound')
    # Bytes after the last frame are reported; the movie is still sound.
    path = work.write('extra.hmv', movies.movie(W, H, stats) + b'x' * 100)
    status, out, err = run(path)
    check(status == 0, 'extra data: status %d' % status, out, err)
    summary_has(out, 'Extra data: 100 bytes after the last frame (not played)', 'Result: complete and sound')


@case
def case_truncated(work):
    stats = scene(5, 2)
    whole = movies.movie(W, H, stats, eyes=2)
    frame = 2 * movies.record_size(W, H)
    # Two whole frames missing.
    path = work.write('short.hmv', whole[:12 + 3 * frame])
    status, out, err = run(path)
    check(status == 1, 'two frames missing: status %d' % status, out, err)
    summary_has(out, 'Header: 16 x 16, 2 eyes (stereo pairs), 5 frames', 'File: %d bytes, 3 complete frames'
                % (12 + 3 * frame), 'Truncated: the header announces 5 frames, the file holds 3 complete frames',
                'Result: truncated')
    check(not any(l.startswith('Partial') for l in lines(out)), 'no partial frame', out)
    # A partial last frame: its left record whole, the right one cut.
    cut = 12 + 3 * frame + movies.record_size(W, H) + 100
    path = work.write('partial.hmv', whole[:cut])
    status, out, err = run('-frames', path)
    check(status == 1, 'partial frame: status %d' % status, out, err)
    summary_has(err, 'Truncated: the header announces 5 frames, the file holds 3 complete frames',
                'Partial last frame: frame 3 has %d of its %d bytes (left out)'
                % (movies.record_size(W, H) + 100, frame))
    # The table holds the whole frames only.
    check_table(table(out), expected_rows(stats[:3], 2), 'partial')
    # Shorter than the header, and a header with nothing after it.
    path = work.write('tiny.hmv', whole[:11])
    status, out, err = run(path)
    check(status == 255 and out == '' and 'Failed to read the header' in err, 'short header', status, out, err)
    path = work.write('empty.hmv', whole[:12])
    status, out, err = run(path)
    check(status == 1, 'header only: status %d' % status, out, err)
    summary_has(out, 'File: 12 bytes, 0 complete frames',
                'Truncated: the header announces 5 frames, the file holds 0 complete frames')


@case
def case_swapped(work):
    stats = scene(8)
    big = work.write('big.hmv', movies.movie(W, H, stats, order='>'))
    status, out, err = run(big)
    check(status == 255, 'other byte order: status %d' % status, out, err)
    check(out == '', 'other byte order: stdout %r' % out)
    check('written on a machine of the other byte order: play with -b' in err, 'hint for -b', err)
    # With -b it is a sound movie, its statistics read swapped.
    status, out, err = run('-b', '-frames', big)
    check(status == 0, '-b: status %d' % status, out, err)
    summary_has(err, 'Movie: %s (byte-swapped)' % big, 'Result: complete and sound')
    check_table(table(out), expected_rows(stats, 1), 'byte-swapped')
    # 720 wide: a header that is not valid at all as read (720 reads as
    # -12286), only swapped.
    wide = work.write('wide.hmv', movies.movie(720, H, stats[:2], order='>'))
    status, out, err = run(wide)
    check(status == 255 and 'Movie width out of range (or bad header)' in err and
          'written on a machine of the other byte order: play with -b' in err, '720 wide, other order',
          status, out, err)
    status, out, err = run('-b', wide)
    check(status == 0, '720 wide with -b: status %d' % status, out, err)
    # A movie of this machine's order read with -b.
    little = work.write('little.hmv', movies.movie(W, H, stats))
    status, out, err = run('-b', little)
    check(status == 255, 'needless -b: status %d' % status, out, err)
    check('written on a machine of this byte order: play without -b' in err, 'hint without -b', err)


@case
def case_corrupt(work):
    stats = scene(12, 2)
    stats[0][0] = (200.0, NAN)
    stats[3][1] = (INF, 0.5)
    stats[4][0] = (0.0, 0.5)
    stats[7][1] = (200.0, -0.25)
    stats[9][0] = (-1.0, 0.0)
    path = work.write('corrupt.hmv', movies.movie(W, H, stats, eyes=2))
    status, out, err = run(path)
    check(status == 1, 'status %d' % status, out, err)
    named = [l for l in lines(out) if l.startswith('Corrupt statistics: ')]
    want = ['frame 0, eye 0', 'frame 3, eye 1', 'frame 4, eye 0', 'frame 7, eye 1', 'frame 9, eye 0']
    check([l.split(': ')[1] for l in named] == want, 'corrupt records named', named)
    check('Corrupt statistics: frame 3, eye 1: maxLum inf, logAv 0.5' in named, 'values shown', named)
    summary_has(out, 'Statistics: 5 corrupt records', 'Result: corrupt statistics')
    # Both faults at once.
    frame = 2 * movies.record_size(W, H)
    path = work.write('both.hmv', movies.movie(W, H, stats, eyes=2)[:12 + 10 * frame + 7])
    status, out, err = run(path)
    check(status == 1, 'both: status %d' % status, out, err)
    summary_has(out, 'Result: truncated, corrupt statistics')
    # The table: the corrupt first log-average leaves the causal normaliser
    # at 0 (the player shows that frame black); the look-ahead leaves the
    # bad records out.
    status, out, err = run('-frames', work.write('c2.hmv', movies.movie(W, H, stats, eyes=2)))
    rows = table(out)
    check(rows[0][4] == 0.0, 'causal normaliser of a corrupt first frame', rows[0])
    check_table(rows, expected_rows(stats, 2), 'corrupt')


@case
def case_not_a_movie(work):
    for name, data, message in (
            ('text.hmv', b'This is not a movie file at all.\n' * 4, 'Not a movie file'),
            ('format.hmv', movies.header(W, H, 2, fmt=47) + movies.record(W, H, 1, 1) * 2,
             'Movie format should be 48, bad header'),
            ('frames.hmv', movies.header(W, H, 0), 'No frames found, bad header'),
            ('narrow.hmv', movies.header(15, H, 1) + movies.record(15, H, 1, 1),
             'Movie width out of range (or bad header)')):
        path = work.write(name, data)
        status, out, err = run(path)
        check(status == 255, '%s: status %d' % (name, status), out, err)
        check(out == '', '%s: stdout %r' % (name, out))
        check(message in err, '%s: message %r' % (name, message), err)
    fifo = os.path.join(work.path, 'fifo.hmv')
    os.mkfifo(fifo)
    for path, reason in ((os.path.join(work.path, 'missing.hmv'), 'No such file or directory'),
                         (work.path, 'Invalid argument'), (fifo, 'Invalid argument')):
        status, out, err = run(path)
        check(status == 255 and err == 'Failed to open movie file "%s": %s\n' % (path, reason) and out == '',
              'cannot open %s' % path, status, out, err)


@case
def case_usage(work):
    path = work.write('m.hmv', movies.movie(W, H, scene(3)))
    for args in ([], ['-R', '-1', path], ['-R', 'abc', path], ['-R', '2.5', path], ['-x', path],
                 ['-plot', path], ['-R', path], ['-frames'], ['-h']):
        status, out, err = run(*args)
        check(status == 255, '%s: status %d' % (args, status), out, err)
        check(out == '', '%s: stdout %r' % (args, out))
        check('Usage: halvinfo [-b] [-frames] [-plot file.svg] [-R n] movie' in err, '%s: usage' % args, err)
    # -h anywhere an option or the movie may stand: the usage alone.
    for args in (['-h'], ['-h', path], ['-frames', '-h'], ['-b', '-h', path]):
        status, out, err = run(*args)
        check(status == 255 and out == '' and err.startswith('Usage: halvinfo ') and err.count('\n') == 5,
              '%s: the usage alone' % args, status, err)
    status, out, err = run('-R', 'x', path)
    check('Look-ahead radius must be a whole number of frames, 0 or more [-R]' in err, '-R message', err)


@case
def case_frames(work):
    for eyes in (1, 2):
        stats = scene(40, eyes)
        # Bad records inside windows, and at a segment's edge.
        stats[5][0] = (NAN, 0.3)
        stats[6][0] = (300.0, 0.0)
        stats[26][0] = (INF, 1.0)
        path = work.write('frames%d.hmv' % eyes, movies.movie(W, H, stats, eyes=eyes))
        for radius in (None, 0, 1, 3, 100):
            args = ['-frames'] + (['-R', radius] if radius is not None else []) + [path]
            status, out, err = run(*args)
            what = '%d eyes, R %s' % (eyes, radius)
            check(status == 1, '%s: status %d' % (what, status), err)
            check(not out.startswith('Movie:') and 'Movie: %s' % path in lines(err),
                  '%s: the summary goes to stderr' % what, out[:200], err)
            check_table(table(out), expected_rows(stats, eyes, 6 if radius is None else radius), what)
        # The cuts of the scene are where the look-ahead jumps: frame 12 and 27.
        starts = movies.segment_starts([f[0] for f in stats])
        check([k for k, s in enumerate(starts) if s] == [0, 12, 27], 'cuts of the scene', starts)
    # Output that cannot be written: status 2.
    if os.path.exists('/dev/full'):
        with open('/dev/full', 'w') as full:
            r = subprocess.run([HALVINFO, '-frames', path], stdout=full, stderr=subprocess.PIPE, timeout=60)
        check(r.returncode == 2 and b'Failed to write the table' in r.stderr, 'table to /dev/full',
              r.returncode, r.stderr)


@case
def case_plot(work):
    stats = scene(40, 2)
    stats[30][0] = (NAN, NAN)
    path = work.write('plot.hmv', movies.movie(W, H, stats, eyes=2))
    svg = os.path.join(work.path, 'out & <plot>.svg')
    status, out, err = run('-plot', svg, path)
    check(status == 1, 'status %d' % status, out, err)
    check(os.listdir(work.path).count('out & <plot>.svg') == 1, 'plot written', os.listdir(work.path))
    root = ET.parse(svg).getroot()
    check(root.tag == SVG + 'svg', 'root element %s' % root.tag)
    paths = {p.get('id'): p for p in root.iter(SVG + 'path')}
    rows = expected_rows(stats, 2)
    names = ('maxLum', 'logAv', 'adapted_causal', 'adapted_lookahead', 'peak_lookahead')
    for eye in (0, 1):
        values = [r for r in rows if r[1] == eye]
        for i, name in enumerate(names):
            p = paths.get('%s-eye%d' % (name, eye))
            check(p is not None, 'curve %s of eye %d' % (name, eye), sorted(paths))
            d = p.get('d').split()
            points = [t for t in d if t[0] in 'ML']
            drawable = [v[2 + i] for v in values if math.isfinite(v[2 + i]) and v[2 + i] > 0]
            check(len(points) == len(drawable), '%s eye %d: %d points for %d values'
                  % (name, eye, len(points), len(drawable)))
            # The points go left to right and up with the value (log axis).
            xs = [float(t[1:]) for t in points]
            ys = [float(y) for y in d[1::2]]
            check(xs == sorted(xs), '%s eye %d: x increasing' % (name, eye))
            order = sorted(range(len(drawable)), key=lambda j: drawable[j])
            check(all(ys[order[j]] >= ys[order[j + 1]] - 1e-9 for j in range(len(order) - 1)),
                  '%s eye %d: higher values drawn higher' % (name, eye))
        # A NaN record breaks the curves of the left eye.
        if eye == 0:
            check(sum(1 for t in paths['logAv-eye0'].get('d').split() if t.startswith('M')) == 2,
                  'logAv of eye 0 broken at frame 30')
        group = root.find('.//%sg[@id="cuts-eye%d"]' % (SVG, eye))
        check(group is not None, 'cut marks of eye %d' % eye)
        cuts = [int(l.get('data-frame')) for l in group if l.get('class') == 'cut']
        starts = movies.segment_starts([f[eye] for f in stats])
        check(cuts == [k for k, s in enumerate(starts) if s and k > 0], 'cuts of eye %d: %s' % (eye, cuts))
    title = root.find(SVG + 'title').text
    check(path in title, 'title names the movie', title)
    # The layout: the panels' labels clear of the legend (12-pixel text),
    # logAv dashed and drawn over the adapted lines, the last panel's axis
    # at the picture's bottom edge.
    legend_y = max(float(t.get('y')) for t in root.find('%sg[@id="legend"]' % SVG).iter(SVG + 'text'))
    labels = [float(t.get('y')) for t in root.iter(SVG + 'text') if t.get('class') == 'label']
    check(len(labels) == 2 and min(labels) >= legend_y + 14, 'labels clear of the legend', legend_y, labels)
    order = [p.get('id') for p in root.iter(SVG + 'path')]
    for eye in (0, 1):
        log_av = paths['logAv-eye%d' % eye]
        check(log_av.get('stroke') == '#1f77b4' and log_av.get('stroke-dasharray'), 'logAv dashed, in blue')
        check(all(order.index('logAv-eye%d' % eye) > order.index('%s-eye%d' % (n, eye))
                  for n in ('adapted_causal', 'adapted_lookahead')), 'logAv drawn last', order)
    lowest = max(float(t.get('y')) for t in root.iter(SVG + 'text'))
    check(float(root.get('height')) - lowest <= 20, 'the plot fills the picture', root.get('height'), lowest)
    # Written whole or not at all: into a directory that does not exist.
    missing = os.path.join(work.path, 'no-such-dir', 'p.svg')
    status, out, err = run('-plot', missing, path)
    check(status == 2 and 'Failed to write the plot' in err, 'plot into a missing directory', status, err)
    check(not os.path.exists(os.path.dirname(missing)), 'nothing made')
    leftovers = [n for n in os.listdir(work.path) if '.svg.' in n]
    check(not leftovers, 'temporary files left', leftovers)


def main(argv):
    global HALVINFO
    if argv[:1] == ['--list']:
        print('\n'.join(CASES))
        return 0
    if len(argv) < 3 or argv[0] != '--halvinfo':
        print(__doc__)
        return 2
    HALVINFO = os.path.abspath(argv[1])
    failed = 0
    for name in argv[2:]:
        work = Work()
        try:
            CASES[name](work)
            print('PASS %s' % name, flush=True)
            shutil.rmtree(work.path, ignore_errors=True)
        except Failure as e:
            failed += 1
            print('FAIL %s: %s\nwork files kept in %s' % (name, e, work.path), flush=True)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
