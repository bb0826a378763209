// The bit reader, the video object layer header parser and GetM4vHeaderSize,
// on headers assembled field by field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "read/config.h"
#include "support/bytes.h"

namespace {

// ---------------------------------------------------------------- ReadBits

struct ReadStep {
    uint32_t count;
    uint32_t value;
    uint32_t consumed;
    int32_t bitsLeft;
    bool overrun;
};

void RunSteps(const Bytes &bytes, const std::vector<ReadStep> &steps) {
    BitReader reader;
    StartBitReader(&reader, bytes.data(), uint32_t(bytes.size()));
    for (size_t i = 0; i < steps.size(); ++i) {
        const ReadStep &s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(ReadBits(&reader, s.count), s.value);
        EXPECT_EQ(reader.consumed, s.consumed);
        EXPECT_EQ(reader.bitsLeft, s.bitsLeft);
        EXPECT_EQ(reader.overrun, s.overrun);
    }
}

TEST(ReadBits, WithinAcrossAndToTheEndOfBytes) {
    // 10100101 00111100 11111111 00000001 10000000 01111110
    RunSteps({0xA5, 0x3C, 0xFF, 0x01, 0x80, 0x7E},
             {
                 {3, 0x5, 0, 5, false},     // inside the first byte
                 {5, 0x5, 1, 8, false},     // exactly the rest of it
                 {4, 0x3, 1, 4, false},
                 {12, 0xCFF, 3, 8, false},  // across, ending on a boundary
                 {1, 0x0, 3, 7, false},
                 {16, 0x300, 5, 7, false},  // across three bytes
                 {8, 0x0, 5, 7, true},      // one bit more than held: refused
                 {7, 0x7E, 6, 8, true},     // the position did not move
                 {1, 0x0, 6, 8, true},
             });
}

TEST(ReadBits, ThirtyTwoBitsFromTheMiddleOfAByte) {
    RunSteps({0xFF, 0x12, 0x34, 0x56, 0x78},
             {{4, 0xF, 0, 4, false}, {32, 0xF1234567, 4, 4, false}, {4, 0x8, 5, 8, false}});
    RunSteps({0x12, 0x34, 0x56, 0x78}, {{32, 0x12345678, 4, 8, false}});
}

// ---------------------------------------------------------------- assembling headers

class BitWriter {
public:
    void Put(uint32_t value, uint32_t bits) {
        for (uint32_t i = bits; i-- > 0;) PutBit((value >> i) & 1);
    }
    uint32_t bitCount() const { return bits_; }
    // The bytes, the last one completed with next_start_code stuffing
    // (a 0 then 1s), followed by a VOP start code.
    Bytes Finish() const {
        BitWriter copy = *this;
        if (copy.bits_ % 8 != 0) {
            copy.PutBit(0);
            while (copy.bits_ % 8 != 0) copy.PutBit(1);
        }
        Bytes out = copy.bytes_;
        for (uint8_t b : {0x00, 0x00, 0x01, 0xB6, 0x10}) out.push_back(b);
        return out;
    }

private:
    void PutBit(uint32_t bit) {
        if (bits_ % 8 == 0) bytes_.push_back(0);
        if (bit) bytes_.back() |= uint8_t(0x80 >> (bits_ % 8));
        ++bits_;
    }
    Bytes bytes_;
    uint32_t bits_ = 0;
};

// Fields of a video object layer header; the defaults make the simplest
// header the parser accepts.
struct Vol {
    uint32_t verid = 0;  // 0: no is_object_layer_identifier
    uint32_t aspect = 1;
    bool volControl = false, vbv = false;
    uint32_t shape = 0;
    uint32_t resolution = 25;
    bool fixedRate = false;
    uint32_t increment = 0;
    uint32_t incrementBits = 0;
    uint32_t width = 176, height = 144;
    uint32_t sprite = 0;
    bool not8Bit = false, quantType = false, intraMatrix = false, nonIntraMatrix = false;
    bool quarterSample = false, complexityDisable = true, dataPartitioned = false;
    bool newPred = false, reducedResolution = false, scalability = false;
};

BitWriter Write(const Vol &v) {
    BitWriter w;
    w.Put(0x00000100, 32);  // video_object_start_code
    w.Put(0x00000120, 32);  // video_object_layer_start_code
    w.Put(0, 1);            // random_accessible_vol
    w.Put(1, 8);            // video_object_type_indication: simple
    w.Put(v.verid != 0, 1);
    if (v.verid != 0) w.Put(v.verid, 4), w.Put(1, 3);
    w.Put(v.aspect, 4);
    if (v.aspect == 15) w.Put(0xABCD, 16);
    w.Put(v.volControl, 1);
    if (v.volControl) {
        w.Put(0x3, 3);  // chroma_format 1, low_delay 1
        w.Put(v.vbv, 1);
        if (v.vbv) {
            // bit rate, buffer size and occupancy halves with their markers
            w.Put(0x7FFF, 15), w.Put(1, 1), w.Put(0x0001, 15), w.Put(1, 1);
            w.Put(0x7FFF, 15), w.Put(1, 1), w.Put(0x5, 3), w.Put(0x7FF, 11);
            w.Put(1, 1), w.Put(0x1234, 15), w.Put(1, 1);
        }
    }
    w.Put(v.shape, 2);
    w.Put(1, 1), w.Put(v.resolution, 16), w.Put(1, 1);
    w.Put(v.fixedRate, 1);
    if (v.fixedRate) w.Put(v.increment, v.incrementBits);
    w.Put(1, 1), w.Put(v.width, 13), w.Put(1, 1), w.Put(v.height, 13);
    w.Put(0x5, 3);  // marker, interlaced 0, obmc_disable 1
    w.Put(v.sprite, v.verid == 0 || v.verid == 1 ? 1 : 2);
    w.Put(v.not8Bit, 1);
    w.Put(v.quantType, 1);
    if (v.quantType) {
        w.Put(v.intraMatrix, 1);
        for (int i = 0; v.intraMatrix && i < 64; ++i) w.Put(8 + i, 8);
        w.Put(v.nonIntraMatrix, 1);
        for (int i = 0; v.nonIntraMatrix && i < 64; ++i) w.Put(16 + i, 8);
    }
    if (v.verid > 1) w.Put(v.quarterSample, 1);
    w.Put(v.complexityDisable, 1);
    w.Put(1, 1);  // resync_marker_disable
    w.Put(v.dataPartitioned, 1);
    if (v.dataPartitioned) w.Put(1, 1);  // reversible_vlc
    if (v.verid > 1) w.Put(v.newPred, 1), w.Put(v.reducedResolution, 1);
    w.Put(v.scalability, 1);
    return w;
}

// ---------------------------------------------------------------- ParseVolHeader

struct VolCase {
    const char *name;
    Vol vol;
    int32_t result;
    bool sizeStored;  // width and height are set
    bool endsOnBoundary;
};

Vol With(void (*change)(Vol &)) {
    Vol v;
    change(v);
    return v;
}

const VolCase kVolCases[] = {
    {"plain", Vol{}, 1, true, false},
    {"ends_on_byte_boundary",
     With([](Vol &v) { v.fixedRate = true, v.increment = 1, v.incrementBits = 5,
                       v.dataPartitioned = true; }),
     1, true, true},
    {"fixed_rate_30000_skips_15_bits",
     With([](Vol &v) { v.resolution = 30000, v.fixedRate = true, v.increment = 1001,
                       v.incrementBits = 15, v.width = 720, v.height = 576; }),
     1, true, false},
    {"fixed_rate_25_skips_5_bits",
     With([](Vol &v) { v.fixedRate = true, v.increment = 31, v.incrementBits = 5; }), 1, true,
     false},
    {"fixed_rate_1_skips_1_bit",
     With([](Vol &v) { v.resolution = 1, v.fixedRate = true, v.increment = 1,
                       v.incrementBits = 1; }),
     1, true, false},
    {"fixed_rate_0_skips_1_bit",
     With([](Vol &v) { v.resolution = 0, v.fixedRate = true, v.increment = 1,
                       v.incrementBits = 1; }),
     1, true, false},
    {"fixed_rate_32768_skips_15_bits",
     With([](Vol &v) { v.resolution = 32768, v.fixedRate = true, v.increment = 0x7FFF,
                       v.incrementBits = 15; }),
     1, true, false},
    {"extended_par_and_vbv",
     With([](Vol &v) { v.aspect = 15, v.volControl = true, v.vbv = true, v.verid = 1; }), 1,
     true, false},
    {"quant_matrices",
     With([](Vol &v) { v.quantType = v.intraMatrix = v.nonIntraMatrix = true; }), 1, true,
     false},
    {"quant_type_without_matrices", With([](Vol &v) { v.quantType = true; }), 1, true, false},
    {"version_2", With([](Vol &v) { v.verid = 2, v.width = 64, v.height = 48; }), 1, true, false},
    {"shape_not_rectangular", With([](Vol &v) { v.shape = 2; }), -1, false, false},
    {"sprites", With([](Vol &v) { v.sprite = 1; }), -2, true, false},
    {"version_2_sprite_gmc", With([](Vol &v) { v.verid = 2, v.sprite = 2; }), -2, true, false},
    {"not_8_bit", With([](Vol &v) { v.not8Bit = true; }), -3, true, false},
    {"quarter_sample", With([](Vol &v) { v.verid = 2, v.quarterSample = true; }), -4, true,
     false},
    {"complexity_estimation", With([](Vol &v) { v.complexityDisable = false; }), -5, true, false},
    {"newpred", With([](Vol &v) { v.verid = 2, v.newPred = true; }), -6, true, false},
    {"reduced_resolution", With([](Vol &v) { v.verid = 2, v.reducedResolution = true; }), -7,
     true, false},
    {"scalability", With([](Vol &v) { v.scalability = true; }), -8, true, false},
};

void PrintTo(const VolCase &c, std::ostream *out) { *out << c.name; }

class VolHeader : public testing::TestWithParam<VolCase> {};

TEST_P(VolHeader, ResultSizeAndHeaderLength) {
    const VolCase &c = GetParam();
    const BitWriter w = Write(c.vol);
    const Bytes bytes = w.Finish();
    EXPECT_EQ(w.bitCount() % 8 == 0, c.endsOnBoundary) << w.bitCount();
    uint32_t width = 7, height = 7, size = 7;
    EXPECT_EQ(ParseVolHeader(bytes.data(), uint32_t(bytes.size()), &width, &height, &size),
              c.result);
    EXPECT_EQ(width, c.sizeStored ? c.vol.width : 7);
    EXPECT_EQ(height, c.sizeStored ? c.vol.height : 7);
    EXPECT_EQ(size, c.result == 1 ? (w.bitCount() + 7) / 8 : 7);
    if (c.result == 1) {
        // The header ends where the next start code begins.
        ASSERT_GE(bytes.size(), size + 3);
        EXPECT_EQ(Bytes(bytes.begin() + size, bytes.begin() + size + 3), Bytes({0, 0, 1}));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VolHeader, testing::ValuesIn(kVolCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(VolHeader, EveryCutShortOfTheHeaderIsRefusedAsTruncated) {
    for (const Vol &vol : {Vol{}, With([](Vol &v) {
                               v.verid = 2, v.quantType = v.intraMatrix = true;
                           })}) {
        const BitWriter w = Write(vol);
        const Bytes bytes = w.Finish();
        const uint32_t needed = (w.bitCount() + 7) / 8;
        for (uint32_t length = 0; length < needed; ++length) {
            // An exact-size copy, so that a read past it is caught by the
            // address sanitizer.
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + length);
            uint32_t width = 7, height = 7, size = 7;
            EXPECT_EQ(ParseVolHeader(cut.data(), length, &width, &height, &size),
                      kVolHeaderTruncated)
                << length;
            EXPECT_EQ(size, 7u);
            const bool sizeRead = length * 8 >= 128 + (vol.verid ? 7u : 0u);
            EXPECT_EQ(width, sizeRead ? vol.width : 7u) << length;
        }
        uint32_t size = 0;
        std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + needed);
        EXPECT_EQ(ParseVolHeader(exact.data(), needed, nullptr, nullptr, &size), 1);
        EXPECT_EQ(size, needed);
    }
}

// ---------------------------------------------------------------- GetM4vHeaderSize

Bytes PlainHeader() { return Write(Vol{}).Finish(); }

const Bytes kSequenceAndObject = {0x00, 0x00, 0x01, 0xB0, 0x01,   // visual_object_sequence
                                  0x00, 0x00, 0x01, 0xB5, 0x09};  // visual_object

struct StreamCase {
    const char *name;
    Bytes bytes;
    int32_t result;
};

TEST(GetM4vHeaderSize, StartCodesAndFiles) {
    const uint32_t plain = (Write(Vol{}).bitCount() + 7) / 8;
    const Bytes header = PlainHeader();
    Bytes big = Cat({kSequenceAndObject, PlainHeader(), Zeros(2000)});
    const StreamCase cases[] = {
        {"video_object_first", PlainHeader(), int32_t(plain)},
        {"sequence_first", Cat({kSequenceAndObject, PlainHeader()}),
         int32_t(plain + kSequenceAndObject.size())},
        {"longer_than_the_buffer", big, int32_t(plain + kSequenceAndObject.size())},
        {"vop_first", Cat({{0x00, 0x00, 0x01, 0xB6}, PlainHeader()}), -1},
        {"empty", {}, -1},
        {"only_a_prefix", {0x00, 0x00, 0x01}, -1},
        {"cut_header", Bytes(header.begin(), header.begin() + 12), -1},
        {"not_handled", Write(With([](Vol &v) { v.scalability = true; })).Finish(), -1},
    };
    for (const StreamCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteTemp(std::string(c.name) + ".m4v", c.bytes);
        uint32_t width = 0, height = 0;
        EXPECT_EQ(GetM4vHeaderSize(path.c_str(), &width, &height), c.result);
        if (c.result > 0) {
            EXPECT_EQ(width, 176u);
            EXPECT_EQ(height, 144u);
        }
    }
}

TEST(GetM4vHeaderSize, MissingFileAndNullArguments) {
    uint32_t width = 0, height = 0;
    EXPECT_EQ(GetM4vHeaderSize((TempDir() + "/missing.m4v").c_str(), &width, &height), -1);
    EXPECT_EQ(GetM4vHeaderSize(nullptr, &width, &height), -1);
    const std::string path = WriteTemp("plain.m4v", PlainHeader());
    EXPECT_GT(GetM4vHeaderSize(path.c_str(), nullptr, nullptr), 0);
}

TEST(GetM4vHeaderSize, BundledStreams) {
    uint32_t width = 0, height = 0;
    EXPECT_GT(GetM4vHeaderSize(Fixture("video.m4v").c_str(), &width, &height), 0);
    EXPECT_EQ(width, 176u);
    EXPECT_EQ(height, 144u);
    EXPECT_GT(GetM4vHeaderSize(Fixture("video_xvid.m4v").c_str(), &width, &height), 0);
    EXPECT_EQ(width, 160u);
    EXPECT_EQ(height, 120u);
    EXPECT_EQ(GetM4vHeaderSize(Fixture("video.h263").c_str(), &width, &height), -1);
}

}  // namespace
