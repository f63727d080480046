#!/usr/bin/env python3
"""End-to-end tests of HDR10 out of halvexport and back into halvpack.

Usage: hdr10_e2e.py --halvexport PATH --halvpack PATH --png-samples PATH CASE...
Cases: options (what -pq refuses), levels (-n against a run that writes,
PNG against the PPM stream), roundtrip (a movie through halvexport -pq,
ffmpeg with x265 at 10 bits 4:4:4, ffprobe, and halvpack -s -pq back). A
case whose tools are missing exits with 77, CTest's skip code. Python 3
standard library only.
"""
import os
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'lib'))

from xharness import Failure, Workdir, check, log, missing_tools  # noqa: E402
from halvfiles import rgbe_to_float  # noqa: E402

TOOLS = {}
SKIPPED = 77
W, H, FRAMES = 64, 48, 3
CASES = {}

# The PQ curve, written out here from its definition.
M1, M2 = 2610 / 16384, 2523 / 4096 * 128
C1, C2, C3 = 3424 / 4096, 2413 / 4096 * 32, 2392 / 4096 * 32


def pq(nits):
    y = (max(nits, 0.0) / 10000.0) ** M1
    return ((C1 + C2 * y) / (1 + C3 * y)) ** M2


def case(name, tools=()):
    def register(fn):
        CASES[name] = (fn, tools)
        return fn
    return register


def run(args, data=None):
    return subprocess.run([str(a) for a in args], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)


def scene_stream():
    """PFM pictures of a scene from 10^-4 to some 50 (9000 cd/m2 at 179):
    a ramp of luminance across, colours down, changing from frame to
    frame."""
    pictures = []
    for k in range(FRAMES):
        floats = []
        for y in reversed(range(H)):  # PFM rows bottom first
            for x in range(W):
                t, s = x / (W - 1), y / (H - 1)
                lum = 10 ** (-4 + 5.7 * t)
                floats += [lum * (0.3 + 0.7 * s), lum * (1 - 0.5 * s),
                           lum * (0.2 + 0.8 * ((x * 7 + y * 3 + k) % 10) / 10)]
        pictures.append(b'PF\n%d %d\n-1.0\n' % (W, H) + struct.pack('<%df' % len(floats), *floats))
    return b''.join(pictures)


def make_movie(work):
    path = os.path.join(work.path, 'scene.hmv')
    r = run([TOOLS['halvpack'], '-s', '-x', W, '-y', H, '-o', path], scene_stream())
    check(r.returncode == 0, 'halvpack -s: %d %r' % (r.returncode, r.stderr[-300:]))
    return path


def levels_line(stderr):
    lines = [ln for ln in stderr.decode().splitlines() if ln.startswith('MaxCLL ')]
    check(len(lines) == 1, 'no light levels line: %r' % stderr)
    fields = lines[0].split()
    check(lines[0] == 'MaxCLL %s cd/m2, MaxFALL %s cd/m2' % (fields[1], fields[4]), 'levels: %r' % lines[0])
    return int(fields[1]), int(fields[4])


# --------------------------------------------------------------------------

@case('options')
def test_options(work):
    movie = make_movie(work)
    out = os.path.join(work.path, 'f_%d.png')
    refused = [
        (['-pq', '0.5', movie, out], "The display's peak must be a number of cd/m2 from 1 to 10000 [-pq]"),
        (['-pq', '10001', movie, out], "The display's peak must be a number of cd/m2 from 1 to 10000 [-pq]"),
        (['-pq', 'nan', movie, out], "The display's peak must be a number of cd/m2 from 1 to 10000 [-pq]"),
        (['-pq', '1000', '-nits', '0', movie, out], 'Nits must be a number of cd/m2 from 0.01 to 10000 [-nits]'),
        (['-nits', '100', movie, out], '-nits and -n go with -pq'),
        (['-n', movie], '-nits and -n go with -pq'),
        (['-pq', '1000', '-depth', '8', movie, out], 'PQ pictures are 16-bit: -depth 8 cannot go with -pq'),
        (['-pq', '1000', '-gamma', '2.2', movie, out],
         'PQ pictures carry no display gamma: -gamma cannot go with -pq'),
    ]
    for args, message in refused:
        r = run([TOOLS['halvexport']] + args)
        err = r.stderr.decode()
        check(r.returncode == 255 and err.startswith(message + '\nUsage: halvexport'), '%s: %d %r' %
              (args, r.returncode, err[:200]))
    check(sorted(os.listdir(work.path)) == ['bin', 'scene.hmv'], 'refusals wrote files: %s' % os.listdir(work.path))


@case('levels')
def test_levels(work):
    # The wiring of -n and of PNG output: -n prints what a run that writes
    # prints, and a PNG holds the PPM stream's samples. (The levels
    # themselves, at any thread count, are the export core's tests.)
    movie = make_movie(work)
    base = [TOOLS['halvexport'], '-q', '-t', '-pq', '1000', '-last', '0']
    counted = run(base + ['-n', movie])
    check(counted.returncode == 0 and counted.stdout == b'', '-n: %r' % counted.stderr)
    streamed = run(base + [movie, '-'])
    check(streamed.returncode == 0 and levels_line(streamed.stderr) == levels_line(counted.stderr),
          'stream: %r, -n: %r' % (streamed.stderr, counted.stderr))
    names = os.path.join(work.path, 'pq_%d.png')
    check(run(base + [movie, names]).returncode == 0, 'PNG export failed')
    png = run([TOOLS['png_samples'], names % 0])
    line, _, samples = png.stdout.partition(b'\n')
    header = b'P6\n%d %d\n65535\n' % (W, H)
    check(line.split() == [b'%d' % W, b'%d' % H, b'3', b'16'] and streamed.stdout == header + samples,
          'PNG %r against the stream' % line)


# The round trip's bound, in codes of 10-bit PQ of a pixel's luminance. Y'CbCr
# at 10 bits rounds each of Y', Cb and Cr by up to half a code; back in R'G'B'
# a component carries up to 0.5 (1 + 1.8814) = 1.44 codes of it (blue), and
# the luminance's PQ lies between its components'. The movie's 8-bit
# mantissas add up to 1/256 of the light, at most 0.4 of a code where the
# curve is steepest. So 2 codes.
ROUNDTRIP_CODES = 2.0


@case('roundtrip', tools=('ffmpeg', 'ffprobe'))
def test_roundtrip(work):
    encoders = run(['ffmpeg', '-hide_banner', '-encoders']).stdout
    if b'libx265' not in encoders:
        raise Skip('ffmpeg without libx265')
    movie = make_movie(work)
    counted = run([TOOLS['halvexport'], '-q', '-pq', '10000', '-n', movie])
    maxcll, maxfall = levels_line(counted.stderr)
    video = os.path.join(work.path, 'hdr10.mkv')
    # Full-range 4:4:4, losslessly coded: what is left is the 10 bits.
    exported = run([TOOLS['halvexport'], '-q', '-pq', '10000', movie, '-'])
    check(exported.returncode == 0, 'halvexport: %r' % exported.stderr)
    encode = run(['ffmpeg', '-y', '-hide_banner', '-loglevel', 'error', '-f', 'image2pipe', '-c:v', 'ppm',
                  '-framerate', '24', '-i', '-',
                  '-vf', 'scale=out_color_matrix=bt2020:out_range=full:flags=accurate_rnd+full_chroma_int',
                  '-c:v', 'libx265', '-pix_fmt', 'yuv444p10le', '-color_range', 'pc', '-color_primaries', 'bt2020',
                  '-color_trc', 'smpte2084', '-colorspace', 'bt2020nc', '-x265-params',
                  'lossless=1:log-level=error:range=full:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:'
                  'master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(100000000,1):'
                  'max-cll=%d,%d' % (maxcll, maxfall), video], exported.stdout)
    check(encode.returncode == 0, 'ffmpeg encode: %r' % encode.stderr[-500:])
    probe = run(['ffprobe', '-hide_banner', '-loglevel', 'error', '-select_streams', 'v:0', '-read_intervals',
                 '%+#1', '-show_frames', '-show_entries',
                 'frame=color_transfer,color_primaries,color_space:frame_side_data=max_content,max_average',
                 '-of', 'default=noprint_wrappers=1', video])
    got = dict(ln.split('=', 1) for ln in probe.stdout.decode().splitlines() if '=' in ln)
    want = {'color_transfer': 'smpte2084', 'color_primaries': 'bt2020', 'color_space': 'bt2020nc',
            'max_content': str(maxcll), 'max_average': str(maxfall)}
    check(all(got.get(k) == v for k, v in want.items()), 'ffprobe: %r, wanted %r' % (got, want))
    decoded = run(['ffmpeg', '-hide_banner', '-loglevel', 'error', '-i', video, '-vf',
                   'scale=in_color_matrix=bt2020:in_range=full:flags=accurate_rnd+full_chroma_int',
                   '-f', 'image2pipe', '-c:v', 'ppm', '-pix_fmt', 'rgb48be', '-'])
    check(decoded.returncode == 0, 'ffmpeg decode: %r' % decoded.stderr[-500:])
    back = os.path.join(work.path, 'back.hmv')
    packed = run([TOOLS['halvpack'], '-s', '-pq', '-x', W, '-y', H, '-o', back], decoded.stdout)
    check(packed.returncode == 0, 'halvpack -s -pq: %r' % packed.stderr[-500:])
    with open(movie, 'rb') as f:
        a = f.read()
    with open(back, 'rb') as f:
        b = f.read()
    check(len(a) == len(b), 'movies of %d and %d bytes' % (len(a), len(b)))
    record = 16 + 4 * W * H
    worst = 0.0
    for k in range(FRAMES):
        for p in range(W * H):
            at = 12 + k * record + 16 + 4 * p
            lum = [179 * sum(w * v for w, v in zip((0.2126, 0.7152, 0.0722), rgbe_to_float(tuple(m[at:at + 4]))))
                   for m in (a, b)]
            worst = max(worst, 1023 * abs(pq(lum[0]) - pq(lum[1])))
    log('round trip: at most %.2f codes of 10-bit PQ (bound %.1f)' % (worst, ROUNDTRIP_CODES))
    check(worst <= ROUNDTRIP_CODES, 'luminance off by %.2f codes of 10-bit PQ' % worst)


class Skip(Exception):
    pass


def main(argv):
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvexport', required=True)
    parser.add_argument('--halvpack', required=True)
    parser.add_argument('--png-samples', required=True)
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    TOOLS.update(halvexport=os.path.abspath(args.halvexport), halvpack=os.path.abspath(args.halvpack),
                 png_samples=os.path.abspath(args.png_samples))
    failed = skipped = 0
    for name in args.case:
        fn, tools = CASES[name]
        missing = missing_tools(tools)
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
        except Skip as e:
            print('skipped %s: %s' % (name, e))
            skipped += 1
            work.cleanup()
        except Failure as e:
            failed += 1
            log('FAIL %s: %s\n  (files kept in %s)' % (name, e, work.path))
    if failed:
        return 1
    return SKIPPED if skipped == len(args.case) else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
