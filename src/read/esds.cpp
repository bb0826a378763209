// Taking an audio esds apart: the ES_Descriptor (tag 3) holds a
// DecoderConfigDescriptor (tag 4) with the objectTypeIndication and the bit
// rates, which holds a DecoderSpecificInfo (tag 5): for AAC the
// AudioSpecificConfig of ISO/IEC 14496-3.
//
// Descriptor lengths are recognised in the two forms MP4 writers use: one
// byte, or 80 80 80 followed by the length byte.  Any other form is read as
// the one-byte form.
#include <cstring>

#include "read/config.h"

namespace {

// samplingFrequencyIndex 0 to 12; 13 and 14 are reserved and 15 announces an
// explicit 24-bit frequency, which this parser does not follow.
constexpr uint32_t kSamplingFrequencies[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                               22050, 16000, 12000, 11025, 8000,  7350};

constexpr uint8_t kMpeg2AudioObjectType = 0x69;
constexpr uint8_t kMpeg1AudioObjectType = 0x6B;

// Whether the length field at `offset` has the four-byte form 80 80 80 n.
bool IsLongLength(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    return ByteAt(bytes, length, offset) == 0x80 && ByteAt(bytes, length, offset + 1) == 0x80 &&
           ByteAt(bytes, length, offset + 2) == 0x80;
}

// Offset of the length byte of the length field that begins at `offset`.
uint32_t LengthByteOffset(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    return IsLongLength(bytes, length, offset) ? offset + 3 : offset;
}

}  // namespace

uint32_t EsdsBytesHeld(uint32_t atomSize) {
    return atomSize < kEsdsRecordBytes ? atomSize : kEsdsRecordBytes;
}

uint32_t SamplingFrequencyOfIndex(uint32_t index) {
    return index < 13 ? kSamplingFrequencies[index] : 0;
}

int32_t ExtractBits(const uint8_t *bytes, uint32_t *result, uint32_t count, uint32_t offset) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count && i < 32; ++i) {
        const uint32_t bit = offset + i;
        value = (value << 1) | ((bytes[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    *result = value;
    return 0;
}

// Bytes beyond `length` are read as 0, so a short esds yields zeros for what
// it does not hold rather than bytes of whatever follows it in memory.
int32_t ParseAudioEsds(const uint8_t *esds, uint32_t length, uint8_t *config,
                       uint32_t *configLength, uint32_t *maxBitrate, uint32_t *avgBitrate,
                       uint32_t *channelConfiguration, uint32_t *samplingFrequency,
                       uint32_t *audioObjectType) {
    // ES_Descriptor: tag at 12, its length from 13, then ES_ID (2) and flags (1).
    const uint32_t q = IsLongLength(esds, length, 13) ? 20 : 17;

    // DecoderConfigDescriptor at q.
    const bool longConfig = IsLongLength(esds, length, q + 1);
    const uint32_t body = longConfig ? q + 5 : q + 2;  // objectTypeIndication
    const uint8_t objectType = ByteAt(esds, length, body);
    const int32_t result =
        objectType == kMpeg1AudioObjectType || objectType == kMpeg2AudioObjectType ? -1 : 1;
    *maxBitrate = BigEndianAt(esds, length, body + 5);
    *avgBitrate = BigEndianAt(esds, length, body + 9);

    // DecoderSpecificInfo: tag at body + 13, its length field after it.
    const uint32_t lengthByte = LengthByteOffset(esds, length, body + 14);
    const uint32_t declared = ByteAt(esds, length, lengthByte);

    // The AudioSpecificConfig's first fields, counted from the length byte.
    uint8_t head[4];
    for (uint32_t i = 0; i < 4; ++i) head[i] = ByteAt(esds, length, lengthByte + i);
    uint32_t frequencyIndex = 0;
    ExtractBits(head, audioObjectType, 5, 8);
    ExtractBits(head, &frequencyIndex, 4, 13);
    ExtractBits(head, channelConfiguration, 4, 17);
    *samplingFrequency = SamplingFrequencyOfIndex(frequencyIndex);

    const uint32_t first = lengthByte + 1;
    const uint32_t held = first < length ? length - first : 0;
    const uint32_t copied = declared < held ? declared : held;
    if (copied > 0) std::memcpy(config, esds + first, copied);
    *configLength = copied;
    return result;
}
