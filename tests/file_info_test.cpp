// GetFileInfo's failures and the values only the files' own boxes tell
// (the sequence header's profile, the MP3 branch); the rest is compared with
// ffprobe and shown by `corvane info`.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "read/config.h"
#include "support/read_handle.h"

namespace {

// Words in FileInfo order: fileSize, reserved1, videoAvgBitrate,
// videoMaxBitrate, videoProfileLevel, reserved5, videoHeight, videoWidth,
// videoFrameRate, videoFrameCount, audioFrameCount, audioIsMpegAudio,
// mpegAudioMode, audioSampleRate, audioAvgBitrate, audioMaxBitrate,
// aacProfile, audioChannels, reserved18, audioObjectType, audioChannelsCopy,
// reserved21, reserved22, mpegAudioEmphasis.
// mp3.mp4 with its first audio chunk moved past the end of the file.
std::string Mp3WithUnreadableFirstFrame() {
    Bytes file = ReadFileBytes(Fixture("mp3.mp4"));
    const std::string text(file.begin(), file.end());
    const size_t firstChunk = text.rfind("stco") + 12;  // the audio track's, the last one
    const Bytes past = U32(0x7FFFFFF0);
    std::copy(past.begin(), past.end(), file.begin() + long(firstChunk));
    return WriteTemp("mp3-unreadable.mp4", file);
}

TEST(GetFileInfo, BundledFiles) {
    const std::pair<std::string, FileInfo> cases[] = {
        // libxvid's configuration begins with a sequence header of profile 3;
        // no audio: the audio words stay 0.
        {"xvid.mp4", {8851, 0, 62968, 200000, 3, 0, 120, 160, 30, 30,
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // MP3 (objectTypeIndication 0x6B): the esds has no AudioSpecificConfig,
        // so its fields come from the SLConfigDescriptor's bytes (object type 0,
        // profile 0 - 1); the first frame FF FB 50 64 gives joint stereo (mode 1,
        // two channels) without emphasis.
        {"mp3.mp4", {25722, 0, 122200, 200000, 1, 0, 144, 176, 25, 25,
                     40, 1, 1, 44100, 65237, 65237, 0xFFFFFFFF, 2, 1, 0, 2, 0, 0, 0}},
        // The first frame cannot be read: the reader's buffer still holds
        // zeros there, which say stereo (mode 0, two channels).
        {Mp3WithUnreadableFirstFrame(), {25722, 0, 122200, 200000, 1, 0, 144, 176, 25, 25,
                                         40, 1, 0, 44100, 65237, 65237, 0xFFFFFFFF, 2, 1, 0, 2, 0, 0, 0}},
    };
    for (const auto &[file, want] : cases) {
        SCOPED_TRACE(file);
        FileInfo info;
        std::memset(&info, 0xAB, sizeof info);
        const std::string path = file.find('/') == std::string::npos ? Fixture(file) : file;
        Printed([&] { ASSERT_EQ(GetFileInfo(path.c_str(), &info), 1); });
        const auto *got = reinterpret_cast<const uint32_t *>(&info);
        const auto *expected = reinterpret_cast<const uint32_t *>(&want);
        for (int word = 0; word < 24; ++word) EXPECT_EQ(got[word], expected[word]) << "word " << word;
    }
}

TEST(GetFileInfo, Failures) {
    FileInfo info;
    std::memset(&info, 0xAB, sizeof info);
    const FileInfo untouched = info, cleared{};
    EXPECT_EQ(GetFileInfo((TempDir() + "/missing.mp4").c_str(), &info), -11);
    EXPECT_EQ(GetFileInfo(nullptr, &info), -11);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    EXPECT_EQ(GetFileInfo(Fixture("av.mp4").c_str(), nullptr), -12);
    const std::string text = WriteTemp("notes.mp4", Str("this is not an mp4 file at all"));
    Printed([&] { EXPECT_EQ(GetFileInfo(text.c_str(), &info), -21); });
    EXPECT_EQ(std::memcmp(&info, &cleared, sizeof info), 0);
}

TEST(WholeFrameRate, TruncatesAndGuardsTheEdges) {
    const std::array<uint32_t, 4> cases[] = {  // timescale, frames, duration, rate
        {1000, 250, 10000, 25}, {1000, 299, 10000, 29}, {30000, 300, 10010, 899},
        {1000, 250, 0, 0},                        // no duration: no rate
        {0xFFFFFFFF, 0xFFFFFFFF, 1, 0xFFFFFFFF},  // does not fit: saturated
        {0, 100, 1000, 0}};
    for (const auto &[timescale, frames, duration, rate] : cases)
        EXPECT_EQ(WholeFrameRate(timescale, frames, duration), rate) << timescale << " " << frames;
}

}  // namespace
