// The sample index against a model of the walk written out step by step,
// sample by sample, as the format's rules give it: times from the stts runs,
// sizes from stsz, and offsets from the walk over the stsc runs in 32-bit
// arithmetic (the walk moves to the next run when the sample number has
// reached runEnd, k >= runEnd; a sample beginning no chunk goes on from the
// one before it).  The index computes its entries in closed form; the model
// walks.  Random tables, some of them cut short by the end of the file
// (entries past the bytes held read as zeros), with repeated, decreasing and
// wrapping first_chunk values and counts far above what the tables hold, so
// that the entries are both stored and computed.  The model stops where the
// index's documented choices stop it: a sample without a size, a duration or
// a chunk offset, a run of 0 samples per chunk; the last run never ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "read/read.h"

namespace {

struct Entry {
    uint32_t time, offset, size;
    bool operator==(const Entry &o) const {
        return time == o.time && offset == o.offset && size == o.size;
    }
};

struct Tables {
    std::vector<uint32_t> stts;   // count, delta, ...
    std::vector<uint32_t> stsc;   // first_chunk, samples_per_chunk, description, ...
    std::vector<uint32_t> stco;   // offsets
    std::vector<uint32_t> sizes;  // the stsz table (empty with a fixed size)
    uint32_t fixedSize = 0;
    uint32_t sampleCount = 0;
    // Entries of each table the "file" holds; the rest read as zeros.
    size_t sttsHeld = SIZE_MAX, stscHeld = SIZE_MAX, stcoHeld = SIZE_MAX, sizesHeld = SIZE_MAX;
};

uint32_t Word(const std::vector<uint32_t> &words, size_t i, size_t heldWords) {
    return i < words.size() && i < heldWords ? words[i] : 0;
}

// The walk of the format's rules, with the index's stops.
std::vector<Entry> Walk(const Tables &t) {
    const size_t sttsWords = t.sttsHeld == SIZE_MAX ? SIZE_MAX : 2 * t.sttsHeld;
    const size_t stscWords = t.stscHeld == SIZE_MAX ? SIZE_MAX : 3 * t.stscHeld;
    const size_t runs = t.stsc.size() / 3, chunks = t.stco.size();
    std::vector<Entry> out;
    if (runs == 0) return out;
    auto firstChunk = [&](size_t r) { return Word(t.stsc, 3 * r, stscWords); };
    auto perChunk = [&](size_t r) { return Word(t.stsc, 3 * r + 1, stscWords); };
    size_t r = 0, chunk = 0, sttsEntry = 0;
    uint32_t spc = perChunk(0), runStart = 0, left = 0, delta = 0, time = 0;
    bool lastRun = runs == 1;
    uint32_t runEnd = lastRun ? 0 : runStart + (firstChunk(1) - firstChunk(0)) * spc;
    if (spc == 0) return out;
    for (uint32_t k = 0; k < t.sampleCount; ++k) {
        if (t.fixedSize == 0 && k >= t.sizes.size()) break;
        const uint32_t size = t.fixedSize != 0 ? t.fixedSize : k < t.sizesHeld ? t.sizes[k] : 0;
        while (left == 0 && sttsEntry < t.stts.size() / 2) {
            left = Word(t.stts, 2 * sttsEntry, sttsWords);
            delta = Word(t.stts, 2 * sttsEntry + 1, sttsWords);
            ++sttsEntry;
        }
        if (left == 0) break;
        if (k > 0 && !lastRun && k >= runEnd) {
            ++r;
            ++chunk;
            runStart = runEnd;
            spc = perChunk(r);
            if (spc == 0) break;
            lastRun = r + 1 == runs;
            if (!lastRun) runEnd = runStart + (firstChunk(r + 1) - firstChunk(r)) * spc;
        }
        uint32_t offset;
        if (k == runStart || (k - runStart) % spc == 0) {
            if (k != runStart) ++chunk;
            if (chunk >= chunks) break;
            offset = chunk < t.stcoHeld ? t.stco[chunk] : 0;
        } else {
            offset = out.back().offset + out.back().size;
        }
        out.push_back({time, offset, size});
        time += delta;
        --left;
    }
    return out;
}

// ---------------------------------------------------------------- the tree

AtomNode *Node(const char *type, AtomNode *parent) {
    auto *node = static_cast<AtomNode *>(std::calloc(1, sizeof(AtomNode)));
    CopyAtomType(node->type, type);
    node->parent = parent;
    if (parent != nullptr) {
        AtomNode **at = &parent->firstChild;
        while (*at != nullptr) at = &(*at)->next;
        *at = node;
    }
    AtomTypeInfo info{};
    if (GetAtomTypeInfo(node, &info) == 1) AllocAtomRecord(info.recordSize, type, &node->realStructure);
    return node;
}

// A counted table: entry_count at 12, the words after it, `heldEntries` of
// them stored.
void Table(AtomNode *stbl, const char *type, uint32_t countAt, uint32_t count,
           const std::vector<uint32_t> &words, uint32_t entryWords, size_t heldEntries) {
    realStructure *r = Node(type, stbl)->realStructure;
    StoreU32(r, countAt, count);
    const uint32_t bytes = uint32_t(4 * words.size());
    ASSERT_TRUE(AllocRecordTable(r, bytes));
    for (size_t i = 0; i < words.size(); ++i) StoreTableU32(r, uint32_t(i), words[i]);
    if (heldEntries != SIZE_MAX) r->tableHeld = std::min<uint32_t>(bytes, uint32_t(4 * entryWords * heldEntries));
}

struct Track {
    explicit Track(const Tables &t) {
        trak = Node("trak", nullptr);
        AtomNode *stbl = Node("stbl", Node("minf", Node("mdia", trak)));
        realStructure *stsz = Node("stsz", stbl)->realStructure;
        StoreU32(stsz, 12, t.fixedSize);
        StoreU32(stsz, 16, t.sampleCount);
        if (t.fixedSize == 0) {
            EXPECT_TRUE(AllocRecordTable(stsz, uint32_t(4 * t.sizes.size())));
            for (size_t i = 0; i < t.sizes.size(); ++i) StoreTableU32(stsz, uint32_t(i), t.sizes[i]);
            if (t.sizesHeld != SIZE_MAX) stsz->tableHeld = uint32_t(4 * std::min(t.sizesHeld, t.sizes.size()));
        }
        Table(stbl, "stts", 12, uint32_t(t.stts.size() / 2), t.stts, 2, t.sttsHeld);
        Table(stbl, "stsc", 12, uint32_t(t.stsc.size() / 3), t.stsc, 3, t.stscHeld);
        Table(stbl, "stco", 12, uint32_t(t.stco.size()), t.stco, 1, t.stcoHeld);
        slot = static_cast<ReadTrack *>(std::calloc(1, sizeof(ReadTrack)));
        slot->trak = trak;
        AllocAudioIndex(&slot, int32_t(t.sampleCount));
        BuildAudiotrackIndex(&slot);
    }
    ~Track() {
        FreeTrackIndex(&slot);
        FreeAtomNode(trak);
    }
    AtomNode *trak;
    ReadTrack *slot;
};

// Whether the index computed its entries (rather than storing them).
bool ExpectSameIndex(const Tables &t, const char *what) {
    const std::vector<Entry> walked = Walk(t);
    Track track(t);
    EXPECT_EQ(track.slot->sampleCount, walked.size()) << what;
    for (uint32_t k = 0; k < walked.size() && k < track.slot->sampleCount; ++k) {
        const SampleEntry e = SampleAt(track.slot, k);
        if (!(Entry{e.time, e.offset, e.size} == walked[k])) {
            ADD_FAILURE() << what << ", sample " << k;
            break;
        }
    }
    return track.slot->computed != nullptr;
}

// Random tables: first_chunk values that grow, repeat, go back or jump by
// 2^31; samples per chunk from 0 up to past the sample count; runs of stts
// with zeros among them; chunk offsets near 2^32; tables cut short.
Tables RandomTables(std::mt19937 &rng, bool many) {
    auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
    Tables t;
    t.sampleCount = many ? 70000 + pick(200000) : 1 + pick(60);
    const uint32_t runs = 1 + pick(6);
    uint32_t first = 1;
    for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t kind = pick(10);
        first = kind < 5 ? first + 1 + pick(3) : kind < 7 ? first : kind < 8 ? first - pick(3) : first + 0x80000000u;
        const uint32_t spc = pick(12) == 0          ? 0
                             : many && pick(3) != 0 ? 1 + pick(100000)
                             : pick(3) == 0         ? 1 + pick(40)
                                                    : 1 + pick(4);
        t.stsc.insert(t.stsc.end(), {first, spc, 1});
    }
    for (uint32_t c = 0, chunks = 1 + pick(many ? 40 : 20); c < chunks; ++c)
        t.stco.push_back(pick(4) == 0 ? 0xFFFFFFF0u + pick(16) : pick(100000));
    for (uint32_t left = t.sampleCount + pick(3); left > 0;) {
        const uint32_t count = std::min(left, pick(5) == 0 ? 0 : 1 + pick(many ? 90000 : 20));
        t.stts.insert(t.stts.end(), {count, pick(3) == 0 ? 0xFFFFFF00u + pick(256) : pick(2000)});
        left -= count;
        if (pick(8) == 0) break;  // stts ends early
    }
    if (many || pick(3) == 0) {
        t.fixedSize = pick(4) == 0 ? 0xFFFFFFFFu : 1 + pick(500);
    } else {
        for (uint32_t k = 0, n = t.sampleCount - (pick(6) == 0 ? 1 : 0); k < n; ++k)
            t.sizes.push_back(pick(8) == 0 ? 0xFFFFFF00u + pick(256) : pick(300));
    }
    if (pick(4) == 0) t.sttsHeld = pick(uint32_t(t.stts.size() / 2) + 1);
    if (pick(4) == 0) t.stscHeld = pick(runs + 1);
    if (pick(4) == 0) t.stcoHeld = pick(uint32_t(t.stco.size()) + 1);
    if (pick(4) == 0) t.sizesHeld = pick(uint32_t(t.sizes.size()) + 1);
    return t;
}

TEST(IndexWalk, TheCasesOfTheFormatRules) {
    struct Case {
        const char *what;
        Tables tables;
    };
    const Case cases[] = {
        {"two stts runs, one chunk", {{2, 1000, 2, 500}, {1, 4, 1}, {100}, {5, 6, 7, 1}, 0, 4}},
        {"chunks of two", {{4, 10}, {1, 2, 1}, {100, 500}, {10, 20, 30, 40}, 0, 4}},
        {"run 2 from chunk 3", {{5, 10}, {1, 3, 1, 3, 1, 1}, {100, 200, 300, 400}, {}, 10, 5}},
        {"first_chunk repeated", {{4, 10}, {1, 2, 1, 1, 2, 1}, {100, 500, 1000}, {10, 20, 30, 40}, 0, 4}},
        {"first_chunk going back", {{6, 10}, {2, 2, 1, 1, 1, 1}, {100, 200, 300}, {}, 4, 6}},
        {"runEnd wraps to 0", {{6, 10}, {1, 0x80000000u, 1, 3, 1, 1}, {1, 2, 3}, {}, 4, 6}},
        {"offsets wrap", {{6, 10}, {1, 3, 1}, {0xFFFFFFF0u, 7}, {}, 9, 6}},
    };
    for (const Case &c : cases) ExpectSameIndex(c.tables, c.what);
}

TEST(IndexWalk, RandomTablesStoredAndComputed) {
    std::mt19937 rng(21);
    for (int i = 0; i < 400; ++i) ExpectSameIndex(RandomTables(rng, false), "small tables");
    int computed = 0;
    for (int i = 0; i < 60; ++i) computed += ExpectSameIndex(RandomTables(rng, true), "counts far above the tables");
    EXPECT_GE(computed, 15);  // the tables give most of those samples
}

}  // namespace
