// Filling a track's atoms before writing: every record of the trak subtree
// receives its fields (big-endian) and its final size, computed bottom-up;
// the sample tables are built from the frames the track collected.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "write/write.h"

const uint8_t kUnityMatrix[36] = {0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00, 0x00, 0x00};

int32_t StoreAtomSize(AtomNode *atom, uint32_t size) {
    StoreU32(atom->realStructure, 0, size);
    atom->size = size;
    return static_cast<int32_t>(size);
}

namespace {

// Track-wide totals, after checking that the chain of blocks is consistent
// and that no block claims more entries than its tables hold.
struct TrackTotals {
    uint32_t samples = 0;
    uint32_t keyFrames = 0;
};

bool CheckTrackChain(const TrackNode *track, TrackTotals *totals) {
    for (const TrackNode *block = track; block != nullptr; block = block->nextBlock) {
        totals->samples += block->sampleCount;
        totals->keyFrames += block->keyFrameCount;
        if (block->firstSample + block->sampleCount != totals->samples ||
            block->sampleCount > block->capacity) {
            std::printf("Error value in the TrackNode's SampleCount;\n");
            return false;
        }
        if (block->firstKeyFrame + block->keyFrameCount != totals->keyFrames ||
            block->keyFrameCount > block->capacity) {
            std::printf("Error value in the TrackNode's KeyFrameCount;\n");
            return false;
        }
    }
    return true;
}

uint32_t TimeOf(const TrackNode *track, uint32_t i) {
    const FrameEntry *e = SampleAt(track, i);
    return e ? e->time : 0;
}
uint32_t SizeOf(const TrackNode *track, uint32_t i) {
    const FrameEntry *e = SampleAt(track, i);
    return e ? e->size : 0;
}
uint32_t OffsetOf(const TrackNode *track, uint32_t i) {
    const FrameEntry *e = SampleAt(track, i);
    return e ? e->offset : 0;
}
uint32_t KeySampleOf(const TrackNode *track, uint32_t k) {
    const KeyFrameEntry *e = KeyFrameAt(track, k);
    return e ? e->sampleNumber : 0;
}

// A table of `entries` entries of `entrySize` bytes, zero-filled.
bool AllocEntries(AtomNode *atom, uint32_t entries, uint32_t entrySize) {
    const uint64_t bytes = uint64_t(entries) * entrySize;
    if (bytes > 0x7FFFFFF0u || !AllocRecordTable(atom->realStructure, uint32_t(bytes))) {
        std::printf("Can't allocate the table of [%s] atom\n", atom->type);
        return false;
    }
    return true;
}

int32_t TableAtomSize(AtomNode *atom, uint32_t fixed, uint32_t entries, uint32_t entrySize) {
    return StoreAtomSize(atom, fixed + entries * entrySize);
}

// ------------------------------------------------ containers

int32_t FillContainer(AtomNode *atom, TrackNode *track, uint32_t headerBytes) {
    uint32_t size = headerBytes;
    uint32_t entries = 0;
    for (AtomNode *child = atom->firstChild; child != nullptr; child = child->next) {
        const int32_t result = FillAtomRecord(child, track);
        if (result < 1) {
            std::printf("there is error in [%s]'s child=>[%s]\n", atom->type, child->type);
            return -99;
        }
        size += uint32_t(result);
        ++entries;
    }
    if (SameAtomType(atom->type, "dref")) StoreU32(atom->realStructure, 12, entries);
    return StoreAtomSize(atom, size);
}

// ------------------------------------------------ headers

int32_t FillTkhd(AtomNode *atom, TrackNode *track) {
    realStructure *r = atom->realStructure;
    StoreU32(r, 8, 1);
    StoreU32(r, 12, kFixedTimeStamp);
    StoreU32(r, 16, kFixedTimeStamp);
    StoreU32(r, 20, track->trackId);
    StoreU32(r, 28, track->duration);
    StoreU16(r, 44, track->audioTrackRef == track->trackId ? 0x0100 : 0);
    StoreBytes(r, 48, kUnityMatrix, sizeof kUnityMatrix);
    StoreU32(r, 84, uint32_t(track->width) << 16);
    StoreU32(r, 88, uint32_t(track->height) << 16);
    return StoreAtomSize(atom, 92);
}

int32_t FillMdhd(AtomNode *atom, TrackNode *track) {
    realStructure *r = atom->realStructure;
    StoreU32(r, 12, kFixedTimeStamp);
    StoreU32(r, 16, kFixedTimeStamp);
    StoreU32(r, 20, track->timescale);
    StoreU32(r, 24, track->duration);
    return StoreAtomSize(atom, 32);
}

int32_t FillHdlr(AtomNode *atom, TrackNode *track) {
    static constexpr const char *kHandlers[] = {nullptr, "vide", "soun", "hint", "odsm", "sdsm"};
    if (track->trackType >= 1 && track->trackType <= 5)
        StoreBytes(atom->realStructure, 16, kHandlers[track->trackType], 4);
    return StoreAtomSize(atom, 36);
}

int32_t FillFlagsOnly(AtomNode *atom, uint32_t flags, uint32_t size) {
    StoreU32(atom->realStructure, 8, flags);
    return StoreAtomSize(atom, size);
}

int32_t FillElst(AtomNode *atom) {
    if (!AllocEntries(atom, 1, 12)) return -99;
    StoreU32(atom->realStructure, 12, 1);
    return TableAtomSize(atom, 16, 1, 12);
}

int32_t FillMpod(AtomNode *atom, TrackNode *track) {
    const bool both = track->videoTrackRef != 0 && track->audioTrackRef != 0;
    const uint32_t n = both ? 2 : 1;
    if (!AllocEntries(atom, n, 4)) return -99;
    realStructure *r = atom->realStructure;
    if (both) {
        StoreTableU32(r, 0, track->videoTrackRef);
        StoreTableU32(r, 1, track->audioTrackRef);
    } else {
        StoreTableU32(r, 0, track->videoTrackRef ? track->videoTrackRef : track->audioTrackRef);
    }
    return TableAtomSize(atom, 8, n, 4);
}

// ------------------------------------------------ sample tables

// Decoding times as run-length coded durations; the last sample lasts as
// long as the one before it.  A track of one sample gets the entry (1, 0):
// there is no next time to measure it by, and the object-descriptor and
// scene tracks, whose one sample has time 0, get the same entry.
int32_t FillStts(AtomNode *atom, TrackNode *track, uint32_t n) {
    uint32_t entries = n == 0 ? 0 : 1;
    for (uint32_t i = 1; i + 1 < n; ++i) {
        const uint32_t delta = TimeOf(track, i + 1) - TimeOf(track, i);
        if (delta != TimeOf(track, i) - TimeOf(track, i - 1)) ++entries;
    }
    if (!AllocEntries(atom, entries, 8)) return -99;
    realStructure *r = atom->realStructure;
    uint32_t entry = 0, count = 0, delta = 0, duration = 0;
    for (uint32_t i = 0; i + 1 < n; ++i) {
        const uint32_t d = TimeOf(track, i + 1) - TimeOf(track, i);
        if (count > 0 && d != delta) {
            StoreTableU32(r, 2 * entry, count);
            StoreTableU32(r, 2 * entry + 1, delta);
            duration += count * delta;
            ++entry;
            count = 0;
        }
        delta = d;
        ++count;
    }
    if (n > 0) {
        ++count;  // the last sample, as long as the one before it (or 0 alone)
        StoreTableU32(r, 2 * entry, count);
        StoreTableU32(r, 2 * entry + 1, delta);
        duration += count * delta;
    }
    StoreU32(r, 12, entries);
    track->duration = duration;
    return TableAtomSize(atom, 16, entries, 8);
}

// One sample_size for all when every sample has it, else the table.  A track
// whose frames are all empty thus gets sample_size 0 without a table, which
// readers take for a missing table: such frames hold nothing to lose.
int32_t FillStsz(AtomNode *atom, TrackNode *track, uint32_t n) {
    bool same = n >= 1;
    for (uint32_t i = 1; same && i < n; ++i) same = SizeOf(track, i) == SizeOf(track, 0);
    realStructure *r = atom->realStructure;
    StoreU32(r, 16, n);
    if (same) {
        AllocRecordTable(r, 0);
        StoreU32(r, 12, SizeOf(track, 0));
        return StoreAtomSize(atom, 20);
    }
    if (!AllocEntries(atom, n, 4)) return -99;
    for (uint32_t i = 0; i < n; ++i) StoreTableU32(r, i, SizeOf(track, i));
    return TableAtomSize(atom, 20, n, 4);
}

bool ChunksPerKeyFrame(const TrackNode *track) { return track->trackType == kVideoTrack; }
bool ChunksOfThirty(const TrackNode *track) {
    return track->trackType == kAudioTrack || track->trackType == kObjectDescriptorTrack ||
           track->trackType == kSceneTrack;
}

// Video chunks begin at the key frames, one chunk per key frame.  Frames
// before the first key frame belong to no chunk: hosts start a video track
// with a key frame, and a track that does not is written as it always was.
uint32_t VideoChunks(const TrackNode *, const TrackTotals &t) { return t.keyFrames; }

// The first sample of video chunk c (from 0).
uint32_t VideoChunkStart(const TrackNode *track, const TrackTotals &, uint32_t c) {
    return KeySampleOf(track, c);
}

void StoreStscEntry(realStructure *r, uint32_t i, uint32_t firstChunk, uint32_t samples) {
    StoreTableU32(r, 3 * i, firstChunk);
    StoreTableU32(r, 3 * i + 1, samples);
    StoreTableU32(r, 3 * i + 2, 1);
}

int32_t FillStsc(AtomNode *atom, TrackNode *track, const TrackTotals &t) {
    realStructure *r = atom->realStructure;
    uint32_t entries = 0;
    if (ChunksPerKeyFrame(track)) {
        entries = VideoChunks(track, t);
        if (!AllocEntries(atom, entries, 12)) return -99;
        for (uint32_t k = 0; k < entries; ++k) {
            const uint32_t end = k + 1 < entries ? VideoChunkStart(track, t, k + 1) : t.samples;
            StoreStscEntry(r, k, k + 1, end - VideoChunkStart(track, t, k));
        }
    } else if (ChunksOfThirty(track)) {
        const uint32_t q = t.samples / 30, rest = t.samples % 30;
        entries = t.samples >= 30 && rest != 0 ? 2 : 1;
        if (!AllocEntries(atom, entries, 12)) return -99;
        StoreStscEntry(r, 0, 1, t.samples < 30 ? t.samples : 30);
        if (entries == 2) StoreStscEntry(r, 1, q + 1, rest);
    } else {
        return -99;
    }
    StoreU32(r, 12, entries);
    return TableAtomSize(atom, 16, entries, 12);
}

int32_t FillStco(AtomNode *atom, TrackNode *track, const TrackTotals &t) {
    realStructure *r = atom->realStructure;
    uint32_t entries = 0;
    if (ChunksPerKeyFrame(track)) {
        entries = VideoChunks(track, t);
        if (!AllocEntries(atom, entries, 4)) return -99;
        for (uint32_t k = 0; k < entries; ++k)
            StoreTableU32(r, k, OffsetOf(track, VideoChunkStart(track, t, k)));
    } else if (ChunksOfThirty(track)) {
        entries = t.samples / 30 + (t.samples % 30 != 0 ? 1 : 0);
        if (!AllocEntries(atom, entries, 4)) return -99;
        for (uint32_t c = 0; c < entries; ++c) StoreTableU32(r, c, OffsetOf(track, 30 * c));
    } else {
        return -99;
    }
    StoreU32(r, 12, entries);
    return TableAtomSize(atom, 16, entries, 4);
}

int32_t FillStss(AtomNode *atom, TrackNode *track, uint32_t keyFrames) {
    if (!AllocEntries(atom, keyFrames, 4)) return -99;
    realStructure *r = atom->realStructure;
    for (uint32_t k = 0; k < keyFrames; ++k) StoreTableU32(r, k, KeySampleOf(track, k) + 1);
    StoreU32(r, 12, keyFrames);
    return TableAtomSize(atom, 16, keyFrames, 4);
}

bool Is(const AtomNode *atom, const char *type) { return SameAtomType(atom->type, type); }

bool IsTrackContainer(const AtomNode *atom) {
    for (const char *type : {"trak", "mdia", "minf", "dinf", "stbl", "tref", "edts"})
        if (Is(atom, type)) return true;
    return false;
}

// The atoms of this file, other than the sample descriptions; -1 when the
// type is none of them.
int32_t FillTrackLevelRecord(AtomNode *atom, TrackNode *track, const TrackTotals &t) {
    if (IsTrackContainer(atom)) return FillContainer(atom, track, 8);
    if (Is(atom, "dref")) return FillContainer(atom, track, 16);
    if (Is(atom, "tkhd")) return FillTkhd(atom, track);
    if (Is(atom, "mdhd")) return FillMdhd(atom, track);
    if (Is(atom, "hdlr")) return FillHdlr(atom, track);
    if (Is(atom, "vmhd")) return FillFlagsOnly(atom, 1, 20);
    if (Is(atom, "smhd")) return StoreAtomSize(atom, 16);
    if (Is(atom, "nmhd")) return StoreAtomSize(atom, 12);
    if (Is(atom, "hmhd")) return StoreAtomSize(atom, 28);
    if (Is(atom, "url ")) return FillFlagsOnly(atom, 1, 12);
    if (Is(atom, "elst")) return FillElst(atom);
    if (Is(atom, "mpod")) return FillMpod(atom, track);
    if (Is(atom, "stts")) return FillStts(atom, track, t.samples);
    if (Is(atom, "stsz")) return FillStsz(atom, track, t.samples);
    if (Is(atom, "stsc")) return FillStsc(atom, track, t);
    if (Is(atom, "stco")) return FillStco(atom, track, t);
    if (Is(atom, "stss")) return FillStss(atom, track, t.keyFrames);
    return -1;
}

bool IsHandledType(const AtomNode *atom) {
    static constexpr const char *kTypes[] = {
        "trak", "mdia", "minf", "dinf", "stbl", "tref", "edts", "dref", "tkhd", "mdhd",
        "hdlr", "vmhd", "smhd", "nmhd", "hmhd", "url ", "elst", "mpod", "stts", "stsz",
        "stsc", "stco", "stss", "stsd", "mp4v", "s263", "mp4a", "samr", "mp4s", "esds",
        "d263", "damr"};
    for (const char *type : kTypes)
        if (Is(atom, type)) return true;
    return false;
}

}  // namespace

// Fills one atom and, through the containers, its descendants; returns the
// atom's total size, -1 for a type not handled here, -99 on an error.  An
// atom of a handled type without a record is an error (nothing to fill).
int32_t FillAtomRecord(AtomNode *atom, TrackNode *track) {
    if (atom == nullptr || track == nullptr) return -99;
    TrackTotals totals;
    if (!CheckTrackChain(track, &totals)) return -99;
    if (!IsHandledType(atom)) return -1;
    if (atom->realStructure == nullptr) {
        std::printf("the [%s] atom doesn't have a realStructure\n", atom->type);
        return -99;
    }
    const int32_t result = FillTrackLevelRecord(atom, track, totals);
    return result != -1 ? result : FillSampleDescriptionRecord(atom, track);
}

int32_t FillTrackAtoms(TrackNode *track) {
    if (track == nullptr) {
        DebugOutput("The input TrackNode is empty\n");
        return -99;
    }
    if (track->trakAtom == nullptr || !SameAtomType(track->trakAtom->type, "trak")) {
        DebugOutput("This atom is not a track atom\n");
        return -99;
    }
    return FillAtomRecord(track->trakAtom, track);
}
