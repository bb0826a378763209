// Splitting elementary streams into frames, for tests that feed the writer.
#ifndef CORVANE_TEST_STREAMS_H
#define CORVANE_TEST_STREAMS_H

#include <cstdint>
#include <vector>

#include "support/bytes.h"

struct StreamFrame {
    Bytes bytes;
    bool key = false;
};

// MPEG-4 Part 2: the configuration is everything before the first frame; a
// frame starts at a VOP start code (00 00 01 B6), or at the group-of-VOP
// header (00 00 01 B3) just before it.  An I-VOP (the two bits after the
// start code are 0) is a key frame.
struct M4vStream {
    Bytes config;
    std::vector<StreamFrame> frames;
};
M4vStream SplitM4v(const Bytes &data);

// AAC in ADTS framing: the raw frames without their headers, and the first
// header's fields.
struct AdtsStream {
    Bytes firstHeader;  // 7 bytes
    uint32_t objectType = 0;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    std::vector<StreamFrame> frames;
};
AdtsStream SplitAdts(const Bytes &data);

// H.263: a frame starts at a picture start code (00 00 8x).
std::vector<StreamFrame> SplitH263(const Bytes &data);

#endif
