// The sample tables and sample descriptions of written files, byte by byte.
#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/mp4_walk.h"
#include "support/writer_session.h"

namespace {

Bytes Words(const std::vector<uint32_t> &words, uint32_t add = 0) {
    Bytes b;
    for (uint32_t w : words) b = Cat({b, U32(w + add)});
    return b;
}

// A box below the sample table of the first track: "stsz", "stsd/mp4v/esds".
Bytes Table(const Bytes &file, const std::string &path) { return BoxAt(file, StblPath(path)); }

uint32_t MediaStart(const Bytes &file) { return uint32_t(FindBox(file, "mdat").at + 8); }

TEST(WriterTables, SttsRunsAndDuration) {
    struct Case {
        std::vector<uint32_t> times;
        std::vector<uint32_t> entries;  // entry_count and entries
        uint32_t duration;
    };
    const Case cases[] = {
        {{0, 40, 80, 120, 170, 210}, {3, 3, 40, 1, 50, 2, 40}, 250},
        {{100}, {1, 1, 0}, 0},  // one sample: no next time to measure it by
        {{}, {0}, 0},
    };
    for (const Case &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Video(), 1);
        s.VideoFrames(c.times, {10}, {true});
        const Bytes file = s.Flush();
        EXPECT_EQ(Table(file, "stts"), FullBox("stts", 0, Words(c.entries))) << c.times.size();
        EXPECT_EQ(BigEndian32(BoxAt(file, "moov/trak#0/mdia/mdhd"), 24), c.duration);
        EXPECT_EQ(BigEndian32(BoxAt(file, "moov/trak#0/tkhd"), 28), c.duration);
    }
}

TEST(WriterTables, AudioChunksOfThirty) {
    struct Case {
        uint32_t n;
        std::vector<uint32_t> stsc, offsets;  // offsets relative to the audio data
    };
    const Case cases[] = {
        {29, {1, 1, 29, 1}, {0}},
        {60, {1, 1, 30, 1}, {0, 300}},
        {65, {2, 1, 30, 1, 3, 5, 1}, {0, 300, 600}},
        {0, {1, 1, 0, 1}, {}},
    };
    for (const Case &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Audio(), 1);
        s.AudioFrames(Steps(c.n, 1024), {10});
        const Bytes file = s.Flush();
        EXPECT_EQ(Table(file, "stsc"), FullBox("stsc", 0, Words(c.stsc))) << c.n;
        EXPECT_EQ(Table(file, "stco"), FullBox("stco", 0, Cat({U32(uint32_t(c.offsets.size())),
                                                               Words(c.offsets, MediaStart(file))})))
            << c.n;
        EXPECT_TRUE(Table(file, "stss").empty());
    }
}

TEST(WriterTables, VideoChunkPerKeyFrame) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    std::vector<bool> keys(30, false);
    keys[0] = keys[12] = keys[24] = true;
    s.VideoFrames(Steps(30, 40), {100}, keys);
    const Bytes file = s.Flush();
    EXPECT_EQ(Table(file, "stsc"), FullBox("stsc", 0, Words({3, 1, 12, 1, 2, 12, 1, 3, 6, 1})));
    EXPECT_EQ(Table(file, "stco"), FullBox("stco", 0, Cat({U32(3), Words({0, 1200, 2400}, MediaStart(file))})));
    EXPECT_EQ(Table(file, "stss"), FullBox("stss", 0, Words({3, 1, 13, 25})));
    EXPECT_EQ(Table(file, "stsz"), FullBox("stsz", 0, Words({100, 30})));  // one size for all
}

TEST(WriterTables, StszTableWhenOneSizeDiffers) {
    WriterSession s;
    ASSERT_EQ(s.Video(), 1);
    s.VideoFrames(Steps(4, 40), {7, 7, 7, 9}, {true});
    EXPECT_EQ(Table(s.Flush(), "stsz"), FullBox("stsz", 0, Words({0, 4, 7, 7, 7, 9})));
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
    std::vector<uint32_t> entries = Steps(5001, 1);
    entries[0] = 5000;  // entry_count, then sample numbers 1 to 5000
    EXPECT_EQ(Table(file, "stss"), FullBox("stss", 0, Words(entries)));
    EXPECT_EQ(BigEndian32(Table(file, "stco"), 12), 5000u);
}

// ------------------------------------------------ sample descriptions

// The video esds around a decoder specific information of D bytes.
Bytes VideoEsds(const Bytes &info) {
    const uint8_t d = uint8_t(info.size());
    return Cat({U32(d + 46), Str("esds"), U32(0), Hex("03808080"), {uint8_t(d + 29)}, Hex("000100"),
                Hex("04808080"), {uint8_t(d + 18)}, Hex("2011 0028FE"), U32(0), U32(0),
                Hex("05808080"), {d}, info, Hex("060102")});
}

TEST(WriterSampleDescriptions, VideoEsdsForms) {
    const Bytes sequence = Hex("000001B0 03 000001B5 09 00000100 00000120 1122334455");
    const Bytes object = Hex("00000100 00000120 AABBCCDD");
    const struct {
        Bytes config;
        Bytes info;  // the decoder specific information expected
    } cases[] = {
        // Built: VOS, VO, VOL with resolution 1000 (0x03E8), 176 x 144.
        {{}, Hex("000001B0F5 000001B509 00000100 00000120 0188 40FA282C2090 A31F")},
        {sequence, Hex("000001B0 F5 000001B5 09 00000100 00000120 1122334455")},
        {object, Cat({Hex("000001B0 F5 000001B5 09"), object})},
        // Longer than the 80-byte record holds: the record grows.
        {Cat({Hex("000001B0 03"), Bytes(38, 0x5A)}), Cat({Hex("000001B0 F5"), Bytes(38, 0x5A)})},
    };
    for (const auto &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Video(c.config), 1);
        EXPECT_EQ(Table(s.Flush(), "stsd/mp4v/esds"), VideoEsds(c.info)) << c.config.size();
    }
}

// A configuration the esds cannot be built from would leave the trak, and so
// moov, without a size: the flush would write a file no reader can open and
// every frame given would be lost.  It is refused when the track is created.
TEST(WriterSampleDescriptions, VideoObjectLayerAloneIsNotSupported) {
    for (const char *config : {"00000120 0088", "000001", "00000105 0088", "47400010"}) {
        SCOPED_TRACE(config);
        WriterSession s;
        testing::internal::CaptureStderr();
        EXPECT_EQ(s.Video(Hex(config)), -99);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "The decoder configuration is not an MPEG-4 Visual header in CreateTrack(...) \n");
        EXPECT_EQ(s.file->VideoTrackNode, nullptr);
    }
}

// Bit rates over one-second windows: a frame at exactly 1.0 s still belongs
// to the first; the average runs over the last frame's time.
TEST(WriterSampleDescriptions, EsdsCarriesBitrates) {
    const struct {
        const char *what;
        uint32_t timescale, maxBitrate, avgBitrate;
    } video[] = {
        {"timescale 1000", 1000, 2400, uint32_t(400 * 8 / 1.5f)},
        // Every time is +inf seconds (NaN at time 0): each frame lies in a
        // window of its own, and the average over +inf is 0.
        {"timescale 0", 0, 800, 0},
    };
    for (const auto &c : video) {
        WriterSession s;
        ASSERT_EQ(s.Video({}, 1, 176, 144, c.timescale), 1);
        s.VideoFrames({0, 500, 1000, 1500}, {100}, {true});
        const Bytes file = s.Flush();
        const Bytes esds = Table(file, "stsd/mp4v/esds");
        EXPECT_EQ(BigEndian32(esds, 30), c.maxBitrate) << c.what;
        EXPECT_EQ(BigEndian32(esds, 34), c.avgBitrate) << c.what;
        EXPECT_EQ(BigEndian32(BoxAt(file, "moov/trak#0/mdia/mdhd"), 20), c.timescale) << c.what;
    }
    WriterSession audio;  // audio counts whole seconds of the timescale
    ASSERT_EQ(audio.Audio(1, 2, 8000, {}, 1, 1000), 1);
    audio.AudioFrames({0, 400, 999, 2500}, {50});
    const Bytes a = Table(audio.Flush(), "stsd/mp4a/esds");
    EXPECT_EQ(BigEndian32(a, 30), 150u * 8);
    EXPECT_EQ(BigEndian32(a, 34), 200u * 8 / 2);
}

TEST(WriterSampleDescriptions, AudioEsdsForms) {
    const struct {
        uint32_t profile, channels, frequency;
        Bytes config;
        Bytes specific;  // empty: the 41-byte form
    } cases[] = {
        {0, 0, 0, {}, {}},
        {1, 2, 44100, {}, Hex("1210")},
        {1, 2, 12000, {}, Hex("1490")},
        // A rate outside the table takes the nearest one's index (44100: 4),
        // halfway between two the higher one's (48000: 3).
        {1, 2, 44000, {}, Hex("1210")},
        {1, 2, 46050, {}, Hex("1190")},
        {0, 0, 0, Hex("FFF15080"), Hex("1210")},  // an ADTS header: its fields
        {0, 0, 0, Hex("1388"), Hex("1388")},
    };
    for (const auto &c : cases) {
        WriterSession s;
        ASSERT_EQ(s.Audio(c.profile, c.channels, c.frequency, c.config), 1);
        EXPECT_EQ(Table(s.Flush(), "stsd/mp4a/esds"),
                  c.specific.empty()
                      ? Cat({Hex("00000029"), Str("esds"), Hex("00000000 03808080 18 000200 04808080 0D 6B 15 0000F4"),
                             Zeros(8), Hex("060102")})
                      : Cat({Hex("00000030"), Str("esds"), Hex("00000000 03808080 1F 000200 04808080 14 40 15 0000F4"),
                             Zeros(8), Hex("05808080 02"), c.specific, Hex("060102")}))
            << c.frequency;
    }
}

TEST(WriterSampleDescriptions, H263Entry) {
    WriterSession s;
    ASSERT_EQ(s.Video({}, 2), 1);
    const Bytes s263 = Table(s.Flush(), "stsd/s263");
    ASSERT_EQ(s263.size(), 101u);
    EXPECT_EQ(Bytes(s263.begin() + 86, s263.end()), Cat({U32(15), Str("d263"), Str("HNTR"), Hex("000A00")}));
}

// The AMR mode set follows the frame type in the configuration's first byte;
// without a known frame type every mode is allowed.
TEST(WriterSampleDescriptions, AmrEntry) {
    for (const auto &[header, modeSet] : {std::pair{0x3C, Hex("8180")}, {0x04, Hex("8101")},
                                          {0x00, Hex("81FF")}, {0x44, Hex("81FF")}}) {
        WriterSession s;
        ASSERT_EQ(s.Audio(0, 0, 8000, {uint8_t(header)}, 2, 8000), 1);
        const Bytes samr = Table(s.Flush(), "stsd/samr");
        ASSERT_EQ(samr.size(), 53u);
        EXPECT_EQ(BigEndian32(samr, 32), 8000u << 16);  // the sample rate
        EXPECT_EQ(Bytes(samr.begin() + 36, samr.end()),
                  Cat({U32(17), Str("damr"), Str("PHLP"), {0}, modeSet, Hex("0001")}));
    }
}

}  // namespace
