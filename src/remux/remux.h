// Making a new MP4 file from one track of an existing MP4 file and a raw
// elementary stream (ADTS AAC or MPEG-4 Visual), with the library's own
// reading and writing services.
#ifndef CORVANE_REMUX_H
#define CORVANE_REMUX_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Results of Mp4AddAudio and Mp4AddVideo.
constexpr int32_t kRemuxDone = 1;
constexpr int32_t kRemuxBadArgument = -1;      // a null path, an input stream that cannot be opened
constexpr int32_t kRemuxSourceUnreadable = -11;
constexpr int32_t kRemuxNoConfiguration = -12;
constexpr int32_t kRemuxSampleUnreadable = -21;
constexpr int32_t kRemuxBadStream = -31;
// The new file or one of its tracks could not be created; nothing is left
// on disk.
constexpr int32_t kRemuxCannotCreate = -41;

// The temporary files of the writer, in the working directory.
constexpr const char *kVideoTempName = "tempv.v";
constexpr const char *kAudioTempName = "tempa.a";

// The decoder configuration a track can carry.
constexpr uint32_t kMaxDecoderConfigBytes = 52;

// An ADTS frame header (without CRC).
constexpr uint32_t kAdtsHeaderBytes = 7;
// AAC frames hold 1024 samples each.
constexpr uint32_t kAacFrameSamples = 1024;

// One frame of an MPEG-4 Visual elementary stream: [begin, end) of the bytes.
struct VisualFrame {
    size_t begin;
    size_t end;
};

// Splits a stream at its video object plane start codes (00 00 01 B6).  Bytes
// before the first one belong to no frame.
std::vector<VisualFrame> SplitVisualFrames(const uint8_t *bytes, size_t size);

// 1 when the plane that begins at `frame` is intra coded: the two top bits of
// the byte after its start code are 0.  A frame too short to tell is not.
int32_t IsIntraPlane(const uint8_t *bytes, const VisualFrame &frame);

// The time of frame k at `frameRate` frames per second, in milliseconds,
// truncated toward zero (computed in single precision).
uint32_t VisualFrameTime(uint32_t k, float frameRate);

#endif
