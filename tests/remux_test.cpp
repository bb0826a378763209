// Mp4AddAudio and Mp4AddVideo: every result, and what is left on disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvane2.h"
#include "remux/remux.h"
#include "support/bytes.h"


namespace {

// Runs the operations in a directory of their own: they use fixed temporary
// names in the working directory.
class Remux : public ::testing::Test {
protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        previous_ = here;
        dir_ = TempDir();
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_.c_str()), 0);
    }
    std::string Out() const { return dir_ + "/out.mp4"; }
    static bool TempsGone() { return !FileExists("tempv.v") && !FileExists("tempa.a"); }

    std::string previous_;
    std::string dir_;
};

// The new files end with the 33-byte object-descriptor and the 16-byte scene
// access units, after mdat and outside any box.  The reader takes such bytes
// for a box it does not know and refuses the file, so the checks below read a
// copy without them (after checking them).
std::string MediaPartOf(const std::string &path) {
    const Bytes od = {0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80, 0x09, 0x05,
                      0x1F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x01, 0x11, 0x80, 0x80,
                      0x80, 0x09, 0x02, 0x9F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x02};
    const Bytes scene = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x72,
                         0x61, 0x04, 0x88, 0x50, 0x45, 0x05, 0x3F, 0x00};
    Bytes file = ReadFileBytes(path);
    EXPECT_GT(file.size(), 49u);
    if (file.size() <= 49) return path;
    EXPECT_EQ(Bytes(file.end() - 49, file.end()), Cat({od, scene}));
    file.resize(file.size() - 49);
    return WriteTemp("media-part.mp4", file);
}

Bytes Adts(std::initializer_list<uint32_t> frameLengths, uint8_t byte1 = 0xF1) {
    Bytes out;
    for (uint32_t length : frameLengths) {
        const Bytes header = {0xFF, byte1, 0x50, uint8_t(0x80 | ((length >> 11) & 3)),
                              uint8_t(length >> 3), uint8_t(((length & 7) << 5) | 0x1F), 0xFC};
        out.insert(out.end(), header.begin(), header.end());
        for (uint32_t i = 7; i < length; ++i) out.push_back(uint8_t(i));
    }
    return out;
}

TEST_F(Remux, AddAudioJoinsTheFramesOfAnAdtsStream) {
    const std::string adts = WriteTemp("three.aac", Adts({100, 120, 110}));
    ASSERT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), adts.c_str(), Out().c_str()), 1);
    EXPECT_TRUE(TempsGone());

    MP4_read_file *h = nullptr;
    ASSERT_EQ(MP4FileOpen(&h, MediaPartOf(Out()).c_str()), 1);
    EXPECT_EQ(h->audioInfo.sampleCount, 3u);
    EXPECT_EQ(h->audioInfo.timescale, 44100u);  // sampling frequency index 4
    const uint32_t sizes[] = {93, 113, 103}, times[] = {0, 1024, 2048};
    for (int i = 0; i < 3; ++i) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        ASSERT_EQ(MP4GetNextSample(h, h->audioTrackId, &data, &size, &time), 1);
        EXPECT_EQ(size, sizes[i]);
        EXPECT_EQ(time, times[i]);
        EXPECT_EQ(data[0], 7);  // the payload after the 7-byte header
        MP4freeData(&data);
    }
    MP4FileClose(&h);
    std::free(h);
}

struct Refusal {
    const char *name;
    Bytes adts;
    int32_t result;
};

TEST_F(Remux, AddAudioRefusesBadAdtsStreams) {
    Bytes cut = Adts({100, 120, 110});
    cut.resize(cut.size() - 20);
    Bytes noSync = Adts({100, 100});
    noSync[0] = noSync[1] = noSync[2] = 0;
    const std::vector<Refusal> cases = {
        {"no sync word", noSync, -31},
        {"with CRC", Adts({100, 100}, 0xF0), -31},
        {"last frame cut short", cut, -31},
        {"frame length below the header", Cat({Adts({100}), Adts({5}), Adts({100})}), -31},
        {"shorter than a header", Bytes{0xFF, 0xF1, 0x50}, -31},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string adts = WriteTemp("bad.aac", c.adts);
        EXPECT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), adts.c_str(), Out().c_str()),
                  c.result);
        EXPECT_FALSE(FileExists(Out()));
        EXPECT_TRUE(TempsGone());
    }
}

TEST_F(Remux, ResultTable) {
    const std::string adts = Fixture("audio.aac");
    const std::string m4v = Fixture("video.m4v");
    const std::string av = Fixture("av.mp4");
    const std::string missing = dir_ + "/missing.mp4";
    const std::string text = WriteTemp("text.mp4", Str("not a movie at all"));
    Bytes header = ReadFileBytes(m4v);
    header.resize(37);  // the configuration alone, no picture
    const std::string noVop = WriteTemp("novop.m4v", header);
    struct Row {
        const char *name;
        int32_t result;
        int32_t got;
    };
    const std::vector<Row> rows = {
        {"audio: null source", -1, Mp4AddAudio(nullptr, adts.c_str(), Out().c_str())},
        {"audio: null adts", -1, Mp4AddAudio(av.c_str(), nullptr, Out().c_str())},
        {"audio: null output", -1, Mp4AddAudio(av.c_str(), adts.c_str(), nullptr)},
        {"audio: missing adts", -1, Mp4AddAudio(av.c_str(), missing.c_str(), Out().c_str())},
        {"audio: missing source", -11, Mp4AddAudio(missing.c_str(), adts.c_str(), Out().c_str())},
        {"audio: text source", -11, Mp4AddAudio(text.c_str(), adts.c_str(), Out().c_str())},
        {"audio: no video track", -12,
         Mp4AddAudio(Fixture("audio.mp4").c_str(), adts.c_str(), Out().c_str())},
        {"audio: output cannot be created", -41,
         Mp4AddAudio(av.c_str(), adts.c_str(), (dir_ + "/no/such/dir/out.mp4").c_str())},
        {"video: output cannot be created", -41,
         Mp4AddVideo(Fixture("audio.mp4").c_str(), m4v.c_str(),
                     (dir_ + "/no/such/dir/out.mp4").c_str(), 25)},
        {"video: null source", -1, Mp4AddVideo(nullptr, m4v.c_str(), Out().c_str(), 25)},
        {"video: null stream", -1, Mp4AddVideo(av.c_str(), nullptr, Out().c_str(), 25)},
        {"video: null output", -1, Mp4AddVideo(av.c_str(), m4v.c_str(), nullptr, 25)},
        {"video: missing stream", -1, Mp4AddVideo(av.c_str(), missing.c_str(), Out().c_str(), 25)},
        {"video: frame rate 0", -1, Mp4AddVideo(av.c_str(), m4v.c_str(), Out().c_str(), 0)},
        {"video: not a stream", -31, Mp4AddVideo(av.c_str(), text.c_str(), Out().c_str(), 25)},
        {"video: no picture", -31, Mp4AddVideo(av.c_str(), noVop.c_str(), Out().c_str(), 25)},
        {"video: missing source", -11,
         Mp4AddVideo(missing.c_str(), m4v.c_str(), Out().c_str(), 25)},
        {"video: no audio track", -12,
         Mp4AddVideo(Fixture("video.mp4").c_str(), m4v.c_str(), Out().c_str(), 25)},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.got, row.result) << row.name;
    }
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(TempsGone());
}

TEST_F(Remux, UnreadableSourceSampleGivesMinus21) {
    // The media data of a moov-first file, cut in the middle: the tables
    // still name samples that are no longer there.
    Bytes av = ReadFileBytes(Fixture("av.mp4"));
    av.resize(av.size() / 2);
    const std::string cut = WriteTemp("cut.mp4", av);
    EXPECT_EQ(Mp4AddAudio(cut.c_str(), Fixture("audio.aac").c_str(), Out().c_str()), -21);
    // The new file stays as created (empty); the temporary files keep what
    // was copied so far.
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
    std::remove(Out().c_str());
    EXPECT_EQ(Mp4AddVideo(cut.c_str(), Fixture("video.m4v").c_str(), Out().c_str(), 25), -21);
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
}

TEST_F(Remux, AddVideoTimesFollowTheFrameRate) {
    struct Rate {
        float fps;
        std::vector<uint32_t> times;
    };
    for (const Rate &rate : {Rate{25.0f, {0, 40, 80, 120}}, Rate{29.97f, {0, 33, 66, 100}}}) {
        SCOPED_TRACE(rate.fps);
        ASSERT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), Fixture("video.m4v").c_str(),
                              Out().c_str(), rate.fps),
                  1);
        EXPECT_TRUE(TempsGone());
        MP4_read_file *h = nullptr;
        ASSERT_EQ(MP4FileOpen(&h, MediaPartOf(Out()).c_str()), 1);
        EXPECT_EQ(h->videoInfo.timescale, 1000u);
        EXPECT_EQ(h->videoInfo.width, 176u);
        EXPECT_EQ(h->videoInfo.height, 144u);
        EXPECT_EQ(h->videoInfo.sampleCount, 50u);
        for (uint32_t expected : rate.times) {
            uint8_t *data = nullptr;
            uint32_t size = 0, time = 0;
            ASSERT_EQ(MP4GetNextSample(h, h->videoTrackId, &data, &size, &time), 1);
            EXPECT_EQ(time, expected);
            EXPECT_EQ(data[3], 0xB6);
            MP4freeData(&data);
        }
        MP4FileClose(&h);
        std::free(h);
    }
}

TEST(VisualFrames, SplitAtPlaneStartCodes) {
    const Bytes stream = {0, 0, 1, 0xB0, 1,    0, 0, 1, 0xB6, 0x10, 0xAA, 0, 0,
                          1, 0xB6, 0x50, 0xBB, 0, 0, 1, 0xB6};
    const auto frames = SplitVisualFrames(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].begin, 5u);
    EXPECT_EQ(frames[0].end, 11u);
    EXPECT_EQ(frames[1].begin, 11u);
    EXPECT_EQ(frames[2].begin, 17u);
    EXPECT_EQ(frames[2].end, stream.size());
    EXPECT_EQ(IsIntraPlane(stream.data(), frames[0]), 1);  // 0x10: I
    EXPECT_EQ(IsIntraPlane(stream.data(), frames[1]), 0);  // 0x50: P
    EXPECT_EQ(IsIntraPlane(stream.data(), frames[2]), 0);  // too short to tell
    EXPECT_TRUE(SplitVisualFrames(stream.data(), 2).empty());
}

TEST(VisualFrames, TimesTruncateTowardZero) {
    EXPECT_EQ(VisualFrameTime(3, 29.97f), 100u);
    EXPECT_EQ(VisualFrameTime(2, 29.97f), 66u);
    EXPECT_EQ(VisualFrameTime(7, 25.0f), 280u);
    EXPECT_EQ(VisualFrameTime(1, 1e-30f), 0xFFFFFFFFu);
}

}  // namespace
