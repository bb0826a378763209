// Shared pieces of the corvane command-line tool.
#ifndef CORVANE_CLI_H
#define CORVANE_CLI_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "corvane2.h"

// ---------------------------------------------------------------- output

// The tool's own output and error streams.  The library writes its
// diagnostics to standard output and (the debugger output) standard error;
// the tool moves both out of the way (to /dev/null, or to the file named by
// --debug) and prints its own results and errors on these.
FILE *Out();
FILE *Err();

// One line "corvane: MESSAGE" on the error stream; Fail returns the exit
// status to use, Warn is for what the command went on after.
int Fail(const std::string &message);
void Warn(const std::string &message);

// A bundled sample, used when a command that reads a file is given none.
std::string DefaultSample();

// ---------------------------------------------------------------- arguments

// An option a command takes: a flag, or an option with a value (given as
// "--name VALUE" or "--name=VALUE").
struct OptionDef {
    const char *name;
    const char *value;  // what the value is, for messages; null for a flag
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options with a value, by name
    std::vector<std::string> flags;
    bool Has(const std::string &flag) const;
    // The option's value, or `otherwise` when it was not given.
    std::string Value(const std::string &name, const std::string &otherwise = "") const;
};

// Splits `words` into options (of `options`; "--" ends them) and positional
// arguments.  An empty string, or the one-line message naming the option
// that is unknown or lacks its value.
std::string ParseArgs(const std::string &command, const std::vector<OptionDef> &options,
                      const std::vector<std::string> &words, Args *args);

// Option values, parsed whole: an empty string, or a message naming the
// option and the value.
std::string ParsePositiveNumber(const std::string &option, const std::string &text, float *value);
std::string ParseChoice(const std::string &option, const std::string &text,
                        const std::vector<std::string> &choices);

// ---------------------------------------------------------------- reading MP4 files

// An MP4 file opened for the tool's reading commands.  The open is the
// library's own, tolerant at the top level: a file whose top level ends in
// bytes that are not a box (as the writer leaves the object-descriptor and
// scene units after mdat), or holds a box of a type the reader does not
// know, is read as far as its boxes go.
struct Mp4Input {
    MP4_read_file *handle = nullptr;
    LeftOut leftOut{};
    ~Mp4Input();
};

// Opens `path`; an empty string, or the one-line message saying why the
// file cannot be read.  What the open left out, and (unless told not to) a
// file cut short, are each said in one line on the error stream.
std::string OpenMp4(const std::string &path, Mp4Input *input, bool sayCutShort = true);

// Why `path` cannot be read as an MP4 file at all (it cannot be opened, is
// empty, too large, or does not begin with a box).
std::string UnreadableText(const std::string &path);
// What a tolerant open left out, as said on the error stream; empty when
// nothing was.
std::string LeftOutText(const std::string &path, const LeftOut &leftOut);
// The same without the path and the closing words: what was left out.
std::string LeftOutWhat(const LeftOut &leftOut);
// The first box (in file order, at any depth) that ends past the end of
// the file; null when every box fits.
const AtomNode *FirstBoxPastEnd(const AtomNode *first, uint32_t fileSize);
std::string CutShortText(const std::string &path, const AtomNode *box, uint32_t fileSize);
// Why a file offers no tracks at all: it has no moov box (cut short
// before it, or never had one), or its moov is cut short before any track.
// Empty when neither is the case.
std::string NoTracksText(const std::string &path, const MP4_read_file *handle);

// The id of the track that --track names ("video" or "audio"; empty: the
// video track when there is one, else the audio track).  0 with a message in
// `error` when the file has no such track.
int32_t ChooseTrack(const MP4_read_file *handle, const std::string &kind,
                    const std::string &path, std::string *error);

// JSON string literal of `text`.
std::string JsonString(const std::string &text);
// A four-character code for display: bytes outside printable ASCII as '.'.
std::string PrintableType(const uint8_t *type);

// ---------------------------------------------------------------- progress

// A progress line on the error stream, shown only when it is a terminal and
// --quiet was not given: "WHAT: DONE of TOTAL UNIT (P%), RATE UNIT/s",
// redrawn at most a few times a second and erased at the end.
struct Progress {
    std::string what;
    uint64_t total = 0;
    bool bytes = true;  // counts bytes (shown in MB), or samples
    bool shown = false;
    double start = 0, last = 0;
};

void SetQuiet(bool quiet);
// Whether a progress line would be shown (work that costs something only to
// show progress is skipped otherwise).
bool ProgressWanted();
void StartProgress(Progress *p, const std::string &what, uint64_t total, bool bytes);
void ShowProgress(Progress *p, uint64_t done);
void EndProgress(Progress *p);

// ---------------------------------------------------------------- commands

struct Command {
    const char *name;
    const char *summary;
    const char *usage;
    std::vector<OptionDef> options;
    int (*run)(const Args &args);
};

int RunTree(const Args &args);
int RunInfo(const Args &args);
int RunMux(const Args &args);
int RunAddAudio(const Args &args);
int RunAddVideo(const Args &args);
int RunSamples(const Args &args);
int RunExtract(const Args &args);

#endif
