// The sample index: the track's sample tables ("stsz", "stts", "stsc",
// "stco" and, for video, "stss") turned into one SampleEntry per sample and
// one KeyFrameEntry per sync sample, so that sample access never walks the
// tables again.
//
// The walk over the sample-to-chunk runs is taken as written, in 32-bit
// arithmetic: each "stsc" entry starts a run that ends at runEnd = runStart +
// (next first_chunk - this first_chunk) x samples_per_chunk, and the walk
// moves to the next entry (and the next chunk) at the first sample that has
// reached runEnd, k >= runEnd.  In a walk that counts up from a runStart
// below runEnd, k meets runEnd exactly, so only a run whose end is already
// behind it (a first_chunk repeated, or going back) tells "reached" from
// "equal": read as equality, such a run would never end and every stsc
// entry after it would be ignored; read as k >= runEnd it lasts one sample
// and the entries follow one another.  A run whose runStart is not the
// sample it is entered at begins no chunk there: that sample goes on from
// the one before it.  Offsets and times wrap at 2^32 as the 32-bit sums
// they are.
//
// Every entry is a function of the tables, computed in closed form from the
// "stts" runs, the "stsc" runs as the walk enters them, the chunk offsets
// and the sizes (with their running sums), which is what the index keeps:
// memory in proportion to the tables the file holds.  The entries are also
// stored in `samples` when there are not many more of them than the tables
// have bytes (every file a program writes), so that the common case is a
// read from an array.  A few words of "stsc" can claim hundreds of millions
// of samples in one chunk; those are computed when asked for.
//
// A track that lacks one of the tables it needs keeps the counts read from
// "stsz" and "stss" and arrays of zeros: its samples are handed out with
// size 0 and time 0.  (ffmpeg writes no "stss" when every frame is a key
// frame, so such video tracks are common.)  The counts never exceed the
// arrays allocated.
//
// Left to this implementation, for tables that disagree with one another: the
// index stops at the last sample that every table covers, and sampleCount is
// set to that number:
//   - a sample without a size ("stsz" table not read), without a duration
//     ("stts" runs that end early), or whose chunk has no offset ("stco"
//     shorter than the chunk walk) ends the index;
//   - a "stsc" run with samples_per_chunk 0 (the walk divides by it), or no
//     "stsc" entry at all, ends the index where that run begins;
//   - the index never holds more samples than the arrays allocated for the
//     track (capacity), so a track whose arrays could not be allocated keeps
//     no samples at all.
// The last "stsc" run has no end of its own (the walk's 999999 would step
// past the last entry): it goes on as long as samples and chunk offsets do.
// Key frames keep the order of "stss", repeated and descending entries
// included; only entries of 0 or past the last indexed sample, which name no
// sample, are dropped.  The key-frame array is enlarged when the entries
// outnumber capacity / 2.
#include <cstdio>
#include <cstdlib>

#include "read/read.h"

// The tables behind a track's entries, in closed form (see the top of the file).
struct ComputedIndex {
    // Sizes: one for all, or the "stsz" table with the running sums of the
    // sizes it stores (sizeSums[i]: the first i of them, modulo 2^32).
    uint32_t fixedSize;
    const realStructure *stsz;
    uint32_t *sizeSums;
    uint32_t sizesHeld;
    // Times: the "stts" runs that have samples.
    struct TimeRun {
        uint64_t firstSample;
        uint32_t firstTime;
        uint32_t delta;
    } *times;
    uint32_t timeRuns;
    // Offsets: the "stsc" runs as the walk enters them.
    struct ChunkRun {
        uint64_t entered;   // the sample at which the walk enters the run
        uint64_t runStart;  // the run's runStart
        uint32_t perChunk;  // samples_per_chunk, not 0
        uint64_t chunk;     // the chunk pointer when the run is entered
        uint64_t firstStep; // the first m >= 1 for which runStart + m x perChunk >= entered
        uint32_t carried;   // the offset of `entered` when no chunk begins there
    } *runs;
    uint32_t runCount;
    const realStructure *stco;
};

namespace {

constexpr uint32_t kEntryCount = 12;        // entry_count of the counted tables
constexpr uint32_t kStszSampleSize = 12;
constexpr uint32_t kStszSampleCount = 16;
constexpr uint64_t kNoEnd = UINT64_MAX;
// Entries are stored when there are at most this many more than a quarter
// of the tables' stored bytes: 12 bytes of entry for every 4 bytes of table,
// and 768 KiB.
constexpr uint64_t kStoredAlways = 65536;

using TimeRun = ComputedIndex::TimeRun;
using ChunkRun = ComputedIndex::ChunkRun;

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

// Entries a counted table has: its entry_count, bounded by the table's
// length (a count whose byte count wrapped, or a table not read).
uint32_t CountedEntries(const realStructure *record, uint32_t entryBytes) {
    const uint32_t length = TableEntries(record, entryBytes);
    const uint32_t count = RecordU32(record, kEntryCount);
    return count < length ? count : length;
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

// ---------------------------------------------------------------- sizes

uint32_t SizeOf(const ComputedIndex &index, uint64_t k) {
    return index.fixedSize != 0 ? index.fixedSize : TableU32(index.stsz, uint32_t(k));
}

// The sizes of samples a to b - 1, summed modulo 2^32.
uint32_t SizesBetween(const ComputedIndex &index, uint64_t a, uint64_t b) {
    if (index.fixedSize != 0) return uint32_t((b - a) * index.fixedSize);
    const uint64_t held = index.sizesHeld;
    return index.sizeSums[b < held ? b : held] - index.sizeSums[a < held ? a : held];
}

// Samples with a size: all of them with one size for all, else the entries
// of the "stsz" table (0 when it was not read).
uint64_t SizeCoverage(const realStructure *stsz) {
    if (RecordU32(stsz, kStszSampleSize) != 0) return kNoEnd;
    return TableEntries(stsz, 4);
}

bool TakeSizes(const realStructure *stsz, ComputedIndex *index) {
    index->stsz = stsz;
    index->fixedSize = RecordU32(stsz, kStszSampleSize);
    if (index->fixedSize != 0) return true;
    const uint32_t stored = TableEntriesHeld(stsz, 4), entries = TableEntries(stsz, 4);
    const uint32_t held = stored < entries ? stored : entries;
    index->sizeSums = static_cast<uint32_t *>(std::malloc((size_t(held) + 1) * sizeof(uint32_t)));
    if (index->sizeSums == nullptr) return false;
    index->sizesHeld = held;
    index->sizeSums[0] = 0;
    for (uint32_t i = 0; i < held; ++i) index->sizeSums[i + 1] = index->sizeSums[i] + TableU32(stsz, i);
    return true;
}

// ---------------------------------------------------------------- times

// The "stts" runs that have samples, as far as the table holds them (the
// entries past the bytes stored are zeros: runs of no samples), and the
// samples they cover.  False without memory.
bool TakeTimes(const realStructure *stts, ComputedIndex *index, uint64_t *covered) {
    const uint32_t entries = CountedEntries(stts, 8), stored = TableEntriesHeld(stts, 8);
    const uint32_t held = stored < entries ? stored : entries;
    index->times = static_cast<TimeRun *>(std::malloc((size_t(held) + 1) * sizeof(TimeRun)));
    if (index->times == nullptr) return false;
    uint64_t sample = 0;
    uint32_t time = 0;
    for (uint32_t i = 0; i < held; ++i) {
        const uint32_t count = TableU32(stts, 2 * i);
        const uint32_t delta = TableU32(stts, 2 * i + 1);
        if (count == 0) continue;
        index->times[index->timeRuns++] = {sample, time, delta};
        sample += count;
        time += uint32_t(uint64_t(count) * delta);
    }
    *covered = sample;
    return true;
}

// The last run whose first member is at or before `k`, searched from `hint`
// (the run of the previous question) when it still holds.
template <typename Run, typename FirstOf>
uint32_t RunOf(const Run *runs, uint32_t count, uint64_t k, uint32_t *hint, FirstOf firstOf) {
    uint32_t at = *hint < count ? *hint : 0;
    if (!(firstOf(runs[at]) <= k && (at + 1 == count || k < firstOf(runs[at + 1])))) {
        uint32_t low = 0, high = count;  // runs[0] starts at 0
        while (high - low > 1) {
            const uint32_t middle = low + (high - low) / 2;
            if (firstOf(runs[middle]) <= k)
                low = middle;
            else
                high = middle;
        }
        at = low;
    }
    *hint = at;
    return at;
}

// ---------------------------------------------------------------- offsets

// Chunk starts of a run: the sample runStart (when the walk enters the run
// there) begins the chunk the pointer is at; runStart + m x perChunk for m >=
// firstStep advance the pointer by one each.
uint64_t LastStartNotAfter(const ChunkRun &run, uint64_t k, uint64_t *chunk) {
    const uint64_t m = (k - run.runStart) / run.perChunk;
    const uint64_t start = run.runStart + m * run.perChunk;
    if (start < run.entered) return kNoEnd;  // no chunk begins in this run up to k
    *chunk = m == 0 ? run.chunk : run.chunk + (m - run.firstStep + 1);
    return start;
}

uint32_t OffsetIn(const ComputedIndex &index, const ChunkRun &run, uint64_t k) {
    uint64_t chunk = 0;
    const uint64_t start = LastStartNotAfter(run, k, &chunk);
    if (start == kNoEnd) return run.carried + SizesBetween(index, run.entered, k);
    return TableU32(index.stco, uint32_t(chunk)) + SizesBetween(index, start, k);
}

// A run as the walk enters it at sample `entered` with the chunk pointer at
// `chunk`.
ChunkRun EnterRun(uint64_t entered, uint64_t runStart, uint32_t perChunk, uint64_t chunk) {
    const uint64_t behind = entered - runStart;
    uint64_t firstStep = (behind + perChunk - 1) / perChunk;
    if (firstStep == 0) firstStep = 1;
    return ChunkRun{entered, runStart, perChunk, chunk, firstStep, 0};
}

// The first sample of the run, before `until`, whose chunk the "stco" table
// lacks; kNoEnd when there is none.
uint64_t FirstChunkMissing(const ChunkRun &run, uint64_t until, uint64_t chunks) {
    if (run.runStart == run.entered && run.chunk >= chunks) return run.entered;
    const uint64_t step = chunks > run.chunk ? chunks - run.chunk : 1;
    const uint64_t m = run.firstStep + step - 1;
    if (m > (kNoEnd - run.runStart) / run.perChunk) return kNoEnd;
    const uint64_t sample = run.runStart + m * run.perChunk;
    return sample < until ? sample : kNoEnd;
}

// The chunk pointer after the walk's advances in [entered, until).
uint64_t ChunkAfter(const ChunkRun &run, uint64_t until) {
    const uint64_t last = (until - 1 - run.runStart) / run.perChunk;
    return last >= run.firstStep ? run.chunk + (last - run.firstStep + 1) : run.chunk;
}

// The walk over the "stsc" entries, run by run, up to `limit` samples: the
// runs it enters, and how many samples it gives offsets (it stops where a
// run has 0 samples per chunk or a chunk has no "stco" entry).
bool TakeRuns(const realStructure *stsc, const realStructure *stco, uint64_t limit,
              ComputedIndex *index, uint64_t *covered) {
    index->stco = stco;
    *covered = 0;
    const uint32_t entries = CountedEntries(stsc, 12);
    const uint64_t chunks = CountedEntries(stco, 4);
    if (entries == 0 || limit == 0) return true;
    auto firstChunk = [stsc](uint32_t r) { return TableU32(stsc, 3 * r); };
    auto perChunk = [stsc](uint32_t r) { return TableU32(stsc, 3 * r + 1); };
    // Runs that can be entered: every held entry and the first past them.
    const uint32_t heldRuns = TableEntriesHeld(stsc, 12);
    const uint32_t most = heldRuns < entries ? heldRuns + 1 : entries;
    index->runs = static_cast<ChunkRun *>(std::malloc(size_t(most) * sizeof(ChunkRun)));
    if (index->runs == nullptr) return false;
    uint64_t entered = 0, runStart = 0, chunk = 0;
    for (uint32_t r = 0; r < entries; ++r) {
        if (perChunk(r) == 0) {
            *covered = entered;
            return true;
        }
        ChunkRun run = EnterRun(entered, runStart, perChunk(r), chunk);
        if (r > 0) {
            // The offset `entered` takes when it begins no chunk: the
            // previous sample's offset and size.
            const ChunkRun &before = index->runs[r - 1];
            run.carried = OffsetIn(*index, before, entered - 1) + SizeOf(*index, entered - 1);
        }
        index->runs[index->runCount++] = run;
        const bool last = r + 1 == entries;
        // runEnd as the walk computes it, in 32 bits; it moves on at the
        // first sample after `entered` that has reached it.
        const uint32_t runEnd =
            last ? 0 : uint32_t(runStart) + (firstChunk(r + 1) - firstChunk(r)) * perChunk(r);
        const uint64_t until = last ? kNoEnd : (runEnd > entered ? uint64_t(runEnd) : entered + 1);
        const uint64_t missing = FirstChunkMissing(run, until < limit ? until : limit, chunks);
        if (missing != kNoEnd) {
            *covered = missing;
            return true;
        }
        if (until >= limit) {
            *covered = limit;
            return true;
        }
        chunk = ChunkAfter(run, until) + 1;
        runStart = runEnd;
        entered = until;
    }
    *covered = entered;
    return true;
}

// ---------------------------------------------------------------- entries

struct Hints {
    uint32_t time = 0;
    uint32_t run = 0;
};

SampleEntry Compute(const ComputedIndex &index, uint64_t k, Hints *hints) {
    SampleEntry entry{};
    entry.size = SizeOf(index, k);
    const uint32_t t = RunOf(index.times, index.timeRuns, k, &hints->time,
                             [](const TimeRun &run) { return run.firstSample; });
    const TimeRun &time = index.times[t];
    entry.time = time.firstTime + uint32_t((k - time.firstSample) * time.delta);
    const uint32_t r = RunOf(index.runs, index.runCount, k, &hints->run,
                             [](const ChunkRun &run) { return run.entered; });
    entry.offset = OffsetIn(index, index.runs[r], k);
    return entry;
}

void FreeComputed(ComputedIndex *index) {
    if (index == nullptr) return;
    std::free(index->sizeSums);
    std::free(index->times);
    std::free(index->runs);
    std::free(index);
}

// The tables in closed form and the samples all of them cover, up to `limit`.
ComputedIndex *TakeTables(const SampleTables &t, uint64_t limit, uint64_t *covered) {
    *covered = 0;
    auto *index = static_cast<ComputedIndex *>(std::calloc(1, sizeof(ComputedIndex)));
    if (index == nullptr) return nullptr;
    uint64_t timed = 0, walked = 0;
    const uint64_t sized = SizeCoverage(t.stsz);
    if (sized < limit) limit = sized;
    if (!TakeSizes(t.stsz, index) || !TakeTimes(t.stts, index, &timed)) {
        FreeComputed(index);
        return nullptr;
    }
    if (timed < limit) limit = timed;
    if (!TakeRuns(t.stsc, t.stco, limit, index, &walked)) {
        FreeComputed(index);
        return nullptr;
    }
    *covered = walked < limit ? walked : limit;
    return index;
}

// Bytes of the tables that the file holds.
uint64_t HeldBytes(const SampleTables &t) {
    uint64_t bytes = 0;
    for (const realStructure *r : {t.stsz, t.stts, t.stsc, t.stco, t.stss})
        if (r != nullptr) bytes += r->tableHeld;
    return bytes;
}

// Stores every entry when there are not too many; otherwise the track keeps
// the tables in closed form.
void FillSamples(ReadTrack *track, const SampleTables &t, ComputedIndex *index, uint32_t count) {
    if (count > HeldBytes(t) / 4 + kStoredAlways) {
        track->computed = index;
        return;
    }
    Hints hints;
    for (uint32_t k = 0; k < count; ++k) track->samples[k] = Compute(*index, k, &hints);
    FreeComputed(index);
}

bool NamesIndexedSample(uint32_t number, uint32_t samples) {
    return number != 0 && number <= samples;
}

// The "stss" entries that name an indexed sample (those past the bytes
// stored are zeros: they name none).
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
    const uint32_t counted = CountedEntries(stss, 4), held = TableEntriesHeld(stss, 4);
    const uint32_t entries = counted < held ? counted : held;
    const uint32_t valid = CountValidKeys(stss, entries, track->sampleCount);
    track->keyFrameCount = 0;
    if (valid == 0) return true;
    if (valid > track->keyFrameSlots) {
        void *grown = AllocIndexArray(valid, sizeof(KeyFrameEntry));
        if (grown == nullptr) return false;
        FreeIndexArray(track->keyFrames, track->keyFrameSlots, sizeof(KeyFrameEntry));
        track->keyFrames = static_cast<KeyFrameEntry *>(grown);
        track->keyFrameSlots = valid;
    }
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t number = TableU32(stss, i);
        if (!NamesIndexedSample(number, track->sampleCount)) continue;
        track->keyFrames[track->keyFrameCount++] = {SampleAt(track, number - 1).time, number - 1};
    }
    NoteRunningMaximum(track);
    return true;
}

// A builder that stops at a missing table keeps the counts it has read, as
// far as the arrays hold them.
void KeepCountsWithinArrays(ReadTrack *track) {
    if (track->samples == nullptr || track->sampleCount > track->capacity)
        track->sampleCount = track->samples == nullptr ? 0 : track->capacity;
    const uint32_t keySlots = track->keyFrames == nullptr ? 0 : track->keyFrameSlots;
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
    uint64_t limit = track->sampleCount;
    if (track->samples == nullptr) limit = 0;
    if (limit > track->capacity) limit = track->capacity;
    uint64_t covered = 0;
    ComputedIndex *index = TakeTables(tables, limit, &covered);
    if (index == nullptr) {
        track->sampleCount = 0;
        track->keyFrameCount = 0;
        return -99;
    }
    track->sampleCount = uint32_t(covered);
    FillSamples(track, tables, index, track->sampleCount);
    if (video && !FillKeyFrames(track, tables.stss)) {
        track->keyFrameCount = 0;
        return -99;
    }
    return 1;
}

}  // namespace

SampleEntry SampleAt(const ReadTrack *track, uint32_t k) {
    if (track->computed == nullptr) return track->samples[k];
    Hints hints;
    return Compute(*track->computed, k, &hints);
}

void FreeComputedIndex(ComputedIndex *index) { FreeComputed(index); }

int32_t BuildVideotrackIndex(ReadTrack **slot) { return BuildIndex(slot, true); }

int32_t BuildAudiotrackIndex(ReadTrack **slot) { return BuildIndex(slot, false); }
