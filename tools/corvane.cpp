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
     "  Prints every box with its offset and size, indented by depth, as the\n"
     "  library's reader finds it.  Without FILE the bundled sample is used.\n"
     "  -v      adds the decoded fields of the boxes the library interprets\n"
     "          (brands, time scales, durations, track ids, entry counts,\n"
     "          sample sizes, picture and audio parameters, descriptors).\n"
     "  --json  [{\"type\", \"offset\", \"size\", \"children\": [...]}, ...].\n"
     "  Bytes after the last box that are not a box are shown as a note; a box\n"
     "  that ends past the end of the file is marked (\"pastEnd\" in JSON).\n"
     "  Boxes of top-level types the reader does not know, and bytes after the\n"
     "  last box (as this tool writes files), are left out and said in one line\n"
     "  on standard error, as by info, samples and extract.",
     {{"-v", nullptr}, {"--json", nullptr}},
     RunTree},
    {"info", "list the tracks of an MP4 file and their sample indexes",
     "corvane info [--json] [FILE]\n"
     "  Prints every track the reader finds (id, media type, sample count,\n"
     "  time scale, duration, key-frame count), the decoder configuration of\n"
     "  the video and audio track in hex, and the words of the library's file\n"
     "  summary (GetFileInfo).  Without FILE the bundled sample is used.\n"
     "  What the reader leaves out at the top level (bytes after the last box,\n"
     "  boxes of types it does not know) is said in one line on standard error.\n"
     "  --json  {\"file\", \"videoTrackId\", \"audioTrackId\", \"tracks\": [{\"id\",\n"
     "          \"type\", \"samples\", \"timescale\", \"duration\", \"keyFrames\"}, ...],\n"
     "          \"videoConfig\", \"audioConfig\", \"fileInfo\": {...}, \"leftOut\":\n"
     "          {\"skippedBoxes\", \"skippedBytes\", \"firstSkipped\", \"trailingOffset\",\n"
     "          \"trailingBytes\"}}: what the reader passed over at the top level.",
     {{"--json", nullptr}},
     RunInfo},
    {"samples", "list the samples of a track: time, offset, size, key flag",
     "corvane samples FILE [--track video|audio] [--keyframes] [--json]\n"
     "  Prints one line per sample of the track in decoding order: number,\n"
     "  decoding time (media timescale units), file offset, size and key flag.\n"
     "  --track     the track to list (default: video when present, else audio).\n"
     "  --keyframes only the key frames (every audio sample is one).\n"
     "  --json      {\"packets\": [{\"index\", \"dts\", \"pos\", \"size\", \"key\"}, ...]}.",
     {{"--track", "video|audio"}, {"--keyframes", nullptr}, {"--json", nullptr}},
     RunSamples},
    {"extract", "write the samples of a track as a raw elementary stream",
     "corvane extract FILE --track video|audio OUT\n"
     "  video: the MPEG-4 Visual decoder configuration, then every sample, as a\n"
     "         playable .m4v stream.\n"
     "  audio: every AAC frame behind a 7-byte ADTS header, as an .aac stream.\n"
     "  Other codecs (MP3 audio, H.263 video) are refused.",
     {{"--track", "video|audio"}},
     RunExtract},
    {"mux", "write an MP4 file from an MPEG-4 Visual and an ADTS AAC stream",
     "corvane mux VIDEO.m4v AUDIO.aac OUT.mp4 [--fps N]\n"
     "  Splits both elementary streams into frames as they are read and writes\n"
     "  them as the video and audio tracks of OUT.mp4 (with object-descriptor\n"
     "  and scene tracks).  Temporary files are made beside OUT.mp4.\n"
     "  --fps N  video frame rate, a positive number (default 25).",
     {{"--fps", "a positive number"}},
     RunMux},
    {"add-audio", "join the video of an MP4 file with an ADTS AAC stream",
     "corvane add-audio SOURCE.mp4 AUDIO.aac OUT.mp4\n"
     "  Writes OUT.mp4 with the video track of SOURCE.mp4 and the frames of\n"
     "  AUDIO.aac.  Uses the temporary files tempv.v and tempa.a in the\n"
     "  working directory, and refuses to run when either already exists.",
     {},
     RunAddAudio},
    {"add-video", "join the audio of an MP4 file with an MPEG-4 Visual stream",
     "corvane add-video SOURCE.mp4 VIDEO.m4v OUT.mp4 [--fps N]\n"
     "  Writes OUT.mp4 with the audio track of SOURCE.mp4 and the pictures of\n"
     "  VIDEO.m4v at N frames per second (a positive number, default 25).  Uses\n"
     "  the temporary files tempv.v and tempa.a in the working directory, and\n"
     "  refuses to run when either already exists.",
     {{"--fps", "a positive number"}},
     RunAddVideo},
};

void PrintUsage(FILE *to) {
    std::fprintf(to, "usage: corvane [--debug FILE] [--quiet] COMMAND [ARGS]\n\ncommands:\n");
    for (const Command &c : kCommands) std::fprintf(to, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(to,
                 "\noptions of every command:\n"
                 "  --debug FILE  collect the library's own diagnostics (its standard output\n"
                 "                and its debugger output) in FILE instead of discarding them\n"
                 "  --quiet       no progress line (shown on a terminal for long work)\n"
                 "\n'corvane COMMAND --help' describes a command.\n");
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

// The options every command takes, wherever they stand before "--":
// --debug FILE and --quiet.  An empty string or a message.
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
            if (i + 1 == words.size() || words[i + 1].empty())
                return "option --debug needs a value (FILE)";
            *debugPath = words[++i];
        } else if (w.rfind("--debug=", 0) == 0) {
            *debugPath = w.substr(8);
            if (debugPath->empty()) return "option --debug needs a value (FILE)";
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
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string debugPath;
    bool quiet = false;
    const std::string globalError = TakeGlobalOptions(words, &debugPath, &quiet);
    if (!globalError.empty()) return Fail(globalError);
    SetQuiet(quiet);
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
    const std::string error = ParseArgs(command->name, command->options, words, &args);
    if (!error.empty()) return Fail(error);
    if (!RedirectLibraryOutput(debugPath.empty() ? nullptr : debugPath.c_str()))
        return Fail(debugPath.empty() ? "cannot set up output" : "cannot create '" + debugPath + "'");
    const int status = command->run(args);
    std::fflush(Out());
    std::fflush(stdout);
    return status;
}
