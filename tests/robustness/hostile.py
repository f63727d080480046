"""Shared helpers of the hostile-input drivers: runs of the programs, their
expected statuses and messages, and the case runner.

The pictures and movies come from tests/lib/halvfiles.py, written byte by
byte from the file formats, independently of the code under test.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
# One failure for the checks here and those of the X harness.
from xharness import Failure, check  # noqa: E402,F401
# valgrind_runs.sh writes its files with these names of the shared writer.
from halvfiles import movie_header, picture_header  # noqa: E402,F401
from halvfiles import uniform_picture as grey_picture  # noqa: E402,F401
from halvfiles import uniform_record as picture_record  # noqa: E402,F401
from halvfiles import uniform_scanline as rle_scanline  # noqa: E402,F401

SAN_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


class Skip(Exception):
    """The case cannot be made here (shown by CTest as skipped)."""


SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these drivers


# --- running ---------------------------------------------------------------

class Run:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __str__(self):
        return "status %s\n--- stderr ---\n%s" % (self.status, self.err.decode(errors="replace"))


def run(argv, cwd=None, timeout=60, stdin=subprocess.DEVNULL, env=None, **kw):
    try:
        p = subprocess.run(argv, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout, env=env, **kw)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %d s (hangs?)" % (argv, timeout))
    r = Run(p.returncode, p.stdout, p.stderr)
    text = r.err.decode(errors="replace")
    check(not any(m in text for m in SAN_MARKERS), "sanitizer report", r)
    return r


def expect(r, status, *messages):
    """Exit status and messages that must appear, in order, on stderr."""
    check(r.status == status, "expected status %d" % status, r)
    text = r.err.decode(errors="replace")
    pos = 0
    for m in messages:
        i = text.find(m, pos)
        check(i >= 0, "expected message %r (in this order)" % m, r)
        pos = i + len(m)


def main(cases, tools=()):
    """Runs the cases named on the command line (every case without names),
    each in a fresh folder; --list prints the names. Without one of the
    programs `tools` on PATH, no case runs: the run is skipped."""
    if sys.argv[1:] == ["--list"]:
        print(";".join(sorted(cases)))
        return 0
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("skipped: needs %s" % ", ".join(missing))
        return SKIPPED
    names = sys.argv[1:] or sorted(cases)
    failed = skipped = 0
    for name in names:
        with tempfile.TemporaryDirectory(prefix="halvorn-hostile-") as tmp:
            os.chmod(tmp, 0o755)
            try:
                cases[name](tmp)
                print("ok   %s" % name)
            except Skip as e:
                skipped += 1
                print("skip %s: %s" % (name, e))
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (name, e))
    if failed:
        return 1
    return SKIPPED if skipped == len(names) else 0
