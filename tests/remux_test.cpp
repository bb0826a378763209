// Mp4AddAudio and Mp4AddVideo: the frames and times they write, the
// results no file can give, what a refusal leaves on disk, and the scan of
// MPEG-4 Visual streams in pieces.  The streams and sources they refuse, and
// hostile paths, are rows of path_table.txt; what ffprobe and ffmpeg make of
// their files, interop/remux_interop_test.cpp.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "corvane2.h"
#include "remux/remux.h"
#include "support/bytes.h"
#include "support/read_handle.h"
#include "support/writer_session.h"

// Linked in by AddressSanitizer, which reserves address space of its own.
extern "C" __attribute__((weak)) void __asan_init(void);

namespace {

// Runs the operations in a directory of their own: they use fixed temporary
// names in the working directory.
class Remux : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(TempDir());
    }
    void TearDown() override {
        EXPECT_FALSE(FileExists("tempv.v") || FileExists("tempa.a"));
        std::filesystem::current_path(previous_);
    }
    const std::string out_ = TempDir() + "/out.mp4";
    std::string previous_;
};

// The samples of the new file's video or audio track.  The file ends with
// the object-descriptor and scene access units, outside any box; the reader
// refuses such bytes, so a copy without them (after checking them) is read.
std::vector<ReadSample> Written(const std::string &path, bool video, uint32_t timescale) {
    Bytes file = ReadFileBytes(path);
    const Bytes units = Cat({kAvObjectDescriptorUnit, kAvSceneUnit});
    EXPECT_TRUE(file.size() > units.size() && std::equal(units.begin(), units.end(), file.end() - long(units.size())));
    file.resize(file.size() - std::min(file.size(), units.size()));
    OpenedFile f(WriteTemp("media-part.mp4", file));
    EXPECT_EQ(f.result, 1);
    if (f.result != 1) return {};
    EXPECT_EQ(video ? f.handle->videoInfo.timescale : f.handle->audioInfo.timescale, timescale);
    if (video) {
        EXPECT_EQ(f.handle->videoInfo.width, 176u);
        EXPECT_EQ(f.handle->videoInfo.height, 144u);
    }
    return ReadAllSamples(f.handle, video ? f.handle->videoTrackId : f.handle->audioTrackId);
}

TEST_F(Remux, FramesAndTheirTimes) {
    // ADTS frames of 100, 120 and 110 bytes: audio frames of 93, 113 and
    // 103 bytes, 1024 apart at 44100 Hz.  Every frame is taken with a 7-byte
    // header: with a CRC (byte 1 F0) its 2 bytes stay at the front.
    for (const uint8_t byte1 : {0xF1, 0xF0}) {
        Bytes adts;
        for (const uint8_t length : {100, 120, 110}) {
            const uint8_t lengthEnd = uint8_t((length & 7) << 5 | 0x1F);
            adts = Cat({adts, {0xFF, byte1, 0x50, 0x80, uint8_t(length >> 3), lengthEnd, 0xFC}});
            for (uint8_t i = 7; i < length; ++i) adts.push_back(i);
        }
        ASSERT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), WriteTemp("three.aac", adts).c_str(), out_.c_str()), 1);
        const std::vector<ReadSample> samples = Written(out_, false, 44100);
        ASSERT_EQ(samples.size(), 3u) << int(byte1);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(samples[i].time, 1024 * i);
            EXPECT_EQ(samples[i].bytes.size(), std::vector<size_t>({93, 113, 103})[i]);
            EXPECT_EQ(Bytes(samples[i].bytes.begin(), samples[i].bytes.begin() + 2), (Bytes{7, 8}));
        }
    }
    // MPEG-4 Visual: a frame from each plane start code, at the frame rate
    // in milliseconds, truncated; +infinity puts every frame at 0.
    for (const auto &[fps, times] : {std::pair{25.0f, std::vector<uint32_t>{0, 40, 80, 120}},
                                     {29.97f, {0, 33, 66, 100}},
                                     {INFINITY, {0, 0, 0, 0}}}) {
        ASSERT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), Fixture("video.m4v").c_str(), out_.c_str(), fps), 1);
        const std::vector<ReadSample> samples = Written(out_, true, 1000);
        ASSERT_EQ(samples.size(), 50u) << fps;
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(samples[i].time, times[i]) << fps;
            EXPECT_EQ(Bytes(samples[i].bytes.begin(), samples[i].bytes.begin() + 4), (Bytes{0, 0, 1, 0xB6}));
        }
    }
    EXPECT_EQ(VisualFrameTime(1, 1e-30f), 0xFFFFFFFFu);  // beyond 32 bits: the largest time
}

TEST_F(Remux, RefusalsOfArgumentsLeaveNothing) {
    // Null paths; frame rates that give no frame times, refused before
    // anything is opened (the missing stream is not looked at).
    const std::string av = Fixture("av.mp4"), adts = Fixture("audio.aac"), m4v = Fixture("video.m4v");
    const char *out = out_.c_str(), *missing = "missing.m4v";
    const int32_t results[] = {
        Mp4AddAudio(nullptr, adts.c_str(), out),        Mp4AddAudio(av.c_str(), nullptr, out),
        Mp4AddAudio(av.c_str(), adts.c_str(), nullptr), Mp4AddVideo(nullptr, m4v.c_str(), out, 25),
        Mp4AddVideo(av.c_str(), nullptr, out, 25),      Mp4AddVideo(av.c_str(), m4v.c_str(), nullptr, 25),
        Mp4AddVideo(av.c_str(), missing, out, 0),       Mp4AddVideo(av.c_str(), m4v.c_str(), out, -25),
        Mp4AddVideo(av.c_str(), m4v.c_str(), out, std::nanf("")),
    };
    EXPECT_EQ(std::vector<int32_t>(std::begin(results), std::end(results)),
              (std::vector<int32_t>{-1, -1, -1, -1, -1, -1, -32, -32, -32}));
    EXPECT_FALSE(FileExists(out_));
}

TEST_F(Remux, ATrackThatCannotBeCreatedRemovesOnlyWhatTheCallCreated) {
    // A stream from its video object start code, made 1: the header
    // measures, but the writer takes no such configuration.  What was there
    // before stays: the output as MP4FileNew left it (emptied), the
    // temporary files untouched.  (Without them: path_table.txt, kind vo1.)
    Bytes stream = ReadFileBytes(Fixture("video.m4v"));
    stream.erase(stream.begin(), stream.begin() + 11);
    stream[3] = 0x01;
    WriteTemp("out.mp4", Str("old movie"));
    WriteTemp("tempv.v", Str("v"));
    WriteTemp("tempa.a", Str("a"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), WriteTemp("vo1.m4v", stream).c_str(), out_.c_str(), 25), -41);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFileBytes(out_), Bytes{});
    EXPECT_TRUE(FileExists(out_));
    EXPECT_EQ(ReadFileBytes("tempv.v"), Str("v"));
    EXPECT_EQ(ReadFileBytes("tempa.a"), Str("a"));
    std::remove("tempv.v");
    std::remove("tempa.a");
}

TEST_F(Remux, AVideoFrameThatCannotBeHeldEndsTheCopy) {
    // A last plane of 512 MiB (sparse zeros) in a process whose address space
    // ends well below that: the copy ends early, the new file is removed and
    // the result is -31.
    const char *preload = std::getenv("LD_PRELOAD");
    if (__asan_init != nullptr || (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr))
        GTEST_SKIP() << "address space limits do not apply under AddressSanitizer or valgrind";
    const std::string stream = WriteTemp("huge.m4v", Cat({ReadFileBytes(Fixture("video.m4v")), {0, 0, 1, 0xB6, 0x10}}));
    ASSERT_EQ(truncate(stream.c_str(), off_t(512) << 20), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{rlim_t(256) << 20, rlim_t(256) << 20};
        const bool freed = std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr);
        const int32_t result = freed && setrlimit(RLIMIT_AS, &limit) == 0
                                   ? Mp4AddVideo(Fixture("audio.mp4").c_str(), stream.c_str(), out_.c_str(), 25) : 0;
        _exit(result == -31 && !FileExists(out_) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::remove(stream.c_str());
}

TEST(VisualScan, PiecesFindThePlanesOfAScanInOneBuffer) {
    // Plane start codes at every offset around the end of the first piece;
    // a start code the scan skips, as it moves 4 past the 00 00 01 before it
    // (00 00 01 00 00 01 B6), also across that end; planes of only their
    // start code, whose key flag is the next start code's first byte (0:
    // intra) or, at the end, missing (not intra); no plane at all.
    const size_t piece = kScanPieceBytes;
    std::vector<Bytes> streams = {{0, 0, 1, 0xB6, 0, 0, 1, 0xB6, 0x50, 0, 0, 1, 0xB6}, {0, 0, 1, 0xB0, 0, 0, 1}};
    const auto planes = [](size_t size, std::vector<std::pair<size_t, Bytes>> codes) {
        Bytes stream(size, 0x55);
        for (const auto &[at, code] : codes)
            std::copy(code.begin(), code.begin() + long(std::min(code.size(), size - at)), stream.begin() + long(at));
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
        const auto startCodeAt = [&](size_t p) { return stream[p] == 0 && stream[p + 1] == 0 && stream[p + 2] == 1; };
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
            EXPECT_EQ(Bytes(bytes, bytes + size), Bytes(stream.begin() + long(starts[k]), stream.begin() + long(end)));
            EXPECT_EQ(key, starts[k] + 4 < stream.size() && (stream[starts[k] + 4] & 0xC0) == 0 ? 1 : 0) << k;
        }
        EXPECT_FALSE(scan.readShort);
        EndVisualScan(&scan);
        std::fclose(file);
    }
}

}  // namespace
