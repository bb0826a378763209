// corvane mux, add-audio, add-video: writing MP4 files from elementary streams.
//
// The streams are read in bounded pieces (MPEG-4 Visual) or frame by frame
// (ADTS) and every frame goes to the writer as soon as it is found, so the
// memory used does not grow with the inputs: it is the writer's tables and
// a fixed buffer.
//
// The new file is written under a temporary name beside the output (see
// files.cpp) and read back before it is renamed over the output: the
// library's writes are not checked, but it writes its files front to back,
// so a write that failed leaves the file shorter than its own boxes say.
// A command that fails leaves nothing behind that it created, and changes
// nothing that was there before.
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
#include "read/config.h"
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

// The profile_and_level_indication the track states when the stream has no
// visual object sequence header (it begins with a video object): Simple
// Profile at Level 1, the visual profile the writer's iods names for every
// file.  The writer puts a sequence header before a video object, and the
// track's profile in it, so some profile is written either way.
constexpr uint8_t kNoSequenceProfileLevel = 0x01;

// The MPEG-4 Visual stream: its header (the decoder configuration when it
// fits a track), its profile, its picture size, and what its first pictures
// say (at least one picture, their rate, B-frames).
struct VisualHeader {
    uint32_t size = 0, width = 0, height = 0;
    uint8_t config[kMaxDecoderConfigBytes] = {};
    bool carried = false;  // the configuration fits the track
    uint8_t profileLevel = kNoSequenceProfileLevel;
    VisualSurvey survey;
};

// The header's first bytes (all of it when it fits the track), and the
// stream's own profile_and_level_indication, the byte after the sequence
// start code 00 00 01 B0.  The writer replaces that byte of a configuration
// by the profile the track is created with, so the track must be given the
// stream's own.
std::string CheckVisual(const Input &in, VisualHeader *h) {
    const int32_t headerSize = GetM4vHeaderSize(in.path.c_str(), &h->width, &h->height);
    if (headerSize <= 0) return "'" + in.path + "' is not an MPEG-4 Visual stream";
    if (TooLarge(in)) return "'" + in.path + "' is too large (2 GiB or more)";
    h->size = uint32_t(headerSize);
    const uint32_t head = std::min<uint32_t>(h->size, kMaxDecoderConfigBytes);
    const bool read = std::fread(h->config, 1, head, in.file) == head;
    h->carried = read && h->size <= kMaxDecoderConfigBytes;
    const uint8_t *c = h->config;
    if (read && head >= 5 && c[0] == 0 && c[1] == 0 && c[2] == 1 && c[3] == 0xB0) h->profileLevel = c[4];
    const std::string error = SurveyVisual(in.file, uint64_t(in.size), &h->survey);
    if (!error.empty()) return "'" + in.path + "' " + error;
    if (h->survey.frames == 0) return "'" + in.path + "' holds no pictures";
    return "";
}

// The first B-plane of the whole stream, read in pieces; -1 when it has
// none.  The stream is left at its start.
int64_t FirstBPlane(const Input &in) {
    VisualScan scan{};
    int64_t first = -1;
    if (SetStreamPosition(in.file, 0) && StartVisualScan(&scan, in.file, uint64_t(in.size))) {
        const uint8_t *bytes = nullptr;
        uint32_t size = 0;
        int32_t key = 0;
        for (int64_t k = 0; first < 0 && NextVisualFrame(&scan, &bytes, &size, &key) == 1; ++k)
            if (PlaneCodingType(bytes, size) == kPlaneB) first = k;
    }
    EndVisualScan(&scan);
    SetStreamPosition(in.file, 0);
    return first;
}

// The frame rate: --fps when given, else what the stream says, with a
// `note` (said when the command succeeds) when that is a guess.
std::string FrameRate(const Args &args, const std::string &command, const std::string &path,
                      const VisualSurvey &survey, float *fps, std::string *note) {
    const std::string text = args.Value("--fps");
    if (!text.empty()) return ParsePositiveNumber("--fps", text, fps);
    *note = ChooseFrameRate(command, path, survey, fps);
    return "";
}

// A stream with B-frames is refused unless --force; `first` is the first
// B-plane (-1: none).  An empty string, or the refusal.
std::string BFrames(const Args &args, const std::string &command, const std::string &path, int64_t first) {
    if (first < 0) return "";
    if (!args.Has("--force")) return BFramesText(command, path, uint32_t(first), false);
    Warn(BFramesText(command, path, uint32_t(first), true));
    return "";
}

// The spool files of mux's two tracks, beside the staged output (and named
// after it), made by this command and removed at its end.
struct Spools {
    std::string video, audio;
    int videoSlot = -1, audioSlot = -1;
    ~Spools() {
        if (!video.empty()) RemoveTemporary(video, &videoSlot);
        if (!audio.empty()) RemoveTemporary(audio, &audioSlot);
    }
};

bool MakeSpools(const OutputFile &out, Spools *s) {
    return MakeTemporary(out.staging + ".video-XXXXXX", &s->video, &s->videoSlot) &&
           MakeTemporary(out.staging + ".audio-XXXXXX", &s->audio, &s->audioSlot);
}

struct MuxCounts {
    size_t video = 0, audio = 0, refused = 0;
    int refusedError = 0;  // errno after the first refused frame
    int64_t firstB = -1;   // a B-plane found while writing
    std::string error;
    Progress progress;
    uint64_t videoBytes = 0;  // bytes of the video stream read
};

void Refused(MuxCounts *c) {
    if (c->refused++ == 0) c->refusedError = errno;
}

void AddVideoFrames(MP4_local_file *file, const Input &in, float fps, bool force, MuxCounts *c) {
    VisualScan scan{};
    if (!StartVisualScan(&scan, in.file, uint64_t(in.size))) {
        c->error = "'" + in.path + "': out of memory";
        return;
    }
    const uint8_t *bytes = nullptr;
    uint32_t size = 0;
    int32_t key = 0, got = 0;
    while ((got = NextVisualFrame(&scan, &bytes, &size, &key)) == 1) {
        // B-planes past the ones looked at before writing.
        if (!force && PlaneCodingType(bytes, size) == kPlaneB) {
            c->firstB = int64_t(c->video);
            break;
        }
        // A plane too short to tell its coding type is not taken as intra.
        const int32_t intra = size > 4 && (bytes[4] & 0xC0) == 0 ? 1 : 0;
        errno = 0;
        if (AddVideoFrame(file, size, bytes, VisualFrameTime(uint32_t(c->video), fps), intra) != 1) Refused(c);
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
        errno = 0;
        if (AddAudioFrame(file, frame.length - frame.header, frame.bytes + frame.header,
                          uint32_t(c->audio * kAacFrameSamples)) != 1)
            Refused(c);
        ++c->audio;
        ShowProgress(&c->progress, c->videoBytes + size - left);
    }
    if (got < 0 && c->error.empty())
        c->error = "'" + in.path + "' is not an ADTS AAC stream: the bytes at offset " +
                   std::to_string(size - left) + " are not an ADTS frame";
}

// How many frames the writer refused, and why: its temporary files could not
// be created, or could not take the bytes.
std::string RefusedText(size_t refused, const std::string &why, int error) {
    return std::to_string(refused) + " frame(s) refused by the writer: " + why +
           (error != 0 ? std::string(": ") + std::strerror(error) : "");
}

// The bytes of a track's samples, stored or computed entries alike.
uint64_t TrackBytes(const ReadTrack *track) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < track->sampleCount; ++i) bytes += SampleAt(track, i).size;
    return bytes;
}

// The file the library wrote, read back: ftyp, moov and mdat, mdat holding
// exactly the bytes of the samples that the moov indexes (`samples` of
// them), and after it the object-descriptor and scene units.  The library's
// writes go one after another without seeking back, so a write that failed
// leaves the file shorter than these boxes say: the size they give is what
// the file must hold.  An empty string with that size, or what is wrong.
std::string WrittenSize(const std::string &path, uint64_t samples, uint64_t *expected) {
    MP4_read_file *handle = nullptr;
    LeftOut leftOut{};
    const bool opened = OpenMp4File(&handle, path.c_str(), kTolerantRead, &leftOut) == 1;
    std::string problem;
    const AtomNode *mdat = opened ? FindTopLevelAtom(handle->root, "mdat") : nullptr;
    if (!opened || FindTopLevelAtom(handle->root, "ftyp") == nullptr ||
        FindTopLevelAtom(handle->root, "moov") == nullptr || mdat == nullptr) {
        problem = "the file written cannot be read back whole";
    } else {
        uint64_t bytes = 0, count = 0;
        for (const int32_t id : {handle->videoTrackId, handle->audioTrackId}) {
            const ReadTrack *track = id > 0 && id < MP4_READ_TRACK_SLOTS ? handle->tracks[id] : nullptr;
            if (track != nullptr) bytes += TrackBytes(track);
            count += track != nullptr ? track->sampleCount : 0;
        }
        const AccessUnit od = ObjectDescriptorUnit(true, true), scene = SceneUnit(true, true);
        *expected = uint64_t(mdat->offset) + mdat->size + od.size + scene.size;
        if (count != samples)
            problem = "the file written indexes " + std::to_string(count) + " samples, not " + std::to_string(samples);
        else if (mdat->size != bytes + 8)
            problem = "the file written holds " + std::to_string(mdat->size) + " bytes of media data, not " +
                      std::to_string(bytes + 8);
    }
    MP4FileClose(&handle);
    std::free(handle);
    return problem;
}

// What the operation's result means, with the names of its inputs.
std::string ResultText(int32_t r, bool addAudio, const std::vector<std::string> &a, int error) {
    const std::string stream = "'" + a[1] + "'";
    switch (r) {
        case -1: return "cannot open " + stream;
        case -11: return "the library cannot open '" + a[0] + "'";
        case -12:
            return std::string("the ") + (addAudio ? "video" : "audio") + " track of '" + a[0] +
                   "' has no usable " + (addAudio ? "MPEG-4 Visual" : "AAC") + " decoder configuration";
        case -21: return "a sample of the source '" + a[0] + "' cannot be read";
        case -31:
            return stream + (addAudio ? " is not a usable ADTS AAC stream (or is cut short)"
                                      : " is not a usable MPEG-4 Visual stream (or its header is over 52 bytes)");
        case -32: return "the frame rate gives no frame times";
        case -41:
            return "the library cannot create the new file for '" + a[2] + "' or its temporary files " +
                   kVideoTempName + " and " + kAudioTempName +
                   (error != 0 ? std::string(": ") + std::strerror(error) : "");
        default: return "failed";
    }
}

// The source as the tool reads it: what its open left out is said, and a
// source without the track the operation copies, or whose track the
// library does not serve (or serves only in part: a fragmented file), is
// refused with the reason.  add-video's source
// must hold AAC (unless --force).  A source cut short after its moov is
// left to the operation, which says which sample cannot be read (-21).
// The bytes and the number of that track's samples, for the progress line
// and the check of the new file.
std::string CheckSource(const std::string &command, const std::string &path, bool video, bool force,
                        uint64_t *trackBytes, uint32_t *trackSamples) {
    Mp4Input input;
    std::string error = OpenMp4(path, &input, false);
    if (!error.empty()) return error;
    const int32_t id = ChooseTrack(input, video ? "video" : "audio", path, &error);
    if (id == 0) return error;
    // Samples in fragments would be missing from the new file (ffmpeg's
    // +frag_keyframe keeps only the first in the moov).
    if (input.fragments > 0 || input.movieExtends)
        return "'" + path + "' is fragmented: the new file would lack the samples of its fragments, which the "
               "library does not read";
    const ReadTrack *track = input.handle->tracks[id];
    *trackSamples = track->sampleCount;
    *trackBytes = TrackBytes(track);
    if (video) return "";
    uint8_t esds[256] = {}, config[kEsdsRecordBytes] = {};
    uint32_t esdsSize = 0, length = 0, maxRate, avgRate, channels, frequency, objectType;
    if (GetM4aEsdsData(input.handle, esds, &esdsSize) == 1 &&
        ParseAudioEsds(esds, EsdsBytesHeld(esdsSize), config, &length, &maxRate, &avgRate, &channels,
                       &frequency, &objectType) != 1) {
        const std::string what = command + ": the audio track of '" + path +
                                 "' holds MPEG-1/2 audio (MP3), not AAC";
        if (!force)
            return what + ": the new file would describe it as AAC and players could not decode it; "
                          "--force writes it all the same";
        Warn(what + "; written as AAC all the same, as --force asks");
    }
    return "";
}

uint64_t SizeOf(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

// The progress of an operation that runs inside the library: the media are
// spooled to the temporary files, then copied into the output, so the bytes
// done are what those files hold, of twice the media.  Watched from a thread
// of its own while the operation runs (started with the signals held, so
// that they go to the main thread).
struct Watcher {
    std::atomic<bool> stop{false};
    std::thread thread;
};

void StartWatching(Watcher *w, const char *what, const std::string &output, uint64_t media) {
    if (!ProgressWanted()) return;
    SignalsHeld held;
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

// The fixed temporary files of the library's operations, made by this
// command before the operation runs (so that they are known to be its own),
// and removed at its end.
struct FixedTemps {
    int videoSlot = -1, audioSlot = -1;
    bool made = false;
    ~FixedTemps() {
        if (!made) return;
        RemoveTemporary(kVideoTempName, &videoSlot);
        RemoveTemporary(kAudioTempName, &audioSlot);
    }
};

std::string StaleText(const std::string &command, const char *temp) {
    return command + "'" + temp + "' in the working directory is left from an earlier add-audio or " +
           "add-video that was stopped (or belongs to one running here now); when none is running, " +
           "remove it ('rm " + kVideoTempName + " " + kAudioTempName + "') and run the command again";
}

std::string MakeFixedTemps(const std::string &command, FixedTemps *t) {
    for (const char *temp : {kVideoTempName, kAudioTempName}) {
        int *slot = temp == kVideoTempName ? &t->videoSlot : &t->audioSlot;
        if (CreateNewFile(temp, slot)) continue;
        const int error = errno;
        if (temp == kAudioTempName) RemoveTemporary(kVideoTempName, &t->videoSlot);
        if (error == EEXIST) return StaleText(command, temp);
        return command + "cannot create '" + temp + "' in the working directory: " + std::strerror(error);
    }
    t->made = true;
    return "";
}

// add-audio and add-video: the library's operation, writing into the
// staged output, then a check that the writer took every frame and that the
// file holds what it indexes.  The source is read tolerantly, as the
// reading commands read it.
int RunOperation(const char *name, bool addAudio, const Args &options) {
    const std::vector<std::string> &args = options.positional;
    const std::string command = std::string(name) + ": ";
    if (args.size() != 3)
        return Fail(std::string(name) + " takes SOURCE.mp4 " + (addAudio ? "AUDIO.aac" : "VIDEO.m4v") +
                    " OUT.mp4 (see corvane " + name + " --help)");
    for (const char *temp : {kVideoTempName, kAudioTempName})
        if (PathExists(temp)) return Fail(StaleText(command, temp));
    Input stream;
    std::string error = OpenInput(args[1], &stream);
    if (!error.empty()) return Fail(command + error);
    uint64_t media = 0;
    uint32_t sourceSamples = 0;
    error = CheckSource(name, args[0], addAudio, options.Has("--force"), &media, &sourceSamples);
    if (!error.empty()) return Fail(error.rfind(command, 0) == 0 ? error : command + error);
    media += uint64_t(std::max<int64_t>(stream.size, 0));
    float fps = 25.0f;
    std::string rateNote;
    uint32_t width = 0, height = 0;
    // The stream's own checks are the library's (-31); what a stream it
    // takes says of its rate and B-frames is the tool's.
    if (!addAudio && GetM4vHeaderSize(args[1].c_str(), &width, &height) > 0 && stream.size > 0 &&
        !TooLarge(stream)) {
        VisualSurvey survey;
        error = SurveyVisual(stream.file, uint64_t(stream.size), &survey);
        if (error.empty())
            error = BFrames(options, name, args[1], survey.firstB >= 0 ? survey.firstB : FirstBPlane(stream));
        else
            error = "'" + args[1] + "' " + error;
        if (error.empty()) error = FrameRate(options, name, args[1], survey, &fps, &rateNote);
        if (!error.empty()) return Fail(error);
    } else if (!addAudio && !options.Value("--fps").empty()) {
        error = ParsePositiveNumber("--fps", options.Value("--fps"), &fps);
        if (!error.empty()) return Fail(error);
    }
    OutputFile output;
    error = PrepareOutput(args[2], kMaxLibraryPath, &output);
    if (!error.empty()) return Fail(command + error);
    FixedTemps temps;
    error = MakeFixedTemps(command, &temps);
    if (!error.empty()) {
        DiscardOutput(&output);
        return Fail(error);
    }
    RemuxReport report{};
    Watcher watcher;
    StartWatching(&watcher, name, output.staging, media);
    errno = 0;
    const int32_t r = addAudio ? AddAudioFromFile(args[0].c_str(), args[1].c_str(), output.staging.c_str(),
                                                  &report, kTolerantRead)
                               : AddVideoFromFile(args[0].c_str(), args[1].c_str(), output.staging.c_str(),
                                                  fps, &report, kTolerantRead);
    const int operationError = errno;
    StopWatching(&watcher);
    if (r != kRemuxDone) {
        DiscardOutput(&output);
        return Fail(command + ResultText(r, addAudio, args, operationError) + " (" + std::to_string(r) + ")");
    }
    if (report.framesRefused > 0) {
        DiscardOutput(&output);
        return Fail(command + RefusedText(report.framesRefused,
                                          std::string("the temporary files ") + kVideoTempName + " and " +
                                              kAudioTempName + " cannot be " +
                                              (report.tempFileMissing ? "created" : "written") +
                                              " in the working directory",
                                          0));
    }
    uint64_t expected = 0;
    const std::string problem = WrittenSize(output.staging, report.framesAdded, &expected);
    error = CommitOutput(&output, expected, problem);
    if (!error.empty()) return Fail(command + error);
    if (!rateNote.empty()) Warn(rateNote);
    std::fprintf(Out(), "%s written\n", args[2].c_str());
    return 0;
}

}  // namespace

int RunMux(const Args &args) {
    if (args.positional.size() != 3)
        return Fail("mux takes VIDEO.m4v AUDIO.aac OUT.mp4 (see corvane mux --help)");
    float fps = 25.0f;
    std::string error = args.Value("--fps").empty() ? "" : ParsePositiveNumber("--fps", args.Value("--fps"), &fps);
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
    if (error.empty()) error = BFrames(args, "mux", a[0], header.survey.firstB);
    std::string rateNote;
    if (error.empty()) error = FrameRate(args, "mux", a[0], header.survey, &fps, &rateNote);
    if (!error.empty()) return Fail(error);

    const std::string &out = a[2];
    OutputFile output;
    error = PrepareOutput(out, kMaxLibraryPath, &output);
    if (!error.empty()) return Fail(error);
    Spools spools;
    if (!MakeSpools(output, &spools)) {
        error = "cannot create temporary files beside '" + out + "': " + std::strerror(errno);
        DiscardOutput(&output);
        return Fail(error);
    }
    MP4_local_file *file = nullptr;
    if (MP4FileNew(&file, output.staging.c_str()) != 1) {
        error = "cannot write '" + out + "': " + std::strerror(errno);
        DiscardOutput(&output);
        return Fail(error);
    }
    CreateTrack(file, 1, uint16_t(header.width), uint16_t(header.height), 1000, 1000, header.profileLevel, 0, 0,
                0, header.carried ? header.size : 0, header.carried ? header.config : nullptr,
                spools.video.c_str(), 1);
    // The AudioSpecificConfig of the first ADTS header, given as the
    // configuration itself: handed the ADTS header, the writer takes its
    // fields only when its third byte is not 0, and AAC Main at 96000 Hz with
    // 0 to 3 channels has a third byte of 0 (the writer would then take the
    // sync word FF F1 for the configuration).
    const uint16_t asc = AudioSpecificConfigOfAdts(adtsHeader);
    const uint8_t aac[2] = {uint8_t(asc >> 8), uint8_t(asc)};
    CreateTrack(file, 2, 0, 0, 0, sampleRate, 0, 0, 0, 0, sizeof aac, aac, spools.audio.c_str(), 1);
    CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    MuxCounts counts;
    StartProgress(&counts.progress, "mux", uint64_t(video.size) + uint64_t(audio.size), true);
    AddVideoFrames(file, video, fps, args.Has("--force"), &counts);
    if (counts.firstB < 0) AddAudioFrames(file, audio, &counts);
    EndProgress(&counts.progress);
    if (!counts.error.empty())
        error = "mux: " + counts.error;
    else if (counts.firstB >= 0)
        error = BFramesText("mux", a[0], uint32_t(counts.firstB), false);
    else if (counts.refused > 0)
        error = "mux: " + RefusedText(counts.refused, "its temporary files beside '" + out + "' cannot be written",
                                      counts.refusedError);
    if (!error.empty()) {
        AbandonLocalFile(file);
        DiscardOutput(&output);
        return Fail(error);
    }
    MP4FileFlush(file);
    uint64_t expected = 0;
    const std::string problem = WrittenSize(output.staging, counts.video + counts.audio, &expected);
    error = CommitOutput(&output, expected, problem);
    if (!error.empty()) return Fail("mux: " + error);
    if (!rateNote.empty()) Warn(rateNote);
    std::fprintf(Out(), "%s: %zu video frames, %zu audio frames\n", out.c_str(), counts.video,
                 counts.audio);
    return 0;
}

int RunAddAudio(const Args &args) { return RunOperation("add-audio", true, args); }

// A bad --fps is said before the files are looked at, as by mux.
int RunAddVideo(const Args &args) {
    const std::string text = args.Value("--fps");
    float fps = 0;
    if (!text.empty()) {
        const std::string error = ParsePositiveNumber("--fps", text, &fps);
        if (!error.empty()) return Fail(error);
    }
    return RunOperation("add-video", false, args);
}
