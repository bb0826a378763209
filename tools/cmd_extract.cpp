// corvane extract: the samples of a track as a raw elementary stream that a
// decoder can play without the MP4 file around it.
#include <cerrno>
#include <climits>
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

// What became of the stream's writing.
struct Written {
    uint32_t samples = 0;   // samples written
    uint64_t bytes = 0;     // bytes written
    int writeError = 0;     // errno of a write that failed; 0: none
    bool unreadable = false;  // a sample could not be read (the samples before it are written)
};

bool Put(FILE *out, const uint8_t *bytes, size_t count, Written *w) {
    if (count > 0 && std::fwrite(bytes, 1, count, out) != count) {
        w->writeError = errno != 0 ? errno : EIO;
        return false;
    }
    w->bytes += count;
    return true;
}

// Writes the stream until its end, a sample that cannot be read or a write
// that fails.
void WriteStream(MP4_read_file *handle, int32_t id, const StreamFraming &framing, FILE *out, Written *w) {
    const uint32_t total = handle->tracks[id]->sampleCount;
    Progress progress;
    StartProgress(&progress, "extract", total, false);
    if (!Put(out, framing.prefix.data(), framing.prefix.size(), w)) return EndProgress(&progress);
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    while (w->samples < total) {
        if (MP4GetNextSample(handle, id, &data, &size, &time) != 1) {
            w->unreadable = true;
            break;
        }
        bool ok = true;
        if (framing.adts) {
            uint8_t header[kAdtsHeader];
            // A frame longer than ADTS can frame is a sample this stream cannot hold.
            if (size > kAdtsMaxFrame - kAdtsHeader) {
                MP4freeData(&data);
                w->unreadable = true;
                break;
            }
            AdtsHeader(framing, size, header);
            ok = Put(out, header, kAdtsHeader, w);
        }
        ok = ok && Put(out, data, size, w);
        MP4freeData(&data);
        if (!ok) break;
        ShowProgress(&progress, ++w->samples);
    }
    EndProgress(&progress);
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
    const int32_t id = ChooseTrack(input, kind, path, &error);
    StreamFraming framing;
    if (id != 0 && kind == "video" && !VideoFraming(handle, &framing))
        error = "the video track of '" + path + "' has no MPEG-4 Visual configuration";
    if (id != 0 && kind == "audio") {
        const std::string why = AudioFraming(handle, &framing);
        if (!why.empty()) error = "the audio track of '" + path + "' " + why;
    }
    if (!error.empty()) return Fail(error);
    OutputFile output;
    error = PrepareOutput(outPath, kMaxOutputPath, &output);
    if (!error.empty()) return Fail(error);
    FILE *out = std::fopen(output.staging.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write '" + outPath + "': " + std::strerror(errno);
        DiscardOutput(&output);
        return Fail(error);
    }
    Written written;
    WriteStream(handle, id, framing, out, &written);
    if (std::fclose(out) != 0 && written.writeError == 0) written.writeError = errno != 0 ? errno : EIO;
    if (written.writeError != 0) {
        DiscardOutput(&output);
        return Fail("cannot write '" + outPath + "': " + std::strerror(written.writeError));
    }
    // A file cut short: what could be read is kept in a new file, but an
    // existing output is not replaced by a stream that stops early.
    if (written.unreadable && output.existed) {
        DiscardOutput(&output);
        return Fail(UnreadableSampleText(path, input, id, written.samples) + "; '" + outPath +
                    "' was left as it was (extract to a new file to keep the " +
                    std::to_string(written.samples) + " samples before it)");
    }
    error = CommitOutput(&output, written.bytes);
    if (!error.empty()) return Fail(error);
    if (written.unreadable)
        return Fail(UnreadableSampleText(path, input, id, written.samples) + "; '" + outPath +
                    "' holds the " + std::to_string(written.samples) + " samples before it");
    std::fprintf(Out(), "%s: %u %s samples\n", outPath.c_str(), written.samples, kind.c_str());
    return 0;
}
