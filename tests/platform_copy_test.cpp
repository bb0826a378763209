// AppendFileBytes: the flush's copy of a temporary file into the output, by
// the kernel or through a buffer, gives the same bytes either way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::string Content(FILE *file) {
    std::fflush(file);
    std::string bytes;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) bytes += char(c);
    return bytes;
}

FILE *FileHolding(const std::string &bytes) {
    FILE *file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

// A pipe's read end holding `bytes` (the writer closed): no kernel copy
// from it, the copy goes through the buffer.
FILE *PipeHolding(const std::string &bytes) {
    int ends[2];
    if (pipe(ends) != 0) return nullptr;
    (void)!write(ends[1], bytes.data(), bytes.size());
    close(ends[1]);
    return fdopen(ends[0], "rb");
}

TEST(AppendFileBytes, SameBytesByKernelOrBuffer) {
    const std::string media(60000, 'm');  // less than a pipe holds
    const struct {
        const char *name;
        bool pipe;
        long skip;          // input position at the call
        uint64_t count;
        std::string copied;  // what lands between "head" and "tail"
    } cases[] = {
        {"whole file", false, 0, media.size(), media},
        {"from its position", false, 1000, media.size() - 1000, media.substr(1000)},
        {"file shorter than counted", false, 0, media.size() + 5, media + std::string(5, '\0')},
        {"from a pipe", true, 0, media.size(), media},
        {"pipe shorter than counted", true, 0, media.size() + 3, media + std::string(3, '\0')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FILE *in = c.pipe ? PipeHolding(media) : FileHolding(media);
        ASSERT_NE(in, nullptr);
        if (c.skip) std::fseek(in, c.skip, SEEK_SET);
        FILE *out = std::tmpfile();
        std::fputs("head", out);  // still in the stream's buffer
        std::vector<uint8_t> buffer(7);
        AppendFileBytes(out, in, c.count, buffer.data(), buffer.size());
        std::fputs("tail", out);
        EXPECT_EQ(Content(out), "head" + c.copied + "tail");
        std::fclose(in);
        std::fclose(out);
    }
}

}  // namespace
