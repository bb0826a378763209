// The sample index built at open time from stsz, stts, stsc, stco and stss.
#include <gtest/gtest.h>

#include <vector>

#include "support/bytes.h"
#include "support/read_handle.h"
#include "support/tiny_mp4.h"

namespace {

struct Sample {
    uint32_t time, offset, size;
    bool operator==(const Sample &o) const {
        return time == o.time && offset == o.offset && size == o.size;
    }
};

std::ostream &operator<<(std::ostream &os, const Sample &s) {
    return os << "{" << s.time << ", " << s.offset << ", " << s.size << "}";
}

std::vector<Sample> IndexOf(const ReadTrack *t) {
    std::vector<Sample> out;
    for (uint32_t i = 0; i < t->sampleCount; ++i)
        out.push_back({t->samples[i].time, t->samples[i].offset, t->samples[i].size});
    return out;
}

std::vector<std::array<uint32_t, 2>> KeysOf(const ReadTrack *t) {
    std::vector<std::array<uint32_t, 2>> out;
    for (uint32_t i = 0; i < t->keyFrameCount; ++i)
        out.push_back({t->keyFrames[i].time, t->keyFrames[i].sampleNumber});
    return out;
}

// A track with absolute chunk offsets (they need not point into the file).
TrackSpec Track(bool video) {
    TrackSpec t;
    t.id = 1;
    t.relativeOffsets = false;
    if (!video) {
        t.handler = "soun";
        t.entry = "mp4a";
        t.hasStss = false;
    }
    return t;
}

struct IndexCase {
    const char *name;
    TrackSpec track;
    std::vector<Sample> samples;
};

std::vector<IndexCase> IndexCases(bool video) {
    std::vector<IndexCase> cases;
    TrackSpec t = Track(video);
    t.stts = {{3, 1000}};
    t.stsc = {{1, 3}};
    t.sizes = {5, 6, 7};
    t.sampleCount = 3;
    t.chunks = {100};
    t.stss = {1};
    cases.push_back({"one stts run", t, {{0, 100, 5}, {1000, 105, 6}, {2000, 111, 7}}});

    t.stts = {{2, 1000}, {2, 500}};
    t.sizes = {1, 1, 1, 1};
    t.sampleCount = 4;
    t.stsc = {{1, 4}};
    cases.push_back({"two stts runs", t, {{0, 100, 1}, {1000, 101, 1}, {2000, 102, 1}, {2500, 103, 1}}});

    t.stts = {{4, 10}};
    t.stsc = {{1, 2}};
    t.chunks = {100, 500};
    t.sizes = {10, 20, 30, 40};
    cases.push_back({"stsc one run", t, {{0, 100, 10}, {10, 110, 20}, {20, 500, 30}, {30, 530, 40}}});

    t.stts = {{5, 10}};
    t.stsc = {{1, 3}, {3, 1}};
    t.chunks = {100, 200, 300, 400};
    t.sizes = {10, 10, 10, 10, 10};
    t.sampleCount = 5;
    cases.push_back({"stsc run not reached", t,
                     {{0, 100, 10}, {10, 110, 10}, {20, 120, 10}, {30, 200, 10}, {40, 210, 10}}});

    t.stsc = {{1, 1}, {3, 2}};
    cases.push_back({"stsc second run", t,
                     {{0, 100, 10}, {10, 200, 10}, {20, 300, 10}, {30, 310, 10}, {40, 400, 10}}});

    t.stsc = {{1, 2}};
    t.sizes = {};
    t.sampleSize = 32;
    t.sampleCount = 3;
    t.stts = {{3, 7}};
    cases.push_back({"fixed sample size", t, {{0, 100, 32}, {7, 132, 32}, {14, 200, 32}}});
    return cases;
}

void CheckIndexCases(bool video) {
    for (const IndexCase &c : IndexCases(video)) {
        SCOPED_TRACE(c.name);
        OpenedFile f(WriteTemp("i.mp4", TinyMp4({c.track}, Zeros(8))));
        ASSERT_EQ(f.result, 1);
        ASSERT_NE(f.Track(1), nullptr);
        EXPECT_EQ(IndexOf(f.Track(1)), c.samples);
        if (!video) {
            EXPECT_EQ(f.Track(1)->keyFrames, nullptr);
            EXPECT_EQ(f.Track(1)->keyFrameCount, 0u);
        }
    }
}

TEST(ReadIndex, VideoTables) { CheckIndexCases(true); }
TEST(ReadIndex, AudioTables) { CheckIndexCases(false); }

TEST(ReadIndex, KeyFramesNameSamplesFromZero) {
    TrackSpec t = Track(true);
    t.stts = {{4, 40}};
    t.stsc = {{1, 4}};
    t.sampleSize = 1;
    t.sampleCount = 4;
    t.chunks = {0};
    t.stss = {1, 4};
    OpenedFile f(WriteTemp("k.mp4", TinyMp4({t}, Zeros(8))));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(KeysOf(f.Track(1)), (std::vector<std::array<uint32_t, 2>>{{0, 0}, {120, 3}}));
}

// Tables that disagree: the index ends at the last sample all of them cover.
TEST(ReadIndex, DisagreeingTablesStopTheIndex) {
    TrackSpec base = Track(true);
    base.stts = {{6, 10}};
    base.stsc = {{1, 2}};
    base.sampleSize = 4;
    base.sampleCount = 6;
    base.chunks = {100, 200, 300};
    base.stss = {1};
    struct Case {
        const char *name;
        void (*change)(TrackSpec &);
        uint32_t samples;
    };
    const Case cases[] = {
        {"consistent", [](TrackSpec &) {}, 6},
        {"stts covers 4", [](TrackSpec &t) { t.stts = {{1, 10}, {0, 99}, {3, 10}}; }, 4},
        {"stco has 2 chunks", [](TrackSpec &t) { t.chunks = {100, 200}; }, 4},
        {"samples_per_chunk 0", [](TrackSpec &t) { t.stsc = {{1, 0}}; }, 0},
        {"second run with 0 per chunk", [](TrackSpec &t) { t.stsc = {{1, 2}, {2, 0}}; }, 2},
        {"first_chunk going back", [](TrackSpec &t) { t.stsc = {{2, 2}, {1, 1}}; }, 0},
        {"no stsc entries", [](TrackSpec &t) { t.stsc = {}; }, 0},
        {"stsz table too short",
         [](TrackSpec &t) {
             t.sampleSize = 0;
             t.sizes = {1, 2, 3};  // the atom says 6: its table is not loaded
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TrackSpec t = base;
        c.change(t);
        OpenedFile f(WriteTemp("d.mp4", TinyMp4({t}, Zeros(8))));
        ASSERT_EQ(f.result, 1);
        const ReadTrack *track = f.Track(1);
        EXPECT_EQ(track->sampleCount, c.samples);
        EXPECT_LE(track->sampleCount, track->capacity);
        EXPECT_EQ(track->keyFrameCount, c.samples > 0 ? 1u : 0u);
    }
}

TEST(ReadIndex, BadSyncSamplesAreDropped) {
    TrackSpec t = Track(true);
    t.stts = {{6, 10}};
    t.stsc = {{1, 6}};
    t.sampleSize = 1;
    t.sampleCount = 6;
    t.chunks = {0};
    // 0, past the end, repeated and going back are dropped.
    t.stss = {0, 2, 2, 1, 4, 7, 1000};
    OpenedFile f(WriteTemp("s.mp4", TinyMp4({t}, Zeros(8))));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(KeysOf(f.Track(1)), (std::vector<std::array<uint32_t, 2>>{{10, 1}, {30, 3}}));
}

TEST(ReadIndex, EverySampleASyncSampleFits) {
    TrackSpec t = Track(true);
    t.stts = {{5, 10}};
    t.stsc = {{1, 5}};
    t.sampleSize = 1;
    t.sampleCount = 5;
    t.chunks = {0};
    t.stss = {1, 2, 3, 4, 5};  // more than capacity / 2 entries
    OpenedFile f(WriteTemp("all.mp4", TinyMp4({t}, Zeros(8))));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.Track(1)->keyFrameCount, 5u);
    EXPECT_EQ(f.Track(1)->keyFrames[4].sampleNumber, 4u);
    EXPECT_EQ(f.Track(1)->keyFrames[4].time, 40u);
}

TEST(ReadIndex, SampleCountAboveCapacityIsCut) {
    // The info step takes the first stsz (2 samples); the builder the last (6).
    TrackSpec t = Track(true);
    t.stts = {{6, 10}};
    t.stsc = {{1, 6}};
    t.sampleSize = 2;
    t.sampleCount = 2;
    t.chunks = {0};
    t.stss = {1, 6};
    t.extraStbl = FullBox("stsz", 0, Cat({U32(3), U32(6)}));
    OpenedFile f(WriteTemp("cap.mp4", TinyMp4({t}, Zeros(8))));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.Track(1)->capacity, 2u);
    EXPECT_EQ(f.Track(1)->sampleCount, 2u);
    EXPECT_EQ(IndexOf(f.Track(1)), (std::vector<Sample>{{0, 0, 3}, {10, 3, 3}}));
    EXPECT_EQ(f.Track(1)->keyFrameCount, 1u);
}

TEST(ReadIndex, MissingTablesLeaveNoSamples) {
    for (const char *table : {"stss", "stts", "stco", "stsc", "stsz"}) {
        for (bool video : {true, false}) {
            SCOPED_TRACE(std::string(table) + (video ? " video" : " audio"));
            TrackSpec t = Track(video);
            t.stts = {{2, 10}};
            t.stsc = {{1, 2}};
            t.sampleSize = 2;
            t.sampleCount = 2;
            t.chunks = {0};
            t.stss = {1};
            t.omit = {table};
            OpenedFile f(WriteTemp("m.mp4", TinyMp4({t}, Zeros(8))));
            ASSERT_EQ(f.result, 1);
            const bool missing = video || std::string(table) != "stss";
            EXPECT_EQ(f.Track(1)->sampleCount, missing ? 0u : 2u);
            const bool said = f.output.find("Some thing wrong at BuildVideotrackIndex ... func \n") !=
                              std::string::npos;
            // Only the video builder names its failure.
            EXPECT_EQ(said, video);
        }
    }
}

TEST(ReadIndex, EmptyTrackHasNoArrays) {
    TrackSpec t = Track(true);
    t.stsc = {{1, 1}};
    t.chunks = {0};
    OpenedFile f(WriteTemp("e.mp4", TinyMp4({t}, Zeros(8))));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.Track(1)->samples, nullptr);
    EXPECT_EQ(f.Track(1)->keyFrames, nullptr);
    EXPECT_EQ(f.Track(1)->sampleCount, 0u);
    EXPECT_EQ(f.Track(1)->keyFrameCount, 0u);
}

TEST(ReadIndex, LastRunGoesPastSampleNineHundredNinetyNineThousand) {
    // One chunk of 1000005 one-byte samples: the last run has no end of its own.
    constexpr uint32_t kCount = 1000005;
    TrackSpec t = Track(false);
    t.relativeOffsets = true;
    t.stts = {{kCount, 1}};
    t.stsc = {{1, kCount}};
    t.sampleSize = 1;
    t.sampleCount = kCount;
    t.chunks = {0};
    OpenedFile f(WriteTemp("long.mp4", TinyMp4({t}, Zeros(kCount))));
    ASSERT_EQ(f.result, 1);
    const ReadTrack *track = f.Track(1);
    ASSERT_EQ(track->sampleCount, kCount);
    EXPECT_EQ(track->samples[kCount - 1].offset - track->samples[0].offset, kCount - 1);
    EXPECT_EQ(track->samples[kCount - 1].time, kCount - 1);
}

TEST(ReadIndex, SampleCountBeyondTheFileIsNotAllocated) {
    // A fixed-size stsz may claim any count; no file holds more samples than bytes.
    TrackSpec t = Track(false);
    t.stts = {{0x7FFFFFFF, 1}};
    t.stsc = {{1, 0x7FFFFFFF}};
    t.sampleSize = 1;
    t.sampleCount = 0x7FFFFFFF;
    t.chunks = {0};
    const Bytes file = TinyMp4({t}, Zeros(8));
    OpenedFile f(WriteTemp("claim.mp4", file));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.Track(1)->capacity, uint32_t(file.size()));
    EXPECT_EQ(f.Track(1)->sampleCount, uint32_t(file.size()));
}

}  // namespace
