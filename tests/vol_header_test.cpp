// The bit reader, the video object layer header parser and GetM4vHeaderSize,
// on headers assembled field by field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "read/config.h"
#include "support/bytes.h"

namespace {

TEST(ReadBits, WithinAcrossAndToTheEndOfBytes) {
    struct Step {
        uint32_t count, value, consumed;
        int32_t bitsLeft;
        bool overrun;
    };
    // 10100101 00111100 11111111 00000001 10000000 01111110
    const std::pair<Bytes, std::vector<Step>> runs[] = {
        {{0xA5, 0x3C, 0xFF, 0x01, 0x80, 0x7E},
         {{3, 0x5, 0, 5, false},     // inside the first byte
          {5, 0x5, 1, 8, false},     // exactly the rest of it
          {4, 0x3, 1, 4, false},
          {12, 0xCFF, 3, 8, false},  // across, ending on a boundary
          {1, 0x0, 3, 7, false},
          {16, 0x300, 5, 7, false},  // across three bytes
          {8, 0x0, 5, 7, true},      // one bit more than held: refused
          {7, 0x7E, 6, 8, true},     // the position did not move
          {1, 0x0, 6, 8, true}}},
        {{0xFF, 0x12, 0x34, 0x56, 0x78},
         {{4, 0xF, 0, 4, false}, {32, 0xF1234567, 4, 4, false}, {4, 0x8, 5, 8, false}}},
    };
    for (const auto &[bytes, steps] : runs) {
        BitReader reader;
        StartBitReader(&reader, bytes.data(), uint32_t(bytes.size()));
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step &s = steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            EXPECT_EQ(ReadBits(&reader, s.count), s.value);
            EXPECT_EQ(reader.consumed, s.consumed);
            EXPECT_EQ(reader.bitsLeft, s.bitsLeft);
            EXPECT_EQ(reader.overrun, s.overrun);
        }
    }
}

class BitWriter {
public:
    void Put(uint32_t value, uint32_t bits) {
        for (uint32_t i = bits; i-- > 0;) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= uint8_t(0x80 >> (bits_ % 8));
            ++bits_;
        }
    }
    uint32_t bitCount() const { return bits_; }
    // The bytes, the last one completed with next_start_code stuffing
    // (a 0 then 1s), followed by a VOP start code.
    Bytes Finish() const {
        BitWriter copy = *this;
        if (bits_ % 8 != 0) copy.Put(0x7F >> (bits_ % 8), 8 - bits_ % 8);
        return Cat({copy.bytes_, {0x00, 0x00, 0x01, 0xB6, 0x10}});
    }

private:
    Bytes bytes_;
    uint32_t bits_ = 0;
};

// Fields of a video object layer header; the defaults make the simplest
// header the parser accepts.
struct Vol {
    uint32_t verid = 0;  // 0: no is_object_layer_identifier
    uint32_t aspect = 1;
    bool volControl = false;
    uint32_t shape = 0, resolution = 25;
    bool fixedRate = false;
    uint32_t increment = 0, incrementBits = 0;
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
        w.Put(0x7, 4);  // chroma_format 1, low_delay 1, vbv_parameters 1
        // bit rate, buffer size and occupancy halves with their markers
        w.Put(0x7FFF, 15), w.Put(1, 1), w.Put(0x0001, 15), w.Put(1, 1);
        w.Put(0x7FFF, 15), w.Put(1, 1), w.Put(0x5, 3), w.Put(0x7FF, 11);
        w.Put(1, 1), w.Put(0x1234, 15), w.Put(1, 1);
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

Vol With(void (*change)(Vol &)) {
    Vol v;
    change(v);
    return v;
}

struct VolCase {
    const char *name;
    Vol vol;
    int32_t result;  // width and height are stored from -2 on
};

// vop_time_increment takes as many bits as vop_time_increment_resolution - 1
// needs, at least one.
const VolCase kVolCases[] = {
    {"plain", Vol{}, 1},
    {"fixed_rate_25_skips_5_bits_to_a_byte_boundary", With([](Vol &v) { v.fixedRate = true, v.increment = 31, v.incrementBits = 5, v.dataPartitioned = true; }), 1},
    {"fixed_rate_1_skips_1_bit", With([](Vol &v) { v.resolution = 1, v.fixedRate = true, v.increment = 1, v.incrementBits = 1; }), 1},
    {"fixed_rate_0_skips_1_bit", With([](Vol &v) { v.resolution = 0, v.fixedRate = true, v.increment = 1, v.incrementBits = 1; }), 1},
    {"fixed_rate_32768_skips_15_bits", With([](Vol &v) { v.resolution = 32768, v.fixedRate = true, v.increment = 0x7FFF, v.incrementBits = 15, v.width = 720, v.height = 576; }), 1},
    {"extended_par_and_vbv", With([](Vol &v) { v.aspect = 15, v.volControl = true, v.verid = 1; }), 1},
    {"quant_matrices", With([](Vol &v) { v.quantType = v.intraMatrix = v.nonIntraMatrix = true; }), 1},
    {"quant_type_without_matrices", With([](Vol &v) { v.quantType = true; }), 1},
    {"version_2", With([](Vol &v) { v.verid = 2, v.width = 64, v.height = 48; }), 1},
    {"shape_not_rectangular", With([](Vol &v) { v.shape = 2; }), -1},
    {"sprites", With([](Vol &v) { v.sprite = 1; }), -2},
    {"version_2_sprite_gmc", With([](Vol &v) { v.verid = 2, v.sprite = 2; }), -2},
    {"not_8_bit", With([](Vol &v) { v.not8Bit = true; }), -3},
    {"quarter_sample", With([](Vol &v) { v.verid = 2, v.quarterSample = true; }), -4},
    {"complexity_estimation", With([](Vol &v) { v.complexityDisable = false; }), -5},
    {"newpred", With([](Vol &v) { v.verid = 2, v.newPred = true; }), -6},
    {"reduced_resolution", With([](Vol &v) { v.verid = 2, v.reducedResolution = true; }), -7},
    {"scalability", With([](Vol &v) { v.scalability = true; }), -8},
};

void PrintTo(const VolCase &c, std::ostream *out) { *out << c.name; }

class VolHeader : public testing::TestWithParam<VolCase> {};

TEST_P(VolHeader, ResultSizeAndHeaderLength) {
    const VolCase &c = GetParam();
    const BitWriter w = Write(c.vol);
    const Bytes bytes = w.Finish();
    EXPECT_EQ(w.bitCount() % 8 == 0, std::string(c.name).find("byte_boundary") != std::string::npos);
    uint32_t width = 7, height = 7, size = 7;
    EXPECT_EQ(ParseVolHeader(bytes.data(), uint32_t(bytes.size()), &width, &height, &size),
              c.result);
    EXPECT_EQ(width, c.result != -1 ? c.vol.width : 7);
    EXPECT_EQ(height, c.result != -1 ? c.vol.height : 7);
    EXPECT_EQ(size, c.result == 1 ? (w.bitCount() + 7) / 8 : 7);
    // A parsed header ends where the next start code begins.
    if (c.result == 1) {
        EXPECT_EQ(Bytes(bytes.begin() + size, bytes.begin() + size + 3), Bytes({0, 0, 1}));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VolHeader, testing::ValuesIn(kVolCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(VolHeader, EveryCutShortOfTheHeaderIsRefusedAsTruncated) {
    for (const Vol &vol : {Vol{}, With([](Vol &v) { v.verid = 2, v.quantType = v.intraMatrix = true; })}) {
        const BitWriter w = Write(vol);
        const Bytes bytes = w.Finish();
        const uint32_t needed = (w.bitCount() + 7) / 8;
        for (uint32_t length = 0; length <= needed; ++length) {
            // An exact-size copy: a read past it shows under the address sanitizer.
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + length);
            uint32_t width = 7, size = 7;
            EXPECT_EQ(ParseVolHeader(cut.data(), length, &width, nullptr, &size),
                      length < needed ? kVolHeaderTruncated : 1)
                << length;
            EXPECT_EQ(size, length < needed ? 7u : needed);
            const bool sizeRead = length * 8 >= 128 + (vol.verid ? 7u : 0u);
            EXPECT_EQ(width, sizeRead ? vol.width : 7u) << length;
        }
    }
}

TEST(GetM4vHeaderSize, StartCodesAndFiles) {
    const Bytes header = Write(Vol{}).Finish();
    const int32_t plain = int32_t(Write(Vol{}).bitCount() + 7) / 8;
    const Bytes sequence = {0x00, 0x00, 0x01, 0xB0, 0x01,   // visual_object_sequence
                            0x00, 0x00, 0x01, 0xB5, 0x09};  // visual_object
    struct Case {
        std::string path;
        int32_t result;
        uint32_t width, height;
    };
    const Case cases[] = {
        {WriteTemp("object_first.m4v", header), plain, 176, 144},
        {WriteTemp("sequence_first.m4v", Cat({sequence, header})), plain + 10, 176, 144},
        {WriteTemp("longer_than_the_buffer.m4v", Cat({sequence, header, Zeros(2000)})), plain + 10, 176, 144},
        {WriteTemp("vop_first.m4v", Cat({{0x00, 0x00, 0x01, 0xB6}, header})), -1, 0, 0},
        {WriteTemp("empty.m4v", {}), -1, 0, 0},
        {WriteTemp("only_a_prefix.m4v", {0x00, 0x00, 0x01}), -1, 0, 0},
        {WriteTemp("cut_header.m4v", Bytes(header.begin(), header.begin() + 12)), -1, 0, 0},
        // The 500-byte buffer is cleared and parsed whole: a stream cut short
        // reads zeros where it ends: here the last byte's two bits are 0, and
        // the height's low eight bits are lost (it is stored all the same).
        {WriteTemp("missing_its_last_zero_bits.m4v", Bytes(header.begin(), header.begin() + plain - 1)),
         plain, 176, 144},
        {WriteTemp("cut_in_the_height.m4v", Bytes(header.begin(), header.begin() + 15)), -1, 176, 0},
        // Width and height are stored before the scalability flag refuses it.
        {WriteTemp("not_handled.m4v", Write(With([](Vol &v) { v.scalability = true; })).Finish()), -1, 176, 144},
        {TempDir() + "/missing.m4v", -1, 0, 0},
        {Fixture("video.m4v"), 0, 176, 144},  // 0: any size above 0
        {Fixture("video_xvid.m4v"), 0, 160, 120},
        {Fixture("video.h263"), -1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        uint32_t width = 0, height = 0;
        const int32_t result = GetM4vHeaderSize(c.path.c_str(), &width, &height);
        EXPECT_EQ(c.result == 0 ? result > 0 : result == c.result, true) << result;
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
    }
    uint32_t width = 0, height = 0;
    EXPECT_EQ(GetM4vHeaderSize(nullptr, &width, &height), -1);
    EXPECT_EQ(GetM4vHeaderSize(cases[0].path.c_str(), nullptr, nullptr), plain);
}

}  // namespace
