// GetM4vHeaderSize against elementary streams that ffmpeg's two MPEG-4 Visual
// encoders make at test time, compared with ffprobe.
#include "support/interop.h"

namespace {

// The picture size ffprobe sees, and the configuration ending where the next
// start code begins.
void CompareWithFfprobe(const std::string &path) {
    const Record probed = ProbeStream(path, "v", "width,height");
    uint32_t width = 0, height = 0;
    const int32_t size = GetM4vHeaderSize(path.c_str(), &width, &height);
    ASSERT_GT(size, 0);
    EXPECT_EQ(std::to_string(width) + "x" + std::to_string(height),
              probed.at("width") + "x" + probed.at("height"));
    const Bytes bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), size_t(size) + 3);
    EXPECT_EQ(Bytes(bytes.begin() + size, bytes.begin() + size + 3), Bytes({0, 0, 1}));
}

TEST(M4vInterop, HeaderSizeAndPictureSizeAgreeWithFfprobe) {
    SKIP_WITHOUT_FFMPEG();
    for (const char *fixture : {"video.m4v", "video_xvid.m4v"}) {
        SCOPED_TRACE(fixture);
        CompareWithFfprobe(Fixture(fixture));
    }
    const char *cases[][3] = {
        {"mpeg4", "176x144", "25"},           {"mpeg4", "352x288", "30000/1001"},
        {"mpeg4", "64x48", "10"},             {"mpeg4", "720x576", "30000/1001"},
        {"mpeg4", "128x96", "1"},             {"libxvid", "176x144", "25"},
        {"libxvid", "352x288", "30000/1001"}, {"libxvid", "64x48", "10"},
        {"libxvid", "720x576", "30000/1001"}, {"libxvid", "320x240", "15"},
    };
    for (const auto &[encoder, picture, rate] : cases) {
        SCOPED_TRACE(std::string(encoder) + " " + picture + "@" + rate);
        const std::string path = TempDir() + "/stream.m4v";
        int status = 0;
        RunCommand(std::string("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=") +
                       picture + ":rate=" + rate + " -frames:v 3 -c:v " + encoder + " -f m4v '" + path +
                       "' 2>&1",
                   &status);
        if (status != 0 && std::string(encoder) == "libxvid") continue;  // this ffmpeg has no libxvid
        ASSERT_EQ(status, 0);
        CompareWithFfprobe(path);
    }
}

}  // namespace
