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
                           "  track 2: audio   samples=88 timescale=44100 duration=89224 keyframes=0\n");
    const std::string json = RunCommand(Tool() + " info --json '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(json, "{\"file\": \"" + path +
                        "\", \"videoTrackId\": 1, \"audioTrackId\": 2, \"tracks\": [\n"
                        "  {\"id\": 1, \"type\": \"video\", \"samples\": 50, \"timescale\": 12800, "
                        "\"duration\": 25600, \"keyFrames\": 5},\n"
                        "  {\"id\": 2, \"type\": \"audio\", \"samples\": 88, \"timescale\": 44100, "
                        "\"duration\": 89224, \"keyFrames\": 0}\n]}\n");
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
