// Bad input the reader and the writer are handed, and what each gives:
// tables that disagree with their counts or point past the file, a zero
// timescale, boxes that claim to run past their parents, and null pointers
// for every pointer argument of the exports.  Hostile paths and streams are
// rows of path_table.txt; the inputs the fuzz targets found, and the
// fixtures cut at every box boundary, are replayed by regress_test.cpp.
// Run under the sanitizers and valgrind, these also show that nothing is
// read or written out of bounds and nothing leaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/read_handle.h"
#include "support/tiny_mp4.h"
#include "support/writer_session.h"

namespace {

// A two-track file: video samples of 8 to 13 bytes with key frames 1, 3 and
// 5, in two chunks; four 4-byte audio samples.  `value` is written over the
// 32 bits at `at` in the video track's box `box` (mdhd or a sample table).
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

// Opens a file and takes every sample of both tracks in order (a sample that
// fails to read does not end its track: the cursor has moved past it).
// Gives the samples handed out and what was printed.
std::pair<uint32_t, std::string> TakeEverySample(const std::string &path) {
    OpenedFile f(path);
    EXPECT_EQ(f.result, 1);
    uint32_t samples = 0;
    const std::string printed = Printed([&] {
        for (const int32_t id : {f.handle->videoTrackId, f.handle->audioTrackId}) {
            for (uint32_t i = 0; f.handle->tracks[id] != nullptr && i <= f.handle->tracks[id]->sampleCount; ++i) {
                uint8_t *data = nullptr;
                uint32_t size = 0, time = 0;
                samples += MP4GetNextSample(f.handle, id, &data, &size, &time) == 1;
                MP4freeData(&data);
            }
        }
    });
    return {samples, f.output + printed};
}

TEST(Robustness, TablesThatDisagreeWithTheFile) {
    // A count (after the full box's header; in stsz after sample_size) that
    // does not fill its box exactly leaves the table unread, with a message:
    // a video track without its stts, stsz, stsc or stco has no samples, one
    // without its stss takes its key frames from the VOP coding type.  A
    // sample size or chunk offset past the end of the file: the open succeeds
    // and that sample fails to read; a sample whose offset would pass 4 GiB
    // ends the index.  (The samples handed out count the 4 of audio.)
    const struct {
        const char *box;
        size_t at;
        uint32_t value, samples;
    } cases[] = {
        {"stts", 12, 0, 4},          {"stts", 12, 2, 4},          {"stts", 12, 0x7FFFFFFF, 4},
        {"stts", 12, 0xFFFFFFFF, 4}, {"stsz", 16, 7, 4},          {"stsz", 16, 0xFFFFFFFF, 4},
        {"stsz", 16, 0, 4},          {"stsc", 12, 2, 4},          {"stsc", 12, 0xFFFFFFFF, 4},
        {"stco", 12, 3, 4},          {"stco", 12, 0xFFFFFFFF, 4}, {"stss", 12, 4, 10},
        {"stss", 12, 0xFFFFFFFF, 10},
        {"stsz", 20, 0xFFFFFFFF, 4},  // first sample 4 GiB - 1 long: the next offset passes 4 GiB
        {"stsz", 20, 0x7FFFFFFF, 7},  // 2 GiB long: samples 1 to 3 lie past the end
        {"stco", 16, 0xFFFFFFF0, 4},  // first chunk near 4 GiB: its second sample ends the index
        {"stco", 20, 0xFFFFFFFF, 7},  // second chunk at 4 GiB - 1: the first chunk reads
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.box) + " " + std::to_string(c.at) + " " + std::to_string(c.value));
        const auto [samples, printed] = TakeEverySample(WriteTemp("tables.mp4", TwoTrackFile(c.box, c.at, c.value)));
        EXPECT_EQ(samples, c.samples);
        const bool count = c.at == (std::string(c.box) == "stsz" ? 16 : 12);
        EXPECT_EQ(printed.find("error to read atom[" + std::string(c.box) + "] data from file\n") != std::string::npos,
                  count) << printed;
    }
}

TEST(Robustness, ZeroTimescale) {
    // Every time above 0 is at or past timescale x count: it names the last
    // sample (the last key frame for a seek); time 0 still names the first.
    OpenedFile f(WriteTemp("zero.mp4", TwoTrackFile("mdhd", 20, 0)));
    ASSERT_EQ(f.result, 1);
    // (seek or not, time asked, time answered, size of the sample handed out)
    for (const auto &[seek, time, answer, bytes] :
         {std::tuple{false, 0, 0, 8u}, {false, 1, 5000, 13u}, {true, 1, 4000, 12u}}) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ((seek ? SeekTrack : GetSample)(f.handle, 1, time, &data, &size), answer);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(size, bytes) << seek << time;
        MP4freeData(&data);
    }
}

size_t CountNodes(const AtomNode *node) {
    size_t n = 0;
    for (; node != nullptr; node = node->next) n += 1 + CountNodes(node->firstChild);
    return n;
}

TEST(Robustness, ChildrenPastTheirParentsMakeABoundedTree) {
    // Found by fuzz_open: children that claim to run past their parents made
    // every ancestor scan the same bytes again, so a 15 KB file built a tree
    // of hundreds of thousands of nodes.  Below the top level a scan makes at
    // most a quarter as many nodes as the file has bytes, and 1024 more.
    const std::string path = Fixture("regress/open-children-past-their-parents");
    Root_atom root{};
    root.file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(root.file, nullptr);
    root.fileSize = uint32_t(ReadFileBytes(path).size());
    Printed([&] { ReadAtomTree(&root); });
    size_t nested = 0;
    for (const AtomNode *top = root.firstAtom; top != nullptr; top = top->next) nested += CountNodes(top->firstChild);
    EXPECT_LE(nested, root.fileSize / 4 + 1024);
    EXPECT_GT(nested, root.fileSize / 8);  // the same bytes are read again
    FreeAtomTree(&root);
    std::fclose(root.file);
}

TEST(Robustness, NullPointersOfTheReadingExports) {
    OpenedFile f(WriteTemp("null.mp4", TwoTrackFile()));
    ASSERT_EQ(f.result, 1);
    MP4_read_file *h = f.handle;
    uint8_t *data = nullptr;
    uint32_t size = 7, time = 7;
    // Each refusal prints nothing and leaves the cursors where they were.
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
    Printed([&] { EXPECT_EQ(MP4GetNextSample(h, 1, &data, &size, &time), 1); });  // still the first
    EXPECT_EQ(size, 8u);
    MP4freeData(&data);
    // Handles and paths.
    EXPECT_EQ(MP4FileOpen(nullptr, "x.mp4"), -99);
    MP4_read_file *none = nullptr;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(MP4FileOpen(&none, nullptr), -99); }),
              "file is [(null)]\nCan't open the file - (null) \n");
    EXPECT_EQ(MP4FileClose(&none), 1);
    std::free(none);
    EXPECT_EQ(MP4FileClose(nullptr), 1);
    EXPECT_EQ(MP4freeData(nullptr), 1);
    // Null width, height, header-size or size pointers are skipped: the
    // configuration is still handed out.
    OpenedFile av(Fixture("av.mp4"));
    uint8_t video[200] = {}, again[200] = {}, audio[80] = {};
    uint32_t width = 0, height = 0, headerSize = 0;
    ASSERT_EQ(GetM4vEsdsData(av.handle, video, &width, &height, &headerSize), 1);
    EXPECT_EQ(GetM4vEsdsData(av.handle, again, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(std::memcmp(video, again, headerSize), 0);
    EXPECT_EQ(GetM4aEsdsData(av.handle, audio, nullptr), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(audio) + 4, 4), "esds");
    EXPECT_EQ(GetM4vHeaderSize(Fixture("video.m4v").c_str(), nullptr, nullptr),
              GetM4vHeaderSize(Fixture("video.m4v").c_str(), &width, &height));
}

TEST(Robustness, NullPointersOfTheWritingExports) {
    // A null handle variable (nothing created), path or handle.  (A null
    // handle of AddVideoFrame, AddAudioFrame, MP4FileFlush: WriterFrames.)
    testing::internal::CaptureStderr();
    EXPECT_EQ(MP4FileNew(nullptr, (TempDir() + "/a.mp4").c_str()), -99);
    EXPECT_FALSE(FileExists(TempDir() + "/a.mp4"));
    MP4_local_file *none = nullptr;
    EXPECT_EQ(MP4FileNew(&none, nullptr), -99);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(CreateTrack(nullptr, 1, 176, 144, 25, 1000, 0, 0, 0, 0, 0, nullptr, "t", 1), -99);
    // (A configuration length with no bytes: WriterCreateTrack.Refusals.)
    // Frame bytes: a size with none, or a track without a temporary file
    // (a null name): the frame is entered and counted, then its write fails.
    // An empty frame needs no bytes.
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(CreateTrack(s.file, 2, 0, 0, 0, 44100, 0, 1, 2, 44100, 0, nullptr, nullptr, 1), 1);
    testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddVideoFrame(s.file, 4, nullptr, 0, 1), -99);
    EXPECT_EQ(AddVideoFrame(s.file, 0, nullptr, 40, 0), 1);
    EXPECT_EQ(AddAudioFrame(s.file, 0, nullptr, 0), -99);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "the size of data written to temp video file is error!\n"
              "the size of data written to temp audio file is error!\n");
    EXPECT_EQ(s.file->videoSampleTotal, 2u);
    EXPECT_EQ(s.file->audioSampleTotal, 1u);
    testing::internal::CaptureStdout();
    const Bytes flushed = s.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error in video tempfile!\nCan't reopen audio tempfile!\n");
    EXPECT_EQ(BoxAt(flushed, StblPath("stsz")), FullBox("stsz", 0, Cat({U32(0), U32(2), U32(4), U32(0)})));
    // A track whose frames are all empty: stsz with sample_size 0 and no
    // table, which the reader takes for a table it cannot read.
    WriterSession e;
    ASSERT_EQ(e.Video(), 1);
    EXPECT_EQ(AddVideoFrame(e.file, 0, nullptr, 0, 1), 1);
    e.Flush();
    EXPECT_EQ(TakeEverySample(e.out).first, 0u);
}

}  // namespace
