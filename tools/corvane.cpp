// corvane: a command-line tool over the Corvane2 library.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"

#ifndef CORVANE_SAMPLE
#define CORVANE_SAMPLE "tests/data/av.mp4"
#endif

namespace {

FILE *g_out = stdout;

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
     "  working directory.",
     RunAddAudio},
    {"add-video", "join the audio of an MP4 file with an MPEG-4 Visual stream",
     "corvane add-video SOURCE.mp4 VIDEO.m4v OUT.mp4 [--fps N]\n"
     "  Writes OUT.mp4 with the audio track of SOURCE.mp4 and the pictures of\n"
     "  VIDEO.m4v at N frames per second (default 25).  Uses the temporary\n"
     "  files tempv.v and tempa.a in the working directory.",
     RunAddVideo},
};

void PrintUsage(FILE *to) {
    std::fprintf(to, "usage: corvane [--debug FILE] COMMAND [ARGS]\n\ncommands:\n");
    for (const Command &c : kCommands) std::fprintf(to, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(to, "\n'corvane COMMAND --help' describes a command.\n");
}

// Keeps the library's printf diagnostics apart from the tool's output.
bool RedirectLibraryOutput(const char *debugPath) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0) return false;
    g_out = fdopen(saved, "w");
    if (g_out == nullptr) return false;
    const int target = debugPath ? open(debugPath, O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                 : open("/dev/null", O_WRONLY);
    if (target < 0) return false;
    dup2(target, STDOUT_FILENO);
    close(target);
    return true;
}

}  // namespace

FILE *Out() { return g_out; }

int Fail(const std::string &message) {
    std::fflush(Out());
    std::fprintf(stderr, "corvane: %s\n", message.c_str());
    return 1;
}

std::string DefaultSample() {
    if (access(CORVANE_SAMPLE, R_OK) == 0) return CORVANE_SAMPLE;
    return "tests/data/av.mp4";
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
        return Fail("cannot set up output");
    const int status = command->run(args);
    std::fflush(Out());
    std::fflush(stdout);
    return status;
}
