// Elementary streams split into frames, and what ffprobe and ffmpeg make of
// a file: for the interop tests that feed the writer and the remultiplexer.
#ifndef CORVANE_TEST_STREAMS_H
#define CORVANE_TEST_STREAMS_H

#include <cstdint>
#include <string>
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
    uint32_t objectType = 0, sampleRate = 0, channels = 0;
    std::vector<StreamFrame> frames;
};
AdtsStream SplitAdts(const Bytes &data);

// H.263: a frame starts at a picture start code (00 00 8x).
std::vector<StreamFrame> SplitH263(const Bytes &data);

// ffprobe's packets of one stream ("v:0", "a:0"): decoding times relative to
// the first packet's, and sizes.
struct ProbedPacket {
    long long dts = 0, size = 0;
    bool operator==(const ProbedPacket &o) const { return dts == o.dts && size == o.size; }
};
std::vector<ProbedPacket> ProbePackets(const std::string &file, const std::string &selector);
// What ffmpeg prints while decoding the mapped streams (nothing, for a good file).
std::string DecodeErrors(const std::string &file, const std::string &maps);

#endif
