#!/usr/bin/env python3
"""Measures halvview's playback speed under Xvfb with the player's own
figures. Not part of the test suite: the numbers depend on the machine.

  playback_speed.py --halvview PATH --halvpack PATH [--movie FILE] [--seconds N]

Without --movie it renders a 20-frame 720 x 486 HDR scene with POV-Ray
(speed_scene.pov: a sunlit room, several decades of luminance) and packs it
with halvpack. It then plays the movie with -a -d -i -fps 1000, plain and
tone-mapped (-t), prints the frame-rate lines the player reports every 100
displays, and saves the window with the information overlay (read and draw
time per display on its second line) as PNG files; last it plays -fps 60 -t to check that 60
frames a second hold. Without a tool it needs (Xvfb, xdotool, xwininfo,
import, convert, and povray unless --movie is given) it prints why and exits
with status 77.
"""
import argparse
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'lib'))
import xharness  # noqa: E402
from xharness import TOOLS, Player, Workdir, XServer, missing_tools  # noqa: E402


def render_movie(work, halvpack):
    scene = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'speed_scene.pov')
    out = work.file('frame.hdr')
    subprocess.run(['povray', '+I' + scene, '+O' + out, '+FH', '+W720', '+H486', '+KFI0',
                    '+KFF19', '+KI0', '+KF1', '+WT1', '-D', '+A0.3', '-GA'],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    names = sorted(n for n in os.listdir(work.path) if n.startswith('frame') and n.endswith('.hdr'))
    listing = work.file('list.txt')
    with open(listing, 'w') as f:
        f.write(''.join(work.file(n) + '\n' for n in names))
    movie = work.file('scene.hlv')
    subprocess.run([halvpack, '-x', '720', '-y', '486', '-i', listing, '-o', movie],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return movie, len(names)


def rate_lines(p):
    return [l for l in p.stderr().splitlines() if l.startswith('Framerate')]


def play(xs, movie, args, seconds, png):
    p = Player(xs, args + [movie])
    try:
        p.wait_window((720, 486))
        time.sleep(seconds)  # a measurement: the player runs for this long
        shot = xs.screenshot()
        ox, oy = p.origin
        rows = []
        for y in range(0, 486):
            for x in range(0, 720):
                rows.append(bytes(shot.px(ox + x, oy + y) or (0, 0, 0)))
        subprocess.run(['convert', '-size', '720x486', '-depth', '8', 'rgb:-', png],
                       input=b''.join(rows), check=True)
        lines = rate_lines(p)
        p.focus()
        p.key('q')
        p.wait_exit(10)
        return lines
    finally:
        p.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--halvview', required=True)
    parser.add_argument('--halvpack', required=True)
    parser.add_argument('--movie')
    parser.add_argument('--seconds', type=float, default=8.0)
    parser.add_argument('--outdir', default='.')
    args = parser.parse_args()
    xharness.HALVVIEW = os.path.abspath(args.halvview)
    missing = missing_tools(TOOLS + ('convert',) + (() if args.movie else ('povray',)))
    if missing:
        print('skipped: needs %s' % ', '.join(missing))
        return 77
    work = Workdir()
    try:
        movie = args.movie
        if not movie:
            movie, n = render_movie(work, os.path.abspath(args.halvpack))
            print('rendered and packed %d frames: %s' % (n, movie))
        with XServer(work, 1280, 1024) as xs:
            for label, opts in (('plain', ['-a', '-d', '-i', '-fps', '1000']),
                                ('tone-mapped', ['-a', '-d', '-i', '-fps', '1000', '-t']),
                                ('tone-mapped at 60', ['-a', '-d', '-i', '-fps', '60', '-t'])):
                png = os.path.join(args.outdir, 'speed-%s.png' % label.replace(' ', '-'))
                lines = play(xs, movie, opts, args.seconds, png)
                print('== %s: halvview %s movie' % (label, ' '.join(opts)))
                for l in lines:
                    print('   ' + l)
                print('   info overlay saved as %s' % png)
    finally:
        work.cleanup()
    return 0


if __name__ == '__main__':
    sys.exit(main())
