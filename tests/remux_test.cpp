// Mp4AddAudio and Mp4AddVideo: every result, and what is left on disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "corvane2.h"
#include "remux/remux.h"
#include "support/bytes.h"
#include "support/read_handle.h"
#include "support/writer_session.h"

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
    void TearDown() override { ASSERT_EQ(chdir(previous_.c_str()), 0); }
    std::string Out() const { return dir_ + "/out.mp4"; }
    static bool TempsGone() { return !FileExists("tempv.v") && !FileExists("tempa.a"); }

    std::string previous_, dir_;
};

// The new files end with the object-descriptor and scene access units, after
// mdat and outside any box.  The reader takes such bytes for a box it does
// not know and refuses the file, so the checks read a copy without them
// (after checking them).
std::string MediaPartOf(const std::string &path) {
    Bytes file = ReadFileBytes(path);
    const Bytes units = Cat({kAvObjectDescriptorUnit, kAvSceneUnit});
    if (file.size() <= units.size()) return path;
    EXPECT_EQ(Bytes(file.end() - long(units.size()), file.end()), units);
    file.resize(file.size() - units.size());
    return WriteTemp("media-part.mp4", file);
}

Bytes Adts(std::initializer_list<uint32_t> frameLengths, uint8_t byte1 = 0xF1) {
    Bytes out;
    for (uint32_t length : frameLengths) {
        out = Cat({out, {0xFF, byte1, 0x50, uint8_t(0x80 | ((length >> 11) & 3)), uint8_t(length >> 3),
                         uint8_t(((length & 7) << 5) | 0x1F), 0xFC}});
        for (uint32_t i = 7; i < length; ++i) out.push_back(uint8_t(i));
    }
    return out;
}

TEST_F(Remux, AddAudioJoinsTheFramesOfAnAdtsStream) {
    const std::string adts = WriteTemp("three.aac", Adts({100, 120, 110}));
    ASSERT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), adts.c_str(), Out().c_str()), 1);
    EXPECT_TRUE(TempsGone());
    OpenedFile f(MediaPartOf(Out()));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.handle->audioInfo.timescale, 44100u);  // sampling frequency index 4
    const std::vector<ReadSample> samples = ReadAllSamples(f.handle, f.handle->audioTrackId);
    ASSERT_EQ(samples.size(), 3u);
    const uint32_t sizes[] = {93, 113, 103};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(samples[i].time, 1024 * i);
        ASSERT_EQ(samples[i].bytes.size(), sizes[i]);
        EXPECT_EQ(samples[i].bytes[0], 7);  // the payload after the 7-byte header
    }
}

TEST_F(Remux, ResultTable) {
    const std::string adts = Fixture("audio.aac"), m4v = Fixture("video.m4v"), av = Fixture("av.mp4");
    const std::string missing = dir_ + "/missing.mp4", noDir = dir_ + "/no/such/dir/out.mp4";
    const std::string text = WriteTemp("text.mp4", Str("not a movie at all"));
    const Bytes stream = ReadFileBytes(m4v);
    // The headers alone (37 bytes), no picture; then 34 bytes of user data
    // before the video object, which make the configuration longer than 52.
    const std::string noVop = WriteTemp("novop.m4v", Bytes(stream.begin(), stream.begin() + 37));
    const std::string longHeader = WriteTemp("long.m4v", Cat({Bytes(stream.begin(), stream.begin() + 11),
                                                              {0, 0, 1, 0xB2}, Bytes(30, 0x55),
                                                              Bytes(stream.begin() + 11, stream.end())}));
    const std::string outPath = Out();
    const char *out = outPath.c_str();
    const std::string video = Fixture("video.mp4");
    Bytes cut = Adts({100, 120, 110}), noSync = Adts({100, 100});
    cut.resize(cut.size() - 20);
    noSync[0] = noSync[1] = noSync[2] = 0;
    const auto bad = [&](const char *name, const Bytes &adts) {
        return Mp4AddAudio(video.c_str(), WriteTemp(name, adts).c_str(), out);
    };
    const struct {
        const char *name;
        int32_t result, got;
    } rows[] = {
        {"audio: null source", -1, Mp4AddAudio(nullptr, adts.c_str(), out)},
        {"audio: null adts", -1, Mp4AddAudio(av.c_str(), nullptr, out)},
        {"audio: null output", -1, Mp4AddAudio(av.c_str(), adts.c_str(), nullptr)},
        {"audio: missing adts", -1, Mp4AddAudio(av.c_str(), missing.c_str(), out)},
        {"audio: missing source", -11, Mp4AddAudio(missing.c_str(), adts.c_str(), out)},
        {"audio: text source", -11, Mp4AddAudio(text.c_str(), adts.c_str(), out)},
        {"audio: no video track", -12, Mp4AddAudio(Fixture("audio.mp4").c_str(), adts.c_str(), out)},
        {"adts: no sync word", -31, bad("a.aac", noSync)},
        {"adts: with CRC", -31, bad("b.aac", Adts({100, 100}, 0xF0))},
        {"adts: last frame cut short", -31, bad("c.aac", cut)},
        {"adts: frame length below the header", -31, bad("d.aac", Cat({Adts({100}), Adts({5}), Adts({100})}))},
        {"adts: shorter than a header", -31, bad("e.aac", {0xFF, 0xF1, 0x50})},
        {"audio: output cannot be created", -41, Mp4AddAudio(av.c_str(), adts.c_str(), noDir.c_str())},
        {"video: output cannot be created", -41,
         Mp4AddVideo(Fixture("audio.mp4").c_str(), m4v.c_str(), noDir.c_str(), 25)},
        {"video: null source", -1, Mp4AddVideo(nullptr, m4v.c_str(), out, 25)},
        {"video: null stream", -1, Mp4AddVideo(av.c_str(), nullptr, out, 25)},
        {"video: null output", -1, Mp4AddVideo(av.c_str(), m4v.c_str(), nullptr, 25)},
        {"video: missing stream", -1, Mp4AddVideo(av.c_str(), missing.c_str(), out, 25)},
        {"video: frame rate 0", -1, Mp4AddVideo(av.c_str(), m4v.c_str(), out, 0)},
        {"video: not a stream", -31, Mp4AddVideo(av.c_str(), text.c_str(), out, 25)},
        {"video: no picture", -31, Mp4AddVideo(av.c_str(), noVop.c_str(), out, 25)},
        {"video: header over 52 bytes", -31, Mp4AddVideo(av.c_str(), longHeader.c_str(), out, 25)},
        {"video: missing source", -11, Mp4AddVideo(missing.c_str(), m4v.c_str(), out, 25)},
        {"video: no audio track", -12, Mp4AddVideo(Fixture("video.mp4").c_str(), m4v.c_str(), out, 25)},
    };
    for (const auto &row : rows) EXPECT_EQ(row.got, row.result) << row.name;
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(TempsGone());
}

TEST_F(Remux, UnreadableSourceSampleGivesMinus21) {
    // The media data of a moov-first file, cut in the middle: the tables
    // still name samples that are no longer there.
    Bytes av = ReadFileBytes(Fixture("av.mp4"));
    av.resize(av.size() / 2);
    const std::string cut = WriteTemp("cut.mp4", av);
    // The new file stays as created (empty).
    EXPECT_EQ(Mp4AddAudio(cut.c_str(), Fixture("audio.aac").c_str(), Out().c_str()), -21);
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
    std::remove(Out().c_str());
    EXPECT_EQ(Mp4AddVideo(cut.c_str(), Fixture("video.m4v").c_str(), Out().c_str(), 25), -21);
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
}

TEST_F(Remux, AddVideoTimesFollowTheFrameRate) {
    for (const auto &[fps, times] : {std::pair{25.0f, std::vector<uint32_t>{0, 40, 80, 120}},
                                     {29.97f, {0, 33, 66, 100}}}) {
        ASSERT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), Fixture("video.m4v").c_str(),
                              Out().c_str(), fps), 1) << fps;
        EXPECT_TRUE(TempsGone());
        OpenedFile f(MediaPartOf(Out()));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(f.handle->videoInfo.timescale, 1000u);
        EXPECT_EQ(f.handle->videoInfo.width, 176u);
        EXPECT_EQ(f.handle->videoInfo.height, 144u);
        const std::vector<ReadSample> samples = ReadAllSamples(f.handle, f.handle->videoTrackId);
        ASSERT_EQ(samples.size(), 50u);
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(samples[i].time, times[i]) << fps;
            EXPECT_EQ(samples[i].bytes[3], 0xB6);  // each sample starts at its plane
        }
    }
}

TEST(VisualFrames, SplitAtPlaneStartCodes) {
    const Bytes stream = {0, 0, 1, 0xB0, 1, 0, 0, 1, 0xB6, 0x10, 0xAA, 0, 0, 1, 0xB6, 0x50, 0xBB, 0, 0, 1, 0xB6};
    const auto frames = SplitVisualFrames(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 3u);
    const size_t bounds[3][2] = {{5, 11}, {11, 17}, {17, stream.size()}};
    const int32_t intra[3] = {1, 0, 0};  // 0x10: I, 0x50: P, the last too short to tell
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].begin, bounds[i][0]);
        EXPECT_EQ(frames[i].end, bounds[i][1]);
        EXPECT_EQ(IsIntraPlane(stream.data(), frames[i]), intra[i]) << i;
    }
    EXPECT_TRUE(SplitVisualFrames(stream.data(), 2).empty());
}

TEST(VisualFrames, TimesTruncateTowardZero) {
    EXPECT_EQ(VisualFrameTime(3, 29.97f), 100u);
    EXPECT_EQ(VisualFrameTime(2, 29.97f), 66u);
    EXPECT_EQ(VisualFrameTime(7, 25.0f), 280u);
    EXPECT_EQ(VisualFrameTime(1, 1e-30f), 0xFFFFFFFFu);  // beyond 32 bits: the largest time
}

}  // namespace
