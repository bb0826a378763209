// Inputs that once crashed the library or broke one of its promises, kept in
// tests/data/regress/ and replayed through the fuzz target they were found
// with.  A file's name starts with the target: "open-", "file_info-",
// "m4v_header-", "remux-" or "writer-".  The targets' own checks (every block
// handed out read in full, every frame written read back, ...) abort on a
// broken promise; run under the sanitizer build, so does any bad access.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/bytes.h"

// The fuzz targets' entry points, compiled into this binary under these
// names (tests/CMakeLists.txt).
extern "C" int ReplayOpen(const uint8_t *data, size_t size);
extern "C" int ReplayFileInfo(const uint8_t *data, size_t size);
extern "C" int ReplayM4vHeader(const uint8_t *data, size_t size);
extern "C" int ReplayRemux(const uint8_t *data, size_t size);
extern "C" int ReplayWriter(const uint8_t *data, size_t size);

namespace {

using Replay = int (*)(const uint8_t *, size_t);

const std::map<std::string, Replay> &Targets() {
    static const std::map<std::string, Replay> targets = {
        {"open", ReplayOpen},           {"file_info", ReplayFileInfo},
        {"m4v_header", ReplayM4vHeader}, {"remux", ReplayRemux},
        {"writer", ReplayWriter}};
    return targets;
}

std::vector<std::string> RegressFiles() {
    std::vector<std::string> names;
    const std::string dir = std::string(CORVANE_TEST_DATA) + "/regress";
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Regress : public testing::TestWithParam<std::string> {};

TEST_P(Regress, ReplaysWithoutBreakingAPromise) {
    const std::string name = GetParam();
    const auto target = Targets().find(name.substr(0, name.find('-')));
    ASSERT_NE(target, Targets().end()) << name << " names no fuzz target";
    const Bytes bytes = ReadFileBytes(Fixture("regress/" + name));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = target->second(bytes.data(), bytes.size());
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
}

std::string TestName(const testing::TestParamInfo<std::string> &info) {
    std::string name = info.param;
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Regress, testing::ValuesIn(RegressFiles()), TestName);

TEST(Regress, EveryInputNamesATarget) {
    // The directory is there and every name in it is replayable.
    const std::vector<std::string> files = RegressFiles();
    EXPECT_FALSE(files.empty());
    for (const std::string &f : files)
        EXPECT_EQ(Targets().count(f.substr(0, f.find('-'))), 1u) << f;
}

}  // namespace
