// Files made by Mp4AddAudio and Mp4AddVideo, as ffprobe and ffmpeg see them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Packet {
    long long dts;
    long long size;
    bool operator==(const Packet &o) const { return dts == o.dts && size == o.size; }
};

std::ostream &operator<<(std::ostream &os, const Packet &p) {
    return os << p.dts << "/" << p.size;
}

// ffprobe's packets of the first stream of a kind ("v" or "a"), with the
// decoding times relative to the first.
std::vector<Packet> Packets(const std::string &file, const char *kind) {
    const std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(kind) +
                                       ":0 -show_entries packet=dts,size -of csv=p=0 '" + file +
                                       "'");
    std::vector<Packet> packets;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p{};
        if (std::sscanf(line.c_str(), "%lld,%lld", &p.dts, &p.size) == 2) packets.push_back(p);
    }
    for (size_t i = packets.size(); i-- > 0;) packets[i].dts -= packets[0].dts;
    return packets;
}

std::string StreamField(const std::string &file, const char *kind, const char *field) {
    std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(kind) +
                                 ":0 -show_entries stream=" + field + " -of csv=p=0 '" + file +
                                 "'");
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

std::string DecodeErrors(const std::string &file) {
    return RunCommand("ffmpeg -nostdin -v error -i '" + file +
                      "' -map 0:v -map 0:a -f null - 2>&1");
}

// ADTS payload sizes: frame lengths less the 7-byte header.
std::vector<long long> AdtsPayloads(const Bytes &adts) {
    std::vector<long long> sizes;
    for (size_t p = 0; p + 7 <= adts.size();) {
        const size_t length = ((adts[p + 3] & 3) << 11) | (adts[p + 4] << 3) | (adts[p + 5] >> 5);
        sizes.push_back(long(length) - 7);
        p += length;
    }
    return sizes;
}

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
    void TearDown() override {
        if (!previous_.empty()) {
            ASSERT_EQ(chdir(previous_.c_str()), 0);
        }
    }
    std::string previous_;
    std::string out_;
};

TEST_F(RemuxInterop, AddAudioKeepsTheVideoAndTakesTheAdtsPayloads) {
    for (const char *source : {"av.mp4", "video.mp4", "long_video.mp4"}) {
        SCOPED_TRACE(source);
        CaptureStdout();
        const int32_t result =
            Mp4AddAudio(Fixture(source).c_str(), Fixture("audio.aac").c_str(), out_.c_str());
        GetCapturedStdout();
        ASSERT_EQ(result, 1);
        EXPECT_EQ(Packets(out_, "v"), Packets(Fixture(source), "v"));
        const std::vector<Packet> audio = Packets(out_, "a");
        const std::vector<long long> payloads = AdtsPayloads(ReadFileBytes(Fixture("audio.aac")));
        ASSERT_EQ(audio.size(), payloads.size());
        for (size_t i = 0; i < audio.size(); ++i) {
            EXPECT_EQ(audio[i].size, payloads[i]) << i;
            EXPECT_EQ(audio[i].dts, (long long)(1024 * i)) << i;
        }
        EXPECT_EQ(StreamField(out_, "a", "codec_name"), "aac");
        EXPECT_EQ(StreamField(out_, "a", "sample_rate"), "44100");
        EXPECT_EQ(DecodeErrors(out_), "");
    }
}

TEST_F(RemuxInterop, AddVideoTakesEveryPlaneAtTheFrameRate) {
    struct Case {
        const char *stream;
        float fps;
        const char *size;
    };
    for (const Case &c : {Case{"video.m4v", 25.0f, "176,144"}, Case{"video.m4v", 29.97f, "176,144"},
                          Case{"video_xvid.m4v", 25.0f, "160,120"},
                          Case{"video_xvid.m4v", 29.97f, "160,120"}}) {
        SCOPED_TRACE(std::string(c.stream) + " at " + std::to_string(c.fps));
        CaptureStdout();
        const int32_t result =
            Mp4AddVideo(Fixture("av.mp4").c_str(), Fixture(c.stream).c_str(), out_.c_str(), c.fps);
        GetCapturedStdout();
        ASSERT_EQ(result, 1);
        EXPECT_EQ(StreamField(out_, "v", "codec_name"), "mpeg4");
        EXPECT_EQ(StreamField(out_, "v", "width,height"), c.size);
        const std::vector<Packet> video = Packets(out_, "v");
        const std::vector<Packet> planes = Packets(Fixture(c.stream), "v");
        ASSERT_EQ(video.size(), planes.size());
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_EQ(video[i].dts, (long long)(float(1000.0 * i) / c.fps)) << i;
        EXPECT_EQ(Packets(out_, "a"), Packets(Fixture("av.mp4"), "a"));
        EXPECT_EQ(DecodeErrors(out_), "");
    }
}

}  // namespace
