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

// Every file the library opens goes through these two, which behave as
// Windows' fopen with "rb" and "wb" does on every platform:
// - a directory is refused (null, errno EISDIR);
// - opening never waits: a FIFO without a writer opens for reading and reads
//   as empty, and one without a reader is refused for writing (ENXIO);
// - the descriptor is not inherited by programs the host starts.
// Character devices open as they are; /dev/null and /dev/zero have size 0.
FILE *OpenFileForReading(const char *path);
FILE *OpenFileForWriting(const char *path);

// Whether anything (a file, a directory, a device, a dangling link) stands
// at `path`; also true when that cannot be told (a folder that cannot be
// searched).  Cleanup code asks this before a call creates a file, so that
// it removes only what the call itself created.
bool PathExists(const char *path);

// Removes `path` when it names a regular file, whose whole content the
// library wrote after opening it with OpenFileForWriting; anything else (a
// device such as /dev/null, a FIFO, a directory, a symbolic link) is left
// where it is.  True when a file was removed.
bool RemoveRegularFile(const char *path);

#endif
