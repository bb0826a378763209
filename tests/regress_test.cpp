// Inputs replayed through the fuzz targets, whose own checks (every block
// handed out read in full, every frame written read back, ...) abort on a
// broken promise; under the sanitizer build, so does any bad access:
// - every input of tests/data/regress/, each of which once crashed the
//   library or broke a promise, through the target it was found with (its
//   name starts with the target: "open-", "file_info-", "m4v_header-",
//   "remux-" or "writer-");
// - the fixtures cut at every box boundary, one byte after it and inside the
//   next header, through fuzz_open: a cut file opens only while its moov is
//   whole, and samples past the cut fail to read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/mp4_walk.h"

// The fuzz targets' entry points, compiled into this binary under these
// names (tests/CMakeLists.txt).
extern "C" int ReplayOpen(const uint8_t *data, size_t size);
extern "C" int ReplayFileInfo(const uint8_t *data, size_t size);
extern "C" int ReplayM4vHeader(const uint8_t *data, size_t size);
extern "C" int ReplayRemux(const uint8_t *data, size_t size);
extern "C" int ReplayWriter(const uint8_t *data, size_t size);

namespace {

int Replay(const std::string &target, const Bytes &bytes) {
    static const std::map<std::string, int (*)(const uint8_t *, size_t)> targets = {
        {"open", ReplayOpen}, {"file_info", ReplayFileInfo}, {"m4v_header", ReplayM4vHeader},
        {"remux", ReplayRemux}, {"writer", ReplayWriter}};
    EXPECT_EQ(targets.count(target), 1u) << "no fuzz target " << target;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = targets.count(target) ? targets.at(target)(bytes.data(), bytes.size()) : 0;
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    return result;
}

std::vector<std::string> RegressFiles() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(CORVANE_TEST_DATA) + "/regress"))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class Regress : public testing::TestWithParam<std::string> {};

TEST_P(Regress, ReplaysWithoutBreakingAPromise) {
    EXPECT_EQ(Replay(GetParam().substr(0, GetParam().find('-')), ReadFileBytes(Fixture("regress/" + GetParam()))), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Regress, testing::ValuesIn(RegressFiles()), [](const auto &info) {
    std::string name = info.param;
    for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST(Regress, FixturesCutAtEveryBoxBoundary) {
    // Where a box begins: four bytes before each type the reader knows, at
    // the top level or nested; a type's letters inside media data only add
    // a cut.
    const char *types[] = {"ftyp", "moov", "mvhd", "iods", "trak", "tkhd", "edts", "elst", "mdia", "mdhd", "hdlr",
                           "minf", "vmhd", "smhd", "dinf", "dref", "stbl", "stsd", "mp4v", "mp4a", "esds", "stts",
                           "stss", "stsc", "stsz", "stco", "udta", "mdat", "free"};
    for (const char *name : {"av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4", "mp3.mp4"}) {
        const Bytes whole = ReadFileBytes(Fixture(name));
        std::vector<size_t> cuts;
        for (size_t at = 4; at + 4 <= whole.size(); ++at)
            for (const char *type : types)
                if (std::memcmp(&whole[at], type, 4) == 0) {
                    const size_t begin = at - 4, end = begin + BigEndian32(whole, begin);
                    cuts.insert(cuts.end(), {begin, begin + 1, begin + 4, end, end + 1, end + 4});
                }
        ASSERT_GT(cuts.size(), 100u) << name;
        for (const size_t cut : cuts) {
            if (cut == 0 || cut >= whole.size()) continue;
            EXPECT_EQ(Replay("open", Bytes(whole.begin(), whole.begin() + long(cut))), 0) << name << " " << cut;
        }
    }
}

}  // namespace
