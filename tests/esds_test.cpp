// The esds parsers: audio (ParseAudioEsds, ExtractBits) and video
// (ParseVideoEsds), on descriptors written with both length forms (EsdsBox).
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "read/config.h"
#include "support/bytes.h"

namespace {

// An audio esds: objectTypeIndication, audio stream, bit rates.
Bytes AudioEsds(bool longEs, bool longInner, uint8_t objectType, uint32_t maxBitrate,
                const Bytes &specific) {
    return EsdsBox(longEs, longInner,
                   Cat({{objectType, 0x15, 0x00, 0x01, 0x80}, U32(maxBitrate), U32(maxBitrate / 2)}), specific);
}

struct Parsed {
    int32_t result;
    uint32_t length = 99, maxRate = 99, avgRate = 99, channels = 99, frequency = 99, objectType = 99;
    Bytes config;
};

Parsed Parse(const Bytes &esds, uint32_t held) {
    const std::vector<uint8_t> exact(esds.begin(), esds.begin() + held);  // for the sanitizer
    Parsed p;
    uint8_t config[100] = {};
    p.result = ParseAudioEsds(exact.data(), held, config, &p.length, &p.maxRate, &p.avgRate,
                              &p.channels, &p.frequency, &p.objectType);
    p.config.assign(config, config + std::min(p.length, 100u));
    return p;
}

TEST(ParseAudioEsds, BothLengthFormsAndObjectTypes) {
    const Bytes lc44100Mono = {0x12, 0x08}, lc48000Stereo = {0x11, 0x90};
    const Bytes heAac = {0x2B, 0x92, 0x08, 0x00};  // object type 5, 22050 Hz, stereo
    struct Case {
        bool longEs, longInner;
        uint8_t objectTypeIndication;
        uint32_t maxBitrate;
        Bytes specific;
        int32_t result;
        uint32_t objectType, frequency, channels;
    };
    const Case cases[] = {
        {true, true, 0x40, 128000, lc44100Mono, 1, 2, 44100, 1},
        {false, false, 0x40, 70000, lc48000Stereo, 1, 2, 48000, 2},
        {true, false, 0x40, 1, lc48000Stereo, 1, 2, 48000, 2},
        {false, true, 0x40, 3, heAac, 1, 5, 22050, 2},
        {false, false, 0x6B, 160000, lc44100Mono, -1, 2, 44100, 1},  // MPEG-1 audio
        {true, true, 0x69, 5, lc44100Mono, -1, 2, 44100, 1},         // MPEG-2 audio
        // Indices 13 to 15 are not in the table: the frequency is 0.
        {false, false, 0x40, 0, {0x16, 0x88}, 1, 2, 0, 1},
        {false, false, 0x40, 0, {0x17, 0x88, 0x00, 0x00, 0x00}, 1, 2, 0, 1},
        {false, false, 0x40, 0, {0x16, 0x08}, 1, 2, 7350, 1},  // index 12
    };
    for (const Case &c : cases) {
        const Bytes esds = AudioEsds(c.longEs, c.longInner, c.objectTypeIndication, c.maxBitrate, c.specific);
        SCOPED_TRACE(testing::PrintToString(esds));
        const Parsed p = Parse(esds, uint32_t(esds.size()));
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.maxRate, c.maxBitrate);
        EXPECT_EQ(p.avgRate, c.maxBitrate / 2);
        EXPECT_EQ(p.objectType, c.objectType);
        EXPECT_EQ(p.frequency, c.frequency);
        EXPECT_EQ(p.channels, c.channels);
        EXPECT_EQ(p.config, c.specific);
    }
}

TEST(ParseAudioEsds, ALengthOfTwoOrThreeBytesIsReadAsOneByte) {
    // 03 80 80 n ...: not the 80 80 80 n form, so the ES_Descriptor is taken
    // to have a one-byte length and the fields are looked for two bytes
    // early: maxBitrate at 24 instead of 26.
    Bytes esds = AudioEsds(false, false, 0x40, 7, {0x12, 0x08});
    esds.insert(esds.begin() + 13, {0x80, 0x80});
    const Parsed p = Parse(esds, uint32_t(esds.size()));
    EXPECT_EQ(p.maxRate, ReadBigEndian32(&esds[24]));
    EXPECT_NE(p.maxRate, 7u);
}

TEST(ParseAudioEsds, ReadsNothingBeyondTheBytesGiven) {
    const Bytes whole = AudioEsds(true, true, 0x40, 128000, {0x12, 0x08});
    for (uint32_t cut = 0; cut <= whole.size(); ++cut) {
        const Parsed p = Parse(whole, cut);
        EXPECT_EQ(p.result, 1) << cut;
        EXPECT_LE(p.length, 2u) << cut;
        EXPECT_TRUE(cut > 30 || p.maxRate == 0) << cut;  // bit rate not held
    }
    // A DecoderSpecificInfo claiming more bytes than the esds holds hands out
    // only what is there.
    Bytes claiming = AudioEsds(false, false, 0x40, 1, {0x12, 0x08});
    const size_t lengthByte = claiming.size() - 6;
    ASSERT_EQ(claiming[lengthByte], 2);
    claiming[lengthByte] = 200;
    EXPECT_EQ(Parse(claiming, uint32_t(claiming.size())).length, claiming.size() - lengthByte - 1);
}

TEST(ExtractBits, CountsAndOffsets) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    const std::array<uint32_t, 3> cases[] = {  // count, offset, value
        {0, 5, 0},    {1, 0, 0},   {1, 3, 1},           {8, 0, 0x12},        {8, 4, 0x23},
        {5, 8, 0x06}, {4, 13, 0x8}, {32, 0, 0x12345678}, {32, 4, 0x23456789}, {13, 27, 0x189A}};
    for (const auto &[count, offset, expected] : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(ExtractBits(bytes, &value, count, offset), 0);
        EXPECT_EQ(value, expected) << count << " bits at " << offset;
    }
}

// A video esds from its version byte on (as GetVideoEsdsBytes hands it out),
// with a configuration beginning with a visual object sequence header.
Bytes VideoEsdsAfterHeader(bool longLengths, uint8_t profile) {
    const Bytes box = EsdsBox(longLengths, longLengths, Cat({{0x20, 0x11, 0x00, 0x08, 0x3C}, U32(250000), U32(180000)}),
                              {0x00, 0x00, 0x01, 0xB0, profile, 0x00, 0x00, 0x01, 0xB5, 0x09});
    return Bytes(box.begin() + 8, box.end());
}

TEST(ParseVideoEsds, BitRatesAndProfileByte) {
    Bytes noEs = VideoEsdsAfterHeader(true, 3), noConfig = VideoEsdsAfterHeader(false, 3);
    noEs[4] = 0x04;
    noConfig[9] = 0x05;
    const std::pair<Bytes, uint32_t> cases[] = {  // bytes, profile byte (0: refused)
        // With 80 80 80 n lengths the byte is the profile_and_level_indication;
        // with one-byte lengths it is the byte three places after it.
        {VideoEsdsAfterHeader(true, 0xF5), 0xF5},
        {VideoEsdsAfterHeader(false, 0xF5), 0x01},
        {noEs, 0},
        {noConfig, 0},
        {{0, 0, 0, 0, 3, 0x80, 0x80, 0x80, 0x80, 0x80}, 0},  // only continuation bytes
        {{}, 0},
    };
    for (const auto &[bytes, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
        uint32_t maxRate = 7, avgRate = 7, profile = 7;
        EXPECT_EQ(ParseVideoEsds(exact.data(), uint32_t(exact.size()), &maxRate, &avgRate, &profile),
                  expected ? 1 : -1);
        EXPECT_EQ(maxRate, expected ? 250000u : 7u);
        EXPECT_EQ(avgRate, expected ? 180000u : 7u);
        EXPECT_EQ(profile, expected ? expected : 7u);
    }
}

}  // namespace
