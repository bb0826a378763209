#include "support/bytes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

Bytes U32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes U16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes Str(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes Zeros(size_t n) { return Bytes(n, 0); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes BoxWithSize(uint32_t size, const std::string &type, const Bytes &payload) {
    return Cat({U32(size), Str(type.substr(0, 4)), payload});
}

Bytes Box(const std::string &type, const Bytes &payload) {
    return BoxWithSize(uint32_t(8 + payload.size()), type, payload);
}

Bytes Box(const std::string &type, std::initializer_list<Bytes> payloadParts) {
    return Box(type, Cat(payloadParts));
}

Bytes FullBox(const std::string &type, uint32_t flags, const Bytes &payload) {
    return Box(type, Cat({U32(flags & 0x00FFFFFF), payload}));
}

Bytes EsdsBox(bool longEs, bool longInner, const Bytes &configHead, const Bytes &specific) {
    auto descriptor = [](uint8_t tag, bool longLength, const Bytes &payload) {
        return Cat({{tag}, longLength ? Bytes{0x80, 0x80, 0x80} : Bytes{}, {uint8_t(payload.size())}, payload});
    };
    const Bytes config = Cat({configHead, descriptor(5, longInner, specific)});
    const Bytes es = Cat({{0x00, 0x01, 0x00}, descriptor(4, longInner, config), descriptor(6, longInner, {0x02})});
    return FullBox("esds", 0, descriptor(3, longEs, es));
}

std::string TempDir() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "misc";
    for (char &c : name)
        if (c == '/') c = '_';
    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base ? base : "/tmp") + "/corvane-test-" +
                      std::to_string(getpid()) + "-" + name;
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
