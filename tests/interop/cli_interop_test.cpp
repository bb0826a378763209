// corvane extract against ffmpeg: the extracted streams must decode, hold
// every sample, and remultiplex with corvane mux; and the files corvane mux
// writes read with corvane info and samples as ffprobe reads them.  (The
// sample index of corvane samples is compared with ffprobe on other files
// in read_interop_test.)
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>
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

namespace {

// (pos, size) of every packet of `corvane samples --json` for a track.
std::vector<std::pair<uint64_t, uint32_t>> ToolPackets(const std::string &path, const std::string &track) {
    std::vector<std::pair<uint64_t, uint32_t>> packets;
    const std::regex entry("\"pos\": ([0-9]+), \"size\": ([0-9]+)");
    const std::string json = Corvane("samples --json --track " + track + " '" + path + "'");
    for (std::sregex_iterator it(json.begin(), json.end(), entry), end; it != end; ++it)
        packets.emplace_back(std::stoull((*it)[1]), uint32_t(std::stoul((*it)[2])));
    return packets;
}

std::vector<std::pair<uint64_t, uint32_t>> ProbePackets(const std::string &path, const std::string &kind) {
    std::vector<std::pair<uint64_t, uint32_t>> packets;
    for (Record &r : ProbeRecords("-select_streams " + kind + ":0 -show_entries packet=pos,size '" + path + "'"))
        packets.emplace_back(std::stoull(r["pos"]), uint32_t(std::stoul(r["size"])));
    return packets;
}

}  // namespace

TEST(CliInterop, TheToolReadsWhatItMuxesAsFfprobeDoes) {
    if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    const std::string video = Fixture("video.m4v"), audio = Fixture("audio.aac");
    const std::string muxed = TempDir() + "/m.mp4";
    int status = -1;
    Corvane("mux '" + video + "' '" + audio + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    // Every frame given: ffprobe's count of the raw streams' frames.
    const size_t pictures = PacketSizes(video, "v", "-f m4v").size();
    const size_t aacFrames = PacketSizes(audio, "a").size();
    ASSERT_GT(pictures, 0u);
    ASSERT_GT(aacFrames, 0u);
    const std::string info = Corvane("info --json '" + muxed + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find("\"type\": \"video\", \"samples\": " + std::to_string(pictures) + ","),
              std::string::npos) << info;
    EXPECT_NE(info.find("\"type\": \"audio\", \"samples\": " + std::to_string(aacFrames) + ","),
              std::string::npos) << info;
    // The object-descriptor (33 bytes) and scene (16 bytes) units after mdat.
    EXPECT_NE(info.find("\"trailingBytes\": 49}"), std::string::npos) << info;
    for (const auto &[track, kind, count] : {std::tuple{"video", "v", pictures}, {"audio", "a", aacFrames}}) {
        SCOPED_TRACE(track);
        const auto ours = ToolPackets(muxed, track);
        EXPECT_EQ(ours.size(), count);
        EXPECT_EQ(ours, ProbePackets(muxed, kind));
    }
}
