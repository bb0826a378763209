// The sample index: the track's sample tables ("stsz", "stts", "stsc",
// "stco" and, for video, "stss") turned into one SampleEntry per sample and
// one KeyFrameEntry per sync sample, so that sample access never consults the
// atoms again.
//
// A track that lacks one of the tables it needs keeps the counts read from
// "stsz" and "stss" and arrays of zeros: its samples are handed out with
// size 0 and time 0.  (ffmpeg writes no "stss" when every frame is a key
// frame, so such video tracks are common.)  The counts never exceed the
// arrays actually allocated.
//
// Left to this implementation, for tables that disagree with one another: the
// index stops at the last sample that every table covers, and sampleCount is
// set to that number:
//   - a sample without a size ("stsz" table shorter than its sample_count),
//     without a duration ("stts" runs that end early), or whose chunk has no
//     offset ("stco" shorter than the chunk walk) ends the index;
//   - a "stsc" run with samples_per_chunk 0, or whose first_chunk does not
//     grow past the previous entry's, ends the index where that run begins;
//   - the index never holds more samples than the arrays allocated for the
//     track (capacity), so a track whose arrays could not be allocated keeps
//     no samples at all;
//   - a sample whose offset would not fit in 32 bits ends the index.
// The last "stsc" run has no end of its own: it goes on as long as samples and
// chunk offsets do (no sample-number sentinel is involved).
// Key frames keep the order of "stss", repeated and descending entries
// included; only entries of 0 or past the last indexed sample, which name no
// sample, are dropped.  The key-frame array is enlarged when the entries
// outnumber capacity / 2.
#include <cstdio>
#include <cstdlib>

#include "read/read.h"

namespace {

constexpr uint32_t kEntryCount = 12;        // entry_count of the counted tables
constexpr uint32_t kStszSampleSize = 12;
constexpr uint32_t kStszSampleCount = 16;
constexpr uint64_t kUnboundedRun = UINT64_MAX;

struct SampleTables {
    const realStructure *stsz = nullptr;
    const realStructure *stts = nullptr;
    const realStructure *stsc = nullptr;
    const realStructure *stco = nullptr;
    const realStructure *stss = nullptr;
};

bool IsType(const AtomNode *node, const char *type) {
    return node != nullptr && SameAtomType(node->type, type);
}

// Entries a table really holds: its entry_count, bounded by the bytes read.
uint32_t TableEntries(const realStructure *record, uint32_t entryBytes) {
    if (record == nullptr || record->table == nullptr) return 0;
    const uint32_t held = record->tableBytes / entryBytes;
    const uint32_t count = RecordU32(record, kEntryCount);
    return count < held ? count : held;
}

// Steps 1 to 3 of both builders: the "stbl" children, the last of each type.
bool CollectTables(ReadTrack *track, bool video, SampleTables *tables) {
    if (!IsType(track->trak, "trak")) {
        std::printf("This atom not a track atom\n");
        return false;
    }
    const char *missing = nullptr;
    const AtomNode *stbl = FindAtomPath(track->trak, {"mdia", "minf", "stbl"}, &missing);
    if (stbl == nullptr) {
        std::printf("Can't find [%s] atom\n", missing ? missing : "");
        return false;
    }
    for (const AtomNode *child = stbl->firstChild; child != nullptr; child = child->next) {
        const realStructure *record = child->realStructure;
        if (IsType(child, "stsz")) {
            tables->stsz = record;
            track->sampleCount = RecordU32(record, kStszSampleCount);
        } else if (IsType(child, "stts")) {
            tables->stts = record;
        } else if (IsType(child, "stco")) {
            tables->stco = record;
        } else if (IsType(child, "stsc")) {
            tables->stsc = record;
        } else if (video && IsType(child, "stss")) {
            tables->stss = record;
            track->keyFrameCount = RecordU32(record, kEntryCount);
        }
    }
    return true;
}

bool HasAllTables(const SampleTables &t, bool video) {
    return t.stsz && t.stts && t.stsc && t.stco && (!video || t.stss);
}

// Sample sizes: one for all, or the "stsz" table.
struct SizeSource {
    explicit SizeSource(const realStructure *stsz)
        : fixed(RecordU32(stsz, kStszSampleSize)), table(stsz),
          entries(stsz && stsz->table ? stsz->tableBytes / 4 : 0) {}
    bool Get(uint32_t k, uint32_t *size) const {
        if (fixed != 0) {
            *size = fixed;
            return true;
        }
        if (k >= entries) return false;
        *size = TableU32(table, k);
        return true;
    }
    uint32_t fixed;
    const realStructure *table;
    uint32_t entries;
};

// Sample durations from the "stts" runs (sample_count, sample_delta).
struct DurationSource {
    explicit DurationSource(const realStructure *stts)
        : table(stts), entries(TableEntries(stts, 8)) {}
    bool Next(uint32_t *delta) {
        while (left == 0) {
            if (entry >= entries) return false;
            left = TableU32(table, 2 * entry);
            current = TableU32(table, 2 * entry + 1);
            ++entry;
        }
        --left;
        *delta = current;
        return true;
    }
    const realStructure *table;
    uint32_t entries;
    uint32_t entry = 0;
    uint32_t left = 0;
    uint32_t current = 0;
};

// The walk over sample-to-chunk runs and chunk offsets.  Each "stsc" entry
// (first_chunk from 1, samples_per_chunk, sample_description_index) starts a
// run of chunks that ends where the next entry's first_chunk begins.
struct ChunkWalk {
    ChunkWalk(const realStructure *stsc_, const realStructure *stco_)
        : stsc(stsc_), stco(stco_), runs(TableEntries(stsc_, 12)), chunks(TableEntries(stco_, 4)) {
        valid = runs > 0 && EnterRun(0);
    }
    uint32_t FirstChunk(uint32_t run) const { return TableU32(stsc, 3 * run); }
    // Makes `run` current, starting at sample runStart.
    bool EnterRun(uint32_t r) {
        run = r;
        spc = TableU32(stsc, 3 * r + 1);
        if (spc == 0) return false;
        if (r + 1 >= runs) {
            runEnd = kUnboundedRun;
            return true;
        }
        const uint32_t first = FirstChunk(r);
        const uint32_t next = FirstChunk(r + 1);
        if (next <= first) return false;
        runEnd = runStart + uint64_t(next - first) * spc;
        return true;
    }
    bool ChunkOffset(uint32_t *offset) const {
        if (chunk >= chunks) return false;
        *offset = TableU32(stco, chunk);
        return true;
    }
    // Offset of sample k, given where the previous sample ended.
    bool Next(uint32_t k, uint64_t previousEnd, uint32_t *offset) {
        if (!valid) return false;
        if (k > 0 && k >= runEnd) {
            runStart = runEnd;
            ++chunk;
            if (!EnterRun(run + 1)) return valid = false;
        }
        if (k == runStart) return ChunkOffset(offset);
        if ((k - runStart) % spc == 0) {
            ++chunk;
            return ChunkOffset(offset);
        }
        if (previousEnd > UINT32_MAX) return false;
        *offset = uint32_t(previousEnd);
        return true;
    }
    const realStructure *stsc;
    const realStructure *stco;
    uint32_t runs;
    uint32_t chunks;
    bool valid = false;
    uint32_t run = 0;
    uint32_t spc = 0;
    uint64_t runStart = 0;
    uint64_t runEnd = 0;
    uint32_t chunk = 0;
};

// Sizes, times and offsets of up to `limit` samples; returns how many every
// table covers.
uint32_t FillSamples(ReadTrack *track, const SampleTables &t, uint32_t limit) {
    const SizeSource sizes(t.stsz);
    DurationSource durations(t.stts);
    ChunkWalk walk(t.stsc, t.stco);
    uint32_t time = 0;
    uint64_t previousEnd = 0;
    for (uint32_t k = 0; k < limit; ++k) {
        SampleEntry entry{};
        uint32_t delta = 0;
        if (!sizes.Get(k, &entry.size) || !durations.Next(&delta) ||
            !walk.Next(k, previousEnd, &entry.offset))
            return k;
        entry.time = time;
        track->samples[k] = entry;
        time += delta;
        previousEnd = uint64_t(entry.offset) + entry.size;
    }
    return limit;
}

bool NamesIndexedSample(uint32_t number, uint32_t samples) {
    return number != 0 && number <= samples;
}

// The "stss" entries that name an indexed sample.
uint32_t CountValidKeys(const realStructure *stss, uint32_t entries, uint32_t samples) {
    uint32_t valid = 0;
    for (uint32_t i = 0; i < entries; ++i) valid += NamesIndexedSample(TableU32(stss, i), samples);
    return valid;
}

// For a table out of ascending order: the running maximum of its sample
// numbers (see ReadTrack::keyRunningMax).  Without memory for it the key-flag
// search walks the table instead.
void NoteRunningMaximum(ReadTrack *track) {
    const KeyFrameEntry *keys = track->keyFrames;
    const uint32_t count = track->keyFrameCount;
    uint32_t i = 1;
    while (i < count && keys[i - 1].sampleNumber <= keys[i].sampleNumber) ++i;
    if (i >= count) return;
    auto *running = static_cast<uint32_t *>(std::malloc(size_t(count) * sizeof(uint32_t)));
    if (running == nullptr) return;
    running[0] = keys[0].sampleNumber;
    for (uint32_t k = 1; k < count; ++k)
        running[k] = keys[k].sampleNumber > running[k - 1] ? keys[k].sampleNumber : running[k - 1];
    track->keyRunningMax = running;
}

bool FillKeyFrames(ReadTrack *track, const realStructure *stss) {
    const uint32_t entries = TableEntries(stss, 4);
    const uint32_t valid = CountValidKeys(stss, entries, track->sampleCount);
    track->keyFrameCount = 0;
    if (valid == 0) return true;
    if (valid > track->capacity / 2) {
        void *grown = std::realloc(track->keyFrames, size_t(valid) * sizeof(KeyFrameEntry));
        if (grown == nullptr) return false;
        track->keyFrames = static_cast<KeyFrameEntry *>(grown);
    }
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t number = TableU32(stss, i);
        if (!NamesIndexedSample(number, track->sampleCount)) continue;
        track->keyFrames[track->keyFrameCount++] = {track->samples[number - 1].time, number - 1};
    }
    NoteRunningMaximum(track);
    return true;
}

// A builder that stops at a missing table keeps the counts it has read, as
// far as the arrays hold them.
void KeepCountsWithinArrays(ReadTrack *track) {
    if (track->samples == nullptr || track->sampleCount > track->capacity)
        track->sampleCount = track->samples == nullptr ? 0 : track->capacity;
    const uint32_t keySlots = track->keyFrames == nullptr ? 0 : track->capacity / 2;
    if (track->keyFrameCount > keySlots) track->keyFrameCount = keySlots;
}

int32_t BuildIndex(ReadTrack **slot, bool video) {
    if (slot == nullptr || *slot == nullptr) return -99;
    ReadTrack *track = *slot;
    SampleTables tables;
    if (!CollectTables(track, video, &tables)) return -99;
    if (!HasAllTables(tables, video)) {
        if (video) std::printf("Some thing wrong at BuildVideotrackIndex ... func \n");
        KeepCountsWithinArrays(track);
        return -99;
    }
    uint32_t limit = track->sampleCount;
    if (track->samples == nullptr) limit = 0;
    if (limit > track->capacity) limit = track->capacity;
    track->sampleCount = FillSamples(track, tables, limit);
    if (video && !FillKeyFrames(track, tables.stss)) {
        track->keyFrameCount = 0;
        return -99;
    }
    return 1;
}

}  // namespace

int32_t BuildVideotrackIndex(ReadTrack **slot) { return BuildIndex(slot, true); }

int32_t BuildAudiotrackIndex(ReadTrack **slot) { return BuildIndex(slot, false); }
