// corvane info: the tracks the reader finds in a file and their indexes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "corvane2.h"
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
};

// Each track's own media header (the handle's info blocks hold only the last
// video and audio track's values).
TrackLine Describe(int id, const ReadTrack *track) {
    const AtomNode *mdhd = FindAtomPath(track->trak, {"mdia", "mdhd"});
    const realStructure *record = mdhd ? mdhd->realStructure : nullptr;
    return {id, track, RecordU32(record, 20), RecordU32(record, 24)};
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void PrintText(const std::string &path, const MP4_read_file *h,
               const std::vector<TrackLine> &lines) {
    std::fprintf(Out(), "%s: %zu track(s), video track %d, audio track %d\n", path.c_str(),
                 lines.size(), h->videoTrackId, h->audioTrackId);
    for (const TrackLine &l : lines)
        std::fprintf(Out(),
                     "  track %d: %-7s samples=%u timescale=%u duration=%u keyframes=%u\n", l.id,
                     MediaName(l.track->mediaType), l.track->sampleCount, l.timescale,
                     l.duration, l.track->keyFrameCount);
}

void PrintJson(const std::string &path, const MP4_read_file *h,
               const std::vector<TrackLine> &lines) {
    std::fprintf(Out(), "{\"file\": %s, \"videoTrackId\": %d, \"audioTrackId\": %d, \"tracks\": [",
                 JsonString(path).c_str(), h->videoTrackId, h->audioTrackId);
    for (size_t i = 0; i < lines.size(); ++i) {
        const TrackLine &l = lines[i];
        std::fprintf(Out(),
                     "%s\n  {\"id\": %d, \"type\": \"%s\", \"samples\": %u, \"timescale\": %u, "
                     "\"duration\": %u, \"keyFrames\": %u}",
                     i ? "," : "", l.id, MediaName(l.track->mediaType), l.track->sampleCount,
                     l.timescale, l.duration, l.track->keyFrameCount);
    }
    std::fprintf(Out(), "%s]}\n", lines.empty() ? "" : "\n");
}

}  // namespace

int RunInfo(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    const bool json = TakeFlag(args, "--json");
    if (args.size() > 1) return Fail("info takes one FILE");
    const std::string path = args.empty() ? DefaultSample() : args[0];
    MP4_read_file *handle = nullptr;
    const int32_t opened = MP4FileOpen(&handle, path.c_str());
    if (opened != 1) {
        MP4FileClose(&handle);
        std::free(handle);
        return Fail("cannot open '" + path + "' as an MP4 file");
    }
    std::vector<TrackLine> lines;
    for (int id = 0; id < MP4_READ_TRACK_SLOTS; ++id)
        if (handle->tracks[id] != nullptr) lines.push_back(Describe(id, handle->tracks[id]));
    if (json)
        PrintJson(path, handle, lines);
    else
        PrintText(path, handle, lines);
    MP4FileClose(&handle);
    std::free(handle);
    return 0;
}
