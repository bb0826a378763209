// Helpers shared by the libFuzzer targets: a private scratch directory, input
// bytes turned into files, and the library's chatter kept off the terminal.
#ifndef CORVANE_FUZZ_SUPPORT_H
#define CORVANE_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Sends standard output to /dev/null: the reader prints hundreds of lines per
// open, which would swamp libFuzzer's own report on standard error.  Kept
// when CORVANE_FUZZ_VERBOSE is set, to see what the library said about an
// input.
void SilenceStdout();

// A directory of this process's own, made on first use.
const std::string &ScratchDir();

// Writes the bytes to ScratchDir()/name and returns the path.
std::string WriteScratch(const std::string &name, const uint8_t *data, size_t size);

// Splits the input into parts at a separator, so that one input can carry
// several files.  Missing parts are empty.
struct Parts {
    const uint8_t *data[4];
    size_t size[4];
};
Parts SplitInput(const uint8_t *data, size_t size, size_t count);

// A file the library wrote, without the access units that follow its mdat
// box (outside any box, where the reader's top-level scan refuses them): the
// path of a copy holding only the boxes, or the path itself when there is
// nothing to cut or the copy cannot be made.
std::string MediaPartOf(const std::string &path);

}  // namespace fuzz

#endif
