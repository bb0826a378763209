#include "support/bytes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

std::string TempDir() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "misc";
    for (char &c : name)
        if (c == '/') c = '_';
    const char *base = std::getenv("TMPDIR");
    std::string dir =
        std::string(base ? base : "/tmp") + "/corvane-test-" + std::to_string(getpid()) + "-" + name;
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::string WriteTemp(const std::string &name, const Bytes &bytes) {
    const std::string path = TempDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

Bytes ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string Fixture(const std::string &name) { return std::string(CORVANE_TEST_DATA) + "/" + name; }

std::string RunCommand(const std::string &command, int *status) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = pclose(pipe);
    if (status) *status = rc;
    return out;
}

bool HaveTool(const std::string &name) {
    int status = 0;
    RunCommand("command -v " + name + " >/dev/null 2>&1", &status);
    return status == 0;
}
