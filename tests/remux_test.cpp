// Mp4AddAudio and Mp4AddVideo: every result, and what is left on disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvane2.h"
#include "remux/remux.h"
#include "support/bytes.h"
#include "support/read_handle.h"
#include "support/writer_session.h"

namespace {

// Runs the operations in a directory of their own: they use fixed temporary
// names in the working directory.
class Remux : public ::testing::Test {
protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        previous_ = here;
        dir_ = TempDir();
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(previous_.c_str()), 0); }
    std::string Out() const { return dir_ + "/out.mp4"; }
    static bool TempsGone() { return !FileExists("tempv.v") && !FileExists("tempa.a"); }

    std::string previous_, dir_;
};

// The new files end with the object-descriptor and scene access units, after
// mdat and outside any box.  The reader takes such bytes for a box it does
// not know and refuses the file, so the checks read a copy without them
// (after checking them).
std::string MediaPartOf(const std::string &path) {
    Bytes file = ReadFileBytes(path);
    const Bytes units = Cat({kAvObjectDescriptorUnit, kAvSceneUnit});
    if (file.size() <= units.size()) return path;
    EXPECT_EQ(Bytes(file.end() - long(units.size()), file.end()), units);
    file.resize(file.size() - units.size());
    return WriteTemp("media-part.mp4", file);
}

Bytes Adts(std::initializer_list<uint32_t> frameLengths, uint8_t byte1 = 0xF1) {
    Bytes out;
    for (uint32_t length : frameLengths) {
        out = Cat({out, {0xFF, byte1, 0x50, uint8_t(0x80 | ((length >> 11) & 3)), uint8_t(length >> 3),
                         uint8_t(((length & 7) << 5) | 0x1F), 0xFC}});
        for (uint32_t i = 7; i < length; ++i) out.push_back(uint8_t(i));
    }
    return out;
}

TEST_F(Remux, AddAudioJoinsTheFramesOfAnAdtsStream) {
    // Every frame is taken with a 7-byte header: with a CRC (byte 1 F0,
    // protection_absent 0) its 2 bytes stay at the front of each frame.
    for (const uint8_t byte1 : {uint8_t(0xF1), uint8_t(0xF0)}) {
        SCOPED_TRACE(int(byte1));
        const std::string adts = WriteTemp("three.aac", Adts({100, 120, 110}, byte1));
        ASSERT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), adts.c_str(), Out().c_str()), 1);
        EXPECT_TRUE(TempsGone());
        OpenedFile f(MediaPartOf(Out()));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(f.handle->audioInfo.timescale, 44100u);  // sampling frequency index 4
        const std::vector<ReadSample> samples = ReadAllSamples(f.handle, f.handle->audioTrackId);
        ASSERT_EQ(samples.size(), 3u);
        const uint32_t sizes[] = {93, 113, 103};
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(samples[i].time, 1024 * i);
            ASSERT_EQ(samples[i].bytes.size(), sizes[i]);
            EXPECT_EQ(Bytes(samples[i].bytes.begin(), samples[i].bytes.begin() + 2), (Bytes{7, 8}));
        }
    }
}

// A file of `size` bytes (sparse where the file system allows) that begins
// with `head`.
std::string SparseFile(const std::string &name, const Bytes &head, off_t size) {
    const std::string path = WriteTemp(name, head);
    EXPECT_EQ(truncate(path.c_str(), size), 0);
    return path;
}

TEST_F(Remux, ResultTable) {
    const std::string adts = Fixture("audio.aac"), m4v = Fixture("video.m4v"), av = Fixture("av.mp4");
    const std::string missing = dir_ + "/missing.mp4", noDir = dir_ + "/no/such/dir/out.mp4";
    const std::string text = WriteTemp("text.mp4", Str("not a movie at all"));
    const Bytes stream = ReadFileBytes(m4v);
    // The headers alone (37 bytes), no picture; then 34 bytes of user data
    // before the video object, which make the configuration longer than 52.
    const std::string noVop = WriteTemp("novop.m4v", Bytes(stream.begin(), stream.begin() + 37));
    const std::string longHeader = WriteTemp("long.m4v", Cat({Bytes(stream.begin(), stream.begin() + 11),
                                                              {0, 0, 1, 0xB2}, Bytes(30, 0x55),
                                                              Bytes(stream.begin() + 11, stream.end())}));
    const std::string outPath = Out();
    const char *out = outPath.c_str();
    const std::string video = Fixture("video.mp4");
    Bytes cut = Adts({100, 120, 110}), noSync = Adts({100, 100});
    cut.resize(cut.size() - 20);
    noSync[0] = noSync[1] = noSync[2] = 0;
    const auto bad = [&](const char *name, const Bytes &adts) {
        return Mp4AddAudio(video.c_str(), WriteTemp(name, adts).c_str(), out);
    };
    const struct {
        const char *name;
        int32_t result, got;
    } rows[] = {
        {"audio: null source", -1, Mp4AddAudio(nullptr, adts.c_str(), out)},
        {"audio: null adts", -1, Mp4AddAudio(av.c_str(), nullptr, out)},
        {"audio: null output", -1, Mp4AddAudio(av.c_str(), adts.c_str(), nullptr)},
        {"audio: missing adts", -1, Mp4AddAudio(av.c_str(), missing.c_str(), out)},
        {"audio: missing source", -11, Mp4AddAudio(missing.c_str(), adts.c_str(), out)},
        {"audio: text source", -11, Mp4AddAudio(text.c_str(), adts.c_str(), out)},
        {"audio: no video track", -12, Mp4AddAudio(Fixture("audio.mp4").c_str(), adts.c_str(), out)},
        {"adts: no sync word", -31, bad("a.aac", noSync)},
        {"adts: no sync word, checked before the source", -31,
         Mp4AddAudio(missing.c_str(), WriteTemp("b.aac", noSync).c_str(), out)},
        {"adts: 2 GiB, with a missing source", -11,
         Mp4AddAudio(missing.c_str(), SparseFile("big.aac", Adts({100}), off_t(1) << 31).c_str(), out)},
        {"adts: 2 GiB", -31, Mp4AddAudio(video.c_str(), "big.aac", out)},
        {"adts: last frame cut short", -31, bad("c.aac", cut)},
        {"adts: frame length below the header", -31, bad("d.aac", Cat({Adts({100}), Adts({5}), Adts({100})}))},
        {"adts: shorter than a header", -31, bad("e.aac", {0xFF, 0xF1, 0x50})},
        {"audio: output cannot be created", -41, Mp4AddAudio(av.c_str(), adts.c_str(), noDir.c_str())},
        {"video: output cannot be created", -41,
         Mp4AddVideo(Fixture("audio.mp4").c_str(), m4v.c_str(), noDir.c_str(), 25)},
        {"video: null source", -1, Mp4AddVideo(nullptr, m4v.c_str(), out, 25)},
        {"video: null stream", -1, Mp4AddVideo(av.c_str(), nullptr, out, 25)},
        {"video: null output", -1, Mp4AddVideo(av.c_str(), m4v.c_str(), nullptr, 25)},
        {"video: missing stream", -1, Mp4AddVideo(av.c_str(), missing.c_str(), out, 25)},
        {"video: frame rate 0, checked before the stream", -32, Mp4AddVideo(av.c_str(), missing.c_str(), out, 0)},
        {"video: frame rate below 0", -32, Mp4AddVideo(av.c_str(), m4v.c_str(), out, -25)},
        {"video: frame rate not a number", -32, Mp4AddVideo(av.c_str(), m4v.c_str(), out, std::nanf(""))},
        {"video: 2 GiB, with a missing source", -11,
         Mp4AddVideo(missing.c_str(), SparseFile("big.m4v", stream, off_t(1) << 31).c_str(), out, 25)},
        {"video: 2 GiB", -31, Mp4AddVideo(Fixture("audio.mp4").c_str(), "big.m4v", out, 25)},
        {"video: not a stream", -31, Mp4AddVideo(av.c_str(), text.c_str(), out, 25)},
        {"video: no picture, refused before the source", -31, Mp4AddVideo(missing.c_str(), noVop.c_str(), out, 25)},
        {"video: header over 52 bytes", -31, Mp4AddVideo(av.c_str(), longHeader.c_str(), out, 25)},
        {"video: missing source", -11, Mp4AddVideo(missing.c_str(), m4v.c_str(), out, 25)},
        {"video: no audio track", -12, Mp4AddVideo(Fixture("video.mp4").c_str(), m4v.c_str(), out, 25)},
    };
    for (const auto &row : rows) EXPECT_EQ(row.got, row.result) << row.name;
    for (const char *big : {"big.aac", "big.m4v"}) std::remove(big);
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(TempsGone());
}

TEST_F(Remux, UnreadableSourceSampleGivesMinus21) {
    // The media data of a moov-first file, cut in the middle: the tables
    // still name samples that are no longer there.
    Bytes av = ReadFileBytes(Fixture("av.mp4"));
    av.resize(av.size() / 2);
    const std::string cut = WriteTemp("cut.mp4", av);
    // The new file stays as created (empty).
    EXPECT_EQ(Mp4AddAudio(cut.c_str(), Fixture("audio.aac").c_str(), Out().c_str()), -21);
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
    std::remove(Out().c_str());
    EXPECT_EQ(Mp4AddVideo(cut.c_str(), Fixture("video.m4v").c_str(), Out().c_str(), 25), -21);
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
}

TEST_F(Remux, ATrackThatCannotBeCreatedRemovesOnlyWhatTheCallCreated) {
    // A stream that begins with video object start code 1: its header is
    // measured, but the writer takes a configuration only from 00 00 01 00 or
    // 00 00 01 B0 on, so the video track cannot be created.
    Bytes stream = ReadFileBytes(Fixture("video.m4v"));
    stream.erase(stream.begin(), stream.begin() + 11);
    stream[3] = 0x01;
    const std::string m4v = WriteTemp("vo1.m4v", stream), source = Fixture("audio.mp4");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mp4AddVideo(source.c_str(), m4v.c_str(), Out().c_str(), 25), -41);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The decoder configuration is not an MPEG-4 Visual header in CreateTrack(...) \n");
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(TempsGone());
    // What was there before stays: the output as MP4FileNew left it (emptied),
    // the temporary files untouched.
    WriteTemp("out.mp4", Str("old movie"));
    WriteTemp("tempv.v", Str("v"));
    WriteTemp("tempa.a", Str("a"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mp4AddVideo(source.c_str(), m4v.c_str(), Out().c_str(), 25), -41);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(FileExists(Out()));
    EXPECT_EQ(ReadFileBytes(Out()).size(), 0u);
    EXPECT_EQ(ReadFileBytes("tempv.v"), Str("v"));
    EXPECT_EQ(ReadFileBytes("tempa.a"), Str("a"));
}

TEST_F(Remux, ToolRemovesWhatItCreatedAndNothingElse) {
    // The tool refuses to run over temporary files of the working directory
    // that the operation would truncate and delete.
    int status = 0;
    const std::string args = "add-audio '" + Fixture("video.mp4") + "' '" + Fixture("audio.aac") + "' out.mp4";
    WriteTemp("tempa.a", Str("mine"));
    EXPECT_EQ(Corvane(args, &status, "2>&1 >/dev/null"),
              "corvane: add-audio: 'tempa.a' already exists in the working directory\n");
    EXPECT_NE(status, 0);
    EXPECT_EQ(ReadFileBytes("tempa.a"), Str("mine"));
    EXPECT_FALSE(FileExists(Out()));
    std::remove("tempa.a");
    // After -21 the operation leaves the empty output and the temporary
    // files; the tool removes them, as this call made them.
    Bytes av = ReadFileBytes(Fixture("av.mp4"));
    av.resize(av.size() / 2);
    const std::string cut = WriteTemp("cut.mp4", av);
    EXPECT_EQ(Corvane("add-audio '" + cut + "' '" + Fixture("audio.aac") + "' out.mp4", &status, "2>&1 >/dev/null"),
              "corvane: add-audio: a sample of the source cannot be read (-21)\n");
    EXPECT_NE(status, 0);
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(TempsGone());
}

TEST_F(Remux, AddVideoTimesFollowTheFrameRate) {
    for (const auto &[fps, times] : {std::pair{25.0f, std::vector<uint32_t>{0, 40, 80, 120}},
                                     {29.97f, {0, 33, 66, 100}},
                                     {INFINITY, {0, 0, 0, 0}}}) {
        ASSERT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), Fixture("video.m4v").c_str(),
                              Out().c_str(), fps), 1) << fps;
        EXPECT_TRUE(TempsGone());
        OpenedFile f(MediaPartOf(Out()));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(f.handle->videoInfo.timescale, 1000u);
        EXPECT_EQ(f.handle->videoInfo.width, 176u);
        EXPECT_EQ(f.handle->videoInfo.height, 144u);
        const std::vector<ReadSample> samples = ReadAllSamples(f.handle, f.handle->videoTrackId);
        ASSERT_EQ(samples.size(), 50u);
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(samples[i].time, times[i]) << fps;
            EXPECT_EQ(samples[i].bytes[3], 0xB6);  // each sample starts at its plane
        }
    }
}

// Plane start codes of a whole stream held in one buffer: positions p while
// p + 3 bytes remain, a move of 4 at every 00 00 01, of 1 elsewhere.
std::vector<size_t> PlaneStartsInOneBuffer(const Bytes &b) {
    std::vector<size_t> starts;
    for (size_t p = 0; p + 3 <= b.size();) {
        if (b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 1) {
            if (p + 3 < b.size() && b[p + 3] == 0xB6) starts.push_back(p);
            p += 4;
        } else {
            p += 1;
        }
    }
    return starts;
}

struct ScannedFrame {
    Bytes bytes;
    int32_t key;
};

std::vector<ScannedFrame> ScanFile(const std::string &path) {
    std::vector<ScannedFrame> frames;
    FILE *file = std::fopen(path.c_str(), "rb");
    VisualScan scan{};
    EXPECT_TRUE(StartVisualScan(&scan, file, ReadFileBytes(path).size()));
    const uint8_t *bytes = nullptr;
    uint32_t size = 0;
    int32_t key = 0;
    while (NextVisualFrame(&scan, &bytes, &size, &key) == 1) frames.push_back({Bytes(bytes, bytes + size), key});
    EXPECT_FALSE(scan.readShort);
    EndVisualScan(&scan);
    std::fclose(file);
    return frames;
}

TEST(VisualScan, PiecesFindThePlanesOfAScanInOneBuffer) {
    // Plane start codes at every offset around the end of the first piece,
    // and a start code that is skipped because the scan moves 4 past the
    // 00 00 01 before it (00 00 01 00 00 01 B6), also across that end.
    const size_t piece = kScanPieceBytes;
    struct Case {
        std::string name;
        std::vector<size_t> planes;
        size_t skipTrap;  // where 00 00 01 00 00 01 B6 starts, or 0
        size_t size;
    };
    std::vector<Case> cases = {
        {"one piece", {100, 200}, 0, 300},
        {"nothing before the end of the second piece", {3 * piece - 3}, 0, 3 * piece + 2},
        {"plane in the last 4 bytes", {10, 600}, 0, 604},
    };
    for (size_t at = piece - 8; at <= piece + 4; ++at) {
        cases.push_back({"plane at " + std::to_string(at), {10, at}, 0, piece + 50});
        cases.push_back({"skipped code at " + std::to_string(at), {10}, at, piece + 50});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stream(c.size, 0x55);
        uint8_t type = 0x10;
        for (size_t at : c.planes) {
            const Bytes code = {0, 0, 1, 0xB6, type};
            std::copy(code.begin(), code.begin() + std::min(code.size(), c.size - at), stream.begin() + long(at));
            type ^= 0x40;  // intra, predicted, intra, ...
        }
        if (c.skipTrap != 0) {
            const Bytes trap = {0, 0, 1, 0, 0, 1, 0xB6, 0x10};
            std::copy(trap.begin(), trap.end(), stream.begin() + long(c.skipTrap));
        }
        const std::vector<size_t> starts = PlaneStartsInOneBuffer(stream);
        const std::vector<ScannedFrame> frames = ScanFile(WriteTemp("planes.m4v", stream));
        ASSERT_EQ(frames.size(), starts.size());
        for (size_t k = 0; k < starts.size(); ++k) {
            const size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
            EXPECT_EQ(frames[k].bytes, Bytes(stream.begin() + long(starts[k]), stream.begin() + long(end))) << k;
            EXPECT_EQ(frames[k].key, end - starts[k] > 4 && (stream[starts[k] + 4] & 0xC0) == 0 ? 1 : 0) << k;
        }
    }
}

TEST(VisualScan, KeyFlagOfAPlaneOfOnlyItsStartCode) {
    // Such a plane is followed by the next start code, whose first byte (0)
    // stands 4 bytes after its own: intra.  At the end of the stream there
    // is no such byte: not intra.
    const Bytes stream = {0, 0, 1, 0xB6, 0, 0, 1, 0xB6, 0x50, 0, 0, 1, 0xB6};
    const std::vector<ScannedFrame> frames = ScanFile(WriteTemp("short.m4v", stream));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].key, 1);
    EXPECT_EQ(frames[1].key, 0);
    EXPECT_EQ(frames[2].key, 0);
    EXPECT_TRUE(ScanFile(WriteTemp("none.m4v", {0, 0, 1, 0xB0, 0, 0, 1})).empty());
}

TEST_F(Remux, AVideoFrameThatCannotBeHeldEndsTheCopy) {
    // A last plane of 512 MiB (sparse zeros) in a process whose address space
    // ends well below that: the frame cannot be held, so the copy ends early,
    // the new file is removed and the result is -31.  The sanitizers reserve
    // address space of their own, so this runs only in a plain build.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits do not apply under AddressSanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "address space limits do not apply under AddressSanitizer";
#endif
#endif
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::string(preload).find("vgpreload") != std::string::npos)
        GTEST_SKIP() << "address space limits do not apply under valgrind";
    const std::string stream =
        SparseFile("huge.m4v", Cat({ReadFileBytes(Fixture("video.m4v")), {0, 0, 1, 0xB6, 0x10}}), off_t(512) << 20);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        const rlimit limit{rlim_t(256) << 20, rlim_t(256) << 20};
        const int32_t result = setrlimit(RLIMIT_AS, &limit) == 0
            ? Mp4AddVideo(Fixture("audio.mp4").c_str(), stream.c_str(), Out().c_str(), 25) : 0;
        _exit(result == -31 && !FileExists(Out()) && TempsGone() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::remove(stream.c_str());
}

TEST(VisualFrames, TimesTruncateTowardZero) {
    EXPECT_EQ(VisualFrameTime(3, 29.97f), 100u);
    EXPECT_EQ(VisualFrameTime(2, 29.97f), 66u);
    EXPECT_EQ(VisualFrameTime(7, 25.0f), 280u);
    EXPECT_EQ(VisualFrameTime(1, 1e-30f), 0xFFFFFFFFu);  // beyond 32 bits: the largest time
}

}  // namespace
