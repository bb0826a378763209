// Writing files through the exports: the new file and its tracks, adding
// frames, the layout of the output, and the diagnostics of the writer's steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/writer_session.h"
#include "write/write.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

Bytes Tail(const Bytes &file, size_t n) { return Bytes(file.end() - long(n), file.end()); }

// ------------------------------------------------ new file and tracks

// (Paths over 254 characters: Robustness.PathsAtTheLengthLimitForEveryExportThatTakesOne.)
TEST(WriterNewFile, RefusesPathsItCannotHold) {
    MP4_local_file *file = reinterpret_cast<MP4_local_file *>(1);
    CaptureStderr();
    EXPECT_EQ(MP4FileNew(&file, (TempDir() + "/missing/out.mp4").c_str()), -99);
    EXPECT_EQ(GetCapturedStderr(), "Can not create new file in MP4FileNew(...) \n");
    EXPECT_EQ(file, nullptr);
}

// What CreateTrack refuses up front (no id used, each with its own message)
// and what it takes as given; the limits themselves are accepted.
TEST(WriterCreateTrack, Refusals) {
    const struct {
        const char *what;
        uint32_t type, width, timescale, profile, channels, frequency, configLength;
        bool nullConfig;
        int32_t result;
        const char *message;  // on stdout for an unknown type, on stderr otherwise
    } cases[] = {
        {"unknown type", 3, 0, 1000, 0, 0, 0, 0, false, -99, "unsupport track type\n"},
        {"audio timescale 0", 2, 0, 0, 1, 2, 44100, 0, false, -99,
         "A timescale of 0 is refused in CreateTrack(...) \n"},
        {"video timescale 0", 1, 176, 0, 0, 0, 0, 0, false, 1, ""},
        {"object descriptor timescale 0", 4, 0, 0, 0, 0, 0, 0, false, 1, ""},
        {"scene timescale 0", 5, 0, 0, 0, 0, 0, 0, false, 1, ""},
        {"configuration of 53 bytes", 2, 0, 44100, 0, 0, 0, 53, false, -99,
         "The decoder configuration is too long in CreateTrack(...) \n"},
        {"configuration of 52 bytes", 2, 0, 44100, 0, 0, 0, 52, false, 1, ""},
        {"length without bytes", 2, 0, 44100, 0, 0, 0, 5, true, -99,
         "The decoder configuration is too long in CreateTrack(...) \n"},
        // Object-descriptor and scene tracks keep no configuration.
        {"scene, configuration of 53 bytes", 5, 0, 1000, 0, 0, 0, 53, false, 1, ""},
        {"scene, length without bytes", 5, 0, 1000, 0, 0, 0, 5, true, 1, ""},
        {"width 8192 without configuration", 1, 8192, 1000, 0, 0, 0, 0, false, -99,
         "The frame size does not fit the video object layer in CreateTrack(...) \n"},
        {"width 8192 with configuration", 1, 8192, 1000, 0, 0, 0, 5, false, 1, ""},
        // Stored as the nearest rate (WriterSampleDescriptions.AudioEsdsForms).
        {"rate without index", 2, 0, 44000, 1, 2, 44000, 0, false, 1, ""},
    };
    const Bytes config = Cat({{0, 0, 1, 0xB0, 1}, Bytes(55, 0x11)});
    for (const auto &c : cases) {
        WriterSession s;
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(CreateTrack(s.file, c.type, uint16_t(c.width), 144, 1000, c.timescale, 0, c.profile,
                              c.channels, c.frequency, c.configLength,
                              c.nullConfig ? nullptr : config.data(), s.tempv.c_str(), 1),
                  c.result)
            << c.what;
        const std::string err = GetCapturedStderr(), out = GetCapturedStdout();
        EXPECT_EQ(c.type == 3 ? out : err, c.message) << c.what;
        const TrackNode *t = c.type == 1   ? s.file->VideoTrackNode
                             : c.type == 2 ? s.file->AudioTrackNode
                             : c.type == 4 ? s.file->odTrackNode
                                           : s.file->sceneTrackNode;
        if (c.result != 1) {
            EXPECT_EQ(t, nullptr) << c.what;
            EXPECT_EQ(s.file->nextTrackId, 1u) << c.what;
            continue;
        }
        ASSERT_NE(t, nullptr) << c.what;
        EXPECT_EQ(t->timescale, c.timescale) << c.what;
        const uint32_t kept = c.type <= 2 ? c.configLength : 0;
        EXPECT_EQ(Bytes(t->decoderConfig, t->decoderConfig + t->decoderConfigLength),
                  Bytes(config.begin(), config.begin() + kept))
            << c.what;  // kept whole
    }
}

// A later track of a type the file already has takes the next id and the
// handle's pointer; the earlier one is released (LeakSanitizer watches) and
// its temporary file, never to be read, removed unless someone else holds
// the name.  The file written has the later track alone.
TEST(WriterCreateTrack, SecondTrackOfATypeReplacesTheFirst) {
    struct Case {
        const char *what;
        uint32_t type;
        bool sameName;     // the second track is given the first one's name
        bool audioShares;  // an audio track holds the video track's first name
    };
    const Case cases[] = {
        {"video", 1, false, false},          {"audio", 2, false, false},
        {"object descriptor", 4, false, false}, {"scene", 5, false, false},
        {"video, same name", 1, true, false}, {"video, name the audio track holds", 1, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriterSession s;
        const std::string second = s.dir + "/second.tmp";
        const std::string &firstName = c.type == 2 ? s.tempa : s.tempv;
        const auto create = [&](const std::string &name) {
            return CreateTrack(s.file, c.type, 176, 144, 1000, 1000, 0, 1, 2, 44100, 0, nullptr,
                               name.c_str(), 1);
        };
        // An object-descriptor trak is written after a media track, a scene
        // trak after an object-descriptor one.
        ASSERT_TRUE(c.type < 4 || s.Video() == 1);
        ASSERT_TRUE(c.type < 5 || s.ObjectDescriptor() == 1);
        ASSERT_EQ(create(firstName), 1);
        ASSERT_TRUE(!c.audioShares ||
                    CreateTrack(s.file, 2, 0, 0, 0, 44100, 0, 1, 2, 44100, 0, nullptr, s.tempv.c_str(), 1) == 1);
        const uint32_t id = s.file->nextTrackId;
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(create(c.sameName ? firstName : second), 1);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(GetCapturedStdout(), "");
        const TrackNode *t = c.type == 1   ? s.file->VideoTrackNode
                             : c.type == 2 ? s.file->AudioTrackNode
                             : c.type == 4 ? s.file->odTrackNode
                                           : s.file->sceneTrackNode;
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->trackId, id);
        EXPECT_EQ(s.file->nextTrackId, id + 1);
        EXPECT_EQ(FileExists(firstName), c.type >= 4 || c.sameName || c.audioShares);
        const Bytes file = s.Flush();
        EXPECT_EQ(BigEndian32(BoxAt(file, "moov/mvhd"), 104), id + 1);  // next_track_ID
        const int at = c.type >= 4 ? int(c.type) - 3 : 0, traks = at + 1 + c.audioShares;
        EXPECT_EQ(BigEndian32(BoxAt(file, "moov/trak#" + std::to_string(at) + "/tkhd"), 20), id);
        EXPECT_FALSE(FindBox(file, "moov/trak#" + std::to_string(traks)).found);
        EXPECT_FALSE(FileExists(second));
    }
}

// The handle's running totals are the host's and stay as they were: the
// new track's frames continue from them, into the new track's first block,
// and the flush merges what is there without reading past any table.
TEST(WriterCreateTrack, ReplacedTrackLeavesTheTotals) {
    struct Case {
        uint32_t before, after;  // frames added before and after the replacement
    };
    for (const Case &c : {Case{3, 2}, Case{1999, 3}}) {  // 1999: the new track crosses a block
        SCOPED_TRACE(c.before);
        WriterSession s;
        ASSERT_EQ(s.Video(), 1);
        s.VideoFrames(Steps(c.before, 40), {10}, {true});
        const std::string second = s.dir + "/second.tmp";
        ASSERT_EQ(CreateTrack(s.file, 1, 176, 144, 1000, 1000, 0, 0, 0, 0, 0, nullptr, second.c_str(), 1), 1);
        EXPECT_EQ(s.file->videoSampleTotal, c.before);
        EXPECT_EQ(s.file->videoKeyFrameTotal, c.before);
        EXPECT_EQ(s.file->videoBytes, 10 * c.before);
        EXPECT_EQ(s.file->videoBlockSample, c.before);
        for (uint32_t i = 0; i < c.after; ++i) {
            const Bytes frame = FrameBytes(i, 20);
            EXPECT_EQ(AddVideoFrame(s.file, 20, frame.data(), 40 * (c.before + i), 1), 1);
        }
        const TrackNode *first = s.file->VideoTrackNode;
        EXPECT_EQ(first->samples[c.before].offset, 10 * c.before);  // where the totals stood
        EXPECT_EQ(first->samples[0].size, 0u);                       // never entered
        const uint32_t n = c.before + c.after;
        CaptureStdout();
        const Bytes file = s.Flush();
        // The new temporary file holds the later frames only: reported, and
        // copied as it is, while mdat counts every byte the totals hold.
        EXPECT_EQ(GetCapturedStdout(), "error in video tempfile!\n");
        const size_t data = FindBox(file, "mdat").at + 8;
        EXPECT_EQ(BigEndian32(file, data - 8), 8 + 10 * c.before + 20 * c.after);
        EXPECT_EQ(file.size(), data + 20 * c.after);
        const Bytes stsz = BoxAt(file, StblPath("stsz"));
        ASSERT_EQ(stsz.size(), 20 + 4 * size_t(n));
        EXPECT_EQ(BigEndian32(stsz, 16), n);
        EXPECT_EQ(BigEndian32(stsz, 20), 0u);
        EXPECT_EQ(BigEndian32(stsz, 20 + 4 * (n - 1)), 20u);
        EXPECT_EQ(BigEndian32(BoxAt(file, StblPath("stss")), 12), n);
    }
}

// ------------------------------------------------ frames

// The first block keeps the chain's last block, so frames go to the end of a
// long chain without walking it: every block gets its own run of frames.
TEST(WriterFrames, LongChainKeepsItsLastBlock) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    std::vector<bool> keys(10, false);
    keys[0] = true;
    s.VideoFrames(Steps(7001, 40), {3}, keys);
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

TEST(WriterFrames, Diagnostics) {
    const Bytes frame(4, 0);
    CaptureStderr();
    EXPECT_EQ(AddVideoFrame(nullptr, 4, frame.data(), 0, 1), -99);
    EXPECT_EQ(AddAudioFrame(nullptr, 4, frame.data(), 0), -99);
    EXPECT_EQ(MP4FileFlush(nullptr), -99);
    {
        WriterSession s;
        EXPECT_EQ(AddVideoFrame(s.file, 4, frame.data(), 0, 1), -99);
        EXPECT_EQ(AddAudioFrame(s.file, 4, frame.data(), 0), -99);
    }
    EXPECT_EQ(GetCapturedStderr(),
              "the input parameter for MP4_local_file is empty\n"
              "the input parameter for MP4_local_file is empty\n"
              "the input localfile is empty!\n"
              "there is no VideoTrackNode in the input MP4_local_file\n"
              "there is no AudioTrackNode in the input MP4_local_file\n");
}

// A temporary file that does not hold the bytes counted for it is reported
// and copied as it is, whole; one that cannot be reopened is reported and
// nothing is written for it.  mdat counts the bytes entered all the same.
TEST(WriterFlush, TemporaryFilesAreCopiedUnchanged) {
    const Bytes video = Cat({FrameBytes(0, 10), FrameBytes(1, 10)}), audio = video;
    const struct {
        const char *what;
        void (*change)(const WriterSession &);
        const char *message;  // on stdout
        Bytes data;           // after the mdat header
    } cases[] = {
        {"audio file cut short", [](const WriterSession &s) { ASSERT_EQ(truncate(s.tempa.c_str(), 15), 0); },
         "error in audio tempfile!\n", Cat({video, Bytes(audio.begin(), audio.begin() + 15)})},
        // As when two tracks are given the same name.
        {"video file longer", [](const WriterSession &s) { std::ofstream(s.tempv, std::ios::app) << "more"; },
         "error in video tempfile!\n", Cat({video, Str("more"), audio})},
        {"video file gone", [](const WriterSession &s) { ASSERT_EQ(std::remove(s.tempv.c_str()), 0); },
         "Can't reopen video tempfile!\n", audio},
    };
    for (const auto &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Video(), 1);
        ASSERT_EQ(s.Audio(), 1);
        s.VideoFrames({0, 40}, {10}, {true});
        s.AudioFrames({0, 1024}, {10});
        ASSERT_EQ(std::fflush(s.file->videoTempFile), 0);
        ASSERT_EQ(std::fflush(s.file->audioTempFile), 0);
        c.change(s);
        CaptureStdout();
        const Bytes file = s.Flush();
        EXPECT_EQ(GetCapturedStdout(), c.message) << c.what;
        const size_t data = FindBox(file, "mdat").at + 8;
        EXPECT_EQ(BigEndian32(file, data - 8), 48u) << c.what;
        EXPECT_EQ(Bytes(file.begin() + long(data), file.end()), c.data) << c.what;
    }
}

// ------------------------------------------------ layout

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

    // ftyp, moov, the mdat header (its size covers the media data only),
    // video frames, audio frames, then the two access units.
    const BoxSpan moov = FindBox(file, "moov");
    ASSERT_EQ(moov.at, 20u);
    const uint32_t data = uint32_t(20 + moov.size + 8);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 20), Cat({U32(20), Str("ftyp3gp4"), U32(512), Str("3gp4")}));
    EXPECT_EQ(Bytes(file.begin() + data - 8, file.begin() + data), Cat({U32(8 + 1500), Str("mdat")}));
    EXPECT_EQ(Bytes(file.begin() + data, file.end()),
              Cat({FrameBytes(0, 300), FrameBytes(1, 400), FrameBytes(2, 300), FrameBytes(0, 250),
                   FrameBytes(1, 250), kAvObjectDescriptorUnit, kAvSceneUnit}));
    // Chunk offsets are shifted to the data of each track.
    const uint32_t firstChunk[4] = {data, data + 1000, data + 1500, data + 1533};
    for (int t = 0; t < 4; ++t) EXPECT_EQ(BigEndian32(BoxAt(file, StblPath("stco", t)), 16), firstChunk[t]) << t;
    EXPECT_EQ(BoxAt(file, "moov/iods"),
              Cat({U32(42), Str("iods"), Hex("00000000 10808080 19 004F FFFF0F01 FF"),
                   Hex("0E808080 04 00000003 0E808080 04 00000004")}));
    const Bytes mvhd = BoxAt(file, "moov/mvhd");
    EXPECT_EQ(BigEndian32(mvhd, 20), 1000u);  // the video track's timescale
    EXPECT_EQ(BigEndian32(mvhd, 24), 120u);   // and duration
    EXPECT_EQ(BigEndian32(BoxAt(file, "moov/trak#1/mdia/mdhd"), 24), 2048u);
    // The systems tracks' sample descriptions, and the object-descriptor
    // track's reference to the media tracks.
    EXPECT_EQ(BoxAt(file, StblPath("stsd/mp4s/esds", 2)),
              Cat({Hex("00000023"), Str("esds"), Hex("00000000 03150003 00 040D01 05000C2F 00006178 00000000 060102")}));
    EXPECT_EQ(BoxAt(file, StblPath("stsd/mp4s/esds", 3)),
              Cat({Hex("00000028"), Str("esds"),
                   Hex("00000000 031A0004 00 0412020D 00040000 00014000 000140 0503000040 060102")}));
    EXPECT_EQ(BoxAt(file, "moov/trak#2/tref/mpod"), Cat({U32(16), Str("mpod"), U32(1), U32(2)}));
}

// The units after mdat follow the media tracks present at the flush, but are
// never longer than the size entered when their track was created.
TEST(WriterLayout, SystemsUnitsFollowTheMediaTracks) {
    const Bytes videoOd = Hex("01080106 00DF0F02 0001"), audioOd = Hex("01080106 011F0F02 0001");
    const Bytes videoScene = Hex("C0101301 40000000 00000000 012E0850 3BFF0000 00000000 04500FA0 83F80000 03F80000 0FC0");
    const Bytes audioScene = Hex("C0101281 302A0256 FFC00000 00000003 C0");
    struct Case {
        const char *what;
        bool video, audio, audioAfterSystems;
        Bytes units;
    };
    const Case cases[] = {
        {"video only", true, false, false, Cat({videoOd, videoScene})},
        {"audio only", false, true, false, Cat({audioOd, audioScene})},
        // Without media tracks the 10-byte unit has no content; no trak is linked.
        {"no media", false, false, false, Zeros(10)},
        // Entered as 10 and 38 bytes for video alone; the 33- and 16-byte units apply.
        {"audio added later", true, false, true,
         Cat({Bytes(kAvObjectDescriptorUnit.begin(), kAvObjectDescriptorUnit.begin() + 10),
              kAvSceneUnit, Zeros(22)})},
    };
    for (const Case &c : cases) {
        WriterSession s;
        ASSERT_TRUE(!c.video || s.Video() == 1);
        ASSERT_TRUE(!c.audio || s.Audio() == 1);
        ASSERT_EQ(s.ObjectDescriptor(), 1);
        ASSERT_EQ(s.Scene(), 1);
        ASSERT_TRUE(!c.audioAfterSystems || s.Audio() == 1);
        const Bytes file = s.Flush();
        EXPECT_EQ(Tail(file, c.units.size() + 8), Cat({U32(8), Str("mdat"), c.units})) << c.what;
        const Bytes iods = BoxAt(file, "moov/iods");
        if (c.video != c.audio && !c.audioAfterSystems) {  // one media track: systems tracks 2 and 3
            EXPECT_EQ(BigEndian32(iods, 29), 2u) << c.what;
            EXPECT_EQ(BigEndian32(iods, 38), 3u) << c.what;
            EXPECT_EQ(BoxAt(file, "moov/trak#1/tref/mpod"), Cat({U32(12), Str("mpod"), U32(1)})) << c.what;
        }
        EXPECT_EQ(FindBox(file, "moov/trak").found, c.video || c.audio) << c.what;
    }
}

// An empty file, with the other brand (FourTracks has the 3GPP one).
TEST(WriterLayout, EmptyFile) {
    WriterSession s;
    s.file->brandFlag = 1;
    const Bytes file = s.Flush();
    ASSERT_EQ(file.size(), 20u + 158 + 8);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 20), Cat({U32(20), Str("ftypisom"), U32(0), Str("mp41")}));
    EXPECT_EQ(Tail(file, 8), Cat({U32(8), Str("mdat")}));
}

// ------------------------------------------------ the steps of the flush

// A track subtree with records, outside any file.
struct LooseTrak {
    AtomNode *trak = nullptr;
    TrackNode track{};
    FrameEntry samples[4] = {};
    KeyFrameEntry keys[4] = {};
    LooseTrak(uint32_t type, uint32_t codec) {
        EXPECT_EQ(BuildTrackSubtree(&trak, type, codec), 1);
        EXPECT_EQ(AllocSubtreeRecords(trak), 1);
        AllocAtomRecord(8, "trak", &trak->realStructure);
        track.trackType = type;
        track.trakAtom = trak;
        track.capacity = 4;
        track.samples = samples;
        track.keyFrames = keys;
    }
    ~LooseTrak() { FreeAtomNode(trak); }
    AtomNode *At(const std::string &path) {
        AtomNode *node = trak;
        for (size_t at = 0; node != nullptr && at < path.size();) {
            const size_t slash = path.find('/', at);
            node = FindChildAtom(node, path.substr(at, slash - at).c_str());
            at = slash == std::string::npos ? path.size() : slash + 1;
        }
        return node;
    }
};

TEST(WriterFill, EntryPointDiagnostics) {
    LooseTrak t(1, 1);
    CaptureStderr();
    EXPECT_EQ(FillTrackAtoms(nullptr), -99);
    TrackNode wrong = t.track;
    wrong.trakAtom = t.At("mdia");
    EXPECT_EQ(FillTrackAtoms(&wrong), -99);
    EXPECT_EQ(GetCapturedStderr(), "The input TrackNode is empty\nThis atom is not a track atom\n");
    CaptureStdout();
    EXPECT_GT(FillTrackAtoms(&t.track), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    CaptureStdout();
    EXPECT_EQ(ShiftChunkOffsets(t.At("mdia/minf/stbl/stco"), 1), -99);
    EXPECT_EQ(SetTrackDuration(t.At("mdia/minf/stbl/stco"), 1), -99);
    EXPECT_EQ(GetCapturedStdout(), "This atom not a track atom\nThis atom not a track atom\n");
}

TEST(WriterFill, SampleDescriptionDiagnostics) {
    // (track type, codec, sample entry, the child it needs)
    for (const auto &[type, codec, name, child] :
         {std::tuple{1u, 1u, "mp4v", "esds"}, {1u, 2u, "s263", "d263"}, {2u, 1u, "mp4a", "esds"},
          {2u, 2u, "samr", "damr"}, {4u, 1u, "mp4s", "esds"}}) {
        LooseTrak t(type, codec);
        AtomNode *entry = t.At(std::string("mdia/minf/stbl/stsd/") + name);
        ASSERT_NE(entry, nullptr);
        CopyAtomType(entry->firstChild->type, "free");
        CaptureStdout();
        EXPECT_EQ(FillAtomRecord(entry, &t.track), -99);
        EXPECT_EQ(GetCapturedStdout(), std::string("the ") + name + " atom does not contain " + child + " child atom\n");
        CopyAtomType(entry->type, "rtp ");
        CaptureStdout();
        EXPECT_EQ(FillAtomRecord(t.At("mdia/minf/stbl/stsd"), &t.track), -99);
        EXPECT_EQ(GetCapturedStdout(),
                  "the Stsd atom does not contain mp4v or mp4a or mp4s child atom\n");
    }
}

// A temporary file goes out whole through a buffer of any size; without a
// buffer nothing is written for it.
TEST(WriterSerialise, TemporaryFileCopiedInPieces) {
    const std::string temp = WriteTemp("temp.bin", Hex("0102030405")), out = TempDir() + "/copy.bin";
    FILE *stream = std::fopen(out.c_str(), "wb");
    uint8_t piece[2];
    CaptureStdout();
    EXPECT_EQ(CopyTempFile(stream, temp.c_str(), 4, false, piece, sizeof piece), 1);
    EXPECT_EQ(CopyTempFile(stream, temp.c_str(), 5, true, nullptr, 0), -99);
    std::fclose(stream);
    EXPECT_EQ(GetCapturedStdout(), "error in audio tempfile!\nCan't allocate the copy buffer for the tempfile!\n");
    EXPECT_EQ(ReadFileBytes(out), Hex("0102030405"));
}

// mdat is written as its header alone; a table atom the writer has no
// layout for stops the list with a message.
TEST(WriterSerialise, MdatHeaderOnlyAndUnknownTables) {
    Root_atom root{};
    const std::string path = TempDir() + "/tree.bin";
    root.file = std::fopen(path.c_str(), "wb");
    AtomNode **slot = &root.firstAtom;
    for (const auto &[type, size] : {std::pair{"mdat", 5000u}, {"dpnd", 16u}, {"mdat", 8u}}) {
        auto *node = static_cast<AtomNode *>(AllocZeroed(sizeof(AtomNode)));
        CopyAtomType(node->type, type);
        AtomTypeInfo info{};
        GetAtomTypeInfo(node, &info);
        AllocAtomRecord(info.recordSize, type, &node->realStructure);
        StoreAtomSize(node, size);
        *slot = node;
        slot = &node->next;
    }
    CaptureStdout();
    EXPECT_EQ(WriteAtomList(root.firstAtom, &root), -99);
    EXPECT_EQ(GetCapturedStdout(), "error occuring in writing [dpnd]atom\n");
    EXPECT_EQ(root.fileSize, 16u);
    std::fclose(root.file);
    root.file = nullptr;
    EXPECT_EQ(ReadFileBytes(path), Cat({U32(5000), Str("mdat"), U32(16), Str("dpnd")}));
    FreeAtomTree(&root);
}

}  // namespace
