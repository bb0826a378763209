// corvane mux, add-audio, add-video: writing MP4 files from elementary streams.
//
// The streams are read in bounded pieces (MPEG-4 Visual) or frame by frame
// (ADTS) and every frame goes to the writer as soon as it is found, so the
// memory used does not grow with the inputs: it is the writer's tables and
// a fixed buffer.  A command that fails leaves nothing behind that it
// created, and removes nothing that was there before.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "corvane2.h"
#include "platform/platform.h"
#include "read/read.h"
#include "remux/remux.h"
#include "write/write.h"

namespace {

// An input stream open for reading, with its size (below 2 GiB).
struct Input {
    std::string path;
    FILE *file = nullptr;
    int64_t size = -1;
    std::vector<char> buffer;  // the stream's, released after it is closed
    ~Input() {
        if (file != nullptr) std::fclose(file);
    }
};

// An empty string, or why the stream cannot be opened.
std::string OpenInput(const std::string &path, Input *in) {
    in->path = path;
    in->file = OpenFileForReading(path.c_str());
    if (in->file == nullptr) return "cannot open '" + path + "': " + std::strerror(errno);
    // ADTS frames are read a few hundred bytes at a time: a buffer of 64 KiB
    // keeps that to one read call per 64 KiB of the stream.
    in->buffer.resize(64 * 1024);
    std::setvbuf(in->file, in->buffer.data(), _IOFBF, in->buffer.size());
    in->size = StreamSizeAtEnd(in->file);
    if (std::fseek(in->file, 0, SEEK_SET) != 0) in->size = -1;
    return "";
}

bool TooLarge(const Input &in) { return in.size >= 0 && uint64_t(in.size) >= kMaxStreamBytes; }

// One ADTS frame read whole: its bytes and where its payload starts (after a
// 7-byte header, or 9 bytes with CRC).
struct AdtsFrame {
    uint8_t bytes[kMaxAdtsFrameBytes];
    uint32_t length;
    uint32_t header;
};

// 1 with the next frame; 0 at the end of the stream; -1 at bytes that are
// not an ADTS frame (no sync word, a length below the header, a frame cut
// short).  `left` counts the stream's bytes still to come.
int ReadAdtsFrame(FILE *file, uint64_t *left, AdtsFrame *frame) {
    if (*left == 0) return 0;
    uint8_t *b = frame->bytes;
    if (*left < kAdtsHeaderBytes || std::fread(b, 1, kAdtsHeaderBytes, file) != kAdtsHeaderBytes ||
        b[0] != 0xFF || (b[1] & 0xF0) != 0xF0)
        return -1;
    frame->header = (b[1] & 1) ? 7 : 9;
    frame->length = AdtsFrameLength(b);
    if (frame->length < frame->header || frame->length > *left) return -1;
    const uint32_t rest = frame->length - kAdtsHeaderBytes;
    if (std::fread(b + kAdtsHeaderBytes, 1, rest, file) != rest) return -1;
    *left -= frame->length;
    return 1;
}

// The sampling frequency of the stream's first frame.  The rest of the
// stream is checked as its frames are read and written.
std::string CheckAdts(const Input &in, uint8_t *firstHeader, uint32_t *sampleRate) {
    const std::string bad = "'" + in.path + "' is not an ADTS AAC stream";
    if (TooLarge(in)) return "'" + in.path + "' is too large (2 GiB or more)";
    if (in.size <= 0) return bad;
    uint64_t left = uint64_t(in.size);
    AdtsFrame frame;
    if (ReadAdtsFrame(in.file, &left, &frame) != 1 || std::fseek(in.file, 0, SEEK_SET) != 0)
        return bad;
    std::copy(frame.bytes, frame.bytes + kAdtsHeaderBytes, firstHeader);
    const uint32_t rate[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                             16000, 12000, 11025, 8000, 7350, 0, 0, 0};
    *sampleRate = rate[(firstHeader[2] >> 2) & 0x0F];
    if (*sampleRate == 0) return "'" + in.path + "' has an unknown sampling frequency";
    return "";
}

// The MPEG-4 Visual stream: its header (the decoder configuration when it
// fits a track), its picture size, and at least one picture.
struct VisualHeader {
    uint32_t size = 0, width = 0, height = 0;
    uint8_t config[kMaxDecoderConfigBytes] = {};
    bool carried = false;  // the configuration fits the track
};

std::string CheckVisual(const Input &in, VisualHeader *h) {
    const int32_t headerSize = GetM4vHeaderSize(in.path.c_str(), &h->width, &h->height);
    if (headerSize <= 0) return "'" + in.path + "' is not an MPEG-4 Visual stream";
    if (TooLarge(in)) return "'" + in.path + "' is too large (2 GiB or more)";
    h->size = uint32_t(headerSize);
    h->carried = h->size <= kMaxDecoderConfigBytes &&
                 std::fread(h->config, 1, h->size, in.file) == h->size;
    VisualScan scan{};
    const bool pictures = std::fseek(in.file, 0, SEEK_SET) == 0 &&
                          StartVisualScan(&scan, in.file, uint64_t(in.size)) && ScanFindsPlane(&scan);
    EndVisualScan(&scan);
    if (!pictures) return "'" + in.path + "' holds no pictures";
    return std::fseek(in.file, 0, SEEK_SET) == 0 ? "" : "cannot read '" + in.path + "'";
}

// Temporary files of the writer beside the output, made by this command
// (never a file that was there before).
struct TempFiles {
    std::string video, audio;
    bool made = false;
    void Remove() const {
        if (!made) return;
        std::remove(video.c_str());
        std::remove(audio.c_str());
    }
};

bool MakeTempFile(const std::string &pattern, std::string *name) {
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    const int fd = mkstemp(path.data());
    if (fd < 0) return false;
    close(fd);
    *name = path.data();
    return true;
}

bool MakeTempFiles(const std::string &output, TempFiles *t) {
    if (!MakeTempFile(output + ".video.XXXXXX", &t->video)) return false;
    if (!MakeTempFile(output + ".audio.XXXXXX", &t->audio)) {
        std::remove(t->video.c_str());
        return false;
    }
    t->made = true;
    return true;
}

struct MuxCounts {
    size_t video = 0, audio = 0, refused = 0;
    std::string error;
    Progress progress;
    uint64_t videoBytes = 0;  // bytes of the video stream read
};

void AddVideoFrames(MP4_local_file *file, const Input &in, float fps, MuxCounts *c) {
    VisualScan scan{};
    if (!StartVisualScan(&scan, in.file, uint64_t(in.size))) {
        c->error = "'" + in.path + "': out of memory";
        return;
    }
    const uint8_t *bytes = nullptr;
    uint32_t size = 0;
    int32_t key = 0, got = 0;
    while ((got = NextVisualFrame(&scan, &bytes, &size, &key)) == 1) {
        // A plane too short to tell its coding type is not taken as intra.
        const int32_t intra = size > 4 && (bytes[4] & 0xC0) == 0 ? 1 : 0;
        if (AddVideoFrame(file, size, bytes, VisualFrameTime(uint32_t(c->video), fps), intra) != 1)
            ++c->refused;
        ++c->video;
        ShowProgress(&c->progress, uint64_t(in.size) - scan.left);
    }
    c->videoBytes = uint64_t(in.size);
    if (got < 0) c->error = "'" + in.path + "': a frame is too large to hold in memory";
    if (got == 0 && scan.readShort) c->error = "'" + in.path + "' became shorter while it was read";
    EndVisualScan(&scan);
}

void AddAudioFrames(MP4_local_file *file, const Input &in, MuxCounts *c) {
    AdtsFrame frame;
    const uint64_t size = uint64_t(in.size);
    uint64_t left = size;
    int got;
    while ((got = ReadAdtsFrame(in.file, &left, &frame)) == 1) {
        if (AddAudioFrame(file, frame.length - frame.header, frame.bytes + frame.header,
                          uint32_t(c->audio * kAacFrameSamples)) != 1)
            ++c->refused;
        ++c->audio;
        ShowProgress(&c->progress, c->videoBytes + size - left);
    }
    if (got < 0 && c->error.empty())
        c->error = "'" + in.path + "' is not an ADTS AAC stream: the bytes at offset " +
                   std::to_string(size - left) + " are not an ADTS frame";
}

// How many frames the writer refused, and why: its temporary files could not
// be created, or could not take the bytes.
std::string RefusedText(size_t refused, const std::string &why) {
    return std::to_string(refused) + " frame(s) refused by the writer: " + why;
}

// What the operation's result means, with the names of its inputs.
std::string ResultText(int32_t r, bool addAudio, const std::vector<std::string> &a) {
    const std::string stream = "'" + a[1] + "'";
    switch (r) {
        case -1: return "cannot open " + stream;
        case -11: return "the library cannot open '" + a[0] + "'";
        case -12:
            return std::string("the ") + (addAudio ? "video" : "audio") + " track of '" + a[0] +
                   "' has no usable " + (addAudio ? "MPEG-4 Visual" : "AAC") + " decoder configuration";
        case -21: return "a sample of the source cannot be read";
        case -31:
            return stream + (addAudio ? " is not a usable ADTS AAC stream (or is cut short)"
                                      : " is not a usable MPEG-4 Visual stream (or its header is over 52 bytes)");
        case -32: return "the frame rate gives no frame times";
        case -41: return "the new file cannot be created";
        default: return "failed";
    }
}

// The source as the tool reads it: what its open left out is said, and a
// source without the track the operation copies is refused with the reason.
// A source cut short after its moov is left to the operation, which says
// which sample cannot be read (-21).  The bytes of that track's samples,
// for the progress line, in `trackBytes`.
std::string CheckSource(const std::string &path, bool video, uint64_t *trackBytes) {
    Mp4Input input;
    std::string error = OpenMp4(path, &input, false);
    if (!error.empty()) return error;
    const int32_t id = ChooseTrack(input.handle, video ? "video" : "audio", path, &error);
    if (id == 0) return error;
    const ReadTrack *track = input.handle->tracks[id];
    *trackBytes = 0;
    for (uint32_t i = 0; i < track->sampleCount; ++i) *trackBytes += track->samples[i].size;
    return "";
}

uint64_t SizeOf(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

// The progress of an operation that runs inside the library: the media are
// spooled to the temporary files, then copied into the output, so the bytes
// done are what those files hold, of twice the media.  Watched from a thread
// of its own while the operation runs.
struct Watcher {
    std::atomic<bool> stop{false};
    std::thread thread;
};

void StartWatching(Watcher *w, const char *what, const std::string &output, uint64_t media) {
    if (!ProgressWanted()) return;
    w->thread = std::thread([w, what, output, media] {
        Progress progress;
        StartProgress(&progress, what, 2 * media, true);
        while (!w->stop.load()) {
            ShowProgress(&progress, SizeOf(kVideoTempName) + SizeOf(kAudioTempName) +
                                        SizeOf(output.c_str()));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EndProgress(&progress);
    });
}

void StopWatching(Watcher *w) {
    w->stop.store(true);
    if (w->thread.joinable()) w->thread.join();
}

// add-audio and add-video: the library's operation, then a check that the
// writer took every frame.  The fixed temporary files of the working
// directory must not exist yet: the operation would truncate and delete
// them.  The source is read tolerantly, as the reading commands read it.
int RunOperation(const char *name, bool addAudio, const std::vector<std::string> &args, float fps) {
    const std::string command = std::string(name) + ": ";
    if (args.size() != 3)
        return Fail(std::string(name) + " takes SOURCE.mp4 " + (addAudio ? "AUDIO.aac" : "VIDEO.m4v") +
                    " OUT.mp4 (see corvane " + name + " --help)");
    for (const char *temp : {kVideoTempName, kAudioTempName})
        if (PathExists(temp))
            return Fail(command + "'" + temp + "' already exists in the working directory");
    Input stream;
    std::string error = OpenInput(args[1], &stream);
    if (!error.empty()) return Fail(command + error);
    uint64_t media = 0;
    error = CheckSource(args[0], addAudio, &media);
    if (!error.empty()) return Fail(command + error);
    media += uint64_t(std::max<int64_t>(stream.size, 0));
    const bool outputExisted = PathExists(args[2].c_str());
    RemuxReport report{};
    Watcher watcher;
    StartWatching(&watcher, name, args[2], media);
    const int32_t r = addAudio ? AddAudioFromFile(args[0].c_str(), args[1].c_str(), args[2].c_str(),
                                                  &report, kTolerantRead)
                               : AddVideoFromFile(args[0].c_str(), args[1].c_str(), args[2].c_str(),
                                                  fps, &report, kTolerantRead);
    StopWatching(&watcher);
    if (r == kRemuxSampleUnreadable) {
        // Left by the operation: the empty output and the temporary files.
        std::remove(kVideoTempName);
        std::remove(kAudioTempName);
    }
    if ((r == kRemuxSampleUnreadable || (r == kRemuxDone && report.framesRefused > 0)) && !outputExisted)
        std::remove(args[2].c_str());
    if (r != kRemuxDone)
        return Fail(command + ResultText(r, addAudio, args) + " (" + std::to_string(r) + ")");
    if (report.framesRefused > 0)
        return Fail(command + RefusedText(report.framesRefused,
                                          std::string("the temporary files ") + kVideoTempName + " and " +
                                              kAudioTempName + " cannot be " +
                                              (report.tempFileMissing ? "created" : "written") +
                                              " in the working directory"));
    std::fprintf(Out(), "%s written\n", args[2].c_str());
    return 0;
}

// The frame rate of --fps (25 when not given).
std::string FrameRate(const Args &args, float *fps) {
    *fps = 25.0f;
    const std::string text = args.Value("--fps");
    return text.empty() ? "" : ParsePositiveNumber("--fps", text, fps);
}

}  // namespace

int RunMux(const Args &args) {
    if (args.positional.size() != 3)
        return Fail("mux takes VIDEO.m4v AUDIO.aac OUT.mp4 (see corvane mux --help)");
    float fps = 25.0f;
    std::string error = FrameRate(args, &fps);
    if (!error.empty()) return Fail(error);
    const std::vector<std::string> &a = args.positional;
    Input video, audio;
    error = OpenInput(a[0], &video);
    if (error.empty()) error = OpenInput(a[1], &audio);
    if (!error.empty()) return Fail(error);
    VisualHeader header;
    uint8_t adtsHeader[kAdtsHeaderBytes] = {};
    uint32_t sampleRate = 0;
    error = CheckVisual(video, &header);
    if (error.empty()) error = CheckAdts(audio, adtsHeader, &sampleRate);
    if (!error.empty()) return Fail(error);

    const std::string &out = a[2];
    const bool outputExisted = PathExists(out.c_str());
    MP4_local_file *file = nullptr;
    if (MP4FileNew(&file, out.c_str()) != 1)
        return Fail("cannot create '" + out + "'");
    TempFiles temps;
    if (!MakeTempFiles(out, &temps)) {
        AbandonLocalFile(file);
        if (!outputExisted) std::remove(out.c_str());
        return Fail("cannot create temporary files beside '" + out + "'");
    }
    CreateTrack(file, 1, uint16_t(header.width), uint16_t(header.height), 1000, 1000, 0, 0, 0, 0,
                header.carried ? header.size : 0, header.carried ? header.config : nullptr,
                temps.video.c_str(), 1);
    CreateTrack(file, 2, 0, 0, 0, sampleRate, 0, 0, 0, 0, 7, adtsHeader, temps.audio.c_str(), 1);
    CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    MuxCounts counts;
    StartProgress(&counts.progress, "mux", uint64_t(video.size) + uint64_t(audio.size), true);
    AddVideoFrames(file, video, fps, &counts);
    AddAudioFrames(file, audio, &counts);
    EndProgress(&counts.progress);
    MP4FileFlush(file);
    if (counts.refused > 0 && counts.error.empty())
        counts.error = RefusedText(counts.refused, "its temporary files beside '" + out + "' cannot be written");
    if (!counts.error.empty()) {
        temps.Remove();
        if (!outputExisted) std::remove(out.c_str());
        return Fail("mux: " + counts.error);
    }
    std::fprintf(Out(), "%s: %zu video frames, %zu audio frames\n", out.c_str(), counts.video,
                 counts.audio);
    return 0;
}

int RunAddAudio(const Args &args) { return RunOperation("add-audio", true, args.positional, 0.0f); }

int RunAddVideo(const Args &args) {
    float fps = 25.0f;
    const std::string error = FrameRate(args, &fps);
    if (!error.empty()) return Fail(error);
    return RunOperation("add-video", false, args.positional, fps);
}
