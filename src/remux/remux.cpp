// Mp4AddAudio and Mp4AddVideo: a track of an existing MP4 file joined with a
// raw elementary stream into a new MP4 file of four tracks (video, audio,
// object descriptor, scene description, created in this order).
//
// Both check the stream's head before anything else is opened (the first
// 7 bytes of an ADTS file; the header size of an MPEG-4 Visual stream) and
// read the stream itself only after the source's track has been copied:
// ADTS frame by frame, MPEG-4 Visual in pieces of fixed size.
//
// Choices beyond the basic operation:
// - A new file or track that cannot be created gives kRemuxCannotCreate
//   (-41); the writer's handle is abandoned, and the output and the
//   temporary files are removed when this call created them.  Nothing that
//   existed before the call is removed (a file that MP4FileNew or
//   CreateTrack truncated stays, empty).
// - A decoder configuration longer than the 52 bytes a track keeps, an ADTS
//   frame length below the 7-byte header and an MPEG-4 Visual stream without
//   any video object plane are refused with -31.  So are streams of 2 GiB or
//   more, whose sizes and offsets the writer's 32-bit totals and the
//   original platform's 32-bit file positions cannot carry; they are refused
//   after the source's checks (-11, -12 keep their precedence) and before
//   anything is created, without scanning them.
// - Mp4AddVideo refuses a frame rate of 0 or not a number with
//   kRemuxNoFrameTimes (-32) before anything is opened: 1000 x k / rate has
//   no value there.  Every other rate gives its times: +infinity and
//   -infinity put every frame at 0, a negative rate gives negative times
//   (held modulo 2^32).
// - When the audio copy ends before the end of the ADTS file, the output is
//   deleted after the flush when it is a regular file (all of whose content
//   this call wrote); an output that is a device such as /dev/null is never
//   removed.
// - When the video copy ends before the end of the stream (a frame that
//   cannot be held in memory, a file that became shorter), the new file is
//   flushed and then deleted as for ADTS, and the result is -31.  A 64 KiB
//   read buffer that cannot be allocated counts as a stream that cannot be
//   read: -31 as well (before anything is created, when it happens while
//   the stream is checked for a plane).
// - After -21 (a source sample that cannot be read) the output stays as it
//   was created (empty) and the temporary files keep what was copied, but the
//   writer's memory is released.
#include "remux/remux.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The files a call may create, and which of them did not exist before it:
// only those are ever removed.
struct Outputs {
    const char *path;
    bool newOutput;
    bool newVideoTemp;
    bool newAudioTemp;
};

Outputs NoteOutputs(const char *path) {
    return {path, !PathExists(path), !PathExists(kVideoTempName), !PathExists(kAudioTempName)};
}

void RemoveCreated(const Outputs &o, bool temps) {
    if (o.newOutput) RemoveRegularFile(o.path);
    if (temps && o.newVideoTemp) RemoveRegularFile(kVideoTempName);
    if (temps && o.newAudioTemp) RemoveRegularFile(kAudioTempName);
}

void CloseSource(MP4_read_file **source) {
    MP4FileClose(source);
    std::free(*source);
    *source = nullptr;
}

void Count(RemuxReport *report, int32_t added) {
    if (report == nullptr) return;
    if (added == 1)
        ++report->framesAdded;
    else
        ++report->framesRefused;
}

// The new file with its four tracks.  On failure nothing this call created
// is left behind.
int32_t CreateOutput(const Outputs &o, const TrackSetup &s, MP4_local_file **file,
                     RemuxReport *report) {
    *file = nullptr;
    if (MP4FileNew(file, o.path) != 1) {
        *file = nullptr;
        RemoveCreated(o, false);
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
    if (!created) {
        AbandonLocalFile(*file);
        *file = nullptr;
        RemoveCreated(o, true);
        return kRemuxCannotCreate;
    }
    if (report != nullptr && ((*file)->videoTempFile == nullptr || (*file)->audioTempFile == nullptr))
        report->tempFileMissing = 1;
    return kRemuxDone;
}

// Samples larger than this go from the source to the temporary file without
// passing through memory; below it the two extra system calls of a copy
// between files cost more than the bytes.
constexpr uint32_t kCopyInPlaceAbove = 64 * 1024;

// Copies every sample of the source's video or audio track into the new file.
int32_t CopySourceTrack(MP4_read_file *source, bool video, MP4_local_file *file,
                        RemuxReport *report) {
    SampleBuffer buffer{};
    if (InitSampleBuffer(&buffer) != 1) return kRemuxSampleUnreadable;
    const uint32_t count = video ? source->videoInfo.sampleCount : source->audioInfo.sampleCount;
    const int32_t trackId = video ? source->videoTrackId : source->audioTrackId;
    int32_t result = kRemuxDone;
    FILE *stream = source->root != nullptr ? source->root->file : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = 0, time = 0, offset = 0;
        if (GetNextSampleInPlace(source, trackId, &buffer, &size, &time, kCopyInPlaceAbove,
                                 &offset) != 1) {
            result = kRemuxSampleUnreadable;
            break;
        }
        if (size > kCopyInPlaceAbove)
            Count(report, video ? AddVideoFrameFrom(file, size, stream, offset, time, buffer.keyFlag)
                                : AddAudioFrameFrom(file, size, stream, offset, time));
        else
            Count(report, video ? AddVideoFrame(file, size, buffer.data, time, buffer.keyFlag)
                                : AddAudioFrame(file, size, buffer.data, time));
    }
    ReleaseSampleBuffer(&buffer);
    return result;
}

// Creates the new file and copies the source's video (or audio) track into
// it; the source is closed in every case.  On failure nothing of the new file
// is kept in memory, and the result says what failed.
int32_t WriteSourceTrack(MP4_read_file **source, bool video, const Outputs &o,
                         const TrackSetup &setup, MP4_local_file **file, RemuxReport *report) {
    const int32_t created = CreateOutput(o, setup, file, report);
    if (created == kRemuxDone && CopySourceTrack(*source, video, *file, report) != kRemuxDone) {
        AbandonLocalFile(*file);
        *file = nullptr;
        CloseSource(source);
        return kRemuxSampleUnreadable;
    }
    CloseSource(source);
    return created;
}

// The size of an open stream, with the stream back at its start; -1 when
// it cannot be taken (a FIFO).
int64_t StreamSizeFromStart(FILE *file) {
    const int64_t size = StreamSizeAtEnd(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return size;
}

bool TooLargeToCarry(int64_t size) { return uint64_t(size) >= kMaxStreamBytes; }

// ---------------------------------------------------------------- ADTS

// The first header of an ADTS file and the file's size.  -1 when the file
// cannot be opened; -31 when the header cannot be read whole or is not
// usable, or the size cannot be taken.
int32_t ReadAdtsHead(const char *path, uint8_t *header, int64_t *size) {
    FILE *file = OpenFileForReading(path);
    if (file == nullptr) return kRemuxBadArgument;
    const bool read = std::fread(header, 1, kAdtsHeaderBytes, file) == kAdtsHeaderBytes;
    *size = read ? StreamSizeFromStart(file) : -1;
    std::fclose(file);
    return read && *size >= 0 && IsUsableAdtsHeader(header) ? kRemuxDone : kRemuxBadStream;
}

// Adds the ADTS frames of the reopened file as audio frames of 1024 samples,
// frame by frame, until the bytes taken reach `size`.  Returns the bytes
// taken: a frame cut short is still added and ends the copy; a frame length
// below the header and a header that cannot be read end it before that
// frame.  Every frame is taken with a 7-byte header (a CRC stays in the
// payload).  Each pass takes at least 7 bytes, so the copy ends.
uint64_t CopyAdtsFrames(const char *path, uint64_t size, MP4_local_file *file, RemuxReport *report) {
    FILE *in = OpenFileForReading(path);
    if (in == nullptr) return 0;
    uint8_t header[kAdtsHeaderBytes];
    uint8_t payload[kMaxAdtsFrameBytes - kAdtsHeaderBytes];
    uint64_t total = 0;
    uint32_t time = 0;
    while (total < size) {
        if (std::fread(header, 1, sizeof header, in) != sizeof header) break;
        const uint32_t length = AdtsFrameLength(header);
        if (length < kAdtsHeaderBytes) break;
        const uint32_t wanted = length - kAdtsHeaderBytes;
        const auto got = uint32_t(std::fread(payload, 1, wanted, in));
        Count(report, AddAudioFrame(file, got, payload, time));
        total += length;
        time += kAacFrameSamples;
        if (got < wanted) break;
    }
    std::fclose(in);
    return total;
}

// ---------------------------------------------------------------- MPEG-4 Visual

struct VisualHead {
    uint8_t config[kMaxDecoderConfigBytes];
    uint32_t headerSize;
    uint32_t width, height;
    int64_t size;
};

// Whether the stream holds a video object plane at all (read in pieces).
bool StreamHasPlane(FILE *file, int64_t size) {
    VisualScan scan{};
    const bool found = StartVisualScan(&scan, file, uint64_t(size)) && ScanFindsPlane(&scan);
    EndVisualScan(&scan);
    return found;
}

// The decoder configuration at the head of the stream, its picture size and
// the stream's size.  -1 when the file cannot be opened; -31 when the header
// size cannot be measured, is above 52 bytes, or its bytes do not begin with
// 00 00 01; or when it has no plane at all (a stream too large to carry is
// not scanned).
int32_t ReadVisualHead(const char *path, VisualHead *head) {
    FILE *file = OpenFileForReading(path);
    if (file == nullptr) return kRemuxBadArgument;
    const int32_t h = GetM4vHeaderSize(path, &head->width, &head->height);
    bool ok = h > 0 && uint32_t(h) <= kMaxDecoderConfigBytes;
    if (ok) {
        head->headerSize = uint32_t(h);
        ok = std::fread(head->config, 1, head->headerSize, file) == head->headerSize &&
             head->headerSize >= 3 && head->config[0] == 0 && head->config[1] == 0 &&
             head->config[2] == 1;
    }
    head->size = ok ? StreamSizeFromStart(file) : -1;
    ok = ok && head->size >= 0 && (TooLargeToCarry(head->size) || StreamHasPlane(file, head->size));
    std::fclose(file);
    return ok ? kRemuxDone : kRemuxBadStream;
}

// Adds the frames of the reopened stream as they are found.  False when the
// copy ended before the end of the stream.
bool CopyVisualFrames(const char *path, uint64_t size, float frameRate, MP4_local_file *file,
                      RemuxReport *report) {
    FILE *in = OpenFileForReading(path);
    VisualScan scan{};
    bool whole = in != nullptr && StartVisualScan(&scan, in, size);
    const uint8_t *bytes = nullptr;
    uint32_t frameSize = 0, k = 0;
    int32_t key = 0, next = 0;
    while (whole && (next = NextVisualFrame(&scan, &bytes, &frameSize, &key)) == 1)
        Count(report, AddVideoFrame(file, frameSize, bytes, VisualFrameTime(k++, frameRate), key));
    whole = whole && next == 0 && !scan.readShort;
    EndVisualScan(&scan);
    if (in != nullptr) std::fclose(in);
    return whole;
}

// The source's AAC configuration, parsed into the audio track's parameters.
int32_t TakeAudioConfiguration(MP4_read_file *source, TrackSetup *setup) {
    uint8_t esds[256] = {};
    uint32_t esdsSize = 0;
    if (GetM4aEsdsData(source, esds, &esdsSize) != 1) return kRemuxNoConfiguration;
    uint8_t audioConfig[kEsdsRecordBytes] = {};
    uint32_t audioConfigLength = 0, maxBitrate = 0, avgBitrate = 0, objectType = 0;
    const uint32_t esdsHeld = esdsSize < kEsdsRecordBytes ? esdsSize : kEsdsRecordBytes;
    ParseAudioEsds(esds, esdsHeld, audioConfig, &audioConfigLength, &maxBitrate, &avgBitrate,
                   &setup->channelConfig, &setup->samplingFrequency, &objectType);
    setup->audioProfile = objectType - 1;
    setup->audioTimescale = source->audioInfo.timescale;
    return kRemuxDone;
}

}  // namespace

// ---------------------------------------------------------------- operations

int32_t AddAudioFromFile(const char *sourceMp4, const char *adtsFile, const char *outputMp4,
                         RemuxReport *report, ReadOptions sourceRead) {
    if (sourceMp4 == nullptr || adtsFile == nullptr || outputMp4 == nullptr)
        return kRemuxBadArgument;
    uint8_t header[kAdtsHeaderBytes] = {};
    int64_t size = -1;
    const int32_t head = ReadAdtsHead(adtsFile, header, &size);
    if (head != kRemuxDone) return head;

    MP4_read_file *source = nullptr;
    if (OpenMp4File(&source, sourceMp4, sourceRead, nullptr) != 1) {
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
    if (TooLargeToCarry(size)) {
        CloseSource(&source);
        return kRemuxBadStream;
    }
    setup.videoConfig = config;
    setup.videoTimescale = source->videoInfo.timescale;
    setup.audioTimescale = SamplingFrequencyOfAdts(header);
    setup.audioConfig = header;
    setup.audioConfigLength = kAdtsHeaderBytes;

    const Outputs outputs = NoteOutputs(outputMp4);
    MP4_local_file *file = nullptr;
    const int32_t copied = WriteSourceTrack(&source, true, outputs, setup, &file, report);
    if (copied != kRemuxDone) return copied;
    const uint64_t taken = CopyAdtsFrames(adtsFile, uint64_t(size), file, report);
    MP4FileFlush(file);
    if (taken != uint64_t(size)) {
        RemoveRegularFile(outputMp4);
        return kRemuxBadStream;
    }
    return kRemuxDone;
}

int32_t AddVideoFromFile(const char *sourceMp4, const char *videoStream, const char *outputMp4,
                         float frameRate, RemuxReport *report, ReadOptions sourceRead) {
    if (sourceMp4 == nullptr || videoStream == nullptr || outputMp4 == nullptr)
        return kRemuxBadArgument;
    if (frameRate == 0.0f || frameRate != frameRate) return kRemuxNoFrameTimes;
    VisualHead head{};
    const int32_t checked = ReadVisualHead(videoStream, &head);
    if (checked != kRemuxDone) return checked;

    MP4_read_file *source = nullptr;
    if (OpenMp4File(&source, sourceMp4, sourceRead, nullptr) != 1) {
        CloseSource(&source);
        return kRemuxSourceUnreadable;
    }
    TrackSetup setup;
    if (TakeAudioConfiguration(source, &setup) != kRemuxDone) {
        CloseSource(&source);
        return kRemuxNoConfiguration;
    }
    if (TooLargeToCarry(head.size)) {
        CloseSource(&source);
        return kRemuxBadStream;
    }
    setup.width = head.width;
    setup.height = head.height;
    setup.videoTimescale = 1000;
    setup.videoConfig = head.config;
    setup.videoConfigLength = head.headerSize;

    const Outputs outputs = NoteOutputs(outputMp4);
    MP4_local_file *file = nullptr;
    const int32_t copied = WriteSourceTrack(&source, false, outputs, setup, &file, report);
    if (copied != kRemuxDone) return copied;
    const bool whole = CopyVisualFrames(videoStream, uint64_t(head.size), frameRate, file, report);
    MP4FileFlush(file);
    if (!whole) {
        RemoveRegularFile(outputMp4);
        return kRemuxBadStream;
    }
    return kRemuxDone;
}

// ---------------------------------------------------------------- exports

extern "C" CORVANE_API int32_t CORVANE_CALL Mp4AddAudio(const char *sourceMp4,
                                                        const char *adtsFile,
                                                        const char *outputMp4) {
    return AddAudioFromFile(sourceMp4, adtsFile, outputMp4, nullptr);
}

extern "C" CORVANE_API int32_t CORVANE_CALL Mp4AddVideo(const char *sourceMp4,
                                                        const char *videoStream,
                                                        const char *outputMp4, float frameRate) {
    return AddVideoFromFile(sourceMp4, videoStream, outputMp4, frameRate, nullptr);
}
