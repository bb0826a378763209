// corvane extract: the samples of a track as a raw elementary stream that a
// decoder can play without the MP4 file around it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/platform.h"
#include "corvane2.h"
#include "read/config.h"
#include "read/read.h"

namespace {

// ADTS frame_length is 13 bits and counts the 7-byte header.
constexpr uint32_t kAdtsHeader = 7;
constexpr uint32_t kAdtsMaxFrame = 0x1FFF;

// What goes before the samples (video) or before each sample (audio).
struct StreamFraming {
    std::vector<uint8_t> prefix;  // the decoder configuration of a video stream
    bool adts = false;
    uint32_t profile = 0;         // ADTS profile: audioObjectType - 1
    uint32_t frequencyIndex = 0;
    uint32_t channels = 0;
};

// The video object and video object layer headers that GetM4vEsdsData hands
// out, which an MPEG-4 Visual decoder needs before the first VOP.
bool VideoFraming(MP4_read_file *handle, StreamFraming *framing) {
    uint8_t header[256] = {};
    uint32_t width = 0, height = 0, size = 0;
    if (GetM4vEsdsData(handle, header, &width, &height, &size) != 1 || size > sizeof header)
        return false;
    framing->prefix.assign(header, header + size);
    return true;
}

// The ADTS fields from the AudioSpecificConfig: audioObjectType (5 bits),
// samplingFrequencyIndex (4), channelConfiguration (4).  ADTS has 2 bits of
// profile (object types 1 to 4) and no room for an explicit frequency
// (index 15).  Empty message: usable.
std::string AudioFraming(MP4_read_file *handle, StreamFraming *framing) {
    uint8_t esds[kEsdsRecordBytes] = {};
    uint32_t size = 0;
    if (GetM4aEsdsData(handle, esds, &size) != 1) return "has no audio decoder configuration";
    uint8_t config[kEsdsRecordBytes] = {};
    uint32_t length = 0, maxRate, avgRate, channels, frequency, objectType;
    if (ParseAudioEsds(esds, EsdsBytesHeld(size), config, &length, &maxRate, &avgRate, &channels,
                       &frequency, &objectType) != 1)
        return "holds MPEG-1/2 audio (MP3), not AAC";
    if (length < 2) return "has no AudioSpecificConfig";
    const uint32_t index = ((config[0] & 7u) << 1) | (config[1] >> 7);
    if (objectType < 1 || objectType > 4 || index > 12 || channels > 7)
        return "holds an AAC configuration that ADTS cannot carry";
    framing->adts = true;
    framing->profile = objectType - 1;
    framing->frequencyIndex = index;
    framing->channels = channels;
    return "";
}

// MPEG-4 ADTS header without CRC, buffer fullness 0x7FF (variable rate), one
// raw data block.
void AdtsHeader(const StreamFraming &f, uint32_t payload, uint8_t out[kAdtsHeader]) {
    const uint32_t length = payload + kAdtsHeader;
    out[0] = 0xFF;
    out[1] = 0xF1;  // sync, MPEG-4, layer 0, protection_absent
    out[2] = uint8_t((f.profile << 6) | (f.frequencyIndex << 2) | (f.channels >> 2));
    out[3] = uint8_t(((f.channels & 3) << 6) | (length >> 11));
    out[4] = uint8_t(length >> 3);
    out[5] = uint8_t(((length & 7) << 5) | 0x1F);
    out[6] = 0xFC;
}

// Writes the stream; the number of samples written, or a message.
std::string WriteStream(MP4_read_file *handle, int32_t id, const StreamFraming &framing,
                        FILE *out, uint32_t *written) {
    const uint32_t total = handle->tracks[id]->sampleCount;
    Progress progress;
    StartProgress(&progress, "extract", total, false);
    if (std::fwrite(framing.prefix.data(), 1, framing.prefix.size(), out) != framing.prefix.size())
        return "write failed";
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    while (MP4GetNextSample(handle, id, &data, &size, &time) == 1) {
        bool ok = true;
        if (framing.adts) {
            uint8_t header[kAdtsHeader];
            ok = size <= kAdtsMaxFrame - kAdtsHeader;
            if (ok) AdtsHeader(framing, size, header);
            ok = ok && std::fwrite(header, 1, kAdtsHeader, out) == kAdtsHeader;
        }
        ok = ok && std::fwrite(data, 1, size, out) == size;
        MP4freeData(&data);
        if (!ok) {
            EndProgress(&progress);
            return "cannot write sample " + std::to_string(*written);
        }
        ShowProgress(&progress, ++*written);
    }
    EndProgress(&progress);
    if (*written != handle->tracks[id]->sampleCount)
        return "sample " + std::to_string(*written) + " cannot be read";
    return "";
}

}  // namespace

int RunExtract(const Args &args) {
    const std::string kind = args.Value("--track");
    if (kind.empty() || args.positional.size() != 2)
        return Fail("extract takes FILE --track video|audio OUT (see corvane extract --help)");
    const std::string bad = ParseChoice("--track", kind, {"video", "audio"});
    if (!bad.empty()) return Fail(bad);
    const std::string &path = args.positional[0], &outPath = args.positional[1];
    Mp4Input input;
    std::string error = OpenMp4(path, &input);
    if (!error.empty()) return Fail(error);
    MP4_read_file *handle = input.handle;
    const int32_t id = ChooseTrack(handle, kind, path, &error);
    StreamFraming framing;
    if (id != 0 && kind == "video" && !VideoFraming(handle, &framing))
        error = "the video track of '" + path + "' has no MPEG-4 Visual configuration";
    if (id != 0 && kind == "audio") {
        const std::string why = AudioFraming(handle, &framing);
        if (!why.empty()) error = "the audio track of '" + path + "' " + why;
    }
    if (!error.empty()) return Fail(error);
    const bool outputExisted = PathExists(outPath.c_str());
    FILE *out = OpenFileForWriting(outPath.c_str());
    if (out == nullptr) return Fail("cannot create '" + outPath + "': " + std::strerror(errno));
    uint32_t written = 0;
    error = WriteStream(handle, id, framing, out, &written);
    if (std::fclose(out) != 0 && error.empty()) error = "write failed";
    // A stream cut short is of no use to a player: leave nothing behind
    // (but never remove what was there before the command).
    if (!error.empty()) {
        if (!outputExisted) std::remove(outPath.c_str());
        return Fail("'" + outPath + "': " + error);
    }
    std::fprintf(Out(), "%s: %u %s samples\n", outPath.c_str(), written, kind.c_str());
    return 0;
}
