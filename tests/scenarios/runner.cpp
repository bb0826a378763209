// The scenario runner.  A scenario (tests/scenarios/<group>/<name>.scn) is a
// sequence of calls, one a line, in a small command language close to the
// exports (docs/testing.md lists the commands).  The runner makes the calls
// and writes a transcript: each call, what the library printed on standard
// output ("out") and on standard error, the debugger output ("err"), while it
// ran, its result and the values it handed out.  The transcript is compared
// with <name>.out beside the scenario, and a difference shown as a unified
// diff; --update rewrites the expected files instead.
//
//   scenario_runner [--update] DIR|FILE.scn ...
//
// The calls run in the scenario's folder, so input paths are relative to it
// and the library prints them as written.  $TMP names a fresh directory of
// the scenario's own; the transcript shows "$TMP" for its path.  Four or more
// lines in a row that differ only in one number counting up by one are shown
// as the first, a count and the last; so are four or more equal lines.
//
// The same source builds for Windows, where the runner calls the exports of
// Corvane2.dll (tests/scenarios/CMakeLists.txt) and runs under Wine
// (tests/windows).  There the debugger output is what the library sends to
// OutputDebugStringA, and two options serve the script that runs it:
//   --actual DIR        a transcript that differs goes to DIR/<group>/<name>.out
//                       instead of being shown as a diff;
//   --debugger-log FILE (Windows) everything sent to the debugger output
//                       during the run.
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "read/config.h"
#include "read/read.h"
#include "remux/remux.h"
#include "support/mp4_walk.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr uint32_t kUnset = 0xA5A5A5A5;  // a value the call did not write
uint8_t unsetByte;                       // a byte pointer the call did not write
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;

struct Session {
    std::string dir, tmp;  // the scenario's folder, $TMP
    std::string transcript;
    MP4_read_file *reader = nullptr;
    MP4_local_file *writer = nullptr;
    SampleBuffer buffer{};          // of internal-next
    std::deque<std::string> names;  // temporary-file names: the writer keeps the pointers
    struct {
        uint32_t given[2], accepted[2];  // frames of the video and the audio track
        uint64_t digests[2];             // of the accepted frames
    } frames{{0, 0}, {0, 0}, {kFnvBasis, kFnvBasis}};
};

// ---------------------------------------------------------------- text

std::string F(const char *format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    std::string text(size_t(std::vsnprintf(nullptr, 0, format, args)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    va_end(args);
    return text;
}

void Line(Session &s, const std::string &text) { s.transcript += "  " + text + "\n"; }

std::string Value(uint32_t value) { return value == kUnset ? "unset" : std::to_string(value); }

std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + char(c);
        else
            out += c < 0x20 || c >= 0x7F ? F("\\x%02x", c) : std::string(1, char(c));
    }
    return out;
}

std::string HexOf(const uint8_t *bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += F(i > 0 && i % 4 == 0 ? " %02x" : "%02x", bytes[i]);
    return text;
}

void HexLines(Session &s, const std::string &label, const uint8_t *bytes, size_t count) {
    for (size_t at = 0; at < count; at += 16)
        Line(s, label + HexOf(bytes + at, std::min<size_t>(16, count - at)));
}

// Tokens may carry \xNN for any byte (a type code with a space or a NUL).
std::string Unescaped(const std::string &token) {
    std::string out;
    for (size_t i = 0; i < token.size(); ++i) {
        const bool escape = token.compare(i, 2, "\\x") == 0 && i + 3 < token.size();
        out += escape ? char(std::stoi(token.substr(i + 2, 2), nullptr, 16)) : token[i];
        if (escape) i += 3;
    }
    return out;
}

long long Number(const std::string &text) {
    return text.rfind("0x", 0) == 0 ? std::stoll(text, nullptr, 16) : std::stoll(text);
}

std::vector<uint32_t> Numbers(const std::string &list) {
    std::vector<uint32_t> out;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) out.push_back(uint32_t(Number(item)));
    return out;
}

bool Flag(const Args &a, const char *word) { return std::find(a.begin() + 1, a.end(), word) != a.end(); }

// "FROM..TO" among the arguments, both inclusive: TO may be left out, and
// FROM counted from the end when negative (of `size` items).  Else everything.
void Range(const Args &a, size_t size, size_t *from, size_t *to) {
    long long first = 0, last = -1;
    for (const std::string &arg : a)
        if (arg.find("..") != std::string::npos && (std::isdigit(arg[0]) || arg[0] == '-'))
            std::sscanf(arg.c_str(), "%lld..%lld", &first, &last);
    *from = first < 0 ? size - std::min(size, size_t(-first)) : size_t(first);
    *to = last < 0 ? SIZE_MAX : size_t(last);
}

// "xN" among the arguments, else 1.
long Repeat(const Args &a) {
    for (const std::string &arg : a)
        if (arg.size() > 1 && arg[0] == 'x' && std::isdigit(arg[1])) return std::stol(arg.substr(1));
    return 1;
}

// ---------------------------------------------------------------- files, paths, tracks

// $TMP/NAME, or $TMP/%N: a path of N characters in all.
std::string PathOf(const Session &s, const std::string &arg) {
    if (arg.rfind("$TMP/%", 0) == 0)
        return s.tmp + "/" + std::string(Number(arg.substr(6)) - s.tmp.size() - 1, 'x');
    return arg.rfind("$TMP", 0) == 0 ? s.tmp + arg.substr(4) : arg;
}
const char *OrNull(const std::string &arg, const std::string &path) {
    return arg == "null" ? nullptr : path.c_str();
}

Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), long(bytes.size()));
}

int32_t TrackId(const Session &s, const std::string &arg) {
    if (arg == "video") return s.reader ? s.reader->videoTrackId : 1;
    if (arg == "audio") return s.reader ? s.reader->audioTrackId : 2;
    return int32_t(Number(arg));
}

// ---------------------------------------------------------------- what the library prints

struct Printed {
    std::string out, err;
};

std::string Contents(FILE *file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += char(c);
    std::fclose(file);
    return text;
}

#if defined(_WIN32)
// The library's writer messages go to OutputDebugStringA, which reaches a
// debugger by raising DBG_PRINTEXCEPTION_C with the text's length (NUL
// included) and address.  The runner sees that exception first and leaves
// it to the function's own handler, so the text also goes wherever it
// would go without the runner (Wine's +debugstr channel).
constexpr DWORD kDebuggerPrint = 0x40010006;  // DBG_PRINTEXCEPTION_C
struct {
    std::string *capture = nullptr;  // the current call's, while one runs
    std::string log;                 // the whole run's
} debugger;

LONG CALLBACK SeeDebuggerOutput(EXCEPTION_POINTERS *e) {
    const EXCEPTION_RECORD *r = e->ExceptionRecord;
    if (r->ExceptionCode == kDebuggerPrint && r->NumberParameters >= 2 && r->ExceptionInformation[1]) {
        const char *text = reinterpret_cast<const char *>(r->ExceptionInformation[1]);
        const std::string sent(text, strnlen(text, size_t(r->ExceptionInformation[0])));
        debugger.log += sent;
        if (debugger.capture) *debugger.capture += sent;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// std::tmpfile puts its file in the root of the current drive, which need
// not be writable: these go to the user's temporary folder and are deleted
// when closed ("D").
FILE *ScratchFile() {
    static unsigned count = 0;
    const fs::path path = fs::temp_directory_path() /
                          ("runner-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count));
    return std::fopen(path.string().c_str(), "w+bD");
}
#else
FILE *ScratchFile() { return std::tmpfile(); }
#endif

template <typename Call>
Printed Capture(Call call) {
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *out = ScratchFile(), *err = ScratchFile();
    const int savedOut = dup(1), savedErr = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
#if defined(_WIN32)
    std::string sent;
    debugger.capture = &sent;
#endif
    call();
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(_WIN32)
    debugger.capture = nullptr;
#endif
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
#if defined(_WIN32)
    return {Contents(out), Contents(err) + sent};
#else
    return {Contents(out), Contents(err)};
#endif
}

void ShowPrinted(Session &s, const char *stream, std::string text) {
    for (size_t at; (at = text.find(s.tmp)) != std::string::npos;) text.replace(at, s.tmp.size(), "$TMP");
    for (size_t at; (at = text.find(s.dir + "/")) != std::string::npos;) text.erase(at, s.dir.size() + 1);
    for (size_t at = 0; at < text.size();) {  // a line of newlines goes with the next line
        const size_t end = std::min(text.find('\n', text.find_first_not_of('\n', at)), text.size() - 1) + 1;
        Line(s, std::string(stream) + " \"" + Printable(text.substr(at, end - at)) + "\"");
        at = end;
    }
}

// Runs `call` and writes what it printed into the transcript, a quoted line
// for each line: standard output first, then standard error.
template <typename Call>
void Printing(Session &s, Call call) {
    const Printed printed = Capture(call);
    ShowPrinted(s, "out", printed.out);
    ShowPrinted(s, "err", printed.err);
}

// The same for a call with a result, which is returned.
template <typename Call>
int32_t Calling(Session &s, Call call) {
    int32_t result = 0;
    Printing(s, [&] { result = int32_t(call()); });
    return result;
}

// ---------------------------------------------------------------- reading

const char *MediaName(int32_t type) {
    static const char *const kNames[] = {"unknown", "video", "audio", "hint", "object descriptor", "scene"};
    return kNames[type >= 1 && type <= 5 ? type : 0];
}

void ShowHandle(Session &s) {
    const MP4_read_file *h = s.reader;
    if (h == nullptr) return Line(s, "no handle");
    Line(s, F("root %s, videoTrackId %d, audioTrackId %d", h->root ? "set" : "null", h->videoTrackId,
              h->audioTrackId));
    if (h->root != nullptr) {
        const VideoInfo &v = h->videoInfo;
        const AudioInfo &a = h->audioInfo;
        Line(s, F("videoInfo: width %u, height %u, sampleCount %u, timescale %u, duration %u", v.width,
                  v.height, v.sampleCount, v.timescale, v.duration));
        Line(s,
             F("audioInfo: dataReferenceIndex %u, timescale %u, duration %u, sampleCount %u, sampleSize %u",
               a.dataReferenceIndex, a.timescale, a.duration, a.sampleCount, a.sampleSize));
    }
    for (int id = 0; id < MP4_READ_TRACK_SLOTS; ++id)
        if (const ReadTrack *t = h->tracks[id])
            Line(s, F("track %d: %s, %u samples (capacity %u), %u key frames", id, MediaName(t->mediaType),
                      t->sampleCount, t->capacity, t->keyFrameCount));
}

void CloseReader(Session &s) {
    Capture([&] { MP4FileClose(&s.reader); });
    std::free(s.reader);
    s.reader = nullptr;
}

void Open(Session &s, const Args &a) {
    CloseReader(s);
    const std::string path = PathOf(s, a.at(1));
    MP4_read_file **handle = Flag(a, "null-handle") ? nullptr : &s.reader;
    Line(s, F("= %d", Calling(s, [&] { return MP4FileOpen(handle, OrNull(a[1], path)); })));
    ShowHandle(s);
}

void Close(Session &s, const Args &a) {
    Line(s, F("= %d", Calling(s, [&] { return MP4FileClose(Flag(a, "null") ? nullptr : &s.reader); })));
    std::free(s.reader);
    s.reader = nullptr;
}

// free-data [null]: MP4freeData on a variable holding null, or on a null variable.
void FreeData(Session &s, const Args &a) {
    uint8_t *none = nullptr;
    Line(s, F("= %d", MP4freeData(Flag(a, "null") ? nullptr : &none)));
}

// The pointers a sample export writes: null where the command says
// null-data, null-size or null-time.
struct Handed {
    explicit Handed(const Args &a)
        : dataArg(Flag(a, "null-data") ? nullptr : &data),
          sizeArg(Flag(a, "null-size") ? nullptr : &size),
          timeArg(Flag(a, "null-time") ? nullptr : &time) {}
    uint8_t *data = &unsetByte;
    uint32_t size = kUnset, time = kUnset;
    uint8_t **dataArg;
    uint32_t *sizeArg, *timeArg;
};

std::string Cursors(const Session &s) {
    return s.reader ? F(", cursors video %d audio %d key %d", s.reader->videoCursor, s.reader->audioCursor,
                        s.reader->keyCursor)
                    : "";
}

// A sample's bytes, the first 32 of them.
std::string SampleBytes(const uint8_t *data, uint32_t size) {
    if (size == 0) return ", no bytes";
    return ", bytes " + HexOf(data, std::min(size, 32u)) + (size > 32 ? " ..." : "");
}

// The result, what was handed out (a block is given back) and the cursors.
void ShowHanded(Session &s, int32_t result, Handed &h, bool timed) {
    std::string text = F("= %d, size %s", result, Value(h.size).c_str());
    if (timed) text += ", time " + Value(h.time);
    if (h.data == &unsetByte)
        text += ", data unset";
    else if (h.data == nullptr)
        text += ", data null";
    else
        text += SampleBytes(h.data, h.size);
    if (h.data != &unsetByte) MP4freeData(&h.data);
    Line(s, text + Cursors(s));
}

// get-sample TRACK TIME, seek TRACK TIME, next-sample TRACK, next-key TRACK,
// prev-key TRACK, each with [xN] [null-data] [null-size] [null-time].
void Sample(Session &s, const Args &a) {
    for (long n = Repeat(a); n > 0; --n) {
        Handed h(a);
        const int32_t id = TrackId(s, a.at(1));
        const int32_t result = Calling(s, [&] {
            if (a[0] == "get-sample")
                return GetSample(s.reader, id, int32_t(Number(a.at(2))), h.dataArg, h.sizeArg);
            if (a[0] == "seek")
                return SeekTrack(s.reader, id, int32_t(Number(a.at(2))), h.dataArg, h.sizeArg);
            if (a[0] == "next-sample") return MP4GetNextSample(s.reader, id, h.dataArg, h.sizeArg, h.timeArg);
            return (a[0] == "next-key" ? MP4NextKeyFrame : MP4PrevKeyFrame)(s.reader, id, h.dataArg,
                                                                            h.sizeArg);
        });
        ShowHanded(s, result, h, a[0] == "next-sample");
    }
}

// begin-key TRACK, end-key TRACK
void KeyEnd(Session &s, const Args &a) {
    const int32_t result = Calling(s, [&] {
        return (a[0] == "begin-key" ? GoToBeginOfKeyFrame : GoToEndOfKeyFrame)(s.reader, TrackId(s, a.at(1)));
    });
    Line(s, F("= %d", result) + Cursors(s));
}

// cursor video|audio|key N: the host writes a cursor of its handle.
void SetCursor(Session &s, const Args &a) {
    int32_t &cursor = a.at(1) == "video" ? s.reader->videoCursor
                      : a[1] == "audio"  ? s.reader->audioCursor
                                         : s.reader->keyCursor;
    cursor = int32_t(Number(a.at(2)));
}

// internal-next TRACK [xN]: GetNextSample, which also tells the key flag.
void InternalNext(Session &s, const Args &a) {
    for (long n = Repeat(a); n > 0; --n) {
        uint32_t size = kUnset, time = kUnset;
        const int32_t result =
            Calling(s, [&] { return GetNextSample(s.reader, TrackId(s, a.at(1)), &s.buffer, &size, &time); });
        std::string text = F("= %d, size %s, time %s, key flag %d", result, Value(size).c_str(),
                             Value(time).c_str(), s.buffer.keyFlag);
        if (result == 1) text += SampleBytes(s.buffer.data, size);
        Line(s, text + Cursors(s));
    }
}

// index TRACK [FROM..TO]: the sample index and the key frames (FROM..TO of each).
void Index(Session &s, const Args &a) {
    const int32_t id = TrackId(s, a.at(1));
    const ReadTrack *t = s.reader && id >= 0 && id < MP4_READ_TRACK_SLOTS ? s.reader->tracks[id] : nullptr;
    if (t == nullptr) return Line(s, "no track");
    Line(s, F("%u samples (capacity %u), %u key frames%s", t->sampleCount, t->capacity, t->keyFrameCount,
              t->computed ? ", entries computed" : ""));
    size_t from, to;
    Range(a, t->sampleCount, &from, &to);
    for (size_t i = from; i < t->sampleCount && i <= to; ++i) {
        const SampleEntry e = SampleAt(t, uint32_t(i));
        Line(s, F("sample %zu: time %u, offset %u, size %u", i, e.time, e.offset, e.size));
    }
    Range(a, t->keyFrameCount, &from, &to);
    for (size_t i = from; i < t->keyFrameCount && i <= to; ++i)
        Line(s,
             F("key frame %zu: sample %u, time %u", i, t->keyFrames[i].sampleNumber, t->keyFrames[i].time));
}

// find-key SAMPLE FROM KEYS [RUNNING-MAXIMA]: FindKeySample over a key-frame
// table of the given sample numbers.
void FindKey(Session &s, const Args &a) {
    const std::vector<uint32_t> numbers = Numbers(a.at(3));
    std::vector<uint32_t> running = a.size() > 4 ? Numbers(a[4]) : std::vector<uint32_t>{};
    std::vector<KeyFrameEntry> keys(numbers.size());
    for (size_t i = 0; i < numbers.size(); ++i) keys[i].sampleNumber = numbers[i];
    ReadTrack track{};
    track.keyFrames = keys.data();
    track.keyFrameCount = uint32_t(keys.size());
    track.keyRunningMax = running.empty() ? nullptr : running.data();
    uint32_t index = uint32_t(Number(a.at(2)));
    const int32_t found = FindKeySample(uint32_t(Number(a.at(1))), &track, &index);
    Line(s, F("= %d, index %u", found, index));
}

// m4v-esds [null-buffer] [null-sizes], m4a-esds [null-buffer] [null-sizes]:
// the buffer is filled with ee first; four bytes past the size are shown
// (24 bytes without a size).
void Esds(Session &s, const Args &a) {
    uint8_t buffer[200];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint8_t *given = Flag(a, "null-buffer") ? nullptr : buffer;
    uint32_t width = kUnset, height = kUnset, size = kUnset;
    const bool video = a[0] == "m4v-esds", sizes = !Flag(a, "null-sizes");
    const int32_t result = Calling(s, [&] {
        return video ? GetM4vEsdsData(s.reader, given, sizes ? &width : nullptr, sizes ? &height : nullptr,
                                      sizes ? &size : nullptr)
                     : GetM4aEsdsData(s.reader, given, sizes ? &size : nullptr);
    });
    Line(s, F("= %d, ", result) +
                (video ? "width " + Value(width) + ", height " + Value(height) + ", header " : "") + "size " +
                Value(size));
    if (size != kUnset || !sizes)
        HexLines(s, "buffer ", buffer, sizes ? std::min<size_t>(size + 4, sizeof buffer) : 24);
}

// file-info PATH|null [null-record]
void FileInfoOf(Session &s, const Args &a) {
    static const char *const kNames[24] = {
        "fileSize",          "reserved1",        "videoAvgBitrate", "videoMaxBitrate",  "videoProfileLevel",
        "reserved5",         "videoHeight",      "videoWidth",      "videoFrameRate",   "videoFrameCount",
        "audioFrameCount",   "audioIsMpegAudio", "mpegAudioMode",   "audioSampleRate",  "audioAvgBitrate",
        "audioMaxBitrate",   "aacProfile",       "audioChannels",   "reserved18",       "audioObjectType",
        "audioChannelsCopy", "reserved21",       "reserved22",      "mpegAudioEmphasis"};
    FileInfo info;
    std::memset(&info, 0xA5, sizeof info);
    const std::string path = PathOf(s, a.at(1));
    Line(s, F("= %d", Calling(s, [&] {
                  return GetFileInfo(OrNull(a[1], path), Flag(a, "null-record") ? nullptr : &info);
              })));
    uint32_t words[24];
    std::memcpy(words, &info, sizeof words);
    for (int row = 0; row < 24; row += 6) {
        std::string text;
        for (int i = row; i < row + 6; ++i)
            text += (i > row ? ", " : "") + std::string(kNames[i]) + " " + Value(words[i]);
        Line(s, text);
    }
}

// m4v-header PATH|null [null-sizes]
void M4vHeader(Session &s, const Args &a) {
    const std::string path = PathOf(s, a.at(1));
    uint32_t width = kUnset, height = kUnset;
    const bool sizes = !Flag(a, "null-sizes");
    const int32_t result = Calling(s, [&] {
        return GetM4vHeaderSize(OrNull(a[1], path), sizes ? &width : nullptr, sizes ? &height : nullptr);
    });
    Line(s, F("= %d, width ", result) + Value(width) + ", height " + Value(height));
}

// ParseVolHeader on an exact-size copy of the first `length` bytes, so that a
// read past them shows under the address sanitizer.
std::string ParseVol(const Bytes &bytes, size_t length) {
    const Bytes copy(bytes.begin(), bytes.begin() + long(std::min(length, bytes.size())));
    uint32_t width = kUnset, height = kUnset, size = kUnset;
    const int32_t result = ParseVolHeader(copy.data(), uint32_t(copy.size()), &width, &height, &size);
    std::string text = F("= %d, width %s, height %s, size %s", result, Value(width).c_str(),
                         Value(height).c_str(), Value(size).c_str());
    if (result == 1 && size < bytes.size())
        text += ", then " + HexOf(&bytes[size], std::min<size_t>(4, bytes.size() - size));
    return text;
}

// vol-header PATH [LENGTH|every-length]
void VolHeader(Session &s, const Args &a) {
    const Bytes bytes = ReadFile(PathOf(s, a.at(1)));
    if (a.size() > 2 && a[2] == "every-length") {
        for (size_t length = 0; length <= bytes.size(); ++length)
            Line(s, F("%zu bytes: ", length) + ParseVol(bytes, length));
    } else {
        Line(s, ParseVol(bytes, a.size() > 2 ? size_t(Number(a[2])) : bytes.size()));
    }
}

// bits HEX N...: ReadBits of N bits, one read after another.
void Bits(Session &s, const Args &a) {
    const Bytes bytes = Hex(a.at(1).c_str());
    BitReader reader;
    StartBitReader(&reader, bytes.data(), uint32_t(bytes.size()));
    for (size_t i = 2; i < a.size(); ++i) {
        const uint32_t value = ReadBits(&reader, uint32_t(Number(a[i])));
        Line(s, F("%s bits: 0x%X, consumed %u, bits left %d%s", a[i].c_str(), value, reader.consumed,
                  reader.bitsLeft, reader.overrun ? ", overrun" : ""));
    }
}

// ---------------------------------------------------------------- the atom tree

// The depth of the deepest node, and the count of nodes (without recursion:
// trees may be as deep as a file's bytes allow).
int Deepest(const AtomNode *first, size_t *count) {
    int deepest = 0;
    std::vector<std::pair<const AtomNode *, int>> pending;
    for (const AtomNode *node = first; node; node = node->next) pending.push_back({node, 1});
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        ++*count;
        deepest = std::max(deepest, depth);
        for (const AtomNode *child = node->firstChild; child; child = child->next)
            pending.push_back({child, depth + 1});
    }
    return deepest;
}

// Each atom, indented by its depth: type, offset+size, the record's size
// and its table's; the record's bytes of the types named.
void ShowAtoms(Session &s, const AtomNode *node, int depth, const Args &a) {
    for (; node; node = node->next) {
        const realStructure *r = node->realStructure;
        const std::string type = Printable(std::string(node->type, 4));
        std::string text =
            std::string(2 * depth, ' ') + F("%s %u+%u", type.c_str(), node->offset, node->size);
        if (r) text += F(", record %u", r->imageSize) + (r->table ? F(", table %u", r->tableBytes) : "");
        if (r && r->table && r->tableHeld < r->tableBytes) text += F(" (%u held)", r->tableHeld);
        Line(s, text);
        if (r && std::find(a.begin() + 2, a.end(), std::string(node->type, 4)) != a.end()) {
            HexLines(s, std::string(2 * depth + 2, ' ') + "record ", r->image, r->imageSize);
            if (r->table) HexLines(s, std::string(2 * depth + 2, ' ') + "table ", r->table, r->tableHeld);
        }
        ShowAtoms(s, node->firstChild, depth + 1, a);
    }
}

// atoms PATH [brief|TYPE...] [read-only]: the steps of MP4FileOpen that load
// the tree (read, check the hierarchy, allocate the records, extract them),
// or the first alone.
void Atoms(Session &s, const Args &a) {
    Root_atom root{};
    root.file = std::fopen(PathOf(s, a.at(1)).c_str(), "rb");
    if (root.file == nullptr) return Line(s, "cannot open");
    std::fseek(root.file, 0, SEEK_END);
    root.fileSize = uint32_t(std::ftell(root.file));
    int32_t read = 0, records = 0, extracted = 0;
    Printing(s, [&] {
        read = ReadAtomTree(&root);
        if (read <= 0 || Flag(a, "read-only")) return;
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) ValidateAtomHierarchy(atom);
        records = AllocTreeRecords(&root);
        if (records > 0) extracted = ExtractAtomRecords(&root);
    });
    size_t nodes = 0;
    const int levels = Deepest(root.firstAtom, &nodes);
    Line(s, F("read %d, records %d, extracted %d; %d levels, %zu nodes", read, records, extracted, levels,
              nodes));
    if (!Flag(a, "brief")) ShowAtoms(s, root.firstAtom, 0, a);
    FreeAtomTree(&root);
    std::fclose(root.file);
}

// validate TYPE [CHILD]: ValidateAtomHierarchy on a node made in memory.
void Validate(Session &s, const Args &a) {
    AtomNode node{}, child{};
    CopyAtomType(node.type, a.at(1).c_str());
    if (a.size() > 2) {
        CopyAtomType(child.type, a[2].c_str());
        node.firstChild = &child;
        child.parent = &node;
    }
    Line(s, Calling(s, [&] { return ValidateAtomHierarchy(&node); }) ? "= valid" : "= not valid");
}

// catalogue TYPE...: GetAtomTypeInfo and CheckReadableAtomType by type alone.
void Catalogue(Session &s, const Args &a) {
    for (size_t i = 1; i < a.size(); ++i) {
        const std::string type = (a[i] + std::string(4, '\0')).substr(0, 4);
        AtomNode node{};
        std::memcpy(node.type, type.data(), 4);
        AtomTypeInfo info, before;
        std::memset(&info, 0xA5, sizeof info);
        std::memcpy(&before, &info, sizeof info);
        const int32_t known = GetAtomTypeInfo(&node, &info);
        const int32_t readable = CheckReadableAtomType(reinterpret_cast<const uint8_t *>(type.data()));
        std::string text = Printable(type) + F(": %d, readable %d", known, readable);
        if (std::memcmp(&info, &before, sizeof info) == 0) {
            text += ", info untouched";
        } else {
            text += F(", header %s, record %s, table %s, entry %s, rules", Value(info.headerSize).c_str(),
                      Value(info.recordSize).c_str(),
                      info.hasTable == 0xA5 ? "unset" : std::to_string(info.hasTable).c_str(),
                      Value(info.entrySize).c_str());
            for (uint32_t r = 0; r < info.childCount && r < kMaxChildRules; ++r)
                text += F(" %s %u/%u", Printable(std::string(info.childRules[r].type, 4)).c_str(),
                          info.childRules[r].occurrence, info.childRules[r].required);
        }
        Line(s, text);
    }
}

// ---------------------------------------------------------------- writing

// new PATH|null [null-handle]
void New(Session &s, const Args &a) {
    Capture([&] { MP4FileFlush(s.writer); });  // a file the scenario left open
    s.writer = nullptr;
    const std::string path = PathOf(s, a.at(1));
    MP4_local_file *handle = reinterpret_cast<MP4_local_file *>(&unsetByte);
    const int32_t result = Calling(
        s, [&] { return MP4FileNew(Flag(a, "null-handle") ? nullptr : &handle, OrNull(a[1], path)); });
    const bool unset = handle == reinterpret_cast<MP4_local_file *>(&unsetByte);
    Line(s, F("= %d, handle %s", result, unset ? "unset" : handle ? "set" : "null"));
    if (!unset && handle) s.writer = handle;
    s.frames = {{0, 0}, {0, 0}, {kFnvBasis, kFnvBasis}};
}

// create-track video|audio|od|scene|TYPE [NAME=VALUE...]: CreateTrack with the
// usual values of the kind, changed by the options width, height,
// resolution, timescale, level, profile, channels, rate, config (hex or
// null), length (of the configuration), temp (path or null) and codec;
// null-handle passes a null handle.
void CreateTrackOf(Session &s, const Args &a) {
    static const std::map<std::string, std::pair<uint32_t, const char *>> kKinds = {
        {"video", {1, "width=176 height=144 resolution=1000 timescale=1000 level=0xF5 temp=$TMP/tempv.v"}},
        {"audio", {2, "timescale=44100 profile=1 channels=2 rate=44100 temp=$TMP/tempa.a"}},
        {"od", {4, "timescale=1000"}},
        {"scene", {5, "timescale=1000"}}};
    const auto kind = kKinds.find(a.at(1));
    std::map<std::string, std::string> o = {{"codec", "1"}, {"temp", "null"}, {"config", ""}};
    std::istringstream defaults(kind != kKinds.end() ? kind->second.second : "");
    std::vector<std::string> options(std::istream_iterator<std::string>(defaults), {});
    options.insert(options.end(), a.begin() + 2, a.end());
    for (const std::string &option : options)
        o[option.substr(0, option.find('='))] = option.substr(option.find('=') + 1);
    auto n = [&](const char *key) { return o.count(key) ? uint32_t(Number(o[key])) : 0u; };
    const Bytes config = o["config"] == "null" ? Bytes{} : Hex(o["config"].c_str());
    const char *temp = nullptr;
    if (o["temp"] != "null") temp = s.names.emplace_back(PathOf(s, o["temp"])).c_str();
    Line(s, F("= %d", Calling(s, [&] {
                  return CreateTrack(Flag(a, "null-handle") ? nullptr : s.writer,
                                     kind != kKinds.end() ? kind->second.first : uint32_t(Number(a[1])),
                                     uint16_t(n("width")), uint16_t(n("height")), uint16_t(n("resolution")),
                                     n("timescale"), n("level"), n("profile"), n("channels"), n("rate"),
                                     o.count("length") ? n("length") : uint32_t(config.size()),
                                     o["config"] == "null" ? nullptr : config.data(), temp, n("codec"));
              })));
}

// A running FNV-1a digest of a frame's time, size and bytes.
void Digest(uint64_t *digest, uint32_t time, const uint8_t *bytes, uint32_t size) {
    auto add = [digest](uint8_t byte) { *digest = (*digest ^ byte) * 0x100000001B3ull; };
    for (int shift = 24; shift >= 0; shift -= 8) add(uint8_t(time >> shift)), add(uint8_t(size >> shift));
    for (uint32_t i = 0; i < size; ++i) add(bytes[i]);
}

// add-video SIZES|=HEX TIME KEY [xN [STEP]], add-audio SIZES|=HEX TIME [xN [STEP]]:
// N frames STEP apart; frame k of a track has the byte value k (mod 256) and
// the next of the sizes, which repeat; KEY is 1, 0, or /M for every M-th.
// null-bytes passes a null byte pointer.
void AddFrames(Session &s, const Args &a) {
    const bool video = a[0] == "add-video";
    const int t = video ? 0 : 1;
    const bool given = a.at(1)[0] == '=';
    const Bytes bytes = given ? Hex(a[1].c_str() + 1) : Bytes{};
    const std::vector<uint32_t> sizes = given ? std::vector<uint32_t>{} : Numbers(a[1]);
    const uint32_t start = uint32_t(Number(a.at(2)));
    const std::string key = video ? a.at(3) : "0";
    const size_t repeat = video ? 4 : 3;
    const uint32_t step = a.size() > repeat + 1 && a[repeat][0] == 'x' ? uint32_t(Number(a[repeat + 1])) : 0;
    const bool noBytes = Flag(a, "null-bytes");
    std::vector<std::pair<int32_t, long>> results;
    Printing(s, [&] {
        for (long i = 0; i < Repeat(a); ++i) {
            const Bytes frame =
                given ? bytes : Bytes(sizes[size_t(i) % sizes.size()], uint8_t(s.frames.given[t]++));
            const uint32_t time = start + uint32_t(i) * step;
            const uint8_t *data = noBytes ? nullptr : frame.data();
            const int32_t result =
                video ? AddVideoFrame(s.writer, uint32_t(frame.size()), data, time,
                                      key[0] == '/' ? i % Number(key.substr(1)) == 0 : int32_t(Number(key)))
                      : AddAudioFrame(s.writer, uint32_t(frame.size()), data, time);
            if (result == 1)
                Digest(&s.frames.digests[t], time, frame.data(), uint32_t(frame.size())),
                    ++s.frames.accepted[t];
            if (results.empty() || results.back().first != result) results.push_back({result, 0});
            ++results.back().second;
        }
    });
    std::string text = "=";
    for (const auto &[result, count] : results)
        text += F(" %d", result) + (count > 1 ? F(" x%ld", count) : "") + ",";
    Line(s, text.substr(0, text.size() - 1));
}

// added video|audio: the frames the writer accepted since `new`, and their digest.
void Added(Session &s, const Args &a) {
    const int t = a.at(1) == "video" ? 0 : 1;
    Line(s, F("%u frames, digest %016llx", s.frames.accepted[t],
              static_cast<unsigned long long>(s.frames.digests[t])));
}

// read-all TRACK: MP4GetNextSample until it fails, the samples' digest.
void ReadAll(Session &s, const Args &a) {
    uint64_t digest = kFnvBasis;
    uint32_t count = 0;
    int32_t result = 0;
    Printing(s, [&] {
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        while ((result = MP4GetNextSample(s.reader, TrackId(s, a.at(1)), &data, &size, &time)) == 1) {
            Digest(&digest, time, data, size), ++count;
            MP4freeData(&data);
        }
    });
    Line(s,
         F("%u samples, digest %016llx, then = %d", count, static_cast<unsigned long long>(digest), result));
}

void Flush(Session &s, const Args &) {
    Line(s, F("= %d", Calling(s, [&] { return MP4FileFlush(s.writer); })));
    s.writer = nullptr;
}

// totals: the handle's running totals (the host's to read).
void Totals(Session &s, const Args &) {
    const MP4_local_file *w = s.writer;
    if (w == nullptr) return Line(s, "no handle");
    Line(s, F("nextTrackId %u, movieTimescale %u, movieDuration %u", w->nextTrackId, w->movieTimescale,
              w->movieDuration));
    Line(s, F("video: samples %u, key frames %u, bytes %u, block sample %u, block key frame %u",
              w->videoSampleTotal, w->videoKeyFrameTotal, w->videoBytes, w->videoBlockSample,
              w->videoBlockKeyFrame));
    Line(s, F("audio: samples %u, key frames %u, bytes %u, block sample %u, block key frame %u",
              w->audioSampleTotal, w->audioKeyFrameTotal, w->audioBytes, w->audioBlockSample,
              w->audioBlockKeyFrame));
}

void Brand(Session &s, const Args &a) { s.writer->brandFlag = int32_t(Number(a.at(1))); }

// dump PATH [BOX|BOX..] [FROM..TO]: the bytes of a file, of one box of it
// (FindBox's path: moov/trak#1/mdia/minf/stbl/stsd/mp4a/esds) or from a box
// to the end of the file, 16 a line.
void Dump(Session &s, const Args &a) {
    const Bytes file = ReadFile(PathOf(s, a.at(1)));
    BoxSpan box{0, file.size(), true};
    const std::string path = a.size() > 2 && std::isalpha(a[2][0]) ? a[2] : "";
    const bool toTheEnd = path.size() > 2 && path.compare(path.size() - 2, 2, "..") == 0;
    if (!path.empty()) box = FindBox(file, toTheEnd ? path.substr(0, path.size() - 2) : path);
    if (!box.found) return Line(s, "no such box");
    const size_t end = toTheEnd ? file.size() : std::min(box.at + box.size, file.size());
    size_t from, to;
    Range(a, end - box.at, &from, &to);
    to = std::min(end, to < end - box.at ? box.at + to + 1 : end);
    Line(s, F("%zu bytes at %zu", end - box.at, box.at) +
                (end - box.at != box.size ? F(", the box says %zu", box.size) : ""));
    for (size_t at = box.at + from; at < to; at += 16) {
        const size_t count = std::min(size_t(16), to - at);
        std::string ascii;
        for (size_t i = 0; i < count; ++i) ascii += std::isgraph(file[at + i]) ? char(file[at + i]) : '.';
        Line(s, F("%-35s  ", HexOf(&file[at], count).c_str()) + ascii);
    }
}

// A file made `size` bytes long (sparse where it grows); 64-bit sizes on
// every platform.
bool Resize(const std::string &path, long long size) {
    std::error_code e;
    if (size >= 0) fs::resize_file(path, uintmax_t(size), e);
    return size >= 0 && !e;
}

// Windows cannot remove a file that a stream holds open (the C runtime opens
// files without FILE_SHARE_DELETE).  For the writer's temporary files the
// runner does what removing an open file does on POSIX systems: the
// writer's stream goes on into a file that nothing names, and the name is
// gone.  Elsewhere the plain remove has done it already.
bool RemoveOpenTempFile(Session &s, const std::string &path) {
#if defined(_WIN32)
    if (s.writer == nullptr) return false;
    FILE *const streams[] = {s.writer->videoTempFile, s.writer->audioTempFile};
    const char *const names[] = {s.writer->videoTempName, s.writer->audioTempName};
    for (int i = 0; i < 2; ++i) {
        if (streams[i] == nullptr || names[i] == nullptr || path != names[i]) continue;
        const std::string nameless = s.tmp + "/.removed-" + std::to_string(i);
        return std::freopen(nameless.c_str(), "wb", streams[i]) && std::remove(path.c_str()) == 0;
    }
#else
    (void)s, (void)path;
#endif
    return false;
}

// exists PATH..., grow IN OUT SIZE, patch IN OUT OFFSET|BOX+OFFSET HEX,
// truncate PATH SIZE|-CUT, append PATH HEX, remove PATH: files on disk (the
// writer's temporary files are flushed first).
void Exists(Session &s, const Args &a) {
    for (size_t i = 1; i < a.size(); ++i)
        Line(s, a[i] + (access(PathOf(s, a[i]).c_str(), F_OK) == 0 ? " exists" : " does not exist"));
}

void Files(Session &s, const Args &a) {
    std::fflush(nullptr);
    const std::string path = PathOf(s, a.at(1));
    bool done = true;
    if (a[0] == "grow" || a[0] == "patch") {
        Bytes bytes = ReadFile(path);
        if (a[0] == "patch") {
            const Bytes patch = Hex(a.at(4).c_str());
            const std::string offset = a.at(3);    // N, or BOX+N: N bytes into a box
            const size_t plus = offset.find('+');  // npos + 1 is 0
            const BoxSpan box =
                plus == std::string::npos ? BoxSpan{0, 0, true} : FindBox(bytes, offset.substr(0, plus));
            if (!box.found) return Line(s, "no such box");
            const size_t at = box.at + size_t(Number(offset.substr(plus + 1)));
            bytes.resize(std::max(bytes.size(), at + patch.size()));
            std::copy(patch.begin(), patch.end(), bytes.begin() + long(at));
        }
        WriteFile(PathOf(s, a.at(2)), bytes);
        if (a[0] == "grow") done = Resize(PathOf(s, a[2]), Number(a.at(3)));
    } else if (a[0] == "truncate") {  // a negative size: that many bytes off the end
        const long long size = Number(a.at(2));
        done = Resize(path, size < 0 ? (long long)(fs::file_size(path)) + size : size);
    } else if (a[0] == "append") {
        const Bytes more = Hex(a.at(2).c_str());
        done = bool(std::ofstream(path, std::ios::binary | std::ios::app)
                        .write(reinterpret_cast<const char *>(more.data()), long(more.size())));
    } else {
        done = std::remove(path.c_str()) == 0 || RemoveOpenTempFile(s, path);
    }
    if (!done) Line(s, "failed");
}

// A relative path joined to the scenario's folder as text, so that the
// library prints the folder as ShowPrinted takes it off again (Windows'
// own absolute paths would have the ".." resolved).
std::string Absolute(const Session &s, const std::string &path) {
    return fs::path(path).is_absolute() ? path : s.dir + "/" + path;
}

// mp4-add-audio SOURCE ADTS OUT, mp4-add-video SOURCE STREAM OUT RATE:
// Mp4AddAudio, Mp4AddVideo (null passes a null path), run in $TMP, where
// they keep their temporary files.
void AddStream(Session &s, const Args &a) {
    std::string paths[3];
    for (int i = 0; i < 3; ++i) paths[i] = Absolute(s, PathOf(s, a.at(i + 1)));
    const auto path = [&](int i) { return OrNull(a[i + 1], paths[i]); };
    fs::current_path(s.tmp);
    Line(s, F("= %d", Calling(s, [&] {
                  return a[0] == "mp4-add-audio" ? Mp4AddAudio(path(0), path(1), path(2))
                                                 : Mp4AddVideo(path(0), path(1), path(2), std::stof(a.at(4)));
              })));
    fs::current_path(s.dir);
}

// ---------------------------------------------------------------- scenarios

using Command = void (*)(Session &, const Args &);
const std::map<std::string, Command> kCommands = {{"open", Open},
                                                  {"close", Close},
                                                  {"free-data", FreeData},
                                                  {"get-sample", Sample},
                                                  {"seek", Sample},
                                                  {"next-sample", Sample},
                                                  {"next-key", Sample},
                                                  {"prev-key", Sample},
                                                  {"begin-key", KeyEnd},
                                                  {"end-key", KeyEnd},
                                                  {"cursor", SetCursor},
                                                  {"internal-next", InternalNext},
                                                  {"index", Index},
                                                  {"find-key", FindKey},
                                                  {"m4v-esds", Esds},
                                                  {"m4a-esds", Esds},
                                                  {"file-info", FileInfoOf},
                                                  {"m4v-header", M4vHeader},
                                                  {"vol-header", VolHeader},
                                                  {"bits", Bits},
                                                  {"atoms", Atoms},
                                                  {"validate", Validate},
                                                  {"catalogue", Catalogue},
                                                  {"new", New},
                                                  {"create-track", CreateTrackOf},
                                                  {"add-video", AddFrames},
                                                  {"add-audio", AddFrames},
                                                  {"added", Added},
                                                  {"read-all", ReadAll},
                                                  {"flush", Flush},
                                                  {"totals", Totals},
                                                  {"brand", Brand},
                                                  {"mp4-add-audio", AddStream},
                                                  {"mp4-add-video", AddStream},
                                                  {"dump", Dump},
                                                  {"exists", Exists},
                                                  {"grow", Files},
                                                  {"patch", Files},
                                                  {"truncate", Files},
                                                  {"append", Files},
                                                  {"remove", Files}};

// A line as the text around its numbers and the numbers.
std::pair<std::string, std::vector<std::string>> ShapeOf(const std::string &line) {
    std::pair<std::string, std::vector<std::string>> shape;
    for (size_t i = 0; i < line.size();) {
        const size_t end = line.find_first_not_of("0123456789", i);
        if (std::isdigit(static_cast<unsigned char>(line[i])) && end != i) {
            shape.second.push_back(line.substr(i, end - i));
            shape.first += '#';
            i = end == std::string::npos ? line.size() : end;
        } else {
            shape.first += line[i++];
        }
    }
    return shape;
}

// Whether line b is line a again, or line a with one number, the same one
// as before, one higher; `which` keeps which of the two a run is.
bool Follows(const std::string &a, const std::string &b, size_t *which) {
    constexpr size_t kSame = SIZE_MAX - 1;
    if (a == b && (*which == SIZE_MAX || *which == kSame)) return *which = kSame, true;
    const auto sa = ShapeOf(a), sb = ShapeOf(b);
    if (sa.first != sb.first) return false;
    size_t differing = 0, at = 0;
    for (size_t i = 0; i < sa.second.size(); ++i)
        if (sa.second[i] != sb.second[i]) ++differing, at = i;
    if (differing != 1 || (*which != SIZE_MAX && *which != at) || sa.second[at].size() > 9 ||
        sb.second[at].size() > 9 || std::stol(sb.second[at]) != std::stol(sa.second[at]) + 1)
        return false;
    *which = at;
    return true;
}

std::string Collapsed(const std::string &transcript) {
    std::vector<std::string> lines;
    std::istringstream in(transcript);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string out;
    for (size_t i = 0; i < lines.size();) {
        size_t j = i, which = SIZE_MAX;
        while (j + 1 < lines.size() && Follows(lines[j], lines[j + 1], &which)) ++j;
        if (j - i + 1 >= 4) {
            const size_t indent = lines[i].find_first_not_of(' ');
            out += lines[i] + "\n" + std::string(indent, ' ') + F("... %zu more like it\n", j - i - 1) +
                   lines[j] + "\n";
        } else {
            for (size_t k = i; k <= j; ++k) out += lines[k] + "\n";
        }
        i = j + 1;
    }
    return out;
}

// A fresh directory for $TMP: under $TMPDIR (else /tmp), or on Windows in
// the user's temporary folder.
std::string FreshDirectory() {
#if defined(_WIN32)
    static unsigned count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path dir = fs::temp_directory_path() / ("scenario-" + std::to_string(GetCurrentProcessId()) +
                                                          "-" + std::to_string(++count));
        std::error_code e;
        if (fs::create_directory(dir, e)) return dir.string();
    }
    return "/nonexistent";
#else
    std::string base =
        (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/scenario-XXXXXX");
    return mkdtemp(base.data()) ? base : "/nonexistent";
#endif
}

std::string RunScenario(const fs::path &scenario) {
    Session s;
    s.tmp = FreshDirectory();
    const fs::path before = fs::current_path();
    s.dir = scenario.parent_path().string();
    fs::current_path(s.dir);
    InitSampleBuffer(&s.buffer);
    std::ifstream in(scenario);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            s.transcript += line + "\n";
            continue;
        }
        s.transcript += "> " + line + "\n";
        std::istringstream words(line);
        Args a;
        for (std::string word; words >> word;) a.push_back(Unescaped(word));
        const auto command = kCommands.find(a[0]);
        try {
            if (command == kCommands.end()) throw std::runtime_error("unknown command");
            command->second(s, a);
        } catch (const std::exception &e) {
            Line(s, std::string("runner: ") + e.what());
        }
    }
    Capture([&] { MP4FileFlush(s.writer); });
    CloseReader(s);
    ReleaseSampleBuffer(&s.buffer);
    fs::current_path(before);
    fs::remove_all(s.tmp);
    return Collapsed(s.transcript);
}

std::string ReadText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Options {
    bool update = false;
    fs::path actual;  // --actual DIR
};

// Compares (or with `update` rewrites) the expected transcript; false on a difference.
bool Check(const fs::path &scenario, const Options &options) {
    const fs::path expected = fs::path(scenario).replace_extension(".out");
    const std::string actual = RunScenario(scenario);
    if (actual == ReadText(expected)) return std::cout << "ok       " << scenario.string() << "\n", true;
    if (options.update) {
        std::ofstream(expected, std::ios::binary) << actual;
        return std::cout << "updated  " << expected.string() << "\n", true;
    }
    if (!options.actual.empty()) {
        const fs::path kept = options.actual / scenario.parent_path().filename() / expected.filename();
        fs::create_directories(kept.parent_path());
        std::ofstream(kept, std::ios::binary) << actual;
        return std::cout << "DIFFERS  " << scenario.string() << "\n", false;
    }
    const fs::path got = fs::temp_directory_path() / ("scenario-" + std::to_string(getpid()) + ".out");
    std::ofstream(got, std::ios::binary) << actual;
    std::cout << "DIFFERS  " << scenario.string() << "\n" << std::flush;
    std::system(("diff -u --label expected --label actual '" + expected.string() + "' '" + got.string() + "'")
                    .c_str());
    fs::remove(got);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
    AddVectoredExceptionHandler(1, SeeDebuggerOutput);
#endif
    Options options;
    fs::path debuggerLog;
    std::vector<fs::path> scenarios;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--actual" || option == "--debugger-log") && i + 1 < argc) {
            (option == "--actual" ? options.actual : debuggerLog) = fs::absolute(argv[++i]);
            continue;
        }
        const fs::path arg = fs::absolute(argv[i]);
        if (option == "--update")
            options.update = true;
        else if (fs::is_directory(arg))
            for (const auto &entry : fs::directory_iterator(arg))
                if (entry.path().extension() == ".scn") scenarios.push_back(entry.path());
        if (arg.extension() == ".scn") scenarios.push_back(arg);
    }
    std::sort(scenarios.begin(), scenarios.end());
    if (scenarios.empty())
        return std::cerr << "usage: scenario_runner [--update] [--actual DIR] [--debugger-log FILE] "
                            "DIR|FILE.scn ...\n",
               2;
    size_t differing = 0;
    for (const fs::path &scenario : scenarios) differing += !Check(scenario, options);
    std::cout << differing << " of " << scenarios.size() << " scenarios differ\n";
#if defined(_WIN32)
    if (!debuggerLog.empty()) std::ofstream(debuggerLog, std::ios::binary) << debugger.log;
#endif
    return differing ? 1 : 0;
}
