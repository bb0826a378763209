// corvane samples and extract, and the --help of every command, run as a
// user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace {

std::string Tool() { return std::string("'") + CORVANE_TOOL_PATH + "'"; }

std::string Corvane(const std::string &args, int *status) {
    return RunCommand(Tool() + " " + args + " 2>/dev/null", status);
}

size_t Lines(const std::string &text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

TEST(CmdSamples, TextListsEveryVideoSample) {
    int status = -1;
    const std::string out = Corvane("samples " + Fixture("av.mp4"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("    #      time    offset    size key\n"
              "    0         0      2894    4530   1\n"
              "    1       512      7764     117   0\n"
              "    2      1024      8170     145   0\n"
              "    3      1536      8549     179   0\n",
                        0),
              0u)
        << out;
    EXPECT_EQ(Lines(out), 51u);
}

TEST(CmdSamples, JsonForTheAudioTrack) {
    int status = -1;
    const std::string out = Corvane("samples --json --track audio " + Fixture("av.mp4"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("{\"packets\": [\n"
                        "  {\"index\": 0, \"dts\": 0, \"pos\": 2700, \"size\": 194, \"key\": 1},\n"
                        "  {\"index\": 1, \"dts\": 1024, \"pos\": 7424, \"size\": 205, \"key\": 1},\n",
                        0),
              0u)
        << out;
    EXPECT_EQ(out.substr(out.size() - 5), "}\n]}\n");
    EXPECT_EQ(Lines(out), 90u);
}

TEST(CmdSamples, KeyFramesOnly) {
    struct Case {
        const char *file;
        const char *track;
        size_t keys;
    };
    // Video keys come from the sync-sample table; every audio sample is one.
    const Case cases[] = {{"av.mp4", "video", 5}, {"long_video.mp4", "video", 45},
                          {"audio.mp4", "audio", 48}, {"av.mp4", "audio", 88}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.track);
        int status = -1;
        const std::string out =
            Corvane("samples --keyframes --track " + std::string(c.track) + " " + Fixture(c.file), &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(Lines(out), c.keys + 1);
        EXPECT_EQ(out.find("   0\n"), std::string::npos) << out;
    }
    int status = -1;
    EXPECT_EQ(Corvane("samples --keyframes --json " + Fixture("video.mp4"), &status),
              "{\"packets\": [\n"
              "  {\"index\": 0, \"dts\": 0, \"pos\": 44, \"size\": 1476, \"key\": 1},\n"
              "  {\"index\": 10, \"dts\": 10240, \"pos\": 3344, \"size\": 1377, \"key\": 1},\n"
              "  {\"index\": 20, \"dts\": 20480, \"pos\": 6571, \"size\": 1385, \"key\": 1}\n]}\n");
}

TEST(CmdExtract, VideoIsTheConfigurationThenTheSamples) {
    const std::string out = TempDir() + "/v.m4v";
    int status = -1;
    EXPECT_EQ(Corvane("extract " + Fixture("av.mp4") + " --track video " + out, &status),
              out + ": 50 video samples\n");
    EXPECT_EQ(status, 0);
    const Bytes stream = ReadFileBytes(out);
    const Bytes source = ReadFileBytes(Fixture("av.mp4"));
    // The VOL header of the esds (as `corvane info` shows it), then sample 0.
    const Bytes config = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xc4,
                          0x8d, 0x88, 0x00, 0xcd, 0x05, 0x84, 0x12, 0x14, 0x43};
    ASSERT_GT(stream.size(), config.size() + 4530);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), stream.begin()));
    EXPECT_TRUE(std::equal(source.begin() + 2894, source.begin() + 2894 + 4530,
                           stream.begin() + long(config.size())));
}

TEST(CmdExtract, AudioFramesGetAdtsHeaders) {
    const std::string out = TempDir() + "/a.aac";
    int status = -1;
    EXPECT_EQ(Corvane("extract " + Fixture("av.mp4") + " --track audio " + out, &status),
              out + ": 88 audio samples\n");
    EXPECT_EQ(status, 0);
    const Bytes stream = ReadFileBytes(out);
    // AAC LC (profile 1), 44100 Hz (index 4), mono, frame length 194 + 7.
    const Bytes header = {0xFF, 0xF1, 0x50, 0x40, 0x19, 0x3F, 0xFC};
    ASSERT_GT(stream.size(), 7u + 194);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 7), header);
    const Bytes source = ReadFileBytes(Fixture("av.mp4"));
    EXPECT_TRUE(std::equal(source.begin() + 2700, source.begin() + 2700 + 194, stream.begin() + 7));
    // Stereo 48 kHz: index 3, channel configuration 2.
    const std::string stereo = TempDir() + "/s.aac";
    Corvane("extract " + Fixture("audio.mp4") + " --track audio " + stereo, &status);
    const Bytes s = ReadFileBytes(stereo);
    ASSERT_GE(s.size(), 7u);
    EXPECT_EQ(s[2], 0x4C);
    EXPECT_EQ(s[3] >> 6, 2);
}

struct Failure {
    std::string args;
    std::string message;
};

TEST(CmdSamples, FailuresAreOneLineOnStandardError) {
    const std::string dir = TempDir();
    const std::string missing = dir + "/absent.mp4", out = dir + "/out";
    const std::string av = Fixture("av.mp4"), audio = Fixture("audio.mp4");
    const std::vector<Failure> cases = {
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
    for (const Failure &c : cases) {
        SCOPED_TRACE(c.args);
        int status = 0;
        const std::string err = RunCommand(Tool() + " " + c.args + " 2>&1 >/dev/null", &status);
        EXPECT_NE(status, 0);
        EXPECT_EQ(err, "corvane: " + c.message + "\n");
        EXPECT_EQ(RunCommand(Tool() + " " + c.args + " 2>/dev/null"), "");
        EXPECT_FALSE(FileExists(out));
    }
}

TEST(CorvaneHelp, EveryCommandDescribesItself) {
    for (const char *name : {"tree", "info", "samples", "extract", "mux", "add-audio", "add-video"}) {
        SCOPED_TRACE(name);
        int status = -1;
        const std::string out = RunCommand(Tool() + " " + name + " --help 2>&1", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.rfind(std::string("usage: corvane ") + name + " ", 0), 0u) << out;
        EXPECT_GE(Lines(out), 2u) << out;
    }
    int status = -1;
    const std::string list = RunCommand(Tool() + " --help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(list.find("\n  samples      list the samples of a track"), std::string::npos) << list;
    EXPECT_NE(list.find("\n  extract      write the samples of a track"), std::string::npos) << list;
}

}  // namespace
