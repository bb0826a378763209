// Helpers of the reading-side tests: a reader handle closed and released at
// the end of the scope (keeping what the open printed), captured output,
// the corvane tool and ffprobe's records.
#ifndef CORVANE_TEST_READ_HANDLE_H
#define CORVANE_TEST_READ_HANDLE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corvane2.h"
#include "read/read.h"
#include "support/bytes.h"

struct OpenedFile {
    explicit OpenedFile(const std::string &path) {
        testing::internal::CaptureStdout();
        result = MP4FileOpen(&handle, path.c_str());
        output = testing::internal::GetCapturedStdout();
    }
    ~OpenedFile() {
        MP4FileClose(&handle);
        std::free(handle);
    }
    OpenedFile(const OpenedFile &) = delete;
    OpenedFile &operator=(const OpenedFile &) = delete;

    ReadTrack *Track(int id) const { return handle->tracks[id]; }

    MP4_read_file *handle = nullptr;
    int32_t result = 0;
    std::string output;
};

// Runs `call` and returns what it printed on standard output.
template <typename F>
std::string Printed(F call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

// `corvane ARGS` with standard error sent where `redirect` says.
inline std::string Corvane(const std::string &args, int *status = nullptr,
                           const std::string &redirect = "2>/dev/null") {
    return RunCommand(std::string("'") + CORVANE_TOOL_PATH + "' " + args + " " + redirect, status);
}

using Record = std::map<std::string, std::string>;

// ffprobe's records for ARGS: one line of key=value pairs separated by '|'.
inline std::vector<Record> ProbeRecords(const std::string &args) {
    std::vector<Record> records;
    std::istringstream lines(RunCommand("ffprobe -v error " + args + " -of compact=p=0"));
    for (std::string line; std::getline(lines, line);) {
        Record record;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            const size_t eq = field.find('=');
            if (eq != std::string::npos) record[field.substr(0, eq)] = field.substr(eq + 1);
        }
        if (!record.empty()) records.push_back(record);  // side data leaves blank lines
    }
    return records;
}

#endif
