#!/usr/bin/env python3
"""Monkey testing of halvview: random sessions of keys, pointer moves,
clicks, timeline drags, window resizes and rare ways out, on a set of
movies (mono and stereo, tone-mapped and plain starts, a truncated movie,
one with corrupt statistics, a one-frame movie), with invariants checked as
it goes:

  - the player neither crashes nor hangs: the window repaints within 2
    seconds of a key (the help overlay's red text comes and goes);
  - no sanitizer report on its standard error;
  - its resident size grows by no more than 10 % after its first minute;
  - it ends with status 0 however it ended (q, Q, Esc, the window closed,
    SIGINT, SIGTERM, or a frame that could not be read), and the stand-in
    xgamma's log shows the gamma set and put back;
  - every line on its standard error is one of its messages.

A failure prints the seed, the run, the last 50 events and writes a replay
file; --replay runs that file's events again and --shrink cuts them down to
a short list that still fails the same way.

Usage:
  monkey.py --halvview PATH [--seconds 60] [--seed N] [--out DIR] [--cpu N]
  monkey.py --halvview PATH --replay FILE [--shrink]
Exits 0 when nothing failed, 1 on a failure, 77 (CTest's skip) without Xvfb,
xdotool, xwininfo or import.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "lib"))

import xharness  # noqa: E402
from xharness import RED, Failure, Player, Workdir, XServer, log, missing_tools, ppm_pixels, wait_for  # noqa: E402
from halvfiles import movie_record, write_file, write_movie, movie_bytes  # noqa: E402
import monkey_core  # noqa: E402
from monkey_core import EventSource, ModeModel, StallWatch, sanitizer_report, shrink, start_options, unknown_lines  # noqa: E402

SKIPPED = 77
GAMMA_BOTH = ["-gamma 2.2", "-gamma 1"]
REPAINT_SECONDS = 2.0      # the window must repaint within this of a key
RSS_GRACE_SECONDS = 60.0   # the resident size is taken as the base after this
RSS_GROWTH = 1.10          # ... and may grow to this much of it
LAST_EVENTS = 50
SCREEN = (480, 360)
STALL_RETRIES = 3          # checks started again after a stall, at most


class MonkeyFailure(Exception):
    """An invariant that did not hold: `kind` names which, for shrinking."""

    def __init__(self, kind, detail):
        super().__init__("%s: %s" % (kind, detail))
        self.kind = kind
        self.detail = detail


def process_state(pid):
    """The state letter of a process (R, S, D...), or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def watched_run(xs, watch):
    """The X server's way of running a tool (xdotool, import), for the
    driver: a tool that the kernel holds past its time (uninterruptible
    sleep, it or the X server) is a stall of the machine, not a hang of the
    player. An xdotool was once held for over two minutes starting up."""
    def run(args, timeout=20):
        sent = time.monotonic()
        proc = subprocess.Popen(args, env=xs.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            held = [name for name, pid in ((args[0], proc.pid), ("Xvfb", xs.proc.pid)) if process_state(pid) == "D"]
            proc.kill()
            proc.communicate()  # as long as the kernel holds it
            if held:
                watch.note(sent, time.monotonic(), "%s held in the kernel" % " and ".join(held))
            raise
        return subprocess.CompletedProcess(args, proc.returncode, out, err)
    return run


# --------------------------------------------------------------------------
# The movies.

def picture(width, height, frame, eye=0):
    """Pixels of a picture whose brightness changes from frame to frame (so
    that the look-ahead finds cuts). Green and blue are never far below red,
    so no pixel shows in the help overlay's pure red."""
    pixels = []
    for i in range(width * height):
        m = 64 + (i * 7 + frame * 13 + eye * 29) % 192
        g = max(m // 2, (m * 3 + i) % 256)
        b = max(m // 2, (m * 5 + 2 * i) % 256)
        pixels.append((m, g, b, 127 + (frame % 4) + (i // width) % 3))
    return pixels


def write_movies(work):
    """The movies the runs choose from, by name."""
    movies = {}
    movies["mono"] = write_movie(work.file("mono.hmv"), 64, 48,
                                 [[picture(64, 48, f)] for f in range(12)])
    movies["stereo"] = write_movie(work.file("stereo.hmv"), 40, 32,
                                   [[picture(40, 32, f, 0), picture(40, 32, f, 1)] for f in range(8)], eyes=2)
    # The header counts 10 frames; the file ends inside the sixth.
    movies["truncated"] = write_movie(work.file("truncated.hmv"), 48, 32,
                                      [[picture(48, 32, f)] for f in range(6)], nframes=10, cut=700)
    bad = [(float("nan"), 0.5), (-1.0, 0.5), (float("inf"), 2.0), (0.0, 0.0), (1e308, 1e-308),
           (2.0, float("-inf"))]
    records = []
    for f in range(10):
        pixels = picture(64, 32, f)
        records.append(movie_record(pixels, bad[f // 2 % len(bad)] if f % 2 else None))
    movies["corrupt"] = write_file(work.file("corrupt.hmv"), movie_bytes(64, 32, records))
    movies["single"] = write_movie(work.file("single.hmv"), 48, 32, [[picture(48, 32, 0)]])
    return movies


def sanitizer_environment(env):
    """The sanitizers' options for the player: stop at the first report;
    under ThreadSanitizer, Mesa's software rasteriser's own races are
    suppressed by module (tsan.supp).

    AddressSanitizer keeps freed memory resident: up to 256 MB by default
    in its quarantine, which can take minutes to fill, and pages in its
    per-size free lists that it never gives back, which pile up as window
    resizes change the sizes the player and Mesa ask for. Together they
    grew the resident size by over 20 % after the first minute with nothing
    leaked, where the uninstrumented player stays flat. An 8 MB quarantine,
    still many frames' worth of frees, and free pages given back every half
    second keep the resident size a measure of what the player holds."""
    env = dict(env)
    env.setdefault("ASAN_OPTIONS", "halt_on_error=1:quarantine_size_mb=8:allocator_release_to_os_interval_ms=500")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    tsan = env.get("TSAN_OPTIONS", "halt_on_error=1:second_deadlock_stack=1")
    if "suppressions=" not in tsan:
        tsan += ":suppressions=" + os.path.join(HERE, "tsan.supp")
    env["TSAN_OPTIONS"] = tsan
    return env


# --------------------------------------------------------------------------
# One player's run.

class Run:
    """A player started on one movie with one command line, the events sent
    to it and the checks made on it."""

    def __init__(self, xs, movies, movie, args, number, watch):
        self.xs = xs
        self.watch = watch
        self.movie = movie
        self.args = list(args)
        self.number = number
        self.events = []
        self.started = time.monotonic()
        self.rss_base = None
        self.rss_peak = 0
        self.ended = False
        # In the work folder, where its screenshots land.
        # -c names its movie as start_options chose it: its path here.
        args = [movies[a] if before == "-c" else a for before, a in zip([None] + self.args, self.args)]
        self.player = Player(xs, args + [movies[movie]], name="run%d" % number, cwd=xs.work.path)
        try:
            self.player.wait_window(timeout=60, visible_only=True)
            self.player.place(0, 0)
        except Failure as e:
            # A player may end by itself before its window is placed (a
            # truncated movie played from the start): a run like any other.
            try:
                self.check_end(self.player.proc.wait(5), asked=False)
                return
            except subprocess.TimeoutExpired:
                pass
            self.player.close()
            raise MonkeyFailure("start", str(e))

    def describe(self):
        return {"movie": self.movie, "args": self.args}

    # Events ---------------------------------------------------------------

    def at(self, fx, fy):
        (ox, oy), (w, h) = self.player.origin, self.player.size
        return str(ox + int(fx * (w - 1))), str(oy + int(fy * (h - 1)))

    def xdotool(self, *args):
        """xdotool with `args`; an X server that does not answer is a hang,
        unless the machine stalled meanwhile (watched_run): then it gets
        another chance."""
        for attempt in range(STALL_RETRIES + 1):
            sent = time.monotonic()
            try:
                return self.xs.run(["xdotool"] + [str(a) for a in args], timeout=20)
            except subprocess.TimeoutExpired:
                if not self.watch.stalled_since(sent) or attempt == STALL_RETRIES:
                    raise MonkeyFailure("hang", "the X server did not answer xdotool %s within 20 s"
                                        % " ".join(str(a) for a in args))

    def send(self, event):
        self.events.append(event)
        kind = event[0]
        if kind == "key":
            self.xdotool("key", event[1])
        elif kind == "move":
            self.xdotool("mousemove", *self.at(event[1], event[2]))
        elif kind == "click":
            self.xdotool("mousemove", *self.at(event[2], event[3]), "click", event[1])
        elif kind == "drag":
            steps = event[3]
            args = ["mousemove", *self.at(event[1], 0.995), "mousedown", "1"]
            for k in range(1, steps + 1):
                args += ["mousemove", *self.at(event[1] + (event[2] - event[1]) * k / steps, 0.995)]
            self.xdotool(*args, "mouseup", "1")
        elif kind == "resize":
            self.xdotool("windowsize", self.player.window, event[1], event[2])
            wait_for(lambda: self.alive() and self.player.refresh_geometry()[1] == (event[1], event[2]), 1.0)
            if self.alive():
                self.player.refresh_geometry()
                self.player.focus()
        elif kind == "exit":
            self.exit(event[1])

    def exit(self, how):
        if how in ("q", "Q", "Escape"):
            self.xdotool("key", how)
        elif how == "close":
            self.xs.send_wm_delete(self.player.window)
        else:
            self.player.signal(signal.SIGTERM if how == "term" else signal.SIGINT)
        try:
            status = self.player.proc.wait(60)
        except Exception:
            raise MonkeyFailure("hang", "the player did not end within 60 s of %s" % how)
        self.check_end(status, asked=True)

    def alive(self):
        return self.player.running()

    # Checks ---------------------------------------------------------------

    def check_stderr(self):
        text = self.player.stderr()
        report = sanitizer_report(text)
        if report:
            raise MonkeyFailure("sanitizer", report + "\n" + text[-6000:])
        unknown = unknown_lines(text)
        if unknown:
            raise MonkeyFailure("message", "unknown lines on stderr: %r" % unknown[:5])

    def check_end(self, status, asked):
        """A run that ended: asked to (an exit event), or by itself, which
        only a frame that cannot be read may do."""
        self.ended = True
        text = self.player.stderr()
        self.check_stderr()
        if status != 0:
            raise MonkeyFailure("status", "status %s; stderr ends: %s" % (status, text[-2000:]))
        if not asked and "Failed to read rgbe buffer" not in text:
            raise MonkeyFailure("ended", "the player ended by itself with status 0: %s" % text[-2000:])
        gamma = self.player.gamma()
        if gamma != GAMMA_BOTH:
            raise MonkeyFailure("gamma", "xgamma calls %r" % gamma)

    def check_running(self):
        """After each event: still running, or ended in a documented way."""
        status = self.player.proc.poll()
        if status is not None and not self.ended:
            self.check_end(status, asked=False)
        return status is None

    def red_count(self):
        try:
            shot = self.player.window_shot()
        except subprocess.TimeoutExpired:
            # An X server too busy to answer in time: no screen this time;
            # a window that never repaints is still found out below.
            return None
        if shot is None:
            return None
        data = ppm_pixels(shot)
        return sum(1 for i in range(0, len(data) - 2, 3) if data[i] == 255 and data[i + 1] == 0 and data[i + 2] == 0)

    def frame_rate(self):
        """The player's target frame rate: how often it draws."""
        if "-fps" in self.args:
            return float(self.args[self.args.index("-fps") + 1])
        return 120.0

    def check_repaint(self):
        """The help key twice: the red text must appear or go within
        REPAINT_SECONDS each time, proof that the main loop draws. The
        screen is taken first after two of the player's display periods, so
        that an overlay key sent just before has shown: otherwise the help
        key could cancel a help key not drawn yet, and nothing would change."""
        checks, retries = 0, 0
        while checks < 2:
            time.sleep(max(0.1, 2.5 / self.frame_rate()))
            before = self.red_count()
            if before is None or not self.alive():
                return
            sent = time.monotonic()
            self.xdotool("key", "h")
            changed = wait_for(lambda: not self.alive() or self.red_count() not in (before, None),
                               REPAINT_SECONDS, 0.05)
            if not self.alive():
                return
            if not changed and self.watch.stalled_since(sent) and retries < STALL_RETRIES:
                retries += 1  # the key may have shown by now or not: this check again
                continue
            if not changed:
                raise MonkeyFailure("hang", "no repaint within %g s of the help key (red pixels stayed %d); %s"
                                    % (REPAINT_SECONDS, before, self.hang_evidence(before)))
            checks += 1

    def hang_evidence(self, before):
        """What tells a player that is stuck from one that is slow: whether
        the repaint comes later, its threads' states, the keyboard focus."""
        began = time.monotonic()
        late = wait_for(lambda: not self.alive() or self.red_count() not in (before, None), 20, 0.2)
        states = []
        for tid in sorted(os.listdir("/proc/%d/task" % self.player.proc.pid) if self.alive() else []):
            try:
                with open("/proc/%d/task/%s/stat" % (self.player.proc.pid, tid)) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                with open("/proc/%d/task/%s/wchan" % (self.player.proc.pid, tid)) as f:
                    states.append("%s:%s/%s" % (tid, fields[0], f.read().strip()))
            except OSError:
                pass
        focus = self.xs.run(["xdotool", "getwindowfocus"]).stdout.decode().strip()
        return "%s; threads %s; focus %s, window %s" % (
            "repainted %.1f s later" % (time.monotonic() - began) if late else "no repaint 20 s later either",
            " ".join(states), focus, self.player.window)

    def check_rss(self):
        try:
            with open("/proc/%d/status" % self.player.proc.pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            return
        self.rss_peak = max(self.rss_peak, rss)
        if time.monotonic() - self.started < RSS_GRACE_SECONDS:
            return
        if self.rss_base is None:
            self.rss_base = rss
        elif rss > RSS_GROWTH * self.rss_base:
            raise MonkeyFailure("rss", "resident size %d kB, %d kB after the first minute" % (rss, self.rss_base))

    def close(self):
        self.player.close()


# --------------------------------------------------------------------------
# Sessions.

class Session:
    def __init__(self, halvview, out, seed):
        xharness.HALVVIEW = os.path.abspath(halvview)
        self.out = out
        self.seed = seed
        shutil.rmtree(os.path.join(out, "work"), ignore_errors=True)  # a run before this one's
        os.makedirs(os.path.join(out, "work"))
        self.work = Workdir(os.path.join(out, "work"))
        self.xs = XServer(self.work, *SCREEN)
        self.xs.start()
        self.xs.env = sanitizer_environment(self.xs.env)
        self.movies = write_movies(self.work)
        self.watch = StallWatch(log)
        self.xs.run = watched_run(self.xs, self.watch)
        self.model = ModeModel()
        self.runs = 0
        self.events = 0
        self.rss_peak = 0

    def stop(self):
        self.watch.stop()
        self.xs.stop()

    def clean_screenshots(self):
        for name in os.listdir(self.work.path):
            if name.endswith(".png"):
                os.unlink(self.work.file(name))

    def play(self, run, events, pause, probe_every, deadline=None, model=True):
        """Sends events until they run out, the deadline passes or the
        player ends; checks as it goes. Returns when the run has ended or
        should be ended by the caller."""
        last_probe = last_rss = time.monotonic()
        if run.ended:
            return
        for event in events:
            if deadline is not None and time.monotonic() > deadline:
                return
            run.send(event)
            self.events += 1
            if model:
                self.model.apply(event)
            time.sleep(pause)
            if not run.check_running():
                return
            now = time.monotonic()
            if now - last_rss > 5:
                run.check_rss()
                last_rss = now
            if now - last_probe > probe_every:
                run.check_repaint()
                self.clean_screenshots()
                last_probe = time.monotonic()
                if not run.check_running():
                    return

    def finish(self, run):
        """Ends a run that is still going with q, checking what it left."""
        if run.alive() and not run.ended:
            run.check_repaint()
            run.exit("q")
        elif not run.ended:
            run.check_end(run.player.proc.wait(), asked=False)
        self.rss_peak = max(self.rss_peak, run.rss_peak)

    def random_session(self, seconds, pause=0.03, probe_every=4.0):
        rng = random.Random(self.seed)
        source = EventSource(rng)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            movie, args = start_options(rng, self.movies)
            self.runs += 1
            log("run %d: %s %s" % (self.runs, " ".join(args), movie))
            run = None
            try:
                run = Run(self.xs, self.movies, movie, args, self.runs, self.watch)
                self.model.start(args, movie == "stereo")

                def events():
                    while True:
                        yield source.next()
                self.play(run, events(), pause, probe_every, deadline)
                self.finish(run)
            except MonkeyFailure as failure:
                self.report(failure, run, movie, args)
                return 1
            finally:
                if run:
                    run.close()
        return 0

    def report(self, failure, run, movie, args):
        events = run.events if run else []
        record = {"seed": self.seed, "run": self.runs, "start": {"movie": movie, "args": args},
                  "events": events, "kind": failure.kind, "detail": failure.detail}
        path = os.path.join(self.out, "failure-seed%d-run%d.json" % (self.seed, self.runs))
        with open(path, "w") as f:
            json.dump(record, f, indent=1)
        log("FAILURE (%s) in run %d of seed %d: %s" % (failure.kind, self.runs, self.seed, failure.detail))
        log("start: %s %s" % (" ".join(args), movie))
        log("last %d events:" % LAST_EVENTS)
        for e in events[-LAST_EVENTS:]:
            log("  " + json.dumps(e))
        log("replay: %s --halvview %s --replay %s [--shrink]" % (sys.argv[0], xharness.HALVVIEW, path))

    def replay(self, start, events, pause=0.03):
        """Runs one player on `start` with `events`, then ends it; returns
        the failure's kind, or None."""
        self.runs += 1
        run = None
        try:
            run = Run(self.xs, self.movies, start["movie"], start["args"], self.runs, self.watch)
            self.play(run, events, pause, probe_every=2.0, model=False)
            self.finish(run)
            return None
        except MonkeyFailure as failure:
            log("  %s: %s" % (failure.kind, failure.detail.splitlines()[0][:200]))
            return failure.kind
        finally:
            if run:
                run.close()
            self.clean_screenshots()


def coverage_lines(model):
    pairs = monkey_core.all_pairs()
    missing_modes = sorted(set(monkey_core.MODES) - model.seen)
    return ["modes reached: %d of %d%s" % (len(model.seen), len(monkey_core.MODES),
                                          (" (not: %s)" % ", ".join(missing_modes)) if missing_modes else ""),
            "pairs of modes on together: %d of %d" % (len(model.pairs & pairs), len(pairs))]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--halvview", required=True)
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--out", default=None, help="folder for the work files and failure records")
    ap.add_argument("--cpu", type=int, default=None, help="run the player, Xvfb and tools on this core only")
    ap.add_argument("--replay", default=None, help="a failure record to run again")
    ap.add_argument("--shrink", action="store_true", help="with --replay: cut the events down")
    ap.add_argument("--budget", type=int, default=60, help="replays --shrink may make")
    opts = ap.parse_args()

    missing = missing_tools()
    if missing:
        print("skipped: %s not found" % ", ".join(missing))
        return SKIPPED
    if opts.cpu is not None:
        os.sched_setaffinity(0, {opts.cpu})
    out = opts.out or Workdir().path
    if opts.out:
        os.makedirs(out, exist_ok=True)
    seed = opts.seed if opts.seed is not None else random.SystemRandom().randrange(1 << 31)

    if opts.replay:
        with open(opts.replay) as f:
            record = json.load(f)
        session = Session(opts.halvview, os.path.join(out, "replay-%d" % os.getpid()), record.get("seed", 0))
        try:
            kind = session.replay(record["start"], record["events"])
            log("replay of %d events: %s" % (len(record["events"]), kind or "no failure"))
            if not (opts.shrink and kind):
                return 1 if kind else 0

            def fails(events):
                return session.replay(record["start"], events) == kind
            shrunk = shrink(record["events"], fails, opts.budget)
            record["events"] = shrunk
            path = os.path.splitext(opts.replay)[0] + ".shrunk.json"
            with open(path, "w") as f:
                json.dump(record, f, indent=1)
            log("shrunk to %d events: %s" % (len(shrunk), path))
            for e in shrunk:
                log("  " + json.dumps(e))
            return 1
        finally:
            session.stop()

    log("monkey: seed %d, %g seconds, work in %s" % (seed, opts.seconds, out))
    session = Session(opts.halvview, out, seed)
    began = time.monotonic()
    try:
        status = session.random_session(opts.seconds)
    finally:
        session.stop()
    log("monkey: seed %d, %.0f s, %d runs, %d events, peak resident size %d kB"
        % (seed, time.monotonic() - began, session.runs, session.events, session.rss_peak))
    for line in coverage_lines(session.model):
        log("monkey: " + line)
    return status


if __name__ == "__main__":
    sys.exit(main())
