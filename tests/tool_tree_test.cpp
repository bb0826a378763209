// corvane tree, run as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/bytes.h"

namespace {

std::string Tool() { return CORVANE_TOOL_PATH; }

TEST(ToolTree, PrintsTheBundledSample) {
    int status = -1;
    const std::string out = RunCommand(Tool() + " tree 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("[ftyp] offset=0 size=28\n[moov] offset=28 size=", 0), 0u) << out;
    EXPECT_NE(out.find("\n            [mp4v] offset=453 size=201\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n[mdat] offset="), std::string::npos);
}

TEST(ToolTree, VerboseDecodesKnownBoxes) {
    int status = -1;
    const std::string out = RunCommand(Tool() + " tree -v " + Fixture("av.mp4"), &status);
    EXPECT_EQ(status, 0);
    for (const char *line :
         {"[ftyp] offset=0 size=28 major_brand=isom minor_version=512 compatible_brand=isom\n",
          "  [mvhd] offset=36 size=108 timescale=1000 duration=2000 next_track_ID=3\n",
          "    [tkhd] offset=152 size=92 track_ID=1 duration=2000 width=176 height=144\n",
          "      [hdlr] offset=320 size=45 handler_type=vide\n",
          "            [mp4v] offset=453 size=201 width=176 height=144\n",
          "          [stsz] offset=742 size=220 sample_size=0 sample_count=50\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST(ToolTree, ShowsBytesAfterTheLastBox) {
    // A file whose media data is followed by bytes outside any box, as the
    // object-descriptor and scene units of written files are.
    const Bytes file = Cat({Box("ftyp", Zeros(12)), Box("mdat", Zeros(4)),
                            Bytes{0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80}});
    int status = -1;
    const std::string out = RunCommand(Tool() + " tree " + WriteTemp("tail.mp4", file), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out,
              "[ftyp] offset=0 size=20\n[mdat] offset=20 size=12\n"
              "(9 bytes from offset 32 are not a box)\n");
}

TEST(ToolTree, JsonOutput) {
    int status = -1;
    const std::string out = RunCommand(Tool() + " tree --json " + Fixture("audio.mp4"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("[\n  {\"type\": \"ftyp\", \"offset\": 0, \"size\": 28}", 0), 0u) << out;
}

struct Failure {
    const char *name;
    Bytes bytes;  // empty: the file does not exist
    const char *message;
};

TEST(ToolTree, RefusesWhatItCannotRead) {
    const std::vector<Failure> cases = {
        {"missing", {}, "cannot open"},
        {"text", Str("hello, this is not a movie\n"), "is not an MP4 file"},
        {"empty", Bytes{0}, "is not an MP4 file"},
    };
    for (const Failure &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = TempDir() + "/does-not-exist.mp4";
        if (!c.bytes.empty()) path = WriteTemp(c.name, c.name == std::string("empty") ? Bytes{} : c.bytes);
        int status = 0;
        const std::string err = RunCommand(Tool() + " tree " + path + " 2>&1 >/dev/null", &status);
        EXPECT_NE(status, 0);
        EXPECT_EQ(err.rfind("corvane: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

}  // namespace
