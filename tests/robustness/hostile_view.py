#!/usr/bin/env python3
"""Hostile movies for halvview, played under Xvfb.

Usage: hostile_view.py [case ...]  (every case without arguments)
Environment: HALVVIEW, the program.

Each case starts an Xvfb of its own (it picks a free display) and puts a
stand-in xgamma first on PATH that records its arguments, so that the gamma
calls can be checked. Keys go to the player's window through xdotool;
pictures are taken with ImageMagick's import. A case checks the exit status,
the messages and the gamma calls, and for the corrupt statistics that the
frames after them look exactly as in a movie without them.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from hostile import Failure, Run, check, expect, movie_header, picture_record, run, main, SAN_MARKERS

HALVVIEW = os.environ.get("HALVVIEW", "halvview")
W, H = 32, 32
TIMEOUT = 60

GREY = (128, 128, 128, 129)    # 1.0 in every component
ORANGE = (200, 100, 50, 128)   # a colour apart from the grey, below 1
NAN, INF = float("nan"), float("inf")


class Display:
    """An Xvfb of its own and a recording xgamma first on PATH."""

    def __init__(self, tmp):
        self.tmp = tmp
        bindir = os.path.join(tmp, "bin")
        os.mkdir(bindir)
        self.gammalog = os.path.join(tmp, "xgamma.log")
        with open(os.path.join(bindir, "xgamma"), "w") as f:
            f.write('#!/bin/sh\necho "$@" >> "%s"\n' % self.gammalog)
        os.chmod(os.path.join(bindir, "xgamma"), 0o755)
        rfd, wfd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(wfd)
        number = b""
        with os.fdopen(rfd, "rb") as r:
            number = r.readline().strip()
        check(number != b"", "Xvfb did not start")
        self.env = dict(os.environ, DISPLAY=":" + number.decode(),
                        PATH=bindir + os.pathsep + os.environ.get("PATH", ""))

    def close(self):
        self.xvfb.terminate()
        try:
            self.xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
            self.xvfb.wait()

    def gamma_calls(self):
        if not os.path.exists(self.gammalog):
            return []
        with open(self.gammalog) as f:
            return f.read().split("\n")[:-1]


class Player:
    def __init__(self, display, args):
        self.d = display
        self.err = open(os.path.join(display.tmp, "player.err"), "w+b")
        self.p = subprocess.Popen([HALVVIEW] + args, cwd=display.tmp, env=display.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=self.err)
        self.wid = None

    def xdo(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.d.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=TIMEOUT).stdout

    def wait_window(self):
        end = time.time() + TIMEOUT
        while time.time() < end:
            check(self.p.poll() is None, "the player ended early", self.result())
            found = self.xdo("search", "--onlyvisible", "--name", "^Halvscope$").split()
            if found:
                self.wid = found[0].decode()
                return
            time.sleep(0.05)
        raise Failure("no player window")

    def key(self, name):
        self.xdo("windowfocus", "--sync", self.wid, "key", name)

    def shot(self):
        """The window's pixels (a PPM), or None when it cannot be taken."""
        p = subprocess.run(["import", "-window", self.wid, "-depth", "8", "ppm:-"],
                           env=self.d.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=TIMEOUT)
        return p.stdout if p.returncode == 0 and p.stdout else None

    def wait_shot(self, accept, what):
        """Polls the window until accept(picture) holds."""
        end = time.time() + TIMEOUT
        last = None
        while time.time() < end:
            check(self.p.poll() is None, "the player ended while waiting for " + what,
                  self.result())
            last = self.shot()
            if last is not None and accept(last):
                return last
            time.sleep(0.05)
        raise Failure("window never showed " + what + "; last picture " +
                      (summary(last) if last else "none"))

    def wait_end(self):
        try:
            self.p.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            raise Failure("the player did not end", self.result())
        return self.result()

    def result(self):
        self.err.seek(0)
        r = Run(self.p.poll(), b"", self.err.read())
        text = r.err.decode(errors="replace")
        check(not any(m in text for m in SAN_MARKERS), "sanitizer report", r)
        return r

    def quit(self):
        self.key("q")
        return self.wait_end()

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()


def pixels(ppm):
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


def summary(ppm):
    px = pixels(ppm)
    return "first pixel %s, %d bytes, brightest byte %d" % (tuple(px[:3]), len(px), max(px or b"\0"))


def write_movie(tmp, name, data):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def session(tmp, moviedata, args=()):
    """Starts the player on a movie; returns the display and the player."""
    tmp = tempfile.mkdtemp(dir=tmp)  # a folder for each run
    d = Display(tmp)
    try:
        path = write_movie(tmp, "movie.mov", moviedata)
        return d, Player(d, list(args) + [path])
    except BaseException:
        d.close()
        raise


def ends_alone(tmp, moviedata, status, *messages, args=(), gamma=None):
    """A movie the player refuses or cannot read: it ends by itself."""
    d, p = session(tmp, moviedata, args)
    try:
        r = p.wait_end()
        expect(r, status, *messages)
        if gamma is not None:
            check(d.gamma_calls() == gamma, "gamma calls %r" % d.gamma_calls())
    finally:
        p.kill()
        d.close()


def record(maxlum, logav, pixel=GREY, width=W, height=H):
    return picture_record(width, height, maxlum, logav, pixel)


READ_FAIL = "Failed to read rgbe buffer, frame %d\n"
RESTORED = ["-gamma 2.2", "-gamma 1"]


# --- start-up ----------------------------------------------------------------

def case_movie_empty(tmp):
    ends_alone(tmp, b"", 255, "Failed to read the header\n")


def case_movie_not_a_file(tmp):
    # A FIFO nobody writes to would block the open for good, and the player
    # seeks in its movie: anything but a regular file is refused at once.
    d = Display(tmp)
    try:
        os.mkfifo(os.path.join(tmp, "fifo"))
        os.mkdir(os.path.join(tmp, "folder"))
        for name in ("fifo", "folder", "/dev/zero"):
            r = run([HALVVIEW, name], cwd=tmp, env=d.env, timeout=TIMEOUT)
            expect(r, 255, 'Failed to open movie file "%s"\n' % name)
    finally:
        d.close()


def case_header_cut(tmp):
    ends_alone(tmp, movie_header(W, H, 1)[:7], 255, "Failed to read the header\n")


def case_size_out_of_range(tmp):
    for w, h, message in ((15, 16, "width"), (16, 15, "height"), (32000, 16, "width"),
                          (16, 32000, "height"), (-16, 16, "width"), (16, -32768, "height")):
        ends_alone(tmp, movie_header(w, h, 1) + record(2.0, 0.5, width=16, height=16), 255,
                   "Movie %s out of range (or bad header)\n" % message)


def case_sizes_at_limits_tiny_file(tmp):
    # Accepted sizes, but the file ends after the header: the first read
    # fails and the player ends in order (status 0, gamma put back).
    for w, h in ((16, 16), (31999, 16), (16, 31999), (31999, 31999)):
        ends_alone(tmp, movie_header(w, h, 1), 0,
                   "Error reading Maximum Lum in scene data\n", READ_FAIL % 0, gamma=RESTORED)


def case_no_frames(tmp):
    for n in (0, -1, -2147483648):
        ends_alone(tmp, movie_header(W, H, n) + record(2.0, 0.5), 255,
                   "No frames found, bad header\n")


def case_cut_in_statistics(tmp):
    whole = movie_header(W, H, 1) + record(2.0, 0.5)
    ends_alone(tmp, whole[:12 + 4], 0, "Error reading Maximum Lum in scene data\n",
               READ_FAIL % 0, gamma=RESTORED)
    ends_alone(tmp, whole[:12 + 12], 0, "Error reading the Log Average in scene data\n",
               READ_FAIL % 0, gamma=RESTORED)


def case_cut_in_pixels(tmp):
    whole = movie_header(W, H, 1) + record(2.0, 0.5)
    ends_alone(tmp, whole[:12 + 16 + 4 * W * 5 + 3], 0, "Error reading image data\n",
               READ_FAIL % 0, gamma=RESTORED)


# --- playing -----------------------------------------------------------------

def first_pixel(ppm):
    return tuple(pixels(ppm)[:3])


def is_grey(ppm):
    r, g, b = first_pixel(ppm)
    return r == g == b and r > 0


def is_orange(ppm):
    r, g, b = first_pixel(ppm)
    return r > g > b


def case_frames_beyond_file(tmp):
    # The header promises a million frames; the file holds two.
    data = movie_header(W, H, 1000000) + record(2.0, 0.5, GREY) + record(2.0, 0.5, ORANGE)
    d, p = session(tmp, data)
    try:
        p.wait_window()
        p.wait_shot(is_grey, "frame 0")
        # Back from frame 0 goes to the last frame: the last one in the file.
        p.key("comma")
        p.wait_shot(is_orange, "the last frame present")
        # Forward from the last frame wraps to frame 0.
        p.key("period")
        p.wait_shot(is_grey, "frame 0 again")
        # Frame 1 is there, frame 2 is not.
        p.key("period")
        p.wait_shot(is_orange, "frame 1")
        p.key("period")
        r = p.wait_end()
        expect(r, 0, "Error reading Maximum Lum in scene data\n", READ_FAIL % 2)
        check(d.gamma_calls() == RESTORED, "gamma calls %r" % d.gamma_calls())
    finally:
        p.kill()
        d.close()


def case_cut_in_later_frame(tmp):
    data = movie_header(W, H, 3) + record(2.0, 0.5) + record(2.0, 0.5, ORANGE)[:10]
    d, p = session(tmp, data)
    try:
        p.wait_window()
        p.wait_shot(is_grey, "frame 0")
        p.key("Right")
        r = p.wait_end()
        expect(r, 0, "Error reading the Log Average in scene data\n", READ_FAIL % 1)
        check(d.gamma_calls() == RESTORED, "gamma calls %r" % d.gamma_calls())
    finally:
        p.kill()
        d.close()


def last_frame(tmp, records, accept, what):
    """Plays a tone-mapped movie forward to its last frame and returns the
    picture of that frame, the first one that accept() takes."""
    d, p = session(tmp, movie_header(W, H, len(records)) + b"".join(records), ["-t"])
    try:
        p.wait_window()
        for _ in records[1:]:
            p.key("period")
        shot = p.wait_shot(accept, what)
        r = p.quit()
        expect(r, 0)
        check(d.gamma_calls() == RESTORED, "gamma calls %r" % d.gamma_calls())
        return shot
    finally:
        p.kill()
        d.close()


def same_last_frame(tmp, reference, records):
    """The last frame of `records` looks exactly like that of `reference`;
    only the last record of each is orange."""
    plain = last_frame(tmp, reference, is_orange, "the last frame")
    last_frame(tmp, records, lambda s: s == plain,
               "the last frame as without the corrupt records (%s)" % summary(plain))


def case_corrupt_log_average(tmp):
    # Records whose log-average is NaN, infinite or so negative that the
    # adapted value would drop below zero: the adaptation keeps its value,
    # so the frame after them looks as if they were not there.
    good0, good1 = record(2.0, 0.5, GREY), record(4.0, 1.0, ORANGE)
    bad = [record(2.0, NAN), record(2.0, INF), record(2.0, -INF), record(2.0, -1e300)]
    same_last_frame(tmp, [good0, good1], [good0] + bad + [good1])


def case_corrupt_maximum(tmp):
    # NaN, infinite, zero and negative maximum luminance: the adaptation only
    # follows the log-averages, which are sound, so the last frame looks as
    # in the same movie with sound maxima.
    good0, good1 = record(2.0, 0.5, GREY), record(4.0, 1.0, ORANGE)
    maxima = (NAN, INF, 0.0, -3.0)
    same_last_frame(tmp, [good0] + [record(2.0, 0.5) for _ in maxima] + [good1],
                    [good0] + [record(m, 0.5) for m in maxima] + [good1])


def case_zero_log_average_first(tmp):
    # A first record whose log-average is 0 leaves nothing to adapt to: the
    # adapted value stays 0 and the next frame starts the adaptation afresh.
    good1 = record(4.0, 1.0, ORANGE)
    same_last_frame(tmp, [good1], [record(2.0, 0.0), good1])


def case_stereo_odd_records(tmp):
    # Two eyes, two frames announced, three records: the second frame lacks
    # its right eye.
    data = movie_header(W, H, 2, eyes=2) + record(2.0, 0.5) + record(2.0, 0.5, ORANGE) + \
        record(2.0, 0.5)
    d, p = session(tmp, data)
    try:
        p.wait_window()
        p.wait_shot(is_grey, "frame 0")
        # To the end: a frame's length before the end of the file, which is
        # the middle of the first frame; its two records are read as a pair.
        p.key("comma")
        p.wait_shot(is_orange, "the records read from the middle of frame 0")
        p.key("1")
        p.wait_shot(is_grey, "frame 0 again")
        p.key("period")
        r = p.wait_end()
        expect(r, 0, "Error reading Maximum Lum in scene data\n", READ_FAIL % 1)
        check(d.gamma_calls() == RESTORED, "gamma calls %r" % d.gamma_calls())
    finally:
        p.kill()
        d.close()
    # One record for a one-frame pair: the start-up read fails.
    ends_alone(tmp, movie_header(W, H, 1, eyes=2) + record(2.0, 0.5), 0,
               "Error reading Maximum Lum in scene data\n", READ_FAIL % 0)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    for tool in ("Xvfb", "xdotool", "import"):
        if shutil.which(tool) is None:
            print("missing %s" % tool)
            sys.exit(1)
    sys.exit(main(CASES))
