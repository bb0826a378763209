// The few things that differ between Windows and the other platforms.
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include <cstddef>
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

// Zero-filled memory straight from the system, for large arrays most of
// whose pages are never written: a page costs memory only once written, and
// nothing is cleared or marked page by page when the block is taken or given
// back.  Null when it cannot be had.  Released with FreeZeroedPages and the
// same size.
void *AllocZeroedPages(size_t bytes);
void FreeZeroedPages(void *block, size_t bytes);

// Size of an open stream (seeks to its end and leaves it there).
// Returns -1 when the size cannot be taken.
int64_t StreamSizeAtEnd(FILE *file);

// A stream's position in 64 bits: -1 when it cannot be taken; false when
// the stream cannot be placed there.
int64_t StreamPosition(FILE *file);
bool SetStreamPosition(FILE *file, uint64_t position);

// Every file the library opens goes through these two, which behave as
// Windows' fopen with "rb" and "wb" does on every platform:
// - a directory is refused (null, errno EISDIR);
// - opening never waits: a FIFO without a writer opens for reading and reads
//   as empty, and one without a reader is refused for writing (ENXIO);
// - the descriptor is not inherited by programs the host starts.
// Character devices open as they are; /dev/null and /dev/zero have size 0.
FILE *OpenFileForReading(const char *path);
FILE *OpenFileForWriting(const char *path);

// Appends `count` bytes of `in`, from its current position, to `out` after
// what has been written to it, and leaves `out` positioned after them.  On
// Linux the kernel copies between the files (copy_file_range, else
// sendfile), so the bytes do not pass through the process; elsewhere, or
// when the kernel refuses (files on different file systems, an output that
// is a pipe), they go through `buffer` in pieces of `bufferBytes`, each
// cleared before it is read into.  Bytes that `in` no longer holds (it
// became shorter) are written as zeros.  The writes' results are not
// looked at, as with the plain writes of the rest of the output.
void AppendFileBytes(FILE *out, FILE *in, uint64_t count, uint8_t *buffer, size_t bufferBytes);

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
