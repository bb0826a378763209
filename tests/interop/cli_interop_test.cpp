// corvane samples and extract against ffprobe and ffmpeg: the sample index
// must name the bytes ffprobe finds, and the extracted streams must decode
// and remultiplex.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace {

std::string Tool() { return std::string("'") + CORVANE_TOOL_PATH + "'"; }

struct Packet {
    long long pos;
    long long size;
    bool operator==(const Packet &o) const { return pos == o.pos && size == o.size; }
};

std::ostream &operator<<(std::ostream &os, const Packet &p) { return os << p.pos << "/" << p.size; }

// ffprobe's packets of the first stream of a kind ("v" or "a").  Its csv
// puts size before pos; packets with side data end in an extra comma.
std::vector<Packet> ProbePackets(const std::string &file, const std::string &kind,
                                 const std::string &format = "") {
    const std::string out = RunCommand("ffprobe -v error " + format + " -select_streams " + kind +
                                       ":0 -show_entries packet=size,pos -of csv=p=0 '" + file + "'");
    std::vector<Packet> packets;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p{-1, -1};
        if (std::sscanf(line.c_str(), "%lld,%lld", &p.size, &p.pos) >= 1) packets.push_back(p);
    }
    return packets;
}

std::vector<Packet> ToolPackets(const std::string &file, const std::string &track) {
    const std::string out =
        RunCommand(Tool() + " samples --json --track " + track + " '" + file + "'");
    std::vector<Packet> packets;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned index, dts;
        Packet p{};
        if (std::sscanf(line.c_str(), "  {\"index\": %u, \"dts\": %u, \"pos\": %lld, \"size\": %lld",
                        &index, &dts, &p.pos, &p.size) == 4)
            packets.push_back(p);
    }
    return packets;
}

std::vector<long long> Sizes(const std::vector<Packet> &packets) {
    std::vector<long long> sizes;
    for (const Packet &p : packets) sizes.push_back(p.size);
    return sizes;
}

class CliInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe not installed";
    }
};

TEST_F(CliInterop, SampleIndexMatchesFfprobe) {
    struct Case {
        const char *file;
        bool video;
        bool audio;
    };
    const Case cases[] = {{"av.mp4", true, true},     {"av_moov_last.mp4", true, true},
                          {"audio.mp4", false, true}, {"video.mp4", true, false},
                          {"long_video.mp4", true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = Fixture(c.file);
        if (c.video) {
            const std::vector<Packet> probed = ProbePackets(file, "v");
            ASSERT_FALSE(probed.empty());
            EXPECT_EQ(ToolPackets(file, "video"), probed);
        }
        if (c.audio) {
            const std::vector<Packet> probed = ProbePackets(file, "a");
            ASSERT_FALSE(probed.empty());
            EXPECT_EQ(ToolPackets(file, "audio"), probed);
        }
    }
}

// Bytes of an MPEG-4 Visual sample before its VOP start code (00 00 01 B6):
// a group-of-VOP header in front of a key frame, or nothing.
long long BytesBeforeVop(const Bytes &file, const Packet &p) {
    for (long long i = 0; i + 4 <= p.size; ++i) {
        const uint8_t *b = file.data() + p.pos + i;
        if (b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] == 0xB6) return i;
    }
    return 0;
}

TEST_F(CliInterop, ExtractedStreamsDecodeAndRemultiplex) {
    const std::string source = Fixture("av.mp4");
    const std::string dir = TempDir();
    const std::string video = dir + "/v.m4v", audio = dir + "/a.aac", muxed = dir + "/m.mp4";
    int status = -1;
    RunCommand(Tool() + " extract '" + source + "' --track video '" + video + "'", &status);
    ASSERT_EQ(status, 0);
    RunCommand(Tool() + " extract '" + source + "' --track audio '" + audio + "'", &status);
    ASSERT_EQ(status, 0);

    const std::vector<Packet> sourceVideo = ProbePackets(source, "v");
    const std::vector<Packet> sourceAudio = ProbePackets(source, "a");
    for (const std::string &stream : {video, audio})
        EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + stream + "' -f null - 2>&1"), "")
            << stream;
    EXPECT_EQ(ProbePackets(video, "v", "-f m4v").size(), sourceVideo.size());
    // Raw ADTS packets count their 7-byte header.
    std::vector<long long> adtsSizes = Sizes(sourceAudio);
    for (long long &size : adtsSizes) size += 7;
    EXPECT_EQ(Sizes(ProbePackets(audio, "a")), adtsSizes);

    RunCommand(Tool() + " mux '" + video + "' '" + audio + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + muxed +
                         "' -map 0:v -map 0:a -f null - 2>&1"),
              "");
    EXPECT_EQ(RunCommand("ffprobe -v error -count_frames -show_entries stream=nb_read_frames "
                         "-select_streams v:0 -of csv=p=0 '" + muxed + "'"),
              "50\n");
    EXPECT_EQ(RunCommand("ffprobe -v error -count_frames -show_entries stream=nb_read_frames "
                         "-select_streams a:0 -of csv=p=0 '" + muxed + "'"),
              "88\n");
    EXPECT_EQ(Sizes(ProbePackets(muxed, "a")), Sizes(sourceAudio));
    // mux cuts the stream at VOP start codes, so a group-of-VOP header goes
    // with the picture before it (the first one with the configuration).
    const Bytes bytes = ReadFileBytes(source);
    std::vector<long long> expected;
    for (size_t i = 0; i < sourceVideo.size(); ++i) {
        const long long next = i + 1 < sourceVideo.size() ? BytesBeforeVop(bytes, sourceVideo[i + 1]) : 0;
        expected.push_back(sourceVideo[i].size - BytesBeforeVop(bytes, sourceVideo[i]) + next);
    }
    EXPECT_EQ(Sizes(ProbePackets(muxed, "v")), expected);
}

}  // namespace
