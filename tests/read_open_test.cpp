// Opening and closing files for reading, and track discovery.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>

#include "support/bytes.h"
#include "support/read_handle.h"
#include "support/tiny_mp4.h"

namespace {

TrackSpec VideoTrack(uint32_t id, uint32_t samples) {
    TrackSpec t;
    t.id = id;
    t.stts = {{samples, 100}};
    t.stsc = {{1, samples}};
    t.sampleSize = 10;
    t.sampleCount = samples;
    t.chunks = {0};
    t.stss = {1};
    return t;
}

TrackSpec AudioTrack(uint32_t id, uint32_t samples) {
    TrackSpec t = VideoTrack(id, samples);
    t.handler = "soun";
    t.entry = "mp4a";
    t.timescale = 44100;
    t.hasStss = false;
    return t;
}

int CountLines(const std::string &text, const std::string &pattern) {
    const std::regex re(pattern);
    return int(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                             std::sregex_iterator()));
}

void ExpectFailedHandle(const OpenedFile &f) {
    EXPECT_EQ(f.result, -99);
    ASSERT_NE(f.handle, nullptr);
    EXPECT_EQ(f.handle->root, nullptr);
    for (ReadTrack *slot : f.handle->tracks) EXPECT_EQ(slot, nullptr);
}

struct BadFile {
    const char *name;
    Bytes bytes;
    const char *expectedTail;  // what the open prints after "file is [...]\n"
};

TEST(ReadOpen, BadFilesAreRefusedWithTheirMessage) {
    const Bytes av = ReadFileBytes(Fixture("av.mp4"));
    const Bytes moovFirst(av.begin(), av.begin() + 2000);  // av.mp4 has moov before mdat
    Bytes moovHuge = TinyMp4({VideoTrack(1, 2)}, Zeros(20));
    const size_t moovAt = FtypBox().size();
    Bytes moovZero = moovHuge;
    moovHuge[moovAt] = 0x7F;
    moovZero[moovAt] = moovZero[moovAt + 1] = moovZero[moovAt + 2] = moovZero[moovAt + 3] = 0;
    const std::vector<BadFile> cases = {
        {"empty.mp4", {}, "file size be zero!!\n"},
        {"text.mp4", Str("Hello, this is no MP4 file at all.\n"),
         "file size [35]\nfile parse error, may not a mp4 file\n"},
        // The tree reader reports each header it cannot read past the end.
        {"truncated.mp4", moovFirst,
         "file size [2000]\nRead data from file error!\nRead data from file error!\n"
         "file parse error, may not a mp4 file\n"},
        {"moov_huge.mp4", moovHuge,
         "file size [681]\nRead data from file error!\nfile parse error, may not a mp4 file\n"},
        {"moov_zero.mp4", moovZero, "file size [681]\nfile parse error, may not a mp4 file\n"},
    };
    for (const BadFile &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteTemp(c.name, c.bytes);
        OpenedFile f(path);
        ExpectFailedHandle(f);
        EXPECT_EQ(f.output, "file is [" + path + "]\n" + c.expectedTail);
    }
}

TEST(ReadOpen, MissingFileAndOverlongPath) {
    const std::string missing = TempDir() + "/nothing-here.mp4";
    OpenedFile f(missing);
    ExpectFailedHandle(f);
    EXPECT_EQ(f.output, "file is [" + missing + "]\nCan't open the file - " + missing + " \n");

    const std::string longPath = "/tmp/" + std::string(251, 'x');  // 256 characters
    OpenedFile g(longPath);
    ExpectFailedHandle(g);
    EXPECT_EQ(g.output, "file is [" + longPath + "]\nCan't open the file - " + longPath + " \n");
}

TEST(ReadOpen, FilesOfTwoGibibytesAreRefused) {
    const std::string path = TempDir() + "/huge.mp4";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const Bytes head = Box("ftyp", Str("isom"));
    ASSERT_EQ(write(fd, head.data(), head.size()), ssize_t(head.size()));
    const bool sparse = ftruncate(fd, off_t(kMaxReadableFileSize)) == 0;
    close(fd);
    if (!sparse) GTEST_SKIP() << "cannot make a sparse file here";
    OpenedFile f(path);
    ExpectFailedHandle(f);
    EXPECT_EQ(f.output, "file is [" + path + "]\nfile parse error, may not a mp4 file\n");
    unlink(path.c_str());
}

TEST(ReadOpen, ClosingNothingDoesNothing) {
    MP4_read_file *none = nullptr;
    EXPECT_EQ(MP4FileClose(&none), 1);
    EXPECT_EQ(MP4FileClose(nullptr), 1);
    EXPECT_EQ(MP4FileOpen(nullptr, "x.mp4"), -99);
}

TEST(ReadOpen, BundledSampleHasOneVideoAndOneAudioTrack) {
    OpenedFile f(Fixture("av.mp4"));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.handle->videoTrackId, 1);
    EXPECT_EQ(f.handle->audioTrackId, 2);
    for (int i = 0; i < MP4_READ_TRACK_SLOTS; ++i)
        EXPECT_EQ(f.Track(i) != nullptr, i == 1 || i == 2) << i;
    EXPECT_EQ(f.handle->videoInfo.width, 176u);
    EXPECT_EQ(f.handle->videoInfo.height, 144u);
    EXPECT_EQ(f.handle->videoInfo.sampleCount, 50u);
    EXPECT_EQ(f.Track(1)->sampleCount, 50u);
    EXPECT_EQ(f.Track(2)->sampleCount, f.handle->audioInfo.sampleCount);
    EXPECT_EQ(f.handle->audioInfo.timescale, 44100u);
    // One search line per track_ID 0 to 399.
    EXPECT_EQ(CountLines(f.output, "got track \\[\\d+\\]\n"), 2);
    EXPECT_EQ(CountLines(f.output, "Can't find such track ?\\[\\d+\\] atom\n"), 398);
    EXPECT_EQ(f.output.find("file is [" + Fixture("av.mp4") + "]\nfile size [45844]\n"), 0u);
}

TEST(ReadOpen, TrackSearchLines) {
    // moov's last child is a trak: the not-found line has no space.
    const std::string path =
        WriteTemp("two.mp4", TinyMp4({VideoTrack(1, 2), AudioTrack(2, 2)}, Zeros(20)));
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    EXPECT_NE(f.output.find("Can't find such track[0] atom\ngot track [1]\ngot track [2]\n"
                            "Can't find such track[3] atom\n"),
              std::string::npos);
    EXPECT_EQ(CountLines(f.output, "Can't find such track\\[\\d+\\] atom\n"), 398);

    // A moov without trak, ending with iods: the line with a space, 400 times.
    const std::string none = WriteTemp("none.mp4", TinyMp4({}, Zeros(4)));
    OpenedFile g(none);
    EXPECT_EQ(g.result, 1);
    EXPECT_EQ(g.handle->videoTrackId, 0);
    EXPECT_EQ(g.handle->audioTrackId, 0);
    EXPECT_EQ(CountLines(g.output, "Can't find such track \\[\\d+\\] atom\n"), 400);
}

TEST(ReadOpen, TrakWithoutTkhdEndsEverySearch) {
    TrackSpec broken = VideoTrack(5, 2);
    broken.hasTkhd = false;
    const std::string path = WriteTemp("notkhd.mp4", TinyMp4({broken, VideoTrack(1, 2)}, Zeros(20)));
    OpenedFile f(path);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(CountLines(f.output, "Can't find tkhd atom\n"), 400);
    for (ReadTrack *slot : f.handle->tracks) EXPECT_EQ(slot, nullptr);
}

TEST(ReadOpen, LowestIdIsServedHighestFillsTheInfo) {
    TrackSpec first = VideoTrack(1, 2);
    TrackSpec third = VideoTrack(3, 3);
    third.width = 320;
    third.timescale = 600;
    const std::string path = WriteTemp("v13.mp4", TinyMp4({third, first}, Zeros(40)));
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.handle->videoTrackId, 1);
    EXPECT_EQ(f.handle->videoInfo.width, 320u);
    EXPECT_EQ(f.handle->videoInfo.timescale, 600u);
    EXPECT_EQ(f.handle->videoInfo.sampleCount, 3u);
    EXPECT_EQ(f.Track(1)->sampleCount, 2u);
    EXPECT_EQ(f.Track(3)->sampleCount, 3u);
}

TEST(ReadOpen, TrackZeroIsIndexedButNotServed) {
    const std::string path = WriteTemp("v0.mp4", TinyMp4({VideoTrack(0, 2)}, Zeros(20)));
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.handle->videoTrackId, 0);
    ASSERT_NE(f.Track(0), nullptr);
    EXPECT_EQ(f.Track(0)->mediaType, 1);
    EXPECT_EQ(f.Track(0)->sampleCount, 2u);
}

TEST(ReadOpen, OtherHandlersKeepOnlyTheirTypeAndTrak) {
    struct Case {
        const char *handler;
        int32_t type;
    };
    for (const Case &c : {Case{"hint", 3}, Case{"odsm", 4}, Case{"sdsm", 5}, Case{"text", -99}}) {
        SCOPED_TRACE(c.handler);
        TrackSpec t = VideoTrack(4, 2);
        t.handler = c.handler;
        OpenedFile f(WriteTemp("h.mp4", TinyMp4({t}, Zeros(20))));
        ASSERT_EQ(f.result, 1);
        ASSERT_NE(f.Track(4), nullptr);
        EXPECT_EQ(f.Track(4)->mediaType, c.type);
        EXPECT_NE(f.Track(4)->trak, nullptr);
        EXPECT_EQ(f.Track(4)->samples, nullptr);
        EXPECT_EQ(f.Track(4)->sampleCount, 0u);
        EXPECT_EQ(f.handle->videoTrackId, 0);
        EXPECT_EQ(f.output.find("Unknown media type [text]\n") != std::string::npos,
                  c.type == -99);
    }
}

TEST(ReadOpen, TrackWithoutMp4vDoesNotBorrowAnotherTracksCount) {
    // Track 1 fills videoInfo.sampleCount with 4; track 2 has no mp4v entry
    // (an H.263 entry, which the reader does not load).
    TrackSpec h263 = VideoTrack(2, 3);
    h263.entry = "s263";
    const std::string path = WriteTemp("h263.mp4", TinyMp4({VideoTrack(1, 4), h263}, Zeros(40)));
    OpenedFile f(path);
    ASSERT_EQ(f.result, 1);
    EXPECT_NE(f.output.find("Can't find [mp4v] atom\n"), std::string::npos);
    ASSERT_NE(f.Track(2), nullptr);
    EXPECT_EQ(f.Track(2)->capacity, 0u);
    EXPECT_EQ(f.Track(2)->samples, nullptr);
    EXPECT_EQ(f.Track(2)->sampleCount, 0u);
    EXPECT_EQ(f.Track(1)->sampleCount, 4u);
    EXPECT_EQ(f.handle->videoInfo.sampleCount, 4u);
}

TEST(ReadTracks, IndexAllocation) {
    struct Case {
        int32_t count;
        bool video;
        int32_t result;
        uint32_t capacity;
        bool keys;
    };
    const Case cases[] = {{1, true, 1, 1, false}, {7, true, 1, 7, true}, {0, true, -97, 0, false},
                          {-3, false, -97, 0, false}, {5, false, 1, 5, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        ReadTrack *slot = static_cast<ReadTrack *>(std::calloc(1, sizeof(ReadTrack)));
        EXPECT_EQ(c.video ? AllocVideoIndex(&slot, c.count) : AllocAudioIndex(&slot, c.count),
                  c.result);
        EXPECT_EQ(slot->capacity, c.capacity);
        EXPECT_EQ(slot->samples != nullptr, c.result == 1);
        EXPECT_EQ(slot->keyFrames != nullptr, c.keys);
        EXPECT_EQ(FreeTrackIndex(&slot), 1);
        EXPECT_EQ(slot, nullptr);
    }
}

TEST(ReadTracks, MessagesOfTheTrackSteps) {
    EXPECT_EQ(Printed([] { EXPECT_EQ(FindTrackById(nullptr, 1, nullptr), -99); }),
              "This root atom is empty\n");
    AtomNode notTrak{};
    std::memcpy(notTrak.type, "mdia", 5);
    int32_t type = 0;
    VideoInfo v{};
    AudioInfo a{};
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(GetTrackMediaType(&notTrak, &type), -99);
                  EXPECT_EQ(GetVideoTrackInfo(&notTrak, &v), -99);
                  EXPECT_EQ(GetAudioTrackInfo(&notTrak, &a), -99);
              }),
              "This atom not a track atom\nThis atom not a track atom\nThis atom not a track atom\n");
    AtomNode trak{};
    std::memcpy(trak.type, "trak", 5);
    EXPECT_EQ(Printed([&] { EXPECT_EQ(GetTrackMediaType(&trak, &type), -99); }),
              "Can't find [mdia] atom\n");
    EXPECT_EQ(type, 0);
}

TEST(ReadOpen, NoMoovAtAll) {
    const std::string path = WriteTemp("nomoov.mp4", Cat({FtypBox(), Box("mdat", Zeros(8))}));
    OpenedFile f(path);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(CountLines(f.output, "Can't find moov atom\n"), 400);
}

}  // namespace
