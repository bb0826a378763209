#!/usr/bin/env python3
"""Searches for inputs on which the library's arithmetic gives other whole
numbers when built for the x87 unit than with IEEE single and double
precision, as x86-64 and SSE2 compute them.

x87 code keeps intermediate results with more bits than a float or a
double holds, so a quotient that single or double precision rounds up to a
whole number can stay just below it and be truncated one lower.  The
library truncates such quotients in four places: GetFileInfo's frame rate
(double), Mp4AddVideo's frame times, and the average bit rate and the
one-second windows of the maximum bit rate that AddVideoFrame and
AddAudioFrame keep (single).  This script draws candidate values near the
points where those results change, has the library built three ways answer
them all (tests/data/x87_probe.cpp), and prints the candidates on which the
x87 build answers otherwise than the Linux build.  The inputs found are for
scenarios; their expected transcripts come from the Linux library like
every other transcript, not from here.

    python3 tests/data/find_x87_inputs.py [--count N] [--seed S] [--work DIR]

Needs cmake, g++, the MinGW-w64 cross compilers and the 32-bit Wine
(/usr/lib/wine/wine).  The three builds go to DIR (default
build-x87-search/ in the source tree): the library for Linux, and for 32-bit
Windows with -mfpmath=387 (as the DLL was built before it used SSE2) and
with SSE2 (as it is built now).  The last one must agree with Linux on
every candidate; the script says so, or lists where it does not.  About two
minutes, most of it building.
"""
import argparse
import os
import random
import subprocess
import sys

SOURCE = os.path.realpath(os.path.join(os.path.dirname(__file__), '..', '..'))
WINE32 = '/usr/lib/wine/wine'

# Builds: (name, cmake arguments, compiler, flags, program)
BUILDS = [
    ('linux', [], 'g++', [], 'probe'),
    ('win32-x87', ['-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake', '-DCORVANE_X86_FPMATH=387'],
     'i686-w64-mingw32-g++', ['-mfpmath=387', '-static'], 'probe.exe'),
    ('win32-sse', ['-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake', '-DCORVANE_X86_FPMATH=sse'],
     'i686-w64-mingw32-g++', ['-msse2', '-mfpmath=sse', '-static'], 'probe.exe'),
]


def build(work, name, cmake_args, compiler, flags, program):
    """The library (corvane_core, Release as the DLL) and the probe over it."""
    out = os.path.join(work, name)
    subprocess.run(['cmake', '-S', SOURCE, '-B', out, '-DCMAKE_BUILD_TYPE=Release', '-DCORVANE_BUILD_TESTS=OFF',
                    '-DCORVANE_BUILD_TOOL=OFF'] + cmake_args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', out, '--target', 'corvane_core', '-j2'], check=True,
                   stdout=subprocess.DEVNULL)
    path = os.path.join(out, program)
    subprocess.run([compiler, '-std=c++17', '-O3', '-DNDEBUG'] + flags +
                   ['-I' + os.path.join(SOURCE, d) for d in ('include', 'src')] +
                   [os.path.join(SOURCE, 'tests', 'data', 'x87_probe.cpp'), os.path.join(out, 'libcorvane_core.a'),
                    '-o', path], check=True)
    return path


def answers(work, name, program, questions):
    """The probe's answer to every question, in order."""
    run = [program] if name == 'linux' else [WINE32, program]
    env = dict(os.environ, WINEDEBUG='-all', WINEPREFIX=os.path.join(work, 'wineprefix32'), WINEARCH='win32',
               WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d', DISPLAY='')
    scratch, answered = os.path.join(work, name, 'scratch'), os.path.join(work, name, 'answers.txt')
    subprocess.run(run + [scratch, answered], input='\n'.join(questions) + '\n', text=True, env=env,
                   cwd=os.path.join(work, name), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(answered) as f:
        lines = f.read().replace('\r', '').splitlines()
    if len(lines) != len(questions):
        sys.exit(f'{name}: {len(lines)} answers to {len(questions)} questions')
    return lines


def frame_rates(rnd, count):
    """timescale x frames / duration where it is a whole number k or near
    one: the duration the timescale or the frame count (k is the other), or
    the product over a random k rounded down and up.  Only a product above
    2^53 loses bits in double precision, so both factors are large."""
    for _ in range(count):
        timescale, frames = rnd.randrange(1 << 21, 1 << 32), rnd.randrange(1 << 21, 1 << 32)
        product = timescale * frames
        k = (product >> 32) + 1 + rnd.randrange(1 << 12)
        for duration in (timescale, frames, product // k, product // k + 1):
            if 0 < duration < 1 << 32:
                yield f'rate {timescale} {frames} {duration}'


def frame_times(rnd, count):
    """Frame rates as a host passes them (one to three decimals), over the 50
    frames of tests/data/video.m4v."""
    for _ in range(count):
        decimals = rnd.randrange(1, 4)
        fps = rnd.randrange(1 * 10 ** decimals, 120 * 10 ** decimals)
        yield f'time {fps // 10 ** decimals}.{fps % 10 ** decimals:0{decimals}d} 50'


def bit_rates(rnd, count):
    """Frames whose time is a whole number of seconds give or take a few
    ticks, where the windows of the maximum change, 133 s among them (the
    time at which a message is printed); sizes from one byte to 16 MiB and
    beyond, where a float no longer holds every byte count.  In single
    precision a few ticks vanish only beside large timescales."""
    timescales = [600, 1000, 8000, 22050, 30000, 44100, 48000, 90000]
    for _ in range(count):
        kind = rnd.choice(['video', 'audio'])
        timescale = rnd.choice(timescales + [rnd.randrange(1 << 16, 1 << rnd.choice([25, 32]))] * 2)
        size = lambda: rnd.choice([rnd.randrange(1, 1 << 12), rnd.randrange(1 << 12, 1 << 20),
                                   rnd.randrange(1 << 23, 1 << 25)])
        frames = [f'{size()}@0']
        for second in sorted(rnd.sample([1, 2, 3, 133] + [rnd.randrange(1, 4000)], 3)):
            time = second * timescale + rnd.randrange(-3, 4)
            if 0 < time < 1 << 32:
                frames.append(f'{size()}@{time}')
        time = rnd.randrange(1, 1 << 32)
        frames.append(f'{size()}@{time}')
        yield f'{kind} {timescale} ' + ' '.join(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--count', type=int, default=20000, help='candidates of each kind (default 20000)')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--work', default=os.path.join(SOURCE, 'build-x87-search'))
    args = parser.parse_args()
    work = os.path.realpath(args.work)
    os.makedirs(work, exist_ok=True)

    rnd = random.Random(args.seed)
    questions = (list(frame_rates(rnd, args.count)) + list(frame_times(rnd, args.count // 10)) +
                 list(bit_rates(rnd, args.count // 10)))
    programs = {name: build(work, name, *rest) for name, *rest in BUILDS}
    got = {name: answers(work, name, program, questions) for name, program in programs.items()}

    differ = [(linux, x87) for linux, x87 in zip(got['linux'], got['win32-x87']) if linux != x87]
    print(f'{len(questions)} questions; the x87 build answers {len(differ)} of them otherwise:')
    for linux, x87 in differ:
        print('  linux ' + linux + '\n  x87   ' + x87)
    sse = [(linux, other) for linux, other in zip(got['linux'], got['win32-sse']) if linux != other]
    if sse:
        print(f'the SSE2 build answers {len(sse)} otherwise:')
        for linux, other in sse:
            print('  linux ' + linux + '\n  sse2  ' + other)
        return 1
    print('the SSE2 build answers every question as the Linux build does')
    return 0


if __name__ == '__main__':
    sys.exit(main())
