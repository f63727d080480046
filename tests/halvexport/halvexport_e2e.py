#!/usr/bin/env python3
"""End-to-end tests of halvexport, and of the player's screenshot key.

Usage: halvexport_e2e.py --halvexport PATH --png-samples PATH [--halvview PATH] [--halvpack PATH] CASE...
Each case writes its own movies, runs the real halvexport and reads what it
wrote with independent readers: stb_image (through png_samples) for PNG
files, ffmpeg and ffprobe for the PPM stream, and the player's own window
on Xvfb; the HDR10 cases make their movie with halvpack -s and bring the
video back through halvpack -s -pq. Expected samples are worked out here from the picture data. A case
whose tools are missing prints why and exits with 77, CTest's skip code.
Python 3 standard library only.
"""
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'lib'))
sys.path.insert(0, os.path.join(HERE, '..', 'player'))

import xharness  # noqa: E402
from xharness import Failure, Player, Workdir, XServer, check, log, missing_tools, wait_for  # noqa: E402
from halvfiles import f32, movie_header, movie_record, rgbe_to_float, write_file, write_movie  # noqa: E402
from expected import pattern, player_decode, tonemap_expected, Adaptation  # noqa: E402

HALVEXPORT = None
PNG_SAMPLES = None
HALVPACK = None
SKIPPED = 77
W, H = 48, 36  # multiples of 3: the tone mapper's blocks tile the picture

CASES = {}
X_TOOLS = xharness.TOOLS


def case(name, tools=()):
    def register(fn):
        CASES[name] = (fn, tools)
        return fn
    return register


# --------------------------------------------------------------------------
# Running the program and reading what it wrote.

def export(args, cwd=None, stdout=subprocess.PIPE, timeout=120):
    return subprocess.run([HALVEXPORT] + [str(a) for a in args], cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)


def run_ok(args, **kw):
    r = export(args, **kw)
    check(r.returncode == 0, 'halvexport %s: status %d, stderr %r' % (' '.join(map(str, args)), r.returncode,
                                                                     r.stderr.decode(errors='replace')))
    return r


def read_png(path):
    """(width, height, bits, samples) of a PNG as stb_image reads it; the
    samples top row first, 16-bit ones most significant byte first."""
    r = subprocess.run([PNG_SAMPLES, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    check(r.returncode == 0, 'stb_image cannot read %s: %s' % (path, r.stderr.decode(errors='replace')))
    line, _, data = r.stdout.partition(b'\n')
    w, h, channels, bits = map(int, line.split())
    check(channels == 3, '%s: %d channels' % (path, channels))
    check(len(data) == w * h * 3 * bits // 8, '%s: %d bytes of samples' % (path, len(data)))
    return w, h, bits, data


def ppm_stream(data):
    """The pictures of a stream of binary PPM pictures: (width, height,
    maxval, samples) each."""
    pictures, pos = [], 0
    while pos < len(data):
        fields = []
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        check(fields[0] == b'P6', 'not a P6 picture at byte %d: %r' % (start, fields[0]))
        w, h, maxval = int(fields[1]), int(fields[2]), int(fields[3])
        pos += 1
        size = w * h * 3 * (2 if maxval > 255 else 1)
        pictures.append((w, h, maxval, data[pos:pos + size]))
        check(len(data) - pos >= size, 'the stream ends inside a picture')
        pos += size
    return pictures


def files(folder):
    return sorted(os.listdir(folder))


# --------------------------------------------------------------------------
# The samples expected, worked out here from the pictures (bottom row first,
# RGBE pixels).

def level(v, gamma, depth):
    """A float component as the export writes it: clamped to [0, 1], then
    round((2^d - 1) v^(1/G)) with ties to even; at gamma 1 and 8 bits the
    player's upload, round(255 v) with the product in single precision."""
    top = 255 if depth == 8 else 65535
    if not v > 0.0:
        return 0
    if v >= 1.0:
        return top
    if gamma == 1.0 and depth == 8:
        return round(f32(v * 255.0))
    return min(top, round(top * v ** (1.0 / gamma)))


def component(p, c):
    """The float the player decodes for a component (1e-6 for a pixel
    whose exponent byte is 0)."""
    return f32(player_decode(p)[c])


def expected_plain(pixels, width, height, exposure=0.0, gamma=2.2, depth=8):
    """The samples of a picture on the plain path (colours times 2^exposure,
    in double, rounded to float), top row first."""
    factor = 1.0 if exposure == 0 else 2.0 ** f32(exposure)
    out = bytearray()
    for y in reversed(range(height)):
        for p in pixels[y * width:(y + 1) * width]:
            for c in range(3):
                v = component(p, c)
                if exposure != 0:
                    v = f32(factor * v)
                s = level(v, gamma, depth)
                out += bytes((s,)) if depth == 8 else bytes((s >> 8, s & 255))
    return bytes(out)


def side_by_side(left, right, width, height, bytes_per_pixel=3):
    row = width * bytes_per_pixel
    return b''.join(left[y * row:(y + 1) * row] + right[y * row:(y + 1) * row] for y in range(height))


def top_first(rows_bottom_first, width, height):
    """Tuples of 8-bit RGB, bottom row first, as samples top row first."""
    return bytes(c for y in reversed(range(height)) for px in rows_bottom_first[y * width:(y + 1) * width]
                 for c in px)


def worst(a, b):
    return max((abs(x - y) for x, y in zip(a, b)), default=0) if len(a) == len(b) else 999


def special_picture(k):
    """pattern() with pixels the plain path must handle: an exponent byte
    of 0 (1e-6), zero mantissas, a component at exactly 1 and one above."""
    pic = list(pattern(W, H, k))
    pic[0] = (0, 0, 0, 0)
    pic[1] = (0, 5, 9, 130)
    pic[2] = (128, 64, 255, 129)  # red exactly 1.0
    pic[3] = (200, 10, 1, 131)
    return pic


def simple_movie(work, name, count=4, eyes=1, width=W, height=H, **kw):
    frames = [[pattern(width, height, k + 4 * e) for e in range(eyes)] for k in range(count)]
    return write_movie(work.file(name), width, height, frames, eyes=eyes, **kw), frames


def uniform_movie(work, name, count, width, height, cut=0):
    """A movie of `count` equal-coloured pictures, written fast."""
    path = work.file(name)
    with open(path, 'wb') as f:
        f.write(movie_header(width, height, count))
        for k in range(count):
            px = bytes((60 + 10 * (k % 10), 120, 200 - 5 * (k % 20), 128))
            f.write(movie_record([tuple(px)])[:16] + px * (width * height))
    if cut:
        os.truncate(path, os.path.getsize(path) - cut)
    return path


# --------------------------------------------------------------------------
# Cases without a display.

USAGE_START = 'Usage: halvexport [options] movie output\n'


@case('usage')
def test_usage(work):
    movie, _ = simple_movie(work, 'm.hmv', 2)
    out = work.file('f_%d.png')
    r = export([])
    check(r.returncode == 255 and r.stderr.decode().startswith(USAGE_START), 'no argument: %r' % r.stderr)
    r = export([movie])
    check(r.returncode == 255 and r.stderr.decode().startswith(USAGE_START), 'one argument: %r' % r.stderr)
    r = export(['-h', movie, out])
    check(r.returncode == 255 and r.stderr.decode().startswith(USAGE_START) and r.stderr.decode().endswith(
        '  the output is left out: halvexport -pq PEAK -n movie\n'), '-h: %r' % r.stderr)
    usage = r.stderr
    # -h in the movie's or the output's place is the usage alone too.
    for args in (['-h'], ['-h', out], [movie, '-h'], ['-q', '-h'], ['-t', '-h', out], ['-j', '2', '-h', out]):
        r = export(args)
        check(r.returncode == 255 and r.stderr == usage and r.stdout == b'', '%s: %d %r' % (args, r.returncode, r.stderr))
    bad = [
        (['-x'], 'Unknown option or missing value: -x'),
        (['-exposure', 'abc'], 'Exposure must be a number of stops [-exposure]'),
        (['-exposure', 'nan'], 'Exposure must be a number of stops [-exposure]'),
        (['-exposure', '1e40'], 'Exposure must be a number of stops [-exposure]'),
        (['-bias', '0.5'], 'Bias must be a number from 0.71 to 0.99 [-bias]'),
        (['-bias', '0.995'], 'Bias must be a number from 0.71 to 0.99 [-bias]'),
        (['-R', '-1'], 'Look-ahead radius must be a whole number of frames, 0 or more [-R]'),
        (['-R', '2.5'], 'Look-ahead radius must be a whole number of frames, 0 or more [-R]'),
        (['-first', '-1'], 'Frame numbers must be whole numbers, 0 or more [-first]'),
        (['-last', 'x'], 'Frame numbers must be whole numbers, 0 or more [-last]'),
        (['-first', '99999999999'], 'Frame numbers must be whole numbers, 0 or more [-first]'),
        (['-first', '3', '-last', '2'], 'The first frame (3) lies after the last (2) [-first, -last]'),
        (['-first', '2'], "The first frame (2) lies after the movie's last (1) [-first]"),
        (['-gamma', '0'], 'Gamma must be a number from 0.1 to 10 [-gamma]'),
        (['-gamma', '11'], 'Gamma must be a number from 0.1 to 10 [-gamma]'),
        (['-depth', '12'], 'Depth must be 8 or 16 [-depth]'),
        (['-eye', 'up'], 'Eye must be both, left or right [-eye]'),
        (['-j', '0'], 'Thread count must be a whole number from 1 to 1024 [-j]'),
        (['-j', '1025'], 'Thread count must be a whole number from 1 to 1024 [-j]'),
        (['-gamma'], 'Unknown option or missing value: -gamma'),  # its value would be the movie
    ]
    for args, message in bad:
        r = export(args + [movie, out])
        err = r.stderr.decode()
        check(r.returncode == 255, '%s: status %d' % (args, r.returncode))
        check(err.startswith(message + '\n' + USAGE_START), '%s: stderr %r' % (args, err[:300]))
    # Patterns with no integer field, with two, or with another conversion.
    for pattern_text, part in (('f.png', 'has no frame-number field'), ('f_%d_%d.png', 'more than one'),
                               ('f_%s.png', 'that is not a frame number'), ('f_%ld.png', 'not a frame number'),
                               ('100%.png', 'not a frame number')):
        r = export([movie, work.file(pattern_text)])
        err = r.stderr.decode()
        check(r.returncode == 255 and part in err.split('\n')[0] and pattern_text in err,
              'pattern %s: status %d, %r' % (pattern_text, r.returncode, err[:200]))
    check(files(work.path) == ['bin', 'm.hmv'], 'usage errors wrote files: %s' % files(work.path))


@case('header')
def test_header(work):
    out = work.file('f_%d.png')

    def header_file(name, width, height, nframes, fmt=48, order='<', tail=b''):
        return write_file(work.file(name), movie_header(width, height, nframes, 1, fmt, order) + tail)

    missing = work.file('absent.hmv')
    fifo = work.file('fifo.hmv')
    os.mkfifo(fifo)
    cases = [
        ([missing], 'Failed to open movie file "%s"\n' % missing),
        ([work.path], 'Failed to open movie file "%s"\n' % work.path),  # a folder is no movie
        ([fifo], 'Failed to open movie file "%s"\n' % fifo),  # nor a FIFO, which is not waited on
        ([write_file(work.file('short.hmv'), movie_header(W, H, 1)[:11])], 'Failed to read the header\n'),
        ([header_file('w15.hmv', 15, 20, 1)], 'Movie width out of range (or bad header)\n'),
        ([header_file('h32000.hmv', 20, 32000, 1)], 'Movie height out of range (or bad header)\n'),
        ([header_file('n0.hmv', 20, 20, 0)], 'No frames found, bad header\n'),
        ([header_file('f47.hmv', 20, 20, 1, 47)], 'Movie format should be 48, bad header\n'),
        # A movie of the other byte order: the player's message, then the
        # hint, where the file holds a frame of the size the other order
        # reads (and only there: 15 reads as 3840 the other way).
        ([header_file('be.hmv', 720, 486, 1, order='>', tail=bytes(16 + 4 * 720 * 486))],
         'Movie width out of range (or bad header)\nThe header is valid in the other byte order: export with -b\n'),
        (['-b', header_file('le.hmv', 720, 486, 1, tail=bytes(16 + 4 * 720 * 486))],
         'Movie width out of range (or bad header)\n'
         'The header is valid in the other byte order: export without -b\n'),
        ([header_file('be_short.hmv', 720, 486, 1, order='>')], 'Movie width out of range (or bad header)\n'),
    ]
    for args, message in cases:
        r = export(args + [out])
        check(r.returncode == 255 and r.stderr.decode() == message,
              '%s: status %d, stderr %r, expected %r' % (args, r.returncode, r.stderr.decode(), message))
    # -b reads a movie of the other byte order: the same pictures.
    frames = [[special_picture(k)] for k in range(2)]
    le = write_movie(work.file('pics.hmv'), W, H, frames)
    be = write_movie(work.file('pics_be.hmv'), W, H, frames, order='>')
    run_ok(['-t', le, work.file('le_%d.png')])
    run_ok(['-t', '-b', be, work.file('be_%d.png')])
    for k in range(2):
        check(read_png(work.file('le_%d.png' % k)) == read_png(work.file('be_%d.png' % k)),
              'frame %d of the byte-swapped movie differs' % k)
    check(not [n for n in files(work.path) if n.startswith('f_')], 'a failed start wrote files')


@case('samples')
def test_samples(work):
    frames = [[special_picture(k)] for k in range(3)]
    movie = write_movie(work.file('m.hmv'), W, H, frames)
    # Each setting, and the samples worked out here for frame 1.
    settings = [
        ([], dict()),                                                  # gamma 2.2, 8 bits
        (['-depth', '16'], dict(depth=16)),                            # gamma 2.2, 16 bits
        (['-depth', '16', '-gamma', '1', '-exposure', '-2.5'], dict(depth=16, gamma=1.0, exposure=-2.5)),
        (['-gamma', '1', '-exposure', '0.3'], dict(gamma=1.0, exposure=0.3)),
        (['-gamma', '1.8', '-exposure', '1'], dict(gamma=1.8, exposure=1.0)),
        (['-gamma', '0.5', '-depth', '16', '-exposure', '-4'], dict(gamma=0.5, depth=16, exposure=-4.0)),
    ]
    for n, (args, kw) in enumerate(settings):
        name = work.file('s%d_%%d.png' % n)
        run_ok(args + ['-first', '1', '-last', '1', movie, name])
        w, h, bits, data = read_png(name % 1)
        want = expected_plain(frames[1][0], W, H, **kw)
        check((w, h, bits) == (W, H, kw.get('depth', 8)), '%s: %d x %d, %d bits' % (args, w, h, bits))
        check(data == want, '%s: samples differ from the definition (largest difference %d)'
              % (args, worst(data, want)))
        # The PPM stream holds the same samples.
        r = run_ok(args + ['-first', '1', '-last', '1', movie, '-'])
        pictures = ppm_stream(r.stdout)
        check(len(pictures) == 1 and pictures[0] == (W, H, 255 if bits == 8 else 65535, want),
              '%s: the PPM stream differs' % args)
    # Tone mapped at gamma 1: the player's tone mapping worked out here
    # (within one step, as in the player's own tests).
    run_ok(['-t', '-gamma', '1', movie, work.file('t_%d.png')])
    adaptation = Adaptation()
    for k in range(3):
        want = top_first(tonemap_expected(frames[k][0], W, H, adaptation), W, H)
        _, _, _, data = read_png(work.file('t_%d.png' % k))
        check(worst(data, want) <= 1, 'tone-mapped frame %d: largest difference %d' % (k, worst(data, want)))


@case('range')
def test_range(work):
    movie, frames = simple_movie(work, 'm.hmv', 6)
    want = [expected_plain(f[0], W, H) for f in frames]
    out = os.path.join(work.path, 'out')
    os.mkdir(out)

    def exported(args, names):
        for n in files(out):
            os.unlink(os.path.join(out, n))
        run_ok(args + [movie, os.path.join(out, 'frame_%05d.png')])
        check(files(out) == ['frame_%05d.png' % k for k in names], '%s: wrote %s' % (args, files(out)))
        for k in names:
            data = read_png(os.path.join(out, 'frame_%05d.png' % k))[3]
            check(data == want[k], '%s: frame %d is not picture %d' % (args, k, k))

    exported(['-first', '2', '-last', '4'], [2, 3, 4])
    exported(['-first', '4'], [4, 5])
    exported(['-last', '1'], [0, 1])
    exported(['-last', '99'], list(range(6)))  # past the end: the last frame
    exported(['-first', '5', '-last', '5'], [5])
    # An existing file of the same name is replaced.
    write_file(os.path.join(out, 'frame_00003.png'), b'old')
    run_ok(['-first', '3', '-last', '3', movie, os.path.join(out, 'frame_%05d.png')])
    check(read_png(os.path.join(out, 'frame_00003.png'))[3] == want[3], 'frame 3 not replaced')
    # The field takes any printf integer form, and %% a percent sign.
    run_ok(['-first', '2', '-last', '3', movie, os.path.join(out, '%%%-4ix.png')])
    check(os.path.exists(os.path.join(out, '%2   x.png')) and os.path.exists(os.path.join(out, '%3   x.png')),
          'pattern %%%%%%-4ix: %s' % files(out))
    # The stream: just the frames asked for.
    r = run_ok(['-first', '1', '-last', '3', movie, '-'])
    pictures = ppm_stream(r.stdout)
    check([p[3] for p in pictures] == want[1:4], 'the stream of frames 1 to 3')


@case('far')
def test_far(work):
    """Frames far into a long movie: the adaptation before -first reads
    the statistics, 16 bytes a frame, not the pixels. The movie is a sparse
    file of 20000 frames of 1920 x 1080 (166 GB): reading their pixels would
    take many seconds, the statistics a fraction of one."""
    width, height, count = 1920, 1080, 20000
    record = 16 + 4 * width * height
    path = work.file('long.hmv')
    try:
        with open(path, 'wb') as f:
            f.write(movie_header(width, height, count))
            for k in range(count):
                f.seek(12 + k * record)
                f.write(struct.pack('<dd', 10.0 + k % 7, 0.5 + 0.01 * (k % 5)))
            f.truncate(12 + count * record)
    except OSError as e:
        log('no sparse file of 166 GB here (%s): not checked' % e)
        return
    for args in (['-t'], ['-t', '-A']):
        start = time.monotonic()
        r = run_ok(args + ['-first', str(count - 2), path, '-'])
        seconds = time.monotonic() - start
        log('%s: frames %d and %d in %.2f s' % (' '.join(args), count - 2, count - 1, seconds))
        check(len(ppm_stream(r.stdout)) == 2, '%s: %d pictures' % (args, len(ppm_stream(r.stdout))))
        check(seconds < 5, '%s: %.1f s for two frames: the pixels before -first were read?' % (args, seconds))


@case('eyes')
def test_eyes(work):
    movie, frames = simple_movie(work, 'pair.hmv', 3, eyes=2)
    left = [expected_plain(f[0], W, H) for f in frames]
    right = [expected_plain(f[1], W, H) for f in frames]
    for args, width, want in ((['-eye', 'both'], 2 * W, [side_by_side(l, r, W, H) for l, r in zip(left, right)]),
                              ([], 2 * W, [side_by_side(l, r, W, H) for l, r in zip(left, right)]),
                              (['-eye', 'left'], W, left), (['-eye', 'right'], W, right)):
        name = work.file('e%s_%%d.png' % (args[1] if args else 'default'))
        run_ok(args + [movie, name])
        for k in range(3):
            w, h, _, data = read_png(name % k)
            check((w, h) == (width, H) and data == want[k], '%s: frame %d (%d x %d)' % (args, k, w, h))
        r = run_ok(args + [movie, '-'])
        check([p[3] for p in ppm_stream(r.stdout)] == want and ppm_stream(r.stdout)[0][0] == width,
              '%s: the stream' % args)
    # One eye: -eye is ignored.
    mono, mframes = simple_movie(work, 'mono.hmv', 2)
    run_ok(['-eye', 'right', mono, work.file('mono_%d.png')])
    check(read_png(work.file('mono_1.png'))[3] == expected_plain(mframes[1][0], W, H), '-eye right, one eye')


@case('truncated')
def test_truncated(work):
    frames = [[pattern(W, H, k)] for k in range(6)]
    full = write_movie(work.file('full.hmv'), W, H, frames)
    cut = write_movie(work.file('cut.hmv'), W, H, frames, cut=100)  # frame 5 lacks 100 bytes
    for args in ([], ['-t'], ['-t', '-j', '1'], ['-first', '3']):
        for folder in ('full', 'cut'):
            path = work.file('%s%d' % (folder, len(args)))
            os.makedirs(path, exist_ok=True)
        run_ok(args + [full, os.path.join(work.file('full%d' % len(args)), 'f_%d.png')])
        out = work.file('cut%d' % len(args))
        r = export(args + [cut, os.path.join(out, 'f_%d.png')])
        err = r.stderr.decode()
        first = 3 if '-first' in args else 0
        check(r.returncode == 1, '%s: status %d' % (args, r.returncode))
        check(err == 'Frame 5 is not in the movie: the file holds 5 complete frames of the 6 its header '
                     'announces (a truncated file)\nStopped: frames %d to 4 were written\n' % first,
              '%s: stderr %r' % (args, err))
        check(files(out) == ['f_%d.png' % k for k in range(first, 5)], '%s: wrote %s' % (args, files(out)))
        for k in range(first, 5):
            check(read_png(os.path.join(out, 'f_%d.png' % k)) ==
                  read_png(os.path.join(work.file('full%d' % len(args)), 'f_%d.png' % k)),
                  '%s: frame %d differs from the whole movie\'s' % (args, k))
    # A cut after -last is no failure; the stream stops at the cut likewise.
    r = export(['-last', '4', cut, work.file('ok_%d.png')])
    check(r.returncode == 0 and r.stderr == b'', '-last 4: status %d, %r' % (r.returncode, r.stderr))
    r = export([cut, '-'])
    check(r.returncode == 1 and len(ppm_stream(r.stdout)) == 5, 'stream of a cut movie: status %d, %d pictures'
          % (r.returncode, len(ppm_stream(r.stdout))))


@case('pipe')
def test_pipe(work):
    movie = uniform_movie(work, 'big.hmv', 12, 720, 486)
    # The reader goes away after a few bytes.
    p = subprocess.Popen([HALVEXPORT, movie, '-'], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    head = p.stdout.read(1000)
    p.stdout.close()
    err = p.stderr.read().decode()
    status = p.wait(60)
    check(head.startswith(b'P6\n720 486\n255\n'), 'stream starts %r' % head[:20])
    check(status == 1, 'closed pipe: status %s' % status)
    lines = err.splitlines()
    check(len(lines) == 2 and lines[0].startswith('Failed to write the PPM stream to the standard output (frame ')
          and lines[0].endswith('): Broken pipe') and lines[1].startswith('Stopped: '), 'closed pipe: %r' % err)
    # A full device.
    with open('/dev/full', 'wb') as full:
        r = export([movie, '-'], stdout=full)
    check(r.returncode == 1 and r.stderr.decode().startswith(
        'Failed to write the PPM stream to the standard output (frame 0): No space left on device\n'
        'Stopped: no frame was written'), '/dev/full: status %d, %r' % (r.returncode, r.stderr))
    # No standard output at all.
    r = subprocess.run([HALVEXPORT, movie, '-'], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(1), timeout=60)
    check(r.returncode == 1 and b'Bad file descriptor' in r.stderr, 'closed stdout: %d %r' % (r.returncode,
                                                                                          r.stderr))


def unwritable_folder(work):
    """A folder this process cannot create files in: one without write
    permission, or (for root, whom permissions do not stop) /sys."""
    folder = work.file('readonly')
    os.mkdir(folder)
    os.chmod(folder, 0o555)
    for candidate in (folder, '/sys'):
        probe = os.path.join(candidate, '.probe')
        try:
            os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            os.unlink(probe)
        except OSError as e:
            return candidate, os.strerror(e.errno)
    return None, None


@case('unwritable')
def test_unwritable(work):
    movie, _ = simple_movie(work, 'm.hmv', 3)
    write_file(work.file('plain'), b'x')
    cases = [(work.file('absent'), 'No such file or directory'), (work.file('plain'), 'Not a directory')]
    folder, reason = unwritable_folder(work)
    if folder:
        cases.append((folder, reason))
    else:
        log('no unwritable folder found here: that part is not checked')
    for target, reason in cases:
        before = set(os.listdir(target)) if os.path.isdir(target) else None
        name = os.path.join(target, 'f_%03d.png')
        r = export([movie, name])
        check(r.returncode == 1, '%s: status %d' % (target, r.returncode))
        check(r.stderr.decode() == 'Failed to write "%s" (frame 0): %s\nStopped: no frame was written\n'
              % (name % 0, reason), '%s: stderr %r' % (target, r.stderr))
        if before is not None:
            check(set(os.listdir(target)) == before, '%s: files left %s' % (target, os.listdir(target)))
    os.chmod(work.file('readonly'), 0o755)


@case('progress')
def test_progress(work):
    movie, _ = simple_movie(work, 'm.hmv', 5)

    def on_terminal(args, stdout_too=False):
        master, slave = pty.openpty()
        out = slave if stdout_too else subprocess.DEVNULL
        p = subprocess.Popen([HALVEXPORT] + args, stdin=subprocess.DEVNULL, stdout=out, stderr=slave)
        os.close(slave)
        text = b''
        while True:
            ready = select.select([master], [], [], 30)[0]
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            text += chunk
        os.close(master)
        return p.wait(30), text.decode(errors='replace')

    status, text = on_terminal([movie, work.file('t_%d.png')])
    check(status == 0, 'on a terminal: status %d, %r' % (status, text))
    lines = [part for part in text.replace('\r\n', '\n').split('\r') if part.strip()]
    check(lines and lines[-1].startswith('Frame 5 of 5 (100%), ') and ' frames/s, 0:00 left' in lines[-1],
          'progress line %r' % text)
    check(all(part.startswith('Frame ') for part in lines), 'progress output %r' % text)
    status, text = on_terminal(['-q', movie, work.file('q_%d.png')])
    check(status == 0 and text == '', '-q on a terminal: %d %r' % (status, text))
    r = export([movie, work.file('n_%d.png')])
    check(r.returncode == 0 and r.stderr == b'', 'not a terminal: %r' % r.stderr)
    # A binary stream is not written to a terminal.
    status, text = on_terminal([movie, '-'], stdout_too=True)
    check(status == 255 and text.startswith('The PPM stream is binary'), 'stream to a terminal: %d %r'
          % (status, text[:100]))


@case('interrupt')
def test_interrupt(work):
    total = 100
    movie = uniform_movie(work, 'big.hmv', total, 480, 324)
    whole, part = work.file('whole'), work.file('part')
    os.mkdir(whole)
    os.mkdir(part)
    run_ok(['-t', movie, os.path.join(whole, 'f_%03d.png')])
    for sig in (signal.SIGTERM, signal.SIGINT):
        for n in files(part):
            os.unlink(os.path.join(part, n))
        p = subprocess.Popen([HALVEXPORT, '-t', '-j', '1', movie, os.path.join(part, 'f_%03d.png')],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        check(wait_for(lambda: os.path.exists(os.path.join(part, 'f_002.png')), 30, 0.005),
              'no frame written')
        p.send_signal(sig)
        err = p.stderr.read().decode()
        status = p.wait(30)
        names = files(part)
        log('%s after %d frames' % (signal.Signals(sig).name, len(names)))
        check(status == -sig, 'status %s after %s' % (status, sig))
        check(err.startswith('Interrupted\nStopped: frames 0 to '), 'stderr %r' % err)
        check(len(names) < total and names == ['f_%03d.png' % k for k in range(len(names))],
              'after %s: %s' % (sig, names))
        check(err.endswith('frames 0 to %d were written\n' % (len(names) - 1)), 'stderr %r, files %s'
              % (err, names))
        for n in names:
            check(read_png(os.path.join(part, n)) == read_png(os.path.join(whole, n)), '%s differs' % n)


@case('threads')
def test_threads(work):
    movie, _ = simple_movie(work, 'pair.hmv', 7, eyes=2)
    outputs = []
    for j in ('1', '2', '7'):
        for args in (['-t'], ['-t', '-A', '-R', '2', '-first', '2'], ['-exposure', '1.5', '-depth', '16']):
            name = work.file('j%s_%s_%%d.png' % (j, len(args)))
            run_ok(['-j', j] + args + [movie, name])
            outputs.append((j, tuple(args), [open(name % k, 'rb').read() for k in range(2, 7)]))
    for j, args, data in outputs:
        first = [d for jj, a, d in outputs if a == args][0]
        check(data == first, '-j %s %s: files differ from -j 1' % (j, ' '.join(args)))


@case('ffmpeg', tools=('ffmpeg', 'ffprobe'))
def test_ffmpeg(work):
    movie, frames = simple_movie(work, 'm.hmv', 10)
    count = len(frames)

    def probe(path):
        r = subprocess.run(['ffprobe', '-v', 'error', '-count_frames', '-select_streams', 'v:0', '-show_entries',
                            'stream=nb_read_frames,width,height', '-of', 'default=noprint_wrappers=1', path],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        check(r.returncode == 0, 'ffprobe %s: %s' % (path, r.stderr.decode(errors='replace')))
        return dict(line.split('=', 1) for line in r.stdout.decode().split())

    def pipe_into_ffmpeg(args, ffmpeg_args, out):
        exporter = subprocess.Popen([HALVEXPORT] + args + [movie, '-'], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ff = subprocess.run(['ffmpeg', '-v', 'error', '-y'] + ffmpeg_args + [out], stdin=exporter.stdout,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        exporter.stdout.close()
        err = exporter.stderr.read()
        check(exporter.wait(60) == 0, 'halvexport: %r' % err)
        check(ff.returncode == 0, 'ffmpeg: %s' % ff.stderr.decode(errors='replace'))

    # The line of the manual, as it stands.
    mp4 = work.file('out.mp4')
    pipe_into_ffmpeg(['-t'], ['-f', 'image2pipe', '-c:v', 'ppm', '-framerate', '24', '-i', '-'], mp4)
    info = probe(mp4)
    check(info.get('nb_read_frames') == str(count) and info.get('width') == str(W),
          'out.mp4: %s' % info)
    # Losslessly, at both depths: the frames read back as they were sent.
    for depth, pix_fmt, size in (('8', 'rgb24', 1), ('16', 'rgb48be', 2)):
        mkv = work.file('out%s.mkv' % depth)
        pipe_into_ffmpeg(['-depth', depth], ['-f', 'image2pipe', '-c:v', 'ppm', '-framerate', '24', '-i', '-',
                                             '-c:v', 'ffv1'], mkv)
        check(probe(mkv).get('nb_read_frames') == str(count), 'out%s.mkv: %s' % (depth, probe(mkv)))
        r = subprocess.run(['ffmpeg', '-v', 'error', '-i', mkv, '-f', 'rawvideo', '-pix_fmt', pix_fmt, '-'],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        check(r.returncode == 0, 'ffmpeg decoding: %s' % r.stderr.decode(errors='replace'))
        picture = W * H * 3 * size
        check(len(r.stdout) == count * picture, 'decoded %d bytes' % len(r.stdout))
        for k in range(count):
            want = expected_plain(frames[k][0], W, H, depth=int(depth))
            check(r.stdout[k * picture:(k + 1) * picture] == want, '%s bits: frame %d differs' % (depth, k))


# --------------------------------------------------------------------------
# Cases with the player on Xvfb.

def window_pixels(p):
    shot = p.window_shot()
    return xharness.ppm_pixels(shot) if shot else None


def wait_window_shows(p, want, what):
    last = [None]

    def shows():
        got = window_pixels(p)
        last[0] = got
        return got == want
    check(wait_for(shows, 10), '%s not shown: largest difference %s' % (what, worst(last[0] or b'', want)))


@case('player', tools=X_TOOLS)
def test_player(work):
    """halvexport -gamma 1 against the player's window, frame by frame as
    the player steps from frame 0 with the same settings."""
    mono, _ = simple_movie(work, 'm.hmv', 4)
    pair, _ = simple_movie(work, 'pair.hmv', 3, eyes=2)
    with XServer(work, 320, 120) as xs:
        for movie, args, width, count in ((mono, ['-t'], W, 4), (mono, ['-t', '-A', '-R', '1'], W, 4),
                                          (mono, [], W, 4), (pair, ['-t'], 2 * W, 3)):
            name = work.fresh('x') + '_%d.png'
            run_ok(['-gamma', '1'] + args + [movie, name])
            p = Player(xs, args + [movie])
            try:
                p.wait_window((width, H))
                p.place()
                for k in range(count):
                    if k > 0:
                        p.key('period')
                    wait_window_shows(p, read_png(name % k)[3], '%s frame %d' % (' '.join(args), k))
                log('%s %s: %d frames as the player shows them' % (os.path.basename(movie), ' '.join(args), count))
                if not args:
                    # The exposure: one stop up ('='), then frame 0 read again.
                    run_ok(['-gamma', '1', '-exposure', '1', '-last', '0', movie, name.replace('_%d', 'e_%d')])
                    p.key('equal', '1')
                    wait_window_shows(p, read_png(name.replace('_%d', 'e_%d') % 0)[3], 'exposure +1')
                p.key('q')
                check(p.wait_exit(10) == 0, 'player status')
            finally:
                p.close()


@case('shot', tools=X_TOOLS)
def test_shot(work):
    """The 's' key against halvexport's picture (gamma 2.2) of the frame."""
    mono, _ = simple_movie(work, 'sunset.take.hmv', 3)
    pair, _ = simple_movie(work, 'pair.hmv', 2, eyes=2)
    shots = work.file('shots')
    os.mkdir(shots)
    with XServer(work, 320, 120) as xs:
        run_ok(['-t', '-gamma', '1', mono, work.file('g1_%d.png')])
        run_ok(['-t', mono, work.file('g22_%d.png')])
        # A file of the name the shot of frame 2 would take is kept.
        write_file(os.path.join(shots, 'sunset.take-00002.png'), b'not mine')
        p = Player(xs, ['-t', mono], cwd=shots)
        try:
            p.wait_window((W, H))
            p.place()
            expected_names = []
            # The names each frame's shots take: a second shot of frame 1
            # and the shot of frame 2 (whose first name is taken) go on to
            # "-2".
            for k, names in ((0, ['sunset.take-00000.png']),
                             (1, ['sunset.take-00001.png', 'sunset.take-00001-2.png']),
                             (2, ['sunset.take-00002-2.png'])):
                if k > 0:
                    p.key('period')
                wait_window_shows(p, read_png(work.file('g1_%d.png' % k))[3], 'frame %d' % k)
                for n, name in enumerate(names):
                    p.key('s' if n == 0 else 'S')
                    expected_names.append(name)
                    check(wait_for(lambda: name + '\n' in p.stderr(), 10), 'no %s in %r' % (name, p.stderr()))
                    check(read_png(os.path.join(shots, name)) == read_png(work.file('g22_%d.png' % k)),
                          '%s differs from halvexport\'s frame %d' % (name, k))
            check(p.stderr() == ''.join(n + '\n' for n in expected_names), 'stderr %r' % p.stderr())
            check(open(os.path.join(shots, 'sunset.take-00002.png'), 'rb').read() == b'not mine',
                  'an existing file was overwritten')
            check(files(shots) == sorted(expected_names + ['sunset.take-00002.png']), 'shots %s' % files(shots))
            p.key('q')
            check(p.wait_exit(10) == 0, 'player status')
        finally:
            p.close()
        # A pair: both eyes side by side, as halvexport -eye both writes it.
        run_ok(['-t', pair, work.file('pair_%d.png')])
        run_ok(['-t', '-gamma', '1', pair, work.file('pair1_%d.png')])
        p = Player(xs, ['-t', pair], cwd=shots)
        try:
            p.wait_window((2 * W, H))
            p.place()
            wait_window_shows(p, read_png(work.file('pair1_0.png'))[3], 'pair 0')
            p.key('s')
            check(wait_for(lambda: 'pair-00000.png\n' in p.stderr(), 10), 'no shot of the pair: %r' % p.stderr())
            check(read_png(os.path.join(shots, 'pair-00000.png')) == read_png(work.file('pair_0.png')),
                  'the pair\'s shot differs from halvexport\'s')
            p.key('q')
            check(p.wait_exit(10) == 0, 'player status')
        finally:
            p.close()


# --------------------------------------------------------------------------
# HDR10 out (-pq) and back in (halvpack -s -pq).

HDR_W, HDR_H, HDR_FRAMES = 64, 48, 3


def pq_signal(nits):
    """The PQ curve, written out here from its definition."""
    m1, m2 = 2610 / 16384, 2523 / 4096 * 128
    c1, c2, c3 = 3424 / 4096, 2413 / 4096 * 32, 2392 / 4096 * 32
    y = (max(nits, 0.0) / 10000.0) ** m1
    return ((c1 + c2 * y) / (1 + c3 * y)) ** m2


def run_tool(args, data=None):
    return subprocess.run([str(a) for a in args], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)


def hdr_movie(work):
    """A movie from halvpack -s of PFM pictures from 10^-4 to some 50 (9000
    cd/m2 at 179): a ramp of luminance across, colours down, changing from
    frame to frame."""
    pictures = []
    for k in range(HDR_FRAMES):
        floats = []
        for y in reversed(range(HDR_H)):  # PFM rows bottom first
            for x in range(HDR_W):
                lum, s = 10 ** (-4 + 5.7 * x / (HDR_W - 1)), y / (HDR_H - 1)
                floats += [lum * (0.3 + 0.7 * s), lum * (1 - 0.5 * s),
                           lum * (0.2 + 0.8 * ((x * 7 + y * 3 + k) % 10) / 10)]
        pictures.append(b'PF\n%d %d\n-1.0\n' % (HDR_W, HDR_H) + struct.pack('<%df' % len(floats), *floats))
    path = work.file('scene.hmv')
    r = run_tool([HALVPACK, '-s', '-x', HDR_W, '-y', HDR_H, '-o', path], b''.join(pictures))
    check(r.returncode == 0, 'halvpack -s: %d %r' % (r.returncode, r.stderr[-300:]))
    return path


def levels_line(stderr):
    lines = [ln for ln in stderr.decode().splitlines() if ln.startswith('MaxCLL ')]
    check(len(lines) == 1, 'no light levels line: %r' % stderr)
    f = lines[0].split()
    check(lines[0] == 'MaxCLL %s cd/m2, MaxFALL %s cd/m2' % (f[1], f[4]), 'levels: %r' % lines[0])
    return int(f[1]), int(f[4])


@case('hdr10_options')
def test_hdr10_options(work):
    # What -pq refuses, and the wiring of -n: it prints what a run that
    # writes prints (the levels themselves are the export core's tests).
    movie = hdr_movie(work)
    out = work.file('f_%d.png')
    peak = "The display's peak must be a number of cd/m2 from 1 to 10000 [-pq]"
    refused = [
        (['-pq', '0.5', movie, out], peak), (['-pq', '10001', movie, out], peak), (['-pq', 'nan', movie, out], peak),
        (['-pq', '1000', '-nits', '0', movie, out], 'Nits must be a number of cd/m2 from 0.01 to 10000 [-nits]'),
        (['-nits', '100', movie, out], '-nits and -n go with -pq'), (['-n', movie], '-nits and -n go with -pq'),
        (['-pq', '1000', '-depth', '8', movie, out], 'PQ pictures are 16-bit: -depth 8 cannot go with -pq'),
        (['-pq', '1000', '-gamma', '2.2', movie, out],
         'PQ pictures carry no display gamma: -gamma cannot go with -pq'),
    ]
    for args, message in refused:
        r = export(args)
        err = r.stderr.decode()
        check(r.returncode == 255 and err.startswith(message + '\n' + USAGE_START), '%s: %r' % (args, err[:200]))
    check(files(work.path) == ['bin', 'scene.hmv'], 'refusals wrote files: %s' % files(work.path))
    counted = run_ok(['-q', '-t', '-pq', '1000', '-n', movie])
    written = run_ok(['-q', '-t', '-pq', '1000', movie, '-'])
    check(counted.stdout == b'' and levels_line(counted.stderr) == levels_line(written.stderr),
          '-n: %r, written: %r' % (counted.stderr, written.stderr))


# The round trip's bound, in codes of 10-bit PQ of a pixel's luminance. Y'CbCr
# at 10 bits rounds each of Y', Cb and Cr by up to half a code; back in R'G'B'
# a component carries up to 0.5 (1 + 1.8814) = 1.44 codes of it (blue), and
# the luminance's PQ lies between its components'. The movie's 8-bit
# mantissas add up to 1/256 of the light, at most 0.4 of a code where the
# curve is steepest. So 2 codes.
ROUNDTRIP_CODES = 2.0


@case('hdr10_roundtrip', tools=('ffmpeg', 'ffprobe'))
def test_hdr10_roundtrip(work):
    # A movie through halvexport -pq 10000, x265 at 10 bits 4:4:4 (full
    # range, lossless: what is left is the 10 bits), ffprobe, and back
    # through a 16-bit PPM stream into halvpack -s -pq.
    if b'libx265' not in run_tool(['ffmpeg', '-hide_banner', '-encoders']).stdout:
        raise Failure('ffmpeg without libx265: ./tools/install-deps.sh test installs Debian\'s, which has it')
    movie = hdr_movie(work)
    maxcll, maxfall = levels_line(run_ok(['-q', '-pq', '10000', '-n', movie]).stderr)
    video = work.file('hdr10.mkv')
    encode = run_tool(['ffmpeg', '-y', '-v', 'error', '-f', 'image2pipe', '-c:v', 'ppm', '-framerate', '24', '-i', '-',
                       '-vf', 'scale=out_color_matrix=bt2020:out_range=full:flags=accurate_rnd+full_chroma_int',
                       '-c:v', 'libx265', '-pix_fmt', 'yuv444p10le', '-color_range', 'pc', '-color_primaries',
                       'bt2020', '-color_trc', 'smpte2084', '-colorspace', 'bt2020nc', '-x265-params',
                       'lossless=1:log-level=error:range=full:colorprim=bt2020:transfer=smpte2084:'
                       'colormatrix=bt2020nc:master-display=G(13250,34500)B(7500,3000)R(34000,16000)'
                       'WP(15635,16450)L(100000000,1):max-cll=%d,%d' % (maxcll, maxfall), video],
                      run_ok(['-q', '-pq', '10000', movie, '-']).stdout)
    check(encode.returncode == 0, 'ffmpeg encode: %r' % encode.stderr[-500:])
    probe = run_tool(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-read_intervals', '%+#1', '-show_entries',
                      'frame=color_transfer,color_primaries,color_space:frame_side_data=max_content,max_average',
                      '-of', 'default=noprint_wrappers=1', video])
    got = dict(ln.split('=', 1) for ln in probe.stdout.decode().splitlines() if '=' in ln)
    want = {'color_transfer': 'smpte2084', 'color_primaries': 'bt2020', 'color_space': 'bt2020nc',
            'max_content': str(maxcll), 'max_average': str(maxfall)}
    check(all(got.get(k) == v for k, v in want.items()), 'ffprobe: %r, wanted %r' % (got, want))
    decoded = run_tool(['ffmpeg', '-v', 'error', '-i', video, '-vf',
                        'scale=in_color_matrix=bt2020:in_range=full:flags=accurate_rnd+full_chroma_int',
                        '-f', 'image2pipe', '-c:v', 'ppm', '-pix_fmt', 'rgb48be', '-'])
    back = work.file('back.hmv')
    packed = run_tool([HALVPACK, '-s', '-pq', '-x', HDR_W, '-y', HDR_H, '-o', back], decoded.stdout)
    check(decoded.returncode == 0 and packed.returncode == 0, 'back: %r' % packed.stderr[-500:])
    a, b = (open(path, 'rb').read() for path in (movie, back))
    check(len(a) == len(b), 'movies of %d and %d bytes' % (len(a), len(b)))
    worst = 0.0
    for at in range(12, len(a), 4):
        if (at - 12) % (16 + 4 * HDR_W * HDR_H) < 16:
            continue  # the statistics
        lum = [179 * sum(w * v for w, v in zip((0.2126, 0.7152, 0.0722), rgbe_to_float(tuple(m[at:at + 4]))))
               for m in (a, b)]
        worst = max(worst, 1023 * abs(pq_signal(lum[0]) - pq_signal(lum[1])))
    log('round trip: at most %.2f codes of 10-bit PQ (bound %.1f)' % (worst, ROUNDTRIP_CODES))
    check(worst <= ROUNDTRIP_CODES, 'luminance off by %.2f codes of 10-bit PQ' % worst)


# --------------------------------------------------------------------------

def main(argv):
    global HALVEXPORT, PNG_SAMPLES, HALVPACK
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvexport', required=True)
    parser.add_argument('--png-samples', required=True)
    parser.add_argument('--halvview')
    parser.add_argument('--halvpack')
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    HALVEXPORT = os.path.abspath(args.halvexport)
    PNG_SAMPLES = os.path.abspath(args.png_samples)
    if args.halvview:
        xharness.HALVVIEW = os.path.abspath(args.halvview)
    if args.halvpack:
        HALVPACK = os.path.abspath(args.halvpack)
    failed = skipped = 0
    for name in args.case:
        fn, tools = CASES[name]
        missing = missing_tools(tools)
        if tools == X_TOOLS and not args.halvview:
            missing.append('halvview')
        if missing:
            print('skipped %s: needs %s' % (name, ', '.join(missing)))
            skipped += 1
            continue
        work = Workdir()
        start = time.monotonic()
        try:
            fn(work)
            log('PASS %s (%.1f s)' % (name, time.monotonic() - start))
            work.cleanup()
        except Failure as e:
            failed += 1
            log('FAIL %s: %s\n  (files kept in %s)' % (name, e, work.path))
    if failed:
        return 1
    return SKIPPED if skipped == len(args.case) else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
