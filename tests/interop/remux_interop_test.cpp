// Files made by Mp4AddAudio and Mp4AddVideo, as ffprobe and ffmpeg see them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"
#include "support/streams.h"

namespace {

std::string StreamField(const std::string &file, const char *kind, const char *field) {
    std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(kind) +
                                 ":0 -show_entries stream=" + field + " -of csv=p=0 '" + file + "'");
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

// The operations use fixed temporary names in the working directory.
class RemuxInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe not installed";
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        previous_ = here;
        ASSERT_EQ(chdir(TempDir().c_str()), 0);
        out_ = TempDir() + "/out.mp4";
    }
    void TearDown() override { ASSERT_TRUE(previous_.empty() || chdir(previous_.c_str()) == 0); }
    std::string previous_, out_;
};

TEST_F(RemuxInterop, AddAudioKeepsTheVideoAndTakesTheAdtsPayloads) {
    const AdtsStream adts = SplitAdts(ReadFileBytes(Fixture("audio.aac")));
    ASSERT_GT(adts.frames.size(), 80u);
    for (const char *source : {"av.mp4", "long_video.mp4"}) {
        SCOPED_TRACE(source);
        testing::internal::CaptureStdout();
        const int32_t result = Mp4AddAudio(Fixture(source).c_str(), Fixture("audio.aac").c_str(), out_.c_str());
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(result, 1);
        EXPECT_EQ(ProbePackets(out_, "v:0"), ProbePackets(Fixture(source), "v:0"));
        const std::vector<ProbedPacket> audio = ProbePackets(out_, "a:0");
        ASSERT_EQ(audio.size(), adts.frames.size());
        for (size_t i = 0; i < audio.size(); ++i)
            EXPECT_EQ(audio[i], (ProbedPacket{(long long)(1024 * i), (long long)adts.frames[i].bytes.size()})) << i;
        EXPECT_EQ(StreamField(out_, "a", "codec_name,sample_rate"), "aac,44100");
        EXPECT_EQ(DecodeErrors(out_, "-map 0:v -map 0:a"), "");
    }
}

TEST_F(RemuxInterop, AddVideoTakesEveryPlaneAtTheFrameRate) {
    const struct {
        const char *stream;
        float fps;
        const char *size;
    } cases[] = {{"video.m4v", 25.0f, "176,144"}, {"video.m4v", 29.97f, "176,144"},
                 {"video_xvid.m4v", 25.0f, "160,120"}, {"video_xvid.m4v", 29.97f, "160,120"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.stream) + " at " + std::to_string(c.fps));
        testing::internal::CaptureStdout();
        const int32_t result = Mp4AddVideo(Fixture("av.mp4").c_str(), Fixture(c.stream).c_str(), out_.c_str(), c.fps);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(result, 1);
        EXPECT_EQ(StreamField(out_, "v", "codec_name,width,height"), std::string("mpeg4,") + c.size);
        const std::vector<ProbedPacket> video = ProbePackets(out_, "v:0");
        ASSERT_EQ(video.size(), ProbePackets(Fixture(c.stream), "v:0").size());
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_EQ(video[i].dts, (long long)(float(1000.0 * i) / c.fps)) << i;
        EXPECT_EQ(ProbePackets(out_, "a:0"), ProbePackets(Fixture("av.mp4"), "a:0"));
        EXPECT_EQ(DecodeErrors(out_, "-map 0:v -map 0:a"), "");
    }
}

}  // namespace
