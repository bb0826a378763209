// corvane samples: the sample index of one track as the reader sees it.
#include <algorithm>
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

// The sample numbers the key-frame table names, ascending and once each:
// the reader keeps the sync-sample table's order, repeats and descending
// runs included, and a sample is a key frame wherever the table names it.
std::vector<uint32_t> KeySampleNumbers(const ReadTrack *track) {
    std::vector<uint32_t> keys;
    keys.reserve(track->keyFrameCount);
    for (uint32_t i = 0; i < track->keyFrameCount; ++i) keys.push_back(track->keyFrames[i].sampleNumber);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// Whether video sample `number` is a key frame, as the reader decides it:
// named in the sync-sample table, or, for a track without one, an MPEG-4
// Visual I-VOP (VOP coding type 0 in the two top bits after the start code).
// `nextKey` walks the ascending key numbers along with the samples.
bool IsKeyFrame(const std::vector<uint32_t> &keys, uint32_t number, const uint8_t *data, uint32_t size,
                size_t *nextKey) {
    if (keys.empty()) return size >= 5 && (data[4] & 0xC0) == 0;
    while (*nextKey < keys.size() && keys[*nextKey] < number) ++*nextKey;
    return *nextKey < keys.size() && keys[*nextKey] == number;
}

// The listing, written as the samples are read: a track may hold hundreds
// of millions of samples (a few words of its tables can claim them), so no
// line is kept.
struct Listing {
    bool json;
    bool keyFramesOnly;
    uint64_t printed = 0;
};

void PrintHead(const Listing &l) {
    if (l.json)
        std::fprintf(Out(), "{\"packets\": [");
    else
        std::fprintf(Out(), "    #      time    offset    size key\n");
}

// Laid out like ffprobe's packet list in JSON, so that the two compare
// field by field.
void PrintLine(Listing *l, const SampleLine &s) {
    if (l->keyFramesOnly && !s.key) return;
    if (l->json)
        std::fprintf(Out(), "%s\n  {\"index\": %u, \"dts\": %u, \"pos\": %u, \"size\": %u, \"key\": %d}",
                     l->printed ? "," : "", s.number, s.time, s.offset, s.size, s.key ? 1 : 0);
    else
        std::fprintf(Out(), "%5u %9u %9u %7u %3d\n", s.number, s.time, s.offset, s.size, s.key ? 1 : 0);
    ++l->printed;
}

void PrintEnd(const Listing &l) {
    if (l.json) std::fprintf(Out(), "%s]}\n", l.printed ? "\n" : "");
}

// Every sample of the track, read in order with MP4GetNextSample and
// listed; the file offset comes from the reader's index, which the exports
// do not hand out (SampleAt: the entries may be computed from the tables
// rather than stored).  The number of samples read: all of them, or the
// first that cannot be read (a file cut short).
uint32_t ListSamples(MP4_read_file *handle, int32_t id, Listing *listing) {
    const ReadTrack *track = handle->tracks[id];
    const bool video = id == handle->videoTrackId;
    const std::vector<uint32_t> keys = video ? KeySampleNumbers(track) : std::vector<uint32_t>();
    size_t nextKey = 0;
    for (uint32_t number = 0; number < track->sampleCount; ++number) {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        if (MP4GetNextSample(handle, id, &data, &size, &time) != 1) return number;
        const bool key = !video || IsKeyFrame(keys, number, data, size, &nextKey);
        PrintLine(listing, {number, time, SampleAt(track, number).offset, size, key});
        MP4freeData(&data);
    }
    return track->sampleCount;
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
    Listing listing{args.Has("--json"), args.Has("--keyframes")};
    PrintHead(listing);
    // A file cut short: the samples before the first that cannot be read
    // are listed, then the command fails naming it.
    const uint32_t read = ListSamples(input.handle, id, &listing);
    if (read < input.handle->tracks[id]->sampleCount) error = UnreadableSampleText(path, input, id, read);
    PrintEnd(listing);
    return error.empty() ? 0 : Fail(error);
}
