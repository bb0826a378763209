// corvane extract against ffmpeg: the extracted streams must decode, hold
// every sample, and remultiplex with corvane mux.  (The sample index of
// corvane samples is compared with ffprobe in read_interop_test.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/read_handle.h"

namespace {

// Sizes of ffprobe's packets of the first stream of a kind ("v" or "a").
std::vector<uint32_t> PacketSizes(const std::string &path, const std::string &kind,
                                  const std::string &format = "") {
    std::vector<uint32_t> sizes;
    for (Record &r : ProbeRecords(format + " -select_streams " + kind +
                                  ":0 -show_entries packet=size '" + path + "'"))
        sizes.push_back(uint32_t(std::stoul(r["size"])));
    return sizes;
}

TEST(CliInterop, ExtractedStreamsDecodeAndRemultiplex) {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe not installed";
    const std::string source = Fixture("av.mp4"), dir = TempDir();
    const std::string video = dir + "/v.m4v", audio = dir + "/a.aac", muxed = dir + "/m.mp4";
    int status = -1;
    Corvane("extract '" + source + "' --track video '" + video + "'", &status);
    ASSERT_EQ(status, 0);
    Corvane("extract '" + source + "' --track audio '" + audio + "'", &status);
    ASSERT_EQ(status, 0);
    for (const std::string &stream : {video, audio})
        EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + stream + "' -f null - 2>&1"), "") << stream;
    EXPECT_EQ(PacketSizes(video, "v", "-f m4v").size(), 50u);
    // Raw ADTS packets count their 7-byte header.
    std::vector<uint32_t> adtsSizes = PacketSizes(source, "a");
    for (uint32_t &size : adtsSizes) size += 7;
    EXPECT_EQ(PacketSizes(audio, "a"), adtsSizes);

    Corvane("mux '" + video + "' '" + audio + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + muxed + "' -map 0:v -map 0:a -f null - 2>&1"), "");
    EXPECT_EQ(PacketSizes(muxed, "v").size(), 50u);
    EXPECT_EQ(PacketSizes(muxed, "a"), PacketSizes(source, "a"));
}

}  // namespace
