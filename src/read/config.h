// Decoder configuration of MPEG-4 streams: the bit reader and the video
// object layer header parser of MPEG-4 Visual, the parsers of the esds atom
// (the ES_Descriptor with its DecoderConfigDescriptor and DecoderSpecificInfo)
// and the helpers of the file summary.
//
// Every parser here takes the number of bytes it may read.  Bytes the caller
// did not hand over are never touched: the esds parsers read them as 0 (as if
// the buffer went on with zeros), the bit reader refuses the read and the
// header parse fails with kVolHeaderTruncated.
#ifndef CORVANE_READ_CONFIG_H
#define CORVANE_READ_CONFIG_H

#include <cstdint>

#include "corvane2.h"

// ---------------------------------------------------------------- sizes

// What an esds payload record holds from the atom's size field on.
constexpr uint32_t kEsdsRecordBytes = 80;
// The esds record from the version byte on.
constexpr uint32_t kEsdsBytesAfterHeader = kEsdsRecordBytes - 8;
// The working buffer GetM4vHeaderSize reads the head of a stream into.
constexpr uint32_t kM4vHeaderBufferBytes = 500;

// Bytes of an esds atom of `atomSize` bytes that its record holds and
// GetM4aEsdsData hands out: the size, at most 80.
uint32_t EsdsBytesHeld(uint32_t atomSize);

// ---------------------------------------------------------------- bounded bytes

// The byte at `offset`, or 0 when it lies beyond the `length` bytes held.
inline uint8_t ByteAt(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    return offset < length ? bytes[offset] : 0;
}

// Big-endian 32 bits at `offset`; bytes beyond `length` count as 0.
inline uint32_t BigEndianAt(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    return (uint32_t(ByteAt(bytes, length, offset)) << 24) |
           (uint32_t(ByteAt(bytes, length, offset + 1)) << 16) |
           (uint32_t(ByteAt(bytes, length, offset + 2)) << 8) |
           uint32_t(ByteAt(bytes, length, offset + 3));
}

// ---------------------------------------------------------------- bit reader

// Entry k is 2^k - 1: the low k bits of a byte.
constexpr uint32_t kBitMask[9] = {0, 1, 3, 7, 15, 31, 63, 127, 255};

// The sequential reader's state.  Each header parse starts its own reader,
// so parses on different threads do not disturb each other.
struct BitReader {
    const uint8_t *current;  // byte from which the next bits come
    uint32_t consumed;       // whole bytes left behind since the start
    int32_t bitsLeft;        // unread bits of the current byte, 1 to 8
    const uint8_t *end;      // one past the last byte that may be read
    bool overrun;            // a read asked for bits beyond `end`
};

// Starts a reader on the first bit of `start`, which holds `length` bytes.
void StartBitReader(BitReader *reader, const uint8_t *start, uint32_t length);

// The next `count` bits (1 to 32), most significant first.  A read that would
// need bits beyond the bytes held returns 0, leaves the position unchanged and
// sets `overrun`; a count of 0 or above 32 returns 0 and reads nothing.
uint32_t ReadBits(BitReader *reader, uint32_t count);

// ---------------------------------------------------------------- video object layer header

// Results of ParseVolHeader.
constexpr int32_t kVolHeaderParsed = 1;
constexpr int32_t kVolShapeNotRectangular = -1;
constexpr int32_t kVolSpritesEnabled = -2;
constexpr int32_t kVolNot8Bit = -3;
constexpr int32_t kVolQuarterSample = -4;
constexpr int32_t kVolComplexityEstimation = -5;
constexpr int32_t kVolNewPred = -6;
constexpr int32_t kVolReducedResolution = -7;
constexpr int32_t kVolScalability = -8;
// The header needs more bytes than `length`.
constexpr int32_t kVolHeaderTruncated = -9;

// Parses the video object header and video object layer header that begin at
// `start` (a video object start code 00 00 01 0x), reading at most `length`
// bytes.  1: width, height and header size (bytes up to the end of the
// header, a started byte counted whole) are stored.  -1 to -8: a header this
// library does not handle (width and height are already stored from -2 on).
// -9 (kVolHeaderTruncated): the header runs past the `length` bytes; width and
// height are stored only if they were read before that.  Null result pointers
// are skipped.
int32_t ParseVolHeader(const uint8_t *start, uint32_t length, uint32_t *width, uint32_t *height,
                       uint32_t *volHeaderSize);

// ---------------------------------------------------------------- esds parsers

// Sampling frequency in Hz of a samplingFrequencyIndex; the reserved and
// escape indices 13 to 15 (and anything larger) give 0.
uint32_t SamplingFrequencyOfIndex(uint32_t index);

// `count` bits (0 to 32) beginning `offset` bits after the first bit of
// `bytes`, most significant first, into `result`.  Reads the bytes that hold
// those bits and nothing else; keeps no state; returns 0.
int32_t ExtractBits(const uint8_t *bytes, uint32_t *result, uint32_t count, uint32_t offset);

// Takes an audio esds apart.  `esds` holds `length` bytes of the atom from its
// size field on (what GetM4aEsdsData hands out: at most 80).  Fills the bit
// rates, the AudioSpecificConfig's audioObjectType, sampling frequency and
// channelConfiguration, and copies the AudioSpecificConfig into `config`.
// `configLength` receives the number of bytes copied: the DecoderSpecificInfo
// length, cut to the bytes the esds holds after the length byte (so it never
// exceeds `length`; `config` must hold that many).  Result: 1, or -1 when the
// objectTypeIndication names MPEG-1 or MPEG-2 audio (0x6B, 0x69); the outputs
// are filled in both cases.
int32_t ParseAudioEsds(const uint8_t *esds, uint32_t length, uint8_t *config,
                       uint32_t *configLength, uint32_t *maxBitrate, uint32_t *avgBitrate,
                       uint32_t *channelConfiguration, uint32_t *samplingFrequency,
                       uint32_t *audioObjectType);

// Bit rates and profile byte of a video esds.  `bytes` holds `length` bytes of
// the atom from its version byte on (what GetVideoEsdsBytes hands out).
// Result: 1, or -1 when the ES_Descriptor or DecoderConfigDescriptor tag is
// not where it belongs (nothing stored then).
int32_t ParseVideoEsds(const uint8_t *bytes, uint32_t length, uint32_t *maxBitrate,
                       uint32_t *avgBitrate, uint32_t *profileLevel);

// ---------------------------------------------------------------- handle-based helpers

// The video track's esds from its version byte on, at most 72 bytes (see
// decoder_config.cpp).  0 for a null buffer; -99 for a null handle, an empty
// video slot or a missing atom (with the same messages as GetM4vEsdsData).
int32_t GetVideoEsdsBytes(MP4_read_file *handle, uint8_t *buffer, uint32_t *size);

// Frames per second of `frameCount` frames over `duration` units of
// `timescale`, truncated; 0 when the duration is 0, UINT32_MAX when the
// quotient does not fit.
uint32_t WholeFrameRate(uint32_t timescale, uint32_t frameCount, uint32_t duration);

#endif
