// The esds parsers: audio (ParseAudioEsds, ExtractBits) and video
// (ParseVideoEsds), on descriptors written with both length forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atom/atom.h"
#include "read/config.h"
#include "support/bytes.h"

namespace {

// A descriptor: tag, length in the one-byte or the 80 80 80 n form, payload.
Bytes Descriptor(uint8_t tag, bool longLength, const Bytes &payload) {
    Bytes out{tag};
    if (longLength) out.insert(out.end(), {0x80, 0x80, 0x80});
    out.push_back(uint8_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

struct EsdsShape {
    bool longEs, longConfig, longSpecific;
};

// An esds atom from its size field on, with an ES_Descriptor holding a
// DecoderConfigDescriptor (objectTypeIndication, audio stream, bit rates)
// holding a DecoderSpecificInfo, and an SLConfigDescriptor.
Bytes AudioEsds(EsdsShape shape, uint8_t objectType, uint32_t maxBitrate, uint32_t avgBitrate,
                const Bytes &specific) {
    const Bytes config =
        Cat({{objectType, 0x15, 0x00, 0x01, 0x80}, U32(maxBitrate), U32(avgBitrate),
             Descriptor(5, shape.longSpecific, specific)});
    const Bytes es = Cat({{0x00, 0x02, 0x00}, Descriptor(4, shape.longConfig, config),
                          Descriptor(6, shape.longSpecific, {0x02})});
    return FullBox("esds", 0, Descriptor(3, shape.longEs, es));
}

struct AudioCase {
    const char *name;
    Bytes esds;
    int32_t result;
    uint32_t maxBitrate, avgBitrate, objectType, frequency, channels;
    Bytes config;
};

const Bytes kLc44100Mono = {0x12, 0x08};
const Bytes kLc48000Stereo = {0x11, 0x90};
const Bytes kHeAacSbr = {0x2B, 0x92, 0x08, 0x00};  // object type 5, 22050 Hz, stereo

std::vector<AudioCase> AudioCases() {
    return {
        {"all_long", AudioEsds({true, true, true}, 0x40, 128000, 96000, kLc44100Mono), 1,
         128000, 96000, 2, 44100, 1, kLc44100Mono},
        {"all_short", AudioEsds({false, false, false}, 0x40, 70000, 64000, kLc48000Stereo), 1,
         70000, 64000, 2, 48000, 2, kLc48000Stereo},
        {"long_es_short_inner", AudioEsds({true, false, false}, 0x40, 1, 2, kLc48000Stereo), 1,
         1, 2, 2, 48000, 2, kLc48000Stereo},
        {"short_es_long_inner", AudioEsds({false, true, true}, 0x40, 3, 4, kHeAacSbr), 1, 3, 4,
         5, 22050, 2, kHeAacSbr},
        {"mpeg1_audio", AudioEsds({false, false, false}, 0x6B, 160000, 128000, kLc44100Mono),
         -1, 160000, 128000, 2, 44100, 1, kLc44100Mono},
        {"mpeg2_audio", AudioEsds({true, true, true}, 0x69, 5, 6, kLc44100Mono), -1, 5, 6, 2,
         44100, 1, kLc44100Mono},
        // Index 13 to 15 are not in the table: the frequency is 0.
        {"frequency_index_13", AudioEsds({false, false, false}, 0x40, 0, 0, {0x16, 0x88}), 1, 0,
         0, 2, 0, 1, {0x16, 0x88}},
        {"frequency_index_15",
         AudioEsds({false, false, false}, 0x40, 0, 0, {0x17, 0x88, 0x00, 0x00, 0x00}), 1, 0, 0,
         2, 0, 1, {0x17, 0x88, 0x00, 0x00, 0x00}},
        {"frequency_index_12", AudioEsds({false, false, false}, 0x40, 0, 0, {0x16, 0x08}), 1, 0,
         0, 2, 7350, 1, {0x16, 0x08}},
    };
}

TEST(ParseAudioEsds, BothLengthFormsAndObjectTypes) {
    for (const AudioCase &c : AudioCases()) {
        SCOPED_TRACE(c.name);
        uint8_t config[100] = {};
        uint32_t length = 99, maxRate = 99, avgRate = 99, channels = 99, frequency = 99,
                 objectType = 99;
        EXPECT_EQ(ParseAudioEsds(c.esds.data(), uint32_t(c.esds.size()), config, &length,
                                 &maxRate, &avgRate, &channels, &frequency, &objectType),
                  c.result);
        EXPECT_EQ(maxRate, c.maxBitrate);
        EXPECT_EQ(avgRate, c.avgBitrate);
        EXPECT_EQ(objectType, c.objectType);
        EXPECT_EQ(frequency, c.frequency);
        EXPECT_EQ(channels, c.channels);
        ASSERT_EQ(length, c.config.size());
        EXPECT_EQ(Bytes(config, config + length), c.config);
    }
}

TEST(ParseAudioEsds, ALengthOfTwoOrThreeBytesIsReadAsOneByte) {
    // 03 80 80 n ...: not the 80 80 80 n form, so the ES_Descriptor is taken
    // to have a one-byte length and the configuration is looked for at 17,
    // inside the ES_ID.
    Bytes esds = AudioEsds({false, false, false}, 0x40, 7, 8, kLc44100Mono);
    esds.insert(esds.begin() + 13, {0x80, 0x80});
    uint8_t config[100] = {};
    uint32_t length, maxRate, avgRate, channels, frequency, objectType;
    ParseAudioEsds(esds.data(), uint32_t(esds.size()), config, &length, &maxRate, &avgRate,
                   &channels, &frequency, &objectType);
    // Short-form positions from 17: maxBitrate at 17 + 7.
    EXPECT_EQ(maxRate, ReadBigEndian32(&esds[24]));
    EXPECT_NE(maxRate, 7u);
}

TEST(ParseAudioEsds, ReadsNothingBeyondTheBytesGiven) {
    const Bytes whole = AudioEsds({true, true, true}, 0x40, 128000, 96000, kLc44100Mono);
    for (uint32_t cut = 0; cut <= whole.size(); ++cut) {
        // Exact-size copies: any read past them shows under the address
        // sanitizer.
        const std::vector<uint8_t> bytes(whole.begin(), whole.begin() + cut);
        uint8_t config[100] = {};
        uint32_t length = 99, maxRate, avgRate, channels, frequency, objectType;
        const int32_t result = ParseAudioEsds(bytes.data(), cut, config, &length, &maxRate,
                                              &avgRate, &channels, &frequency, &objectType);
        EXPECT_EQ(result, 1) << cut;
        EXPECT_LE(length, 2u) << cut;
        if (cut <= 30) {
            EXPECT_EQ(maxRate, 0u) << cut;  // bit rate not held
        }
    }
    // A DecoderSpecificInfo claiming more bytes than the esds holds hands out
    // only what is there.
    Bytes claiming = AudioEsds({false, false, false}, 0x40, 1, 1, kLc44100Mono);
    const size_t lengthByte = 12 + 2 + 3 + 2 + 13 + 1;
    ASSERT_EQ(claiming[lengthByte], 2);
    claiming[lengthByte] = 200;
    uint8_t config[100] = {};
    uint32_t length, maxRate, avgRate, channels, frequency, objectType;
    ParseAudioEsds(claiming.data(), uint32_t(claiming.size()), config, &length, &maxRate,
                   &avgRate, &channels, &frequency, &objectType);
    EXPECT_EQ(length, claiming.size() - lengthByte - 1);
}

TEST(ExtractBits, CountsAndOffsets) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    struct Case {
        uint32_t count, offset, value;
    } cases[] = {
        {0, 5, 0},           {1, 0, 0},          {1, 3, 1},
        {8, 0, 0x12},        {8, 4, 0x23},       {5, 8, 0x06},
        {4, 13, 0x8},        {32, 0, 0x12345678}, {32, 4, 0x23456789},
        {13, 27, 0x189A},
    };
    for (const Case &c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(ExtractBits(bytes, &value, c.count, c.offset), 0);
        EXPECT_EQ(value, c.value) << c.count << " bits at " << c.offset;
    }
}

// ---------------------------------------------------------------- video

// A video esds from its version byte on (as GetVideoEsdsBytes hands it out),
// with a configuration beginning with a visual object sequence header.
Bytes VideoEsdsAfterHeader(bool longLengths, uint8_t profile) {
    const Bytes specific = {0x00, 0x00, 0x01, 0xB0, profile, 0x00, 0x00, 0x01, 0xB5, 0x09};
    const Bytes config = Cat({{0x20, 0x11, 0x00, 0x08, 0x3C}, U32(250000), U32(180000),
                              Descriptor(5, longLengths, specific)});
    const Bytes es = Cat({{0x00, 0x01, 0x00}, Descriptor(4, longLengths, config),
                          Descriptor(6, longLengths, {0x02})});
    const Bytes box = FullBox("esds", 0, Descriptor(3, longLengths, es));
    return Bytes(box.begin() + 8, box.end());
}

TEST(ParseVideoEsds, BitRatesAndProfileByte) {
    struct Case {
        const char *name;
        Bytes bytes;
        int32_t result;
        uint32_t profile;
    };
    Bytes noEs = VideoEsdsAfterHeader(true, 3);
    noEs[4] = 0x04;
    Bytes noConfig = VideoEsdsAfterHeader(false, 3);
    noConfig[9] = 0x05;
    const Case cases[] = {
        // With 80 80 80 n lengths the byte is the profile_and_level_indication.
        {"long_lengths", VideoEsdsAfterHeader(true, 0xF5), 1, 0xF5},
        // With one-byte lengths it is the byte three places after it.
        {"short_lengths", VideoEsdsAfterHeader(false, 0xF5), 1, 0x01},
        {"no_es_descriptor", noEs, -1, 0},
        {"no_decoder_config", noConfig, -1, 0},
        {"only_continuation_bytes", {0, 0, 0, 0, 3, 0x80, 0x80, 0x80, 0x80, 0x80}, -1, 0},
        {"empty", {}, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes(c.bytes.begin(), c.bytes.end());
        uint32_t maxRate = 7, avgRate = 7, profile = 7;
        EXPECT_EQ(ParseVideoEsds(bytes.data(), uint32_t(bytes.size()), &maxRate, &avgRate,
                                 &profile),
                  c.result);
        EXPECT_EQ(maxRate, c.result == 1 ? 250000u : 7u);
        EXPECT_EQ(avgRate, c.result == 1 ? 180000u : 7u);
        EXPECT_EQ(profile, c.result == 1 ? c.profile : 7u);
    }
}

}  // namespace
