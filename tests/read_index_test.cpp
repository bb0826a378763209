// The sample index built at open time from stsz, stts, stsc, stco and stss.
#include <gtest/gtest.h>

#include <vector>

#include "support/read_handle.h"
#include "support/tiny_mp4.h"

namespace {

using Sample = std::array<uint32_t, 3>;  // time, offset, size

std::vector<Sample> IndexOf(const ReadTrack *t) {
    std::vector<Sample> out;
    for (uint32_t i = 0; i < t->sampleCount; ++i)
        out.push_back({t->samples[i].time, t->samples[i].offset, t->samples[i].size});
    return out;
}

// A track with absolute chunk offsets (they need not point into the file).
TrackSpec Track(bool video, std::vector<std::array<uint32_t, 2>> stts,
                std::vector<std::array<uint32_t, 2>> stsc, std::vector<uint32_t> chunks,
                uint32_t sampleSize, std::vector<uint32_t> sizes = {}) {
    TrackSpec t = video ? VideoTrack(1, 0) : AudioTrack(1, 0);
    t.relativeOffsets = false;
    t.stts = stts;
    t.stsc = stsc;
    t.chunks = chunks;
    t.sampleSize = sampleSize;
    t.sizes = sizes;
    t.sampleCount = 0;
    for (auto &run : stts) t.sampleCount += run[0];
    return t;
}

void CheckIndexCases(bool video) {
    const std::pair<TrackSpec, std::vector<Sample>> cases[] = {
        {Track(video, {{2, 1000}, {2, 500}}, {{1, 4}}, {100}, 0, {5, 6, 7, 1}),  // two stts runs
         {{0, 100, 5}, {1000, 105, 6}, {2000, 111, 7}, {2500, 118, 1}}},
        {Track(video, {{4, 10}}, {{1, 2}}, {100, 500}, 0, {10, 20, 30, 40}),  // two chunks of 2
         {{0, 100, 10}, {10, 110, 20}, {20, 500, 30}, {30, 530, 40}}},
        {Track(video, {{5, 10}}, {{1, 3}, {3, 1}}, {100, 200, 300, 400}, 10),  // run 2 not reached
         {{0, 100, 10}, {10, 110, 10}, {20, 120, 10}, {30, 200, 10}, {40, 210, 10}}},
        {Track(video, {{5, 10}}, {{1, 1}, {3, 2}}, {100, 200, 300, 400}, 10),  // run 2 from chunk 3
         {{0, 100, 10}, {10, 200, 10}, {20, 300, 10}, {30, 310, 10}, {40, 400, 10}}},
        {Track(video, {{3, 7}}, {{1, 2}}, {100, 200}, 32),  // fixed sample size
         {{0, 100, 32}, {7, 132, 32}, {14, 200, 32}}},
    };
    for (const auto &[track, samples] : cases) {
        OpenedFile f(WriteTemp("i.mp4", TinyMp4({track}, Zeros(8))));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(IndexOf(f.Track(1)), samples);
        EXPECT_EQ(f.Track(1)->keyFrameCount, video ? 1u : 0u);
    }
}

TEST(ReadIndex, VideoTables) { CheckIndexCases(true); }
TEST(ReadIndex, AudioTables) { CheckIndexCases(false); }

// Sync samples count from 1, key frames from 0.  Entries keep the table's
// order, repeated and descending ones included; entries of 0 or past the end
// name no sample and are dropped.
TEST(ReadIndex, SyncSamplesKeepTheirOrder) {
    using Keys = std::vector<std::array<uint32_t, 2>>;  // time, sample number
    const std::pair<std::vector<uint32_t>, Keys> cases[] = {
        {{1, 4}, {{0, 0}, {30, 3}}},
        {{1, 2, 3, 4, 5, 6}, {{0, 0}, {10, 1}, {20, 2}, {30, 3}, {40, 4}, {50, 5}}},
        {{0, 2, 2, 1, 4, 7, 1000}, {{10, 1}, {10, 1}, {0, 0}, {30, 3}}},
    };
    for (const auto &[stss, keys] : cases) {
        TrackSpec t = Track(true, {{6, 10}}, {{1, 6}}, {0}, 1);
        t.stss = stss;
        OpenedFile f(WriteTemp("s.mp4", TinyMp4({t}, Zeros(8))));
        ASSERT_EQ(f.result, 1);
        Keys got;
        for (uint32_t i = 0; i < f.Track(1)->keyFrameCount; ++i)
            got.push_back({f.Track(1)->keyFrames[i].time, f.Track(1)->keyFrames[i].sampleNumber});
        EXPECT_EQ(got, keys);
    }
}

// Tables that disagree: the index ends at the last sample all of them cover.
// A missing table leaves the counts read from stsz and stss over arrays of
// zeros.
TEST(ReadIndex, DisagreeingOrMissingTables) {
    struct Case {
        const char *name;
        void (*change)(TrackSpec &);
        uint32_t samples, keys;
        bool zeros;  // every entry left zero
    };
    const Case cases[] = {
        {"consistent", [](TrackSpec &) {}, 6, 1, false},
        {"stts covers 4", [](TrackSpec &t) { t.stts = {{1, 10}, {0, 99}, {3, 10}}; }, 4, 1, false},
        {"stco has 2 chunks", [](TrackSpec &t) { t.chunks = {100, 200}; }, 4, 1, false},
        {"samples_per_chunk 0", [](TrackSpec &t) { t.stsc = {{1, 0}}; }, 0, 0, false},
        {"second run with 0 per chunk", [](TrackSpec &t) { t.stsc = {{1, 2}, {2, 0}}; }, 2, 1, false},
        {"first_chunk going back", [](TrackSpec &t) { t.stsc = {{2, 2}, {1, 1}}; }, 0, 0, false},
        {"no stsc entries", [](TrackSpec &t) { t.stsc = {}; }, 0, 0, false},
        {"no samples", [](TrackSpec &t) { t.sampleCount = 0; }, 0, 0, false},
        // The atom says 6: its table is not loaded.
        {"stsz table too short", [](TrackSpec &t) { t.sampleSize = 0, t.sizes = {1, 2, 3}; }, 0, 0, false},
        // The info step takes the first stsz (2 samples), the builder the last.
        {"second stsz above capacity",
         [](TrackSpec &t) { t.sampleCount = 2, t.extraStbl = FullBox("stsz", 0, Cat({U32(3), U32(6)})); }, 2, 1, false},
        {"no stss", [](TrackSpec &t) { t.omit = "stss"; }, 6, 0, true},
        {"no stts", [](TrackSpec &t) { t.omit = "stts"; }, 6, 1, true},
        {"no stsc", [](TrackSpec &t) { t.omit = "stsc"; }, 6, 1, true},
        {"no stco", [](TrackSpec &t) { t.omit = "stco"; }, 6, 1, true},
        {"no stsz", [](TrackSpec &t) { t.omit = "stsz"; }, 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TrackSpec t = Track(true, {{6, 10}}, {{1, 2}}, {100, 200, 300}, 4);
        c.change(t);
        OpenedFile f(WriteTemp("d.mp4", TinyMp4({t}, Zeros(8))));
        ASSERT_EQ(f.result, 1);
        const ReadTrack *track = f.Track(1);
        EXPECT_EQ(track->sampleCount, c.samples);
        EXPECT_LE(track->sampleCount, track->capacity);
        EXPECT_EQ(track->samples == nullptr, track->capacity == 0);
        EXPECT_EQ(track->keyFrameCount, c.keys);
        if (c.zeros) {
            EXPECT_EQ(IndexOf(track), std::vector<Sample>(c.samples, Sample{}));
            for (uint32_t i = 0; i < track->keyFrameCount; ++i) EXPECT_EQ(track->keyFrames[i].sampleNumber, 0u);
        }
        // The video builder names a missing table.
        EXPECT_EQ(f.output.find("Some thing wrong at BuildVideotrackIndex ... func \n") != std::string::npos,
                  !t.omit.empty());
    }
    // The audio builder needs no stss and names no failure; chunk offsets in
    // co64 instead of stco count as missing.
    for (const char *missing : {"stts", "stco"}) {
        TrackSpec audio = Track(false, {{2, 10}}, {{1, 2}}, {0}, 2);
        audio.omit = missing;
        if (audio.omit == "stco") audio.extraStbl = FullBox("co64", 0, Cat({U32(1), U32(0), U32(0)}));
        OpenedFile f(WriteTemp("a.mp4", TinyMp4({audio}, Zeros(8))));
        EXPECT_EQ(IndexOf(f.Track(1)), std::vector<Sample>(2, Sample{})) << missing;
        EXPECT_EQ(f.output.find("Some thing wrong"), std::string::npos);
    }
}

TEST(ReadIndex, LastRunGoesPastSampleNineHundredNinetyNineThousand) {
    // One chunk of 1000005 one-byte samples: the last run has no end of its own.
    constexpr uint32_t kCount = 1000005;
    TrackSpec t = AudioTrack(1, kCount);
    t.stts = {{kCount, 1}};
    t.sampleSize = 1;
    OpenedFile f(WriteTemp("long.mp4", TinyMp4({t}, Zeros(kCount))));
    ASSERT_EQ(f.result, 1);
    const ReadTrack *track = f.Track(1);
    ASSERT_EQ(track->sampleCount, kCount);
    EXPECT_EQ(track->samples[kCount - 1].offset - track->samples[0].offset, kCount - 1);
    EXPECT_EQ(track->samples[kCount - 1].time, kCount - 1);
}

TEST(ReadIndex, SampleCountBeyondTheFileIsNotAllocated) {
    // A fixed-size stsz may claim any count; no file holds more samples than bytes.
    const Bytes file = TinyMp4({Track(false, {{0x7FFFFFFF, 1}}, {{1, 0x7FFFFFFF}}, {0}, 1)}, Zeros(8));
    OpenedFile f(WriteTemp("claim.mp4", file));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.Track(1)->capacity, uint32_t(file.size()));
    EXPECT_EQ(f.Track(1)->sampleCount, uint32_t(file.size()));
}

}  // namespace
