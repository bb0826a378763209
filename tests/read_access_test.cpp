// Sample access on a small two-track file whose samples carry known bytes:
// by time, by key-frame seek, in order, key frame to key frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/read_handle.h"
#include "support/tiny_mp4.h"

namespace {

constexpr int kVideo = 1;
constexpr int kAudio = 2;
constexpr uint32_t kVideoSamples = 6;  // times k * 1000, sizes 8 + k, keys 0, 2, 4
constexpr uint32_t kAudioSamples = 4;  // times k * 1024, size 4

bool IsKey(uint32_t k) { return k % 2 == 0; }

// An MPEG-4 Visual VOP: start code, then the coding type in the top bits.
Bytes VideoSample(uint32_t k) {
    return Cat({Bytes{0, 0, 1, 0xB6, uint8_t(IsKey(k) ? 0x00 : 0x40)}, Bytes(3 + k, 0xA0 + k)});
}
Bytes AudioSample(uint32_t k) { return Bytes(4, uint8_t(0x10 + k)); }

// Video in chunks of 3 at 0 and 27 with the sync samples `stss`, audio in
// one chunk at 63 (no samples without `audio`); `cut` bytes taken off the end.
std::string WriteFile(const std::string &name, size_t cut = 0, std::vector<uint32_t> stss = {1, 3, 5},
                      bool audio = true) {
    TrackSpec v = VideoTrack(kVideo, kVideoSamples), a = AudioTrack(kAudio, kAudioSamples);
    v.stts = {{kVideoSamples, 1000}};
    v.stsc = {{1, 3}};
    v.sampleSize = 0;
    for (uint32_t k = 0; k < kVideoSamples; ++k) v.sizes.push_back(8 + k);
    v.chunks = {0, 27};
    v.stss = stss;
    a.stts = {{kAudioSamples, 1024}};
    if (!audio) a.stts = {};  // no durations: no samples
    a.sampleSize = 4;
    a.chunks = {63};
    Bytes payload;
    for (uint32_t k = 0; k < kVideoSamples; ++k) payload = Cat({payload, VideoSample(k)});
    for (uint32_t k = 0; k < kAudioSamples; ++k) payload = Cat({payload, AudioSample(k)});
    Bytes file = TinyMp4({v, a}, payload);
    file.resize(file.size() - cut);
    return WriteTemp(name, file);
}

Bytes Block(const uint8_t *data, uint32_t size) { return Bytes(data, data + size); }

using Call = std::function<int32_t(uint8_t **, uint32_t *)>;

class ReadAccess : public ::testing::Test {
protected:
    void SetUp() override {
        file = std::make_unique<OpenedFile>(WriteFile("av.mp4"));
        ASSERT_EQ(file->result, 1);
        h = file->handle;
    }
    // A sample export's result, what it printed, and the block it handed out.
    struct Got {
        int32_t result;
        std::string printed;
        Bytes bytes;
        bool handedOut;
    };
    Got Run(const Call &f) {
        uint8_t *data = nullptr;
        uint32_t size = 12345;
        Got g{};
        g.printed = Printed([&] { g.result = f(&data, &size); });
        g.handedOut = data != nullptr;
        if (data) g.bytes = Block(data, size);
        MP4freeData(&data);
        return g;
    }
    Got Next(int track, uint32_t *time = nullptr) {
        uint32_t t = 0;
        return Run([&](uint8_t **d, uint32_t *s) { return MP4GetNextSample(h, track, d, s, time ? time : &t); });
    }
    Got NextKey() { return Run([&](uint8_t **d, uint32_t *s) { return MP4NextKeyFrame(h, kVideo, d, s); }); }
    Got PrevKey() { return Run([&](uint8_t **d, uint32_t *s) { return MP4PrevKeyFrame(h, kVideo, d, s); }); }
    Got At(int track, int32_t time) {
        return Run([&](uint8_t **d, uint32_t *s) { return GetSample(h, track, time, d, s); });
    }
    Got Seek(int track, int32_t time) {
        return Run([&](uint8_t **d, uint32_t *s) { return SeekTrack(h, track, time, d, s); });
    }

    std::unique_ptr<OpenedFile> file;
    MP4_read_file *h = nullptr;
};

TEST_F(ReadAccess, GetSampleByTimeThenNextSample) {
    const std::pair<int32_t, uint32_t> cases[] = {{-5, 0},   {0, 0},    {999, 0}, {2000, 2},
                                                  {2500, 2}, {5999, 5}, {6000, 5}};
    for (const auto &[time, sample] : cases) {
        SCOPED_TRACE(time);
        const Got got = At(kVideo, time);
        EXPECT_EQ(got.result, int32_t(sample * 1000));
        EXPECT_EQ(got.printed, "cursor is [" + std::to_string(sample) + "]\n");
        EXPECT_EQ(got.bytes, VideoSample(sample));
        EXPECT_EQ(h->videoCursor, int32_t(sample + 1));
        uint32_t nextTime = 0;
        const Got next = Next(kVideo, &nextTime);
        EXPECT_EQ(next.result, sample + 1 < kVideoSamples ? 1 : -1);
        EXPECT_EQ(next.handedOut, sample + 1 < kVideoSamples);
        if (next.handedOut) {
            EXPECT_EQ(next.bytes, VideoSample(sample + 1));
            EXPECT_EQ(nextTime, (sample + 1) * 1000);
        }
    }
    const Got audio = At(kAudio, 2100);
    EXPECT_EQ(audio.result, 2048);
    EXPECT_EQ(audio.bytes, AudioSample(2));
    EXPECT_EQ(h->audioCursor, 3);
}

TEST_F(ReadAccess, SeekTrackLandsOnKeyFrames) {
    const Got seek = Seek(kVideo, 2500);  // between key entries 1 (2000) and 2 (4000)
    EXPECT_EQ(seek.result, 2000);
    EXPECT_EQ(seek.bytes, VideoSample(2));
    EXPECT_EQ(h->videoCursor, 3);
    EXPECT_EQ(h->keyCursor, 2);
    EXPECT_EQ(NextKey().bytes, VideoSample(4));
    EXPECT_EQ(Next(kVideo).bytes, VideoSample(3));

    h->keyCursor = 1;
    EXPECT_EQ(Seek(kVideo, 0).bytes, VideoSample(0));
    EXPECT_EQ(h->keyCursor, 1);  // left as it was at the ends
    EXPECT_EQ(Seek(kVideo, 6000).bytes, VideoSample(4));
    EXPECT_EQ(h->keyCursor, 1);
    EXPECT_EQ(h->videoCursor, 5);

    const Got audio = Seek(kAudio, 1100);
    EXPECT_EQ(audio.result, 1024);
    EXPECT_EQ(audio.bytes, AudioSample(1));
}

TEST_F(ReadAccess, EndOfTracks) {
    for (uint32_t k = 0; k < kVideoSamples; ++k) EXPECT_EQ(Next(kVideo).bytes, VideoSample(k));
    const Got end = Next(kVideo);
    EXPECT_EQ(end.result, -1);
    EXPECT_EQ(end.printed, "End of video track , frame num - video- [6]\n");
    for (uint32_t k = 0; k < kAudioSamples; ++k) EXPECT_EQ(Next(kAudio).bytes, AudioSample(k));
    EXPECT_EQ(Next(kAudio).printed, "End of audio track , frame num - audio-[4]");
}

TEST_F(ReadAccess, KeyFrameWalk) {
    EXPECT_EQ(GoToBeginOfKeyFrame(h, kVideo), 1);
    const Got first = PrevKey();
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(first.printed, "cursor is [0]\n");
    EXPECT_EQ(first.bytes, VideoSample(0));
    const Got before = PrevKey();
    EXPECT_EQ(before.result, -1);
    EXPECT_EQ(before.printed, "Begin of video track ,key frame num - video- [-1]\n");
    EXPECT_EQ(NextKey().bytes, VideoSample(0));
    EXPECT_EQ(NextKey().bytes, VideoSample(2));
    // One cursor for both directions: back from here is the key frame after.
    EXPECT_EQ(PrevKey().bytes, VideoSample(4));

    EXPECT_EQ(GoToEndOfKeyFrame(h, kVideo), 1);
    EXPECT_EQ(h->keyCursor, 2);
    EXPECT_EQ(PrevKey().bytes, VideoSample(4));
    h->keyCursor = 3;
    const Got after = NextKey();
    EXPECT_EQ(after.result, -1);
    EXPECT_EQ(after.printed, "End of video track , key frame num - video- [3]\n");
    EXPECT_EQ(h->videoCursor, 0);  // the key-frame readers move only keyCursor
}

TEST_F(ReadAccess, RefusalsAndTheirMessages) {
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    for (int id : {1, 0, 7, 400, -1}) {
        SCOPED_TRACE(id);
        MP4_read_file *handle = id == 1 ? nullptr : h;  // id 1 with no handle at all
        const std::string line = handle ? "No such track id [" + std::to_string(id) + "]\n"
                                        : "mp4 file uncreated\n";
        EXPECT_EQ(Printed([&] {
                      EXPECT_EQ(GetSample(handle, id, 0, &data, &size), -99);
                      EXPECT_EQ(MP4GetNextSample(handle, id, &data, &size, &time), -1);
                      EXPECT_EQ(GoToEndOfKeyFrame(handle, id), -99);
                  }),
                  line + line + line);
    }
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(SeekTrack(nullptr, 1, 0, &data, &size), -99);
                  EXPECT_EQ(MP4NextKeyFrame(nullptr, 1, &data, &size), -1);
                  EXPECT_EQ(MP4PrevKeyFrame(nullptr, 1, &data, &size), -1);
                  EXPECT_EQ(GoToBeginOfKeyFrame(nullptr, 1), -99);
              }),
              "mp4 file uncreated\nmp4 file uncreated\nmp4 file uncreated\nmp4 file uncreated\n");
    // The key-frame functions serve the video track only, silently.
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(GoToEndOfKeyFrame(h, kAudio), -99);
                  EXPECT_EQ(GoToBeginOfKeyFrame(h, kAudio), -99);
                  EXPECT_EQ(MP4NextKeyFrame(h, kAudio, &data, &size), -1);
                  EXPECT_EQ(MP4PrevKeyFrame(h, kAudio, &data, &size), -1);
              }),
              "");
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(MP4freeData(&data), 1);
    EXPECT_EQ(MP4freeData(nullptr), 1);
}

// A sample is a key frame when a walk of stss from its first entry towards
// the sample meets it (for an ascending table: when stss lists it, whether or
// not the first or the last sample is among them); with no entries, when its
// VOP is an I-VOP.
TEST(ReadAccessFlags, KeyFlagFromSyncSamplesOrFromTheVop) {
    const std::pair<std::vector<uint32_t>, const char *> cases[] = {  // stss, flags
        {{}, "101010"},  {{1, 3, 5}, "101010"}, {{1}, "100000"},     {{2, 5}, "010010"},
        {{1, 2, 3, 4, 5, 6}, "111111"}, {{6}, "000001"}, {{3, 4}, "001100"},
        // Out of order: the walk stops at the first entry past the sample.
        {{3, 1, 5}, "001010"}, {{2, 2, 1}, "010000"}};
    for (const auto &[stss, flags] : cases) {
        SCOPED_TRACE(testing::PrintToString(stss));
        OpenedFile f(WriteFile("flags.mp4", 0, stss));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(f.Track(kVideo)->keyFrameCount, stss.size());
        SampleBuffer buffer{};
        ASSERT_EQ(InitSampleBuffer(&buffer), 1);
        for (uint32_t k = 0; k < kVideoSamples; ++k) {
            uint32_t size = 0, time = 0;
            Printed([&] { EXPECT_EQ(GetNextSample(f.handle, kVideo, &buffer, &size, &time), 1); });
            EXPECT_EQ(buffer.keyFlag, flags[k] - '0') << k;
            EXPECT_EQ(Block(buffer.data, size), VideoSample(k));
        }
        ReleaseSampleBuffer(&buffer);
    }
}

// FindKeySample looks from entry *index towards the sample and moves *index
// to the entry found; *index stays where it was when the sample is not a key
// frame.
TEST(ReadAccessFlags, FindKeySampleLooksFromTheGivenEntry) {
    KeyFrameEntry keys[4] = {};
    const uint32_t numbers[4] = {0, 4, 8, 19};
    for (int i = 0; i < 4; ++i) keys[i].sampleNumber = numbers[i];
    ReadTrack track{};
    track.keyFrames = keys;
    track.keyFrameCount = 4;
    struct Case { uint32_t sample, from; int32_t found; uint32_t index; };
    for (const Case &c : {Case{0, 0, 1, 0}, Case{19, 0, 1, 3}, Case{8, 3, 1, 2}, Case{0, 3, 1, 0},
                          Case{4, 2, 1, 1}, Case{5, 0, 0, 0}, Case{5, 3, 0, 3}, Case{20, 1, 0, 1},
                          Case{0, 4, 0, 4}}) {
        uint32_t index = c.from;
        EXPECT_EQ(FindKeySample(c.sample, &track, &index), c.found) << c.sample << " from " << c.from;
        EXPECT_EQ(index, c.index) << c.sample << " from " << c.from;
    }
    // Out of order (the running maximum answers from entry 0, the walk from
    // elsewhere): 7 is met going up from entry 0, 3 is passed before it is.
    const uint32_t unordered[4] = {5, 7, 3, 9};
    for (int i = 0; i < 4; ++i) keys[i].sampleNumber = unordered[i];
    for (const Case &c : {Case{7, 0, 1, 1}, Case{3, 0, 0, 0}, Case{9, 0, 1, 3}, Case{3, 1, 0, 1},
                          Case{3, 2, 1, 2}, Case{5, 2, 0, 2}, Case{5, 1, 1, 0}}) {
        uint32_t index = c.from;
        track.keyRunningMax = nullptr;
        const uint32_t running[4] = {5, 7, 7, 9};
        if (c.from == 0) track.keyRunningMax = const_cast<uint32_t *>(running);
        EXPECT_EQ(FindKeySample(c.sample, &track, &index), c.found) << c.sample << " from " << c.from;
        EXPECT_EQ(index, c.index) << c.sample << " from " << c.from;
    }
    track.keyRunningMax = nullptr;
    uint32_t index = 0;
    EXPECT_EQ(FindKeySample(0, nullptr, &index), 0);
    EXPECT_EQ(FindKeySample(0, &track, nullptr), 0);
}

TEST(ReadAccessFailures, SamplesPastTheEndOfTheFileFailToRead) {
    // 30 bytes cut: the audio, video sample 5 and the end of sample 4 are gone.
    OpenedFile f(WriteFile("cut.mp4", 30));
    ASSERT_EQ(f.result, 1);
    MP4_read_file *h = f.handle;
    SampleBuffer buffer{};
    InitSampleBuffer(&buffer);
    uint8_t *data = nullptr;
    uint32_t size = 99, time = 0;
    const std::string error = "error to read sample from file in Get ";
    struct Case {
        std::function<int32_t()> call;
        int32_t result;
        bool nullsData;  // else the caller's byte pointer is not written
        std::string printed;
    };
    const Case cases[] = {
        {[&] { return GetSample(h, kVideo, 5000, &data, &size); }, -99, true,
         "cursor is [5]\n" + error + "Next Sample at sample - video-[5]"},
        {[&] { return GetNextSample(h, kAudio, &buffer, &size, &time); }, -86, false,
         error + "Next Sample at sample - audio-[0]"},
        {[&] { return MP4GetNextSample(h, kAudio, &data, &size, &time); }, -1, false,
         error + "Next Sample at sample - audio-[1]"},
        {[&] { return h->videoCursor = 4, GetNextSample(h, kVideo, &buffer, &size, &time); }, -85, false,
         error + "Next Sample at sample - video-[4]"},
        {[&] { return h->keyCursor = 2, GetNextKeySample(h, kVideo, &buffer, &size); }, -99, false,
         "cursor is [4]\n" + error + "Next key Sample at sample - video-[2]"},
        {[&] { return h->keyCursor = 2, GetPrevKeySample(h, kVideo, &buffer, &size); }, -99, false,
         "cursor is [4]\n" + error + "Prev key Sample at sample - video-[2]"},
    };
    for (const Case &c : cases) {
        uint8_t *const sentinel = reinterpret_cast<uint8_t *>(&f);
        data = sentinel;
        size = 99;
        EXPECT_EQ(Printed([&] { EXPECT_EQ(c.call(), c.result); }), c.printed);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(data, c.nullsData ? nullptr : sentinel);
    }
    // The cursors moved past the failed samples.
    EXPECT_EQ(h->videoCursor, 5);
    EXPECT_EQ(h->audioCursor, 2);
    EXPECT_EQ(h->keyCursor, 1);
    ReleaseSampleBuffer(&buffer);
    // What is inside the file still reads.
    h->videoCursor = 3;
    data = nullptr;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(MP4GetNextSample(h, kVideo, &data, &size, &time), 1); }), "");
    EXPECT_EQ(Block(data, size), VideoSample(3));
    MP4freeData(&data);
}

TEST(ReadAccessFailures, TracksWithoutSamplesOrKeyFrames) {
    OpenedFile f(WriteFile("empty.mp4", 0, {}, false));
    ASSERT_EQ(f.result, 1);
    MP4_read_file *h = f.handle;
    ASSERT_EQ(f.Track(kAudio)->sampleCount, 0u);
    uint8_t *data = nullptr;
    uint32_t size = 7;
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(GetSample(h, kAudio, 100, &data, &size), -99);
                  EXPECT_EQ(SeekTrack(h, kAudio, 100, &data, &size), -99);
                  EXPECT_EQ(SeekTrack(h, kVideo, 100, &data, &size), -99);
              }),
              "");
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(h->videoCursor, 0);
    EXPECT_EQ(h->keyCursor, 0);
    // GetSample still serves the video track without key frames, and so does
    // SeekTrack at time 0: the first (zero-filled) key-frame entry names
    // sample 0.
    EXPECT_EQ(Printed([&] { EXPECT_EQ(GetSample(h, kVideo, 3000, &data, &size), 3000); }),
              "cursor is [3]\n");
    MP4freeData(&data);
    EXPECT_EQ(Printed([&] { EXPECT_EQ(SeekTrack(h, kVideo, -7, &data, &size), 0); }),
              "cursor is [0]\n");
    EXPECT_EQ(Block(data, size), VideoSample(0));
    EXPECT_EQ(h->videoCursor, 1);
    MP4freeData(&data);
}

// A track that lacks a table keeps its sample count over zeros: every sample
// is handed out, empty, at time 0.
TEST(ReadAccessFailures, TrackWithoutStssHandsOutEmptySamples) {
    TrackSpec v = VideoTrack(kVideo, 3);
    v.hasStss = false;
    OpenedFile f(WriteTemp("nostss.mp4", TinyMp4({v}, Zeros(30))));
    ASSERT_EQ(f.result, 1);
    uint8_t *data = nullptr;
    uint32_t size = 7, time = 7;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(Printed([&] { EXPECT_EQ(MP4GetNextSample(f.handle, kVideo, &data, &size, &time), 1); }), "");
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(time, 0u);
        MP4freeData(&data);
    }
    EXPECT_EQ(Printed([&] { EXPECT_EQ(MP4GetNextSample(f.handle, kVideo, &data, &size, &time), -1); }),
              "End of video track , frame num - video- [3]\n");
    EXPECT_EQ(Printed([&] { EXPECT_EQ(GetSample(f.handle, kVideo, 0, &data, &size), 0); }), "cursor is [0]\n");
    MP4freeData(&data);
    // The key flag of an empty sample comes from the buffer's fifth byte.
    SampleBuffer buffer{};
    ASSERT_EQ(InitSampleBuffer(&buffer), 1);
    Printed([&] { GetNextSample(f.handle, kVideo, &buffer, &size, &time); });
    EXPECT_EQ(buffer.keyFlag, 1);
    ReleaseSampleBuffer(&buffer);
}

// Both lookups end at the signed 32-bit product of timescale and sample
// count; past 2^31 it is negative and every positive time lands on the last
// entry, keyCursor staying where it was.
TEST(ReadAccessFailures, EndBoundIsASigned32BitProduct) {
    TrackSpec v = VideoTrack(kVideo, 2);
    v.timescale = (1u << 30) + 1;  // times 2 samples: past 2^31
    v.stss = {1, 2};
    OpenedFile f(WriteTemp("bound.mp4", TinyMp4({v}, Zeros(30))));
    ASSERT_EQ(f.result, 1);
    uint8_t *data = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(GetSample(f.handle, kVideo, 50, &data, &size), 100); }), "cursor is [1]\n");
    MP4freeData(&data);
    EXPECT_EQ(Printed([&] { EXPECT_EQ(SeekTrack(f.handle, kVideo, 50, &data, &size), 100); }), "cursor is [1]\n");
    EXPECT_EQ(f.handle->keyCursor, 0);
    MP4freeData(&data);
}

TEST(SampleBufferOps, InitGrowRelease) {
    SampleBuffer buffer{};
    ASSERT_EQ(InitSampleBuffer(&buffer), 1);
    EXPECT_EQ(buffer.capacity, 11u);
    EXPECT_EQ(GrowSampleBuffer(&buffer, 100), 1);
    EXPECT_EQ(buffer.capacity, 110u);
    EXPECT_EQ(ReleaseSampleBuffer(&buffer), 1);
    EXPECT_EQ(buffer.data, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GrowSampleBuffer(&buffer, 10), -91);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "realloc failed\n");
}

}  // namespace
