// AAC configurations over their ranges as ffprobe and ffmpeg see them: the
// tracks corvane mux writes for every sampling index, channel configuration
// and ADTS object type; AAC made by ffmpeg at every rate and in several
// channel layouts, read by GetFileInfo and carried on by Mp4AddVideo.
#include "support/interop.h"
#include "support/mp4_config.h"

namespace {

// ffprobe's channel count of a channel configuration: 7 is 7.1.
std::string Channels(uint32_t configuration) { return std::to_string(configuration == 7 ? 8 : configuration); }

TEST(ConfigRangesInterop, MuxAtEverySamplingIndex) {
    // AAC LC at every index, the other object types at 32000 Hz, and Main
    // at 96000 Hz, whose ADTS header has a third byte of 0 with fewer than 4
    // channels.
    SKIP_WITHOUT_FFMPEG();
    const char *const profiles[] = {"Main", "LC", "SSR", "LTP"};
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> cases;  // object type, index, channels
    for (uint32_t index = 0; index < 13; ++index) cases.emplace_back(2, index, 1 + index % 7);
    for (uint32_t objectType : {1u, 3u, 4u}) cases.emplace_back(objectType, 5, objectType);
    for (uint32_t channels : {1u, 2u, 3u, 4u}) cases.emplace_back(1, 0, channels);
    const std::string adts = TempDir() + "/in.aac", out = TempDir() + "/out.mp4";
    for (const auto &[objectType, index, channels] : cases) {
        SCOPED_TRACE(std::to_string(objectType) + ", " + std::to_string(index) + ", " + std::to_string(channels));
        Bytes stream;
        for (uint32_t length : {30u, 45u}) {  // header, payload
            stream.insert(stream.end(), {0xFF, 0xF1, uint8_t((objectType - 1) << 6 | index << 2 | channels >> 2),
                                         uint8_t((channels & 3) << 6), uint8_t(length >> 3),
                                         uint8_t((length & 7) << 5 | 0x1F), 0xFC});
            stream.insert(stream.end(), length - 7, uint8_t(length));
        }
        WriteTemp("in.aac", stream);
        int status = -1;
        Corvane("--quiet mux '" + Fixture("video.m4v") + "' '" + adts + "' '" + out + "' --fps 25", &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(ProbeStream(out, "a", "codec_name,profile,sample_rate,channels"),
                  (Record{{"codec_name", "aac"},
                          {"profile", profiles[objectType - 1]},
                          {"sample_rate", std::to_string(SamplingFrequency(index))},
                          {"channels", Channels(channels)}}));
    }
}

TEST(ConfigRangesInterop, MuxStatesTheStreamsProfileAndLevel) {
    // ffprobe's profile and level of the video mux writes: those of the
    // stream's sequence header (video.m4v: Simple Profile @ Level 1, libxvid's
    // Simple Profile @ Level 3, and 0xF5 put in its place); Simple Profile @
    // Level 1 for a stream without one.
    SKIP_WITHOUT_FFMPEG();
    const Bytes plain = ReadFileBytes(Fixture("video.m4v")), xvid = ReadFileBytes(Fixture("video_xvid.m4v"));
    Bytes advanced = plain;
    advanced[4] = 0xF5;
    const struct {
        Bytes stream;
        const char *profile, *level;
    } cases[] = {{plain, "Simple Profile", "1"},
                 {xvid, "Simple Profile", "3"},
                 {advanced, "Advanced Simple Profile", "5"},
                 {Bytes(advanced.begin() + 11, advanced.end()), "Simple Profile", "1"}};
    const std::string in = TempDir() + "/in.m4v", out = TempDir() + "/out.mp4";
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " " + c.level);
        WriteTemp("in.m4v", c.stream);
        int status = -1;
        Corvane("--quiet mux '" + in + "' '" + Fixture("audio.aac") + "' '" + out + "' --fps 25", &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(ProbeStream(out, "v", "codec_name,profile,level"),
                  (Record{{"codec_name", "mpeg4"}, {"profile", c.profile}, {"level", c.level}}));
    }
}

TEST(ConfigRangesInterop, AacOfFfmpegAtEveryRateAndInSeveralLayouts) {
    // GetFileInfo reads what ffprobe reads; Mp4AddVideo writes a track that
    // ffprobe reads as the source's and ffmpeg decodes.
    SKIP_WITHOUT_FFMPEG();
    InTempDir here;
    std::vector<std::tuple<uint32_t, const char *, uint32_t>> sources;  // rate, layout, configuration
    for (uint32_t index = 0; index < 13; ++index) sources.emplace_back(SamplingFrequency(index), "mono", 1);
    for (const auto &[layout, configuration] :
         {std::pair<const char *, uint32_t>{"stereo", 2}, {"4.0", 4}, {"5.1", 6}, {"7.1", 7}})
        sources.emplace_back(44100, layout, configuration);
    const std::string source = TempDir() + "/source.mp4", out = TempDir() + "/out.mp4";
    for (const auto &[rate, layout, configuration] : sources) {
        SCOPED_TRACE(std::to_string(rate) + " Hz " + layout);
        int status = -1;
        RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i anullsrc=r=" + std::to_string(rate) + ":cl=" + layout +
                       " -t 0.2 -c:a aac '" + source + "'",
                   &status);
        ASSERT_EQ(status, 0);
        const Record probed = ProbeStream(source, "a", "profile,sample_rate,channels");
        ASSERT_EQ(probed, (Record{{"profile", "LC"}, {"sample_rate", std::to_string(rate)},
                                  {"channels", Channels(configuration)}}));
        FileInfo info{};
        int32_t result = 0;
        Printed([&] { result = GetFileInfo(source.c_str(), &info); });
        ASSERT_EQ(result, 1);
        EXPECT_TRUE(info.audioSampleRate == rate && info.audioChannels == configuration && info.audioObjectType == 2);
        Printed([&] { result = Mp4AddVideo(source.c_str(), Fixture("video.m4v").c_str(), out.c_str(), 25.0f); });
        ASSERT_EQ(result, 1);
        EXPECT_EQ(ProbeStream(out, "a", "profile,sample_rate,channels"), probed);
        EXPECT_EQ(DecodeErrors(out, "-map 0:a"), "");
    }
}

}  // namespace
