// corvane: a command-line tool over the Corvane2 library.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
     "  Prints every box with its offset and size, indented by depth, as the\n"
     "  library's reader finds it.  Without FILE the bundled sample is used.\n"
     "  Boxes the reader does not read (types it does not know, and what they\n"
     "  hold) are shown too, marked \"(not read by the library)\" (\"notRead\"\n"
     "  in JSON).\n"
     "  -v      adds the decoded fields of the boxes the library interprets\n"
     "          (brands, time scales, durations, track ids, entry counts,\n"
     "          sample sizes, picture and audio parameters, descriptors).\n"
     "  --json  [{\"type\", \"offset\", \"size\", \"fields\": {...} (with -v),\n"
     "          \"children\": [...]}, ...].\n"
     "  Bytes after the last box that are not a box are shown as a note; a box\n"
     "  that ends past the end of the file is marked (\"pastEnd\" in JSON).\n"
     "  What the reader leaves out at the top level is also said in one line on\n"
     "  standard error, as by info, samples and extract.",
     {{"-v", nullptr}, {"--json", nullptr}},
     -1,
     RunTree},
    {"info", "list the tracks of an MP4 file and their sample indexes",
     "corvane info [--json] [FILE]\n"
     "  Prints every track the reader finds (id, media type, sample count,\n"
     "  time scale, duration, key-frame count), the decoder configuration of\n"
     "  the video and audio track in hex, and the words of the library's file\n"
     "  summary (GetFileInfo).  Without FILE the bundled sample is used.\n"
     "  A video or audio track the library does not serve (a sample entry other\n"
     "  than mp4v or mp4a, such as H.263 or H.264; samples in the fragments of\n"
     "  a fragmented file) is marked \"(not supported: WHY)\"; when no track is\n"
     "  served the command fails after its listing.\n"
     "  What the reader leaves out at the top level (bytes after the last box,\n"
     "  boxes of types it does not know) is said in one line on standard error.\n"
     "  --json  {\"file\", \"videoTrackId\", \"audioTrackId\", \"fragmented\",\n"
     "          \"tracks\": [{\"id\", \"type\", \"samples\", \"timescale\", \"duration\",\n"
     "          \"keyFrames\", \"sampleEntry\", \"notSupported\"}, ...], \"videoConfig\",\n"
     "          \"audioConfig\", \"fileInfo\": {...}, \"leftOut\": {\"skippedBoxes\",\n"
     "          \"skippedBytes\", \"firstSkipped\", \"trailingOffset\",\n"
     "          \"trailingBytes\"}}; \"notSupported\" is null for a served track.",
     {{"--json", nullptr}},
     -1,
     RunInfo},
    {"samples", "list the samples of a track: time, offset, size, key flag",
     "corvane samples FILE [--track video|audio] [--keyframes] [--json]\n"
     "  Prints one line per sample of the track in decoding order: number,\n"
     "  decoding time (media timescale units), file offset, size and key flag.\n"
     "  --track     the track to list (default: video when present, else audio).\n"
     "  --keyframes only the key frames (every audio sample is one).\n"
     "  --json      {\"packets\": [{\"index\", \"dts\", \"pos\", \"size\", \"key\"}, ...]}.\n"
     "  A track the library does not serve is refused, naming it.  In a file\n"
     "  cut short, the samples before the first that cannot be read are\n"
     "  listed, then the command fails naming that sample.",
     {{"--track", "video|audio"}, {"--keyframes", nullptr}, {"--json", nullptr}},
     -1,
     RunSamples},
    {"extract", "write the samples of a track as a raw elementary stream",
     "corvane extract FILE --track video|audio OUT\n"
     "  video: the MPEG-4 Visual decoder configuration, then every sample, as a\n"
     "         playable .m4v stream.\n"
     "  audio: every AAC frame behind a 7-byte ADTS header, as an .aac stream.\n"
     "  Other codecs (MP3 audio, H.263 or H.264 video) and the fragments of a\n"
     "  fragmented file are refused.  In a file cut short, the samples before\n"
     "  the first that cannot be read are written when OUT is a new file (an\n"
     "  existing OUT is left as it was), and the command fails naming that\n"
     "  sample.  OUT is written as every output of this tool (see\n"
     "  'corvane --help').",
     {{"--track", "video|audio"}},
     1,
     RunExtract},
    {"mux", "write an MP4 file from an MPEG-4 Visual and an ADTS AAC stream",
     "corvane mux VIDEO.m4v AUDIO.aac OUT.mp4 [--fps N] [--force]\n"
     "  Splits both elementary streams into frames as they are read and writes\n"
     "  them as the video and audio tracks of OUT.mp4 (with object-descriptor\n"
     "  and scene tracks).  The frames are spooled to temporary files beside\n"
     "  OUT.mp4, removed at the end whatever happens.\n"
     "  --fps N  video frame rate, a positive number.  Without it, the rate the\n"
     "           stream's header fixes (fixed_vop_rate); else the step between\n"
     "           its first pictures' time stamps, said on standard error; else\n"
     "           25, said as well.\n"
     "  --force  writes a stream with B-frames all the same (refused otherwise:\n"
     "           the file would have no composition offsets).",
     {{"--fps", "a positive number"}, {"--force", nullptr}},
     2,
     RunMux},
    {"add-audio", "join the video of an MP4 file with an ADTS AAC stream",
     "corvane add-audio SOURCE.mp4 AUDIO.aac OUT.mp4\n"
     "  Writes OUT.mp4 with the video track of SOURCE.mp4 (MPEG-4 Visual) and\n"
     "  the frames of AUDIO.aac, by the library's Mp4AddAudio.  That uses the\n"
     "  temporary files tempv.v and tempa.a in the working directory: the\n"
     "  command creates them (and refuses to run when either exists, as when\n"
     "  another add-audio or add-video runs there) and removes them at the end.",
     {},
     2,
     RunAddAudio},
    {"add-video", "join the audio of an MP4 file with an MPEG-4 Visual stream",
     "corvane add-video SOURCE.mp4 VIDEO.m4v OUT.mp4 [--fps N] [--force]\n"
     "  Writes OUT.mp4 with the audio track of SOURCE.mp4 (AAC) and the\n"
     "  pictures of VIDEO.m4v, by the library's Mp4AddVideo, with the\n"
     "  temporary files tempv.v and tempa.a of the working directory as\n"
     "  add-audio.\n"
     "  --fps N  video frame rate, a positive number; without it, as for mux.\n"
     "  --force  writes the file all the same when the source's audio is not\n"
     "           AAC (MP3, say: the new file would call it AAC) or the stream\n"
     "           holds B-frames.",
     {{"--fps", "a positive number"}, {"--force", nullptr}},
     2,
     RunAddVideo},
};

void PrintUsage(FILE *to) {
    std::fprintf(to, "usage: corvane [--debug=FILE] [--quiet] COMMAND [ARGS]\n"
                     "       corvane --version\n\ncommands:\n");
    for (const Command &c : kCommands) std::fprintf(to, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(to,
                 "\noptions of every command:\n"
                 "  --debug=FILE  collect the library's own diagnostics (its standard output\n"
                 "                and its debugger output) in FILE, a new file (an existing\n"
                 "                file is refused; a terminal, FIFO or device is written to),\n"
                 "                kept whatever the command's result\n"
                 "  --quiet       no progress line (shown on a terminal for long work)\n"
                 "\n"
                 "--version prints \"corvane VERSION\" (the library's version, such as 2.0.0).\n"
                 "\n"
                 "Outputs are written under a temporary name in the output's folder\n"
                 "(.NAME.corvane-XXXXXX) and renamed over OUT only when the whole command\n"
                 "succeeded; a device or FIFO is written to at the end instead.  An output\n"
                 "that is the same file as an input is refused.  On a failure or an\n"
                 "interrupt (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ) every temporary file\n"
                 "is removed, OUT is left as it was, and the status is not 0 (128 + the\n"
                 "signal's number for a signal).\n"
                 "\n'corvane COMMAND --help' describes a command.\n");
}

// Keeps the library's diagnostics (standard output and, for the debugger
// output, standard error) apart from the tool's own output and errors: they
// go to the --debug file `debugFd`, or to /dev/null.
bool RedirectLibraryOutput(int debugFd) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    if (savedOut < 0 || savedErr < 0) return false;
    g_out = fdopen(savedOut, "w");
    g_err = fdopen(savedErr, "w");
    if (g_out == nullptr || g_err == nullptr) return false;
    std::setvbuf(g_err, nullptr, _IONBF, 0);
    const int target = debugFd >= 0 ? debugFd : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target < 0) return false;
    dup2(target, STDOUT_FILENO);
    dup2(target, STDERR_FILENO);
    close(target);
    // One line at a time, so that both kinds of diagnostics keep their order
    // in the --debug file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

// The options every command takes, wherever they stand before "--":
// --debug=FILE and --quiet.  An empty string or a message.  The file of
// --debug is only ever given after '=': a word after a bare --debug is not
// taken as a file to write (it may be an input).
std::string TakeGlobalOptions(std::vector<std::string> &words, std::string *debugPath,
                              bool *quiet) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w == "--") {
            rest.insert(rest.end(), words.begin() + long(i), words.end());
            break;
        }
        if (w == "--quiet") {
            *quiet = true;
        } else if (w == "--debug") {
            return "option --debug takes its file after '=': --debug=FILE";
        } else if (w.rfind("--debug=", 0) == 0) {
            *debugPath = w.substr(8);
            if (debugPath->empty()) return "option --debug needs a file: --debug=FILE";
        } else {
            rest.push_back(w);
        }
    }
    words.swap(rest);
    return "";
}

bool WantsHelp(const std::vector<std::string> &words) {
    for (const std::string &w : words) {
        if (w == "--") return false;
        if (w == "--help" || w == "-h") return true;
    }
    return false;
}

// The files a command reads: its positional arguments but the output, or
// the bundled sample when it reads a file and is given none.
std::vector<std::string> InputsOf(const Command &command, const Args &args) {
    std::vector<std::string> inputs;
    for (size_t i = 0; i < args.positional.size(); ++i)
        if (int(i) != command.output) inputs.push_back(args.positional[i]);
    if (inputs.empty() && command.output < 0) inputs.push_back(DefaultSample());
    return inputs;
}

// Nothing a command writes (its output, the --debug file) may be a file it
// reads, nor may the two be one file: checked before anything is opened for
// writing.
std::string SameFileError(const Command &command, const Args &args, const std::string &debugPath) {
    const std::vector<std::string> inputs = InputsOf(command, args);
    const bool hasOutput = command.output >= 0 && size_t(command.output) < args.positional.size();
    const std::string output = hasOutput ? args.positional[size_t(command.output)] : "";
    for (const std::string &input : inputs) {
        if (hasOutput && SameFile(output, input))
            return "the output '" + output + "' is the same file as the input '" + input +
                   "'; nothing was written";
        if (!debugPath.empty() && SameFile(debugPath, input))
            return "the --debug file '" + debugPath + "' is the same file as the input '" + input +
                   "'; nothing was written";
    }
    if (hasOutput && !debugPath.empty() && SameFile(debugPath, output))
        return "the --debug file '" + debugPath + "' is the same file as the output '" + output +
               "'; nothing was written";
    return "";
}

// Standard output is checked as any output: a full disk or a closed pipe
// there fails the command.
int CheckStandardOutput(int status) {
    errno = 0;
    if (std::fflush(Out()) == 0 && !std::ferror(Out())) return status;
    const int error = errno;
    std::fprintf(Err(), "corvane: cannot write standard output: %s\n",
                 error != 0 ? std::strerror(error) : "a write failed");
    return status == 0 ? 1 : status;
}

}  // namespace

FILE *Out() { return g_out; }
FILE *Err() { return g_err; }

int Fail(const std::string &message) {
    Warn(message);
    return 1;
}

void Warn(const std::string &message) {
    std::fflush(Out());
    std::fprintf(Err(), "corvane: %s\n", message.c_str());
}

std::string DefaultSample() {
    if (access(CORVANE_SAMPLE, R_OK) == 0) return CORVANE_SAMPLE;
    return "tests/data/av.mp4";
}

int main(int argc, char **argv) {
    InstallSignalCleanup();
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string debugPath;
    bool quiet = false;
    const std::string globalError = TakeGlobalOptions(words, &debugPath, &quiet);
    if (!globalError.empty()) return Fail(globalError);
    SetQuiet(quiet);
    if (words.size() == 1 && words[0] == "--version") {
        std::printf("corvane %s\n", CORVANE2_VERSION_STRING);
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write standard output: " + std::string(std::strerror(errno)));
    }
    if (words.empty() || words[0] == "--help" || words[0] == "-h") {
        PrintUsage(words.empty() ? stderr : stdout);
        return words.empty() ? 2 : 0;
    }
    const Command *command = nullptr;
    for (const Command &c : kCommands)
        if (words[0] == c.name) command = &c;
    if (command == nullptr) return Fail("unknown command '" + words[0] + "' (see corvane --help)");
    words.erase(words.begin());
    if (WantsHelp(words)) {
        std::printf("usage: %s\n", command->usage);
        return 0;
    }
    Args args;
    std::string error = ParseArgs(command->name, command->options, words, &args);
    if (error.empty()) error = SameFileError(*command, args, debugPath);
    if (!error.empty()) return Fail(error);
    int debugFd = -1;
    if (!debugPath.empty() && (debugFd = OpenDebugLog(debugPath, &error)) < 0) return Fail(error);
    if (!RedirectLibraryOutput(debugFd)) return Fail("cannot set up output: " + std::string(std::strerror(errno)));
    const int status = command->run(args);
    std::fflush(stdout);
    return CheckStandardOutput(status);
}
