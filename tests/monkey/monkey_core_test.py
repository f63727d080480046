#!/usr/bin/env python3
"""Unit tests of the monkey driver's own logic: the weighting of events,
the coverage the weights reach, the player's messages, shrinking and the
heartbeat that tells a stalled machine."""
import collections
import math
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import monkey_core  # noqa: E402
from monkey_core import EventSource, ModeModel, Weighted, shrink, start_options  # noqa: E402
import monkey  # noqa: E402


class WeightingTest(unittest.TestCase):
    def test_picks_in_proportion_to_the_weights(self):
        rng = random.Random(7)
        w = Weighted([("a", 1), ("b", 3), ("never", 0), ("c", 6)])
        counts = collections.Counter(w.pick(rng) for _ in range(20000))
        self.assertEqual(counts["never"], 0)
        for item, share in (("a", 0.1), ("b", 0.3), ("c", 0.6)):
            self.assertAlmostEqual(counts[item] / 20000, share, delta=0.015)

    def test_a_seed_gives_the_same_events(self):
        a, b = EventSource(random.Random(42)), EventSource(random.Random(42))
        self.assertEqual([a.next() for _ in range(500)], [b.next() for _ in range(500)])

    def test_exits_are_rare_and_every_key_comes(self):
        source = EventSource(random.Random(3))
        events = [source.next() for _ in range(50000)]
        exits = sum(1 for e in events if e[0] == "exit")
        self.assertTrue(0 < exits < 200, exits)  # a run lasts hundreds of events
        keys = {e[1] for e in events if e[0] == "key"}
        self.assertEqual(keys, {k for k, _ in monkey_core.KEYS})

    def test_the_weights_reach_every_mode_and_pair(self):
        # The runs of a ten-minute session as the driver makes them: start
        # options, then events until an exit, in the model of the modes.
        rng = random.Random(11)
        source = EventSource(rng)
        model = ModeModel()
        for _ in range(40):
            movie, args = start_options(rng, ["mono", "stereo", "single"])
            model.start(args, movie == "stereo")
            for _ in range(300):
                event = source.next()
                if event[0] == "exit":
                    break
                model.apply(event)
        self.assertEqual(model.seen, set(monkey_core.MODES))
        self.assertEqual(model.pairs & monkey_core.all_pairs(), monkey_core.all_pairs())

    def test_the_model_follows_the_keys(self):
        model = ModeModel()
        model.start(["-t", "-i"], stereo=False)
        for name in ("T", "F2", "l", "l", "k"):
            model.apply(["key", name])
        on = {m for m, v in model.state.items() if v}
        self.assertEqual(on, {"loop:pingpong", "histogram"})
        self.assertIn(("info", "tonemap"), model.pairs)


class StartTest(unittest.TestCase):
    def test_every_option_and_movie_comes_up(self):
        rng = random.Random(5)
        starts = [start_options(rng, ["mono", "stereo", "corrupt"]) for _ in range(400)]
        self.assertEqual({m for m, _ in starts}, {"mono", "stereo", "corrupt"})
        words = {w for _, args in starts for w in args}
        for option in ("-t", "-A", "-a", "-i", "-m", "-d", "-f", "-F", "-j", "-R", "-fps"):
            self.assertIn(option, words)
        # -f and -F exclude each other; an option's value follows it.
        for _, args in starts:
            self.assertFalse("-f" in args and "-F" in args, args)
            for option in ("-j", "-R", "-fps"):
                if option in args:
                    self.assertTrue(args[args.index(option) + 1].isdigit(), args)

    def test_pointer_places(self):
        source = EventSource(random.Random(9))
        places = [source.place() for _ in range(5000)]
        self.assertTrue(all(-0.3 <= x <= 1.3 and -0.3 <= y <= 1.3 for x, y in places))
        timeline = sum(1 for _, y in places if y == 0.995) / len(places)
        outside = sum(1 for x, y in places if not (0 <= x <= 1 and 0 <= y <= 1)) / len(places)
        self.assertAlmostEqual(timeline, 0.3, delta=0.03)
        self.assertTrue(0.03 < outside < 0.1, outside)


class MoviesTest(unittest.TestCase):
    def test_the_movies_the_runs_choose_from(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        movies = monkey.write_movies(monkey.Workdir(folder))
        frames = {}
        for name, path in movies.items():
            with open(path, "rb") as f:
                data = f.read()
            width, height, fmt, eyes, nframes = struct.unpack("<hhBBxxi", data[:12])
            record = 16 + 4 * width * height
            frames[name] = (nframes, eyes, (len(data) - 12) / (record * eyes))
            stats = [struct.unpack("<dd", data[12 + k * record:28 + k * record])
                     for k in range(int(frames[name][2]) * eyes)]
            bad = sum(1 for m, l in stats if not (math.isfinite(m) and m > 0 and math.isfinite(l) and l > 0))
            self.assertEqual(bad > 0, name == "corrupt", name)
        self.assertEqual({n: f[:2] for n, f in frames.items()},
                         {"mono": (12, 1), "stereo": (8, 2), "truncated": (10, 1), "corrupt": (10, 1),
                          "single": (1, 1)})
        self.assertTrue(5 < frames["truncated"][2] < 6)

    def test_no_pixel_can_show_in_the_help_overlays_red(self):
        # Green and blue at least half of red: at any exposure, red at full
        # white leaves them far above black.
        for frame in range(12):
            for r, g, b, _ in monkey.picture(64, 48, frame, frame % 2):
                self.assertGreaterEqual(min(g, b), r // 2)


class MessagesTest(unittest.TestCase):
    def test_every_message_of_the_player_is_known(self):
        for line in ("Image size is 64 by 48", "The movie should contain 12 frames",
                     "The lower left corner is at (-0.266667,-0.133333)", "The lower left corner is at (-1,-1)",
                     "The format is 48", "Colour buffer 8/8/8 bits: upload 8-bit BGRA bytes",
                     "Converting on 1 thread", "Converting on 2 threads",
                     "Framerate - Local 118.3 fps, Global: 119.9 fps (Target: 120)",
                     "Framerate - Local 4.9 fps, Global: 5.0 fps (Target: 0.01)",
                     "Probe: Pixel (18, 29): scene 0.7344 1.094 1.453, lum 1.043; shown 0.7076 1.054 1.4",
                     "Probe: Pixel (0, 0) right: scene 1e-06 1e-06 1e-06, lum 1e-06; shown 0 0 0",
                     "Error reading Maximum Lum in scene data", "Error reading the Log Average in scene data",
                     "Error reading image data", "Failed to read rgbe buffer, frame 6",
                     "Got unexpected frame difference", "/tmp/w/single-00000-17.png"):
            self.assertEqual(monkey_core.unknown_lines(line), [], line)
        for line in ("The format is 47", "Probe: nothing", "Seek to frame -1", "Segmentation fault",
                     "xgamma: not found", "a.png"):
            self.assertEqual(monkey_core.unknown_lines(line), [line], line)

    def test_known_and_unknown_lines(self):
        text = ("Image size is 64 by 48\nSeek to frame 3\n"
                "Probe: Pixel (3, 40) left: scene 0.5 0.25 0.125, lum 0.2941; shown 0.5 0.25 0.125\n"
                "Framerate - Local 24.1 fps, Global: 23.9 fps (Target: 120)\n"
                "/tmp/w/mono-00003.png\nsomething else\nFrame 12 cannot be read, staying on frame 5\n")
        self.assertEqual(monkey_core.unknown_lines(text), ["something else"])

    def test_sanitizer_reports(self):
        self.assertIsNone(monkey_core.sanitizer_report("Seek to frame 3\n"))
        self.assertIn("runtime error", monkey_core.sanitizer_report("a\nx.cpp:3:5: runtime error: shift\n"))
        self.assertTrue(monkey_core.sanitizer_report("WARNING: ThreadSanitizer: data race (pid=1)"))


class ShrinkTest(unittest.TestCase):
    def test_cuts_down_to_the_events_that_matter_in_order(self):
        events = list(range(100))
        calls = []

        def fails(candidate):
            calls.append(1)
            return 17 in candidate and 64 in candidate and candidate.index(17) < candidate.index(64)
        self.assertEqual(shrink(events, fails), [17, 64])
        self.assertLess(len(calls), 100)

    def test_keeps_within_its_budget(self):
        calls = []

        def fails(candidate):
            calls.append(1)
            return len(candidate) >= 30
        result = shrink(list(range(200)), fails, budget=10)
        self.assertLessEqual(len(calls), 10)
        self.assertTrue(fails(result))

    def test_a_failure_that_needs_every_event_stays_whole(self):
        events = ["a", "b", "c"]
        self.assertEqual(shrink(events, lambda c: c == events), events)

    def test_one_event_is_never_dropped_to_none(self):
        self.assertEqual(shrink(["a"], lambda c: True), ["a"])
        self.assertEqual(shrink(["a", "b"], lambda c: True), ["b"])


# A process that the test stops for 1.5 s, as a stalled machine stops every
# process: it prints whether its watch saw no stall before, the stall, and
# no stall after it, and the stalls' lengths.
STALLED_CHILD = """
import sys, time
sys.path.insert(0, %r)
from monkey_core import StallWatch
watch = StallWatch()
time.sleep(0.5)
quiet = not watch.stalled_since(time.monotonic() - 0.5)
began = time.monotonic()
print("ready", flush=True)
sys.stdin.readline()
time.sleep(0.3)
print(quiet, watch.stalled_since(began), not watch.stalled_since(time.monotonic()),
      " ".join("%%.1f" %% (e - b) for b, e in watch.stalls))
""" % os.path.dirname(os.path.abspath(__file__))


class StallWatchTest(unittest.TestCase):
    def test_a_process_held_back_sees_the_stall_and_only_it(self):
        child = subprocess.Popen([sys.executable, "-c", STALLED_CHILD], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline().strip(), "ready")
        child.send_signal(signal.SIGSTOP)
        time.sleep(1.5)
        child.send_signal(signal.SIGCONT)
        out, _ = child.communicate("go\n", timeout=30)
        fields = out.split()
        self.assertEqual(fields[:3], ["True", "True", "True"], out)  # quiet before, the stall, quiet after
        self.assertEqual(len(fields), 4, out)  # one stall
        self.assertGreaterEqual(float(fields[3]), 1.4)


if __name__ == "__main__":
    unittest.main()
