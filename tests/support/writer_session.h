// A file being written through the exports, for tests: tracks with the
// usual parameters and frames of given sizes and times.
#ifndef CORVANE_TEST_WRITER_SESSION_H
#define CORVANE_TEST_WRITER_SESSION_H

#include <string>
#include <vector>

#include "corvane2.h"
#include "support/bytes.h"

struct WriterSession {
    WriterSession();
    ~WriterSession();  // flushes a file the test left open

    int32_t Video(const Bytes &config = {}, uint32_t codec = 1, uint16_t width = 176,
                  uint16_t height = 144, uint32_t timescale = 1000);
    int32_t Audio(uint32_t profile = 1, uint32_t channels = 2, uint32_t frequency = 44100,
                  const Bytes &config = {}, uint32_t codec = 1, uint32_t timescale = 44100);
    int32_t ObjectDescriptor();
    int32_t Scene();

    // Frame i has the byte value i (mod 256) throughout; sizes and key flags
    // repeat when shorter than the times.
    void VideoFrames(const std::vector<uint32_t> &times, const std::vector<uint32_t> &sizes,
                     const std::vector<bool> &keys);
    void AudioFrames(const std::vector<uint32_t> &times, const std::vector<uint32_t> &sizes);

    Bytes Flush();  // flushes and returns the output file's bytes

    std::string dir, out, tempv, tempa;
    MP4_local_file *file = nullptr;
};

Bytes FrameBytes(uint32_t index, uint32_t size);
std::vector<uint32_t> Steps(uint32_t count, uint32_t step);  // 0, step, 2 step, ...

// Where a box below the sample table of the file's trak number `trak` is,
// for FindBox and BoxAt: StblPath("stsd/mp4v/esds").
std::string StblPath(const std::string &box, int trak = 0);

// The object-descriptor (33 bytes) and scene (16 bytes) access units that
// end a file with a video and an audio track.
extern const Bytes kAvObjectDescriptorUnit, kAvSceneUnit;

// Every sample of a track, read with MP4GetNextSample until it fails.
struct ReadSample {
    uint32_t time;
    Bytes bytes;
};
std::vector<ReadSample> ReadAllSamples(MP4_read_file *handle, int32_t trackId);

#endif
