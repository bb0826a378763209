// Fuzz target: the remultiplexing operations with an arbitrary stream.  The
// first byte chooses the operation and the frame rate; the rest is the
// stream: an ADTS AAC file for Mp4AddAudio (joined with the video of
// tests/data/video.mp4) or an MPEG-4 Visual elementary stream for
// Mp4AddVideo (joined with the audio of tests/data/audio.mp4).  Each call
// runs in a private directory, since the operations use the fixed temporary
// names "tempv.v" and "tempa.a" in the working directory.
//
// Oracle: on success the new file's stream track holds exactly the frames of
// the stream, split independently here over the whole input at once (ADTS
// frames without their 7-byte headers, a CRC included; video object planes
// from one 00 00 01 B6 to the next), while the operations read the stream in
// pieces.  Two streams are written as the format rules of the writer say and
// are not expected back: planes before the first intra plane (they belong to
// no chunk) and ADTS frames that are all empty (stsz sample_size 0 without a
// table).  A frame rate of 0 is refused with -32; a negative one gives
// negative frame times, and the frames come back as with any other.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "corvane2.h"
#include "fuzz_support.h"

namespace {

using Frame = std::vector<uint8_t>;

[[noreturn]] void Fail(const char *what) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::vector<Frame> AdtsPayloads(const uint8_t *p, size_t n) {
    std::vector<Frame> frames;
    for (size_t at = 0; at + 7 <= n;) {
        const size_t length = size_t(p[at + 3] & 3) << 11 | size_t(p[at + 4]) << 3 | p[at + 5] >> 5;
        if (length < 7 || at + length > n) break;
        frames.emplace_back(p + at + 7, p + at + length);
        at += length;
    }
    return frames;
}

std::vector<Frame> VisualPlanes(const uint8_t *p, size_t n) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < n;) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (p[i + 3] == 0xB6) starts.push_back(i);
            i += 4;
        } else {
            ++i;
        }
    }
    std::vector<Frame> frames;
    for (size_t k = 0; k < starts.size(); ++k)
        frames.emplace_back(p + starts[k], p + (k + 1 < starts.size() ? starts[k + 1] : n));
    return frames;
}

// Whether the first plane is intra: the byte 4 after its start code has its
// two top bits clear.  A plane of only its start code is followed by the next
// one's (that byte is 0); at the end of the stream it is not intra.
bool FirstPlaneIsIntra(const std::vector<Frame> &frames) {
    if (frames[0].size() > 4) return (frames[0][4] & 0xC0) == 0;
    return frames.size() > 1;
}

bool ReadableBack(bool video, const std::vector<Frame> &frames) {
    if (frames.empty()) return true;
    if (video) return FirstPlaneIsIntra(frames);
    for (const Frame &frame : frames)
        if (!frame.empty()) return true;
    return false;
}

void CheckTrack(const std::string &path, bool video, const std::vector<Frame> &expected) {
    MP4_read_file *handle = nullptr;
    if (MP4FileOpen(&handle, fuzz::MediaPartOf(path).c_str()) != 1) Fail("the new file does not open");
    const int32_t id = video ? handle->videoTrackId : handle->audioTrackId;
    uint8_t *data = nullptr;
    uint32_t size = 0, time = 0;
    size_t k = 0;
    while (MP4GetNextSample(handle, id, &data, &size, &time) == 1) {
        if (k >= expected.size()) Fail("more frames than the stream holds");
        if (size != expected[k].size() || (size && std::memcmp(data, expected[k].data(), size)))
            Fail("a frame differs from the stream's");
        MP4freeData(&data);
        ++k;
    }
    if (k != expected.size()) Fail("frames of the stream are missing");
    MP4FileClose(&handle);
    std::free(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const float kRates[] = {25.0f, 29.97f, 1.0f, 0.0f, -5.0f, 1e-30f, 1e30f, 120.0f};
    const bool audio = (data[0] & 1) == 0;
    const float rate = kRates[(data[0] >> 1) & 7];
    const uint8_t *stream = data + 1;
    const size_t streamSize = size - 1;
    const std::string &dir = fuzz::ScratchDir();
    const std::string input = fuzz::WriteScratch(audio ? "stream.aac" : "stream.m4v", stream, streamSize);
    const std::string output = dir + "/out.mp4";
    std::remove(output.c_str());
    char home[4096];
    if (getcwd(home, sizeof home) == nullptr || chdir(dir.c_str()) != 0) std::abort();
    const int32_t result = audio
        ? Mp4AddAudio(CORVANE_FUZZ_DATA "/video.mp4", input.c_str(), output.c_str())
        : Mp4AddVideo(CORVANE_FUZZ_DATA "/audio.mp4", input.c_str(), output.c_str(), rate);
    if (chdir(home) != 0) std::abort();
    if (std::getenv("CORVANE_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "%s: %d\n", audio ? "Mp4AddAudio" : "Mp4AddVideo", result);
    if ((!audio && rate == 0.0f) != (result == -32))
        Fail("-32 answers a frame rate of 0, and nothing else");
    if (result == 1) {
        const std::vector<Frame> frames =
            audio ? AdtsPayloads(stream, streamSize) : VisualPlanes(stream, streamSize);
        if (ReadableBack(!audio, frames)) CheckTrack(output, !audio, frames);
    } else if (result != -1 && result != -31 && result != -32 && result != -41) {
        Fail("an unexpected result");  // the sources are good: -11, -12, -21 cannot happen
    }
    std::remove((dir + "/tempv.v").c_str());
    std::remove((dir + "/tempa.a").c_str());
    return 0;
}
