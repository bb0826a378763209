// The few things that differ between Windows and the other platforms.
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include <cstdint>
#include <cstdio>

// The debugger output: OutputDebugStringA on Windows; elsewhere the same
// text goes, unbuffered, to standard error.
void DebugOutput(const char *text);

// printf-style formatting onto the debugger output.
void DebugPrintf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Size of an open stream (seeks to its end and leaves it there).
// Returns -1 when the size cannot be taken.
int64_t StreamSizeAtEnd(FILE *file);

#endif
