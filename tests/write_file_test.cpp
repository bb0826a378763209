// Writing files through the exports: the new file and its tracks, adding
// frames, the movie atoms, the layout of the output and the diagnostics.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/writer_session.h"
#include "write/write.h"

namespace {

std::vector<std::string> DepthFirstTypes(const AtomNode *node) {
    std::vector<std::string> out;
    for (; node != nullptr; node = node->next) {
        out.push_back(node->type);
        for (const std::string &t : DepthFirstTypes(node->firstChild)) out.push_back(t);
    }
    return out;
}

std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        const size_t comma = text.find(',', at);
        out.push_back(text.substr(at, comma - at));
        at = comma == std::string::npos ? text.size() : comma + 1;
    }
    return out;
}

TEST(WriterNewFile, TopLevelAtomsAndRecords) {
    WriterSession s;
    ASSERT_NE(s.file, nullptr);
    EXPECT_EQ(s.file->nextTrackId, 1u);
    EXPECT_EQ(DepthFirstTypes(s.file->root->firstAtom), Split("ftyp,moov,mvhd,iods,mdat"));
    for (AtomNode *a = s.file->root->firstAtom; a != nullptr; a = a->next) {
        EXPECT_NE(a->realStructure, nullptr) << a->type;
        EXPECT_EQ(a->parent, nullptr);
    }
}

TEST(WriterNewFile, RefusesPathsItCannotHold) {
    MP4_local_file *file = reinterpret_cast<MP4_local_file *>(1);
    const std::string tooLong = TempDir() + "/" + std::string(255, 'x');
    for (const std::string &path : {tooLong, TempDir() + "/missing/out.mp4"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(MP4FileNew(&file, path.c_str()), -99);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Can not create new file in MP4FileNew(...) \n");
        EXPECT_EQ(file, nullptr);
    }
}

TEST(WriterNewFile, TrackTemplates) {
    struct Case {
        uint32_t type, codec;
        std::string atoms;
    };
    const Case cases[] = {
        {1, 1, "trak,tkhd,mdia,mdhd,hdlr,minf,vmhd,dinf,dref,url ,stbl,stsd,mp4v,esds,stts,stsz,stsc,stco,stss"},
        {1, 2, "trak,tkhd,mdia,mdhd,hdlr,minf,vmhd,dinf,dref,url ,stbl,stsd,s263,d263,stts,stsz,stsc,stco,stss"},
        {2, 1, "trak,tkhd,mdia,mdhd,hdlr,minf,smhd,dinf,dref,url ,stbl,stsd,mp4a,esds,stts,stsz,stsc,stco"},
        {2, 2, "trak,tkhd,mdia,mdhd,hdlr,minf,smhd,dinf,dref,url ,stbl,stsd,samr,damr,stts,stsz,stsc,stco"},
        {4, 9, "trak,tkhd,tref,mpod,mdia,mdhd,hdlr,minf,nmhd,dinf,dref,url ,stbl,stsd,mp4s,esds,stts,stsz,stsc,stco"},
        {5, 9, "trak,tkhd,mdia,mdhd,hdlr,minf,nmhd,dinf,dref,url ,stbl,stsd,mp4s,esds,stts,stsz,stsc,stco"},
    };
    for (const Case &c : cases) {
        AtomNode *trak = nullptr;
        ASSERT_EQ(BuildTrackSubtree(&trak, c.type, c.codec), 1);
        EXPECT_EQ(DepthFirstTypes(trak), Split(c.atoms)) << c.type << "/" << c.codec;
        FreeAtomNode(trak);
    }
    AtomNode *trak = reinterpret_cast<AtomNode *>(1);
    EXPECT_EQ(BuildTrackSubtree(&trak, 1, 3), -99);
    EXPECT_EQ(BuildTrackSubtree(&trak, 2, 0), -99);
    EXPECT_EQ(trak, nullptr);
}

TEST(WriterCreateTrack, UnsupportedTypeChangesNothing) {
    WriterSession s;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CreateTrack(s.file, 3, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1), -99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unsupport track type\n");
    EXPECT_EQ(s.file->nextTrackId, 1u);
    EXPECT_EQ(s.Video(), 1);
    EXPECT_EQ(s.Audio(), 1);
    EXPECT_EQ(s.file->VideoTrackNode->trackId, 1u);
    EXPECT_EQ(s.file->AudioTrackNode->trackId, 2u);
    EXPECT_EQ(s.file->nextTrackId, 3u);
}

// Parameters a file could not carry are refused before any id is used.
TEST(WriterCreateTrack, Refusals) {
    struct Case {
        const char *what;
        uint32_t type;
        uint16_t width;
        uint32_t timescale, profile, channels, frequency, configLength, codec;
        const char *message;
    };
    const Case cases[] = {
        {"video timescale 0", 1, 176, 0, 0, 0, 0, 0, 1,
         "A timescale of 0 is refused in CreateTrack(...) \n"},
        {"audio timescale 0", 2, 0, 0, 1, 2, 44100, 0, 1,
         "A timescale of 0 is refused in CreateTrack(...) \n"},
        {"configuration of 53 bytes", 2, 0, 44100, 0, 0, 0, 53, 1,
         "The decoder configuration is too long in CreateTrack(...) \n"},
        {"width 8192 without configuration", 1, 8192, 1000, 0, 0, 0, 0, 1,
         "The frame size does not fit the video object layer in CreateTrack(...) \n"},
        {"rate without index", 2, 0, 44000, 1, 2, 44000, 0, 1,
         "The sampling frequency has no AAC index in CreateTrack(...) \n"},
    };
    const Bytes config(60, 0x11);
    for (const Case &c : cases) {
        WriterSession s;
        testing::internal::CaptureStderr();
        EXPECT_EQ(CreateTrack(s.file, c.type, c.width, 144, 1000, c.timescale, 0, c.profile,
                              c.channels, c.frequency, c.configLength, config.data(),
                              s.tempv.c_str(), c.codec),
                  -99)
            << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << c.what;
        EXPECT_EQ(s.file->nextTrackId, 1u) << c.what;
        EXPECT_EQ(s.file->VideoTrackNode, nullptr);
        EXPECT_EQ(s.file->AudioTrackNode, nullptr);
    }
    // With a configuration the frame size is not packed into 13-bit fields.
    WriterSession s;
    EXPECT_EQ(s.Video(Bytes{0, 0, 1, 0xB0, 1}, 1, 8192, 8192), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(s.Video(), -99);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The file already has a track of this type in CreateTrack(...) \n");
}

TEST(WriterCreateTrack, KeepsA52ByteConfigurationWhole) {
    WriterSession s;
    Bytes config(52);
    for (size_t i = 0; i < config.size(); ++i) config[i] = uint8_t(i + 1);
    ASSERT_EQ(s.Audio(0, 0, 0, config), 1);
    const TrackNode *audio = s.file->AudioTrackNode;
    EXPECT_EQ(audio->decoderConfigLength, 52u);
    EXPECT_EQ(Bytes(audio->decoderConfig, audio->decoderConfig + 52), config);
    EXPECT_EQ(audio->audioTrackRef, audio->trackId);
    EXPECT_EQ(audio->capacity, 2000u);
}

TEST(WriterCreateTrack, SystemsSampleSizeFollowsMediaTracks) {
    struct Case {
        bool video, audio;
        uint32_t od, scene;
    };
    for (const Case &c : {Case{true, true, 33, 16}, Case{true, false, 10, 38},
                          Case{false, true, 10, 17}, Case{false, false, 10, 0}}) {
        WriterSession s;
        if (c.video) {
            ASSERT_EQ(s.Video(), 1);
        }
        if (c.audio) {
            ASSERT_EQ(s.Audio(), 1);
        }
        ASSERT_EQ(s.ObjectDescriptor(), 1);
        ASSERT_EQ(s.Scene(), 1);
        for (const TrackNode *t : {s.file->odTrackNode, s.file->sceneTrackNode}) {
            EXPECT_EQ(t->capacity, 100u);
            EXPECT_EQ(t->sampleCount, 1u);
            EXPECT_EQ(t->keyFrameCount, 1u);
            EXPECT_EQ(t->samples[0].size, t == s.file->odTrackNode ? c.od : c.scene);
        }
    }
}

// ------------------------------------------------ frames

TEST(WriterFrames, EntriesBlocksAndKeyFlags) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    std::vector<uint32_t> times;
    for (uint32_t i = 0; i < 2000; ++i) times.push_back(i * 40);
    s.VideoFrames(times, {5, 7}, {true, false, false, false});
    const TrackNode *first = s.file->VideoTrackNode;
    ASSERT_NE(first->nextBlock, nullptr);
    const TrackNode *second = first->nextBlock;
    EXPECT_EQ(first->sampleCount, 2000u);
    EXPECT_EQ(first->keyFrameCount, 500u);
    EXPECT_EQ(second->firstSample, 2000u);
    EXPECT_EQ(second->sampleCount, 0u);
    EXPECT_EQ(second->firstKeyFrame, 500u);
    EXPECT_EQ(second->trakAtom, first->trakAtom);
    // Offsets are running sums of the sizes.
    EXPECT_EQ(first->samples[0].offset, 0u);
    EXPECT_EQ(first->samples[1].offset, 5u);
    EXPECT_EQ(first->samples[2].offset, 12u);
    EXPECT_EQ(first->keyFrames[1].sampleNumber, 4u);
    const Bytes frame(9, 1);
    EXPECT_EQ(AddVideoFrame(s.file, 9, frame.data(), 80000, 2), 1);  // flag 2: not a key frame
    EXPECT_EQ(second->sampleCount, 1u);
    EXPECT_EQ(second->keyFrameCount, 0u);
    EXPECT_EQ(second->samples[0].offset, 12000u);
    EXPECT_EQ(s.file->videoBytes, 12009u);
}

// The first block keeps the chain's last block, so frames go to the end of a
// long chain without walking it: every block gets its own run of frames.
TEST(WriterFrames, LongChainKeepsItsLastBlock) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    const uint32_t frames = 7001;
    const Bytes frame(3, 1);
    for (uint32_t i = 0; i < frames; ++i)
        ASSERT_EQ(AddVideoFrame(s.file, 3, frame.data(), i * 40, i % 10 == 0 ? 1 : 0), 1);
    const TrackNode *first = s.file->VideoTrackNode;
    const TrackNode *walked = first;
    uint32_t blocks = 1;
    for (; walked->nextBlock != nullptr; walked = walked->nextBlock) {
        const TrackNode *next = walked->nextBlock;
        EXPECT_EQ(next->firstSample, walked->firstSample + walked->sampleCount);
        EXPECT_EQ(next->firstKeyFrame, walked->firstKeyFrame + walked->keyFrameCount);
        ++blocks;
    }
    EXPECT_EQ(blocks, 4u);
    EXPECT_EQ(first->lastBlock, walked);
    EXPECT_EQ(walked->firstSample, 6000u);
    EXPECT_EQ(walked->sampleCount, 1001u);
    EXPECT_EQ(walked->samples[1000].offset, 7000u * 3);
    EXPECT_EQ(walked->keyFrames[100].sampleNumber, 7000u);
}

TEST(WriterFrames, VideoBitrateWindows) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    const Bytes frame(100, 0);
    const TrackNode *v = s.file->VideoTrackNode;
    ASSERT_EQ(AddVideoFrame(s.file, 100, frame.data(), 0, 1), 1);
    EXPECT_EQ(v->avgBitrate, 0u);  // a frame at time 0 leaves the rates alone
    EXPECT_EQ(v->maxBitrate, 0u);
    for (uint32_t t : {500u, 1000u}) ASSERT_EQ(AddVideoFrame(s.file, 100, frame.data(), t, 0), 1);
    EXPECT_EQ(v->windowBytes, 300);  // 1.0 s still belongs to window 0
    EXPECT_EQ(v->maxBitrate, 0u);
    ASSERT_EQ(AddVideoFrame(s.file, 100, frame.data(), 1500, 0), 1);
    EXPECT_EQ(v->maxWindowBytes, 300);
    EXPECT_EQ(v->maxBitrate, 2400u);
    EXPECT_EQ(v->avgBitrate, uint32_t(3200 / 1.5f));
}

TEST(WriterFrames, AudioBitrateInWholeSeconds) {
    WriterSession s;
    testing::internal::CaptureStderr();
    ASSERT_EQ(s.Audio(1, 2, 1000, {}, 1, 1000), -99);  // 1000 Hz has no index
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(s.Audio(1, 2, 8000, {}, 1, 1000), 1);
    const Bytes frame(50, 0);
    const TrackNode *a = s.file->AudioTrackNode;
    for (uint32_t t : {0u, 400u, 999u}) ASSERT_EQ(AddAudioFrame(s.file, 50, frame.data(), t), 1);
    EXPECT_EQ(a->avgBitrate, 0u);
    EXPECT_EQ(a->maxBitrate, 0u);
    ASSERT_EQ(AddAudioFrame(s.file, 50, frame.data(), 2500), 1);
    EXPECT_EQ(a->avgBitrate, 200u * 8 / 2);
    EXPECT_EQ(a->maxBitrate, 150u * 8);
}

TEST(WriterFrames, Diagnostics) {
    const Bytes frame(4, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddVideoFrame(nullptr, 4, frame.data(), 0, 1), -99);
    EXPECT_EQ(AddAudioFrame(nullptr, 4, frame.data(), 0), -99);
    EXPECT_EQ(MP4FileFlush(nullptr), -99);
    {
        WriterSession s;
        EXPECT_EQ(AddVideoFrame(s.file, 4, frame.data(), 0, 1), -99);
        EXPECT_EQ(AddAudioFrame(s.file, 4, frame.data(), 0), -99);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "the input parameter for MP4_local_file is empty\n"
              "the input parameter for MP4_local_file is empty\n"
              "the input localfile is empty!\n"
              "there is no VideoTrackNode in the input MP4_local_file\n"
              "there is no AudioTrackNode in the input MP4_local_file\n");
}

// A temporary file that could not be created: every frame's write fails,
// and the flush writes no media data for that track and removes nothing.
TEST(WriterFrames, TemporaryFileThatCouldNotBeCreated) {
    WriterSession s;
    s.tempv = s.dir + "/missing/tempv.v";
    ASSERT_EQ(s.Video(), 1);
    const Bytes frame(4, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddVideoFrame(s.file, 4, frame.data(), 0, 1), -99);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "the size of data written to temp video file is error!\n");
    testing::internal::CaptureStdout();
    const Bytes file = s.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't reopen video tempfile!\n");
    const BoxSpan mdat = FindBox(file, "mdat");
    EXPECT_EQ(file.size(), mdat.at + 8);  // the header only
}

TEST(WriterFrames, TemporaryFileOfWrongSizeIsReported) {
    WriterSession s;
    ASSERT_EQ(s.Audio(), 1);
    s.AudioFrames({0, 1024}, {10});
    ASSERT_EQ(std::fflush(s.file->audioTempFile), 0);
    ASSERT_EQ(truncate(s.tempa.c_str(), 15), 0);
    testing::internal::CaptureStdout();
    const Bytes file = s.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error in audio tempfile!\n");
    EXPECT_EQ(file.size(), FindBox(file, "mdat").at + 8 + 15);
}

// ------------------------------------------------ movie atoms and layout

Bytes Tail(const Bytes &file, size_t n) { return Bytes(file.end() - long(n), file.end()); }

TEST(WriterLayout, FourTracks) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.Audio(), 1);
    ASSERT_EQ(s.ObjectDescriptor(), 1);
    ASSERT_EQ(s.Scene(), 1);
    s.VideoFrames({0, 40, 80}, {300, 400, 300}, {true, false, false});
    s.AudioFrames({0, 1024}, {250});
    const Bytes file = s.Flush();
    EXPECT_FALSE(FileExists(s.tempv));
    EXPECT_FALSE(FileExists(s.tempa));

    EXPECT_EQ(Bytes(file.begin(), file.begin() + 20),
              Cat({U32(20), Str("ftyp3gp4"), U32(512), Str("3gp4")}));
    const BoxSpan moov = FindBox(file, "moov");
    ASSERT_EQ(moov.at, 20u);
    const uint32_t dataStart = uint32_t(20 + moov.size + 8);
    const BoxSpan mdat = FindBox(file, "mdat");
    EXPECT_EQ(mdat.at, 20 + moov.size);
    EXPECT_EQ(mdat.size, 8u + 1000 + 500);
    ASSERT_EQ(file.size(), dataStart + 1000 + 500 + 33 + 16);
    // Video frames, then audio frames, each as added.
    EXPECT_EQ(Bytes(file.begin() + dataStart, file.begin() + dataStart + 1000),
              Cat({FrameBytes(0, 300), FrameBytes(1, 400), FrameBytes(2, 300)}));
    EXPECT_EQ(Bytes(file.begin() + dataStart + 1000, file.begin() + dataStart + 1500),
              Cat({FrameBytes(0, 250), FrameBytes(1, 250)}));
    EXPECT_EQ(Tail(file, 49),
              Cat({{0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80, 0x09, 0x05, 0x1F, 0x0F,
                    0x80, 0x80, 0x80, 0x02, 0x00, 0x01, 0x11, 0x80, 0x80, 0x80, 0x09, 0x02, 0x9F,
                    0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x02},
                   {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x72, 0x61, 0x04, 0x88, 0x50, 0x45,
                    0x05, 0x3F, 0x00}}));
    // Chunk offsets point at the data of each track.
    const uint32_t expectedFirstChunk[4] = {dataStart, dataStart + 1000, dataStart + 1500,
                                            dataStart + 1533};
    for (int t = 0; t < 4; ++t) {
        const Bytes stco = BoxBytes(
            file, FindBox(file, "moov/trak#" + std::to_string(t) + "/mdia/minf/stbl/stco"));
        EXPECT_EQ(BigEndian32(stco, 16), expectedFirstChunk[t]) << t;
    }
    EXPECT_EQ(BoxBytes(file, FindBox(file, "moov/iods")),
              Cat({U32(42), Str("iods"), U32(0), {0x10, 0x80, 0x80, 0x80, 0x19, 0x00, 0x4F, 0xFF,
                                                  0xFF, 0x0F, 0x01, 0xFF},
                   {0x0E, 0x80, 0x80, 0x80, 0x04}, U32(3), {0x0E, 0x80, 0x80, 0x80, 0x04}, U32(4)}));
    const Bytes mvhd = BoxBytes(file, FindBox(file, "moov/mvhd"));
    EXPECT_EQ(BigEndian32(mvhd, 20), 1000u);  // the video track's timescale
    EXPECT_EQ(BigEndian32(mvhd, 24), 120u);   // and duration
    EXPECT_EQ(BigEndian32(mvhd, 104), 5u);
    const Bytes audioMdhd = BoxBytes(file, FindBox(file, "moov/trak#1/mdia/mdhd"));
    EXPECT_EQ(BigEndian32(audioMdhd, 20), 44100u);
    EXPECT_EQ(BigEndian32(audioMdhd, 24), 2048u);
}

TEST(WriterLayout, VideoOnlyEndsWithItsUnits) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.ObjectDescriptor(), 1);
    ASSERT_EQ(s.Scene(), 1);
    s.VideoFrames({0}, {10}, {true});
    const Bytes file = s.Flush();
    EXPECT_EQ(Tail(file, 48),
              Cat({{0x01, 0x08, 0x01, 0x06, 0x00, 0xDF, 0x0F, 0x02, 0x00, 0x01},
                   {0xC0, 0x10, 0x13, 0x01, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
                    0x2E, 0x08, 0x50, 0x3B, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x50,
                    0x0F, 0xA0, 0x83, 0xF8, 0x00, 0x00, 0x03, 0xF8, 0x00, 0x00, 0x0F, 0xC0}}));
    const Bytes iods = BoxBytes(file, FindBox(file, "moov/iods"));
    EXPECT_EQ(BigEndian32(iods, 29), 2u);
    EXPECT_EQ(BigEndian32(iods, 38), 3u);
}

// The units are chosen at the flush but never longer than the size entered
// when their track was created.
TEST(WriterLayout, SystemsUnitsKeepTheirEnteredSize) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.ObjectDescriptor(), 1);  // 10 bytes entered
    ASSERT_EQ(s.Scene(), 1);             // 38 bytes entered
    ASSERT_EQ(s.Audio(), 1);             // now the 33- and 16-byte units apply
    const Bytes file = s.Flush();
    EXPECT_EQ(Tail(file, 48),
              Cat({{0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80, 0x09},
                   {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x72, 0x61, 0x04, 0x88, 0x50, 0x45,
                    0x05, 0x3F, 0x00},
                   Zeros(22)}));
}

TEST(WriterLayout, EmptyFile) {
    WriterSession s;
    s.file->brandFlag = 1;
    const Bytes file = s.Flush();
    ASSERT_EQ(file.size(), 20u + 158 + 8);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 20),
              Cat({U32(20), Str("ftypisom"), U32(0), Str("mp41")}));
    const Bytes mvhd = BoxBytes(file, FindBox(file, "moov/mvhd"));
    EXPECT_EQ(mvhd, Cat({U32(108), Str("mvhd"), U32(0), U32(0x12345678), U32(0x12345678), U32(0),
                         U32(0), U32(0x00010000), U16(0x0100), Zeros(10),
                         Cat({U32(0x00010000), Zeros(12), U32(0x00010000), Zeros(12),
                              U32(0x40000000)}),
                         Zeros(24), U32(1)}));
    EXPECT_EQ(Tail(file, 8), Cat({U32(8), Str("mdat")}));
}

// Object-descriptor and scene tracks without media tracks are not linked
// under moov (and are released all the same).
TEST(WriterLayout, SystemsTracksWithoutMedia) {
    WriterSession s;
    ASSERT_EQ(s.ObjectDescriptor(), 1);
    ASSERT_EQ(s.Scene(), 1);
    const Bytes file = s.Flush();
    EXPECT_FALSE(FindBox(file, "moov/trak").found);
    EXPECT_EQ(Tail(file, 18), Cat({U32(8), Str("mdat"), Zeros(10)}));
}

// ------------------------------------------------ serialising

struct TreeFile {
    Root_atom root{};
    std::string path;
    TreeFile() : path(TempDir() + "/tree.bin") { root.file = std::fopen(path.c_str(), "wb"); }
    ~TreeFile() { FreeAtomTree(&root); }
    AtomNode *Add(const char *type, uint32_t size) {
        auto *node = static_cast<AtomNode *>(AllocZeroed(sizeof(AtomNode)));
        CopyAtomType(node->type, type);
        AtomTypeInfo info{};
        GetAtomTypeInfo(node, &info);
        AllocAtomRecord(info.recordSize, type, &node->realStructure);
        StoreAtomSize(node, size);
        AtomNode **slot = &root.firstAtom;
        while (*slot) slot = &(*slot)->next;
        *slot = node;
        return node;
    }
    Bytes Close() {
        std::fclose(root.file);
        root.file = nullptr;
        return ReadFileBytes(path);
    }
};

TEST(WriterSerialise, MdatHeaderOnlyAndUnknownTables) {
    TreeFile t;
    t.Add("mdat", 5000);
    t.Add("dpnd", 16);
    t.Add("mdat", 8);  // not reached: the list stops at the unknown table
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteAtomList(t.root.firstAtom, &t.root), -99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error occuring in writing [dpnd]atom\n");
    EXPECT_EQ(t.root.fileSize, 16u);
    EXPECT_EQ(t.Close(), Cat({U32(5000), Str("mdat"), U32(16), Str("dpnd")}));
}

TEST(WriterSerialise, TableAtomsWriteFixedPartThenTable) {
    TreeFile t;
    AtomNode *stco = t.Add("stco", 24);
    StoreU32(stco->realStructure, 12, 2);
    ASSERT_TRUE(AllocRecordTable(stco->realStructure, 8));
    StoreTableU32(stco->realStructure, 0, 0x11);
    StoreTableU32(stco->realStructure, 1, 0x22);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ShiftChunkOffsets(stco, 1), -99);
    EXPECT_EQ(SetTrackDuration(stco, 1), -99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "This atom not a track atom\nThis atom not a track atom\n");
    EXPECT_EQ(WriteAtomList(t.root.firstAtom, &t.root), 1);
    EXPECT_EQ(t.Close(), FullBox("stco", 0, Cat({U32(2), U32(0x11), U32(0x22)})));
}

}  // namespace
