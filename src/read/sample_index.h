// The flat sample index entries shared by the reader and the writer.
#ifndef CORVANE_SAMPLE_INDEX_H
#define CORVANE_SAMPLE_INDEX_H

#include <cstdint>

// One sample of a track, in decoding order.
struct SampleEntry {
    uint32_t time;    // decoding time in media timescale units, 0 for the first sample
    uint32_t offset;  // absolute file offset of the sample's first byte
    uint32_t size;    // bytes
};

// One key frame (sync sample) of a video track.
struct KeyFrameEntry {
    uint32_t time;          // decoding time of the key frame's sample
    uint32_t sampleNumber;  // 0-based sample number
};

#endif
