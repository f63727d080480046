"""The monkey driver's logic that needs no display: the weighted catalogue
of events, the model of the player's modes that the events reach, the
start-up choices, the messages the player may print, the shrinking of an
event list that fails to a short one that still fails, and a heartbeat that
tells when the machine itself stalls.

An event is a list that JSON keeps as it is:
  ["key", name]            a key through xdotool (its keysym name)
  ["move", fx, fy]         the pointer to a place in the window (fractions of
                           its width and height; past 1 is outside it)
  ["click", button, fx, fy]
  ["drag", fx0, fx1, steps] a left-button drag along the timeline bar
  ["resize", w, h]          the window to w x h pixels
  ["exit", how]             "q", "Q", "Escape", "close" (the window manager's
                            close message), "term" or "int" (signals)
Python 3 standard library only.
"""
import bisect
import itertools
import re
import threading
import time

# Keys, with the mode they toggle (None: none) and their weight. Letters come
# in both cases; a few keys the player does not know are mixed in.
KEYS = [
    # stepping, seeking
    ("1", 4), ("exclam", 1), ("Home", 2), ("End", 2), ("period", 6), ("greater", 2), ("Right", 4),
    ("comma", 6), ("less", 2), ("Left", 4), ("bracketleft", 4), ("bracketright", 4),
    # exposure and bias
    ("plus", 2), ("equal", 2), ("minus", 2), ("underscore", 2), ("Prior", 2), ("Next", 2),
    # modes
    ("t", 5), ("T", 1), ("a", 5), ("A", 1), ("c", 5), ("C", 1), ("k", 5), ("K", 1), ("i", 5), ("I", 1),
    ("F2", 1), ("h", 2), ("H", 1), ("F1", 1), ("g", 6), ("G", 1), ("m", 2), ("M", 1), ("l", 5), ("L", 1),
    ("r", 5), ("R", 1),
    # a screenshot of the frame
    ("s", 1),
    # comparing (with -c; nothing without it): the sides the keys act on,
    # the view, the swap, the eye
    ("Tab", 3), ("v", 3), ("x", 2), ("e", 1),
    # keys the player does not know
    ("z", 1), ("space", 1), ("Up", 1), ("Down", 1), ("F5", 1), ("BackSpace", 1),
    ("Return", 1), ("ctrl+t", 1),
]

TOGGLES = {"t": "tonemap", "a": "lookahead", "c": "clipping", "k": "histogram", "i": "info", "F2": "info",
           "h": "help", "F1": "help", "g": "autoplay", "m": "cursor", "r": "reverse"}

EXITS = [("q", 2), ("Q", 1), ("Escape", 2), ("close", 2), ("term", 1), ("int", 1)]

# Kinds of event and their weights: keys most, the pointer next, the
# window's size and the ways out rarely (an exit ends the player's run).
KINDS = [("key", 100), ("move", 30), ("click", 10), ("drag", 8), ("resize", 2), ("exit", 0.15)]

# The modes the coverage counts. Stereo and full screen are chosen at start.
MODES = ("tonemap", "lookahead", "clipping", "histogram", "info", "help", "autoplay", "cursor", "reverse",
         "loop:once", "loop:pingpong", "stereo", "fullscreen")
EXCLUSIVE = {frozenset(("loop:once", "loop:pingpong"))}
LOOPS = ("loop", "loop:once", "loop:pingpong")


class Weighted:
    """Picks items in proportion to their weights with a random.Random."""

    def __init__(self, pairs):
        self.items = [item for item, _ in pairs]
        self.cumulative = list(itertools.accumulate(float(w) for _, w in pairs))
        if not self.items or self.cumulative[-1] <= 0:
            raise ValueError("no item has a weight")

    def pick(self, rng):
        x = rng.random() * self.cumulative[-1]
        return self.items[min(bisect.bisect_right(self.cumulative, x), len(self.items) - 1)]


class EventSource:
    """Events drawn from one random.Random in a fixed way, so that a seed
    gives the same events whatever the player does with them."""

    def __init__(self, rng, kinds=KINDS, keys=KEYS, exits=EXITS):
        self.rng = rng
        self.kinds = Weighted(kinds)
        self.keys = Weighted(keys)
        self.exits = Weighted(exits)

    def place(self):
        """A place for the pointer: mostly inside the window, on the timeline
        bar often, a little outside it at times."""
        r = self.rng
        where = r.random()
        if where < 0.3:
            return [round(r.uniform(0, 1), 3), 0.995]  # the timeline bar's rows
        if where < 0.9:
            return [round(r.uniform(0, 1), 3), round(r.uniform(0, 1), 3)]
        return [round(r.uniform(-0.3, 1.3), 3), round(r.uniform(-0.3, 1.3), 3)]

    def next(self):
        r = self.rng
        kind = self.kinds.pick(r)
        if kind == "key":
            return ["key", self.keys.pick(r)]
        if kind == "move":
            return ["move"] + self.place()
        if kind == "click":
            return ["click", 1 if r.random() < 0.8 else r.choice((2, 3, 4, 5))] + self.place()
        if kind == "drag":
            return ["drag", round(r.uniform(-0.2, 1.2), 3), round(r.uniform(-0.2, 1.2), 3), r.randint(2, 8)]
        if kind == "resize":
            return ["resize", r.randint(64, 400), r.randint(48, 300)]
        return ["exit", self.exits.pick(r)]


def start_options(rng, movies):
    """The movie and the command line of a player's run: each option on or
    off at random, the movie from `movies` (names)."""
    movie = rng.choice(sorted(movies))
    args = []
    for flag, chance in (("-t", 0.4), ("-A", 0.3), ("-a", 0.5), ("-i", 0.5), ("-m", 0.2), ("-d", 0.8)):
        if rng.random() < chance:
            args.append(flag)
    screen = rng.random()
    if screen < 0.1:
        args.append("-f")
    elif screen < 0.2:
        args.append("-F")
    if rng.random() < 0.25:
        args += ["-j", "1"]
    if rng.random() < 0.3:
        args += ["-R", str(rng.choice((0, 1, 3, 20)))]
    if rng.random() < 0.2:
        args += ["-fps", str(rng.choice((5, 30, 1000)))]
    if rng.random() < 0.3:
        args += ["-cache", rng.choice(("0", "64K", "1M"))]
    if rng.random() < 0.2:
        args += ["-c", movie]  # side B: the same movie, by name here (the driver passes its path)
    return movie, args


class ModeModel:
    """The player's modes as the keys sent set them: what the driver
    believes is on, and every mode and pair of modes that has been on
    together. A belief only: a key the player lost, or autoplay stopping at
    the end of a play-once movie, makes it drift until the next start."""

    def __init__(self):
        self.seen = set()
        self.pairs = set()
        self.state = {}

    def start(self, args, stereo):
        self.state = {m: False for m in MODES}
        self.state["tonemap"] = "-t" in args
        self.state["lookahead"] = "-A" in args
        self.state["autoplay"] = "-a" in args
        self.state["info"] = "-i" in args
        self.state["cursor"] = "-m" in args
        self.state["stereo"] = stereo
        self.state["fullscreen"] = "-f" in args or "-F" in args
        self.loop = 0
        self.note()

    def apply(self, event):
        if event[0] != "key":
            return
        name = event[1]
        mode = TOGGLES.get(name if name.startswith("F") else name.lower())
        if mode:
            self.state[mode] = not self.state[mode]
        elif name in ("l", "L"):
            self.loop = (self.loop + 1) % 3
            self.state["loop:once"] = self.loop == 1
            self.state["loop:pingpong"] = self.loop == 2
        self.note()

    def note(self):
        on = sorted(m for m, v in self.state.items() if v)
        self.seen.update(on)
        self.pairs.update(itertools.combinations(on, 2))


def all_pairs():
    return {p for p in itertools.combinations(sorted(MODES), 2) if frozenset(p) not in EXCLUSIVE}


# Every line the player may print on the standard error: start-up's -d
# lines, the timing line, seeks and probes, failed reads, screenshots.
KNOWN_MESSAGES = [re.compile(p) for p in (
    r"(Side B: )?Image size is \d+ by \d+",
    r"(Side B: )?The movie should contain \d+ frames",
    r"Frame cache: [\d.]+ MiB for \d+ frames? of [\d.]+ MiB",
    r"Side B: (Error reading Maximum Lum in scene data|Error reading the Log Average in scene data|"
    r"Error reading image data|Failed to read rgbe buffer, frame -?\d+)",
    r"Side B cannot be read: going on with side A alone",
    r"Side [AB]: \d+ frames made ahead and shown, \d+ thrown away, \d+ shown again from the cache",
    r"Probe: [AB] Pixel \(\d+, \d+\)( left| right)?: scene \S+ \S+ \S+, lum \S+; shown \S+ \S+ \S+",
    r"The lower left corner is at \(-?[\d.e+-]+,-?[\d.e+-]+\)",
    r"The format is 48",
    r"Colour buffer \d+/\d+/\d+ bits: upload (8-bit BGRA bytes|32-bit float RGB)",
    r"Converting on \d+ threads?",
    r"Framerate - Local [\d.]+ fps, Global: [\d.]+ fps \(Target: [\d.e+]+\)",
    r"Seek to frame \d+",
    r"Probe: Pixel \(\d+, \d+\)( left| right)?: scene \S+ \S+ \S+, lum \S+; shown \S+ \S+ \S+",
    r"Frame -?\d+ cannot be read, staying on frame \d+",
    r"Error reading Maximum Lum in scene data",
    r"Error reading the Log Average in scene data",
    r"Error reading image data",
    r"Failed to read rgbe buffer, frame -?\d+",
    r"Got unexpected frame difference",
    r".+-\d{5}(-\d+)?\.png",
)]

SANITIZER = re.compile(r"(ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:|"
                       r"SUMMARY: \w+Sanitizer|ThreadSanitizer:|AddressSanitizer:)")


def sanitizer_report(text):
    """The first line of a sanitizer's report in `text`, or None."""
    for line in text.splitlines():
        if SANITIZER.search(line):
            return line
    return None


def unknown_lines(text):
    """The lines of `text` that are none of the player's messages."""
    return [line for line in text.splitlines() if not any(p.fullmatch(line) for p in KNOWN_MESSAGES)]


def shrink(events, fails, budget=200):
    """A shorter list of events, in the same order, for which fails(list)
    still holds (delta debugging: drop ever smaller chunks while the rest
    fails). `fails(events)` must hold; at most `budget` calls are made."""
    current = list(events)
    calls = 0
    chunks = 2
    while len(current) >= 2 and calls < budget:
        size = (len(current) + chunks - 1) // chunks
        reduced = False
        for start in range(0, len(current), size):
            candidate = current[:start] + current[start + size:]
            calls += 1
            if candidate and fails(candidate):
                current = candidate
                chunks = max(chunks - 1, 2)
                reduced = True
                break
            if calls >= budget:
                break
        if not reduced:
            if size == 1:
                break
            chunks = min(chunks * 2, len(current))
    return current


STALL_SECONDS = 1.0  # a heartbeat this late means the machine stopped


class StallWatch:
    """A heartbeat thread that notices when the machine itself stops: a
    virtual machine whose processors are held back for seconds freezes the
    X server, the player and this driver alike, and a repaint or an answer
    that comes late then says nothing about the player."""

    def __init__(self, log=lambda line: None):
        self.log = log
        self.stalls = []  # (began, ended) in time.monotonic()
        self.last_beat = time.monotonic()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.beat, daemon=True)
        self.thread.start()

    def beat(self):
        while not self.stopping.wait(0.1):
            now = time.monotonic()
            if now - self.last_beat > STALL_SECONDS:
                self.note(self.last_beat, now, "this driver's heartbeat came late")
            self.last_beat = now

    def note(self, began, ended, why):
        """A stall seen some other way (a process the kernel held)."""
        self.stalls.append((began, ended))
        self.log("the machine stalled for %.1f s: %s" % (ended - began, why))

    def stalled_since(self, when):
        """Whether the machine stalled after `when`, or is stalled now (the
        caller may wake before the heartbeat does)."""
        return (time.monotonic() - self.last_beat > STALL_SECONDS or
                any(ended > when for _, ended in self.stalls))

    def stop(self):
        self.stopping.set()
