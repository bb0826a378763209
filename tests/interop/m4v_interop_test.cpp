// GetM4vHeaderSize against elementary streams that ffmpeg's two MPEG-4 Part 2
// encoders make at test time, compared with ffprobe.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "corvane2.h"
#include "support/bytes.h"

namespace {

struct StreamCase {
    const char *encoder;
    const char *size;
    const char *rate;
};

void PrintTo(const StreamCase &c, std::ostream *out) {
    *out << c.encoder << " " << c.size << "@" << c.rate;
}

class M4vInterop : public testing::TestWithParam<StreamCase> {};

TEST_P(M4vInterop, HeaderSizeAndPictureSizeAgreeWithFfprobe) {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    const StreamCase &c = GetParam();
    const std::string path = TempDir() + "/stream.m4v";
    int status = 0;
    RunCommand(std::string("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                           "testsrc=size=") +
                   c.size + ":rate=" + c.rate + " -frames:v 3 -c:v " + c.encoder +
                   " -f m4v '" + path + "' 2>&1",
               &status);
    if (status != 0 && std::string(c.encoder) == "libxvid")
        GTEST_SKIP() << "this ffmpeg has no libxvid encoder";
    ASSERT_EQ(status, 0);

    const std::string probed = RunCommand(
        "ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" +
        path + "'");
    unsigned probedWidth = 0, probedHeight = 0;
    ASSERT_EQ(std::sscanf(probed.c_str(), "%u,%u", &probedWidth, &probedHeight), 2) << probed;

    uint32_t width = 0, height = 0;
    const int32_t size = GetM4vHeaderSize(path.c_str(), &width, &height);
    ASSERT_GT(size, 0);
    EXPECT_EQ(width, probedWidth);
    EXPECT_EQ(height, probedHeight);

    // The configuration ends where the next start code begins.
    const Bytes bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), size_t(size) + 3);
    EXPECT_EQ(Bytes(bytes.begin() + size, bytes.begin() + size + 3), Bytes({0, 0, 1}));
}

const StreamCase kCases[] = {
    {"mpeg4", "176x144", "25"},     {"mpeg4", "352x288", "30000/1001"},
    {"mpeg4", "64x48", "10"},       {"mpeg4", "720x576", "30000/1001"},
    {"mpeg4", "128x96", "1"},       {"libxvid", "176x144", "25"},
    {"libxvid", "352x288", "30000/1001"}, {"libxvid", "64x48", "10"},
    {"libxvid", "720x576", "30000/1001"}, {"libxvid", "320x240", "15"},
};

INSTANTIATE_TEST_SUITE_P(Encoders, M4vInterop, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<StreamCase> &info) {
                             std::string name = std::string(info.param.encoder) + "_" +
                                                info.param.size + "_" + info.param.rate;
                             for (char &ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
