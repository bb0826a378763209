// Fuzz target: GetFileInfo on an arbitrary file.  Besides the reader, this
// walks the esds parsers (ParseVideoEsds, ParseAudioEsds), the video object
// layer parser and the MPEG audio branch, which reads the first audio sample.
#include <cstdint>
#include <cstring>

#include "corvane2.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::WriteScratch("input.mp4", data, size);
    FileInfo info;
    std::memset(&info, 0xA5, sizeof info);
    const int32_t result = GetFileInfo(path.c_str(), &info);
    // Every failure after the record was cleared leaves it cleared.
    if (result == -21) {
        static const FileInfo kCleared{};
        if (std::memcmp(&info, &kCleared, sizeof info) != 0) __builtin_trap();
    }
    if (result != 1 && result != -21) __builtin_trap();  // the file exists, the record too
    return 0;
}
