// Decoder configurations over the ranges the formats give them, written by
// every path that writes one and read back apart from the library
// (support/mp4_config.h): AAC tracks from an ADTS header, from explicit
// parameters, by Mp4AddAudio, Mp4AddVideo and `corvane mux`, for every
// sampling frequency index, every channel configuration and the object
// types ADTS carries, extracted again by `corvane extract`; MPEG-4 Visual
// tracks from their picture size or from configurations of every kind up to
// the 52 bytes a track keeps.  What is expected is what each case gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane2.h"
#include "support/interop.h"
#include "support/mp4_config.h"

namespace {

struct Aac {
    uint32_t objectType, index, channels;
    std::vector<uint32_t> frames = {30, 45, 38};  // frame lengths, 7-byte headers included
};

// Every sampling index (with channel configurations 1 to 7 among them),
// every channel configuration at 44100 Hz, the four object types of ADTS,
// AAC Main at 96000 Hz (an ADTS header whose third byte is 0) and frames as
// long as ADTS allows.
std::vector<Aac> AacCases() {
    std::vector<Aac> cases;
    for (uint32_t index = 0; index <= 12; ++index) cases.push_back({2, index, 1 + index % 7});
    for (uint32_t channels : {0u, 2u, 3u, 4u, 6u}) cases.push_back({2, 4, channels});
    for (uint32_t objectType : {1u, 3u, 4u}) cases.push_back({objectType, 3, 2});
    for (uint32_t channels : {0u, 3u, 4u}) cases.push_back({1, 0, channels});
    cases.push_back({2, 8, 7, {2048, 8191, 4000, 2047}});
    return cases;
}

// Given an ADTS header as its configuration, the writer takes the header's
// fields when its third byte is not 0, and else the header's first two bytes
// (the sync word FF F1): so for AAC Main at 96000 Hz with 0 to 3 channels.
bool WriterTakesTheSyncWord(const Aac &c) { return c.objectType == 1 && c.index == 0 && c.channels < 4; }

// An MPEG-4 ADTS header as encoders write it: no CRC, buffer fullness 0x7FF
// (variable rate), one raw data block.
Bytes AdtsHeader(const Aac &c, uint32_t length) {
    return {0xFF, 0xF1, uint8_t((c.objectType - 1) << 6 | c.index << 2 | c.channels >> 2),
            uint8_t((c.channels & 3) << 6 | length >> 11), uint8_t(length >> 3), uint8_t((length & 7) << 5 | 0x1F),
            0xFC};
}

Bytes Payload(uint32_t k, uint32_t length) {
    Bytes payload;
    for (uint32_t i = 7; i < length; ++i) payload.push_back(uint8_t(k * 31 + i));
    return payload;
}

Bytes AdtsStream(const Aac &c) {
    Bytes stream;
    for (uint32_t k = 0; k < c.frames.size(); ++k) {
        const Bytes header = AdtsHeader(c, c.frames[k]), payload = Payload(k, c.frames[k]);
        stream.insert(stream.end(), header.begin(), header.end());
        stream.insert(stream.end(), payload.begin(), payload.end());
    }
    return stream;
}

std::vector<uint32_t> PayloadSizes(const Aac &c) {
    std::vector<uint32_t> sizes;
    for (uint32_t length : c.frames) sizes.push_back(length - 7);
    return sizes;
}

// The track's AudioSpecificConfig, in an MPEG-4 audio esds.
void ExpectAudio(const TrackBoxes &t, uint32_t objectType, uint32_t index, uint32_t channels) {
    ASSERT_EQ(t.entry, "mp4a");
    const EsDescriptor es = ParseEsds(t.esds);
    EXPECT_TRUE(es.found && es.objectTypeIndication == 0x40 && es.streamType == 5 && es.slPredefined == 2);
    const AudioSpecific a = ParseAudioSpecificConfig(es.specificInfo);
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.objectType, objectType);
    EXPECT_EQ(a.frequencyIndex, index);
    EXPECT_EQ(a.channels, channels);
}

// The case's stream as a track: its configuration, its rate as time scale
// and (the integer part of 16.16, which has 16 bits) as the entry's rate,
// and its payloads.
void ExpectAacTrack(const TrackBoxes &t, const Aac &c) {
    ExpectAudio(t, c.objectType, c.index, c.channels);
    EXPECT_EQ(t.timescale, SamplingFrequency(c.index));
    EXPECT_EQ(t.sampleRate, SamplingFrequency(c.index) % 65536);
    EXPECT_EQ(t.sampleSizes, PayloadSizes(c));
}

// The video track's sizes are those of its own video object layer header.
void ExpectVideoAgrees(const TrackBoxes &t, uint32_t width, uint32_t height) {
    const VisualConfig v = ParseVisualConfig(ParseEsds(t.esds).specificInfo);
    EXPECT_TRUE(v.layer && v.width == width && v.height == height) << v.width << " x " << v.height;
    EXPECT_TRUE(t.entryWidth == width && t.entryHeight == height && t.tkhdWidth == width && t.tkhdHeight == height)
        << t.entryWidth << " x " << t.entryHeight << ", " << t.tkhdWidth << " x " << t.tkhdHeight;
}

FileInfo InfoOf(const std::string &path) {
    FileInfo info{};
    Printed([&] { EXPECT_EQ(GetFileInfo(path.c_str(), &info), 1); });
    return info;
}

// A new file with one audio track of the case's payloads.
TrackBoxes WriteAudio(const std::string &out, const Aac &c, uint32_t profile, uint32_t channels, uint32_t rate,
                      const Bytes &config) {
    MP4_local_file *file = nullptr;
    const std::string temp = out + ".a";  // the writer keeps the name until the flush
    EXPECT_EQ(MP4FileNew(&file, out.c_str()), 1);
    EXPECT_EQ(CreateTrack(file, 2, 0, 0, 0, SamplingFrequency(c.index), 0, profile, channels, rate,
                          uint32_t(config.size()), config.empty() ? nullptr : config.data(), temp.c_str(), 1),
              1);
    for (uint32_t k = 0; k < c.frames.size(); ++k) {
        const Bytes payload = Payload(k, c.frames[k]);
        EXPECT_EQ(AddAudioFrame(file, uint32_t(payload.size()), payload.data(), 1024 * k), 1);
    }
    Printed([&] { EXPECT_EQ(MP4FileFlush(file), 1); });
    return ReadTrackBoxes(ReadFileBytes(out), 0);
}

TEST(AacRanges, EveryWriterOfEveryCase) {
    InTempDir here;
    const std::string dir = TempDir(), out = dir + "/out.mp4", back = dir + "/back.aac";
    for (const Aac &c : AacCases()) {
        SCOPED_TRACE("object type " + std::to_string(c.objectType) + ", index " + std::to_string(c.index) + ", " +
                     std::to_string(c.channels) + " channels, frames of " + std::to_string(c.frames[0]));
        const uint32_t rate = SamplingFrequency(c.index);
        const std::string adts = WriteTemp("in.aac", AdtsStream(c));
        // The writer given the first header of the stream: its fields; read
        // back by GetFileInfo too.
        const TrackBoxes fromHeader = WriteAudio(out, c, 0, 0, 0, AdtsHeader(c, 100));
        if (WriterTakesTheSyncWord(c)) {
            EXPECT_TRUE(ParseEsds(fromHeader.esds).specificInfo == (Bytes{0xFF, 0xF1}));
        } else {
            ExpectAacTrack(fromHeader, c);
            const FileInfo info = InfoOf(out);
            EXPECT_EQ(info.audioSampleRate, rate);
            EXPECT_EQ(info.audioChannels, c.channels);
            EXPECT_EQ(info.audioObjectType, c.objectType);
        }
        // Given the parameters: used only when all three are not 0 (object
        // type 1 is profile 0), else the configuration's own bytes: none
        // (00 00), or an ADTS header's fields.
        const bool used = c.objectType > 1 && c.channels > 0;
        const Aac other{4, 12 - c.index, 7 - c.channels % 8};
        const TrackBoxes alone = WriteAudio(out, c, c.objectType - 1, c.channels, rate, {});
        ExpectAudio(alone, used ? c.objectType : 0, used ? c.index : 0, used ? c.channels : 0);
        const TrackBoxes both = WriteAudio(out, c, c.objectType - 1, c.channels, rate, AdtsHeader(other, 100));
        ExpectAudio(both, used ? c.objectType : 4, used ? c.index : other.index, used ? c.channels : other.channels);
        // Mp4AddAudio: sampling indexes up to 11; the source's video (128 x 96)
        // kept.
        int32_t result = 0;
        Printed([&] { result = Mp4AddAudio(Fixture("video.mp4").c_str(), adts.c_str(), out.c_str()); });
        EXPECT_EQ(result, c.index <= 11 ? 1 : -31);
        if (result == 1) {
            const TrackBoxes audio = ReadTrackBoxes(ReadFileBytes(out), 1);
            if (WriterTakesTheSyncWord(c))
                EXPECT_TRUE(ParseEsds(audio.esds).specificInfo == (Bytes{0xFF, 0xF1}));
            else
                ExpectAacTrack(audio, c);
            ExpectVideoAgrees(ReadTrackBoxes(ReadFileBytes(out), 0), 128, 96);
        }
        // Mp4AddVideo from the file written with the parameters.
        if (used) {
            const std::string source = dir + "/source.mp4";
            WriteAudio(source, c, c.objectType - 1, c.channels, rate, {});
            Printed([&] { result = Mp4AddVideo(source.c_str(), Fixture("video.m4v").c_str(), out.c_str(), 25); });
            EXPECT_EQ(result, 1);
            ExpectAudio(ReadTrackBoxes(ReadFileBytes(out), 1), c.objectType, c.index, c.channels);
        }
        // corvane mux, then corvane extract: the very stream that went in.
        // mux gives the writer the AudioSpecificConfig itself, in every case.
        int status = -1;
        Corvane("--quiet mux '" + Fixture("video.m4v") + "' '" + adts + "' '" + out + "' --fps 25", &status);
        ASSERT_EQ(status, 0);
        ExpectAacTrack(ReadTrackBoxes(ReadFileBytes(out), 1), c);
        ExpectVideoAgrees(ReadTrackBoxes(ReadFileBytes(out), 0), 176, 144);
        Corvane("extract '" + out + "' --track audio '" + back + "'", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(ReadFileBytes(back) == ReadFileBytes(adts)) << "the extracted stream differs";
    }
}

TEST(AacRanges, ConfigurationsOfEveryLength) {
    // Without parameters the configuration's bytes decide: none at all, MPEG-1
    // audio (0x6B, no DecoderSpecificInfo); a third byte that is not 0 marks an
    // ADTS header, whose fields are taken; else its first two bytes are taken
    // as they are.  Up to 52 bytes; 53 are refused.
    const struct {
        Bytes config, specific;  // specific: the AudioSpecificConfig expected, none when empty
    } cases[] = {{{}, {}},
                 {{0x12}, {0x12, 0x00}},
                 {{0x12, 0x10}, {0x12, 0x10}},
                 {{0x13, 0x88, 0x00}, {0x13, 0x88}},
                 {{0x12, 0x10, 0x56}, {0x12, 0x80}},                              // as ADTS: LC, 32000 Hz, 0 channels
                 {{0xFF, 0xF1, 0x6C, 0x80, 0x04, 0x5F, 0xFC}, {0x15, 0x90}},  // LC, 8000 Hz, stereo
                 {Bytes(52, 0x00), {0x00, 0x00}}};
    const std::string out = TempDir() + "/config.mp4";
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.config.size()) + " bytes");
        const EsDescriptor es = ParseEsds(WriteAudio(out, {2, 4, 2, {}}, 0, 0, 0, c.config).esds);
        EXPECT_TRUE(es.found && es.slPredefined == 2);
        EXPECT_EQ(es.objectTypeIndication, c.specific.empty() ? 0x6B : 0x40);
        EXPECT_EQ(es.hasSpecificInfo, !c.specific.empty());
        EXPECT_TRUE(es.specificInfo == c.specific) << "the AudioSpecificConfig differs";
    }
    MP4_local_file *file = nullptr;
    ASSERT_EQ(MP4FileNew(&file, out.c_str()), 1);
    const Bytes tooLong(53, 0x12);
    Printed([&] { EXPECT_EQ(CreateTrack(file, 2, 0, 0, 0, 44100, 0, 0, 0, 0, 53, tooLong.data(), "x.a", 1), -99); });
    Printed([&] { MP4FileFlush(file); });
}

// A new file with one MPEG-4 Visual track of one frame; the track's boxes,
// none when CreateTrack refuses it.
TrackBoxes WriteVideo(uint16_t width, uint16_t height, uint16_t resolution, uint32_t profile, const Bytes &config) {
    const std::string out = TempDir() + "/video.mp4", temp = out + ".v";
    MP4_local_file *file = nullptr;
    EXPECT_EQ(MP4FileNew(&file, out.c_str()), 1);
    int32_t created = 0;
    Printed([&] {
        created = CreateTrack(file, 1, width, height, resolution, 1000, profile, 0, 0, 0, uint32_t(config.size()),
                              config.empty() ? nullptr : config.data(), temp.c_str(), 1);
    });
    const uint8_t frame[] = {0, 0, 1, 0xB6, 0x10, 0x60, 0x70};
    EXPECT_EQ(created == 1 ? AddVideoFrame(file, sizeof frame, frame, 0, 1) : 1, 1);
    Printed([&] { EXPECT_EQ(MP4FileFlush(file), 1); });
    return created == 1 ? ReadTrackBoxes(ReadFileBytes(out), 0) : TrackBoxes{};
}

TEST(VisualRanges, TheBuiltHeaderCarriesTheTrackParameters) {
    // Without a configuration the writer builds the headers: picture sizes
    // from 1 to the largest 13 bits hold, resolutions of 1 to 16 bits, the
    // profile's low byte.  GetFileInfo reads them back.  8192 does not fit 13
    // bits: refused in either direction.
    const struct {
        uint16_t width, height, resolution;
        uint32_t profile;
    } cases[] = {{1, 1, 1, 0x01},         {176, 144, 1000, 0xF5}, {4095, 8191, 65535, 0x08},
                 {4096, 2, 30000, 0x1F3}, {8191, 4096, 2, 0xFF},  {720, 576, 25, 0x03}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const TrackBoxes t = WriteVideo(c.width, c.height, c.resolution, c.profile, {});
        const EsDescriptor es = ParseEsds(t.esds);
        EXPECT_TRUE(es.objectTypeIndication == 0x20 && es.streamType == 4 && es.slPredefined == 2);
        const VisualConfig v = ParseVisualConfig(es.specificInfo);
        EXPECT_TRUE(v.sequence && v.profileLevel == (c.profile & 0xFF) && v.resolution == c.resolution);
        ExpectVideoAgrees(t, c.width, c.height);
        const FileInfo info = InfoOf(TempDir() + "/video.mp4");
        EXPECT_TRUE(info.videoWidth == c.width && info.videoHeight == c.height &&
                    info.videoProfileLevel == (c.profile & 0xFF));
    }
    for (const auto &[width, height] : {std::pair<uint16_t, uint16_t>{8192, 16}, {16, 8192}, {65535, 65535}})
        EXPECT_FALSE(WriteVideo(width, height, 1000, 1, {}).found) << width << " x " << height;
}

// `base` followed by user data (00 00 01 B2 ...) up to `length` bytes.
Bytes WithUserData(const Bytes &base, size_t length) {
    Bytes b = base;
    if (length > b.size()) b.insert(b.end(), {0, 0, 1, 0xB2});
    b.resize(length, 'u');
    return b;
}

TEST(VisualRanges, ConfigurationsUpToFiftyTwoBytesAreWrittenWhole) {
    // A configuration that begins with a visual object sequence header is
    // written as it is, with the track's profile in its fifth byte; one that
    // begins with a video object gets a sequence and a visual object header
    // put before it (the esds then grows past the 80 bytes of its record).
    // Made of video.m4v's 30 bytes of headers (176 x 144), from the sequence
    // header on or from the video object (byte 11) on.
    const Bytes stream = ReadFileBytes(Fixture("video.m4v")), header(stream.begin(), stream.begin() + 30),
                object(stream.begin() + 11, stream.begin() + 30);
    std::vector<Bytes> configs = {Bytes(header.begin(), header.begin() + 5)};
    for (size_t length : {30u, 34u, 35u, 52u}) configs.push_back(WithUserData(header, length));
    for (size_t length : {19u, 24u, 25u, 42u, 43u, 52u}) configs.push_back(WithUserData(object, length));
    for (const Bytes &config : configs) {
        SCOPED_TRACE(std::to_string(config.size()) + " bytes from " + (config[3] == 0xB0 ? "a sequence" : "an object"));
        const TrackBoxes t = WriteVideo(320, 240, 1000, 0xE5, config);
        const EsDescriptor es = ParseEsds(t.esds);
        Bytes expected = config;
        if (config[3] == 0xB0)
            expected[4] = 0xE5;
        else
            expected.insert(expected.begin(), {0, 0, 1, 0xB0, 0xE5, 0, 0, 1, 0xB5, 0x09});
        EXPECT_TRUE(es.found && es.slPredefined == 2 && es.specificInfo == expected) << "the esds differs";
        const VisualConfig v = ParseVisualConfig(es.specificInfo);
        EXPECT_TRUE(v.profileLevel == 0xE5 && t.entryWidth == 320);
        EXPECT_TRUE(config.size() == 5 || (v.layer && v.width == 176 && v.height == 144));
    }
    EXPECT_FALSE(WriteVideo(320, 240, 1000, 1, WithUserData(header, 53)).found);
}

TEST(VisualRanges, MuxCarriesAStreamHeaderOfUpToFiftyTwoBytes) {
    // User data before the video object makes video.m4v's header 52 bytes
    // long, which the track keeps, or 53, which it cannot: the writer then
    // builds the headers from the picture size, with a resolution of 1000 and
    // the stream's profile.
    const Bytes stream = ReadFileBytes(Fixture("video.m4v"));
    for (size_t length : {52u, 53u}) {
        SCOPED_TRACE(length);
        Bytes longer = WithUserData(Bytes(stream.begin(), stream.begin() + 11), length - 19);
        longer.insert(longer.end(), stream.begin() + 11, stream.end());
        const std::string in = WriteTemp("long.m4v", longer), out = TempDir() + "/out.mp4";
        int status = -1;
        Corvane("--quiet mux '" + in + "' '" + Fixture("audio.aac") + "' '" + out + "' --fps 25", &status);
        ASSERT_EQ(status, 0);
        const TrackBoxes t = ReadTrackBoxes(ReadFileBytes(out), 0);
        ExpectVideoAgrees(t, 176, 144);
        Bytes info = ParseEsds(t.esds).specificInfo;
        if (length == 53) {
            const VisualConfig v = ParseVisualConfig(info);
            EXPECT_TRUE(v.resolution == 1000 && v.profileLevel == longer[4]);
        } else if (info.size() == 52) {
            EXPECT_TRUE(info == Bytes(longer.begin(), longer.begin() + 52)) << "not the stream's header";
        } else {
            ADD_FAILURE() << "a configuration of " << info.size() << " bytes";
        }
    }
}

TEST(VisualRanges, MuxStatesTheStreamsOwnProfile) {
    // The byte after the sequence start code 00 00 01 B0 is the stream's
    // profile_and_level_indication, which the track keeps.  A stream that
    // begins with its video object has none; the writer puts a sequence
    // header before it, stating Simple Profile @ Level 1 (0x01).
    const Bytes stream = ReadFileBytes(Fixture("video.m4v"));
    for (const uint8_t profile : {0x00, 0x03, 0x08, 0xF5}) {
        SCOPED_TRACE(int(profile));
        Bytes in = stream;
        in[4] = profile;
        for (const bool sequence : {true, false}) {
            const Bytes written = sequence ? in : Bytes(in.begin() + 11, in.end());
            const std::string path = WriteTemp("in.m4v", written), out = TempDir() + "/out.mp4";
            int status = -1;
            Corvane("--quiet mux '" + path + "' '" + Fixture("audio.aac") + "' '" + out + "'", &status);
            ASSERT_EQ(status, 0);
            const Bytes info = ParseEsds(ReadTrackBoxes(ReadFileBytes(out), 0).esds).specificInfo;
            Bytes expected(written.begin(), written.begin() + (sequence ? 30 : 19));
            if (!sequence) expected.insert(expected.begin(), {0, 0, 1, 0xB0, 0x01, 0, 0, 1, 0xB5, 0x09});
            EXPECT_TRUE(info == expected) << (sequence ? "with" : "without") << " a sequence header";
        }
    }
}

}  // namespace
