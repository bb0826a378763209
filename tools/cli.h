// Shared pieces of the corvane command-line tool.
#ifndef CORVANE_CLI_H
#define CORVANE_CLI_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "corvane2.h"

// The tool's own output and error streams.  The library writes its
// diagnostics to standard output and (the debugger output) standard error;
// the tool moves both out of the way (to /dev/null, or to the file named by
// --debug) and prints its own results and errors on these.
FILE *Out();
FILE *Err();

// One clear line on the error stream; returns the exit status to use.
int Fail(const std::string &message);

// A bundled sample, used when a command that reads a file is given none.
std::string DefaultSample();

struct Command {
    const char *name;
    const char *summary;
    const char *usage;
    int (*run)(const std::vector<std::string> &args);
};

// Helpers for arguments: whether a flag is present (and removes it), and the
// value following an option (removed with it).
bool TakeFlag(std::vector<std::string> &args, const std::string &flag);
bool TakeOption(std::vector<std::string> &args, const std::string &option, std::string *value);

// Opens `path` with MP4FileOpen; null (with nothing left open) when the
// library cannot read it.  CloseForReading closes and releases the handle.
MP4_read_file *OpenForReading(const std::string &path);
void CloseForReading(MP4_read_file *handle);

// The id of the track that --track names ("video" or "audio"; empty: the
// video track when there is one, else the audio track).  0 with a message in
// `error` when the choice is not valid or the file has no such track.
int32_t ChooseTrack(const MP4_read_file *handle, const std::string &kind,
                    const std::string &path, std::string *error);

int RunTree(const std::vector<std::string> &args);
int RunInfo(const std::vector<std::string> &args);
int RunMux(const std::vector<std::string> &args);
int RunAddAudio(const std::vector<std::string> &args);
int RunAddVideo(const std::vector<std::string> &args);
int RunSamples(const std::vector<std::string> &args);
int RunExtract(const std::vector<std::string> &args);

#endif
