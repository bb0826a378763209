// corvane tree, run as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/bytes.h"

namespace {

std::string Tree(const std::string &arguments, int *status) {
    return RunCommand(std::string(CORVANE_TOOL_PATH) + " tree " + arguments, status);
}

// The bundled sample (no file given), the verbose and the JSON listing: each
// holds every given line, the first at its start.
TEST(ToolTree, Listings) {
    const struct {
        std::string arguments;
        std::vector<std::string> lines;
    } cases[] = {
        {"2>&1",  // no file: the bundled sample
         {"[ftyp] offset=0 size=28\n[moov] offset=28 size=", "\n            [mp4v] offset=453 size=201\n",
          "\n[mdat] offset="}},
        {"-v " + Fixture("av.mp4"),
         {"[ftyp] offset=0 size=28 major_brand=isom minor_version=512 compatible_brand=isom\n",
          "  [mvhd] offset=36 size=108 timescale=1000 duration=2000 next_track_ID=3\n",
          "    [tkhd] offset=152 size=92 track_ID=1 duration=2000 width=176 height=144\n",
          "      [hdlr] offset=320 size=45 handler_type=vide\n",
          "            [mp4v] offset=453 size=201 width=176 height=144\n",
          "          [stsz] offset=742 size=220 sample_size=0 sample_count=50\n"}},
        {"--json " + Fixture("audio.mp4"), {"[\n  {\"type\": \"ftyp\", \"offset\": 0, \"size\": 28}"}},
    };
    for (const auto &c : cases) {
        int status = -1;
        const std::string out = Tree(c.arguments, &status);
        EXPECT_EQ(status, 0) << c.arguments;
        EXPECT_EQ(out.rfind(c.lines[0], 0), 0u) << out;
        for (const std::string &line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << line;
    }
}

TEST(ToolTree, ShowsBytesAfterTheLastBox) {
    // A file whose media data is followed by bytes outside any box, as the
    // object-descriptor and scene units of written files are.
    const Bytes file = Cat({Box("ftyp", Zeros(12)), Box("mdat", Zeros(4)),
                            Bytes{0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80}});
    int status = -1;
    EXPECT_EQ(Tree(WriteTemp("tail.mp4", file), &status),
              "[ftyp] offset=0 size=20\n[mdat] offset=20 size=12\n"
              "(9 bytes from offset 32 are not a box)\n");
    EXPECT_EQ(status, 0);
}

TEST(ToolTree, RefusesWhatItCannotRead) {
    const struct {
        const char *name;
        std::string path;
        const char *message;
    } cases[] = {
        {"missing", TempDir() + "/does-not-exist.mp4", "cannot open"},
        {"text", WriteTemp("text", Str("hello, this is not a movie\n")), "is not an MP4 file"},
        {"empty", WriteTemp("empty", {}), "is not an MP4 file"},
    };
    for (const auto &c : cases) {
        int status = 0;
        const std::string err = Tree(c.path + " 2>&1 >/dev/null", &status);
        EXPECT_NE(status, 0) << c.name;
        EXPECT_EQ(err.rfind("corvane: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

}  // namespace
