// Mp4AddAudio and Mp4AddVideo where a scenario cannot reach: the scan of
// MPEG-4 Visual streams in pieces, and a plane too large to hold in memory.
// Their frames, times, refusals and what they leave on disk are the
// scenarios of tests/scenarios/remux; the streams and sources they refuse,
// and hostile paths, rows of path_table.txt; what ffprobe and ffmpeg make of
// their files, interop/remux_interop_test.cpp.
#include "remux/remux.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"

// Linked in by AddressSanitizer, which reserves address space of its own.
extern "C" __attribute__((weak)) void __asan_init(void);

namespace {

TEST(Remux, AVideoFrameThatCannotBeHeldEndsTheCopy) {
    // A last plane of 512 MiB (sparse zeros) in a process whose address space
    // ends well below that: the copy ends early, the new file is removed and
    // the result is -31.
    const char *preload = std::getenv("LD_PRELOAD");
    if (__asan_init != nullptr || (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr))
        GTEST_SKIP() << "address space limits do not apply under AddressSanitizer or valgrind";
    Bytes stream = ReadFileBytes(Fixture("video.m4v"));
    stream.insert(stream.end(), {0, 0, 1, 0xB6, 0x10});
    const std::string dir = TempDir(), path = WriteTemp("huge.m4v", stream), out = dir + "/out.mp4";
    ASSERT_EQ(truncate(path.c_str(), off_t(512) << 20), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {  // in the scratch folder: the operation keeps temporary files in the working directory
        const rlimit limit{rlim_t(256) << 20, rlim_t(256) << 20};
        const bool ready = std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr) &&
                           chdir(dir.c_str()) == 0 && setrlimit(RLIMIT_AS, &limit) == 0;
        const int32_t result =
            ready ? Mp4AddVideo(Fixture("audio.mp4").c_str(), path.c_str(), out.c_str(), 25) : 0;
        _exit(result == -31 && !FileExists(out) && !FileExists("tempv.v") && !FileExists("tempa.a") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::remove(path.c_str());
}

TEST(VisualScan, PiecesFindThePlanesOfAScanInOneBuffer) {
    // Plane start codes at every offset around the end of the first piece;
    // a start code the scan skips, as it moves 4 past the 00 00 01 before it
    // (00 00 01 00 00 01 B6), also across that end; planes of only their
    // start code, whose key flag is the next start code's first byte (0:
    // intra) or, at the end, missing (not intra); no plane at all.
    const size_t piece = kScanPieceBytes;
    std::vector<Bytes> streams = {{0, 0, 1, 0xB6, 0, 0, 1, 0xB6, 0x50, 0, 0, 1, 0xB6},
                                  {0, 0, 1, 0xB0, 0, 0, 1}};
    const auto planes = [](size_t size, std::vector<std::pair<size_t, Bytes>> codes) {
        Bytes stream(size, 0x55);
        for (const auto &[at, code] : codes)
            std::copy(code.begin(), code.begin() + long(std::min(code.size(), size - at)),
                      stream.begin() + long(at));
        return stream;
    };
    const Bytes intra = {0, 0, 1, 0xB6, 0x10}, predicted = {0, 0, 1, 0xB6, 0x50};
    streams.push_back(planes(300, {{100, intra}, {200, predicted}}));
    streams.push_back(planes(3 * piece + 2, {{3 * piece - 3, intra}}));
    streams.push_back(planes(604, {{10, intra}, {600, predicted}}));
    for (size_t at = piece - 8; at <= piece + 4; ++at) {
        streams.push_back(planes(piece + 50, {{10, intra}, {at, predicted}}));
        streams.push_back(planes(piece + 50, {{10, intra}, {at, {0, 0, 1, 0, 0, 1, 0xB6, 0x10}}}));
    }
    for (const Bytes &stream : streams) {
        SCOPED_TRACE(stream.size());
        // The planes of a scan of the whole stream at once: from position 0
        // while 3 bytes remain, 4 on at every 00 00 01, else 1.
        std::vector<size_t> starts;
        const auto startCodeAt = [&](size_t p) {
            return stream[p] == 0 && stream[p + 1] == 0 && stream[p + 2] == 1;
        };
        for (size_t p = 0; p + 3 <= stream.size(); p += startCodeAt(p) ? 4 : 1)
            if (p + 3 < stream.size() && startCodeAt(p) && stream[p + 3] == 0xB6) starts.push_back(p);
        FILE *file = std::fopen(WriteTemp("planes.m4v", stream).c_str(), "rb");
        VisualScan scan{};
        ASSERT_TRUE(StartVisualScan(&scan, file, stream.size()));
        const uint8_t *bytes = nullptr;
        uint32_t size = 0;
        int32_t key = 0;
        for (size_t k = 0; k <= starts.size(); ++k) {
            ASSERT_EQ(NextVisualFrame(&scan, &bytes, &size, &key), k < starts.size() ? 1 : 0) << k;
            if (k == starts.size()) break;
            const size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
            EXPECT_EQ(Bytes(bytes, bytes + size),
                      Bytes(stream.begin() + long(starts[k]), stream.begin() + long(end)));
            EXPECT_EQ(key, starts[k] + 4 < stream.size() && (stream[starts[k] + 4] & 0xC0) == 0 ? 1 : 0) << k;
        }
        EXPECT_FALSE(scan.readShort);
        EndVisualScan(&scan);
        std::fclose(file);
    }
}

}  // namespace
