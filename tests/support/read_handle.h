// Opening files with the reader in tests: the handle is closed and its block
// released at the end of the scope, and what the open printed is kept.
#ifndef CORVANE_TEST_READ_HANDLE_H
#define CORVANE_TEST_READ_HANDLE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "corvane2.h"
#include "read/read.h"

struct OpenedFile {
    explicit OpenedFile(const std::string &path) : OpenedFile(path.c_str()) {}
    explicit OpenedFile(const char *path) {
        testing::internal::CaptureStdout();
        result = MP4FileOpen(&handle, path);
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

#endif
