// corvane samples: the sample index of one track as the reader sees it.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "corvane2.h"
#include "read/read.h"

namespace {

struct SampleLine {
    uint32_t number;
    uint32_t time;
    uint32_t offset;
    uint32_t size;
    bool key;
};

// Whether video sample `number` is a key frame, as the reader decides it:
// listed in the sync-sample table, or, for a track without one, an MPEG-4
// Visual I-VOP (VOP coding type 0 in the two top bits after the start code).
// `nextKey` walks the ascending key-frame table along with the samples.
bool IsKeyFrame(const ReadTrack *track, uint32_t number, const uint8_t *data, uint32_t size,
                uint32_t *nextKey) {
    if (track->keyFrameCount == 0) return size >= 5 && (data[4] & 0xC0) == 0;
    while (*nextKey < track->keyFrameCount && track->keyFrames[*nextKey].sampleNumber < number)
        ++*nextKey;
    return *nextKey < track->keyFrameCount && track->keyFrames[*nextKey].sampleNumber == number;
}

// Every sample of the track, read in order with MP4GetNextSample; the file
// offset comes from the reader's index, which the exports do not hand out.
// False when a sample cannot be read (a file cut short).
bool ReadSamples(MP4_read_file *handle, int32_t id, std::vector<SampleLine> *lines) {
    const ReadTrack *track = handle->tracks[id];
    const bool video = id == handle->videoTrackId;
    uint32_t nextKey = 0;
    for (uint32_t number = 0; number < track->sampleCount; ++number) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        if (MP4GetNextSample(handle, id, &data, &size, &time) != 1) return false;
        const bool key = !video || IsKeyFrame(track, number, data, size, &nextKey);
        lines->push_back({number, time, track->samples[number].offset, size, key});
        MP4freeData(&data);
    }
    return true;
}

void PrintText(const std::vector<SampleLine> &lines) {
    std::fprintf(Out(), "    #      time    offset    size key\n");
    for (const SampleLine &l : lines)
        std::fprintf(Out(), "%5u %9u %9u %7u %3d\n", l.number, l.time, l.offset, l.size,
                     l.key ? 1 : 0);
}

// Laid out like ffprobe's packet list, so that the two compare field by field.
void PrintJson(const std::vector<SampleLine> &lines) {
    std::fprintf(Out(), "{\"packets\": [");
    for (size_t i = 0; i < lines.size(); ++i) {
        const SampleLine &l = lines[i];
        std::fprintf(Out(),
                     "%s\n  {\"index\": %u, \"dts\": %u, \"pos\": %u, \"size\": %u, \"key\": %d}",
                     i ? "," : "", l.number, l.time, l.offset, l.size, l.key ? 1 : 0);
    }
    std::fprintf(Out(), "%s]}\n", lines.empty() ? "" : "\n");
}

}  // namespace

int RunSamples(const Args &args) {
    const std::string kind = args.Value("--track");
    if (!kind.empty()) {
        const std::string bad = ParseChoice("--track", kind, {"video", "audio"});
        if (!bad.empty()) return Fail(bad);
    }
    if (args.positional.size() != 1) return Fail("samples takes one FILE (see corvane samples --help)");
    const std::string &path = args.positional[0];
    Mp4Input input;
    const std::string opened = OpenMp4(path, &input);
    if (!opened.empty()) return Fail(opened);
    std::string error;
    const int32_t id = ChooseTrack(input, kind, path, &error);
    if (id == 0) return Fail(error);
    std::vector<SampleLine> lines;
    // A file cut short: the samples before the first that cannot be read
    // are listed, then the command fails naming it.
    if (!ReadSamples(input.handle, id, &lines))
        error = UnreadableSampleText(path, input, id, uint32_t(lines.size()));
    if (args.Has("--keyframes")) {
        std::vector<SampleLine> keys;
        for (const SampleLine &l : lines)
            if (l.key) keys.push_back(l);
        lines.swap(keys);
    }
    if (args.Has("--json"))
        PrintJson(lines);
    else
        PrintText(lines);
    return error.empty() ? 0 : Fail(error);
}
