// Mp4AddAudio and Mp4AddVideo: a track of an existing MP4 file joined with a
// raw elementary stream into a new MP4 file of four tracks (video, audio,
// object descriptor, scene description, created in this order).
//
// Choices beyond the basic operation:
// - A new file or track that cannot be created gives kRemuxCannotCreate (-41)
//   and leaves nothing behind: the writer's handle is abandoned, the output
//   and the temporary files are removed.
// - A decoder configuration longer than the 52 bytes a track keeps, an ADTS
//   frame length below the 7-byte header and an MPEG-4 Visual stream without
//   any video object plane are refused with -31.
// - ADTS streams whose first header announces a CRC (protection_absent 0,
//   9-byte headers) are refused with -31 before anything is created: the
//   frames are taken with 7-byte headers, so the CRC would end up inside
//   every audio frame.
// - After -21 (a source sample that cannot be read) the output stays as it
//   was created (empty) and the temporary files keep what was copied, but the
//   writer's memory is released.
#include "remux/remux.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "corvane2.h"
#include "platform/platform.h"
#include "read/config.h"
#include "read/read.h"
#include "write/write.h"

namespace {

struct TrackSetup {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t videoTimescale = 0;
    const uint8_t *videoConfig = nullptr;
    uint32_t videoConfigLength = 0;
    uint32_t audioTimescale = 0;
    uint32_t audioProfile = 0;
    uint32_t channelConfig = 0;
    uint32_t samplingFrequency = 0;
    const uint8_t *audioConfig = nullptr;
    uint32_t audioConfigLength = 0;
};

void CloseSource(MP4_read_file **source) {
    MP4FileClose(source);
    std::free(*source);
    *source = nullptr;
}

void RemoveOutputs(const char *output) {
    std::remove(output);
    std::remove(kVideoTempName);
    std::remove(kAudioTempName);
}

// The new file with its four tracks.  On failure nothing is left behind.
int32_t CreateOutput(const char *output, const TrackSetup &s, MP4_local_file **file) {
    *file = nullptr;
    if (MP4FileNew(file, output) != 1) {
        *file = nullptr;
        std::remove(output);
        return kRemuxCannotCreate;
    }
    const uint16_t w = uint16_t(s.width), h = uint16_t(s.height);
    const bool created =
        CreateTrack(*file, 1, w, h, 0, s.videoTimescale, 0, 0, 0, 0, s.videoConfigLength,
                    s.videoConfig, kVideoTempName, 1) == 1 &&
        CreateTrack(*file, 2, w, h, 0, s.audioTimescale, 0, s.audioProfile, s.channelConfig,
                    s.samplingFrequency, s.audioConfigLength, s.audioConfig, kAudioTempName,
                    1) == 1 &&
        CreateTrack(*file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1) == 1 &&
        CreateTrack(*file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1) == 1;
    if (created) return kRemuxDone;
    AbandonLocalFile(*file);
    *file = nullptr;
    RemoveOutputs(output);
    return kRemuxCannotCreate;
}

// Copies every sample of the source's video or audio track into the new file.
int32_t CopySourceTrack(MP4_read_file *source, bool video, MP4_local_file *file) {
    SampleBuffer buffer{};
    if (InitSampleBuffer(&buffer) != 1) return kRemuxSampleUnreadable;
    const uint32_t count = video ? source->videoInfo.sampleCount : source->audioInfo.sampleCount;
    const int32_t trackId = video ? source->videoTrackId : source->audioTrackId;
    int32_t result = kRemuxDone;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = 0, time = 0;
        if (GetNextSample(source, trackId, &buffer, &size, &time) != 1) {
            result = kRemuxSampleUnreadable;
            break;
        }
        if (video)
            AddVideoFrame(file, size, buffer.data, time, buffer.keyFlag);
        else
            AddAudioFrame(file, size, buffer.data, time);
    }
    ReleaseSampleBuffer(&buffer);
    return result;
}

// Creates the new file and copies the source's video (or audio) track into
// it; the source is closed in every case.  On failure nothing of the new file
// is kept in memory, and the result says what failed.
int32_t WriteSourceTrack(MP4_read_file **source, bool video, const char *output,
                         const TrackSetup &setup, MP4_local_file **file) {
    const int32_t created = CreateOutput(output, setup, file);
    if (created == kRemuxDone && CopySourceTrack(*source, video, *file) != kRemuxDone) {
        AbandonLocalFile(*file);
        *file = nullptr;
        CloseSource(source);
        return kRemuxSampleUnreadable;
    }
    CloseSource(source);
    return created;
}

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const int64_t size = StreamSizeAtEnd(file);
    bool ok = size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok) {
        bytes->resize(size_t(size));
        ok = std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
    }
    std::fclose(file);
    return ok;
}

// ---------------------------------------------------------------- ADTS

uint32_t AdtsFrameLength(const uint8_t *header) {
    return (uint32_t(header[3] & 0x03) << 11) | (uint32_t(header[4]) << 3) | (header[5] >> 5);
}

// The sync word, a sampling frequency index of the table, and no CRC.
bool IsUsableAdtsHeader(const uint8_t *header) {
    const bool sync = header[0] == 0xFF && (header[1] & 0xF0) == 0xF0;
    const bool protectionAbsent = (header[1] & 0x01) != 0;
    return sync && protectionAbsent && ((header[2] >> 2) & 0x0F) <= 11;
}

// Adds the ADTS frames of `bytes` as audio frames of 1024 samples.  Returns
// the bytes taken; a frame cut short is still added and ends the copy, and a
// frame length below the header ends it before that frame.
uint64_t CopyAdtsFrames(const std::vector<uint8_t> &bytes, MP4_local_file *file) {
    uint64_t total = 0;
    uint32_t time = 0;
    while (total < bytes.size()) {
        if (bytes.size() - total < kAdtsHeaderBytes) break;
        const uint8_t *header = bytes.data() + total;
        const uint32_t length = AdtsFrameLength(header);
        if (length < kAdtsHeaderBytes) break;
        const uint64_t available = bytes.size() - total - kAdtsHeaderBytes;
        const uint32_t wanted = length - kAdtsHeaderBytes;
        const uint32_t payload = available < wanted ? uint32_t(available) : wanted;
        AddAudioFrame(file, payload, header + kAdtsHeaderBytes, time);
        total += length;
        time += kAacFrameSamples;
        if (payload < wanted) break;
    }
    return total;
}

uint32_t SamplingFrequencyOfAdts(const uint8_t *header) {
    return SamplingFrequencyOfIndex((header[2] >> 2) & 0x0F);
}

}  // namespace

// ---------------------------------------------------------------- MPEG-4 Visual frames

std::vector<VisualFrame> SplitVisualFrames(const uint8_t *bytes, size_t size) {
    std::vector<VisualFrame> frames;
    size_t p = 0;
    while (size >= 3 && p < size - 2) {
        if (bytes[p] == 0 && bytes[p + 1] == 0 && bytes[p + 2] == 1) {
            if (p + 3 < size && bytes[p + 3] == 0xB6) {
                if (!frames.empty()) frames.back().end = p;
                frames.push_back({p, size});
            }
            p += 4;
        } else {
            p += 1;
        }
    }
    return frames;
}

int32_t IsIntraPlane(const uint8_t *bytes, const VisualFrame &frame) {
    if (frame.end - frame.begin <= 4) return 0;
    return (bytes[frame.begin + 4] & 0xC0) == 0 ? 1 : 0;
}

uint32_t VisualFrameTime(uint32_t k, float frameRate) {
    const float ms = float(1000.0 * k) / frameRate;
    if (!(ms >= 0.0f)) return 0;
    if (ms >= 4294967040.0f) return 0xFFFFFFFFu;
    return uint32_t(ms);
}

// ---------------------------------------------------------------- exports

extern "C" CORVANE_API int32_t CORVANE_CALL Mp4AddAudio(const char *sourceMp4,
                                                        const char *adtsFile,
                                                        const char *outputMp4) {
    if (sourceMp4 == nullptr || adtsFile == nullptr || outputMp4 == nullptr)
        return kRemuxBadArgument;
    std::vector<uint8_t> adts;
    if (!ReadWholeFile(adtsFile, &adts)) return kRemuxBadArgument;
    // Shorter than a header (an empty file included, whose bytes have no
    // address to copy from): no usable header.
    if (adts.size() < kAdtsHeaderBytes) return kRemuxBadStream;
    uint8_t header[kAdtsHeaderBytes] = {};
    std::memcpy(header, adts.data(), sizeof header);
    if (!IsUsableAdtsHeader(header)) return kRemuxBadStream;

    MP4_read_file *source = nullptr;
    if (MP4FileOpen(&source, sourceMp4) != 1) {
        CloseSource(&source);
        return kRemuxSourceUnreadable;
    }
    uint8_t config[256] = {};
    TrackSetup setup;
    if (GetM4vEsdsData(source, config, &setup.width, &setup.height, &setup.videoConfigLength) !=
        1) {
        CloseSource(&source);
        return kRemuxNoConfiguration;
    }
    if (setup.videoConfigLength > kMaxDecoderConfigBytes) {
        CloseSource(&source);
        return kRemuxBadStream;
    }
    setup.videoConfig = config;
    setup.videoTimescale = source->videoInfo.timescale;
    setup.audioTimescale = SamplingFrequencyOfAdts(header);
    setup.audioConfig = header;
    setup.audioConfigLength = kAdtsHeaderBytes;

    MP4_local_file *file = nullptr;
    const int32_t copied = WriteSourceTrack(&source, true, outputMp4, setup, &file);
    if (copied != kRemuxDone) return copied;
    const uint64_t taken = CopyAdtsFrames(adts, file);
    MP4FileFlush(file);
    if (taken != adts.size()) {
        std::remove(outputMp4);
        return kRemuxBadStream;
    }
    return kRemuxDone;
}

extern "C" CORVANE_API int32_t CORVANE_CALL Mp4AddVideo(const char *sourceMp4,
                                                        const char *videoStream,
                                                        const char *outputMp4, float frameRate) {
    if (sourceMp4 == nullptr || videoStream == nullptr || outputMp4 == nullptr)
        return kRemuxBadArgument;
    // A frame rate that gives no frame times (0, negative, not a number).
    if (!(frameRate > 0.0f) || std::isinf(frameRate)) return kRemuxBadArgument;
    std::vector<uint8_t> stream;
    if (!ReadWholeFile(videoStream, &stream)) return kRemuxBadArgument;

    TrackSetup setup;
    const int32_t headerSize = GetM4vHeaderSize(videoStream, &setup.width, &setup.height);
    if (headerSize <= 0 || uint32_t(headerSize) > kMaxDecoderConfigBytes ||
        size_t(headerSize) > stream.size() || stream.size() < 3 || stream[0] != 0 ||
        stream[1] != 0 || stream[2] != 1)
        return kRemuxBadStream;
    const std::vector<VisualFrame> frames = SplitVisualFrames(stream.data(), stream.size());
    if (frames.empty()) return kRemuxBadStream;

    MP4_read_file *source = nullptr;
    if (MP4FileOpen(&source, sourceMp4) != 1) {
        CloseSource(&source);
        return kRemuxSourceUnreadable;
    }
    uint8_t esds[256] = {};
    uint32_t esdsSize = 0;
    if (GetM4aEsdsData(source, esds, &esdsSize) != 1) {
        CloseSource(&source);
        return kRemuxNoConfiguration;
    }
    uint8_t audioConfig[kEsdsRecordBytes] = {};
    uint32_t audioConfigLength = 0, maxBitrate = 0, avgBitrate = 0, objectType = 0;
    const uint32_t esdsHeld = esdsSize < kEsdsRecordBytes ? esdsSize : kEsdsRecordBytes;
    ParseAudioEsds(esds, esdsHeld, audioConfig, &audioConfigLength, &maxBitrate, &avgBitrate,
                   &setup.channelConfig, &setup.samplingFrequency, &objectType);
    setup.audioProfile = objectType - 1;
    setup.audioTimescale = source->audioInfo.timescale;
    setup.videoTimescale = 1000;
    setup.videoConfig = stream.data();
    setup.videoConfigLength = uint32_t(headerSize);

    MP4_local_file *file = nullptr;
    const int32_t copied = WriteSourceTrack(&source, false, outputMp4, setup, &file);
    if (copied != kRemuxDone) return copied;
    for (uint32_t k = 0; k < frames.size(); ++k) {
        const VisualFrame &frame = frames[k];
        AddVideoFrame(file, uint32_t(frame.end - frame.begin), stream.data() + frame.begin,
                      VisualFrameTime(k, frameRate), IsIntraPlane(stream.data(), frame));
    }
    MP4FileFlush(file);
    return kRemuxDone;
}
