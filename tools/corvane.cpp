// corvane: a command-line tool over the Corvane2 library.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/platform.h"

#ifndef CORVANE_SAMPLE
#define CORVANE_SAMPLE "tests/data/av.mp4"
#endif

namespace {

FILE *g_out = stdout;
FILE *g_err = stderr;

const Command kCommands[] = {
    {"tree", "print the atom tree of an MP4 file",
     "corvane tree [-v] [--json] [FILE]\n"
     "  Prints every atom with its offset and size, indented by depth.\n"
     "  Without FILE the bundled sample is used.",
     RunTree},
    {"info", "list the tracks of an MP4 file and their sample indexes",
     "corvane info [--json] [FILE]\n"
     "  Prints every track found: id, media type, sample count, timescale,\n"
     "  duration and key-frame count.  Without FILE the bundled sample is used.",
     RunInfo},
    {"samples", "list the samples of a track: time, offset, size, key flag",
     "corvane samples FILE [--track video|audio] [--keyframes] [--json]\n"
     "  Prints one line per sample of the track in decoding order: number,\n"
     "  decoding time (media timescale units), file offset, size and key flag.\n"
     "  --track     the track to list (default: video when present, else audio).\n"
     "  --keyframes only the key frames (every audio sample is one).\n"
     "  --json      {\"packets\": [{\"index\", \"dts\", \"pos\", \"size\", \"key\"}, ...]}.",
     RunSamples},
    {"extract", "write the samples of a track as a raw elementary stream",
     "corvane extract FILE --track video|audio OUT\n"
     "  video: the MPEG-4 Visual decoder configuration, then every sample, as a\n"
     "         playable .m4v stream.\n"
     "  audio: every AAC frame behind a 7-byte ADTS header, as an .aac stream.\n"
     "  Other codecs (MP3 audio, H.263 video) are refused.",
     RunExtract},
    {"mux", "write an MP4 file from an MPEG-4 Visual and an ADTS AAC stream",
     "corvane mux VIDEO.m4v AUDIO.aac OUT.mp4 [--fps N]\n"
     "  Splits both elementary streams into frames and writes them as the video\n"
     "  and audio tracks of OUT.mp4 (with object-descriptor and scene tracks).\n"
     "  --fps N  video frame rate (default 25).",
     RunMux},
    {"add-audio", "join the video of an MP4 file with an ADTS AAC stream",
     "corvane add-audio SOURCE.mp4 AUDIO.aac OUT.mp4\n"
     "  Writes OUT.mp4 with the video track of SOURCE.mp4 and the frames of\n"
     "  AUDIO.aac.  Uses the temporary files tempv.v and tempa.a in the\n"
     "  working directory, and refuses to run when either already exists.",
     RunAddAudio},
    {"add-video", "join the audio of an MP4 file with an MPEG-4 Visual stream",
     "corvane add-video SOURCE.mp4 VIDEO.m4v OUT.mp4 [--fps N]\n"
     "  Writes OUT.mp4 with the audio track of SOURCE.mp4 and the pictures of\n"
     "  VIDEO.m4v at N frames per second (default 25).  Uses the temporary\n"
     "  files tempv.v and tempa.a in the working directory, and refuses to run\n"
     "  when either already exists.",
     RunAddVideo},
};

void PrintUsage(FILE *to) {
    std::fprintf(to, "usage: corvane [--debug FILE] COMMAND [ARGS]\n\ncommands:\n");
    for (const Command &c : kCommands) std::fprintf(to, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(to, "\n'corvane COMMAND --help' describes a command.\n");
}

// Keeps the library's diagnostics (standard output and, for the debugger
// output, standard error) apart from the tool's own output and errors.  The
// --debug file is opened without waiting (a FIFO without a reader is
// refused) and never as a directory.
bool RedirectLibraryOutput(const char *debugPath) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    if (savedOut < 0 || savedErr < 0) return false;
    g_out = fdopen(savedOut, "w");
    g_err = fdopen(savedErr, "w");
    if (g_out == nullptr || g_err == nullptr) return false;
    std::setvbuf(g_err, nullptr, _IONBF, 0);
    FILE *target = OpenFileForWriting(debugPath ? debugPath : "/dev/null");
    if (target == nullptr) return false;
    dup2(fileno(target), STDOUT_FILENO);
    dup2(fileno(target), STDERR_FILENO);
    std::fclose(target);
    // One line at a time, so that both kinds of diagnostics keep their order
    // in the --debug file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

}  // namespace

FILE *Out() { return g_out; }
FILE *Err() { return g_err; }

int Fail(const std::string &message) {
    std::fflush(Out());
    std::fprintf(Err(), "corvane: %s\n", message.c_str());
    return 1;
}

std::string DefaultSample() {
    if (access(CORVANE_SAMPLE, R_OK) == 0) return CORVANE_SAMPLE;
    return "tests/data/av.mp4";
}

MP4_read_file *OpenForReading(const std::string &path) {
    MP4_read_file *handle = nullptr;
    if (MP4FileOpen(&handle, path.c_str()) == 1) return handle;
    CloseForReading(handle);
    return nullptr;
}

void CloseForReading(MP4_read_file *handle) {
    if (handle == nullptr) return;
    MP4FileClose(&handle);
    std::free(handle);
}

int32_t ChooseTrack(const MP4_read_file *handle, const std::string &kind,
                    const std::string &path, std::string *error) {
    if (kind != "" && kind != "video" && kind != "audio") {
        *error = "--track must be video or audio, not '" + kind + "'";
        return 0;
    }
    const int32_t id = kind == "audio" ? handle->audioTrackId
                       : kind == "video" || handle->videoTrackId != 0 ? handle->videoTrackId
                                                                       : handle->audioTrackId;
    if (id <= 0 || id >= MP4_READ_TRACK_SLOTS || handle->tracks[id] == nullptr) {
        *error = "'" + path + "' has no " + (kind.empty() ? "video or audio" : kind) + " track";
        return 0;
    }
    return id;
}

bool TakeFlag(std::vector<std::string> &args, const std::string &flag) {
    for (auto it = args.begin(); it != args.end(); ++it)
        if (*it == flag) {
            args.erase(it);
            return true;
        }
    return false;
}

bool TakeOption(std::vector<std::string> &args, const std::string &option, std::string *value) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) {
            *value = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            return true;
        }
    return false;
}

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string debugPath;
    const bool debug = TakeOption(args, "--debug", &debugPath);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        PrintUsage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const Command *command = nullptr;
    for (const Command &c : kCommands)
        if (args[0] == c.name) command = &c;
    if (command == nullptr) return Fail("unknown command '" + args[0] + "' (see corvane --help)");
    args.erase(args.begin());
    if (TakeFlag(args, "--help") || TakeFlag(args, "-h")) {
        std::printf("usage: %s\n", command->usage);
        return 0;
    }
    if (!RedirectLibraryOutput(debug ? debugPath.c_str() : nullptr))
        return Fail(debug ? "cannot create '" + debugPath + "'" : "cannot set up output");
    const int status = command->run(args);
    std::fflush(Out());
    std::fflush(stdout);
    return status;
}
