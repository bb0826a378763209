// Fuzz target: the MPEG-4 Visual configuration header.  GetM4vHeaderSize on
// the input as an elementary stream file, and ParseVolHeader on a heap copy
// of exactly the input's bytes, so that any read past them is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "corvane2.h"
#include "fuzz_support.h"
#include "read/config.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::WriteScratch("input.m4v", data, size);
    uint32_t width = 0, height = 0;
    const int32_t total = GetM4vHeaderSize(path.c_str(), &width, &height);
    // Only the first 500 bytes are looked at, zeros where the file ends
    // before them: the header lies inside them (but may run past a short
    // file's end).
    if (total > int32_t(kM4vHeaderBufferBytes) || total == 0) __builtin_trap();

    auto *copy = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size > 0) std::memcpy(copy, data, size);
    uint32_t headerSize = 0;
    const int32_t parsed = ParseVolHeader(copy, uint32_t(size), &width, &height, &headerSize);
    if (parsed == kVolHeaderParsed && headerSize > size) __builtin_trap();
    ParseVolHeader(copy, uint32_t(size), nullptr, nullptr, nullptr);
    std::free(copy);
    return 0;
}
