// The reusable sample buffer of the internal readers.  Its allocation
// messages go to the debugger output, not to standard output, because the
// buffer is also used by callers that keep standard output for themselves.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/read.h"

namespace {

constexpr uint32_t kInitialBytes = 11;
constexpr uint32_t kSpareBytes = 10;

}  // namespace

int32_t InitSampleBuffer(SampleBuffer *buffer) {
    if (buffer == nullptr) return -92;
    buffer->data = static_cast<uint8_t *>(std::calloc(kInitialBytes, 1));
    if (buffer->data == nullptr) {
        buffer->capacity = 0;
        DebugOutput("alloc failed\n");
        return -92;
    }
    buffer->capacity = kInitialBytes;
    return 1;
}

int32_t GrowSampleBuffer(SampleBuffer *buffer, uint32_t n) {
    if (buffer == nullptr || buffer->data == nullptr || n > UINT32_MAX - kSpareBytes) {
        DebugOutput("realloc failed\n");
        return -91;
    }
    void *grown = std::realloc(buffer->data, size_t(n) + kSpareBytes);
    if (grown == nullptr) {
        // The old block is still valid and still owned by the buffer.
        DebugOutput("realloc failed\n");
        return -91;
    }
    buffer->data = static_cast<uint8_t *>(grown);
    buffer->capacity = n + kSpareBytes;
    return 1;
}

int32_t ReleaseSampleBuffer(SampleBuffer *buffer) {
    if (buffer == nullptr) return 1;
    std::free(buffer->data);
    buffer->data = nullptr;
    buffer->capacity = 0;
    return 1;
}
