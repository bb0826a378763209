// Helpers of the interop tests: what ffprobe, ffmpeg and the corvane tool
// make of a file, elementary streams split into frames, a reader handle
// closed at the end of the scope, and a working directory of the test's own.
#ifndef CORVANE_TEST_INTEROP_H
#define CORVANE_TEST_INTEROP_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "corvane2.h"
#include "read/read.h"
#include "support/bytes.h"

// Skips the calling test when ffprobe or ffmpeg is missing.
#define SKIP_WITHOUT_FFMPEG() \
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe or ffmpeg missing"

// ffprobe's records for ARGS ("-of compact": one a line, key=value pairs).
using Record = std::map<std::string, std::string>;
std::vector<Record> ProbeRecords(const std::string &args);
// The fields of the first stream of a kind ("v", "a"), data fields as hex
// dumps; none without such a stream.
Record ProbeStream(const std::string &path, const std::string &kind, const std::string &fields);

// The packets of the first stream of a kind, as ffprobe lists them (an
// elementary stream read as `format`, "-f m4v") or as `corvane samples
// --json` does (track "video", "audio"); decoding times from the first
// packet's.  Packets of two files are equal when their times and sizes are.
struct Packet {
    long long dts = 0, size = 0, pos = 0;
    bool key = false;
    bool operator==(const Packet &o) const { return dts == o.dts && size == o.size; }
};
std::vector<Packet> ProbePackets(const std::string &path, const std::string &kind,
                                 const std::string &format = "");
std::vector<Packet> ToolPackets(const std::string &path, const std::string &track);

// What ffmpeg prints while decoding the mapped streams (nothing, for a good file).
std::string DecodeErrors(const std::string &path, const std::string &maps);
// `corvane ARGS`, standard error discarded.
std::string Corvane(const std::string &args, int *status = nullptr);

// Elementary streams as frames.  MPEG-4 Visual: the configuration is
// everything before the first frame, a frame starts at a VOP start code (or
// the group-of-VOP header just before it), an I-VOP is a key frame.  ADTS:
// the frames without their headers, and the first header's fields.  H.263:
// a frame starts at a picture start code.
struct StreamFrame {
    Bytes bytes;
    bool key = false;
};
struct Stream {
    Bytes config;
    uint32_t objectType = 0, sampleRate = 0, channels = 0;
    std::vector<StreamFrame> frames;
};
Stream SplitM4v(const Bytes &data);
Stream SplitAdts(const Bytes &data);
Stream SplitH263(const Bytes &data);

// Runs `call` and returns what it printed on standard output.
template <typename F>
std::string Printed(F call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

struct OpenedFile {
    explicit OpenedFile(const std::string &path) {
        Printed([&] { result = MP4FileOpen(&handle, path.c_str()); });
    }
    ~OpenedFile() {
        MP4FileClose(&handle);
        std::free(handle);
    }
    OpenedFile(const OpenedFile &) = delete;
    OpenedFile &operator=(const OpenedFile &) = delete;
    MP4_read_file *handle = nullptr;
    int32_t result = 0;
};

// The test's scratch folder as the working directory for the scope: the
// remultiplexing operations keep their temporary files there.
struct InTempDir {
    InTempDir() : previous(std::filesystem::current_path()) { std::filesystem::current_path(TempDir()); }
    ~InTempDir() { std::filesystem::current_path(previous); }
    std::filesystem::path previous;
};

#endif
