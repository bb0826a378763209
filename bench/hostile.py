#!/usr/bin/env python3
"""Opens the worst hostile files this script can build, and measures them.

Each file is about 1 MB and aims at one way a file can make the reader
reserve memory or work out of proportion to its bytes: counts near 2^32,
tables and texts that claim far more bytes than the file has, children that
run past their parents (nested, so that the same bytes are read again and
again), nesting as deep as the bytes allow, sizes that wrap past 2^32, and
sample-to-chunk runs that end before they begin.  bench/hostile_open (built
with -DCORVANE_BENCH=ON) opens each one, looks samples up by time, seeks,
reads the first and last 1000 samples of both tracks, closes it and asks
GetFileInfo about it; /usr/bin/time gives the peak resident memory.

    bench/hostile.py [--build DIR] [--reps N] [--keep DIR]

A file whose open takes a second or more, or whose run peaks at 256 MB or
more, fails the run (exit status 1).  The table goes to standard output.
"""
import argparse
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MB = 1 << 20
OPEN_LIMIT_SECONDS = 1.0
RSS_LIMIT_KIB = 256 * 1024


def u32(*words):
    return b''.join(struct.pack('>I', w & 0xFFFFFFFF) for w in words)


def box(kind, *parts, size=None):
    payload = b''.join(parts)
    return u32(8 + len(payload) if size is None else size) + kind.encode('latin-1') + payload


def full(kind, *parts, size=None):
    return box(kind, u32(0), *parts, size=size)


FTYP = box('ftyp', b'isom', u32(0x200), b'isommp41')
MVHD = full('mvhd', u32(0, 0, 1000, 0, 0x10000), bytes(76), u32(0xFFFF))
IODS = full('iods', bytes([0x10, 7, 0, 0x4F]) + b'\xff' * 5)


def sample_entry(audio, esds=None):
    esds = esds or full('esds', bytes(20))
    if audio:
        return box('mp4a', bytes(6), struct.pack('>H', 1), bytes(8), struct.pack('>HH', 2, 16), bytes(4),
                   u32(44100 << 16), esds)
    return box('mp4v', bytes(6), struct.pack('>H', 1), bytes(16), struct.pack('>HH', 176, 144),
               u32(0x480000, 0x480000, 0), struct.pack('>H', 1), bytes(32), struct.pack('>Hh', 0x18, -1), esds)


def trak(track_id, audio, tables, dinf=None, esds=None):
    """A track whose stbl holds the given boxes after its stsd."""
    handler = b'soun' if audio else b'vide'
    tkhd = full('tkhd', u32(0, 0, track_id, 0, 0), bytes(52), u32(176 << 16, 144 << 16))
    mdhd = full('mdhd', u32(0, 0, 44100 if audio else 1000, 0), struct.pack('>HH', 0x55C4, 0))
    hdlr = full('hdlr', u32(0), handler, bytes(12), b'h\0')
    header = full('smhd', bytes(4)) if audio else full('vmhd', bytes(8))
    dinf = dinf or box('dinf', full('dref', u32(1), full('url ')))
    stbl = box('stbl', full('stsd', u32(1), sample_entry(audio, esds)), *tables)
    return box('trak', tkhd, box('mdia', mdhd, hdlr, box('minf', header, dinf, stbl)))


def counted(kind, entries, words):
    return full(kind, u32(entries, *words))


def file_of(*boxes, size=MB):
    """The boxes, then a free box to make the file `size` bytes long."""
    data = FTYP + b''.join(boxes)
    return data + box('free', bytes(size - len(data) - 8)) if len(data) + 8 <= size else data


# ---------------------------------------------------------------- the files

def tables_past_the_file():
    """1: 2000 tracks, each stco claiming 2^29 - 8 entries (2 GiB - 32
    bytes) and each url a text of 2^31 - 13 bytes, both running past the
    file (and over every track after them); stsz claims 10^8 samples."""
    near = (1 << 29) - 8
    traks = []
    for i in range(2000):
        url_dinf = box('dinf', full('dref', u32(1), box('url ', u32(0), b'x', size=(1 << 31) - 1)))
        traks.append(trak(1 + i, i % 2 == 1, [
            counted('stts', 1, [100_000_000, 1]), counted('stsc', 1, [1, 100_000_000, 1]),
            full('stsz', u32(3, 100_000_000)), *([] if i % 2 else [counted('stss', 1, [1])]),
            full('stco', u32(near, 64), size=16 + 4 * near)], dinf=url_dinf))
    return file_of(box('moov', MVHD, IODS, *traks))


def overruns(n):
    """A udta of n 8-byte steps whose children run past their parents,
    nested: the nodes double every 16 bytes."""
    return b''.join(u32(8 * (n - j if j % 2 == 0 else 2) if j < n - 1 else 8) + b'udta' for j in range(n))


def plain_movie(base):
    """moov with a video and an audio track of 3 samples at `base`."""
    def tables(audio):
        return [counted('stts', 1, [3, 100]), counted('stsc', 1, [1, 3, 1]), full('stsz', u32(10, 3)),
                *([] if audio else [counted('stss', 1, [1])]), counted('stco', 1, [base])]
    return box('moov', MVHD, IODS, trak(1, False, tables(False)), trak(2, True, tables(True)))


def overruns_1_mb():
    """2: one udta of 1 MB of nested overruns before moov."""
    steps = (MB - 2000) // 8
    return file_of(overruns(steps), plain_movie(0))


def overruns_many():
    """2: 3400 udta of 304 bytes of nested overruns before moov: each would
    hold 786,430 nodes."""
    return file_of(overruns(38) * 3400, plain_movie(0))


def nested_1_mb():
    """2: moov in moov as deep as 1 MB allows (131,000 levels)."""
    levels = (MB - len(FTYP)) // 8
    data = b''.join(u32(MB - len(FTYP) - 8 * j) + b'moov' for j in range(levels))
    return FTYP + data


def mp3_frame_past_the_file():
    """3: MPEG-1 audio whose first frame claims 2^31 - 11 bytes (the largest
    buffer below 2 GiB), at the last 100 bytes of the file; video samples of
    2^31 - 1 bytes."""
    esds = full('esds', bytes([3, 25, 0, 1, 0, 4, 17, 0x6B, 0x15, 0, 1, 0x80]) + u32(1, 1) +
                bytes([5, 2, 0x12, 0x08, 6, 1, 2]))
    def tables(audio, size, at):
        return [counted('stts', 1, [2, 100]), counted('stsc', 1, [1, 2, 1]),
                full('stsz', u32(0, 2, size, size)), *([] if audio else [counted('stss', 1, [1])]),
                counted('stco', 1, [at])]
    moov = box('moov', MVHD, IODS, trak(1, False, tables(False, 0x7FFFFFFF, 0)),
               trak(2, True, tables(True, 0x7FFFFFF5, MB - 100), esds=esds))
    data = file_of(moov)
    return data[:-100] + bytes.fromhex('fffb50c4') + bytes(96)


def counts_near_2_32():
    """4: video of 178,956,970 samples (the most whose array stays below
    2 GiB) with 250,000 sync samples in descending order; audio of 2^32 - 1
    samples (a count below 1 as the signed count the arrays take)."""
    most = (1 << 31) // 12 - 1
    stss = counted('stss', 250_000, [most - 4 * k for k in range(250_000)])
    video = trak(1, False, [counted('stts', 1, [most, 1]), counted('stsc', 1, [1, most, 1]),
                            full('stsz', u32(1, most)), stss, counted('stco', 1, [0])])
    audio = trak(2, True, [counted('stts', 1, [0xFFFFFFFF, 1]), counted('stsc', 1, [1, 1000, 1]),
                           full('stsz', u32(1, 0xFFFFFFFF)), counted('stco', 1, [0])])
    return file_of(box('moov', MVHD, IODS, video, audio))


def wraps():
    """5: 131,000 top-level boxes whose ends wrap past 2^32, each to 8 bytes
    before it, then a moov of 100,000 children doing the same."""
    inner = 100_000
    moov_size = 8 + 8 * inner
    children = [u32(8 * inner - 8) + b'skip'] + [u32((1 << 32) - 8) + b'skip'] * (inner - 1)
    moov = u32(moov_size) + b'moov' + b''.join(children)
    start = len(FTYP) + len(moov)
    tops = (MB - start) // 8
    boxes = [u32(8 * tops - 8) + b'skip'] + [u32((1 << 32) - 8) + b'skip'] * (tops - 1)
    return FTYP + moov + b''.join(boxes)


def stsc_runs():
    """6: 80,000 sample-to-chunk runs of first_chunk 1 (each ends before it
    begins and lasts one sample), then a run of 3 per chunk over 10^8
    samples, whose stco of 10^8 chunks the file ends inside."""
    runs, samples = 80_000, 100_000_000
    words = [w for _ in range(runs) for w in (1, 3, 1)]
    stco = full('stco', u32(samples, *range(0, 40000, 4)), size=16 + 4 * samples)
    video = trak(1, False, [counted('stts', 1, [samples, 1]), counted('stsc', runs, words),
                            full('stsz', u32(5, samples)), counted('stss', 1, [1]), stco])
    return FTYP + box('moov', MVHD, IODS, video)


FILES = [
    ('1 tables past the file', 'tables-past-the-file.mp4', tables_past_the_file),
    ('2 overruns, 1 MB', 'overruns-1-mb.mp4', overruns_1_mb),
    ('2 overruns, 3400 x 304 B', 'overruns-many.mp4', overruns_many),
    ('2 nesting, 131,000 levels', 'nested-1-mb.mp4', nested_1_mb),
    ('3 MP3 frame past the file', 'mp3-frame-past-the-file.mp4', mp3_frame_past_the_file),
    ('4 counts near 2^32', 'counts-near-2-32.mp4', counts_near_2_32),
    ('5 sizes that wrap', 'wraps.mp4', wraps),
    ('6 stsc runs', 'stsc-runs.mp4', stsc_runs),
]


def run(driver, path):
    """(wall s, open s, peak RSS KiB) of one run of the driver."""
    with tempfile.NamedTemporaryFile('r', suffix='.rss') as rss:
        start = time.perf_counter()
        done = subprocess.run(['/usr/bin/time', '-o', rss.name, '-f', '%M', driver, path],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError('%s %s failed:\n%s' % (driver, path, done.stderr))
        fields = dict(item.split('=') for item in done.stderr.split() if '=' in item)
        return wall, float(fields['open_seconds']), int(rss.read().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(ROOT, 'build'))
    parser.add_argument('--reps', type=int, default=5)
    parser.add_argument('--keep', help='write the files here and keep them')
    args = parser.parse_args()
    driver = os.path.join(args.build, 'bench', 'hostile_open')
    if not os.path.exists(driver):
        sys.exit('%s is missing: configure with -DCORVANE_BENCH=ON and build' % driver)
    folder = args.keep or tempfile.mkdtemp(prefix='corvane-hostile-')
    os.makedirs(folder, exist_ok=True)
    print('| File (issue item, what) | Bytes | Open, median of %d | Whole run | Peak RSS |' % args.reps)
    print('|---|---|---|---|---|')
    failed = False
    for label, name, make in FILES:
        path = os.path.join(folder, name)
        with open(path, 'wb') as f:
            f.write(make())
        runs = [run(driver, path) for _ in range(args.reps)]
        opened = statistics.median(r[1] for r in runs)
        wall = statistics.median(r[0] for r in runs)
        peak = max(r[2] for r in runs)
        over = opened >= OPEN_LIMIT_SECONDS or peak >= RSS_LIMIT_KIB
        failed |= over
        print('| %s | %d | %.3f s | %.3f s | %.1f MB%s |' % (label, os.path.getsize(path), opened, wall,
                                                             peak / 1024, ' (over the limit)' if over else ''))
        if not args.keep:
            os.remove(path)
    if not args.keep:
        os.rmdir(folder)
    sys.exit(1 if failed else 0)


main()
