"""Runs halvview in an X server of the test's own: a work folder with a
stand-in xgamma that logs its arguments, an Xvfb, the player process, key
presses through xdotool, and screenshots through ImageMagick's import.

Set HALVVIEW to the player's path before starting a Player. The tools it
runs are Xvfb, xdotool, xwininfo and import (TOOLS); a driver checks for
them with missing_tools() before it starts, and skips when one is missing.
Python 3 standard library only.
"""
import os
import resource
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time

HALVVIEW = None  # the player's path
TOOLS = ("Xvfb", "xdotool", "xwininfo", "import")


class Failure(Exception):
    """A check that did not hold; the drivers report it as a failed case."""


def check(condition, what, *details):
    if not condition:
        raise Failure(what + "".join("\n  " + str(d) for d in details))


def log(message):
    print(message, flush=True)


def missing_tools(tools=TOOLS):
    """The tools of `tools` that are not on PATH."""
    return [t for t in tools if shutil.which(t) is None]


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


# --------------------------------------------------------------------------
# Work folder: the test's files and the stand-in xgamma on PATH.

class Workdir:
    """A folder for a test's files (a new temporary one unless `path`, an
    existing folder, is given) with bin/xgamma in it: the stand-in appends
    each call's arguments as a line to the file named by HALVTEST_GAMMA_LOG
    and changes nothing."""

    def __init__(self, path=None):
        self.path = path or tempfile.mkdtemp(prefix='halvview-e2e-')
        self.bin = os.path.join(self.path, 'bin')
        os.mkdir(self.bin)
        fake = os.path.join(self.bin, 'xgamma')
        with open(fake, 'w') as f:
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
    """The stand-in xgamma's calls logged in `path`, one line each."""
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().split('\n')[:-1]


# --------------------------------------------------------------------------
# X server.

class XServer:
    """An Xvfb on a display number it picks itself (-displayfd), so tests
    running side by side never share a server. A context manager; start()
    and stop() do the same by hand."""

    def __init__(self, work, width=320, height=240):
        self.work = work
        self.width = width
        self.height = height
        self.proc = None
        self.display = None
        self.errlog = None

    def start(self):
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
            raise Failure('Xvfb did not start (got %r)' % text)
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
        if self.errlog:
            self.errlog.close()

    def __enter__(self):
        return self.start()

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

    def find_window(self, visible_only=False):
        """The id of the player's window (mapped, with visible_only), or
        None."""
        args = ['xdotool', 'search'] + (['--onlyvisible'] if visible_only else [])
        r = self.run(args + ['--name', '^Halvscope$'])
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
    """A screenshot of the whole screen, 8-bit RGB."""

    def __init__(self, data, width, height):
        self.data = data
        self.width = width
        self.height = height

    def px(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            return None
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])


def ppm_pixels(ppm):
    """The pixel bytes of a binary PPM with maxval 255."""
    fields, pos = [], 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not ppm[pos:pos + 1].isspace():
            pos += 1
        fields.append(ppm[start:pos])
    return ppm[pos + 1:]


# --------------------------------------------------------------------------
# The player.

GREEN = (0, 255, 0)  # the info overlay's text
RED = (255, 0, 0)    # the help overlay's text
# The timeline bar along the window's bottom edge, shown with the info
# overlay: the part played up to the frame shown, the rest, and the top
# row's mark over the frames held in the frame cache.
TIMELINE = ((255, 192, 0), (48, 48, 48), (0, 160, 255))


class Player:
    """halvview with `args`, run in the server's environment; its standard
    error and the stand-in xgamma's calls go to files of its own."""

    def __init__(self, xs, args, name='player', cwd=None, address_space=None):
        self.xs = xs
        self.args = [str(a) for a in args]
        self.errpath = xs.work.fresh(name + '.err')
        self.gammalog = xs.work.fresh(name + '.gamma')
        env = dict(xs.env)
        env['HALVTEST_GAMMA_LOG'] = self.gammalog
        self.errfile = open(self.errpath, 'wb')
        limit = None
        if address_space is not None:  # bytes of address space the player may take
            def limit():
                resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
        self.proc = subprocess.Popen([HALVVIEW] + self.args, env=env, cwd=cwd,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.errfile, preexec_fn=limit)
        self.window = None
        self.origin = None
        self.size = None

    def stderr_bytes(self):
        self.errfile.flush()
        with open(self.errpath, 'rb') as f:
            return f.read()

    def stderr(self):
        return self.stderr_bytes().decode(errors='replace')

    def gamma(self):
        return gamma_calls(self.gammalog)

    def running(self):
        return self.proc.poll() is None

    def wait_window(self, size=None, timeout=15, visible_only=False):
        """Waits for the window (mapped, with visible_only) and, given a
        size, for it to take that size (GLUT creates it at a default size
        and resizes it from its main loop)."""
        def found():
            if not self.running():
                raise Failure('player ended early (status %s): %s'
                              % (self.proc.returncode, self.stderr()))
            return self.xs.find_window(visible_only)
        self.window = wait_for(found, timeout, 0.05)
        check(self.window, 'no Halvscope window appeared')
        if size is not None:
            wait_for(lambda: self.refresh_geometry()[1] == tuple(size), 5)
            check(self.size == tuple(size),
                  'window size %s, expected %s' % (self.size, tuple(size)))
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

    def key(self, *names, focus=False):
        """Typed through XTEST, as a user would; xdotool adds Shift where
        the key's symbol needs it. With focus, the window is given the
        keyboard focus first, in the same xdotool call."""
        args = ['xdotool']
        if focus:
            args += ['windowfocus', '--sync', str(self.window)]
        r = self.xs.run(args + ['key', '--delay', '30'] + list(names))
        check(r.returncode == 0, 'xdotool key %s failed: %s' % (names, r.stderr))

    def window_shot(self):
        """The window's own pixels as a binary PPM, or None when import
        cannot take them."""
        r = self.xs.run(['import', '-window', str(self.window), '-depth', '8', 'ppm:-'])
        return r.stdout if r.returncode == 0 and r.stdout else None

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure('player did not end; stderr: %s' % self.stderr())

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
