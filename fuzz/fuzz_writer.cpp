// Fuzz target: the writer driven by an arbitrary sequence of calls decoded
// from the input, then MP4FileFlush, then the written file read back with
// MP4FileOpen and every sample taken.
//
// Oracle: when the file was written with a video (audio) track whose every
// frame was accepted, the reader must hand back exactly those frames, in
// order, with the same sizes and bytes; nothing the writer accepted may be
// lost.  Cases written as the writer's rules say and not expected back:
// - video frames before the first key frame (they belong to no chunk), and
//   tracks whose frames are all empty (stsz sample_size 0 without a table);
// - a track that replaced one of its type after frames had been entered:
//   the handle's totals carry over, so the new track's tables begin with
//   entries that were never made for it;
// - frames entered although their bytes could not be written (no temporary
//   file, or a size with no bytes), and temporary files shared by the two
//   media tracks: the temporary file is copied unchanged, so the mdat size
//   and the chunk offsets no longer match the data.  Such a file need not
//   open, and neither track is expected back from it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "corvane2.h"
#include "fuzz_support.h"

namespace {

// Reads the input as a stream of small integers; zeros once it runs out.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return uint16_t(U8() << 8 | U8()); }
    uint32_t U32() { return uint32_t(U16()) << 16 | U16(); }
    // Up to `count` bytes of the input itself; *got says how many there were.
    const uint8_t *Bytes(size_t count, size_t *got) {
        const size_t left = size_ - (at_ < size_ ? at_ : size_);
        *got = count < left ? count : left;
        const uint8_t *p = data_ + (at_ < size_ ? at_ : size_);
        at_ += *got;
        return p;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// What the host gave one media track, for the oracle.
struct Given {
    bool exists = false;   // the track was created, whatever its codec
    bool created = false;  // ... and it is an MPEG-4 track, which the reader serves
    bool allAccepted = true;
    bool keyFirst = true;   // the first video frame accepted was a key frame
    bool anyBytes = false;  // some frame accepted has bytes
    bool carried = false;   // it replaced a track after frames had been entered
    // Its temporary file holds exactly the bytes counted for it (no frame
    // entered without its bytes, no other track writing to the same file).
    bool bytesMatch = true;
    std::string temp;  // the temporary file's name
    void Accepted(const std::vector<uint8_t> &frame, bool key = true) {
        if (frames.empty()) keyFirst = key;
        anyBytes = anyBytes || !frame.empty();
        frames.push_back(frame);
    }
    // A frame the writer refused: entered all the same when the track exists
    // (a failed write), so with a size its bytes are missing from the file.
    void Refused(size_t size) {
        allAccepted = false;
        if (exists && size > 0) bytesMatch = false;
    }
    bool Expected() const {
        return created && allAccepted && !carried && keyFirst && (anyBytes || frames.empty());
    }
    std::vector<std::vector<uint8_t>> frames;
};

bool Verbose() {
    static const bool verbose = std::getenv("CORVANE_FUZZ_VERBOSE") != nullptr;
    return verbose;
}

// Reports a broken promise and stops, with what the library printed.
[[noreturn]] void Fail(const char *what) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// A heap copy of the bytes, so that a read past what the caller passed is
// caught by AddressSanitizer even when the input buffer goes on.
std::vector<uint8_t> Copy(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

uint32_t PickTimescale(Input &in) {
    switch (in.U8() % 6) {
        case 0: return 0;
        case 1: return 1000;
        case 2: return 44100;
        case 3: return 90000;
        case 4: return 0xFFFFFFFF;
        default: return in.U32();
    }
}

uint32_t PickFrequency(Input &in) {
    static const uint32_t kRates[] = {0, 8000, 44100, 48000, 7350, 96000, 12345};
    const uint8_t pick = in.U8();
    return pick < 7 * 32 ? kRates[pick % 7] : in.U32();
}

std::string TempName(Input &in, const std::string &dir, const char **name) {
    switch (in.U8() % 5) {
        case 0: *name = nullptr; return {};
        case 1: return dir + "/" + std::string(300, 'n');  // cannot be created
        case 2: return dir + "/missing/dir/t.tmp";         // cannot be created
        default: return dir + "/t" + std::to_string(in.U8() % 4) + ".tmp";
    }
}

// The writer keeps the caller's temporary-file name until the flush (it is
// not copied), so the names live as long as the whole input.
std::deque<std::string> gNames;

void CallCreateTrack(MP4_local_file *file, Input &in, const std::string &dir, Given *video,
                     Given *audio) {
    const uint32_t type = in.U8() % 7;  // 0, 3 and 6 are not track types
    const uint16_t width = in.U8() & 1 ? in.U16() : uint16_t(16 * (in.U8() % 16));
    const uint16_t height = in.U8() & 1 ? in.U16() : uint16_t(16 * (in.U8() % 16));
    const uint16_t tir = in.U16();
    const uint32_t timescale = PickTimescale(in);
    const uint32_t profile = in.U8();
    const uint32_t audioProfile = in.U8() % 8;
    const uint32_t channels = in.U8() % 9;
    const uint32_t frequency = PickFrequency(in);
    uint32_t configLength = in.U8() % 64;
    size_t got = 0;
    std::vector<uint8_t> config = Copy(in.Bytes(configLength, &got), got);
    const uint8_t *configPointer = config.empty() ? nullptr : config.data();
    if (in.U8() % 8 == 0) configPointer = nullptr;  // a length with no bytes
    configLength = uint32_t(got);
    const char *name = nullptr;
    gNames.push_back(TempName(in, dir, &name));
    const std::string &temp = gNames.back();
    if (!temp.empty()) name = temp.c_str();
    const uint32_t codec = in.U8() % 3;
    const uint32_t entered = type == 1 ? file->videoSampleTotal : type == 2 ? file->audioSampleTotal : 0;
    const uint32_t bytes = type == 1 ? file->videoBytes : type == 2 ? file->audioBytes : 0;
    const int32_t result = CreateTrack(file, type, width, height, tir, timescale, profile,
                                       audioProfile, channels, frequency, configLength,
                                       configPointer, name, codec);
    if (Verbose())
        std::fprintf(stderr, "CreateTrack(type %u, %ux%u, tir %u, timescale %u, profile %u, "
                             "aac %u/%u/%u, config %u%s, temp %s, codec %u) = %d\n",
                     type, width, height, tir, timescale, profile, audioProfile, channels,
                     frequency, configLength, configPointer ? "" : " (null)",
                     name ? name : "(null)", codec, result);
    if (result != 1) return;
    // A media track whose temporary file could not be opened cannot keep its
    // frames; the oracle only follows tracks that could.
    // The reader serves MPEG-4 tracks (mp4v, mp4a) only; 3GPP tracks (s263,
    // samr) are written but not read back, so only codec 1 is followed.
    // A second track of a type replaces the first; the handle's totals stay.
    Given *given = type == 1 ? video : type == 2 ? audio : nullptr;
    if (given == nullptr) return;
    Given *other = type == 1 ? audio : video;
    Given next;
    next.exists = true;
    next.created = codec == 1;
    next.temp = name != nullptr ? name : "";
    next.carried = entered > 0;
    next.bytesMatch = bytes == 0;
    // Two tracks that write to one file spoil it for both, for good.
    if (other->exists && !next.temp.empty() && next.temp == other->temp)
        next.bytesMatch = other->bytesMatch = false;
    *given = next;
}

void CallAddFrame(MP4_local_file *file, Input &in, bool isVideo, uint32_t *time, Given *given) {
    size_t got = 0;
    const size_t wanted = in.U8() % 4 == 0 ? in.U16() : in.U8() % 32;
    std::vector<uint8_t> frame = Copy(in.Bytes(wanted, &got), got);
    *time += in.U8() % 4 == 0 ? in.U32() % 100000 : in.U8();
    const uint8_t *data = frame.empty() ? nullptr : frame.data();
    const int32_t keyFlag = in.U8() % 3;
    const int32_t result = isVideo ? AddVideoFrame(file, uint32_t(got), data, *time, keyFlag)
                                   : AddAudioFrame(file, uint32_t(got), data, *time);
    if (Verbose())
        std::fprintf(stderr, "Add%sFrame(%zu bytes, time %u) = %d\n", isVideo ? "Video" : "Audio",
                     got, *time, result);
    if (result != 1)
        given->Refused(got);
    else if (given->created)
        given->Accepted(frame, !isVideo || keyFlag == 1);
}

// Frames one input may add in all: enough to fill a few 2000-frame blocks,
// few enough that the read-back stays well inside the one-second timeout.
uint32_t gFrameBudget;

// Many small frames at once, to cross the 2000-frame blocks.
void CallManyFrames(MP4_local_file *file, Input &in, bool isVideo, uint32_t *time, Given *given) {
    uint32_t count = in.U16() % 4500;
    if (count > gFrameBudget) count = gFrameBudget;
    gFrameBudget -= count;
    const uint8_t fill = in.U8();
    const uint8_t step = in.U8() % 5;
    if (Verbose())
        std::fprintf(stderr, "%u %s frames, time step %u\n", count, isVideo ? "video" : "audio",
                     step);
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint8_t> frame(i % 3, uint8_t(fill + i));
        *time += step;
        const uint8_t *data = frame.empty() ? nullptr : frame.data();
        const int32_t result = isVideo
            ? AddVideoFrame(file, uint32_t(frame.size()), data, *time, i % 7 == 0)
            : AddAudioFrame(file, uint32_t(frame.size()), data, *time);
        if (result != 1)
            given->Refused(frame.size());
        else if (given->created)
            given->Accepted(frame, !isVideo || i % 7 == 0);
    }
}

// Reads one track back and checks it against what was given, when `checked`.
void CheckTrack(MP4_read_file *handle, int32_t trackId, const Given &given, bool checked) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    uint32_t time = 0;
    size_t index = 0;
    while (trackId != 0 && MP4GetNextSample(handle, trackId, &data, &size, &time) == 1) {
        if (checked) {
            if (index >= given.frames.size()) {
                Fail("read back more samples than were written");
            }
            const std::vector<uint8_t> &frame = given.frames[index];
            if (size != frame.size() || (size > 0 && std::memcmp(data, frame.data(), size) != 0)) {
                std::fprintf(stderr, "sample %zu: %u bytes read, %zu written\n", index, size,
                             frame.size());
                Fail("a sample differs from the frame written");
            }
        }
        ++index;
        MP4freeData(&data);
    }
    if (checked && index != given.frames.size()) {
        std::fprintf(stderr, "%zu samples read back, %zu written\n", index, given.frames.size());
        Fail("samples lost");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &dir = fuzz::ScratchDir();
    const std::string output = dir + "/out.mp4";
    std::remove(output.c_str());
    Input in(data, size);
    MP4_local_file *file = nullptr;
    if (MP4FileNew(&file, output.c_str()) != 1) Fail("MP4FileNew failed");
    Given video, audio;
    gFrameBudget = 6000;
    uint32_t videoTime = 0;
    uint32_t audioTime = 0;
    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        switch (in.U8() % 6) {
            case 0: CallCreateTrack(file, in, dir, &video, &audio); break;
            case 1: CallAddFrame(file, in, true, &videoTime, &video); break;
            case 2: CallAddFrame(file, in, false, &audioTime, &audio); break;
            case 3: CallManyFrames(file, in, true, &videoTime, &video); break;
            case 4: CallManyFrames(file, in, false, &audioTime, &audio); break;
            default: step = 64; break;
        }
    }
    if (MP4FileFlush(file) != 1) Fail("MP4FileFlush failed");
    gNames.clear();
    for (int i = 0; i < 4; ++i) std::remove((dir + "/t" + std::to_string(i) + ".tmp").c_str());

    // A temporary file that does not hold what was counted moves the data
    // after it, and a short one leaves mdat running past the end of the file
    // (the data before it cannot be had either): nothing is expected then.
    const bool intact = (!video.exists || video.bytesMatch) && (!audio.exists || audio.bytesMatch);
    MP4_read_file *handle = nullptr;
    if (MP4FileOpen(&handle, fuzz::MediaPartOf(output).c_str()) == 1) {
        CheckTrack(handle, handle->videoTrackId, video, intact && video.Expected());
        CheckTrack(handle, handle->audioTrackId, audio, intact && audio.Expected());
    } else if ((video.created || audio.created) && intact) {
        Fail("the written file does not open");
    }
    MP4FileClose(&handle);
    std::free(handle);
    return 0;
}
