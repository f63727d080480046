#!/usr/bin/env python3
"""Unit tests of the monkey driver's own logic: the weighting of events,
the coverage the weights reach, the player's messages and shrinking."""
import collections
import os
import random
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import monkey_core  # noqa: E402
from monkey_core import EventSource, ModeModel, Weighted, shrink, start_options  # noqa: E402


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


class MessagesTest(unittest.TestCase):
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


if __name__ == "__main__":
    unittest.main()
