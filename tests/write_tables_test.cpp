// The sample tables and sample descriptions of written files, byte by byte.
#include <gtest/gtest.h>

#include <cstring>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/writer_session.h"
#include "write/write.h"

namespace {

std::vector<uint32_t> Steps(uint32_t n, uint32_t step) {
    std::vector<uint32_t> t;
    for (uint32_t i = 0; i < n; ++i) t.push_back(i * step);
    return t;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) {
        const Bytes piece = U32(w);
        b.insert(b.end(), piece.begin(), piece.end());
    }
    return b;
}

const char *kStbl = "moov/trak#0/mdia/minf/stbl/";

Bytes TableBox(const Bytes &file, const std::string &type) {
    return BoxBytes(file, FindBox(file, std::string(kStbl) + type));
}

struct SttsCase {
    std::vector<uint32_t> times;
    Bytes entries;  // entry_count and entries
    uint32_t duration;
};

TEST(WriterTables, SttsRunsAndDuration) {
    const SttsCase cases[] = {
        {{0, 40, 80, 120, 170, 210}, Words({3, 3, 40, 1, 50, 2, 40}), 250},
        {{0, 40}, Words({1, 2, 40}), 80},
        {{100}, Words({1, 1, 0}), 0},  // one sample: no next time to measure it by
        {{}, Words({0}), 0},
    };
    for (const SttsCase &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Video(), 1);
        s.VideoFrames(c.times, {10}, {true});
        const Bytes file = s.Flush();
        EXPECT_EQ(TableBox(file, "stts"), FullBox("stts", 0, c.entries)) << c.times.size();
        const Bytes mdhd = BoxBytes(file, FindBox(file, "moov/trak#0/mdia/mdhd"));
        const Bytes tkhd = BoxBytes(file, FindBox(file, "moov/trak#0/tkhd"));
        EXPECT_EQ(BigEndian32(mdhd, 24), c.duration);
        EXPECT_EQ(BigEndian32(tkhd, 28), c.duration);
    }
}

TEST(WriterTables, AudioChunksOfThirty) {
    struct Case {
        uint32_t n;
        Bytes stsc, stcoOffsets;  // offsets relative to the audio data
    };
    const Case cases[] = {
        {29, Words({1, 1, 29, 1}), Words({1, 0})},
        {60, Words({1, 1, 30, 1}), Words({2, 0, 300})},
        {65, Words({2, 1, 30, 1, 3, 5, 1}), Words({3, 0, 300, 600})},
        {0, Words({1, 1, 0, 1}), Words({0})},
    };
    for (const Case &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Audio(), 1);
        s.AudioFrames(Steps(c.n, 1024), {10});
        const Bytes file = s.Flush();
        EXPECT_EQ(TableBox(file, "stsc"), FullBox("stsc", 0, c.stsc)) << c.n;
        // The audio data follow the mdat header directly.
        const uint32_t dataStart = uint32_t(FindBox(file, "mdat").at + 8);
        Bytes stco = FullBox("stco", 0, c.stcoOffsets);
        for (size_t i = 16; i < stco.size(); i += 4) {
            const Bytes shifted = U32(BigEndian32(stco, i) + dataStart);
            std::copy(shifted.begin(), shifted.end(), stco.begin() + long(i));
        }
        EXPECT_EQ(TableBox(file, "stco"), stco) << c.n;
        EXPECT_FALSE(FindBox(file, std::string(kStbl) + "stss").found);
    }
}

TEST(WriterTables, VideoChunkPerKeyFrame) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    std::vector<bool> keys(30, false);
    keys[0] = keys[12] = keys[24] = true;
    s.VideoFrames(Steps(30, 40), {100}, keys);
    const Bytes file = s.Flush();
    const uint32_t data = uint32_t(FindBox(file, "mdat").at + 8);
    EXPECT_EQ(TableBox(file, "stsc"), FullBox("stsc", 0, Words({3, 1, 12, 1, 2, 12, 1, 3, 6, 1})));
    EXPECT_EQ(TableBox(file, "stco"), FullBox("stco", 0, Words({3, data, data + 1200, data + 2400})));
    EXPECT_EQ(TableBox(file, "stss"), FullBox("stss", 0, Words({3, 1, 13, 25})));
    EXPECT_EQ(TableBox(file, "stsz"), FullBox("stsz", 0, Words({100, 30})));
}

TEST(WriterTables, StszTableWhenOneSizeDiffers) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    s.VideoFrames(Steps(4, 40), {7, 7, 7, 9}, {true});
    const Bytes file = s.Flush();
    EXPECT_EQ(TableBox(file, "stsz"), FullBox("stsz", 0, Words({0, 4, 7, 7, 7, 9})));
}

// Every key frame is kept however many a block holds.
TEST(WriterTables, AllKeyFrameVideoKeepsEveryKeyFrame) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    testing::internal::CaptureStdout();
    s.VideoFrames(Steps(5000, 40), {3}, {true});
    // Frame 3325 stands at exactly 133 s, which the bit-rate step reports.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "this bug");
    const Bytes file = s.Flush();
    const Bytes stss = TableBox(file, "stss");
    ASSERT_EQ(stss.size(), 16u + 4 * 5000);
    EXPECT_EQ(BigEndian32(stss, 12), 5000u);
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(BigEndian32(stss, 16 + 4 * i), i + 1);
    EXPECT_EQ(BigEndian32(TableBox(file, "stco"), 12), 5000u);
}

// ------------------------------------------------ sample descriptions

const char *kStsd = "moov/trak#0/mdia/minf/stbl/stsd/";

Bytes EsdsOf(const Bytes &file, const std::string &entry) {
    return BoxBytes(file, FindBox(file, std::string(kStsd) + entry + "/esds"));
}

Bytes Hex(const char *text) {
    Bytes b;
    for (const char *p = text; *p;) {
        if (*p == ' ') { ++p; continue; }
        b.push_back(uint8_t(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return b;
}

// The video esds around a decoder specific information of D bytes.
Bytes VideoEsds(const Bytes &info, uint32_t maxRate, uint32_t avgRate) {
    const uint8_t d = uint8_t(info.size());
    return Cat({U32(d + 46), Str("esds"), U32(0), Hex("03808080"), {uint8_t(d + 29)}, Hex("000100"),
                Hex("04808080"), {uint8_t(d + 18)}, Hex("2011 0028FE"), U32(maxRate), U32(avgRate),
                Hex("05808080"), {d}, info, Hex("060102")});
}

TEST(WriterSampleDescriptions, DefaultVisualEsdsImage) {
    uint8_t image[76];
    const uint8_t buffer[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(BuildDefaultVisualEsds(image, buffer), 1);
    EXPECT_EQ(Bytes(image, image + 76),
              Hex("00000040 65736473 00000000 03808080 2F 000100 04808080 24 2011 AABBCC "
                  "00083C78 00024CBB 05808080 12 0000010000000120008440 07A82C2090A31F "
                  "00000000000000000000 0601020000"));
    EXPECT_EQ(BuildDefaultVisualEsds(nullptr, buffer), -1);
}

struct VideoEsdsCase {
    Bytes config;
    Bytes info;  // the decoder specific information expected
};

TEST(WriterSampleDescriptions, VideoEsdsForms) {
    const Bytes sequence = Cat({Hex("000001B0 03 000001B5 09 00000100 00000120"), Hex("1122334455")});
    const Bytes object = Hex("00000100 00000120 AABBCCDD");
    const Bytes long43 = Cat({Hex("000001B0 03"), Bytes(38, 0x5A)});
    const VideoEsdsCase cases[] = {
        // Built: VOS, VO, VOL with resolution 1000 (0x03E8), 176 x 144.
        {{}, Hex("000001B0F5 000001B509 00000100 00000120 0188 40FA282C2090 A31F")},
        {sequence, Cat({Hex("000001B0 F5 000001B5 09 00000100 00000120"), Hex("1122334455")})},
        {object, Cat({Hex("000001B0 F5 000001B5 09"), object})},
        // Longer than the 80-byte record holds: the record grows.
        {long43, Cat({Hex("000001B0 F5"), Bytes(38, 0x5A)})},
    };
    for (const VideoEsdsCase &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Video(c.config), 1);
        const Bytes file = s.Flush();
        EXPECT_EQ(EsdsOf(file, "mp4v"), VideoEsds(c.info, 0, 0)) << c.config.size();
        EXPECT_EQ(BoxBytes(file, FindBox(file, std::string(kStsd) + "mp4v")).size(),
                  86 + c.info.size() + 46);
    }
}

TEST(WriterSampleDescriptions, VideoObjectLayerAloneIsNotSupported) {
    WriterSession s;
    ASSERT_EQ(s.Video(Hex("00000120 0088")), 1);
    testing::internal::CaptureStdout();
    s.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "there is error in [stbl]'s child=>[stsd]\n"
              "there is error in [minf]'s child=>[stbl]\n"
              "there is error in [mdia]'s child=>[minf]\n"
              "there is error in [trak]'s child=>[mdia]\n"
              // The failed trak has no size, so the movie fill stops too.
              "there is error in [moov]'s child=>[trak]\n"
              "There is error in [moov] atom\n");
}

TEST(WriterSampleDescriptions, VideoEsdsCarriesBitrates) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    s.VideoFrames({0, 500, 1000, 1500}, {100}, {true});
    const Bytes esds = EsdsOf(s.Flush(), "mp4v");
    EXPECT_EQ(BigEndian32(esds, 30), 2400u);                      // maxBitrate
    EXPECT_EQ(BigEndian32(esds, 34), uint32_t(400 * 8 / 1.5f));  // avgBitrate
}

struct AudioEsdsCase {
    uint32_t profile, channels, frequency;
    Bytes config;
    Bytes specific;  // empty: the 41-byte form
};

TEST(WriterSampleDescriptions, AudioEsdsForms) {
    const AudioEsdsCase cases[] = {
        {0, 0, 0, {}, {}},
        {1, 2, 44100, {}, Hex("1210")},
        {1, 2, 48000, {}, Hex("1190")},
        {1, 2, 12000, {}, Hex("1490")},
        {0, 0, 0, Hex("FFF15080"), Hex("1210")},
        {0, 0, 0, Hex("1388"), Hex("1388")},
    };
    for (const AudioEsdsCase &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Audio(c.profile, c.channels, c.frequency, c.config), 1);
        const Bytes esds = EsdsOf(s.Flush(), "mp4a");
        const Bytes expected =
            c.specific.empty()
                ? Cat({U32(41), Str("esds"), U32(0), Hex("03808080 18 000200 04808080 0D 6B 15 0000F4"),
                       U32(0), U32(0), Hex("060102")})
                : Cat({U32(48), Str("esds"), U32(0), Hex("03808080 1F 000200 04808080 14 40 15 0000F4"),
                       U32(0), U32(0), Hex("05808080 02"), c.specific, Hex("060102")});
        EXPECT_EQ(esds, expected) << c.frequency;
    }
}

TEST(WriterSampleDescriptions, SystemsTrackEsds) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    ASSERT_EQ(s.Audio(), 1);
    ASSERT_EQ(s.ObjectDescriptor(), 1);
    ASSERT_EQ(s.Scene(), 1);
    const Bytes file = s.Flush();
    EXPECT_EQ(BoxBytes(file, FindBox(file, "moov/trak#2/mdia/minf/stbl/stsd/mp4s/esds")),
              Cat({Hex("00000023"), Str("esds"),
                   Hex("00000000 03150003 00 040D01 05000C2F 00006178 00000000 060102")}));
    EXPECT_EQ(BoxBytes(file, FindBox(file, "moov/trak#3/mdia/minf/stbl/stsd/mp4s/esds")),
              Cat({Hex("00000028"), Str("esds"),
                   Hex("00000000 031A0004 00 0412020D 00040000 00014000 000140 0503000040 060102")}));
    EXPECT_EQ(BoxBytes(file, FindBox(file, "moov/trak#2/tref/mpod")),
              Cat({U32(16), Str("mpod"), U32(1), U32(2)}));
    // Volume 1.0 only for the audio track.
    for (int t = 0; t < 4; ++t) {
        const Bytes tkhd = BoxBytes(file, FindBox(file, "moov/trak#" + std::to_string(t) + "/tkhd"));
        EXPECT_EQ(tkhd[44], t == 1 ? 1 : 0) << t;
    }
}

TEST(WriterSampleDescriptions, MpodOfAudioOnlyFile) {
    WriterSession s;
    ASSERT_EQ(s.Audio(), 1);
    ASSERT_EQ(s.ObjectDescriptor(), 1);
    const Bytes file = s.Flush();
    EXPECT_EQ(BoxBytes(file, FindBox(file, "moov/trak#1/tref/mpod")),
              Cat({U32(12), Str("mpod"), U32(1)}));
}

TEST(WriterSampleDescriptions, H263Entry) {
    WriterSession s;
    ASSERT_EQ(s.Video({}, 2), 1);
    const Bytes file = s.Flush();
    const Bytes s263 = BoxBytes(file, FindBox(file, std::string(kStsd) + "s263"));
    ASSERT_EQ(s263.size(), 101u);
    EXPECT_EQ(Bytes(s263.begin() + 8, s263.begin() + 86),
              Cat({Zeros(6), U16(1), Zeros(16), U16(176), U16(144), U32(0x00480000),
                   U32(0x00480000), U32(0), U16(1), Zeros(32), U16(0x18), U16(0xFFFF)}));
    EXPECT_EQ(Bytes(s263.begin() + 86, s263.end()),
              Cat({U32(15), Str("d263"), Str("HNTR"), Hex("000A00")}));
}

TEST(WriterSampleDescriptions, AmrEntry) {
    struct Case {
        uint8_t header;
        Bytes modeSet;
    };
    for (const Case &c : {Case{0x3C, Hex("8180")}, Case{0x04, Hex("8101")}, Case{0x00, Hex("81FF")},
                          Case{0x3D, Hex("81FF")}}) {
        WriterSession s;
        ASSERT_EQ(s.Audio(0, 0, 8000, {c.header}, 2, 8000), 1);
        const Bytes file = s.Flush();
        const Bytes samr = BoxBytes(file, FindBox(file, std::string(kStsd) + "samr"));
        ASSERT_EQ(samr.size(), 53u);
        EXPECT_EQ(Bytes(samr.begin() + 8, samr.begin() + 36),
                  Cat({Zeros(6), U16(1), Zeros(8), U16(2), U16(16), U32(0), U32(8000u << 16)}));
        EXPECT_EQ(Bytes(samr.begin() + 36, samr.end()),
                  Cat({U32(17), Str("damr"), Str("PHLP"), {0}, c.modeSet, Hex("0001")}));
    }
}

}  // namespace

namespace {

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
        size_t at = 0;
        while (node != nullptr && at < path.size()) {
            const size_t slash = path.find('/', at);
            node = FindChildAtom(node, path.substr(at, slash - at).c_str());
            at = slash == std::string::npos ? path.size() : slash + 1;
        }
        return node;
    }
};

TEST(WriterFill, EntryPointDiagnostics) {
    LooseTrak t(1, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(FillTrackAtoms(nullptr), -99);
    TrackNode wrong = t.track;
    wrong.trakAtom = t.At("mdia");
    EXPECT_EQ(FillTrackAtoms(&wrong), -99);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The input TrackNode is empty\nThis atom is not a track atom\n");
    testing::internal::CaptureStdout();
    EXPECT_GT(FillTrackAtoms(&t.track), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(WriterFill, ChainConsistency) {
    LooseTrak t(1, 1);
    TrackNode second{};
    second.capacity = 4;
    t.track.nextBlock = &second;
    t.track.sampleCount = 2;
    struct Case {
        uint32_t firstSample, sampleCount, firstKey, keyCount;
        const char *message;
    };
    for (const Case &c : {Case{3, 1, 0, 0, "Error value in the TrackNode's SampleCount;\n"},
                          Case{2, 5, 0, 0, "Error value in the TrackNode's SampleCount;\n"},
                          Case{2, 1, 1, 1, "Error value in the TrackNode's KeyFrameCount;\n"}}) {
        second.firstSample = c.firstSample;
        second.sampleCount = c.sampleCount;
        second.firstKeyFrame = c.firstKey;
        second.keyFrameCount = c.keyCount;
        testing::internal::CaptureStdout();
        EXPECT_EQ(FillAtomRecord(t.At("tkhd"), &t.track), -99);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    }
}

TEST(WriterFill, SampleDescriptionDiagnostics) {
    struct Case {
        uint32_t type, codec;
        const char *entry;
        const char *message;
    };
    const Case cases[] = {
        {1, 1, "mp4v", "the mp4v atom does not contain esds child atom\n"},
        {1, 2, "s263", "the s263 atom does not contain d263 child atom\n"},
        {2, 1, "mp4a", "the mp4a atom does not contain esds child atom\n"},
        {2, 2, "samr", "the samr atom does not contain damr child atom\n"},
        {4, 1, "mp4s", "the mp4s atom does not contain esds child atom\n"},
    };
    for (const Case &c : cases) {
        LooseTrak t(c.type, c.codec);
        AtomNode *entry = t.At(std::string("mdia/minf/stbl/stsd/") + c.entry);
        ASSERT_NE(entry, nullptr);
        CopyAtomType(entry->firstChild->type, "free");
        testing::internal::CaptureStdout();
        EXPECT_EQ(FillAtomRecord(entry, &t.track), -99);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        CopyAtomType(entry->type, "rtp ");
        testing::internal::CaptureStdout();
        EXPECT_EQ(FillAtomRecord(t.At("mdia/minf/stbl/stsd"), &t.track), -99);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "the Stsd atom does not contain mp4v or mp4a or mp4s child atom\n");
    }
    LooseTrak t(2, 1);
    t.track.trackType = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FillAtomRecord(t.At("mdia/minf/stbl/stsd/mp4a/esds"), &t.track), -99);
    EXPECT_EQ(FillAtomRecord(t.At("mdia/minf/stbl/stsc"), &t.track), -99);
    EXPECT_EQ(FillAtomRecord(t.At("mdia/minf/stbl/stco"), &t.track), -99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "unsupport track type while writing esds atom\n");
    AtomNode *stts = t.At("mdia/minf/stbl/stts");
    CopyAtomType(stts->type, "ctts");
    EXPECT_EQ(FillAtomRecord(stts, &t.track), -1);
}

}  // namespace
