#!/usr/bin/env python3
"""Makes the small input files of the scenarios (tests/scenarios) in
tests/data/scenario/: MP4 files with particular boxes and MPEG-4 Visual
streams with particular headers, each described below in a line or two.
The files are committed; run this after changing a description.

    make_scenario_inputs.py            write the files
    make_scenario_inputs.py --check    only compare them with what is committed
"""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'scenario')
FILES = {}


def make(name, data):
    assert name not in FILES, name
    FILES[name] = data


# ---------------------------------------------------------------- boxes

def u32(*words):
    return b''.join(struct.pack('>I', w & 0xFFFFFFFF) for w in words)


def u16(*words):
    return b''.join(struct.pack('>H', w) for w in words)


def box(kind, *parts, size=None):
    payload = b''.join(parts)
    return u32(8 + len(payload) if size is None else size) + kind.encode('latin-1') + payload


def full(kind, flags, *parts):
    return box(kind, u32(flags), *parts)


def esds(long_es, long_inner, config_head, specific):
    """An ES_Descriptor holding a DecoderConfigDescriptor (config_head, then a
    DecoderSpecificInfo of `specific`) and an SLConfigDescriptor; lengths take
    one byte, or the form 80 80 80 n."""
    def descriptor(tag, long, payload):
        return bytes([tag]) + (b'\x80\x80\x80' if long else b'') + bytes([len(payload)]) + payload
    config = config_head + descriptor(5, long_inner, specific)
    es = b'\x00\x01\x00' + descriptor(4, long_inner, config) + descriptor(6, long_inner, b'\x02')
    return full('esds', 0, descriptor(3, long_es, es))


def audio_esds(long_es, long_inner, object_type, max_bitrate, specific):
    head = bytes([object_type, 0x15, 0x00, 0x01, 0x80]) + u32(max_bitrate, max_bitrate // 2)
    return esds(long_es, long_inner, head, specific)


def visual_esds(specific, long=True, rates=(200000, 123320)):
    return esds(long, long, bytes.fromhex('201100083C') + u32(*rates), specific)


# ---------------------------------------------------------------- movies

class Track:
    """A track of `samples` samples of 10 bytes, 100 units apart, in one
    chunk at the start of mdat, the first a sync sample; keywords change any
    field.  Chunk offsets are relative to mdat's payload unless `relative`
    is False.  `stss` None: no stss box; `omit`: an stbl child left out."""
    def __init__(self, id, samples=0, audio=False, **fields):
        self.id, self.handler, self.entry = id, 'soun' if audio else 'vide', 'mp4a' if audio else 'mp4v'
        self.width, self.height, self.timescale, self.duration = 176, 144, 44100 if audio else 1000, 0
        self.stts, self.stsc, self.chunks, self.relative = [(samples, 100)], [(1, samples)], [0], True
        self.sample_size, self.sample_count, self.sizes = 10, samples, []
        self.stss, self.omit, self.extra = None if audio else [1], '', b''
        self.tkhd, self.mdia, self.esds = True, True, full('esds', 0, bytes(20))
        self.__dict__.update(fields)


def sample_entry(t):
    if not t.entry:
        return b''
    if t.entry == 'mp4a':
        return box(t.entry, bytes(6), u16(1), bytes(8), u16(2, 16), bytes(4), u32(t.timescale << 16), t.esds)
    return box(t.entry, bytes(6), u16(1), bytes(16), u16(t.width, t.height), u32(0x480000, 0x480000, 0),
               u16(1), bytes(32), u16(0x18, 0xFFFF), t.esds)


def counted(entries, words):
    return u32(entries, *words)


def stbl(t, base):
    offsets = [o + base if t.relative else o for o in t.chunks]
    tables = [('stts', counted(len(t.stts), [w for run in t.stts for w in run])),
              ('stss', None if t.stss is None else counted(len(t.stss), t.stss)),
              ('stsc', counted(len(t.stsc), [w for run in t.stsc for w in (*run, 1)])),
              ('stsz', u32(t.sample_size) + counted(t.sample_count, [] if t.sample_size else t.sizes)),
              ('stco', counted(len(offsets), offsets))]
    children = [full(kind, 0, body) for kind, body in tables if body is not None and kind != t.omit]
    return box('stbl', full('stsd', 0, u32(1 if t.entry else 0), sample_entry(t)), *children, t.extra)


def trak(t, base):
    tkhd = full('tkhd', 1, u32(0, 0, t.id, 0, t.duration), bytes(52), u32(t.width << 16, t.height << 16))
    mdhd = full('mdhd', 0, u32(0, 0, t.timescale, t.duration), u16(0x55C4, 0))
    hdlr = full('hdlr', 0, u32(0), t.handler.encode(), bytes(12), b'h\0')
    media = full('smhd', 0, bytes(4)) if t.handler == 'soun' else full('vmhd', 1, bytes(8))
    dinf = box('dinf', full('dref', 0, u32(1), full('url ', 1)))
    mdia = box('mdia', mdhd, hdlr, box('minf', media, dinf, stbl(t, base)))
    return box('trak', tkhd if t.tkhd else b'', mdia if t.mdia else b'')


FTYP = box('ftyp', b'isom', u32(0x200), b'isommp41')
PLAIN_FTYP = box('ftyp', bytes(12))


def moov(tracks, base, tail=b''):
    mvhd = full('mvhd', 0, u32(0, 0, 1000, 0, 0x10000), u16(0x100), bytes(10 + 36 + 24), u32(9))
    iods = full('iods', 0, bytes([0x10, 7, 0, 0x4F]) + b'\xff' * 5)
    return box('moov', mvhd, iods, *[trak(t, base) for t in tracks], tail)


def movie(tracks, payload=b'', moov_last=False, moov_tail=b''):
    """ftyp, moov and mdat (or ftyp, mdat, moov), relative chunk offsets made absolute."""
    if moov_last:
        return FTYP + box('mdat', payload) + moov(tracks, len(FTYP) + 8, moov_tail)
    base = len(FTYP) + len(moov(tracks, 0, moov_tail)) + 8
    return FTYP + moov(tracks, base, moov_tail) + box('mdat', payload)


def set_u32(data, at, value):
    return data[:at] + u32(value) + data[at + 4:]


def last_box(data, kind):
    return data.rfind(kind.encode()) - 4


# ---------------------------------------------------------------- atom tree

make('small.mp4', movie([Track(1, 3, timescale=600, sample_size=0, sizes=[10, 20, 30])], bytes(60)))
# stco claims 1000 entries and holds one; stss claims 2^30+1, whose byte
# count wraps to 4 (it holds one entry).
make('table-counts.mp4', PLAIN_FTYP + box('moov', box('trak', box('mdia', box('minf', box(
    'stbl', full('stsz', 0, u32(32, 5)), full('stco', 0, u32(1000, 7)), full('stss', 0, u32(0x40000001, 1)),
    full('stts', 0, u32(0))))))))
make('3gpp-entry.mp4', PLAIN_FTYP + box('moov', box('stbl', full('stsd', 0, u32(1), box('s263', bytes(80))),
                                                    full('stts', 0, u32(0)))) + box('free', bytes(4)))
make('top-size-0.mp4', PLAIN_FTYP + box('mdat', bytes(8), size=0))
make('top-size-1.mp4', PLAIN_FTYP + box('mdat', bytes(16), size=1))
make('top-size-7.mp4', PLAIN_FTYP + box('mdat', bytes(8), size=7))
make('trailing-bytes.mp4', PLAIN_FTYP + bytes(5))
make('child-size-0.mp4', PLAIN_FTYP + box('moov', box('mvhd', size=0), bytes(8)))
make('child-size-4.mp4', PLAIN_FTYP + box('moov', box('mvhd', size=4), bytes(8)))
make('child-past-parent.mp4', PLAIN_FTYP + box('moov', box('mvhd', bytes(4), size=4000)))
make('top-past-file.mp4', PLAIN_FTYP + box('mdat', bytes(4), size=0xFFFFFFF0))
make('top-past-the-end.mp4', PLAIN_FTYP + box('mdat', bytes(4), size=0x7FFFFFF0))
make('unknown-top.mp4', PLAIN_FTYP + box('meta', bytes(4)))
nested = box('moov')
for _ in range(100):
    nested = box('moov', nested)
make('nested-100.mp4', PLAIN_FTYP + nested)
# Sizes that wrap past 2^32.  mdat's end wraps to 0: the top level would
# read ftyp and mdat again and again.  udta's end wraps to moov's own offset,
# and the next child's to the position of the first: moov's children would
# hold moov (and so on) or repeat without end.
make('top-wraps-to-the-start.mp4', PLAIN_FTYP + box('mdat', bytes(8), size=(1 << 32) - len(PLAIN_FTYP)))
make('child-wraps-to-its-parent.mp4', PLAIN_FTYP + box('moov', box('udta', bytes(4), size=(1 << 32) - 8)))
make('level-wraps-back.mp4', PLAIN_FTYP + box('moov', box('skip', bytes(4)), box('udta', size=(1 << 32) - 12)))
# udta's end wraps to 0, before moov: the level of moov's children goes on
# there, at a position it has not read, and takes ftyp for one of them.
make('child-wraps-before-its-parent.mp4', PLAIN_FTYP + box('moov', box('udta', bytes(4), size=(1 << 32) - 28)))
# A download that stopped 36 bytes into a moov of 2 MiB: its first child, a
# free of 1 MiB, is whole only in its header, and the next child's header
# would be 1 MiB further on, past the end of the file.
make('moov-cut-after-1-mib-free.mp4', (PLAIN_FTYP + box('moov', box('free', bytes(16), size=1 << 20),
                                                        size=1 << 21))[:36])


def overruns(n):
    """A udta of n 8-byte steps: the udta at step j (j > 0) is 16 bytes when
    j is odd and runs to the end when j is even (the last is 8 bytes).  Each
    odd one's child runs past it, and the level above reads that child's
    bytes again: the nodes double every two steps."""
    return b''.join(u32(8 * (n - j if j % 2 == 0 else 2) if j < n - 1 else 8) + b'udta' for j in range(n))


def before_moov(prefix, tracks, payload):
    """ftyp, `prefix`, then moov and mdat with chunk offsets into mdat."""
    base = len(FTYP) + len(prefix) + len(moov(tracks, 0)) + 8
    return FTYP + prefix + moov(tracks, base) + box('mdat', payload)


AV = [Track(1, 2), Track(2, 3, audio=True)]
# 176 bytes: 3,070 nodes below the top-level udta; 304 bytes: 786,430.
make('overruns-176-before-moov.mp4', before_moov(overruns(22), AV, bytes(50)))
make('overruns-304-before-moov.mp4', before_moov(overruns(38), AV, bytes(50)))


def rules_trak(stbl_children, dref_children=box('url ', bytes(4))):
    """A trak with the children the hierarchy rules ask for."""
    minf = box('minf', box('dinf', box('dref', bytes(8), dref_children)), box('stbl', stbl_children))
    mdia = box('mdia', box('mdhd', bytes(24)), box('hdlr', bytes(28)), minf)
    return box('trak', box('tkhd', bytes(84)), mdia)


MVHD, IODS = full('mvhd', 0, bytes(96)), full('iods', 0, bytes(8))
TABLES = box('stts', bytes(8)) + box('stsz', bytes(12)) + box('stsc', bytes(8))
GOOD_TRAK = rules_trak(box('stsd', bytes(8), box('mp4v', bytes(78), box('esds', bytes(4)))) + TABLES)
for name, moov_box in [
        ('valid', box('moov', MVHD, IODS, GOOD_TRAK)),
        ('no-iods', box('moov', MVHD, GOOD_TRAK, GOOD_TRAK)),
        ('two-stsz', box('moov', MVHD, IODS,
                         rules_trak(box('stsd', bytes(8)) + TABLES + box('stsz', bytes(12))))),
        ('foreign-child', box('moov', MVHD, IODS,
                              box('trak', box('tkhd', bytes(84)), box('mvhd', bytes(100))))),
        ('empty-dref', box('moov', MVHD, IODS, rules_trak(box('stsd', bytes(8)) + TABLES, b'')))]:
    make('rules-%s.mp4' % name, PLAIN_FTYP + moov_box + box('free') + box('mdat'))

# ---------------------------------------------------------------- opening, tracks

make('empty.mp4', b'')
make('text.mp4', b'Hello, this is no MP4 file at all.\n')
make('truncated.mp4', bytes([0, 0, 0, 24]) + b'ft')
make('ftyp-only.mp4', box('ftyp', b'isom'))
two = movie([Track(1, 2)], bytes(20))
make('moov-size-0.mp4', set_u32(two, len(FTYP), 0))
# moov shrunk to end where the track's mdia begins.
make('trak-past-moov.mp4', set_u32(two, len(FTYP), last_box(two, 'mdia') - len(FTYP)))
# moov last, ending with a udta whose child's header is cut short by the end of the file.
cut = movie([Track(1, 2), Track(2, 3, audio=True)], bytes(50), moov_last=True,
            moov_tail=box('udta', box('cprt', bytes(20))))
make('cut-in-udta.mp4', cut[:last_box(cut, 'udta') + 12])


def cut_in_stco(offsets, entries, held):
    """ftyp and moov, one video track whose stco (the file's last box) says
    it has `entries` entries; the file ends after `held` of them."""
    data = FTYP + moov([Track(1, len(offsets), stsc=[(1, 1)], chunks=offsets, relative=False)], 0)
    at = last_box(data, 'stco')
    return data[:at] + u32(16 + 4 * entries) + b'stco' + u32(0, entries) + data[at + 16:at + 16 + 4 * held]


make('stco-half-held.mp4', cut_in_stco([100, 500, 300, 400], 4, 2))
make('stco-beyond-the-file.mp4', cut_in_stco([100, 500], 1 << 20, 2))
# ftyp, mdat, moov: an audio track of 1000 samples of 4 bytes, one per chunk,
# whose stco (the file's last box, 4016 bytes in a file of some 700) ends
# after its first 3 entries.
thousand = movie([Track(1, 1000, audio=True, stsc=[(1, 1)], sample_size=4, stts=[(1000, 1024)],
                        chunks=[4 * k for k in range(1000)])], bytes(range(12)), moov_last=True)
make('stco-1000-cut-after-3.mp4', thousand[:last_box(thousand, 'stco') + 16 + 12])
# The same with 65545 samples: the tables hold 32 bytes (stts 8, stsc 12 and
# the 12 of stco), 8 entries' worth, and 65536 + 8 entries are stored, so the
# 65545 are computed when asked for; stco claims 262180 bytes.
many = movie([Track(1, 65545, audio=True, stsc=[(1, 1)], sample_size=4, stts=[(65545, 1024)],
                    chunks=[4 * k for k in range(65545)])], bytes(range(12)), moov_last=True)
make('stco-65545-cut-after-3.mp4', many[:last_box(many, 'stco') + 16 + 12])
# A url of 100000 bytes in a file that ends 5 bytes into its location.
url_moov = box('moov', box('trak', box('mdia', box('minf', box('dinf', box(
    'dref', u32(0, 1), box('url ', u32(0), b'file:', size=100000)))))))
make('url-beyond-the-file.mp4', PLAIN_FTYP + url_moov)
# stco of 2^29 entries, 2 GiB: a block no 32-bit process holds.
make('stco-of-2-gib.mp4', PLAIN_FTYP + box('moov', box('trak', box('mdia', box('minf', box(
    'stbl', full('stsz', 0, u32(4, 1)), box('stco', u32(0, 1 << 29, 64), size=(1 << 31) + 16)))))))
make('two-tracks.mp4', movie([Track(1, 2), Track(2, 2, audio=True)], bytes(20)))
make('no-tracks.mp4', movie([], bytes(4)))
make('no-tkhd.mp4', movie([Track(5, 2, tkhd=False), Track(1, 2)], bytes(20)))
make('no-moov.mp4', FTYP + box('mdat', bytes(8)))
make('no-mdia.mp4', movie([Track(1, 2, mdia=False)], bytes(20)))
make('ids-3-and-1.mp4', movie([Track(3, 3, width=320), Track(1, 2)], bytes(40)))
make('id-0.mp4', movie([Track(0, 2)], bytes(40)))
make('handlers.mp4', movie([Track(4 + i, 2, handler=h) for i, h in enumerate(['hint', 'odsm', 'sdsm', 'text'])
                            ], bytes(40)))
# An s263 video track beside an mp4v one; and one of each 3GPP entry alone.
make('s263-beside-mp4v.mp4', movie([Track(1, 4), Track(2, 3, entry='s263')], bytes(40)))
make('3gpp-tracks.mp4', movie([Track(1, 2, entry='s263'), Track(2, 2, audio=True, entry='samr')], bytes(40)))

# ---------------------------------------------------------------- sample index


def table_track(id, video, tables, **fields):
    """A track with the tables (stts, stsc, chunks, sample_size[, sizes]) and
    absolute chunk offsets (they need not point into the file)."""
    stts, stsc, chunks, sample_size, *sizes = tables
    return Track(id, audio=not video, **{'stts': stts, 'stsc': stsc, 'chunks': chunks, 'relative': False,
                                         'sample_size': sample_size, 'sizes': sizes[0] if sizes else [],
                                         'sample_count': sum(n for n, _ in stts), **fields})


# Two stts runs; two chunks of 2; stsc run 2 not reached; run 2 from chunk 3; one size for all.
TABLE_CASES = [
    ([(2, 1000), (2, 500)], [(1, 4)], [100], 0, [5, 6, 7, 1]),
    ([(4, 10)], [(1, 2)], [100, 500], 0, [10, 20, 30, 40]),
    ([(5, 10)], [(1, 3), (3, 1)], [100, 200, 300, 400], 10),
    ([(5, 10)], [(1, 1), (3, 2)], [100, 200, 300, 400], 10),
    ([(3, 7)], [(1, 2)], [100, 200], 32)]
make('index-tables.mp4', movie([table_track(1 + i, True, c) for i, c in enumerate(TABLE_CASES)] +
                               [table_track(6 + i, False, c) for i, c in enumerate(TABLE_CASES)], bytes(8)))
make('index-sync.mp4', movie([table_track(1 + i, True, ([(6, 10)], [(1, 6)], [0], 1), stss=s) for i, s in
                              enumerate([[1, 4], [1, 2, 3, 4, 5, 6], [0, 2, 2, 1, 4, 7, 1000]])], bytes(8)))
DISAGREE = [  # tracks 1 to 15: 6 samples of 4 bytes, 2 per chunk, chunks at 100 200 300, each changed so
    {}, {'stts': [(1, 10), (0, 99), (3, 10)]}, {'chunks': [100, 200]}, {'stsc': [(1, 0)]},
    {'stsc': [(1, 2), (2, 0)]}, {'stsc': [(2, 2), (1, 1)]}, {'stsc': []}, {'sample_count': 0},
    {'sample_size': 0, 'sizes': [1, 2, 3]},
    {'sample_count': 2, 'extra': full('stsz', 0, u32(3, 6))},
    {'omit': 'stss'}, {'omit': 'stts'}, {'omit': 'stsc'}, {'omit': 'stco'}, {'omit': 'stsz'}]
AUDIO_TABLES = ([(2, 10)], [(1, 2)], [0], 2)
make('index-disagree.mp4', movie(
    [table_track(1 + i, True, ([(6, 10)], [(1, 2)], [100, 200, 300], 4), **change)
     for i, change in enumerate(DISAGREE)] +
    [table_track(16, False, AUDIO_TABLES, omit='stts'),
     table_track(17, False, AUDIO_TABLES, omit='stco', extra=full('co64', 0, u32(1, 0, 0)))], bytes(8)))
# One chunk of 1000005 one-byte samples: the scenario grows the file to its full size.
LONG = 1000005
long_track = Track(1, LONG, audio=True, stts=[(LONG, 1)], sample_size=1)
make('index-long-head.mp4', movie([long_track], bytes(LONG))[:-LONG])
claim = table_track(1, False, ([(0x7FFFFFFF, 1)], [(1, 0x7FFFFFFF)], [0], 1))
make('index-claim.mp4', movie([claim], bytes(8)))
# stsz counts far above the file's bytes: 5000 samples of 10 bytes in one
# chunk (video, in a file of 800 bytes); 1000000 of 3 bytes in chunk runs of
# 300000 (chunks 1 and 2), 7 (3 and 4) and 250000 (from 5), audio.
make('count-5000.mp4', movie([table_track(1, True, ([(5000, 100)], [(1, 5000)], [0], 10))], bytes(40)))
make('count-1000000.mp4', movie([table_track(1, False, (
    [(600000, 2), (400000, 1024)], [(1, 300000), (3, 7), (5, 250000)], [1000, 2000, 3000, 4000, 5000, 6000],
    3))], bytes(40)))
# For the tool: an AAC track (LC, 44100 Hz, mono) of 100000 samples of 6
# bytes, far more than its tables' few words account for, so that the reader
# computes their entries rather than storing them.  Chunks of 30000, 30000,
# 7, 20000 and 19993, back to back; times 1024 apart, 2048 from sample
# 60000.  The file ends with mdat's header: the scenario appends the
# 600000 bytes of the samples, sample k the text of k in five digits and a
# newline (what `seq -w 0 99999` prints).
COMPUTED = 100000
computed = Track(1, COMPUTED, audio=True, stts=[(60000, 1024), (40000, 2048)],
                 stsc=[(1, 30000), (3, 7), (4, 20000), (5, 19993)], chunks=[0, 180000, 360000, 360042, 480042],
                 sample_size=6, esds=audio_esds(False, False, 0x40, 128000, bytes.fromhex('1208')))
make('computed-100000-head.mp4', movie([computed], bytes(6 * COMPUTED))[:-6 * COMPUTED])
# 262144 video samples of one byte in one chunk: the key-frame array, one
# slot for every two samples, is 131072 entries of 8 bytes, exactly 1 MiB.
make('count-262144.mp4', movie([table_track(1, True, ([(262144, 40)], [(1, 262144)], [0], 1))], bytes(40)))
# stts runs whose sample counts add up past 2^32, three samples of 10 bytes
# in one chunk: (2^32 - 1, 1) (2, 1); (2^32 - 1, 1) (1, 1), exactly 2^32;
# (1, 5) (2^32 - 1, 7).
WRAPS = [[(0xFFFFFFFF, 1), (2, 1)], [(0xFFFFFFFF, 1), (1, 1)], [(1, 5), (0xFFFFFFFF, 7)]]
make('index-stts-past-2-32.mp4', movie([table_track(1 + i, True, (runs, [(1, 3)], [100], 10), sample_count=3)
                                        for i, runs in enumerate(WRAPS)], bytes(8)))
# Video tracks of 6 samples, 3 key-frame slots, without a table the index
# needs: stss of all six samples and no stco; stss of four and no stts.
make('index-keys-past-slots.mp4', movie(
    [table_track(1, True, ([(6, 10)], [(1, 6)], [100], 4), stss=[1, 2, 3, 4, 5, 6], omit='stco'),
     table_track(2, True, ([(6, 10)], [(1, 6)], [100], 4), stss=[1, 3, 5, 6], omit='stts')], bytes(8)))
# Sample-to-chunk runs that end before they begin: a first_chunk repeated
# ((1, 2), (1, 2)), three in a row, going back, and a run end that wraps
# past 2^32.  Sizes 10, 20, 30, ..., chunks at 100, 500, 1000, 1500.
RUNS = [[(1, 2), (1, 2)], [(1, 1), (1, 1), (1, 1), (1, 3)], [(3, 2), (1, 2)],
        [(1, 0x80000000), (3, 1)]]
make('index-stsc-runs.mp4', movie([table_track(1 + i, True, ([(8, 10)], runs, [100, 500, 1000, 1500], 0,
                                                            [10 * (k + 1) for k in range(8)]))
                                   for i, runs in enumerate(RUNS)], bytes(8)))

# ---------------------------------------------------------------- sample access


def vop(k, key):
    """An MPEG-4 Visual VOP: start code, coding type in the top bits, 3 + k bytes of A0 + k."""
    return bytes([0, 0, 1, 0xB6, 0x00 if key else 0x40]) + bytes([0xA0 + k]) * (3 + k)


def access(stss=(1, 3, 5), audio=True):
    """Video of 6 samples (times k * 1000, sizes 8 + k, I-VOPs at 0, 2, 4) in
    chunks of 3 at 0 and 27 with the sync samples `stss`; audio of 4 samples
    of 4 bytes 10 + k (times k * 1024) in one chunk at 63, or none."""
    video = Track(1, 6, stts=[(6, 1000)], stsc=[(1, 3)], sample_size=0, sizes=[8 + k for k in range(6)],
                  chunks=[0, 27], stss=list(stss))
    sound = Track(2, 4, audio=True, stts=[(4, 1024)] if audio else [], sample_size=4, chunks=[63])
    payload = b''.join(vop(k, k % 2 == 0) for k in range(6))
    payload += b''.join(bytes([0x10 + k]) * 4 for k in range(4))
    return movie([video, sound], payload)


make('access.mp4', access())
make('access-cut.mp4', access()[:-30])
make('access-no-keys-no-audio.mp4', access(stss=[], audio=False))
for stss in [[1], [2, 5], [1, 2, 3, 4, 5, 6], [6], [3, 4], [3, 1, 5], [2, 2, 1]]:
    make('access-stss-%s.mp4' % '-'.join(map(str, stss)), access(stss=stss))
make('access-no-stss.mp4', movie([Track(1, 3, stss=None)], bytes(30)))
# timescale times 2 samples: past 2^31.
make('access-bound.mp4', movie([Track(1, 2, timescale=(1 << 30) + 1, stss=[1, 2])], bytes(30)))

# ---------------------------------------------------------------- decoder configuration, file information

SEQUENCE = bytes.fromhex('000001B001 000001B58913')
VIDEO_OBJECT = bytes.fromhex('0000010000000120 00C48D8800CD05841214 43')  # 176 x 144, 19 bytes
for name, box_ in [('whole', visual_esds(SEQUENCE + VIDEO_OBJECT)),
                   ('12-bytes', full('esds', 0)),
                   ('no-video-object', visual_esds(bytes.fromhex('000001B61000'))),
                   # a start code prefix at 77: its fourth byte would lie past the 80-byte record
                   ('prefix-at-77', visual_esds(bytes(34) + b'\0\0\1')),
                   # a video object at 73: its 19-byte header would run past the record
                   ('object-at-73', visual_esds(bytes(30) + VIDEO_OBJECT)),
                   # a video object at 76: its start code takes the record's last four bytes
                   ('object-at-76', visual_esds(bytes(33) + VIDEO_OBJECT)),
                   # a video object at 61: its header ends with the record's last byte
                   ('header-to-80', visual_esds(bytes(18) + VIDEO_OBJECT))]:
    make('m4v-esds-%s.mp4' % name, movie([Track(1, 2, esds=box_)], bytes(20)))
for payload in [20, 68, 100]:  # 68: exactly the 80-byte record
    make('m4a-esds-%d.mp4' % payload,
         movie([Track(1, 2, audio=True, esds=box('esds', bytes(range(8, 12 + payload))))], bytes(20)))

AAC_CASES = [  # long ES length, long inner lengths, objectTypeIndication, maxBitrate, AudioSpecificConfig
    ('lc-44100-mono', True, True, 0x40, 128000, '1208'),
    ('lc-48000-stereo', False, False, 0x40, 70000, '1190'),
    ('lc-48000-stereo-long-es', True, False, 0x40, 1, '1190'),
    ('he-22050-stereo', False, True, 0x40, 3, '2B920800'),
    ('mpeg1-audio', False, False, 0x6B, 160000, '1208'),
    ('mpeg2-audio', True, True, 0x69, 5, '1208'),
    ('rate-index-13', False, False, 0x40, 0, '1688'),
    ('rate-index-15', False, False, 0x40, 0, '1788000000'),
    ('rate-index-12', False, False, 0x40, 0, '1608')]
for name, long_es, long_inner, oti, rate, specific in AAC_CASES:
    make('aac-%s.mp4' % name, movie([Track(1, 2, audio=True, esds=audio_esds(
        long_es, long_inner, oti, rate, bytes.fromhex(specific)))], bytes(20)))
# A DecoderSpecificInfo whose length (48) runs past the end of the esds: the
# two bytes of its AudioSpecificConfig and the SLConfigDescriptor are all
# that follow.
past = audio_esds(False, False, 0x40, 1000, bytes.fromhex('1210'))
make('aac-config-past-the-esds.mp4', movie([Track(1, 2, audio=True, esds=past[:33] + b'\x30' + past[34:])],
                                           bytes(20)))
# 03 80 80 n: a two-byte continuation, not the 80 80 80 n form.
short = audio_esds(False, False, 0x40, 7, bytes.fromhex('1208'))[8:]
two_continuations = box('esds', short[:5] + b'\x80\x80' + short[5:])
make('aac-length-80-80-n.mp4', movie([Track(1, 2, audio=True, esds=two_continuations)], bytes(20)))
profile_esds = visual_esds(bytes.fromhex('000001B0F5 000001B509'), rates=(250000, 180000))
short_profile_esds = visual_esds(bytes.fromhex('000001B0F5 000001B509'), long=False, rates=(250000, 180000))
for name, box_ in [('profile-long-lengths', profile_esds),
                   ('profile-short-lengths', short_profile_esds),
                   ('no-es-descriptor', profile_esds[:12] + b'\x04' + profile_esds[13:]),
                   ('no-config-descriptor', short_profile_esds[:17] + b'\x05' + short_profile_esds[18:]),
                   ('only-continuation-bytes', full('esds', 0, bytes.fromhex('0380808080 80'))),
                   ('empty', box('esds'))]:
    make('video-esds-%s.mp4' % name, movie([Track(1, 2, esds=box_)], bytes(20)))
# MPEG-1 audio whose first frame (10 bytes, header ff fb 50 c4: single
# channel, no emphasis) the file cuts after 6 bytes, and after 2.
mp3_header = bytes.fromhex('fffb50c4') + bytes(range(0xA0, 0xAF))
mp3 = movie([Track(1, 2, audio=True, esds=audio_esds(False, False, 0x6B, 1, bytes.fromhex('1208')))],
            mp3_header + bytes(1))
make('mp3-first-frame-cut-after-6.mp4', mp3[:-14])
make('mp3-first-frame-cut-after-2.mp4', mp3[:-18])
# Three samples over 1001 units of 1000: 2.997 frames per second.
make('frame-rate-truncated.mp4', movie([Track(1, 3, duration=1001)], bytes(30)))
# timescale 2^32 - 1, two samples over a duration of 1: the frame rate does not fit.
make('frame-rate-too-large.mp4', movie([Track(1, 2, timescale=0xFFFFFFFF, duration=1)], bytes(20)))

# ---------------------------------------------------------------- MPEG-4 Visual headers


class Bits:
    def __init__(self):
        self.bits = []

    def put(self, value, count):
        self.bits += [(int(value) >> i) & 1 for i in reversed(range(count))]

    def finish(self):
        """The bytes, the last one completed with next_start_code stuffing
        (a 0, then 1s), then a VOP start code."""
        bits = self.bits + [0, 1, 1, 1, 1, 1, 1, 1][:-len(self.bits) % 8]
        data = bytes(int(''.join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
        return data + bytes.fromhex('000001B610')


def vol(verid=0, aspect=1, vol_control=False, shape=0, resolution=25, fixed_rate=False, increment=(0, 0),
        width=176, height=144, sprite=0, not_8_bit=False, quant_type=False, intra=False, non_intra=False,
        quarter_sample=False, complexity_disable=True, data_partitioned=False, new_pred=False,
        reduced_resolution=False, scalability=False):
    """A video object and video object layer header; the defaults make the
    simplest header the parser accepts.  `increment`: (value, bits)."""
    w = Bits()
    w.put(0x100, 32), w.put(0x120, 32)  # video_object, video_object_layer start codes
    w.put(0, 1), w.put(1, 8)  # random_accessible_vol, video_object_type_indication simple
    w.put(verid != 0, 1)
    if verid:
        w.put(verid, 4), w.put(1, 3)
    w.put(aspect, 4)
    if aspect == 15:
        w.put(0xABCD, 16)
    w.put(vol_control, 1)
    if vol_control:  # chroma_format, low_delay, vbv_parameters; bit rate, buffer size, occupancy
        for value, count in [(7, 4), (0x7FFF, 15), (1, 1), (1, 15), (1, 1), (0x7FFF, 15), (1, 1), (5, 3),
                             (0x7FF, 11), (1, 1), (0x1234, 15), (1, 1)]:
            w.put(value, count)
    w.put(shape, 2)
    w.put(1, 1), w.put(resolution, 16), w.put(1, 1)
    w.put(fixed_rate, 1)
    if fixed_rate:
        w.put(*increment)
    w.put(1, 1), w.put(width, 13), w.put(1, 1), w.put(height, 13)
    w.put(5, 3)  # marker, interlaced 0, obmc_disable 1
    w.put(sprite, 1 if verid in (0, 1) else 2)
    w.put(not_8_bit, 1)
    w.put(quant_type, 1)
    if quant_type:
        for load, first in [(intra, 8), (non_intra, 16)]:
            w.put(load, 1)
            for i in range(64 if load else 0):
                w.put(first + i, 8)
    if verid > 1:
        w.put(quarter_sample, 1)
    w.put(complexity_disable, 1)
    w.put(1, 1)  # resync_marker_disable
    w.put(data_partitioned, 1)
    if data_partitioned:
        w.put(1, 1)  # reversible_vlc
    if verid > 1:
        w.put(new_pred, 1), w.put(reduced_resolution, 1)
    w.put(scalability, 1)
    return w.finish()


# vop_time_increment takes as many bits as vop_time_increment_resolution - 1 needs, at least one.
for name, fields in [
        ('plain', {}),
        ('fixed-rate-25-to-a-byte-boundary', dict(fixed_rate=True, increment=(31, 5), data_partitioned=True)),
        ('fixed-rate-1', dict(resolution=1, fixed_rate=True, increment=(1, 1))),
        ('fixed-rate-0', dict(resolution=0, fixed_rate=True, increment=(1, 1))),
        ('fixed-rate-32768',
         dict(resolution=32768, fixed_rate=True, increment=(0x7FFF, 15), width=720, height=576)),
        ('extended-par-and-vbv', dict(aspect=15, vol_control=True, verid=1)),
        ('quant-matrices', dict(quant_type=True, intra=True, non_intra=True)),
        ('quant-type-without-matrices', dict(quant_type=True)),
        ('version-2', dict(verid=2, width=64, height=48)),
        ('version-2-intra-matrix', dict(verid=2, quant_type=True, intra=True)),
        ('shape-not-rectangular', dict(shape=2)),
        ('sprites', dict(sprite=1)),
        ('version-2-sprite-gmc', dict(verid=2, sprite=2)),
        ('not-8-bit', dict(not_8_bit=True)),
        ('quarter-sample', dict(verid=2, quarter_sample=True)),
        ('complexity-estimation', dict(complexity_disable=False)),
        ('newpred', dict(verid=2, new_pred=True)),
        ('reduced-resolution', dict(verid=2, reduced_resolution=True)),
        ('scalability', dict(scalability=True))]:
    make('vol-%s.m4v' % name, vol(**fields))
HEADER = vol()
HEADER_BYTES = len(HEADER) - 5  # without the VOP start code
make('m4v-sequence-first.m4v', SEQUENCE[:5] + bytes.fromhex('000001B509') + HEADER)
make('m4v-longer-than-the-buffer.m4v', SEQUENCE[:5] + bytes.fromhex('000001B509') + HEADER + bytes(2000))
make('m4v-vop-first.m4v', bytes.fromhex('000001B6') + HEADER)
make('m4v-only-a-prefix.m4v', b'\0\0\1')
make('m4v-cut-in-the-header.m4v', HEADER[:12])
make('m4v-cut-in-the-height.m4v', HEADER[:15])
make('m4v-missing-its-last-byte.m4v', HEADER[:HEADER_BYTES - 1])
# A video object layer start code (00 00 01 20) first, before the header's own.
make('m4v-layer-start-code-first.m4v', bytes.fromhex('00000120') + HEADER[4:])
# A sequence header, then no video object in the 500 bytes read, but a start
# code prefix at 497 whose fourth byte would be the 501st.
make('m4v-prefix-at-497.m4v', SEQUENCE[:5] + b'\xff' * 492 + b'\0\0\1' + b'\xff' * 20)
# A video object at 400 whose header (with both quantiser matrices) runs past
# the 500 bytes read.
make('m4v-header-past-the-buffer.m4v', SEQUENCE[:5] + bytes.fromhex('000001B509') + bytes.fromhex('000001B2') +
     b'U' * 386 + vol(quant_type=True, intra=True, non_intra=True))
# vop_time_increment_resolution 16 (4-bit increments) without fixed_vop_rate,
# and four intra planes at increments 0, 2, 4 and 6: 1/8 s apart.
def timed_vop(increment):
    bits = Bits()
    bits.put(0, 2), bits.put(0, 1), bits.put(1, 1), bits.put(increment, 4), bits.put(1, 1), bits.put(1, 1)
    bits.put(0, 6)
    return bytes.fromhex('000001B6') + bytes(int(''.join(map(str, bits.bits[i:i + 8])), 2)
                                             for i in range(0, 16, 8)) + b'\x55' * 8
make('m4v-resolution-16-pictures.m4v', SEQUENCE[:5] + bytes.fromhex('000001B509') +
     vol(resolution=16)[:-5] + b''.join(timed_vop(k) for k in (0, 2, 4, 6)))
# From a video object start code made 00 00 01 01: a header that measures, but
# no configuration the writer takes.
make('m4v-object-1.m4v', bytes.fromhex('00000101') + HEADER[4:])

# ---------------------------------------------------------------- ADTS streams


def adts(lengths, crc=False):
    """AAC LC at 44100 Hz in stereo, frames of the given lengths (header
    included); the bytes after each header count 7, 8, ...  With a CRC
    (protection_absent 0) the header still takes 7 bytes."""
    return b''.join(bytes([0xFF, 0xF0 if crc else 0xF1, 0x50, 0x80, n >> 3, (n & 7) << 5 | 0x1F, 0xFC]) +
                    bytes(range(7, n)) for n in lengths)


make('adts-100-120-110.aac', adts([100, 120, 110]))
make('adts-crc-100-120-110.aac', adts([100, 120, 110], crc=True))
# A frame of 7 bytes between two others: a header without payload.
make('adts-50-7-60.aac', adts([50, 7, 60]))


# ---------------------------------------------------------------- write or check

def main():
    check = sys.argv[1:] == ['--check']
    if sys.argv[1:] and not check:
        sys.exit(__doc__)
    os.makedirs(OUT, exist_ok=True)
    stale = sorted(set(os.listdir(OUT)) - set(FILES))
    differ = []
    for name, data in sorted(FILES.items()):
        path = os.path.join(OUT, name)
        old = open(path, 'rb').read() if os.path.exists(path) else None
        if old != data:
            differ.append(name)
            if not check:
                with open(path, 'wb') as f:
                    f.write(data)
    if check:
        for name in differ:
            print('differs from its description: %s' % name)
        for name in stale:
            print('not made by this script: %s' % name)
        sys.exit(1 if differ or stale else 0)
    print('%d files, %d written; not made by this script: %s'
          % (len(FILES), len(differ), ' '.join(stale) or 'none'))


main()
