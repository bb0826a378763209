// Files made by Mp4AddAudio and Mp4AddVideo, as ffprobe and ffmpeg see them.
#include <algorithm>

#include "remux/remux.h"
#include "support/interop.h"

namespace {

TEST(RemuxInterop, AddAudioKeepsTheVideoAndTakesTheAdtsPayloads) {
    SKIP_WITHOUT_FFMPEG();
    InTempDir here;
    const std::string out = TempDir() + "/out.mp4";
    const Stream adts = SplitAdts(ReadFileBytes(Fixture("audio.aac")));
    ASSERT_GT(adts.frames.size(), 80u);
    for (const char *source : {"av.mp4", "long_video.mp4"}) {
        SCOPED_TRACE(source);
        ASSERT_EQ(Mp4AddAudio(Fixture(source).c_str(), Fixture("audio.aac").c_str(), out.c_str()), 1);
        EXPECT_EQ(ProbePackets(out, "v"), ProbePackets(Fixture(source), "v"));
        const std::vector<Packet> audio = ProbePackets(out, "a");
        ASSERT_EQ(audio.size(), adts.frames.size());
        for (size_t i = 0; i < audio.size(); ++i)
            EXPECT_EQ(audio[i], (Packet{(long long)(1024 * i), (long long)adts.frames[i].bytes.size()})) << i;
        EXPECT_EQ(ProbeStream(out, "a", "codec_name,sample_rate"),
                  (Record{{"codec_name", "aac"}, {"sample_rate", "44100"}}));
        EXPECT_EQ(DecodeErrors(out, "-map 0:v -map 0:a"), "");
    }
}

TEST(RemuxInterop, AddVideoTakesEveryPlaneAtTheFrameRate) {
    SKIP_WITHOUT_FFMPEG();
    InTempDir here;
    const std::string out = TempDir() + "/out.mp4";
    const struct {
        const char *stream;
        float fps;
        const char *width, *height;
    } cases[] = {{"video.m4v", 25.0f, "176", "144"},
                 {"video.m4v", 29.97f, "176", "144"},
                 {"video_xvid.m4v", 25.0f, "160", "120"},
                 {"video_xvid.m4v", 29.97f, "160", "120"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.stream) + " at " + std::to_string(c.fps));
        ASSERT_EQ(Mp4AddVideo(Fixture("av.mp4").c_str(), Fixture(c.stream).c_str(), out.c_str(), c.fps), 1);
        EXPECT_EQ(ProbeStream(out, "v", "codec_name,width,height"),
                  (Record{{"codec_name", "mpeg4"}, {"width", c.width}, {"height", c.height}}));
        const std::vector<Packet> video = ProbePackets(out, "v");
        ASSERT_EQ(video.size(), ProbePackets(Fixture(c.stream), "v").size());
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_EQ(video[i].dts, (long long)(float(1000.0 * i) / c.fps)) << i;
        EXPECT_EQ(ProbePackets(out, "a"), ProbePackets(Fixture("av.mp4"), "a"));
        EXPECT_EQ(DecodeErrors(out, "-map 0:v -map 0:a"), "");
    }
}

TEST(RemuxInterop, StreamsOfManyPiecesKeepEveryByte) {
    // Streams made here by ffmpeg, long enough for the 64 KiB pieces the
    // MPEG-4 Visual stream is read in: Mp4AddVideo and corvane mux must hand
    // on every byte from the first plane on, plane by plane.
    SKIP_WITHOUT_FFMPEG();
    InTempDir here;
    const std::string out = TempDir() + "/out.mp4", m4v = TempDir() + "/long.m4v",
                      aac = TempDir() + "/long.aac";
    const std::string ff =
        "ffmpeg -nostdin -v error -y -fflags +bitexact -flags:v +bitexact -flags:a +bitexact ";
    int status = -1;
    RunCommand(ff +
                   "-f lavfi -i testsrc=size=352x288:rate=25:duration=2 -vf noise=alls=20:allf=t -c:v mpeg4 "
                   "-g 25 -q:v 8 -f m4v '" +
                   m4v + "'",
               &status);
    ASSERT_EQ(status, 0);
    RunCommand(ff +
                   "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -c:a aac -b:a 64k -f adts '" +
                   aac + "'",
               &status);
    ASSERT_EQ(status, 0);
    const Bytes stream = ReadFileBytes(m4v);
    ASSERT_GT(stream.size(), 4 * kScanPieceBytes);
    const Bytes plane = {0, 0, 1, 0xB6};
    const size_t firstPlane =
        size_t(std::search(stream.begin(), stream.end(), plane.begin(), plane.end()) - stream.begin());
    const size_t planes = ProbePackets(m4v, "v").size();

    ASSERT_EQ(Mp4AddVideo(Fixture("av.mp4").c_str(), m4v.c_str(), out.c_str(), 25.0f), 1);
    const std::vector<Packet> video = ProbePackets(out, "v");
    ASSERT_EQ(video.size(), planes);
    long long bytes = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].dts, (long long)(40 * i)) << i;
        bytes += video[i].size;
    }
    EXPECT_EQ(bytes, (long long)(stream.size() - firstPlane));
    EXPECT_EQ(DecodeErrors(out, "-map 0:v"), "");

    const std::string muxed = TempDir() + "/muxed.mp4";
    Corvane("mux '" + m4v + "' '" + aac + "' '" + muxed + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ProbePackets(muxed, "v").size(), planes);
    EXPECT_EQ(ProbePackets(muxed, "a").size(), SplitAdts(ReadFileBytes(aac)).frames.size());
    EXPECT_EQ(DecodeErrors(muxed, "-map 0:v -map 0:a"), "");
}

}  // namespace
