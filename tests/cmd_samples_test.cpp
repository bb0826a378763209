// corvane info, samples and extract, and the --help of every command, run as
// a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/read_handle.h"

namespace {

size_t Lines(const std::string &text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

TEST(CmdInfo, ListsTheTracksOfTheSample) {
    const std::string path = Fixture("av.mp4");
    int status = -1;
    EXPECT_EQ(Corvane("info '" + path + "'", &status),
              path + ": 2 track(s), video track 1, audio track 2\n"
                     "  track 1: video   samples=50 timescale=12800 duration=25600 keyframes=5\n"
                     "  track 2: audio   samples=88 timescale=44100 duration=89224 keyframes=0\n"
                     "  video config: 000001000000012000c48d8800cd0584121443\n"
                     "  audio config: 120856e500\n"
                     "  summary: fileSize=45844 videoAvgBitrate=123320 videoMaxBitrate=200000 "
                     "videoProfileLevel=1 videoHeight=144 videoWidth=176 videoFrameRate=25 "
                     "videoFrameCount=50 audioFrameCount=88 audioIsMpegAudio=0 mpegAudioMode=0 "
                     "audioSampleRate=44100 audioAvgBitrate=48690 audioMaxBitrate=48690 "
                     "aacProfile=1 audioChannels=1 audioObjectType=2 mpegAudioEmphasis=0\n");
    EXPECT_EQ(status, 0);
    const std::string json = Corvane("info --json '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json.rfind("{\"file\": \"" + path + "\", \"videoTrackId\": 1, \"audioTrackId\": 2, "
                         "\"tracks\": [\n  {\"id\": 1, \"type\": \"video\", \"samples\": 50, ", 0), 0u);
    EXPECT_NE(json.find("\"audioConfig\": \"120856e500\",\n  \"fileInfo\": {\"fileSize\": 45844, "),
              std::string::npos);
    EXPECT_EQ(json.substr(json.size() - 25), "\"mpegAudioEmphasis\": 0}}\n");
}

TEST(CmdSamples, FirstLinesOfTextAndJson) {
    const std::pair<std::string, std::string> cases[] = {
        {"samples " + Fixture("av.mp4"),
         "    #      time    offset    size key\n    0         0      2894    4530   1\n"
         "    1       512      7764     117   0\n"},
        {"samples --json --track audio " + Fixture("av.mp4"),
         "{\"packets\": [\n  {\"index\": 0, \"dts\": 0, \"pos\": 2700, \"size\": 194, \"key\": 1},\n"},
        {"samples --keyframes --json " + Fixture("video.mp4"),
         "{\"packets\": [\n"
         "  {\"index\": 0, \"dts\": 0, \"pos\": 44, \"size\": 1476, \"key\": 1},\n"
         "  {\"index\": 10, \"dts\": 10240, \"pos\": 3344, \"size\": 1377, \"key\": 1},\n"
         "  {\"index\": 20, \"dts\": 20480, \"pos\": 6571, \"size\": 1385, \"key\": 1}\n]}\n"},
    };
    for (const auto &[args, head] : cases) {
        int status = -1;
        const std::string out = Corvane(args, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.rfind(head, 0), 0u) << out;
    }
}

TEST(CmdSamples, KeyFramesOnly) {
    // Video keys come from the sync-sample table; every audio sample is one.
    const std::pair<std::string, size_t> cases[] = {
        {"video " + Fixture("av.mp4"), 5}, {"video " + Fixture("long_video.mp4"), 45},
        {"audio " + Fixture("audio.mp4"), 48}, {"audio " + Fixture("av.mp4"), 88}};
    for (const auto &[args, keys] : cases) {
        SCOPED_TRACE(args);
        int status = -1;
        const std::string out = Corvane("samples --keyframes --track " + args, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(Lines(out), keys + 1);
        EXPECT_EQ(out.find("   0\n"), std::string::npos) << out;
    }
}

TEST(CmdExtract, StreamsBeginWithTheirHeaders) {
    const Bytes source = ReadFileBytes(Fixture("av.mp4"));
    struct Case {
        const char *track;
        const char *said;
        Bytes head;  // the VOL header of the esds / an ADTS header
        size_t first, firstSize;
    };
    const Case cases[] = {
        {"video", ": 50 video samples\n", {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xc4,
                                           0x8d, 0x88, 0x00, 0xcd, 0x05, 0x84, 0x12, 0x14, 0x43}, 2894, 4530},
        // AAC LC (profile 1), 44100 Hz (index 4), mono, frame length 194 + 7.
        {"audio", ": 88 audio samples\n", {0xFF, 0xF1, 0x50, 0x40, 0x19, 0x3F, 0xFC}, 2700, 194},
    };
    for (const Case &c : cases) {
        const std::string out = TempDir() + "/" + c.track;
        int status = -1;
        EXPECT_EQ(Corvane("extract " + Fixture("av.mp4") + " --track " + c.track + " " + out, &status),
                  out + c.said);
        EXPECT_EQ(status, 0);
        const Bytes stream = ReadFileBytes(out);
        ASSERT_GT(stream.size(), c.head.size() + c.firstSize);
        EXPECT_EQ(Bytes(stream.begin(), stream.begin() + long(c.head.size())), c.head);
        EXPECT_TRUE(std::equal(source.begin() + long(c.first), source.begin() + long(c.first + c.firstSize),
                               stream.begin() + long(c.head.size())));
    }
    // Stereo 48 kHz: index 3, channel configuration 2.
    const std::string stereo = TempDir() + "/s.aac";
    Corvane("extract " + Fixture("audio.mp4") + " --track audio " + stereo);
    const Bytes s = ReadFileBytes(stereo);
    ASSERT_GE(s.size(), 7u);
    EXPECT_EQ(s[2], 0x4C);
    EXPECT_EQ(s[3] >> 6, 2);
}

TEST(CmdSamples, FailuresAreOneLineOnStandardError) {
    const std::string dir = TempDir();
    const std::string missing = dir + "/absent.mp4", out = dir + "/out";
    const std::string av = Fixture("av.mp4"), audio = Fixture("audio.mp4");
    const std::pair<std::string, std::string> cases[] = {
        {"info " + missing, "cannot open '" + missing + "' as an MP4 file"},
        {"samples " + missing, "cannot open '" + missing + "' as an MP4 file"},
        {"samples " + av + " --track subtitles", "--track must be video or audio, not 'subtitles'"},
        {"samples " + av + " --track", "--track must be video or audio"},
        {"samples " + audio + " --track video", "'" + audio + "' has no video track"},
        {"samples", "samples takes one FILE (see --help)"},
        {"extract " + av + " " + out, "extract takes FILE --track video|audio OUT (see --help)"},
        {"extract " + av + " --track both " + out, "--track must be video or audio"},
        {"extract " + missing + " --track video " + out, "cannot open '" + missing + "' as an MP4 file"},
        {"extract " + Fixture("video.mp4") + " --track audio " + out,
         "'" + Fixture("video.mp4") + "' has no audio track"},
        {"extract " + Fixture("mp3.mp4") + " --track audio " + out,
         "the audio track of '" + Fixture("mp3.mp4") + "' holds MPEG-1/2 audio (MP3), not AAC"},
        {"extract " + av + " --track video " + dir + "/no/such/dir/v.m4v",
         "cannot create '" + dir + "/no/such/dir/v.m4v'"},
    };
    for (const auto &[args, message] : cases) {
        SCOPED_TRACE(args);
        int status = 0;
        EXPECT_EQ(Corvane(args, &status, "2>&1 >/dev/null"), "corvane: " + message + "\n");
        EXPECT_NE(status, 0);
        EXPECT_EQ(Corvane(args), "");
        EXPECT_FALSE(FileExists(out));
    }
}

TEST(CorvaneHelp, EveryCommandDescribesItself) {
    for (const char *name : {"tree", "info", "samples", "extract", "mux", "add-audio", "add-video"}) {
        SCOPED_TRACE(name);
        int status = -1;
        const std::string out = Corvane(std::string(name) + " --help", &status, "2>&1");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.rfind(std::string("usage: corvane ") + name + " ", 0), 0u) << out;
        EXPECT_GE(Lines(out), 2u) << out;
    }
    int status = -1;
    const std::string list = Corvane("--help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(list.find("\n  samples      list the samples of a track"), std::string::npos) << list;
    EXPECT_NE(list.find("\n  extract      write the samples of a track"), std::string::npos) << list;
}

}  // namespace
