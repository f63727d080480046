#!/usr/bin/env python3
"""End-to-end tests of the halvview player in a real X server.

Usage: player_e2e.py --halvview PATH [--halvpack PATH] CASE...
Each case starts its own Xvfb, writes its own movies and checks what the
player prints, how it ends, what it asks of xgamma and what it shows.
Without Xvfb, xdotool, xwininfo or import it prints why and exits with
status 77, CTest's skip code.
"""
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'lib'))

import xharness  # noqa: E402
from xharness import (GREEN, RED, TIMELINE, Failure, Player, Workdir, XServer, check, log,  # noqa: E402
                      missing_tools, wait_for)
from halvfiles import (f32, float_to_rgbe, movie_header, movie_record, rgbe_picture,  # noqa: E402
                       write_file, write_movie)
from expected import (Adaptation, pattern, plain_expected, tonemap_expected,  # noqa: E402
                      uniform_picture)

HALVPACK = None  # the builder's path (--halvpack), for the halvpack case
UPLOAD_CHECK = None  # the upload probe's path (--upload-check)
SKIPPED = 77  # CTest's skip code

CASES = {}


def case(name):
    def register(fn):
        CASES[name] = fn
        return fn
    return register


GAMMA_BOTH = ['-gamma 2.2', '-gamma 1']

# Small pictures keep runs fast; both sides are multiples of 3 so that the
# tone mapper's 3 x 3 blocks tile the picture.
W, H = 48, 36


def help_text():
    """The help text: two headings and entries whose key is right-aligned
    in 26 columns, then 6 spaces and the description."""
    entries1 = [('-h', 'this text'), ('-i', 'show frame information'),
                ('-t', 'tone mapping'), ('-f', 'full screen mode'),
                ('-b', 'byte swap for other endian machines'), ('-m', 'hide mouse'),
                ('-a', 'start in play mode'), ('-fps n', 'target frames per second')]
    entries2 = [('t', 'toggle tone mapping'), ('g', 'toggle autoplay'),
                ('m', 'toggle mouse display'), ('h,f1', 'toggle help screen'),
                ('i,f2', 'toggle info screen'), ('q,esc', 'quit'),
                ('ight arrows', 'forward one frame'),
                ('-,+', 'Adjust exposure (shift=smooth)'), ('1', 'first frame')]
    lines = ['Command line options']
    lines += ['%26s      %s' % e for e in entries1]
    lines += ['Key Strokes and Menus:']
    lines += ['%26s      %s' % e for e in entries2]
    return ''.join(line + '\n' for line in lines)


def added_text():
    """The second block: the options and keys added since, with their headings."""
    blocks = [('Look-ahead adaptation', [('-A', 'look-ahead adaptation on'),
                                         ('-R n', 'look-ahead window, n frames each side (6)'),
                                         ('-j N', 'N threads convert frames (one per core)'),
                                         ('-cache SIZE', 'bytes of frames kept ready (K, M, G)'),
                                         ('a', 'toggle look-ahead adaptation')]),
              ('Looking inside and moving through the movie',
               [('mouse', 'pixel probe (info screen on)'), ('c', 'toggle clipping view'),
                ('k', 'toggle histogram'), ('click bar', 'go to that frame (info screen on)'),
                ('home,end', 'first, last frame'), ('[,]', 'back, forward 10 frames'),
                ('l', 'loop, play once, ping-pong'), ('r', 'reverse playing direction')]),
              ('Saving what is shown', [('s', 'screenshot: NAME-FFFFF.png, gamma 2.2')]),
              ('Comparing two movies',
               [('-c FILE', 'compare with FILE, side B'), ('tab', 'settings keys act on both, A, B'),
                ('v', 'wipe, side by side, difference, toggle'), ('x', 'swap A and B'),
                ('e', 'eye of a pair both sides show'), ('drag', 'move the wipe line')])]
    lines = []
    for heading, entries in blocks:
        lines += [heading] + ['%26s      %s' % e for e in entries]
    return ''.join(line + '\n' for line in lines)


def usage_text(program):
    return 'Usage: %s [command line options] moviefile\n%s\n%s' % (program, help_text(), added_text())


def movie(work, name, count=4, width=W, height=H, **kw):
    frames = [[pattern(width, height, k)] for k in range(count)]
    path = write_movie(work.file(name), width, height, frames, **kw)
    return path, [f[0] for f in frames]


def start_failure(xs, args, message, status=255, gamma=GAMMA_BOTH, what=None):
    """Runs the player to a start-up failure and checks the whole of what it
    printed, its status and the gamma calls."""
    with Player(xs, args) as p:
        got = p.wait_exit(15)
        err = p.stderr()
        label = what or ' '.join(args)
        check(err == message, '%s: stderr %r, expected %r' % (label, err, message))
        check(got == status, '%s: status %s, expected %s' % (label, got, status))
        check(p.gamma() == gamma, '%s: gamma calls %s, expected %s' % (label, p.gamma(), gamma))


def open_window(xs, args, size=(W, H), place=True):
    """Starts the player and waits for its window of the given size."""
    p = Player(xs, args)
    try:
        p.wait_window(size)
        if place:
            p.place()
    except BaseException:
        p.close()
        raise
    return p


def end_with(p, how, *keys):
    """Ends the player with keys or a signal and checks the orderly end."""
    if keys:
        p.key(*keys)
    status = p.wait_exit(10)
    check(status == 0, '%s: status %s; stderr %s' % (how, status, p.stderr()))
    check(p.gamma() == GAMMA_BOTH, '%s: gamma calls %s' % (how, p.gamma()))


# --------------------------------------------------------------------------

@case('usage')
def test_usage(work):
    # No argument: usage and help, status -1, before any gamma change and
    # without a display.
    env = dict(os.environ)
    env.pop('DISPLAY', None)
    env['PATH'] = work.bin + os.pathsep + env.get('PATH', '')
    env['HALVTEST_GAMMA_LOG'] = work.file('noarg.gamma')
    for args in ([], ['--help']):  # -h or --help alone answers like no argument
        r = subprocess.run([xharness.HALVVIEW] + args, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        what = ' '.join(args) or 'no argument'
        check(r.returncode == 255, '%s: status %s' % (what, r.returncode))
        check(r.stderr.decode() == usage_text(xharness.HALVVIEW), '%s: stderr %r' % (what, r.stderr.decode()))
        check(r.stdout == b'', '%s: stdout %r' % (what, r.stdout))
        check(not os.path.exists(work.file('noarg.gamma')), '%s: xgamma was run' % what)

    path, _ = movie(work, 'm.hlv', 2)
    with XServer(work) as xs:
        # -h with a movie after it: usage, no gamma change, even when other
        # options come before or after it.
        for args in (['-h', path], ['-t', '-h', '-i', path]):
            start_failure(xs, args, usage_text(xharness.HALVVIEW), 255, [])
        # -h or --help alone: the usage too, not a movie's name.
        for args in (['-h'], ['--help']):
            start_failure(xs, args, usage_text(xharness.HALVVIEW), 255, [])
        missing = work.file('no-such.hlv')
        start_failure(xs, ['-i', missing], 'Failed to open movie file "%s"\n' % missing)
        # A file shorter than the header.
        short = work.file('short.hlv')
        with open(short, 'wb') as f:
            f.write(movie_header(W, H, 1)[:11])
        start_failure(xs, [short], 'Failed to read the header\n')


@case('header')
def test_header(work):
    bad_width = 'Movie width out of range (or bad header)\n'
    bad_height = 'Movie height out of range (or bad header)\n'
    no_frames = 'No frames found, bad header\n'
    bad_format = 'Movie format should be 48, bad header\n'
    record = movie_record(uniform_picture(16, 16, (100, 100, 100, 128)))

    def write(name, width, height, nframes, fmt=48, order='<', tail=b''):
        path = work.file(name)
        with open(path, 'wb') as f:
            f.write(movie_header(width, height, nframes, 1, fmt, order) + tail)
        return path

    with XServer(work) as xs:
        cases = [
            ('w15', (15, 20, 1), bad_width),
            ('w32000', (32000, 20, 1), bad_width),
            ('wneg', (-720, 20, 1), bad_width),
            ('h15', (20, 15, 1), bad_height),
            ('h32000', (20, 32000, 1), bad_height),
            ('hneg', (20, -3, 1), bad_height),
            ('n0', (20, 20, 0), no_frames),
            ('nneg', (20, 20, -4), no_frames),
            ('fmt47', (20, 20, 1, 47), bad_format),
            ('fmt0', (20, 20, 1, 0), bad_format),
            # Only the first failing check speaks.
            ('w15fmt', (15, 20, 1, 47), bad_width),
            ('h15fmt', (20, 15, 1, 47), bad_height),
            ('n0fmt', (20, 20, 0, 47), no_frames),
        ]
        for name, fields, message in cases:
            start_failure(xs, [write(name + '.hlv', *fields)], message, what=name)
        # With -d the diagnostics before the failing check come first.
        start_failure(xs, ['-d', write('dfmt.hlv', 20, 24, 3, 47)],
                      'Image size is 20 by 24\nThe movie should contain 3 frames\n'
                      'The lower left corner is at (-1,-1)\n' + bad_format, what='-d bad format')
        start_failure(xs, ['-d', write('dn0.hlv', 20, 24, 0)],
                      'Image size is 20 by 24\n' + no_frames, what='-d no frames')
        # -b on a little-endian file: 720 (D0 02) turns into -12286.
        le = write('le720.hlv', 720, 486, 1)
        start_failure(xs, ['-b', le], bad_width, what='-b on a little-endian file')
        # The smallest size is accepted: 16 x 16 opens a window.
        ok = write('w16.hlv', 16, 16, 1, tail=record)
        with open_window(xs, ['-d', ok], (16, 16), place=False) as p:
            check(p.size == (16, 16), '16 x 16 movie: window %s' % (p.size,))
            p.signal(signal.SIGTERM)
            end_with(p, '16 x 16 movie, SIGTERM')
            check(p.stderr().startswith('Image size is 16 by 16\n'), p.stderr())


@case('fps')
def test_fps(work):
    message = 'Target frame rate out of bounds [-fps], set to 30\n'
    missing = work.file('absent.hlv')
    opened = 'Failed to open movie file "%s"\n' % missing
    with XServer(work) as xs:
        for value in ('0.01', '1000', '60', '999.5'):
            start_failure(xs, ['-fps', value, missing], opened, what='-fps ' + value)
        for value in ('0.009', '1001', 'abc', 'nan', 'NAN', 'inf', '-inf', '-5', '0', '1e300', '60fps', ''):
            start_failure(xs, ['-fps', value, missing], message + opened, what='-fps ' + value)
        # -fps as the last option takes the movie's name as its value.
        start_failure(xs, ['-fps', missing], message + opened, what='-fps without value')

        # The rate is kept: with -d the frame-rate line reports it every 100
        # displays.
        path, _ = movie(work, 'm.hlv', 2)
        with open_window(xs, ['-d', '-fps', '250', path], place=False) as p:
            lines = wait_for(lambda: [l for l in p.stderr().splitlines()
                                      if l.startswith('Framerate')][1:], 10)
            check(lines, 'no frame-rate line after 200 displays: %r' % p.stderr())
            text = lines[0]
            check(text.endswith('(Target: 250)'), text)
            glob = float(text.split('Global: ')[1].split(' fps')[0])
            check(200 <= glob <= 252, 'global rate %s for a target of 250' % glob)
            p.signal(signal.SIGINT)
            end_with(p, 'SIGINT')


@case('diagnostics')
def test_diagnostics(work):
    # A full-size movie of 10 frames; frame 0 uniform.
    w, h = 720, 486
    path = work.file('big.hlv')
    colours = [(64 + 16 * k, 200 - 16 * k, 100, 128) for k in range(10)]
    with open(path, 'wb') as f:
        f.write(movie_header(w, h, 10))
        for c in colours:
            f.write(movie_record(uniform_picture(1, 1, c)) [:16] + bytes(c) * (w * h))
    with XServer(work, 800, 600) as xs:
        with open_window(xs, ['-d', path], (w, h), place=False) as p:
            check(p.size == (w, h), 'window %s, expected 720 x 486' % (p.size,))
            expect = ('Image size is 720 by 486\nThe movie should contain 10 frames\n'
                      'The lower left corner is at (-1,-1)\nThe format is 48\n')
            check(p.stderr().startswith(expect), 'diagnostics %r' % p.stderr())
            ox, oy = p.origin
            want = plain_expected([colours[0]])[0]

            def shown():
                shot = xs.screenshot()
                return all(shot.px(ox + x, oy + y) == want
                           for x, y in ((100, 100), (700, 20), (5, 480), (360, 243)))
            check(wait_for(shown), 'frame 0 of the 720 x 486 movie not shown')
            p.signal(signal.SIGTERM)
            end_with(p, 'SIGTERM')
        # A hidden window (no idle processing) still ends on SIGTERM.
        with open_window(xs, [path], (w, h), place=False) as p:
            xs.run(['xdotool', 'windowunmap', '--sync', str(p.window)])
            p.signal(signal.SIGTERM)
            end_with(p, 'SIGTERM while hidden')
        # The window closed by the window manager.
        with open_window(xs, [path], (w, h), place=False) as p:
            xs.send_wm_delete(p.window)
            end_with(p, 'window closed')
            check(p.stderr() == '', 'closing printed %r' % p.stderr())


@case('frames')
def test_frames(work):
    n = 4
    path, pics = movie(work, 'm.hlv', n)
    expected = [plain_expected(pic) for pic in pics]

    with XServer(work) as xs:
        with open_window(xs, [path]) as p:
            check(p.size == (W, H), 'window %s, expected %s' % (p.size, (W, H)))
            p.wait_picture(expected[0], W, H, 'frame 0')
            # Each key, then the frame it must lead to.
            steps = [('period', 1), ('Right', 2), ('greater', 3), ('period', 0),  # wrap
                     ('comma', 3),  # back from 0 wraps to the last frame
                     ('Left', 2), ('less', 1), ('1', 0), ('Right', 1), ('Right', 2),
                     ('exclam', 0), ('Left', 3), ('1', 0), ('1', 0)]
            for key, frame in steps:
                p.key(key)
                p.wait_picture(expected[frame], W, H, 'frame %d after %s' % (frame, key))
            end_with(p, 'q', 'q')

        # A one-frame movie steps onto itself; Escape quits.
        one, pics1 = movie(work, 'one.hlv', 1)
        with open_window(xs, [one]) as p:
            exp1 = plain_expected(pics1[0])
            p.wait_picture(exp1, W, H, 'frame 0 of a one-frame movie')
            for key in ('period', 'Left', '1'):
                p.key(key)
                p.wait_picture(exp1, W, H, 'one-frame movie after %s' % key)
            end_with(p, 'Escape', 'Escape')
            check(p.stderr() == '', 'stderr %r' % p.stderr())


def info_ok(pixels):
    """The info overlay's text starts at x = 10 and its first line stands
    on the row 10 above the window's bottom: the capitals of "Bias" fill
    rows 10 to 18 and nothing is drawn in the gap above them; only commas
    reach below."""
    ys = {y for _, y in pixels}
    first = [x for x, y in pixels if y <= 20]
    return (first and min(first) in (10, 11) and 10 in ys and 18 in ys and
            19 not in ys and 20 not in ys and min(ys) >= 8)


def wait_overlay(p, colour, present=True, timeout=8):
    def state():
        pixels = p.overlay_pixels(p.xs.screenshot(), colour)
        return (bool(pixels) == present) and (pixels or True)
    return wait_for(state, timeout)


@case('exposure')
def test_exposure(work):
    n = 4
    path, pics = movie(work, 'm.hlv', n)
    with XServer(work) as xs:
        with open_window(xs, [path]) as p:
            p.wait_picture(plain_expected(pics[0]), W, H, 'frame 0')
            # A change shows with the next frame read, not before: after '='
            # the info overlay is switched on as a marker that the key was
            # handled, and the picture around its text is still unchanged.
            p.key('equal', 'i')
            check(wait_overlay(p, GREEN), 'info overlay did not appear')
            shot = xs.screenshot()
            d = p.picture_diff(shot, plain_expected(pics[0]), W, H, skip=(GREEN,) + TIMELINE)
            check(d[0] <= 1, 'picture changed before a frame was read: %s' % (d,))
            p.key('i')
            check(wait_overlay(p, GREEN, False), 'info overlay did not go')

            exposure = f32(1.0)
            frame = 1
            p.key('period')
            p.wait_picture(plain_expected(pics[1], exposure), W, H, 'frame 1 at exposure +1')
            # Each key and the exposure it leaves: plain '+' and '-' come with
            # Shift from xdotool (0.1 steps), '=' and the keypad keys without.
            steps = [('plus', 0.1), ('minus', -1.0), ('minus', -1.0), ('underscore', -0.1),
                     ('KP_Add', 1.0), ('KP_Subtract', -1.0), ('shift+equal', 0.1),
                     ('KP_Subtract', -1.0)]
            for key, delta in steps:
                exposure = f32(exposure + delta)
                frame = (frame + 1) % n
                p.key(key, 'period')
                p.wait_picture(plain_expected(pics[frame], exposure), W, H,
                               'frame %d at exposure %.2f after %s' % (frame, exposure, key))
            # Several presses add up; rewinding reads with the new exposure.
            for _ in range(3):
                exposure = f32(exposure + 1.0)
            p.key('equal', 'equal', 'equal', '1')
            p.wait_picture(plain_expected(pics[0], exposure), W, H,
                           'frame 0 at exposure %.2f' % exposure)
            end_with(p, 'q', 'q')


@case('tonemap')
def test_tonemap(work):
    n = 4
    path, pics = movie(work, 'm.hlv', n)
    with XServer(work) as xs:
        # Started with -t: frame 0 tone mapped against half its log-average.
        adapt = Adaptation()
        with open_window(xs, ['-t', path]) as p:
            p.wait_picture(tonemap_expected(pics[0], W, H, adapt), W, H, 'tone-mapped frame 0')
            # 't' takes effect with the next frame read.
            p.key('t', 'i')
            check(wait_overlay(p, GREEN), 'info overlay did not appear')
            snapshot = Adaptation()
            snapshot.value = 0.0
            d = p.picture_diff(xs.screenshot(), tonemap_expected(pics[0], W, H, snapshot),
                               W, H, skip=(GREEN,) + TIMELINE)
            check(d[0] <= 1, 'picture changed before a frame was read: %s' % (d,))
            p.key('i')
            check(wait_overlay(p, GREEN, False), 'info overlay did not go')
            p.key('period')
            p.wait_picture(plain_expected(pics[1]), W, H, 'frame 1 plain after t')
            # Plain frames leave the adaptation alone.
            p.key('t', 'period')
            p.wait_picture(tonemap_expected(pics[2], W, H, adapt), W, H,
                           'frame 2 tone mapped again')
            # Exposure reaches the tone mapper through the luminance.
            p.key('equal', 'period')
            p.wait_picture(tonemap_expected(pics[3], W, H, adapt, exposure=1.0), W, H,
                           'frame 3 tone mapped at exposure +1')
            # Page Up raises the bias parameter by 0.02 (as a float).
            p.key('minus', 'Prior', 'Prior', 'period')
            bias = f32(f32(f32(0.85) + 0.02) + 0.02)
            p.wait_picture(tonemap_expected(pics[0], W, H, adapt, bias_param=bias), W, H,
                           'frame 0 tone mapped with bias 0.89')
            p.key('Next', 'Next', 'Next', 'Next', 'Next', 'period')
            for _ in range(5):
                bias = f32(bias - 0.02)
            p.wait_picture(tonemap_expected(pics[1], W, H, adapt, bias_param=bias), W, H,
                           'frame 1 tone mapped with bias 0.79')
            # The bias stops below 1 and above 0.7: Page Up only while it is
            # below 0.98, Page Down only while it is above 0.72.
            for key, frame, presses in (('Prior', 2, 12), ('Next', 3, 20)):
                for _ in range(presses):
                    if key == 'Prior' and bias < 0.98:
                        bias = f32(bias + 0.02)
                    elif key == 'Next' and bias > 0.72:
                        bias = f32(bias - 0.02)
                p.key(*([key] * presses + ['period']))
                p.wait_picture(tonemap_expected(pics[frame], W, H, adapt, bias_param=bias), W, H,
                               'frame %d tone mapped with bias %.7g' % (frame, bias))
            end_with(p, 'q', 'q')

        # -b: a movie written on a big-endian machine, header and statistics
        # swapped; tone mapping uses the statistics, so they must be right.
        be = write_movie(work.file('be.hlv'), W, H, [[pic] for pic in pics], order='>')
        adapt = Adaptation()
        with open_window(xs, ['-b', '-t', be]) as p:
            p.wait_picture(tonemap_expected(pics[0], W, H, adapt), W, H,
                           'tone-mapped frame 0 of a byte-swapped movie')
            p.key('Right')
            p.wait_picture(tonemap_expected(pics[1], W, H, adapt), W, H,
                           'tone-mapped frame 1 of a byte-swapped movie')
            end_with(p, 'q', 'q')


@case('overlays')
def test_overlays(work):
    w, h = 96, 48
    path, pics = movie(work, 'm.hlv', 2, w, h)
    exp0 = plain_expected(pics[0])
    line3 = range(34, 47)  # rows of the info overlay's frame-rate line


    with XServer(work) as xs:
        with open_window(xs, [path], (w, h)) as p:
            shot = p.wait_picture(exp0, w, h, 'frame 0')
            check(not p.overlay_pixels(shot, GREEN), 'info overlay on at start')
            check(not p.overlay_pixels(shot, RED), 'help overlay on at start')
            for on, off in (('i', 'i'), ('F2', 'F2'), ('i', 'F2')):
                p.key(on)
                pixels = wait_overlay(p, GREEN)
                check(pixels, 'info overlay not shown after %s' % on)
                check(info_ok(pixels), 'info overlay misplaced: rows %s, x from %d'
                      % (sorted({y for _, y in pixels}), min(x for x, _ in pixels)))
                check(not any(y in line3 for _, y in pixels), 'frame-rate line while paused')
                p.key(off)
                check(wait_overlay(p, GREEN, False), 'info overlay still shown after %s' % off)
            for on, off in (('h', 'h'), ('F1', 'F1'), ('H', 'F1')):
                p.key(on)
                pixels = wait_overlay(p, RED)
                check(pixels, 'help overlay not shown after %s' % on)
                # The first line stands on the row 20 pixels below the top
                # edge (row 19 counted from 0); its capitals reach 8 rows
                # higher. The text starts at x = 10 ("C" leaves a column).
                from_top = {h - 1 - y for _, y in pixels}
                check(min(from_top) == 11 and 19 in from_top,
                      'help overlay rows from the top %s' % sorted(from_top)[:12])
                check(min(x for x, _ in pixels) in (10, 11), 'help text x')
                p.key(off)
                check(wait_overlay(p, RED, False), 'help overlay still shown after %s' % off)
            # Both at once: the picture shows between the text.
            p.key('i', 'h')
            check(wait_overlay(p, GREEN) and wait_overlay(p, RED), 'both overlays')
            d = p.picture_diff(xs.screenshot(), exp0, w, h, skip=(GREEN, RED) + TIMELINE)
            check(d[0] <= 1, 'picture under the overlays: %s' % (d,))
            # A larger window: the picture keeps its size at the lower-left
            # corner, the help text follows the top edge, the info text the
            # bottom edge.
            xs.run(['xdotool', 'windowsize', '--sync', str(p.window), str(w + 60), str(h + 40)])
            check(wait_for(lambda: p.refresh_geometry()[1] == (w + 60, h + 40), 5),
                  'window not resized: %s' % (p.size,))

            def resized_ok():
                shot = xs.screenshot()
                red = {p.size[1] - 1 - y for _, y in p.overlay_pixels(shot, RED)}
                green = p.overlay_pixels(shot, GREEN)
                return (p.picture_diff(shot, exp0, w, h, skip=(GREEN, RED) + TIMELINE)[0] <= 1 and
                        red and min(red) == 11 and 19 in red and green and info_ok(green))
            check(wait_for(resized_ok), 'picture or overlays misplaced after a resize')
            end_with(p, 'q', 'q')

        # -i starts with the info overlay; -i twice without it.
        with open_window(xs, ['-i', path], (w, h)) as p:
            pixels = wait_overlay(p, GREEN)
            check(pixels and info_ok(pixels), '-i: no info overlay')
            end_with(p, 'q', 'q')
        with open_window(xs, ['-i', '-i', path], (w, h)) as p:
            shot = p.wait_picture(exp0, w, h, 'frame 0 with -i -i')
            check(not p.overlay_pixels(shot, GREEN), '-i -i: info overlay shown')
            end_with(p, 'q', 'q')


@case('autoplay')
def test_autoplay(work):
    n = 8
    h = 51  # tall enough for the frame-rate line of the info overlay
    path, pics = movie(work, 'm.hlv', n, W, h)
    expected = [plain_expected(pic) for pic in pics]

    # Frames are told apart by a handful of pixels, so that a look at the
    # screen takes far less than a frame's time.
    samples = [(x, y) for x in (2, 20, 40, 47) for y in (5, 25, 50)]

    def which(p, shot):
        ox, oy = p.origin
        for k in range(n):
            matches = 0
            for x, y in samples:
                pixel = shot.px(ox + x, oy + h - 1 - y)
                if pixel == GREEN:
                    continue
                want = expected[k][y * W + x]
                if max(abs(a - b) for a, b in zip(pixel, want)) > 1:
                    break
                matches += 1
            else:
                if matches >= 4:
                    return k
        return None

    def watch(p, seconds):
        seen = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            k = which(p, p.xs.screenshot())
            if k is not None and (not seen or seen[-1] != k):
                seen.append(k)
            if len(seen) >= n + 3:
                break
        return seen

    def check_playing(p, label):
        seen = watch(p, 12)
        log('%s: frames seen %s' % (label, seen))
        check(len(seen) >= n + 1 and set(seen) == set(range(n)),
              '%s: frames seen %s' % (label, seen))
        steps = [(b - a) % n for a, b in zip(seen, seen[1:])]
        # A slow look at the screen (on a busy machine) may miss a frame or
        # two now and then; a step back or a skip on every frame is a fault.
        check(all(s in (1, 2, 3) for s in steps) and steps.count(1) >= n // 2,
              '%s: frames seen %s' % (label, seen))

    with XServer(work) as xs:
        # 'g' at 2 frames a second (slow enough for a look at the screen on a
        # busy machine): every frame in order, looping.
        with open_window(xs, ['-fps', '2', path], (W, h)) as p:
            p.wait_picture(expected[0], W, h, 'frame 0')
            p.key('g')
            check_playing(p, 'g')
            # Stopped: once the info overlay (switched on after 'g') shows,
            # the picture stays on one frame.
            p.key('g', 'i')
            check(wait_overlay(p, GREEN), 'info overlay did not appear')
            still = watch(p, 1.0)
            check(len(still) == 1, 'still playing after g: %s' % still)
            end_with(p, 'q', 'q')
        # -a starts playing; with -i the frame-rate line shows while playing.
        with open_window(xs, ['-a', '-i', '-fps', '2', path], (W, h)) as p:
            check_playing(p, '-a')
            pixels = p.overlay_pixels(xs.screenshot(), GREEN)
            check(any(34 <= y <= 46 for _, y in pixels), 'no frame-rate line while playing')
            p.key('G')
            check(wait_for(lambda: not any(34 <= y <= 46 for _, y in p.overlay_pixels(
                xs.screenshot(), GREEN))), 'frame-rate line still shown after pausing')
            end_with(p, 'Escape', 'Escape')

    # The frame-rate line with both rates of 100 or more and a target of
    # 999.999 is 64 characters long; its last one, the ")" at x = 10 + 63 x 8,
    # is drawn too. -d prints the same line every 100 displays, which tells
    # whether the machine reached such rates at all.
    wide, _ = movie(work, 'wide.hlv', 2, 540, 48)
    with XServer(work, 640, 120) as xs:
        with open_window(xs, ['-d', '-a', '-i', '-fps', '999.999', wide], (540, 48)) as p:
            def closing_paren():
                return [x for x, y in p.overlay_pixels(xs.screenshot(), GREEN)
                        if 34 <= y <= 46 and x >= 10 + 63 * 8]
            if not wait_for(closing_paren, 20, 0.2):
                lines = [l for l in p.stderr().splitlines() if l.startswith('Framerate')]
                long_lines = [l for l in lines if len(l) >= 64]
                check(len(long_lines) * 2 <= len(lines),
                      'the long frame-rate line is cut short (player printed %s)' % long_lines[-1])
                log('long frame-rate line not checked: the player stayed below 100 fps here')
            end_with(p, 'q', 'q')


@case('stereo')
def test_stereo(work):
    n = 3
    lefts = [pattern(W, H, k) for k in range(n)]
    # The right eye: another picture, its colours swapped around.
    rights = [[(b, r, g, e) for (r, g, b, e) in pattern(W, H, k + 4)] for k in range(n)]
    path = write_movie(work.file('pair.hlv'), W, H, [[l, r] for l, r in zip(lefts, rights)],
                       eyes=2)
    el = [plain_expected(x) for x in lefts]
    er = [plain_expected(x) for x in rights]

    def shows(p, k, at=(0, 0)):
        def ok():
            shot = p.xs.screenshot()
            return (p.picture_diff(shot, el[k], W, H, at)[0] <= 1 and
                    p.picture_diff(shot, er[k], W, H, (at[0] + W, at[1]))[0] <= 1)
        check(wait_for(ok), 'pair %d not shown side by side' % k)

    with XServer(work) as xs:
        with open_window(xs, ['-d', path], (2 * W, H)) as p:
            check(p.size == (2 * W, H), 'window %s, expected %s' % (p.size, (2 * W, H)))
            check('The lower left corner is at (-1,-1)\n' in p.stderr(), p.stderr())
            shows(p, 0)
            for key, k in (('period', 1), ('period', 2), ('period', 0), ('Left', 2),
                           ('Left', 1), ('1', 0)):
                p.key(key)
                shows(p, k)
            # The info overlay stays at the window's lower left.
            p.key('i')
            pixels = wait_overlay(p, GREEN)
            check(pixels and info_ok(pixels), 'info overlay of a pair misplaced')
            end_with(p, 'q', 'q')

        # Full screen (320 x 240): with -F and -f the left picture ends on
        # the vertical centre line and the right one starts there.
        sw, sh = xs.width, xs.height
        for opt in ('-F', '-f'):
            with open_window(xs, ['-d', opt, path], (sw, sh), place=False) as p:
                check(p.size == (sw, sh), '%s: window %s' % (opt, p.size))
                check('The lower left corner is at (-0.3,-0.15)\n' in p.stderr(),
                      '%s: %s' % (opt, p.stderr()))
                p.focus()
                shows(p, 0, (sw // 2 - W, (sh - H) // 2))
                p.key('period')
                shows(p, 1, (sw // 2 - W, (sh - H) // 2))
                end_with(p, opt + ' q', 'q')

        # A single-eyed movie in full screen: -F puts its right edge on the
        # centre line, -f centres it.
        mono, pics = movie(work, 'mono.hlv', 1)
        for opt, x0, corner in (('-F', sw // 2 - W, '(-0.3,-0.15)'),
                                ('-f', (sw - W) // 2, '(-0.15,-0.15)')):
            with open_window(xs, ['-d', opt, mono], (sw, sh), place=False) as p:
                check('The lower left corner is at %s\n' % corner in p.stderr(),
                      '%s: %s' % (opt, p.stderr()))
                p.wait_picture(plain_expected(pics[0]), W, H, 'mono picture with ' + opt,
                               at=(x0, (sh - H) // 2))
                p.signal(signal.SIGTERM)
                end_with(p, opt + ' SIGTERM')


@case('truncated')
def test_truncated(work):
    n = 4
    frames = [[pattern(W, H, k)] for k in range(n)]
    record = 16 + 4 * W * H
    with XServer(work) as xs:
        # Cut inside the pixels of the last frame, in the maximum, in the
        # log-average, and a file with one frame fewer than its header says.
        for cut, message in ((100, 'Error reading image data'),
                             (record, 'Error reading Maximum Lum in scene data'),
                             (record - 4, 'Error reading Maximum Lum in scene data'),
                             (record - 12, 'Error reading the Log Average in scene data')):
            path = write_movie(work.fresh('cut.hlv'), W, H, frames, cut=cut)
            with Player(xs, ['-a', '-fps', '1000', path]) as p:
                status = p.wait_exit(15)
                expect = '%s\nFailed to read rgbe buffer, frame %d\n' % (message, n - 1)
                check(p.stderr() == expect, 'cut %d: stderr %r' % (cut, p.stderr()))
                check(status == 0, 'cut %d: status %s' % (cut, status))
                check(p.gamma() == GAMMA_BOTH, 'cut %d: gamma %s' % (cut, p.gamma()))
        # Stepped by hand to the cut.
        path = write_movie(work.fresh('cut.hlv'), W, H, frames, cut=100)
        with open_window(xs, [path]) as p:
            for k in range(1, n - 1):
                p.key('period')
                p.wait_picture(plain_expected(frames[k][0]), W, H, 'frame %d' % k)
            p.key('period')
            status = p.wait_exit(10)
            check(p.stderr() == 'Error reading image data\nFailed to read rgbe buffer, frame 3\n',
                  'stepping: stderr %r' % p.stderr())
            check(status == 0 and p.gamma() == GAMMA_BOTH, 'stepping: %s %s' % (status, p.gamma()))
        # A stereo pair whose right picture is cut short ends at that frame.
        pairs = [[frames[k][0], frames[(k + 1) % n][0]] for k in range(3)]
        path = write_movie(work.fresh('cutpair.hlv'), W, H, pairs, eyes=2, cut=100)
        with Player(xs, ['-a', '-fps', '1000', path]) as p:
            status = p.wait_exit(15)
            check(p.stderr() == 'Error reading image data\nFailed to read rgbe buffer, frame 2\n',
                  'pair cut: stderr %r' % p.stderr())
            check(status == 0 and p.gamma() == GAMMA_BOTH, 'pair cut: %s %s' % (status, p.gamma()))
        # The first frame already cut: the player ends before its window shows.
        path = write_movie(work.fresh('cut.hlv'), W, H, frames[:1], nframes=4, cut=10)
        with Player(xs, [path]) as p:
            status = p.wait_exit(15)
            check(p.stderr() == 'Error reading image data\nFailed to read rgbe buffer, frame 0\n',
                  'frame 0 cut: stderr %r' % p.stderr())
            check(status == 0 and p.gamma() == GAMMA_BOTH, 'frame 0 cut: %s %s'
                  % (status, p.gamma()))


@case('halvpack')
def test_halvpack(work):
    """Pictures packed by the builder play upright with their statistics."""
    check(HALVPACK, '--halvpack not given')
    pics_top_first = []
    names = []
    for k in range(3):
        rows = []
        for row in range(H):  # the picture file's first row is the top row
            y = H - 1 - row
            rows.append([float_to_rgbe((0.1 + 0.8 * x / (W - 1),
                                        0.1 + 0.8 * y / (H - 1) + (3.0 if k == 1 and y > 30 else 0),
                                        0.2 + 0.25 * k)) for x in range(W)])
        name = work.file('p%d.hdr' % k)
        write_file(name, rgbe_picture(rows, 'flat'))
        names.append(name)
        pics_top_first.append(rows)
    listing = work.file('list.txt')
    with open(listing, 'w') as f:
        f.write(''.join(n + '\n' for n in names))
    out = work.file('packed.hlv')
    r = subprocess.run([HALVPACK, '-x', str(W), '-y', str(H), '-i', listing, '-o', out],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=60)
    check(r.returncode == 0, 'halvpack status %s: %s' % (r.returncode, r.stderr))
    bottom_first = [[p for row in reversed(rows) for p in row] for rows in pics_top_first]
    with XServer(work) as xs:
        with open_window(xs, [out]) as p:
            p.wait_picture(plain_expected(bottom_first[0]), W, H, 'packed frame 0', tol=2)
            p.key('t', 'period')
            adapt = Adaptation()
            p.wait_picture(tonemap_expected(bottom_first[1], W, H, adapt), W, H,
                           'packed frame 1 tone mapped', tol=2)
            p.key('period')
            p.wait_picture(tonemap_expected(bottom_first[2], W, H, adapt), W, H,
                           'packed frame 2 tone mapped', tol=2)
            end_with(p, 'q', 'q')


@case('threads')
def test_threads(work):
    """Stepping and playing give the same pictures with one thread and with
    four (conversion shared out, frames prepared ahead while playing),
    tone-mapped and plain."""
    n = 5
    path, pics = movie(work, 'threads.hlv', n)

    def window_picture(p):
        shot = p.window_shot()
        check(shot is not None, 'no screenshot of the window')
        return shot

    def step_pictures(xs, threads, mode):
        """Each frame's picture, stepping with '.' in the playing order,
        once the causal adaptation has settled into its cycle (it halves
        the distance at every frame: twelve rounds leave nothing)."""
        with open_window(xs, ['-j', threads] + mode + [path]) as p:
            p.key(*(['period'] * 12 * n))  # twelve rounds: back at frame 0, in the playing order
            shots = {}
            for k in range(n):
                time.sleep(0.3)
                shots[k] = window_picture(p)
                p.key('period')
            end_with(p, 'q', 'q')
        return shots

    with XServer(work) as xs:
        for mode in (['-t'], []):
            label = 'tone-mapped' if mode else 'plain'
            one = step_pictures(xs, '1', mode)
            four = step_pictures(xs, '4', mode)
            for k in range(n):
                check(one[k] == four[k], '%s frame %d: -j 4 shows another picture than -j 1'
                      % (label, k))
            check(len(set(one.values())) == n, '%s: the frames do not differ' % label)
            # Playing: every picture shown is one of the frames' pictures.
            for threads in ('1', '4'):
                with open_window(xs, ['-a', '-fps', '40', '-j', threads] + mode + [path]) as p:
                    time.sleep(3)  # well over 60 frames: the adaptation has settled
                    seen = set()
                    for _ in range(12):
                        shot = window_picture(p)
                        match = [k for k in range(n) if one[k] == shot]
                        check(match, '%s, -j %s: a picture shown while playing is no frame'
                              % (label, threads))
                        seen.add(match[0])
                        time.sleep(0.07)
                    check(len(seen) > 1, '%s, -j %s: playback shows one frame only' % (label, threads))
                    end_with(p, 'q', 'q')


@case('upload')
def test_upload(work):
    """The bytes uploaded to an 8-bit colour buffer are GL's own rounding of
    the floats, component for component."""
    check(UPLOAD_CHECK, 'needs --upload-check')
    with XServer(work, 640, 600) as xs:
        r = xs.run([UPLOAD_CHECK], timeout=60)
        out = r.stdout.decode(errors='replace')
        log(out.strip())
        check(r.returncode == 0, 'upload check failed (status %d): %s %s'
              % (r.returncode, out, r.stderr.decode(errors='replace')))
        check(out.startswith('0 of '), out)


# --------------------------------------------------------------------------
# Running the cases.

def main(argv):
    global HALVPACK
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvview', required=True)
    parser.add_argument('--halvpack')
    parser.add_argument('--upload-check')
    parser.add_argument('case', nargs='+')
    args = parser.parse_args(argv)
    xharness.HALVVIEW = os.path.abspath(args.halvview)
    HALVPACK = os.path.abspath(args.halvpack) if args.halvpack else None
    global UPLOAD_CHECK
    UPLOAD_CHECK = os.path.abspath(args.upload_check) if args.upload_check else None
    missing = missing_tools()
    if missing:
        log('skipped: needs %s' % ', '.join(missing))
        return SKIPPED
    failed = 0
    for name in args.case:
        work = Workdir()
        start = time.monotonic()
        try:
            CASES[name](work)
            log('PASS %s (%.1f s)' % (name, time.monotonic() - start))
        except Failure as e:
            failed += 1
            log('FAIL %s: %s' % (name, e))
        finally:
            if failed == 0:
                work.cleanup()
            else:
                log('work files kept in %s' % work.path)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
