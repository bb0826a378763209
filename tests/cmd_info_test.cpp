// corvane info on the bundled sample and on a missing file.
#include <gtest/gtest.h>

#include "support/bytes.h"

namespace {

std::string Tool() { return std::string("'") + CORVANE_TOOL_PATH + "'"; }

TEST(CmdInfo, ListsTheTracksOfTheSample) {
    const std::string path = Fixture("av.mp4");
    int status = -1;
    const std::string text = RunCommand(Tool() + " info '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, path + ": 2 track(s), video track 1, audio track 2\n"
                           "  track 1: video   samples=50 timescale=12800 duration=25600 keyframes=5\n"
                           "  track 2: audio   samples=88 timescale=44100 duration=89224 keyframes=0\n"
                           "  video config: 000001000000012000c48d8800cd0584121443\n"
                           "  audio config: 120856e500\n"
                           "  summary: fileSize=45844 videoAvgBitrate=123320 videoMaxBitrate=200000 "
                           "videoProfileLevel=1 videoHeight=144 videoWidth=176 videoFrameRate=25 "
                           "videoFrameCount=50 audioFrameCount=88 audioIsMpegAudio=0 mpegAudioMode=0 "
                           "audioSampleRate=44100 audioAvgBitrate=48690 audioMaxBitrate=48690 "
                           "aacProfile=1 audioChannels=1 audioObjectType=2 mpegAudioEmphasis=0\n");
    const std::string json = RunCommand(Tool() + " info --json '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json, "{\"file\": \"" + path +
                        "\", \"videoTrackId\": 1, \"audioTrackId\": 2, \"tracks\": [\n"
                        "  {\"id\": 1, \"type\": \"video\", \"samples\": 50, \"timescale\": 12800, "
                        "\"duration\": 25600, \"keyFrames\": 5},\n"
                        "  {\"id\": 2, \"type\": \"audio\", \"samples\": 88, \"timescale\": 44100, "
                        "\"duration\": 89224, \"keyFrames\": 0}\n], "
                        "\"videoConfig\": \"000001000000012000c48d8800cd0584121443\", "
                        "\"audioConfig\": \"120856e500\",\n  \"fileInfo\": {\"fileSize\": 45844, "
                        "\"videoAvgBitrate\": 123320, \"videoMaxBitrate\": 200000, "
                        "\"videoProfileLevel\": 1, \"videoHeight\": 144, \"videoWidth\": 176, "
                        "\"videoFrameRate\": 25, \"videoFrameCount\": 50, \"audioFrameCount\": 88, "
                        "\"audioIsMpegAudio\": 0, \"mpegAudioMode\": 0, \"audioSampleRate\": 44100, "
                        "\"audioAvgBitrate\": 48690, \"audioMaxBitrate\": 48690, \"aacProfile\": 1, "
                        "\"audioChannels\": 1, \"audioObjectType\": 2, \"mpegAudioEmphasis\": 0}}\n");
}

TEST(CmdInfo, MissingFileIsOneErrorLine) {
    const std::string missing = TempDir() + "/absent.mp4";
    int status = 0;
    const std::string out = RunCommand(Tool() + " info '" + missing + "' 2>&1 >/dev/null", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(out, "corvane: cannot open '" + missing + "' as an MP4 file\n");
    EXPECT_EQ(RunCommand(Tool() + " info '" + missing + "' 2>/dev/null"), "");
}

}  // namespace
