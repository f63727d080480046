#!/usr/bin/env python3
"""Hostile movies for halvview, played under Xvfb.

Usage: hostile_view.py [case ...]  (every case without arguments)
       hostile_view.py --list  (the case names, for CMake)
Environment: HALVVIEW, the program. Without Xvfb, xdotool or import the
cases are skipped (status 77).

Each case starts an Xvfb of its own (it picks a free display) and puts a
stand-in xgamma first on PATH that records its arguments, so that the gamma
calls can be checked. Keys go to the player's window through xdotool;
pictures are taken with ImageMagick's import (all through the X harness,
tests/lib/xharness.py). A case checks the exit status, the messages and the
gamma calls, and for the corrupt statistics that the frames after them look
exactly as in a movie without them.
"""
import os
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import xharness  # noqa: E402
from halvfiles import movie_header, uniform_record, write_file  # noqa: E402
from hostile import Run, Skip, check, expect, run, main, SAN_MARKERS  # noqa: E402
from xharness import Failure, Player, Workdir, XServer, ppm_pixels  # noqa: E402

HALVVIEW = os.environ.get("HALVVIEW", "halvview")
xharness.HALVVIEW = HALVVIEW
W, H = 32, 32
TIMEOUT = 60
TOOLS = ("Xvfb", "xdotool", "import")  # without one of them every case is skipped

GREY = (128, 128, 128, 129)    # 1.0 in every component
ORANGE = (200, 100, 50, 128)   # a colour apart from the grey, below 1
NAN, INF = float("nan"), float("inf")


def display(tmp):
    """An Xvfb of its own, with the recording xgamma first on PATH."""
    return XServer(Workdir(tmp), 1280, 1024).start()


def result(p):
    """The player's status and standard error, free of sanitizer reports."""
    r = Run(p.proc.poll(), b"", p.stderr_bytes())
    text = r.err.decode(errors="replace")
    check(not any(m in text for m in SAN_MARKERS), "sanitizer report", r)
    return r


def wait_window(p):
    """Waits for the player's window to be mapped."""
    p.wait_window(timeout=TIMEOUT, visible_only=True)


def key(p, name):
    """Gives the window the focus and presses the key."""
    p.key(name, focus=True)


def wait_shot(p, accept, what):
    """Polls the window's pixels until accept(picture) holds."""
    end = time.time() + TIMEOUT
    last = None
    while time.time() < end:
        check(p.running(), "the player ended while waiting for " + what, result(p))
        last = p.window_shot()
        if last is not None and accept(last):
            return last
        time.sleep(0.05)
    raise Failure("window never showed " + what + "; last picture " +
                  (summary(last) if last else "none"))


def wait_end(p):
    p.wait_exit(TIMEOUT)
    return result(p)


def quit_player(p):
    key(p, "q")
    return wait_end(p)


def summary(ppm):
    px = ppm_pixels(ppm)
    return "first pixel %s, %d bytes, brightest byte %d" % (tuple(px[:3]), len(px), max(px or b"\0"))


def session(tmp, moviedata, args=()):
    """Starts the player on a movie; returns the display and the player."""
    tmp = tempfile.mkdtemp(dir=tmp)  # a folder for each run
    xs = display(tmp)
    try:
        path = write_file(os.path.join(tmp, "movie.mov"), moviedata)
        return xs, Player(xs, list(args) + [path], cwd=tmp)
    except BaseException:
        xs.stop()
        raise


def ends_alone(tmp, moviedata, status, *messages, args=(), gamma=None):
    """A movie the player refuses or cannot read: it ends by itself."""
    xs, p = session(tmp, moviedata, args)
    try:
        r = wait_end(p)
        expect(r, status, *messages)
        if gamma is not None:
            check(p.gamma() == gamma, "gamma calls %r" % p.gamma())
    finally:
        p.close()
        xs.stop()


def record(maxlum, logav, pixel=GREY, width=W, height=H):
    return uniform_record(width, height, maxlum, logav, pixel)


READ_FAIL = "Failed to read rgbe buffer, frame %d\n"
RESTORED = ["-gamma 2.2", "-gamma 1"]


# --- start-up ----------------------------------------------------------------

def case_movie_empty(tmp):
    ends_alone(tmp, b"", 255, "Failed to read the header\n")


def case_movie_not_a_file(tmp):
    # A FIFO nobody writes to would block the open for good, and the player
    # seeks in its movie: anything but a regular file is refused at once.
    xs = display(tmp)
    try:
        os.mkfifo(os.path.join(tmp, "fifo"))
        os.mkdir(os.path.join(tmp, "folder"))
        for name in ("fifo", "folder", "/dev/zero"):
            r = run([HALVVIEW, name], cwd=tmp, env=xs.env, timeout=TIMEOUT)
            expect(r, 255, 'Failed to open movie file "%s"\n' % name)
    finally:
        xs.stop()


def case_header_cut(tmp):
    ends_alone(tmp, movie_header(W, H, 1)[:7], 255, "Failed to read the header\n")


def case_size_out_of_range(tmp):
    for w, h, message in ((15, 16, "width"), (16, 15, "height"), (32000, 16, "width"),
                          (16, 32000, "height"), (-16, 16, "width"), (16, -32768, "height")):
        ends_alone(tmp, movie_header(w, h, 1) + record(2.0, 0.5, width=16, height=16), 255,
                   "Movie %s out of range (or bad header)\n" % message)


def case_buffers_without_memory(tmp):
    # The largest movie the player accepts, with the address space cut so
    # that each of its buffers in turn finds no room: every one is a
    # start-up failure, status 255 with the gamma put back.
    if os.environ.get("HALVORN_SANITIZED") == "1":
        raise Skip("the sanitizers reserve address space of their own")
    side = 31999
    n = side * side
    gib = 1 << 30
    base = 2 * gib  # the program, its libraries and the X connection
    for room, message in ((base + 6 * gib, "Malloc of the rgbe image failed"),
                          (base + 12 * n + 6 * gib, "Malloc of the output image failed"),
                          (base + 24 * n + 6 * gib, "Float Image malloc failed"),
                          (base + 36 * n + 4 * gib, "Lum malloc failed")):
        run_dir = tempfile.mkdtemp(dir=tmp)
        xs = display(run_dir)
        try:
            path = write_file(os.path.join(run_dir, "movie.mov"), movie_header(side, side, 1))
            p = Player(xs, [path], cwd=run_dir, address_space=room)
            try:
                expect(wait_end(p), 255, message + "\n")
                check(p.gamma() == RESTORED, "gamma calls %r" % p.gamma())
            finally:
                p.close()
        finally:
            xs.stop()


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
    return tuple(ppm_pixels(ppm)[:3])


def is_grey(ppm):
    r, g, b = first_pixel(ppm)
    return r == g == b and r > 0


def is_orange(ppm):
    r, g, b = first_pixel(ppm)
    return r > g > b


def case_frames_beyond_file(tmp):
    # The header promises a million frames; the file holds two.
    data = movie_header(W, H, 1000000) + record(2.0, 0.5, GREY) + record(2.0, 0.5, ORANGE)
    xs, p = session(tmp, data)
    try:
        wait_window(p)
        wait_shot(p, is_grey, "frame 0")
        # Back from frame 0 goes to the last frame: the last one in the file.
        key(p, "comma")
        wait_shot(p, is_orange, "the last frame present")
        # Forward from the last frame wraps to frame 0.
        key(p, "period")
        wait_shot(p, is_grey, "frame 0 again")
        # Frame 1 is there, frame 2 is not.
        key(p, "period")
        wait_shot(p, is_orange, "frame 1")
        key(p, "period")
        r = wait_end(p)
        expect(r, 0, "Error reading Maximum Lum in scene data\n", READ_FAIL % 2)
        check(p.gamma() == RESTORED, "gamma calls %r" % p.gamma())
    finally:
        p.close()
        xs.stop()


def case_cut_in_later_frame(tmp):
    data = movie_header(W, H, 3) + record(2.0, 0.5) + record(2.0, 0.5, ORANGE)[:10]
    xs, p = session(tmp, data)
    try:
        wait_window(p)
        wait_shot(p, is_grey, "frame 0")
        key(p, "Right")
        r = wait_end(p)
        expect(r, 0, "Error reading the Log Average in scene data\n", READ_FAIL % 1)
        check(p.gamma() == RESTORED, "gamma calls %r" % p.gamma())
    finally:
        p.close()
        xs.stop()


def last_frame(tmp, records, accept, what):
    """Plays a tone-mapped movie forward to its last frame and returns the
    picture of that frame, the first one that accept() takes."""
    xs, p = session(tmp, movie_header(W, H, len(records)) + b"".join(records), ["-t"])
    try:
        wait_window(p)
        for _ in records[1:]:
            key(p, "period")
        shot = wait_shot(p, accept, what)
        r = quit_player(p)
        expect(r, 0)
        check(p.gamma() == RESTORED, "gamma calls %r" % p.gamma())
        return shot
    finally:
        p.close()
        xs.stop()


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
    xs, p = session(tmp, data)
    try:
        wait_window(p)
        wait_shot(p, is_grey, "frame 0")
        # To the end: a frame's length before the end of the file, which is
        # the middle of the first frame; its two records are read as a pair.
        key(p, "comma")
        wait_shot(p, is_orange, "the records read from the middle of frame 0")
        key(p, "1")
        wait_shot(p, is_grey, "frame 0 again")
        key(p, "period")
        r = wait_end(p)
        expect(r, 0, "Error reading Maximum Lum in scene data\n", READ_FAIL % 1)
        check(p.gamma() == RESTORED, "gamma calls %r" % p.gamma())
    finally:
        p.close()
        xs.stop()
    # One record for a one-frame pair: the start-up read fails.
    ends_alone(tmp, movie_header(W, H, 1, eyes=2) + record(2.0, 0.5), 0,
               "Error reading Maximum Lum in scene data\n", READ_FAIL % 0)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(main(CASES, TOOLS))
