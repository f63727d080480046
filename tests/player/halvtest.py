"""Shared machinery of the player's end-to-end tests: an Xvfb server of the
test's own, a fake xgamma that logs its arguments, the player process, key
presses, screenshots, movie files written byte by byte, and the expected
pixels worked out here from the picture data.

Python 3 standard library only.
"""
import math
import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time

HALVVIEW = None
HALVPACK = None


class TestFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def log(message):
    print(message, flush=True)


def wait_for(predicate, timeout=8.0, interval=0.02):
    """Polls predicate until it returns something true; returns that value,
    or None when the time runs out."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(interval)


def f32(x):
    """x rounded to single precision."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


# --------------------------------------------------------------------------
# Work area: temp dir with the fake xgamma on PATH.

class Workdir:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix='halvview-e2e-')
        self.bin = os.path.join(self.path, 'bin')
        os.mkdir(self.bin)
        fake = os.path.join(self.bin, 'xgamma')
        with open(fake, 'w') as f:
            # Records each call on a line of its own; changes nothing.
            f.write('#!/bin/sh\n'
                    'echo "$*" >> "${HALVTEST_GAMMA_LOG:-/dev/null}"\n')
        os.chmod(fake, 0o755)
        self.counter = 0

    def file(self, name):
        return os.path.join(self.path, name)

    def fresh(self, stem):
        self.counter += 1
        return self.file('%s-%d' % (stem, self.counter))

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


def gamma_calls(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.strip() for line in f if line.strip()]


# --------------------------------------------------------------------------
# X server.

class XServer:
    """An Xvfb on a display number it picks itself (-displayfd), so tests
    running side by side never share a server."""

    def __init__(self, work, width=320, height=240):
        self.work = work
        self.width = width
        self.height = height
        self.proc = None
        self.display = None

    def __enter__(self):
        rfd, wfd = os.pipe()
        self.errlog = open(self.work.fresh('xvfb.log'), 'wb')
        self.proc = subprocess.Popen(
            ['Xvfb', '-displayfd', str(wfd), '-screen', '0',
             '%dx%dx24' % (self.width, self.height), '-nolisten', 'tcp', '-noreset'],
            pass_fds=(wfd,), stdin=subprocess.DEVNULL, stdout=self.errlog,
            stderr=self.errlog)
        os.close(wfd)
        text = b''
        deadline = time.monotonic() + 20
        while not text.endswith(b'\n'):
            left = deadline - time.monotonic()
            ready = select.select([rfd], [], [], max(left, 0))[0] if left > 0 else []
            if not ready:
                break
            chunk = os.read(rfd, 64)
            if not chunk:
                break
            text += chunk
        os.close(rfd)
        if not text.strip().isdigit():
            self.stop()
            raise TestFailure('Xvfb did not start (got %r)' % text)
        self.display = int(text.strip())
        self.env = dict(os.environ)
        self.env['DISPLAY'] = ':%d' % self.display
        self.env['PATH'] = self.work.bin + os.pathsep + self.env.get('PATH', '')
        self.env.pop('XAUTHORITY', None)
        log('Xvfb on :%d (%dx%d)' % (self.display, self.width, self.height))
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.errlog.close()

    def __exit__(self, *exc):
        self.stop()
        return False

    def run(self, args, timeout=20):
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)

    def screenshot(self):
        r = self.run(['import', '-window', 'root', '-depth', '8', 'rgb:-'])
        check(r.returncode == 0, 'import failed: %s' % r.stderr.decode(errors='replace'))
        check(len(r.stdout) == self.width * self.height * 3,
              'screenshot has %d bytes' % len(r.stdout))
        return Shot(r.stdout, self.width, self.height)

    def find_window(self):
        r = self.run(['xdotool', 'search', '--name', '^Halvscope$'])
        ids = r.stdout.split()
        return int(ids[0]) if r.returncode == 0 and ids else None

    def send_wm_delete(self, window):
        """Asks the window to close as a window manager does: a
        WM_PROTOCOLS client message carrying WM_DELETE_WINDOW, sent over
        the X protocol on the server's local socket."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect('/tmp/.X11-unix/X%d' % self.display)

        def recvn(n):
            data = b''
            while len(data) < n:
                chunk = s.recv(n - len(data))
                check(chunk, 'X connection closed')
                data += chunk
            return data

        s.sendall(struct.pack('<BxHHHH2x', ord('l'), 11, 0, 0, 0))
        head = recvn(8)
        check(head[0] == 1, 'X server refused the connection')
        recvn(struct.unpack('<H', head[6:8])[0] * 4)

        def intern(name):
            pad = (-len(name)) % 4
            s.sendall(struct.pack('<BBHH2x', 16, 0, 2 + (len(name) + pad) // 4, len(name))
                      + name + b'\0' * pad)
            reply = recvn(32)
            check(reply[0] == 1, 'InternAtom failed')
            return struct.unpack('<I', reply[8:12])[0]

        protocols = intern(b'WM_PROTOCOLS')
        delete = intern(b'WM_DELETE_WINDOW')
        event = struct.pack('<BBHII5I', 33, 32, 0, window, protocols, delete, 0, 0, 0, 0)
        s.sendall(struct.pack('<BBHII', 25, 0, 11, window, 0) + event)
        s.sendall(struct.pack('<BxH', 43, 1))  # GetInputFocus: a round trip
        reply = recvn(32)
        check(reply[0] == 1, 'SendEvent failed')
        s.close()


class Shot:
    def __init__(self, data, width, height):
        self.data = data
        self.width = width
        self.height = height

    def px(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            return None
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])


# --------------------------------------------------------------------------
# The player.

GREEN = (0, 255, 0)
RED = (255, 0, 0)


class Player:
    def __init__(self, xs, args, name='player'):
        self.xs = xs
        self.args = [str(a) for a in args]
        self.errpath = xs.work.fresh(name + '.err')
        self.gammalog = xs.work.fresh(name + '.gamma')
        env = dict(xs.env)
        env['HALVTEST_GAMMA_LOG'] = self.gammalog
        self.errfile = open(self.errpath, 'wb')
        self.proc = subprocess.Popen([HALVVIEW] + self.args, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.errfile)
        self.window = None
        self.origin = None
        self.size = None

    def stderr(self):
        self.errfile.flush()
        with open(self.errpath, 'rb') as f:
            return f.read().decode(errors='replace')

    def gamma(self):
        return gamma_calls(self.gammalog)

    def running(self):
        return self.proc.poll() is None

    def wait_window(self, size, timeout=15):
        """Waits for the window and for it to take the given size (GLUT
        creates it at a default size and resizes it from its main loop)."""
        def found():
            if not self.running():
                raise TestFailure('player ended early (status %s): %s'
                                  % (self.proc.returncode, self.stderr()))
            return self.xs.find_window()
        self.window = wait_for(found, timeout, 0.05)
        check(self.window, 'no Halvscope window appeared')
        wait_for(lambda: self.refresh_geometry()[1] == tuple(size), 5)
        check(self.size == tuple(size), 'window size %s, expected %s' % (self.size, tuple(size)))
        return self.window

    def refresh_geometry(self):
        r = self.xs.run(['xwininfo', '-id', str(self.window)])
        check(r.returncode == 0, 'xwininfo failed')
        info = {}
        for line in r.stdout.decode().splitlines():
            if ':' in line:
                key, _, value = line.partition(':')
                info[key.strip()] = value.strip()
        self.origin = (int(info['Absolute upper-left X']), int(info['Absolute upper-left Y']))
        self.size = (int(info['Width']), int(info['Height']))
        return self.origin, self.size

    def place(self, x=10, y=10):
        """Moves the window fully onto the screen (with no window manager
        it opens partly above and left of the screen) and gives it the
        keyboard focus."""
        self.xs.run(['xdotool', 'windowmove', '--sync', str(self.window), str(x), str(y)])
        wait_for(lambda: self.refresh_geometry()[0] == (x, y), 5)
        check(self.origin == (x, y), 'window did not move: %s' % (self.origin,))
        self.focus()

    def focus(self):
        r = self.xs.run(['xdotool', 'windowfocus', '--sync', str(self.window)])
        check(r.returncode == 0, 'windowfocus failed')

    def key(self, *names):
        """Typed through XTEST, as a user would; xdotool adds Shift where
        the key's symbol needs it."""
        r = self.xs.run(['xdotool', 'key', '--delay', '30'] + list(names))
        check(r.returncode == 0, 'xdotool key %s failed: %s' % (names, r.stderr))

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure('player did not end; stderr: %s' % self.stderr())

    def signal(self, sig):
        self.proc.send_signal(sig)

    def close(self):
        if self.running():
            self.proc.kill()
            self.proc.wait()
        self.errfile.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # Picture checks -------------------------------------------------------

    def picture_diff(self, shot, expected, W, H, at=(0, 0), skip=()):
        """Largest component difference between the screen and the expected
        8-bit picture (bottom row first) drawn with its lower-left corner at
        `at` window pixels from the window's lower-left corner. Pixels in
        the colours of `skip` (overlay text) are left out."""
        ox, oy = self.origin
        wh = self.size[1]
        worst = 0
        where = None
        for y in range(H):
            sy = oy + wh - 1 - (at[1] + y)
            row = y * W
            for x in range(W):
                got = shot.px(ox + at[0] + x, sy)
                if got is None:
                    return 999, (x, y, None)
                if got in skip:
                    continue
                want = expected[row + x]
                d = max(abs(got[0] - want[0]), abs(got[1] - want[1]), abs(got[2] - want[2]))
                if d > worst:
                    worst, where = d, (x, y, got, want)
        return worst, where

    def wait_picture(self, expected, W, H, what, at=(0, 0), tol=1, skip=(), timeout=8):
        last = [None]

        def shows():
            shot = self.xs.screenshot()
            d = self.picture_diff(shot, expected, W, H, at, skip)
            last[0] = d
            return d[0] <= tol and shot
        shot = wait_for(shows, timeout)
        check(shot, '%s not shown: largest difference %s at %s' % (what, last[0][0], last[0][1]))
        return shot

    def overlay_pixels(self, shot, colour):
        """(x, y) of the pixels of the given colour inside the window, y
        counted upwards from the window's bottom row."""
        ox, oy = self.origin
        ww, wh = self.size
        found = []
        for wy in range(wh):
            for wx in range(ww):
                if shot.px(ox + wx, oy + wy) == colour:
                    found.append((wx, wh - 1 - wy))
        return found


# --------------------------------------------------------------------------
# Movie files and pictures.

def decode(p):
    """An RGBE pixel as the player decodes it: mantissa x 2^(e - 136), or
    1e-6 in every component when the exponent byte is 0."""
    r, g, b, e = p
    if e == 0:
        return (1e-6, 1e-6, 1e-6)
    f = 2.0 ** (e - 136)
    return (r * f, g * f, b * f)


def luminance(c):
    return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]


def stats(pixels):
    """maxLum and logAv of a picture, from its decoded pixels."""
    cols = [decode(p) for p in pixels]
    lums = [luminance(c) for c in cols]
    maxlum = 0.0
    for L in lums:
        if L > maxlum:
            maxlum = L
    logav = math.exp(sum(math.log(L + 0.000023) for L in lums) / len(lums))
    return maxlum, logav


def record_bytes(pixels, order='<', statistics=None):
    maxlum, logav = statistics if statistics else stats(pixels)
    return struct.pack(order + 'dd', maxlum, logav) + b''.join(bytes(p) for p in pixels)


def header_bytes(width, height, nframes, eyes=1, fmt=48, order='<', pad=b'\0\0'):
    return struct.pack(order + 'hhBB', width, height, fmt, eyes) + pad + struct.pack(order + 'i', nframes)


def write_movie(path, width, height, frames, eyes=1, nframes=None, order='<', cut=None):
    """frames: a list of frames, each a list of `eyes` pictures (lists of
    RGBE pixels, bottom row first). `cut` drops that many bytes from the end."""
    data = header_bytes(width, height, len(frames) if nframes is None else nframes, eyes,
                        order=order)
    data += b''.join(record_bytes(pic, order) for frame in frames for pic in frame)
    if cut:
        data = data[:-cut]
    with open(path, 'wb') as f:
        f.write(data)
    return path


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
        c = decode(p)
        out.append(tuple(quantise(f32(factor * v)) for v in c))
    return out


class Adaptation:
    """The tone mapper's smoothed log-average: 0 at start, then the mean of
    itself and each tone-mapped picture's stored log-average."""

    def __init__(self):
        self.value = 0.0


def tonemap_expected(pixels, W, H, adaptation, statistics=None, bias_param=f32(0.85),
                     exposure=0.0):
    """8-bit picture shown on the tone-mapped path (adaptive logarithmic
    mapping over 3 x 3 blocks, colours given the display luminance).
    W and H must be multiples of 3."""
    maxlum, logav = statistics if statistics else stats(pixels)
    scale = 1.0 if exposure == 0 else 2.0 ** exposure
    cols = [decode(p) for p in pixels]
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


# --------------------------------------------------------------------------
# Radiance pictures for the builder.

def float_to_rgbe(c):
    v = max(c)
    if v < 1e-32:
        return (0, 0, 0, 0)
    m, e = math.frexp(v)
    scale = m * 256.0 / v
    return (int(c[0] * scale), int(c[1] * scale), int(c[2] * scale), e + 128)


def write_hdr(path, W, H, rows_top_first):
    """A flat (not run-length-encoded) Radiance picture; rows_top_first is a
    list of H rows of W RGBE pixels, the top row first."""
    with open(path, 'wb') as f:
        f.write(b'#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n' % (H, W))
        for row in rows_top_first:
            f.write(b''.join(bytes(p) for p in row))


# --------------------------------------------------------------------------
# Running a test case.

CASES = {}


def case(name):
    def register(fn):
        CASES[name] = fn
        return fn
    return register


def main(argv):
    global HALVVIEW, HALVPACK
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvview', required=True)
    parser.add_argument('--halvpack')
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    HALVVIEW = os.path.abspath(args.halvview)
    HALVPACK = os.path.abspath(args.halvpack) if args.halvpack else None
    failed = 0
    for name in args.case:
        work = Workdir()
        start = time.monotonic()
        try:
            CASES[name](work)
            log('PASS %s (%.1f s)' % (name, time.monotonic() - start))
        except TestFailure as e:
            failed += 1
            log('FAIL %s: %s' % (name, e))
        finally:
            if failed == 0:
                work.cleanup()
            else:
                log('work files kept in %s' % work.path)
    return 1 if failed else 0
