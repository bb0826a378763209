// Making a new MP4 file from one track of an existing MP4 file and a raw
// elementary stream (ADTS AAC or MPEG-4 Visual), with the library's own
// reading and writing services.
#ifndef CORVANE_REMUX_H
#define CORVANE_REMUX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "atom/atom.h"

// Results of Mp4AddAudio and Mp4AddVideo.
constexpr int32_t kRemuxDone = 1;
constexpr int32_t kRemuxBadArgument = -1;      // a null path, an input stream that cannot be opened
constexpr int32_t kRemuxSourceUnreadable = -11;
constexpr int32_t kRemuxNoConfiguration = -12;
constexpr int32_t kRemuxSampleUnreadable = -21;
constexpr int32_t kRemuxBadStream = -31;
// Mp4AddVideo: a frame rate of 0 or not a number gives no frame times
// (1000 x k / rate has no value); refused before anything is opened.
constexpr int32_t kRemuxNoFrameTimes = -32;
// The new file or one of its tracks could not be created; what this call
// created is removed.
constexpr int32_t kRemuxCannotCreate = -41;

// The temporary files of the writer, in the working directory.
constexpr const char *kVideoTempName = "tempv.v";
constexpr const char *kAudioTempName = "tempa.a";

// The decoder configuration a track can carry.
constexpr uint32_t kMaxDecoderConfigBytes = 52;

// Streams of this size or more are refused (-31) before their frames are
// read: the writer keeps 32-bit byte totals, and the reader refuses MP4
// files from the same size on.
constexpr uint64_t kMaxStreamBytes = uint64_t(1) << 31;

// An ADTS frame header without CRC, and the largest frame its 13-bit
// aac_frame_length can announce.
constexpr uint32_t kAdtsHeaderBytes = 7;
constexpr uint32_t kMaxAdtsFrameBytes = 8191;
// AAC frames hold 1024 samples each.
constexpr uint32_t kAacFrameSamples = 1024;

// What became of the frames one operation handed to the writer, for callers
// that must tell a complete file from one the writer could not fill (the
// corvane tool).  The exports pass none.
struct RemuxReport {
    uint32_t framesAdded;      // frames AddVideoFrame / AddAudioFrame took
    uint32_t framesRefused;    // frames they refused
    int32_t tempFileMissing;   // 1 when a temporary file could not be created
};

// Mp4AddAudio and Mp4AddVideo, with an optional report and the options of
// the source's open (the exports read it exactly; the corvane tool reads
// tolerantly, so that it takes the files it writes as sources).
int32_t AddAudioFromFile(const char *sourceMp4, const char *adtsFile, const char *outputMp4,
                         RemuxReport *report, ReadOptions sourceRead = kExactRead);
int32_t AddVideoFromFile(const char *sourceMp4, const char *videoStream, const char *outputMp4,
                         float frameRate, RemuxReport *report, ReadOptions sourceRead = kExactRead);

// ---------------------------------------------------------------- ADTS

// The 13-bit aac_frame_length of a 7-byte header.
uint32_t AdtsFrameLength(const uint8_t *header);
// The sync word and a sampling frequency index of the table (11 or less).
bool IsUsableAdtsHeader(const uint8_t *header);
uint32_t SamplingFrequencyOfAdts(const uint8_t *header);

// ---------------------------------------------------------------- MPEG-4 Visual

// A scan of an MPEG-4 Visual elementary stream for its video object planes
// (start code 00 00 01 B6), read in pieces of a fixed size: each frame is
// handed out as soon as the next plane start code (or the end) is found,
// so memory grows with the largest frame, not with the stream.  Bytes before
// the first plane belong to no frame.
struct VisualScan {
    FILE *file;
    uint64_t left;            // bytes still to be read from the file
    uint8_t *piece;           // the bytes read last (kScanPieceBytes)
    size_t held;              // bytes in piece
    size_t pos;               // where the scan stands in piece
    size_t taken;             // bytes of piece before this have gone into the frame (or were dropped)
    bool atEnd;               // nothing more to read
    bool inFrame;             // a plane start code has been seen
    bool done;                // the last frame has been handed out
    bool readShort;           // the file ended before `left` bytes were read
    bool noMemory;            // a frame could not be held
    uint8_t *frame;           // the frame being collected (malloc'ed)
    size_t frameSize, frameCapacity;
};

constexpr size_t kScanPieceBytes = size_t(1) << 16;

// Starts a scan of at most `limit` bytes of `file` from its current
// position; false when the piece buffer cannot be allocated.
bool StartVisualScan(VisualScan *scan, FILE *file, uint64_t limit);
// 1 with the next frame (valid until the next call) and its key flag; 0 at
// the end; -1 when the frame could not be held in memory.
int32_t NextVisualFrame(VisualScan *scan, const uint8_t **bytes, uint32_t *size, int32_t *keyFlag);
// Whether the stream holds a plane start code at all; reads no more than
// needed to find one.
bool ScanFindsPlane(VisualScan *scan);
void EndVisualScan(VisualScan *scan);

// The time of frame k at `frameRate` frames per second, in milliseconds,
// truncated toward zero (computed in single precision), as a 32-bit time.
uint32_t VisualFrameTime(uint32_t k, float frameRate);

#endif
