// corvane mux, add-audio, add-video: writing MP4 files from elementary streams.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "corvane2.h"
#include "remux/remux.h"

namespace {

// Reads a whole file.  The vector is sized once from the file's size and
// filled in place: growing it piece by piece copied the stream again at
// every doubling, onto fresh pages each time.
bool ReadAll(const std::string &path, std::vector<uint8_t> *bytes) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::rewind(file);
    if (size > 0) {
        bytes->resize(size_t(size));
        bytes->resize(std::fread(bytes->data(), 1, bytes->size(), file));
    }
    // Whatever the size did not announce (a file that grew) is read as well.
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
    std::fclose(file);
    return true;
}

// Progress on standard error, only for a person watching a terminal (asked
// once: the answer costs a system call).
void Progress(const char *what, size_t done, size_t total) {
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    if (!terminal || total == 0) return;
    if (done != total && done % 500 != 0) return;
    std::fprintf(stderr, "\r%s: %zu/%zu", what, done, total);
    if (done == total) std::fputc('\n', stderr);
}

struct AdtsFrame {
    size_t payload;
    uint32_t length;
};

// Splits an ADTS stream into frames; false at a header that is not ADTS.
bool SplitAdts(const std::vector<uint8_t> &bytes, std::vector<AdtsFrame> *frames) {
    for (size_t p = 0; p < bytes.size();) {
        if (bytes.size() - p < kAdtsHeaderBytes || bytes[p] != 0xFF || (bytes[p + 1] & 0xF0) != 0xF0)
            return false;
        const size_t header = (bytes[p + 1] & 1) ? 7 : 9;
        const uint32_t length = ((bytes[p + 3] & 3u) << 11) | (uint32_t(bytes[p + 4]) << 3) |
                                (bytes[p + 5] >> 5);
        if (length < header || bytes.size() - p < length) return false;
        frames->push_back({p + header, uint32_t(length - header)});
        p += length;
    }
    return !frames->empty();
}

const char *ResultText(int32_t r) {
    switch (r) {
        case -1: return "a path is missing or an input cannot be opened";
        case -11: return "the source MP4 file cannot be opened";
        case -12: return "the source track has no usable decoder configuration";
        case -21: return "a sample of the source cannot be read";
        case -31: return "the elementary stream is not usable";
        case -41: return "the new file cannot be created";
        default: return "failed";
    }
}

}  // namespace

int RunMux(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    std::string fpsText = "25";
    TakeOption(args, "--fps", &fpsText);
    if (args.size() != 3) return Fail("mux takes VIDEO.m4v AUDIO.aac OUT.mp4 (see --help)");
    const float fps = std::strtof(fpsText.c_str(), nullptr);
    if (!(fps > 0)) return Fail("--fps must be a positive number");
    std::vector<uint8_t> video, audio;
    if (!ReadAll(args[0], &video)) return Fail("cannot open '" + args[0] + "'");
    if (!ReadAll(args[1], &audio)) return Fail("cannot open '" + args[1] + "'");
    uint32_t width = 0, height = 0;
    const int32_t headerSize = GetM4vHeaderSize(args[0].c_str(), &width, &height);
    if (headerSize <= 0) return Fail("'" + args[0] + "' is not an MPEG-4 Visual stream");
    const std::vector<VisualFrame> frames = SplitVisualFrames(video.data(), video.size());
    std::vector<AdtsFrame> aac;
    if (frames.empty()) return Fail("'" + args[0] + "' holds no pictures");
    if (!SplitAdts(audio, &aac)) return Fail("'" + args[1] + "' is not an ADTS AAC stream");
    const uint32_t rate[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                             16000, 12000, 11025, 8000, 7350, 0, 0, 0};
    const uint32_t sampleRate = rate[(audio[2] >> 2) & 0x0F];
    if (sampleRate == 0) return Fail("'" + args[1] + "' has an unknown sampling frequency");

    const std::string videoTemp = args[2] + ".video.tmp", audioTemp = args[2] + ".audio.tmp";
    MP4_local_file *file = nullptr;
    if (MP4FileNew(&file, args[2].c_str()) != 1) return Fail("cannot create '" + args[2] + "'");
    const bool config = uint32_t(headerSize) <= kMaxDecoderConfigBytes;
    uint8_t adtsHeader[7];
    std::copy(audio.begin(), audio.begin() + 7, adtsHeader);
    CreateTrack(file, 1, uint16_t(width), uint16_t(height), 1000, 1000, 0, 0, 0, 0,
                config ? uint32_t(headerSize) : 0, config ? video.data() : nullptr,
                videoTemp.c_str(), 1);
    CreateTrack(file, 2, 0, 0, 0, sampleRate, 0, 0, 0, 0, 7, adtsHeader, audioTemp.c_str(), 1);
    CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    for (size_t k = 0; k < frames.size(); ++k) {
        const VisualFrame &f = frames[k];
        AddVideoFrame(file, uint32_t(f.end - f.begin), video.data() + f.begin,
                      VisualFrameTime(uint32_t(k), fps), IsIntraPlane(video.data(), f));
        Progress("video frames", k + 1, frames.size());
    }
    for (size_t k = 0; k < aac.size(); ++k) {
        AddAudioFrame(file, aac[k].length, audio.data() + aac[k].payload, uint32_t(k * 1024));
        Progress("audio frames", k + 1, aac.size());
    }
    MP4FileFlush(file);
    std::fprintf(Out(), "%s: %zu video frames, %zu audio frames\n", args[2].c_str(),
                 frames.size(), aac.size());
    return 0;
}

int RunAddAudio(const std::vector<std::string> &args) {
    if (args.size() != 3) return Fail("add-audio takes SOURCE.mp4 AUDIO.aac OUT.mp4 (see --help)");
    const int32_t r = Mp4AddAudio(args[0].c_str(), args[1].c_str(), args[2].c_str());
    if (r != 1) return Fail("add-audio: " + std::string(ResultText(r)) + " (" + std::to_string(r) + ")");
    std::fprintf(Out(), "%s written\n", args[2].c_str());
    return 0;
}

int RunAddVideo(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    std::string fpsText = "25";
    TakeOption(args, "--fps", &fpsText);
    if (args.size() != 3) return Fail("add-video takes SOURCE.mp4 VIDEO.m4v OUT.mp4 (see --help)");
    const float fps = std::strtof(fpsText.c_str(), nullptr);
    const int32_t r = Mp4AddVideo(args[0].c_str(), args[1].c_str(), args[2].c_str(), fps);
    if (r != 1) return Fail("add-video: " + std::string(ResultText(r)) + " (" + std::to_string(r) + ")");
    std::fprintf(Out(), "%s written\n", args[2].c_str());
    return 0;
}
