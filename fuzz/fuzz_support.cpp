#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fuzz {

void SilenceStdout() {
    if (std::getenv("CORVANE_FUZZ_VERBOSE") != nullptr) return;  // when reproducing a finding
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("freopen stdout");
}

const std::string &ScratchDir() {
    // Never destroyed, so that the exit handler can still read it.
    static const std::string &dir = *new std::string([] {
        // Memory-backed when the system has it: a disk stalled by other work
        // would otherwise turn into spurious one-second timeouts.
        const char *base = std::getenv("TMPDIR");
        if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/corvane-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchDir(), ignored);
        });
        return pattern;
    }());
    return dir;
}

std::string WriteScratch(const std::string &name, const uint8_t *data, size_t size) {
    const std::string path = ScratchDir() + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    return path;
}

Parts SplitInput(const uint8_t *data, size_t size, size_t count) {
    // Parts are separated by the eight bytes "--next--"; libFuzzer's
    // dictionary learns it quickly, and a seed shows the shape.
    static const char kSeparator[] = "--next--";
    constexpr size_t kSeparatorSize = sizeof kSeparator - 1;
    Parts parts{};
    size_t part = 0;
    size_t start = 0;
    for (size_t i = 0; part + 1 < count && i + kSeparatorSize <= size; ++i) {
        if (std::memcmp(data + i, kSeparator, kSeparatorSize) != 0) continue;
        parts.data[part] = data + start;
        parts.size[part] = i - start;
        ++part;
        i += kSeparatorSize - 1;
        start = i + 1;
    }
    parts.data[part] = data + start;
    parts.size[part] = size - start;
    for (size_t i = part + 1; i < count; ++i) parts.data[i] = data + size;
    return parts;
}

std::string MediaPartOf(const std::string &path) {
    FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return path;
    std::vector<uint8_t> bytes;
    uint8_t piece[4096];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, in)) > 0) bytes.insert(bytes.end(), piece, piece + n);
    std::fclose(in);
    size_t end = 0;
    while (end + 8 <= bytes.size()) {
        const uint32_t size = uint32_t(bytes[end]) << 24 | uint32_t(bytes[end + 1]) << 16 |
                              uint32_t(bytes[end + 2]) << 8 | bytes[end + 3];
        if (size < 8 || end + size > bytes.size()) break;
        end += size;
    }
    if (end == bytes.size() || end == 0) return path;
    const std::string media = path + ".media.mp4";
    FILE *out = std::fopen(media.c_str(), "wb");
    if (out == nullptr) return path;
    std::fwrite(bytes.data(), 1, end, out);
    std::fclose(out);
    return media;
}

}  // namespace fuzz
