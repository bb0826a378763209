// corvane extract and mux against ffmpeg: the extracted streams must decode,
// hold every sample, and remultiplex with corvane mux; and the files corvane
// mux writes read with corvane info and samples as ffprobe reads them.  (The
// sample index of corvane samples is compared with ffprobe on other files
// in read_interop_test.)  Without --fps, mux takes the rate the stream
// itself gives.  A track whose index entries the reader computes from its
// tables is listed by corvane samples as ffprobe finds its packets.
#include <cstdio>

#include "support/interop.h"

namespace {

TEST(CliInterop, ExtractedStreamsDecodeAndRemultiplex) {
    SKIP_WITHOUT_FFMPEG();
    const std::string source = Fixture("av.mp4"), dir = TempDir();
    const std::string video = dir + "/v.m4v", audio = dir + "/a.aac", muxed = dir + "/m.mp4";
    int status = -1;
    Corvane("extract '" + source + "' --track video '" + video + "'", &status);
    ASSERT_EQ(status, 0);
    Corvane("extract '" + source + "' --track audio '" + audio + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(DecodeErrors(video, "") + DecodeErrors(audio, ""), "");
    EXPECT_EQ(ProbePackets(video, "v", "-f m4v").size(), 50u);
    // Raw ADTS packets count their 7-byte header.
    std::vector<Packet> adts = ProbePackets(source, "a"), extracted = ProbePackets(audio, "a");
    ASSERT_EQ(extracted.size(), adts.size());
    for (size_t i = 0; i < adts.size(); ++i) EXPECT_EQ(extracted[i].size, adts[i].size + 7) << i;

    Corvane("mux '" + video + "' '" + audio + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(DecodeErrors(muxed, "-map 0:v -map 0:a"), "");
    EXPECT_EQ(ProbePackets(muxed, "v").size(), 50u);
    const std::vector<Packet> remuxed = ProbePackets(muxed, "a");
    ASSERT_EQ(remuxed.size(), adts.size());
    for (size_t i = 0; i < adts.size(); ++i) EXPECT_EQ(remuxed[i].size, adts[i].size) << i;
}

TEST(CliInterop, TheToolReadsWhatItMuxesAsFfprobeDoes) {
    SKIP_WITHOUT_FFMPEG();
    const std::string video = Fixture("video.m4v"), audio = Fixture("audio.aac"),
                      muxed = TempDir() + "/m.mp4";
    int status = -1;
    Corvane("mux '" + video + "' '" + audio + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    // Every frame given: ffprobe's count of the raw streams' frames.
    const size_t pictures = ProbePackets(video, "v", "-f m4v").size(),
                 aacFrames = ProbePackets(audio, "a").size();
    ASSERT_GT(pictures, 0u);
    ASSERT_GT(aacFrames, 0u);
    const std::string info = Corvane("info --json '" + muxed + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find("\"type\": \"video\", \"samples\": " + std::to_string(pictures) + ","),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("\"type\": \"audio\", \"samples\": " + std::to_string(aacFrames) + ","),
              std::string::npos)
        << info;
    // The object-descriptor (33 bytes) and scene (16 bytes) units after mdat.
    EXPECT_NE(info.find("\"trailingBytes\": 49}"), std::string::npos) << info;
    for (const auto &[track, kind, count] : {std::tuple{"video", "v", pictures}, {"audio", "a", aacFrames}}) {
        SCOPED_TRACE(track);
        const std::vector<Packet> ours = ToolPackets(muxed, track), theirs = ProbePackets(muxed, kind);
        ASSERT_EQ(ours.size(), count);
        ASSERT_EQ(theirs.size(), count);
        for (size_t i = 0; i < count; ++i)
            EXPECT_TRUE(ours[i] == theirs[i] && ours[i].pos == theirs[i].pos) << i;
    }
}

TEST(CliInterop, MuxTakesTheStreamsOwnFrameRate) {
    // ffmpeg's MPEG-4 Visual encoder leaves fixed_vop_rate at 0 (the rate is
    // in the planes' time stamps); libxvid fixes it in the VOL header.  Both
    // at 30 per second: ffprobe finds the frames 1000/30 ms apart.
    SKIP_WITHOUT_FFMPEG();
    for (const char *stream : {"video_30fps.m4v", "video_xvid.m4v"}) {
        SCOPED_TRACE(stream);
        const std::string muxed = TempDir() + "/rate.mp4";
        int status = -1;
        Corvane("--quiet mux '" + Fixture(stream) + "' '" + Fixture("audio.aac") + "' '" + muxed + "'", &status);
        ASSERT_EQ(status, 0);
        const std::vector<Packet> video = ProbePackets(muxed, "v");
        ASSERT_EQ(video.size(), 30u);
        for (size_t i = 0; i < video.size(); ++i) EXPECT_EQ(video[i].dts, (long long)(i * 1000 / 30)) << i;
        EXPECT_EQ(DecodeErrors(muxed, "-map 0:v"), "");
    }
}

// 100,000 samples in tables of a few words: more than the reader stores,
// so their entries are computed when asked for.  The samples follow mdat's
// header, sample k the text of k in five digits and a newline.
TEST(CliInterop, ComputedEntriesListedWhereFfprobeFindsThem) {
    SKIP_WITHOUT_FFMPEG();
    Bytes file = ReadFileBytes(Fixture("scenario/computed-100000-head.mp4"));
    constexpr int kSamples = 100000;
    for (int k = 0; k < kSamples; ++k) {
        char text[8];
        std::snprintf(text, sizeof text, "%05d\n", k);
        file.insert(file.end(), text, text + 6);
    }
    const std::string path = WriteTemp("computed.mp4", file);
    const std::vector<Packet> probed = ProbePackets(path, "a");
    const std::vector<Packet> listed = ToolPackets(path, "audio");
    ASSERT_EQ(probed.size(), size_t(kSamples));
    ASSERT_EQ(listed.size(), probed.size());
    for (size_t i = 0; i < probed.size(); ++i)
        ASSERT_TRUE(listed[i] == probed[i] && listed[i].pos == probed[i].pos)
            << i << ": corvane " << listed[i].dts << " " << listed[i].pos << " " << listed[i].size << ", ffprobe "
            << probed[i].dts << " " << probed[i].pos << " " << probed[i].size;
}

}  // namespace
