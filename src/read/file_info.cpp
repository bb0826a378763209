// The file summary (GetFileInfo) and its video esds helpers.
#include "read/config.h"

namespace {

constexpr uint8_t kEsDescriptorTag = 3;
constexpr uint8_t kDecoderConfigDescriptorTag = 4;

// Position of the last byte of the length field that begins at `offset`:
// continuation bytes (0x80) are skipped whatever their number.
uint32_t LastLengthByte(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    while (offset < length && bytes[offset] == 0x80) ++offset;
    return offset;
}

}  // namespace

// `bytes` begin with the esds version and flags.  Bytes beyond `length` read
// as 0, as from the zero-filled buffer GetFileInfo hands in; a tag that falls
// there is therefore not found.
int32_t ParseVideoEsds(const uint8_t *bytes, uint32_t length, uint32_t *maxBitrate,
                       uint32_t *avgBitrate, uint32_t *profileLevel) {
    if (ByteAt(bytes, length, 4) != kEsDescriptorTag) return -1;
    const uint32_t e = LastLengthByte(bytes, length, 5);
    // ES_ID (2 bytes) and flags (1 byte) follow the length.
    if (ByteAt(bytes, length, e + 4) != kDecoderConfigDescriptorTag) return -1;
    const uint32_t d = LastLengthByte(bytes, length, e + 5);
    *maxBitrate = BigEndianAt(bytes, length, d + 6);
    *avgBitrate = BigEndianAt(bytes, length, d + 10);
    *profileLevel = ByteAt(bytes, length, d + 23);
    return 1;
}
