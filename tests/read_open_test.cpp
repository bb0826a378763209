// Opening and closing files for reading, and track discovery.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <regex>
#include <tuple>

#include "support/read_handle.h"
#include "support/tiny_mp4.h"

namespace {

int CountLines(const std::string &text, const std::string &pattern) {
    const std::regex re(pattern + "\n");
    return int(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                             std::sregex_iterator()));
}

// A sparse file of 2 GiB beginning with an ftyp box; false where the file
// system cannot hold one.
bool MakeHugeFile(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const Bytes head = Box("ftyp", Str("isom"));
    const bool made = fd >= 0 && write(fd, head.data(), head.size()) == ssize_t(head.size()) &&
                      ftruncate(fd, off_t(kMaxReadableFileSize)) == 0;
    if (fd >= 0) close(fd);
    return made;
}

TEST(ReadOpen, BadFilesAreRefusedWithTheirMessage) {
    Bytes moovZero = TinyMp4({VideoTrack(1, 2)}, Zeros(20));
    const size_t moovAt = FtypBox().size();
    std::fill(moovZero.begin() + moovAt, moovZero.begin() + moovAt + 4, 0);
    const std::string parseError = "file parse error, may not a mp4 file\n";
    const std::string readError = "Read data from file error!\n";
    const std::string missing = TempDir() + "/nothing-here.mp4", huge = TempDir() + "/huge.mp4";
    const std::string longPath = "/tmp/" + std::string(251, 'x');  // 256 characters
    const bool haveHuge = MakeHugeFile(huge);
    const std::pair<std::string, std::string> cases[] = {  // path, what follows "file is [...]"
        {WriteTemp("empty.mp4", {}), "file size be zero!!\n"},
        {WriteTemp("text.mp4", Str("Hello, this is no MP4 file at all.\n")),
         "file size [35]\n" + parseError},
        {WriteTemp("truncated.mp4", {0, 0, 0, 24, 'f', 't'}), "file size [6]\n" + readError + parseError},
        {WriteTemp("moov_zero.mp4", moovZero), "file size [681]\n" + parseError},
        {missing, "Can't open the file - " + missing + " \n"},
        {longPath, "Can't open the file - " + longPath + " \n"},
        {huge, parseError},
    };
    for (const auto &[path, tail] : cases) {
        SCOPED_TRACE(path);
        if (path == huge && !haveHuge) continue;
        OpenedFile f(path);
        EXPECT_EQ(f.result, -99);
        ASSERT_NE(f.handle, nullptr);
        EXPECT_EQ(f.handle->root, nullptr);
        for (ReadTrack *slot : f.handle->tracks) EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(f.output, "file is [" + path + "]\n" + tail);
    }
    unlink(huge.c_str());
}

std::vector<std::array<uint32_t, 3>> IndexOf(const ReadTrack *t) {
    std::vector<std::array<uint32_t, 3>> out;
    for (uint32_t i = 0; t != nullptr && i < t->sampleCount; ++i)
        out.push_back({t->samples[i].time, t->samples[i].offset, t->samples[i].size});
    return out;
}

// Where the atom at `at` (its size field) begins; the last one of that type.
size_t LastBox(const Bytes &file, const char *type) {
    const std::string text(file.begin(), file.end());
    return text.rfind(type) - 4;
}

// ftyp and moov with one video track whose stco (the last box of the file)
// says it has `entries` entries; the file ends after `held` of them.
Bytes CutInStco(std::vector<uint32_t> offsets, uint32_t entries, size_t held) {
    TrackSpec t = VideoTrack(1, uint32_t(offsets.size()));
    t.stsc = {{1, 1}};
    t.chunks = offsets;
    t.relativeOffsets = false;
    Bytes file = Cat({FtypBox(), MoovBox({t}, 0)});
    const size_t stco = LastBox(file, "stco");
    const Bytes head = Cat({U32(16 + 4 * entries), Str("stco"), U32(0), U32(entries)});
    std::copy(head.begin(), head.end(), file.begin() + long(stco));
    file.resize(stco + 16 + 4 * held);
    return file;
}

// A file cut short inside its moov opens: each level keeps the atoms read
// before the end, and a table cut short reads zeros where the file ends.  A
// child may run past its parent: it is read where it says it is.
TEST(ReadOpen, FilesCutShortOrOverrunningTheirParentsOpen) {
    const Bytes whole = ReadFileBytes(Fixture("av_moov_last.mp4"));  // moov last, udta its last box
    OpenedFile full(Fixture("av_moov_last.mp4"));
    const size_t udta = LastBox(whole, "udta");
    // moov shrunk to end where the track's mdia begins: the top level goes on
    // with that mdia, the track keeps it.
    Bytes overrun = TinyMp4({VideoTrack(1, 2)}, Zeros(20));
    const size_t moovAt = FtypBox().size(), mdiaAt = LastBox(overrun, "mdia");
    const Bytes moovSize = U32(uint32_t(mdiaAt - moovAt));
    std::copy(moovSize.begin(), moovSize.end(), overrun.begin() + long(moovAt));
    const std::string readError = "Read data from file error!\n";
    struct Case {
        std::string path;
        const char *printed;  // an excerpt, "" for none
        std::vector<std::array<uint32_t, 3>> video, audio;
    };
    const Case cases[] = {
        // udta's child header is cut: the tracks are whole.
        {WriteTemp("cut_in_udta.mp4", Bytes(whole.begin(), whole.begin() + long(udta) + 12)),
         "Read data from file error!\n", IndexOf(full.Track(1)), IndexOf(full.Track(2))},
        {WriteTemp("stco_half_held.mp4", CutInStco({100, 500, 300, 400}, 4, 2)), "",
         {{0, 100, 10}, {100, 500, 10}, {200, 0, 10}, {300, 0, 10}}, {}},
        // Left to this implementation: a table larger than the whole file is
        // not read.
        {WriteTemp("stco_beyond_the_file.mp4", CutInStco({100, 500}, 1 << 20, 2)),
         "error to read atom[stco] data from file\n", {}, {}},
        {WriteTemp("trak_past_moov.mp4", overrun), "got track [1]\n",
         {{0, uint32_t(overrun.size() - 20), 10}, {100, uint32_t(overrun.size() - 10), 10}}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        OpenedFile f(c.path);
        ASSERT_EQ(f.result, 1);
        EXPECT_NE(f.output.find(c.printed), std::string::npos) << f.output;
        EXPECT_EQ(IndexOf(f.Track(1)), c.video);
        EXPECT_EQ(IndexOf(f.Track(2)), c.audio);
    }
}

TEST(ReadOpen, ClosingNothingDoesNothing) {
    MP4_read_file *none = nullptr;
    EXPECT_EQ(MP4FileClose(&none), 1);
    EXPECT_EQ(MP4FileClose(nullptr), 1);
    EXPECT_EQ(MP4FileOpen(nullptr, "x.mp4"), -99);
}

// The open looks for every track_ID from 0 to 399 and prints one line each.
TEST(ReadOpen, TrackSearchLines) {
    TrackSpec noTkhd = VideoTrack(5, 2);
    noTkhd.hasTkhd = false;
    struct Case {
        std::string path;
        std::string excerpt;
        std::string line;  // the line every track_ID not found prints
        int notFound, found;
        int32_t videoId, audioId;
    };
    const Case cases[] = {
        {Fixture("av.mp4"), "file is [" + Fixture("av.mp4") + "]\nfile size [45844]\n",
         "Can't find such track ?\\[\\d+\\] atom", 398, 2, 1, 2},
        // moov's last child is a trak: the line has no space.
        {WriteTemp("two.mp4", TinyMp4({VideoTrack(1, 2), AudioTrack(2, 2)}, Zeros(20))),
         "Can't find such track[0] atom\ngot track [1]\ngot track [2]\nCan't find such track[3] atom\n",
         "Can't find such track\\[\\d+\\] atom", 398, 2, 1, 2},
        // moov without trak, ending with iods: the line with a space.
        {WriteTemp("none.mp4", TinyMp4({}, Zeros(4))), "", "Can't find such track \\[\\d+\\] atom",
         400, 0, 0, 0},
        // A trak without tkhd ends every search.
        {WriteTemp("notkhd.mp4", TinyMp4({noTkhd, VideoTrack(1, 2)}, Zeros(20))), "",
         "Can't find tkhd atom", 400, 0, 0, 0},
        {WriteTemp("nomoov.mp4", Cat({FtypBox(), Box("mdat", Zeros(8))})), "",
         "Can't find moov atom", 400, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        OpenedFile f(c.path);
        ASSERT_EQ(f.result, 1);
        EXPECT_NE(f.output.find(c.excerpt), std::string::npos);
        EXPECT_EQ(CountLines(f.output, c.line), c.notFound);
        EXPECT_EQ(CountLines(f.output, "got track \\[\\d+\\]"), c.found);
        EXPECT_EQ(f.handle->videoTrackId, c.videoId);
        EXPECT_EQ(f.handle->audioTrackId, c.audioId);
        int filled = 0;
        for (ReadTrack *slot : f.handle->tracks) filled += slot != nullptr;
        EXPECT_EQ(filled, c.found);
    }
}

TEST(ReadOpen, WhichTracksAreServed) {
    TrackSpec wide = VideoTrack(3, 3), h263 = VideoTrack(2, 3);
    wide.width = 320;
    h263.entry = "s263";  // an entry the reader does not load
    auto handler = [](const char *type) {
        TrackSpec t = VideoTrack(4, 2);
        t.handler = type;
        return t;
    };
    struct Case {
        const char *name;
        std::vector<TrackSpec> tracks;
        int32_t videoId;
        uint32_t infoWidth, infoSamples;  // videoInfo
        int slot;
        int32_t type;
        uint32_t samples;  // of the slot
        const char *said;
    };
    const Case cases[] = {
        // The lowest video id is served; the last one found fills videoInfo.
        {"ids 3 and 1", {wide, VideoTrack(1, 2)}, 1, 320, 3, 1, kMediaVideo, 2, ""},
        {"id 0 is indexed, not served", {VideoTrack(0, 2)}, 0, 176, 2, 0, kMediaVideo, 2, ""},
        // Other handlers keep only their type and trak.
        {"hint", {handler("hint")}, 0, 0, 0, 4, 3, 0, ""},
        {"odsm", {handler("odsm")}, 0, 0, 0, 4, 4, 0, ""},
        {"sdsm", {handler("sdsm")}, 0, 0, 0, 4, 5, 0, ""},
        {"text", {handler("text")}, 0, 0, 0, 4, -99, 0, "Unknown media type [text]\n"},
        // No mp4v entry: no index, and no count borrowed from track 1.
        {"s263", {VideoTrack(1, 4), h263}, 1, 176, 4, 2, kMediaVideo, 0, "Can't find [mp4v] atom\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OpenedFile f(WriteTemp("t.mp4", TinyMp4(c.tracks, Zeros(40))));
        ASSERT_EQ(f.result, 1);
        EXPECT_EQ(f.handle->videoTrackId, c.videoId);
        EXPECT_EQ(f.handle->videoInfo.width, c.infoWidth);
        EXPECT_EQ(f.handle->videoInfo.sampleCount, c.infoSamples);
        const ReadTrack *t = f.Track(c.slot);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->mediaType, c.type);
        EXPECT_NE(t->trak, nullptr);
        EXPECT_EQ(t->sampleCount, c.samples);
        EXPECT_EQ(t->samples == nullptr, c.samples == 0);
        EXPECT_NE(f.output.find(c.said), std::string::npos);
    }
}

TEST(ReadTracks, IndexAllocation) {
    // count, video, result, key-frame table allocated
    const std::tuple<int32_t, bool, int32_t, bool> cases[] = {
        {1, true, 1, false}, {7, true, 1, true}, {0, true, -97, false}, {-3, false, -97, false}, {5, false, 1, false}};
    for (const auto &[count, video, result, keys] : cases) {
        SCOPED_TRACE(count);
        ReadTrack *slot = static_cast<ReadTrack *>(std::calloc(1, sizeof(ReadTrack)));
        EXPECT_EQ(video ? AllocVideoIndex(&slot, count) : AllocAudioIndex(&slot, count), result);
        EXPECT_EQ(slot->capacity, result == 1 ? uint32_t(count) : 0u);
        EXPECT_EQ(slot->samples != nullptr, result == 1);
        EXPECT_EQ(slot->keyFrames != nullptr, keys);
        EXPECT_EQ(FreeTrackIndex(&slot), 1);
        EXPECT_EQ(slot, nullptr);
    }
}

TEST(ReadTracks, MessagesOfTheTrackSteps) {
    AtomNode mdia{}, trak{};
    std::memcpy(mdia.type, "mdia", 5);
    std::memcpy(trak.type, "trak", 5);
    int32_t type = 0;
    VideoInfo v{};
    AudioInfo a{};
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(FindTrackById(nullptr, 1, nullptr), -99);
                  EXPECT_EQ(GetTrackMediaType(&mdia, &type), -99);
                  EXPECT_EQ(GetVideoTrackInfo(&mdia, &v), -99);
                  EXPECT_EQ(GetAudioTrackInfo(&mdia, &a), -99);
                  EXPECT_EQ(GetTrackMediaType(&trak, &type), -99);
              }),
              "This root atom is empty\nThis atom not a track atom\nThis atom not a track atom\n"
              "This atom not a track atom\nCan't find [mdia] atom\n");
    EXPECT_EQ(type, 0);
}

}  // namespace
