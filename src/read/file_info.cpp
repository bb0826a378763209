// The file summary (GetFileInfo) and its video esds helpers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/config.h"
#include "read/read.h"

namespace {

constexpr uint8_t kEsDescriptorTag = 3;
constexpr uint8_t kDecoderConfigDescriptorTag = 4;

// Position of the last byte of the length field that begins at `offset`:
// continuation bytes (0x80) are skipped whatever their number.
uint32_t LastLengthByte(const uint8_t *bytes, uint32_t length, uint32_t offset) {
    while (offset < length && bytes[offset] == 0x80) ++offset;
    return offset;
}

}  // namespace

// `bytes` begin with the esds version and flags.  Bytes beyond `length` read
// as 0, as from the zero-filled buffer GetFileInfo hands in; a tag that falls
// there is therefore not found.
int32_t ParseVideoEsds(const uint8_t *bytes, uint32_t length, uint32_t *maxBitrate,
                       uint32_t *avgBitrate, uint32_t *profileLevel) {
    if (ByteAt(bytes, length, 4) != kEsDescriptorTag) return -1;
    const uint32_t e = LastLengthByte(bytes, length, 5);
    // ES_ID (2 bytes) and flags (1 byte) follow the length.
    if (ByteAt(bytes, length, e + 4) != kDecoderConfigDescriptorTag) return -1;
    const uint32_t d = LastLengthByte(bytes, length, e + 5);
    *maxBitrate = BigEndianAt(bytes, length, d + 6);
    *avgBitrate = BigEndianAt(bytes, length, d + 10);
    *profileLevel = ByteAt(bytes, length, d + 23);
    return 1;
}

uint32_t WholeFrameRate(uint32_t timescale, uint32_t frameCount, uint32_t duration) {
    if (duration == 0) return 0;
    const double rate = double(timescale) * double(frameCount) / double(duration);
    return rate >= 4294967295.0 ? UINT32_MAX : uint32_t(rate);
}

namespace {

constexpr uint32_t kScratchBytes = 200;
constexpr uint32_t kAudioConfigBytes = 100;

void FillVideoInfo(MP4_read_file *handle, FileInfo *info) {
    uint8_t scratch[kScratchBytes] = {};
    uint32_t width = 0, height = 0, headerSize = 0;
    if (GetM4vEsdsData(handle, scratch, &width, &height, &headerSize) == 1) {
        info->videoWidth = width;
        info->videoHeight = height;
    }
    const VideoInfo &video = handle->videoInfo;
    info->videoFrameCount = video.sampleCount;
    info->videoFrameRate = WholeFrameRate(video.timescale, video.sampleCount, video.duration);

    uint8_t esds[kScratchBytes] = {};
    uint32_t count = 0, maxBitrate = 0, avgBitrate = 0, profileLevel = 0;
    if (GetVideoEsdsBytes(handle, esds, &count) == 1 &&
        ParseVideoEsds(esds, count, &maxBitrate, &avgBitrate, &profileLevel) == 1) {
        info->videoAvgBitrate = avgBitrate;
        info->videoMaxBitrate = maxBitrate;
        info->videoProfileLevel = profileLevel;
    }
}

// MPEG-1/2 audio carries its channel mode and emphasis in the last byte of
// each frame header: mode in the top two bits (0 stereo, 1 joint stereo,
// 2 dual channel, 3 single channel), emphasis in the low two.  The byte is
// the fourth of the reader's buffer after the first audio sample was asked
// for, whether or not that sample could be read: a read that falls short
// (a frame the file ends inside) leaves there the bytes that arrived, and a
// buffer that received nothing holds zeros (stereo, no emphasis).
void FillMpegAudioInfo(MP4_read_file *handle, FileInfo *info) {
    info->audioIsMpegAudio = 1;
    SampleBuffer buffer{};
    if (InitSampleBuffer(&buffer) != 1) return;
    uint32_t size = 0, time = 0;
    GetNextSample(handle, handle->audioTrackId, &buffer, &size, &time);
    const uint8_t last = SampleBufferCapacity(&buffer) > 3 ? SampleBufferData(&buffer)[3] : 0;
    info->mpegAudioMode = last >> 6;
    info->audioChannels = info->mpegAudioMode <= 1 ? 2 : 1;
    info->mpegAudioEmphasis = last & 3;
    info->audioChannelsCopy = info->audioChannels;
    ReleaseSampleBuffer(&buffer);
}

void FillAudioInfo(MP4_read_file *handle, FileInfo *info) {
    info->audioFrameCount = handle->audioInfo.sampleCount;
    uint8_t esds[kScratchBytes] = {};
    uint32_t esdsSize = 0;
    if (GetM4aEsdsData(handle, esds, &esdsSize) != 1) return;

    uint8_t config[kAudioConfigBytes] = {};
    uint32_t configLength = 0, maxBitrate = 0, avgBitrate = 0, channels = 0, frequency = 0,
             objectType = 0;
    const int32_t parsed = ParseAudioEsds(esds, EsdsBytesHeld(esdsSize), config, &configLength,
                                          &maxBitrate, &avgBitrate, &channels, &frequency,
                                          &objectType);
    info->audioIsMpegAudio = 0;
    info->audioSampleRate = frequency;
    info->audioMaxBitrate = maxBitrate;
    info->audioAvgBitrate = avgBitrate;
    info->audioChannels = channels;
    info->reserved18 = 1;
    info->audioObjectType = objectType;
    info->aacProfile = objectType - 1;
    info->audioChannelsCopy = channels;
    info->reserved21 = info->reserved22 = info->mpegAudioEmphasis = 0;
    if (parsed == -1) FillMpegAudioInfo(handle, info);
}

}  // namespace

void FillFileInfo(MP4_read_file *handle, FileInfo *info) {
    info->fileSize = handle->root->fileSize;
    info->reserved1 = 0;
    if (handle->videoTrackId != 0) FillVideoInfo(handle, info);
    if (handle->audioTrackId != 0) FillAudioInfo(handle, info);
}

// A summary of an MP4 file: its size, the picture size, frame rate, frame
// count and bit rates of its video track, and the sampling rate, channels,
// coding profile, frame count and bit rates of its audio track.
//
// 1 on success; -11 when the file cannot be opened for reading (or the path
// is null); -12 when `info` is null; -21 when MP4FileOpen fails (the record
// is then cleared).  A value whose source is missing stays 0.  Choices:
//   - videoFrameRate is 0 when the video duration is 0 (no rate can be
//     derived), and UINT32_MAX when the quotient does not fit 32 bits.
//   - When the reading handle cannot be allocated the result is -21; when the
//     sample buffer cannot be allocated the MPEG audio header is not read
//     (mode, channels and emphasis stay as the esds left them).
int32_t CORVANE_CALL GetFileInfo(const char *path, FileInfo *info) {
    if (path == nullptr) return -11;
    FILE *probe = OpenFileForReading(path);
    if (probe == nullptr) return -11;
    std::fclose(probe);
    if (info == nullptr) return -12;
    std::memset(info, 0, sizeof *info);

    MP4_read_file *handle = nullptr;
    if (MP4FileOpen(&handle, path) != 1) {
        if (handle != nullptr) {
            MP4FileClose(&handle);
            std::free(handle);
        }
        return -21;
    }
    FillFileInfo(handle, info);
    MP4FileClose(&handle);
    std::free(handle);
    return 1;
}
