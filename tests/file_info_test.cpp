// GetFileInfo on the bundled files: the values the files' own boxes hold
// (sample counts, mdhd timescale and duration, esds bit rates and
// AudioSpecificConfig, the first MP3 frame header).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "read/config.h"
#include "support/bytes.h"

namespace {

struct InfoCase {
    const char *file;
    FileInfo info;
};

// Words in FileInfo order: fileSize, reserved1, videoAvgBitrate,
// videoMaxBitrate, videoProfileLevel, reserved5, videoHeight, videoWidth,
// videoFrameRate, videoFrameCount, audioFrameCount, audioIsMpegAudio,
// mpegAudioMode, audioSampleRate, audioAvgBitrate, audioMaxBitrate,
// aacProfile, audioChannels, reserved18, audioObjectType, audioChannelsCopy,
// reserved21, reserved22, mpegAudioEmphasis.
const InfoCase kFiles[] = {
    {"av.mp4", {45844, 0, 123320, 200000, 1, 0, 144, 176, 25, 50,
                88, 0, 0, 44100, 48690, 48690, 1, 1, 1, 2, 1, 0, 0, 0}},
    {"av_moov_last.mp4", {45844, 0, 123320, 200000, 1, 0, 144, 176, 25, 50,
                          88, 0, 0, 44100, 48690, 48690, 1, 1, 1, 2, 1, 0, 0, 0}},
    // Audio only: the video words stay 0.
    {"audio.mp4", {9299, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   48, 0, 0, 48000, 65146, 65146, 1, 2, 1, 2, 2, 0, 0, 0}},
    // Video only: the audio words stay 0.  128x96 at 10 frames per second.
    {"video.mp4", {10997, 0, 26736, 200000, 1, 0, 96, 128, 10, 30,
                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"long_video.mp4", {51524, 0, 3689, 200000, 1, 0, 32, 32, 25, 2250,
                        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    // libxvid's configuration begins with a sequence header of profile 3.
    {"xvid.mp4", {8851, 0, 62968, 200000, 3, 0, 120, 160, 30, 30,
                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    // MP3 (objectTypeIndication 0x6B): the esds has no AudioSpecificConfig,
    // so its fields come from the SLConfigDescriptor's bytes (object type 0,
    // profile 0 - 1); the first frame FF FB 50 64 gives joint stereo (mode 1,
    // two channels) without emphasis.
    {"mp3.mp4", {25722, 0, 122200, 200000, 1, 0, 144, 176, 25, 25,
                 40, 1, 1, 44100, 65237, 65237, 0xFFFFFFFF, 2, 1, 0, 2, 0, 0, 0}},
};

class FileInfoOfFixture : public testing::TestWithParam<InfoCase> {};

void PrintTo(const InfoCase &c, std::ostream *out) { *out << c.file; }

TEST_P(FileInfoOfFixture, EveryWord) {
    const InfoCase &c = GetParam();
    FileInfo info;
    std::memset(&info, 0xAB, sizeof info);
    testing::internal::CaptureStdout();
    const int32_t result = GetFileInfo(Fixture(c.file).c_str(), &info);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 1);
    const auto *got = reinterpret_cast<const uint32_t *>(&info);
    const auto *want = reinterpret_cast<const uint32_t *>(&c.info);
    for (int word = 0; word < 24; ++word) EXPECT_EQ(got[word], want[word]) << "word " << word;
}

INSTANTIATE_TEST_SUITE_P(Bundled, FileInfoOfFixture, testing::ValuesIn(kFiles),
                         [](const testing::TestParamInfo<InfoCase> &info) {
                             std::string name = info.param.file;
                             for (char &ch : name)
                                 if (ch == '.') ch = '_';
                             return name;
                         });

TEST(GetFileInfo, Failures) {
    FileInfo info;
    std::memset(&info, 0xAB, sizeof info);
    FileInfo untouched = info;
    EXPECT_EQ(GetFileInfo((TempDir() + "/missing.mp4").c_str(), &info), -11);
    EXPECT_EQ(GetFileInfo(nullptr, &info), -11);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    EXPECT_EQ(GetFileInfo(Fixture("av.mp4").c_str(), nullptr), -12);

    const std::string text = WriteTemp("notes.mp4", Str("this is not an mp4 file at all"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetFileInfo(text.c_str(), &info), -21);
    testing::internal::GetCapturedStdout();
    const FileInfo cleared{};
    EXPECT_EQ(std::memcmp(&info, &cleared, sizeof info), 0);
}

TEST(WholeFrameRate, TruncatesAndGuardsTheEdges) {
    struct Case {
        uint32_t timescale, frames, duration, rate;
    } cases[] = {
        {1000, 250, 10000, 25},        {1000, 299, 10000, 29},
        {30000, 300, 10010, 899},      {12800, 50, 25600, 25},
        {1000, 250, 0, 0},             // no duration: no rate
        {0xFFFFFFFF, 0xFFFFFFFF, 1, 0xFFFFFFFF},  // does not fit: saturated
        {0, 100, 1000, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(WholeFrameRate(c.timescale, c.frames, c.duration), c.rate)
            << c.timescale << " " << c.frames << " " << c.duration;
}

}  // namespace
