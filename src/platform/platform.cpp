#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

void DebugOutput(const char *text) {
    if (text == nullptr) return;
#if defined(_WIN32)
    OutputDebugStringA(text);
#else
    // Standard error is unbuffered, so the text appears at once and in order
    // with the other diagnostics written there.
    std::fputs(text, stderr);
#endif
}

void DebugPrintf(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    DebugOutput(text);
}

int64_t StreamSizeAtEnd(FILE *file) {
    if (file == nullptr) return -1;
#if defined(_WIN32)
    if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
    return _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(ftello(file));
#endif
}
