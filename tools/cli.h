// Shared pieces of the corvane command-line tool.
#ifndef CORVANE_CLI_H
#define CORVANE_CLI_H

#include <signal.h>
#include <sys/stat.h>

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

// ---------------------------------------------------------------- the tool's own walk of the boxes

// A box as the file has it, found by the tool's walk (not the library's
// reader): every box, of any type, with the children of containers and
// sample entries.
struct Box {
    uint8_t type[4];
    uint64_t offset;
    uint64_t size;    // the 64-bit form read; size 0 taken to the end of the enclosing box
    uint32_t header;  // 8, or 16 with a 64-bit size
    bool pastEnd;     // runs past the end of the enclosing box (or the file)
    std::vector<Box> children;

    // Boxes nest as deep as a file's bytes allow: the destructor releases
    // the children level by level, not by one call per level.  Moved, never
    // copied.
    Box() = default;
    Box(Box &&) = default;
    Box &operator=(Box &&) = default;
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;
    ~Box();
};

struct BoxWalk {
    uint64_t fileSize = 0;
    std::vector<Box> top;
};

// Walks the boxes of `path`; false when it cannot be opened or measured.
bool WalkBoxes(const std::string &path, BoxWalk *walk);
const Box *FindBox(const std::vector<Box> &level, const char *type);
const Box *FindBoxAt(const std::vector<Box> &level, uint64_t offset);
// The type of the first sample entry of the track whose trak box starts at
// `trakOffset` ("" when it has none), and the name of a type of entry
// ("H.264"; "" when unknown).
std::string SampleEntryOf(const std::vector<Box> &top, uint64_t trakOffset);
std::string SampleEntryName(const std::string &type);
// The top-level moof boxes of a fragmented file, and whether its moov has
// an mvex (the sign of a fragmented file, even before any fragment).
uint32_t FragmentCount(const BoxWalk &walk, bool *movieExtends);

// ---------------------------------------------------------------- reading MP4 files

// An MP4 file opened for the tool's reading commands.  The open is the
// library's own, tolerant at the top level: a file whose top level ends in
// bytes that are not a box (as the writer leaves the object-descriptor and
// scene units after mdat), or holds a box of a type the reader does not
// know, is read as far as its boxes go.
struct Mp4Input {
    MP4_read_file *handle = nullptr;
    LeftOut leftOut{};
    // The tool's own walk of the file's boxes (see WalkBoxes), for what the
    // library's reader does not tell: sample entries, fragments.
    std::vector<Box> boxes;
    uint32_t fragments = 0;     // top-level moof boxes
    bool movieExtends = false;  // moov has an mvex
    ~Mp4Input();
};

// "sample N of 'PATH' cannot be read" with the reason the index gives (it
// ends past the end of the file).
std::string UnreadableSampleText(const std::string &path, const Mp4Input &input, int32_t id,
                                 uint32_t number);

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

// Why the library does not serve track `id` (a video track whose sample
// entry is not mp4v, an audio track whose entry is not mp4a, a track of a
// fragmented file whose samples all lie in fragments); empty when it does.
std::string NotServedWhy(const Mp4Input &input, int32_t id);
// "track 1 (video) of 'PATH' is not supported: WHY".
std::string NotServedText(const std::string &path, const Mp4Input &input, int32_t id);

// The id of the track that --track names ("video" or "audio"; empty: the
// video track when there is one, else the audio track).  0 with a message in
// `error` when the file has no such track, or the library does not serve it.
int32_t ChooseTrack(const Mp4Input &input, const std::string &kind, const std::string &path,
                    std::string *error);

// JSON string literal of `text`.
std::string JsonString(const std::string &text);
// A four-character code for display: bytes outside printable ASCII as '.'.
std::string PrintableType(const uint8_t *type);

// ---------------------------------------------------------------- files the tool writes

// Makes SIGINT, SIGTERM, SIGHUP, SIGPIPE and SIGXFSZ remove every temporary
// file noted below before the tool ends (status 128 + the signal); a
// signal ignored when the tool started stays ignored.
void InstallSignalCleanup();

// Holds those signals back for its lifetime: while a temporary file is made
// and noted, a rename, or a thread being started (which inherits the mask,
// so that the signals are taken by the main thread).
struct SignalsHeld {
    sigset_t before;
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// An empty file under a fresh name from `pattern` (ending in XXXXXX),
// noted for removal; `slot` is its note.  False (errno set) when it cannot
// be made.
bool MakeTemporary(const std::string &pattern, std::string *name, int *slot);
// Creates `name`, which must not exist yet, and notes it.  False (errno
// set, EEXIST when it exists) otherwise.
bool CreateNewFile(const char *name, int *slot);
// Removes a noted temporary file (which may be gone already) and its note.
void RemoveTemporary(const std::string &name, int *slot);
// Drops the note of a file that is no longer temporary (renamed, or
// removed by the library).
void ForgetTemporary(int *slot);

// Whether two paths name one file: the same device and inode (through
// links), or, when neither exists yet, the same name in the same folder.
// A character device (/dev/null) is never the same file as anything.
bool SameFile(const std::string &a, const std::string &b);

// The --debug file: a new file (created exclusively), or an existing
// terminal, FIFO or device.  An existing regular file is refused, so the
// log never replaces anything.  A descriptor, or -1 with the message.
int OpenDebugLog(const std::string &path, std::string *error);

// The output of a command, written under a temporary name and renamed over
// the target when the whole job succeeded.
struct OutputFile {
    std::string given;       // as on the command line
    std::string target;      // the file the name leads to through symbolic links
    bool existed = false;
    bool direct = false;     // a device or FIFO: the result is copied to it, not renamed over it
    struct stat before {};   // the target as it was (mode and owner kept)
    std::string staging;     // where the job writes; empty once renamed or removed
    int slot = -1;
    std::string tempFolder;  // where the job's other temporary files go ("" or ending in '/')
};

// The longest path the tool makes for a file it writes itself, and for one
// the library writes (Root_atom's path holds 255 characters).
constexpr size_t kMaxOutputPath = 4095;
constexpr size_t kMaxLibraryPath = 255;

// Checks the output name and makes the (empty) staging file beside the
// target, or in $TMPDIR for a device or FIFO.  Paths longer than `maxPath`
// are not used (the library writes paths of at most 255 characters).  An
// empty string or the message.
std::string PrepareOutput(const std::string &given, size_t maxPath, OutputFile *out);
// Checks that the staging file holds `expected` bytes (when it holds fewer,
// the system's reason is found by writing the missing bytes), syncs it and
// renames it over the target (or copies it to a device or FIFO).  A
// `problem` says the job found the file incomplete (its size then unknown):
// the reason is looked for the same way, and the problem said when none is
// found.  On any failure the staging file is removed and the target is left
// as it was.
std::string CommitOutput(OutputFile *out, uint64_t expected, const std::string &problem = "");
// Removes the staging file.
void DiscardOutput(OutputFile *out);

// ---------------------------------------------------------------- MPEG-4 Visual streams

// vop_coding_type of a B-plane.
constexpr int kPlaneB = 2;

// The timing fields of the video object layer header.
struct VisualTiming {
    uint32_t resolution = 0;      // vop_time_increment_resolution
    uint32_t fixedIncrement = 0;  // fixed_vop_time_increment; 0 when fixed_vop_rate is 0
    int incrementBits = 1;        // bits of vop_time_increment in a plane header
};

// What the first pictures of a stream say.
struct VisualSurvey {
    bool timed = false;   // a video object layer header was found and read
    VisualTiming timing;
    uint32_t frames = 0;  // pictures looked at
    int64_t firstB = -1;  // the first B-plane among them
    uint32_t step = 0;    // the smallest step between their times (1 / resolution s); 0: none
};

// Reads the header and the first pictures of the stream (`size` bytes of
// `file`), which is left at its start.  An empty string, or what is wrong
// ("cannot be read").
std::string SurveyVisual(FILE *file, uint64_t size, VisualSurvey *survey);
// The vop_coding_type of a frame that starts with its plane start code.
int PlaneCodingType(const uint8_t *frame, size_t size);
// The frame rate without --fps: the header's fixed rate; else the step
// between the first pictures; else 25.  A note saying so when it is not the
// header's rate (empty otherwise).
std::string ChooseFrameRate(const std::string &command, const std::string &path, const VisualSurvey &s,
                            float *fps);
std::string RateText(float fps);
// What is said of a stream with B-frames: the refusal, or (forced) the warning.
std::string BFramesText(const std::string &command, const std::string &path, uint32_t picture, bool forced);

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
    int output;  // the positional argument the command writes; -1: none
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
