// Shared pieces of the corvane command-line tool.
#ifndef CORVANE_CLI_H
#define CORVANE_CLI_H

#include <cstdio>
#include <string>
#include <vector>

// The tool's own output.  The library writes its diagnostics to standard
// output; the tool moves those out of the way (to /dev/null, or to the file
// named by --debug) and prints its own results here.
FILE *Out();

// One clear line on standard error; returns the exit status to use.
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

int RunTree(const std::vector<std::string> &args);
int RunInfo(const std::vector<std::string> &args);
int RunMux(const std::vector<std::string> &args);
int RunAddAudio(const std::vector<std::string> &args);
int RunAddVideo(const std::vector<std::string> &args);

#endif
