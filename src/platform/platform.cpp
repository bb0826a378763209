#include "platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif
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

void *AllocZeroedPages(size_t bytes) {
    if (bytes == 0) return nullptr;
#if defined(_WIN32)
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
#endif
}

void FreeZeroedPages(void *block, size_t bytes) {
    if (block == nullptr) return;
#if defined(_WIN32)
    (void)bytes;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, bytes);
#endif
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

int64_t StreamPosition(FILE *file) {
    if (file == nullptr) return -1;
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

bool SetStreamPosition(FILE *file, uint64_t position) {
    if (file == nullptr || position > uint64_t(INT64_MAX)) return false;
#if defined(_WIN32)
    return _fseeki64(file, static_cast<int64_t>(position), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

namespace {

// The copy through the buffer: each piece cleared, read (a short read
// leaves zeros) and written whole.
void CopyThroughBuffer(FILE *out, FILE *in, uint64_t count, uint8_t *buffer, size_t bufferBytes) {
    for (uint64_t left = count; left > 0;) {
        const size_t n = left < bufferBytes ? size_t(left) : bufferBytes;
        std::memset(buffer, 0, n);
        (void)std::fread(buffer, 1, n, in);
        std::fwrite(buffer, 1, n, out);
        left -= n;
    }
}

#if defined(__linux__)

// Copies in the kernel from `*inAt` of `in` to `*outAt` of `out`, as far as
// it goes; returns the bytes copied (both positions moved past them).  It
// stops at the end of the input or when neither call is possible.
uint64_t CopyInKernel(int out, int in, off_t *outAt, off_t *inAt, uint64_t count) {
    // Pieces of at most 1 GiB: the calls take a size_t and may copy less.
    constexpr uint64_t kPiece = uint64_t(1) << 30;
    uint64_t copied = 0;
    bool rangeCopy = true;
    while (copied < count) {
        const size_t n = size_t(count - copied < kPiece ? count - copied : kPiece);
        ssize_t got = -1;
        if (rangeCopy) {
            got = copy_file_range(in, inAt, out, outAt, n, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) rangeCopy = false;  // e.g. EXDEV, ENOSYS, EINVAL: try sendfile
        }
        if (!rangeCopy) {
            // sendfile writes at the output's own offset.
            if (lseek(out, *outAt, SEEK_SET) != *outAt) break;
            got = sendfile(out, in, inAt, n);
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) *outAt += got;
        }
        if (got <= 0) break;
        copied += uint64_t(got);
    }
    return copied;
}

#endif

}  // namespace

void AppendFileBytes(FILE *out, FILE *in, uint64_t count, uint8_t *buffer, size_t bufferBytes) {
    if (out == nullptr || in == nullptr || count == 0) return;
    uint64_t copied = 0;
#if defined(__linux__)
    // The output's buffered bytes go out first; both streams are then
    // placed where the kernel copy ended (the streams' own idea of their
    // positions is set anew by the seeks).
    off_t outAt = -1, inAt = -1;
    if (std::fflush(out) == 0 && (outAt = lseek(fileno(out), 0, SEEK_CUR)) >= 0 &&
        (inAt = ftello(in)) >= 0) {
        copied = CopyInKernel(fileno(out), fileno(in), &outAt, &inAt, count);
        if (copied > 0 && (fseeko(out, outAt, SEEK_SET) != 0 || fseeko(in, inAt, SEEK_SET) != 0))
            return;
    }
#endif
    if (copied < count && buffer != nullptr && bufferBytes > 0)
        CopyThroughBuffer(out, in, count - copied, buffer, bufferBytes);
}

#if defined(_WIN32)

FILE *OpenFileForReading(const char *path) { return path ? std::fopen(path, "rb") : nullptr; }
FILE *OpenFileForWriting(const char *path) { return path ? std::fopen(path, "wb") : nullptr; }

bool RemoveRegularFile(const char *path) {
    if (path == nullptr) return false;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    return std::remove(path) == 0;
}

bool PathExists(const char *path) {
    if (path == nullptr) return false;
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

#else

namespace {

// A stream over an open descriptor, or null (the descriptor closed) when it
// names a directory or the stream cannot be made.
FILE *StreamOver(int fd, const char *mode) {
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    FILE *file = fdopen(fd, mode);
    if (file == nullptr) close(fd);
    return file;
}

}  // namespace

// Non-blocking, so that a FIFO without a writer neither blocks the open nor
// a read (a read then finds no bytes, as at the end of a file).  On a
// regular file or a device the flag changes nothing.
FILE *OpenFileForReading(const char *path) {
    if (path == nullptr) return nullptr;
    return StreamOver(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), "rb");
}

// Opened non-blocking, so that a FIFO without a reader fails (ENXIO) instead
// of waiting for one; the writes themselves block as usual.  A directory
// cannot be opened for writing at all (EISDIR).
FILE *OpenFileForWriting(const char *path) {
    if (path == nullptr) return nullptr;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return StreamOver(fd, "wb");
}

bool RemoveRegularFile(const char *path) {
    if (path == nullptr) return false;
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && std::remove(path) == 0;
}

bool PathExists(const char *path) {
    if (path == nullptr) return false;
    struct stat st {};
    if (lstat(path, &st) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

#endif
