// Decoder configurations read from the bytes of a file, apart from the
// library: a track's boxes (tkhd, mdhd, the sample entry, stsz), the
// ES_Descriptor of its esds box, the AudioSpecificConfig of AAC, and the
// visual object sequence and video object layer headers of MPEG-4 Visual.
// Every field is parsed as the standards lay it out (descriptor lengths in
// their general form of up to four bytes of seven bits), so that a value
// written in the wrong place or computed wrongly shows as a difference with
// what a test gave the writer.
#ifndef CORVANE_TEST_MP4_CONFIG_H
#define CORVANE_TEST_MP4_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

// The ES_Descriptor of an esds box (ISO/IEC 14496-1), from the box's bytes.
struct EsDescriptor {
    bool found = false;  // with a DecoderConfigDescriptor
    uint8_t objectTypeIndication = 0, streamType = 0;
    bool hasSpecificInfo = false;
    Bytes specificInfo;      // the DecoderSpecificInfo's payload
    int slPredefined = -1;   // the SLConfigDescriptor's byte; -1 without one
};
EsDescriptor ParseEsds(const Bytes &box);

// The first fields of an AudioSpecificConfig (ISO/IEC 14496-3).
struct AudioSpecific {
    bool valid = false;
    uint32_t objectType = 0, frequencyIndex = 0, channels = 0;
};
AudioSpecific ParseAudioSpecificConfig(const Bytes &config);
// The sampling frequency of an index; 0 for 13 to 15.
uint32_t SamplingFrequency(uint32_t index);

// MPEG-4 Visual (ISO/IEC 14496-2): the profile of the visual object sequence
// header and the first video object layer header up to its picture size.
struct VisualConfig {
    bool sequence = false, layer = false;
    uint8_t profileLevel = 0;
    uint32_t resolution = 0, width = 0, height = 0;
};
VisualConfig ParseVisualConfig(const Bytes &config);

// The boxes of track `index` of a file (0: the first trak of moov).
struct TrackBoxes {
    bool found = false;
    uint32_t tkhdWidth = 0, tkhdHeight = 0;  // integer parts of 16.16
    uint32_t timescale = 0;                  // mdhd
    std::string entry;                       // the first sample entry's type
    uint32_t entryWidth = 0, entryHeight = 0, sampleRate = 0;  // sample rate: integer part of 16.16
    Bytes esds;
    std::vector<uint32_t> sampleSizes;       // stsz
};
TrackBoxes ReadTrackBoxes(const Bytes &file, int index);

#endif
