// Bad input of every class the library can be handed, and what each gives:
// truncations at box boundaries, broken table counts, zero timescales, path
// lengths at the limit, null pointers for every pointer argument.  The table
// in docs/robustness.md names the test that covers each class.  Run under the
// sanitizer build and valgrind, these also prove that nothing is read or
// written out of bounds and nothing leaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/read_handle.h"
#include "support/tiny_mp4.h"
#include "support/writer_session.h"

namespace {

// ---------------------------------------------------------------- helpers

struct Walk {
    int32_t open = 0;
    uint32_t samples = 0;    // handed out by MP4GetNextSample, both tracks
    uint32_t keyFrames = 0;  // handed out by MP4NextKeyFrame
    std::string printed;     // by the open and the reads
};

// Reads every byte of a block handed out and gives it back.
uint32_t Take(uint8_t **data, uint32_t size) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) sum += (*data)[i];
    MP4freeData(data);
    return sum;
}

// Opens a file and takes everything it offers, the way a player would.
Walk WalkFile(const std::string &path) {
    Walk walk;
    testing::internal::CaptureStdout();
    MP4_read_file *h = nullptr;
    walk.open = MP4FileOpen(&h, path.c_str());
    if (walk.open == 1) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        for (int32_t id : {h->videoTrackId, h->audioTrackId}) {
            // A sample that fails to read does not end the track: the
            // cursor has moved past it and the next one is tried.
            const uint32_t count = id >= 0 && id < MP4_READ_TRACK_SLOTS && h->tracks[id]
                                       ? h->tracks[id]->sampleCount
                                       : 0;
            for (uint32_t i = 0; i <= count; ++i) {
                if (MP4GetNextSample(h, id, &data, &size, &time) != 1) continue;
                Take(&data, size);
                ++walk.samples;
            }
            for (int32_t t : {-5, 0, 1, 1000, 1 << 30}) {
                if (GetSample(h, id, t, &data, &size) >= 0) Take(&data, size);
                if (SeekTrack(h, id, t, &data, &size) >= 0) Take(&data, size);
            }
        }
        GoToBeginOfKeyFrame(h, h->videoTrackId);
        while (MP4NextKeyFrame(h, h->videoTrackId, &data, &size) == 1) {
            Take(&data, size);
            ++walk.keyFrames;
        }
        while (MP4PrevKeyFrame(h, h->videoTrackId, &data, &size) == 1) Take(&data, size);
    }
    MP4FileClose(&h);
    std::free(h);
    walk.printed = testing::internal::GetCapturedStdout();
    return walk;
}

// Where boxes begin and end in a file, by a walk of its own over the
// containers that carry the tracks.
void BoxBoundaries(const Bytes &file, size_t from, size_t to, std::vector<size_t> *out) {
    static const std::pair<const char *, size_t> kContainers[] = {
        {"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8}, {"stbl", 8}, {"dinf", 8},
        {"edts", 8}, {"udta", 8}, {"stsd", 16}, {"dref", 16}, {"mp4v", 86}, {"mp4a", 36}};
    size_t at = from;
    while (at + 8 <= to) {
        const uint32_t size = BigEndian32(file, at);
        if (size < 8 || at + size > to) return;
        out->push_back(at);
        out->push_back(at + 8);
        for (const auto &c : kContainers)
            if (std::memcmp(&file[at + 4], c.first, 4) == 0 && size > c.second)
                BoxBoundaries(file, at + c.second, at + size, out);
        at += size;
        out->push_back(at);
    }
}

// A two-track file of the kind the reader's tests use: video samples of
// 8 + k bytes with key frames 1, 3, 5 in two chunks; four 4-byte audio
// samples.  `value` is written over the 32 bits at `at` in the video track's
// box `box` (mdhd, or a sample table), when one is named.
Bytes TwoTrackFile(const std::string &box = "", size_t at = 0, uint32_t value = 0) {
    TrackSpec v = VideoTrack(1, 6), a = AudioTrack(2, 4);
    v.stts = {{6, 1000}};
    v.stsc = {{1, 3}};
    v.sampleSize = 0;
    v.sizes = {8, 9, 10, 11, 12, 13};
    v.chunks = {0, 27};
    v.stss = {1, 3, 5};
    a.stts = {{4, 1024}};
    a.sampleSize = 4;
    a.chunks = {63};
    Bytes file = TinyMp4({v, a}, Zeros(63 + 16));
    if (box.empty()) return file;
    const BoxSpan span = FindBox(file, box == "mdhd" ? "moov/trak#0/mdia/mdhd" : StblPath(box));
    EXPECT_TRUE(span.found) << box;
    for (size_t i = 0; i < 4; ++i) file[span.at + at + i] = uint8_t(value >> (24 - 8 * i));
    return file;
}

// ---------------------------------------------------------------- truncations

TEST(Robustness, TruncationAtEveryBoxBoundary) {
    for (const char *name : {"av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4", "mp3.mp4"}) {
        SCOPED_TRACE(name);
        const Bytes whole = ReadFileBytes(Fixture(name));
        std::vector<size_t> cuts;
        BoxBoundaries(whole, 0, whole.size(), &cuts);
        ASSERT_GT(cuts.size(), 40u);
        const Walk full = WalkFile(Fixture(name));
        ASSERT_EQ(full.open, 1);
        for (size_t boundary : cuts) {
            for (size_t cut : {boundary, boundary + 1, boundary + 4}) {
                if (cut == 0 || cut >= whole.size()) continue;
                SCOPED_TRACE(cut);
                const std::string path =
                    WriteTemp("cut.mp4", Bytes(whole.begin(), whole.begin() + long(cut)));
                const Walk walk = WalkFile(path);
                // A cut file opens only while its moov is whole; it then
                // hands out no more samples than the whole file, only those
                // lying inside what is left.
                ASSERT_TRUE(walk.open == 1 || walk.open == -99);
                EXPECT_LE(walk.samples, full.samples);
                EXPECT_LE(walk.keyFrames, full.keyFrames);
            }
        }
    }
}

size_t CountNodes(const AtomNode *node) {
    size_t n = 0;
    for (; node != nullptr; node = node->next) n += 1 + CountNodes(node->firstChild);
    return n;
}

TEST(Robustness, ChildrenPastTheirParentsMakeABoundedTree) {
    // Found by fuzz_open: children that claim to run past their parents make
    // every ancestor scan the same bytes again, so a 15 KB file built a tree
    // of hundreds of thousands of nodes.  Below the top level a scan makes at
    // most a quarter as many nodes as the file has bytes, and 1024 more.
    const std::string path = Fixture("regress/open-children-past-their-parents");
    Root_atom root{};
    root.file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(root.file, nullptr);
    root.fileSize = uint32_t(ReadFileBytes(path).size());
    testing::internal::CaptureStdout();
    ReadAtomTree(&root);
    testing::internal::GetCapturedStdout();
    size_t nested = 0;
    for (const AtomNode *top = root.firstAtom; top != nullptr; top = top->next)
        nested += CountNodes(top->firstChild);
    EXPECT_LE(nested, root.fileSize / 4 + 1024);
    EXPECT_GT(nested, root.fileSize / 8);  // the same bytes read again
    FreeAtomTree(&root);
    std::fclose(root.file);
}

// ---------------------------------------------------------------- table counts

TEST(Robustness, TableCountsThatDisagreeWithTheTable) {
    // A count that does not fill its box exactly leaves the table unread; a
    // video track without its stts, stsz, stsc or stco has no samples, one
    // without its stss takes its key frames from the VOP coding type.
    const std::pair<std::string, uint32_t> cases[] = {
        {"stts", 0},          {"stts", 2},          {"stts", 0x7FFFFFFF}, {"stts", 0xFFFFFFFF},
        {"stsz", 7},          {"stsz", 0xFFFFFFFF}, {"stsz", 0},          {"stsc", 2},
        {"stsc", 0xFFFFFFFF}, {"stco", 3},          {"stco", 0xFFFFFFFF}, {"stss", 4},
        {"stss", 0xFFFFFFFF}};
    for (const auto &[box, count] : cases) {
        SCOPED_TRACE(box + " " + std::to_string(count));
        // The count follows the full box's header, in stsz the sample_size.
        const Walk walk =
            WalkFile(WriteTemp("counts.mp4", TwoTrackFile(box, box == "stsz" ? 16 : 12, count)));
        ASSERT_EQ(walk.open, 1);
        EXPECT_NE(walk.printed.find("error to read atom[" + box + "] data from file\n"),
                  std::string::npos)
            << walk.printed;
        EXPECT_EQ(walk.samples, (box == "stss" ? 6u : 0u) + 4);  // and the 4 of audio
    }
}

TEST(Robustness, SampleSizesAndOffsetsPastTheFile) {
    // A size or chunk offset that puts a sample past the end of the file:
    // the open succeeds and that sample fails to read (-1, cursor moved on).
    // A sample whose offset would pass 4 GiB ends the index there.
    struct Case {
        const char *box;
        uint32_t at, value;  // the field at `at` from the box's start, and its new value
        uint32_t samples;    // handed out, both tracks (4 audio)
    } cases[] = {
        // First video sample 4 GiB - 1 long: the next offset passes 4 GiB, so
        // the index holds that one sample, which cannot be read.
        {"stsz", 20, 0xFFFFFFFF, 4},
        // 2 GiB long: samples 0 to 2 lie past the end, the second chunk reads.
        {"stsz", 20, 0x7FFFFFFF, 7},
        // First chunk near 4 GiB: its second sample ends the index.
        {"stco", 16, 0xFFFFFFF0, 4},
        // Second chunk at 4 GiB - 1: the first chunk reads, the index ends.
        {"stco", 20, 0xFFFFFFFF, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.box) + " " + std::to_string(c.value));
        const Walk walk = WalkFile(WriteTemp("past.mp4", TwoTrackFile(c.box, c.at, c.value)));
        EXPECT_EQ(walk.open, 1);
        EXPECT_EQ(walk.samples, c.samples);
    }
}

TEST(Robustness, ZeroTimescales) {
    // mdhd timescale 0: every time above 0 is at or past timescale x count,
    // so it names the last sample (the last key frame for a seek); time 0
    // still names the first.
    OpenedFile f(WriteTemp("zero.mp4", TwoTrackFile("mdhd", 20, 0)));
    ASSERT_EQ(f.result, 1);
    EXPECT_EQ(f.handle->videoInfo.timescale, 0u);
    uint8_t *data = nullptr;
    uint32_t size = 0;
    // (seek or not, time asked, time answered, size of the sample handed out)
    for (const auto &[seek, time, answer, bytes] :
         {std::tuple{false, 0, 0, 8u}, {false, 1, 5000, 13u}, {true, 1, 4000, 12u}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ((seek ? SeekTrack : GetSample)(f.handle, 1, time, &data, &size), answer);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(size, bytes) << seek << time;
        MP4freeData(&data);
    }
}

// ---------------------------------------------------------------- paths

TEST(Robustness, PathsAtTheLengthLimitForEveryExportThatTakesOne) {
    // The reader's path buffer holds 255 characters with its NUL, so 256 are
    // refused even where the file exists; GetM4vHeaderSize keeps no path of
    // its own.  The writer's output path is limited to 254 (MP4FileNew), so
    // a 255-character output path is refused before anything is created.
    const std::string dir = TempDir();
    auto fileName = [&](size_t pathLength, const char *suffix) {
        return std::string(pathLength - dir.size() - 1 - std::strlen(suffix), 'q') + suffix;
    };
    const Bytes av = ReadFileBytes(Fixture("av.mp4")), m4v = ReadFileBytes(Fixture("video.m4v"));
    const std::string mp4_255 = WriteTemp(fileName(255, ".mp4"), av);
    const std::string mp4_256 = WriteTemp(fileName(256, ".mp4"), av);
    ASSERT_EQ(mp4_255.size(), 255u);
    EXPECT_EQ(WalkFile(mp4_255).open, 1);
    EXPECT_EQ(WalkFile(mp4_256).open, -99);
    FileInfo info{};
    Printed([&] {
        EXPECT_EQ(GetFileInfo(mp4_255.c_str(), &info), 1);
        EXPECT_EQ(info.videoWidth, 176u);
        EXPECT_EQ(GetFileInfo(mp4_256.c_str(), &info), -21);
    });
    uint32_t width = 0, height = 0;
    const int32_t header =
        GetM4vHeaderSize(WriteTemp(fileName(255, ".m4v"), m4v).c_str(), &width, &height);
    EXPECT_GT(header, 0);
    EXPECT_EQ(GetM4vHeaderSize(WriteTemp(fileName(256, ".m4v"), m4v).c_str(), &width, &height),
              header);

    testing::internal::CaptureStderr();
    for (size_t length : {254, 255}) {
        SCOPED_TRACE(length);
        const std::string out = dir + "/" + fileName(length, ".out");
        MP4_local_file *file = nullptr;
        EXPECT_EQ(MP4FileNew(&file, out.c_str()), length == 254 ? 1 : -99);
        EXPECT_EQ(FileExists(out), length == 254);
        if (file != nullptr) {
            EXPECT_EQ(MP4FileFlush(file), 1);
        }
    }
    testing::internal::GetCapturedStderr();
}

// ---------------------------------------------------------------- null pointers

TEST(Robustness, NullPointersOfTheReadingExports) {
    OpenedFile f(WriteTemp("null.mp4", TwoTrackFile()));
    ASSERT_EQ(f.result, 1);
    MP4_read_file *h = f.handle;
    uint8_t *data = nullptr;
    uint32_t size = 7, time = 7;
    // Each refusal leaves the cursors where they were and prints nothing.
    EXPECT_EQ(Printed([&] {
                  EXPECT_EQ(GetSample(h, 1, 0, nullptr, &size), -99);
                  EXPECT_EQ(GetSample(h, 1, 0, &data, nullptr), -99);
                  EXPECT_EQ(SeekTrack(h, 1, 0, nullptr, &size), -99);
                  EXPECT_EQ(SeekTrack(h, 2, 0, &data, nullptr), -99);
                  for (int32_t id : {1, 2}) {
                      EXPECT_EQ(MP4GetNextSample(h, id, nullptr, &size, &time), -1);
                      EXPECT_EQ(MP4GetNextSample(h, id, &data, nullptr, &time), -1);
                      EXPECT_EQ(MP4GetNextSample(h, id, &data, &size, nullptr), -1);
                  }
                  EXPECT_EQ(MP4NextKeyFrame(h, 1, nullptr, &size), -1);
                  EXPECT_EQ(MP4NextKeyFrame(h, 1, &data, nullptr), -1);
                  EXPECT_EQ(MP4PrevKeyFrame(h, 1, nullptr, &size), -1);
                  EXPECT_EQ(MP4PrevKeyFrame(h, 1, &data, nullptr), -1);
              }),
              "");
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(h->videoCursor, 0);
    EXPECT_EQ(h->audioCursor, 0);
    EXPECT_EQ(h->keyCursor, 0);
    // The first sample is still there to take.
    Printed([&] { EXPECT_EQ(MP4GetNextSample(h, 1, &data, &size, &time), 1); });
    EXPECT_EQ(size, 8u);
    MP4freeData(&data);
    // Handle pointers and paths.
    EXPECT_EQ(MP4FileOpen(nullptr, "x.mp4"), -99);
    MP4_read_file *none = nullptr;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(MP4FileOpen(&none, nullptr), -99); }),
              "file is [(null)]\nCan't open the file - (null) \n");
    EXPECT_EQ(MP4FileClose(&none), 1);
    std::free(none);
    EXPECT_EQ(MP4FileClose(nullptr), 1);
    EXPECT_EQ(MP4freeData(nullptr), 1);
}

TEST(Robustness, NullResultPointersOfTheConfigurationExports) {
    // Null width, height, header-size or size pointers are skipped: the
    // configuration is still handed out.
    OpenedFile f(Fixture("av.mp4"));
    ASSERT_EQ(f.result, 1);
    uint8_t video[200] = {}, again[200] = {};
    uint32_t width = 0, height = 0, headerSize = 0;
    ASSERT_EQ(GetM4vEsdsData(f.handle, video, &width, &height, &headerSize), 1);
    EXPECT_EQ(GetM4vEsdsData(f.handle, again, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(std::memcmp(video, again, headerSize), 0);
    uint8_t audio[80] = {};
    EXPECT_EQ(GetM4aEsdsData(f.handle, audio, nullptr), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(audio) + 4, 4), "esds");
    EXPECT_EQ(GetM4vHeaderSize(Fixture("video.m4v").c_str(), nullptr, nullptr),
              GetM4vHeaderSize(Fixture("video.m4v").c_str(), &width, &height));
}

TEST(Robustness, EmptyStreamsForTheRemultiplexing) {
    // Found by fuzz_remux: an empty ADTS file had its (addressless) bytes
    // copied before its size was checked.
    const std::string empty = WriteTemp("empty.aac", {}), out = TempDir() + "/out.mp4";
    EXPECT_EQ(Mp4AddAudio(Fixture("video.mp4").c_str(), empty.c_str(), out.c_str()), -31);
    EXPECT_EQ(Mp4AddVideo(Fixture("audio.mp4").c_str(), empty.c_str(), out.c_str(), 25.0f), -31);
    EXPECT_FALSE(FileExists(out));
}

// ---------------------------------------------------------------- writer

TEST(Robustness, VideoFramesBeforeTheFirstKeyFrameBelongToNoChunk) {
    // Chunks begin at key frames; the frames before the first one are in the
    // temporary data but no chunk names them.  Nothing is read out of bounds
    // when such a file is read back.
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    s.VideoFrames({0, 40, 80, 120, 160, 200}, {16, 3, 40, 1, 7, 21},
                  {false, false, true, false, true, false});
    const Bytes file = s.Flush();
    EXPECT_EQ(BoxAt(file, StblPath("stsc")),
              FullBox("stsc", 0, Cat({U32(2), U32(1), U32(2), U32(1), U32(2), U32(2), U32(1)})));
    EXPECT_EQ(BigEndian32(BoxAt(file, StblPath("stco")), 12), 2u);  // the chunks of samples 2 and 4
    const Walk walk = WalkFile(s.out);
    EXPECT_EQ(walk.open, 1);
    EXPECT_LE(walk.samples, 6u);
}

TEST(Robustness, NullPointersOfTheWritingExports) {
    // (A null handle of AddVideoFrame, AddAudioFrame and MP4FileFlush: see
    // WriterFrames.Diagnostics, with the messages.)
    testing::internal::CaptureStderr();
    EXPECT_EQ(MP4FileNew(nullptr, (TempDir() + "/a.mp4").c_str()), -99);
    EXPECT_FALSE(FileExists(TempDir() + "/a.mp4"));
    MP4_local_file *file = nullptr;
    EXPECT_EQ(MP4FileNew(&file, nullptr), -99);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(CreateTrack(nullptr, 1, 176, 144, 25, 1000, 0, 0, 0, 0, 0, nullptr, "t", 1), -99);

    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.Audio(), 1);
    // A configuration length with no bytes: refused for a track that keeps
    // its configuration, not looked at for one that keeps none.
    EXPECT_EQ(CreateTrack(s.file, 2, 0, 0, 0, 1000, 0, 0, 0, 0, 5, nullptr, nullptr, 1), -99);
    EXPECT_EQ(CreateTrack(s.file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 5, nullptr, nullptr, 1), 1);
    testing::internal::GetCapturedStderr();
    // Frame bytes: a size with none fails the write, after the frame has
    // been entered and counted.
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddVideoFrame(s.file, 4, nullptr, 0, 1), -99);
    EXPECT_EQ(AddVideoFrame(s.file, 2, reinterpret_cast<const uint8_t *>("ab"), 40, 0), 1);
    EXPECT_EQ(AddAudioFrame(s.file, 4, nullptr, 0), -99);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "the size of data written to temp video file is error!\n"
              "the size of data written to temp audio file is error!\n");
    EXPECT_EQ(s.file->videoSampleTotal, 2u);
    EXPECT_EQ(s.file->videoBytes, 6u);
    EXPECT_EQ(s.file->audioSampleTotal, 1u);
    EXPECT_EQ(s.file->audioBytes, 4u);
    testing::internal::CaptureStdout();
    const Bytes flushed = s.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error in video tempfile!\nerror in audio tempfile!\n");
    EXPECT_EQ(BoxAt(flushed, StblPath("stsz")), FullBox("stsz", 0, Cat({U32(0), U32(2), U32(4), U32(2)})));
    // The temporary file holds "ab" alone, copied as it is to where the
    // tables have the first frame's 4 missing bytes.
    const size_t data = FindBox(flushed, "mdat").at + 8;
    EXPECT_EQ(BoxAt(flushed, StblPath("stco")), FullBox("stco", 0, Cat({U32(1), U32(uint32_t(data))})));
    EXPECT_EQ(Bytes(flushed.begin() + long(data), flushed.begin() + long(data) + 2), Str("ab"));
    // Reading such a file back reads nothing out of bounds.
    WalkFile(s.out);

    // One empty frame needs no bytes: stsz sample_size 0 without a table,
    // which the reader takes for a table it cannot read; the track then has
    // no samples.
    WriterSession e;
    ASSERT_EQ(e.Video(), 1);
    EXPECT_EQ(AddVideoFrame(e.file, 0, nullptr, 0, 1), 1);
    e.Flush();
    const Walk empty = WalkFile(e.out);
    EXPECT_EQ(empty.open, 1);
    EXPECT_EQ(empty.samples, 0u);

    // A track whose temporary file is missing (null name, or one that could
    // not be created): every write fails, even of an empty frame, but the
    // frames are entered; the flush reports the missing file and writes no
    // media data for it, while mdat counts the bytes entered.
    const std::string missing = TempDir() + "/missing/tempv.v";
    for (const char *name : {static_cast<const char *>(nullptr), missing.c_str()}) {
        WriterSession t;
        testing::internal::CaptureStderr();
        ASSERT_EQ(CreateTrack(t.file, 1, 176, 144, 25, 1000, 0, 0, 0, 0, 0, nullptr, name, 1), 1);
        EXPECT_EQ(AddVideoFrame(t.file, 4, reinterpret_cast<const uint8_t *>("abcd"), 0, 1), -99);
        EXPECT_EQ(AddVideoFrame(t.file, 0, nullptr, 40, 0), -99);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "the size of data written to temp video file is error!\n"
                  "the size of data written to temp video file is error!\n");
        EXPECT_EQ(t.file->videoSampleTotal, 2u);
        testing::internal::CaptureStdout();
        const Bytes written = t.Flush();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't reopen video tempfile!\n");
        const BoxSpan mdat = FindBox(written, "mdat");
        EXPECT_EQ(written.size(), mdat.at + 8);  // the header only
        EXPECT_EQ(mdat.size, 8u + 4);
        EXPECT_EQ(BoxAt(written, StblPath("stsz")), FullBox("stsz", 0, Cat({U32(0), U32(2), U32(4), U32(0)})));
    }
}

}  // namespace
