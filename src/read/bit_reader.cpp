// The bit reader and the MPEG-4 Visual video object layer header parser
// (ISO/IEC 14496-2), and GetM4vHeaderSize, which measures the configuration
// header at the start of an elementary stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/config.h"

void StartBitReader(BitReader *reader, const uint8_t *start, uint32_t length) {
    reader->current = start;
    reader->consumed = 0;
    reader->bitsLeft = 8;
    reader->end = start + length;
    reader->overrun = false;
}

namespace {

// Bits that can still be read before `end`.
uint64_t BitsAvailable(const BitReader *reader) {
    if (reader->current >= reader->end) return 0;
    return uint64_t(reader->end - reader->current - 1) * 8 + uint64_t(reader->bitsLeft);
}

void MoveToNextByte(BitReader *reader) {
    ++reader->current;
    reader->bitsLeft = 8;
}

}  // namespace

uint32_t ReadBits(BitReader *reader, uint32_t count) {
    if (count == 0 || count > 32) return 0;
    if (count > BitsAvailable(reader)) {
        reader->overrun = true;
        return 0;
    }
    const int32_t oldLeft = reader->bitsLeft;
    int32_t d = int32_t(count) - oldLeft;
    if (d < 0) {
        // Every bit comes from the current byte, which stays current.
        reader->bitsLeft = -d;
        return (*reader->current & kBitMask[oldLeft]) >> reader->bitsLeft;
    }
    if (d == 0) {
        // The rest of the current byte, exactly.
        const uint32_t result = *reader->current & kBitMask[oldLeft];
        MoveToNextByte(reader);
        reader->consumed += 1;
        return result;
    }
    reader->consumed += 1 + uint32_t(d - 1) / 8;
    uint32_t result = 0;
    while (d > 0) {
        result |= uint32_t(*reader->current & kBitMask[reader->bitsLeft]) << d;
        MoveToNextByte(reader);
        d -= 8;
    }
    result |= uint32_t(*reader->current & kBitMask[8]) >> -d;
    reader->bitsLeft = -d;
    if (reader->bitsLeft == 0) {
        MoveToNextByte(reader);
        reader->consumed += 1;
    }
    return result;
}

namespace {

void SkipBits(BitReader *reader, uint32_t count) {
    while (count > 0) {
        const uint32_t step = count < 32 ? count : 32;
        ReadBits(reader, step);
        count -= step;
    }
}

// A refusal that was decided on bits the reader could not supply is a
// truncated header, not the refusal itself.
int32_t Refuse(const BitReader &reader, int32_t code) {
    return reader.overrun ? kVolHeaderTruncated : code;
}

// Length of fixed_vop_time_increment: enough bits for 0 .. resolution - 1,
// at least 1.  This is ceil(log2(resolution)) for every 16-bit resolution,
// taken in integers so that exact powers of two cannot round up and a
// resolution of 0 does not take the logarithm of 0.
uint32_t TimeIncrementBits(uint32_t resolution) {
    uint32_t bits = 1;
    while (bits < 16 && (1u << bits) < resolution) ++bits;
    return bits;
}

void StoreIfSet(uint32_t *target, uint32_t value) {
    if (target != nullptr) *target = value;
}

}  // namespace

int32_t ParseVolHeader(const uint8_t *start, uint32_t length, uint32_t *width, uint32_t *height,
                       uint32_t *volHeaderSize) {
    BitReader reader;
    StartBitReader(&reader, start, length);
    BitReader *r = &reader;
    uint32_t verid = 1;

    ReadBits(r, 32);  // video_object_start_code
    ReadBits(r, 32);  // video_object_layer_start_code, whatever it holds
    ReadBits(r, 9);   // random_accessible_vol, video_object_type_indication
    if (ReadBits(r, 1)) {  // is_object_layer_identifier
        verid = ReadBits(r, 4);
        ReadBits(r, 3);  // video_object_layer_priority
    }
    if (ReadBits(r, 4) == 15) ReadBits(r, 16);  // aspect_ratio_info: extended PAR
    if (ReadBits(r, 1)) {                       // vol_control_parameters
        ReadBits(r, 3);                         // chroma_format, low_delay
        if (ReadBits(r, 1)) SkipBits(r, 79);    // vbv_parameters
    }
    if (ReadBits(r, 2) != 0) return Refuse(reader, kVolShapeNotRectangular);

    ReadBits(r, 1);  // marker
    const uint32_t resolution = ReadBits(r, 16);
    ReadBits(r, 1);  // marker
    if (ReadBits(r, 1)) ReadBits(r, TimeIncrementBits(resolution));  // fixed_vop_rate

    ReadBits(r, 1);
    const uint32_t layerWidth = ReadBits(r, 13);
    ReadBits(r, 1);
    const uint32_t layerHeight = ReadBits(r, 13);
    if (reader.overrun) return kVolHeaderTruncated;
    StoreIfSet(width, layerWidth);
    StoreIfSet(height, layerHeight);

    ReadBits(r, 3);  // marker, interlaced, obmc_disable
    if (ReadBits(r, verid == 1 ? 1 : 2) != 0) return Refuse(reader, kVolSpritesEnabled);
    if (ReadBits(r, 1)) return Refuse(reader, kVolNot8Bit);
    if (ReadBits(r, 1)) {                          // quant_type
        if (ReadBits(r, 1)) SkipBits(r, 64 * 8);   // load_intra_quant_mat
        if (ReadBits(r, 1)) SkipBits(r, 64 * 8);   // load_nonintra_quant_mat
    }
    if (verid != 1 && ReadBits(r, 1)) return Refuse(reader, kVolQuarterSample);
    if (ReadBits(r, 1) == 0) return Refuse(reader, kVolComplexityEstimation);
    ReadBits(r, 1);                   // resync_marker_disable
    if (ReadBits(r, 1)) ReadBits(r, 1);  // data_partitioned, reversible_vlc
    if (verid != 1) {
        if (ReadBits(r, 1)) return Refuse(reader, kVolNewPred);
        if (ReadBits(r, 1)) return Refuse(reader, kVolReducedResolution);
    }
    if (ReadBits(r, 1)) return Refuse(reader, kVolScalability);
    if (reader.overrun) return kVolHeaderTruncated;

    StoreIfSet(volHeaderSize, reader.consumed + (reader.bitsLeft != 8 ? 1 : 0));
    return kVolHeaderParsed;
}

namespace {

bool IsStartCodePrefix(const uint8_t *p) { return p[0] == 0 && p[1] == 0 && p[2] == 1; }

// Offset of the first video object start code (00 00 01 followed by a byte
// below 0x20) at a position p below n - 2, n being the bytes read, with its
// four bytes inside the buffer; 0 when there is none.
uint32_t FindVideoObjectStart(const uint8_t *bytes, int32_t read) {
    for (int32_t p = 0; p < read - 2 && p + 4 <= int32_t(kM4vHeaderBufferBytes); ++p)
        if (IsStartCodePrefix(bytes + p) && bytes[p + 3] < 0x20) return uint32_t(p);
    return 0;
}

}  // namespace

// Size of the configuration header at the start of an MPEG-4 Visual
// elementary stream: bytes from the start of the file to the end of the video
// object layer header.  The stream must begin with a video object start code
// (00 00 01 0x) or a visual object sequence start code (00 00 01 B0); in the
// latter case the headers before the first video object start code are
// counted too.  The first 500 bytes are read into a cleared buffer and the
// header is parsed from it whole: a stream shorter than its header reads
// zeros after its end.  -1 for a missing file, a null path, another start
// code or a header not handled; 0 when the working buffer cannot be
// allocated.  Null width or height pointers are skipped.  Left to this
// implementation: a header that would run past the 500 bytes (it begins
// too late in them) is refused with -1.
int32_t CORVANE_CALL GetM4vHeaderSize(const char *path, uint32_t *width, uint32_t *height) {
    if (path == nullptr) return -1;
    FILE *file = OpenFileForReading(path);
    if (file == nullptr) return -1;
    auto *buffer = static_cast<uint8_t *>(std::malloc(kM4vHeaderBufferBytes));
    if (buffer == nullptr) {
        std::printf("Unable to new memory [bitstream]\n");
        std::fclose(file);
        return 0;
    }
    std::memset(buffer, 0, kM4vHeaderBufferBytes);
    const auto read = int32_t(std::fread(buffer, 1, kM4vHeaderBufferBytes, file));

    const uint8_t code = buffer[3];
    if (!IsStartCodePrefix(buffer) || !(code < 0x20 || code == 0xB0)) {
        std::free(buffer);
        std::fclose(file);
        return -1;
    }
    const uint32_t offset = code == 0xB0 ? FindVideoObjectStart(buffer, read) : 0;
    uint32_t headerSize = 0;
    const int32_t parsed = ParseVolHeader(buffer + offset, kM4vHeaderBufferBytes - offset, width,
                                          height, &headerSize);
    std::fclose(file);
    std::free(buffer);
    if (parsed < 0) return -1;
    return int32_t(headerSize + offset);
}
