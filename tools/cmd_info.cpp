// corvane info: the tracks the reader finds in a file and their indexes, the
// decoder configuration of the video and audio track, and the file summary.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "corvane2.h"
#include "read/config.h"
#include "read/read.h"

namespace {

const char *MediaName(int32_t type) {
    switch (type) {
        case kMediaVideo: return "video";
        case kMediaAudio: return "audio";
        case kMediaHint: return "hint";
        case kMediaOd: return "od";
        case kMediaScene: return "scene";
        default: return "unknown";
    }
}

struct TrackLine {
    int id;
    const ReadTrack *track;
    uint32_t timescale;
    uint32_t duration;
    std::string entry;      // the type of its first sample entry ("" when none)
    std::string notServed;  // why the library does not serve it ("" when it does)
};

// Each track's own media header (the handle's info blocks hold only the last
// video and audio track's values).
TrackLine Describe(const Mp4Input &input, int id) {
    const ReadTrack *track = input.handle->tracks[id];
    const AtomNode *mdhd = FindAtomPath(track->trak, {"mdia", "mdhd"});
    const realStructure *record = mdhd ? mdhd->realStructure : nullptr;
    return {id,
            track,
            RecordU32(record, 20),
            RecordU32(record, 24),
            track->trak != nullptr ? SampleEntryOf(input.boxes, track->trak->offset) : "",
            NotServedWhy(input, id)};
}

// The decoder configuration as hex: the video object and video object layer
// headers from the video esds, the AudioSpecificConfig from the audio esds.
// Empty when the track or its configuration is missing.
struct Configs {
    std::string video;
    std::string audio;
};

std::string Hex(const uint8_t *bytes, uint32_t count) {
    std::string out;
    char digits[3];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

Configs ReadConfigs(MP4_read_file *handle) {
    Configs configs;
    uint8_t buffer[200] = {};
    uint32_t width = 0, height = 0, size = 0;
    if (handle->videoTrackId != 0 &&
        GetM4vEsdsData(handle, buffer, &width, &height, &size) == 1)
        configs.video = Hex(buffer, size);
    if (handle->audioTrackId != 0 && GetM4aEsdsData(handle, buffer, &size) == 1) {
        uint8_t config[100] = {};
        uint32_t length = 0, maxRate, avgRate, channels, frequency, objectType;
        // MPEG-1/2 audio (-1) has no AudioSpecificConfig to show.
        if (ParseAudioEsds(buffer, EsdsBytesHeld(size), config, &length, &maxRate, &avgRate,
                           &channels, &frequency, &objectType) == 1)
            configs.audio = Hex(config, length);
    }
    return configs;
}

// The FileInfo words with their names, in record order.
struct InfoWord {
    const char *name;
    uint32_t FileInfo::*field;
};

constexpr InfoWord kInfoWords[] = {
    {"fileSize", &FileInfo::fileSize},
    {"videoAvgBitrate", &FileInfo::videoAvgBitrate},
    {"videoMaxBitrate", &FileInfo::videoMaxBitrate},
    {"videoProfileLevel", &FileInfo::videoProfileLevel},
    {"videoHeight", &FileInfo::videoHeight},
    {"videoWidth", &FileInfo::videoWidth},
    {"videoFrameRate", &FileInfo::videoFrameRate},
    {"videoFrameCount", &FileInfo::videoFrameCount},
    {"audioFrameCount", &FileInfo::audioFrameCount},
    {"audioIsMpegAudio", &FileInfo::audioIsMpegAudio},
    {"mpegAudioMode", &FileInfo::mpegAudioMode},
    {"audioSampleRate", &FileInfo::audioSampleRate},
    {"audioAvgBitrate", &FileInfo::audioAvgBitrate},
    {"audioMaxBitrate", &FileInfo::audioMaxBitrate},
    {"aacProfile", &FileInfo::aacProfile},
    {"audioChannels", &FileInfo::audioChannels},
    {"audioObjectType", &FileInfo::audioObjectType},
    {"mpegAudioEmphasis", &FileInfo::mpegAudioEmphasis},
};

void PrintText(const std::string &path, const MP4_read_file *h,
               const std::vector<TrackLine> &lines, const Configs &configs,
               const FileInfo &info) {
    std::fprintf(Out(), "%s: %zu track(s), video track %d, audio track %d\n", path.c_str(),
                 lines.size(), h->videoTrackId, h->audioTrackId);
    for (const TrackLine &l : lines)
        std::fprintf(Out(),
                     "  track %d: %-7s samples=%u timescale=%u duration=%u keyframes=%u%s\n", l.id,
                     MediaName(l.track->mediaType), l.track->sampleCount, l.timescale,
                     l.duration, l.track->keyFrameCount,
                     l.notServed.empty() ? "" : (" (not supported: " + l.notServed + ")").c_str());
    if (!configs.video.empty())
        std::fprintf(Out(), "  video config: %s\n", configs.video.c_str());
    if (!configs.audio.empty())
        std::fprintf(Out(), "  audio config: %s\n", configs.audio.c_str());
    std::fprintf(Out(), "  summary:");
    for (const InfoWord &word : kInfoWords)
        std::fprintf(Out(), " %s=%u", word.name, info.*word.field);
    std::fprintf(Out(), "\n");
}

std::string LeftOutJson(const LeftOut &l) {
    std::string first = "null";
    if (l.skippedBoxes > 0)
        first = "{\"type\": " + JsonString(PrintableType(l.firstSkippedType)) +
                ", \"offset\": " + std::to_string(l.firstSkippedOffset) +
                ", \"size\": " + std::to_string(l.firstSkippedSize) + "}";
    return "{\"skippedBoxes\": " + std::to_string(l.skippedBoxes) +
           ", \"skippedBytes\": " + std::to_string(l.skippedBytes) + ", \"firstSkipped\": " + first +
           ", \"trailingOffset\": " + std::to_string(l.trailingOffset) +
           ", \"trailingBytes\": " + std::to_string(l.trailingBytes) + "}";
}

void PrintJson(const std::string &path, const Mp4Input &input, const std::vector<TrackLine> &lines,
               const Configs &configs, const FileInfo &info) {
    const MP4_read_file *h = input.handle;
    std::fprintf(Out(),
                 "{\"file\": %s, \"videoTrackId\": %d, \"audioTrackId\": %d, \"fragmented\": %s, "
                 "\"tracks\": [",
                 JsonString(path).c_str(), h->videoTrackId, h->audioTrackId,
                 input.fragments > 0 || input.movieExtends ? "true" : "false");
    for (size_t i = 0; i < lines.size(); ++i) {
        const TrackLine &l = lines[i];
        std::fprintf(Out(),
                     "%s\n  {\"id\": %d, \"type\": \"%s\", \"samples\": %u, \"timescale\": %u, "
                     "\"duration\": %u, \"keyFrames\": %u, \"sampleEntry\": %s, \"notSupported\": %s}",
                     i ? "," : "", l.id, MediaName(l.track->mediaType), l.track->sampleCount,
                     l.timescale, l.duration, l.track->keyFrameCount, JsonString(l.entry).c_str(),
                     l.notServed.empty() ? "null" : JsonString(l.notServed).c_str());
    }
    std::fprintf(Out(),
                 "%s], \"videoConfig\": \"%s\", \"audioConfig\": \"%s\",\n  \"fileInfo\": {",
                 lines.empty() ? "" : "\n", configs.video.c_str(), configs.audio.c_str());
    const char *separator = "";
    for (const InfoWord &word : kInfoWords) {
        std::fprintf(Out(), "%s\"%s\": %u", separator, word.name, info.*word.field);
        separator = ", ";
    }
    std::fprintf(Out(), "},\n  \"leftOut\": %s}\n", LeftOutJson(input.leftOut).c_str());
}

}  // namespace

int RunInfo(const Args &args) {
    if (args.positional.size() > 1) return Fail("info takes one FILE (see corvane info --help)");
    const std::string path = args.positional.empty() ? DefaultSample() : args.positional[0];
    Mp4Input input;
    const std::string error = OpenMp4(path, &input);
    if (!error.empty()) return Fail(error);
    MP4_read_file *handle = input.handle;
    const std::string noTracks = NoTracksText(path, handle);
    if (!noTracks.empty()) return Fail(noTracks);
    std::vector<TrackLine> lines;
    bool media = false, served = false;
    for (int id = 0; id < MP4_READ_TRACK_SLOTS; ++id) {
        if (handle->tracks[id] == nullptr) continue;
        lines.push_back(Describe(input, id));
        const int32_t type = handle->tracks[id]->mediaType;
        if (type == kMediaVideo || type == kMediaAudio) {
            media = true;
            served = served || lines.back().notServed.empty();
        }
    }
    const Configs configs = ReadConfigs(handle);
    // GetFileInfo's words, from the handle open here (GetFileInfo itself
    // opens with the exact reader, which refuses what the tolerant open
    // reads).  Taken after the configurations: it may read an audio sample.
    FileInfo info{};
    FillFileInfo(handle, &info);
    if (args.Has("--json"))
        PrintJson(path, input, lines, configs, info);
    else
        PrintText(path, handle, lines, configs, info);
    // The listing says why; the status says that nothing of the file's media
    // can be read.
    if (media && !served) return Fail("'" + path + "' has no video or audio track the library can read");
    return 0;
}
