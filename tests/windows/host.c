// A host program of Corvane2, written the way Windows hosts use the DLL: it
// loads the library at run time, looks every export up by name and calls it
// through its own __stdcall function-pointer types.  Only the records come
// from corvane2.h.  The same source builds for Windows (LoadLibraryA,
// GetProcAddress) and for Linux (dlopen, dlsym), so that a run against
// Corvane2.dll under Wine and one against libCorvane2.so can be compared
// file against file.
//
//   host <library> <calls> <results>
//
// It makes the calls of the file <calls> (host_calls.txt says how they are
// written), in the current directory.  Each call's line goes to <results>
// with what it answered and handed out: the result, sizes, times, picture
// sizes, the handle's fields, the records; the bytes of every block handed
// out go to <results>.bin.  The library's own diagnostics go to standard
// output and the debugger output as usual.  Exit status: 0 when every call
// was made (whatever the library answered), 77 when the library lacks an
// export, 1 when the library or a file cannot be loaded.
#include "corvane2.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define HOST_CALL __stdcall
#else
#include <dlfcn.h>
#define HOST_CALL
#endif

// The prototypes as a host declares them.
typedef int32_t(HOST_CALL *MP4FileOpen_t)(MP4_read_file **, const char *);
typedef int32_t(HOST_CALL *MP4FileClose_t)(MP4_read_file **);
typedef int32_t(HOST_CALL *GetSample_t)(MP4_read_file *, int32_t, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *SeekTrack_t)(MP4_read_file *, int32_t, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *MP4GetNextSample_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *, uint32_t *);
typedef int32_t(HOST_CALL *MP4NextKeyFrame_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *MP4PrevKeyFrame_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *GoToBeginOfKeyFrame_t)(MP4_read_file *, int32_t);
typedef int32_t(HOST_CALL *GoToEndOfKeyFrame_t)(MP4_read_file *, int32_t);
typedef int32_t(HOST_CALL *MP4freeData_t)(uint8_t **);
typedef int32_t(HOST_CALL *GetFileInfo_t)(const char *, FileInfo *);
typedef int32_t(HOST_CALL *GetM4vEsdsData_t)(MP4_read_file *, uint8_t *, uint32_t *, uint32_t *, uint32_t *);
typedef int32_t(HOST_CALL *GetM4aEsdsData_t)(MP4_read_file *, uint8_t *, uint32_t *);
typedef int32_t(HOST_CALL *GetM4vHeaderSize_t)(const char *, uint32_t *, uint32_t *);
typedef int32_t(HOST_CALL *MP4FileNew_t)(MP4_local_file **, const char *);
typedef int32_t(HOST_CALL *CreateTrack_t)(MP4_local_file *, uint32_t, uint16_t, uint16_t, uint16_t, uint32_t,
                                           uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t *,
                                           const char *, uint32_t);
typedef int32_t(HOST_CALL *AddVideoFrame_t)(MP4_local_file *, uint32_t, const uint8_t *, uint32_t, int32_t);
typedef int32_t(HOST_CALL *AddAudioFrame_t)(MP4_local_file *, uint32_t, const uint8_t *, uint32_t);
typedef int32_t(HOST_CALL *MP4FileFlush_t)(MP4_local_file *);
typedef int32_t(HOST_CALL *Mp4AddAudio_t)(const char *, const char *, const char *);
typedef int32_t(HOST_CALL *Mp4AddVideo_t)(const char *, const char *, const char *, float);

// Every export with the argument bytes of its 32-bit decorated name.
#define EXPORTS(X)                                                                                           \
    X(MP4FileOpen, 8) X(MP4FileClose, 4) X(GetSample, 20) X(SeekTrack, 20) X(MP4GetNextSample, 20)          \
    X(MP4NextKeyFrame, 16) X(MP4PrevKeyFrame, 16) X(GoToBeginOfKeyFrame, 8) X(GoToEndOfKeyFrame, 8)          \
    X(MP4freeData, 4) X(GetFileInfo, 8) X(GetM4vEsdsData, 20) X(GetM4aEsdsData, 12) X(GetM4vHeaderSize, 12) \
    X(MP4FileNew, 8) X(CreateTrack, 56) X(AddVideoFrame, 20) X(AddAudioFrame, 16) X(MP4FileFlush, 4)        \
    X(Mp4AddAudio, 12) X(Mp4AddVideo, 16)

// The host's types must be the library's: checked against the header's
// declarations, where the calling convention is part of the type.
#if defined(__GNUC__)
#define SAME_TYPE(name, bytes) _Static_assert(__builtin_types_compatible_p(name##_t, __typeof__(&name)), #name);
EXPORTS(SAME_TYPE)
#endif

#define FIELD(name, bytes) name##_t name;
static struct { EXPORTS(FIELD) } lib;

// Looks an export up by its name (decorated for 32-bit Windows); counts it
// in `missing` when it is not there.
static void *Find(void *module, const char *name, int bytes, int *missing) {
    char decorated[64];
    void *address;
#if defined(_WIN32) && !defined(_WIN64)
    snprintf(decorated, sizeof decorated, "_%s@%d", name, bytes);
#else
    snprintf(decorated, sizeof decorated, "%s", name);
    (void)bytes;
#endif
#if defined(_WIN32)
    FARPROC proc = GetProcAddress((HMODULE)module, decorated);
    memcpy(&address, &proc, sizeof address);
#else
    address = dlsym(module, decorated);
#endif
    if (address == NULL) fprintf(stderr, "missing export %s\n", decorated);
    *missing += address == NULL;
    return address;
}

static FILE *results, *blocks;
static MP4_read_file *reader;
static MP4_local_file *writer;

// A block handed out: its bytes are kept, and it goes back to the library.
static void Keep(uint8_t **block, uint32_t size) {
    if (*block != NULL) fwrite(*block, 1, size, blocks);
    lib.MP4freeData(block);
}

// "FILE:OFFSET:SIZE": those bytes of a file; "-": none.
static const uint8_t *Bytes(const char *arg, uint32_t *size) {
    static uint8_t bytes[1 << 16];
    char path[256];
    unsigned long offset = 0, count = 0;
    FILE *file;
    *size = 0;
    if (sscanf(arg, "%255[^:]:%lu:%lu", path, &offset, &count) != 3 || count > sizeof bytes) return NULL;
    file = fopen(path, "rb");
    if (file != NULL && fseek(file, (long)offset, SEEK_SET) == 0) *size = (uint32_t)fread(bytes, 1, count, file);
    if (file != NULL) fclose(file);
    return bytes;
}

// Makes one call with its arguments `a` and writes what it gave; returns
// its result.
static int32_t Call(char **a) {
    const char *name = a[0];
    uint8_t buffer[4096] = {0}, *block = NULL;
    uint32_t size = 0, time = 0, width = 0, height = 0, header = 0, i;
    int32_t rc = -1000;
    MP4_local_file *file = a[1] != NULL && strcmp(a[1], "null") == 0 ? NULL : writer;
    FileInfo info;
    const uint8_t *bytes;
    if (!strcmp(name, "MP4FileOpen")) {
        rc = lib.MP4FileOpen(&reader, a[1]);
        if (reader != NULL)
            fprintf(results, " tracks %d %d video %u %u %u %u %u audio %u %u %u %u %u", reader->videoTrackId,
                    reader->audioTrackId, reader->videoInfo.width, reader->videoInfo.height,
                    reader->videoInfo.sampleCount, reader->videoInfo.timescale, reader->videoInfo.duration,
                    reader->audioInfo.dataReferenceIndex, reader->audioInfo.timescale, reader->audioInfo.duration,
                    reader->audioInfo.sampleCount, reader->audioInfo.sampleSize);
    } else if (!strcmp(name, "MP4FileClose")) {
        MP4_read_file *handle = reader;  // the handle block is the caller's to free
        rc = lib.MP4FileClose(&reader);
        free(handle);
    } else if (!strcmp(name, "MP4GetNextSample")) {
        rc = lib.MP4GetNextSample(reader, atoi(a[1]), &block, &size, &time);
    } else if (!strcmp(name, "MP4NextKeyFrame") || !strcmp(name, "MP4PrevKeyFrame")) {
        rc = (name[3] == 'N' ? lib.MP4NextKeyFrame : lib.MP4PrevKeyFrame)(reader, atoi(a[1]), &block, &size);
    } else if (!strcmp(name, "GetSample") || !strcmp(name, "SeekTrack")) {
        rc = (name[0] == 'G' ? lib.GetSample : lib.SeekTrack)(reader, atoi(a[1]), atoi(a[2]), &block, &size);
    } else if (!strcmp(name, "GoToBeginOfKeyFrame") || !strcmp(name, "GoToEndOfKeyFrame")) {
        rc = (name[4] == 'B' ? lib.GoToBeginOfKeyFrame : lib.GoToEndOfKeyFrame)(reader, atoi(a[1]));
    } else if (!strcmp(name, "GetM4vEsdsData")) {
        rc = lib.GetM4vEsdsData(reader, buffer, &width, &height, &header);
        fwrite(buffer, 1, header < sizeof buffer ? header : sizeof buffer, blocks);
    } else if (!strcmp(name, "GetM4aEsdsData")) {
        rc = lib.GetM4aEsdsData(reader, buffer, &size);
        fwrite(buffer, 1, size < 80 ? size : 80, blocks);  // the record holds 80 bytes
    } else if (!strcmp(name, "GetFileInfo")) {
        memset(&info, 0xA5, sizeof info);
        rc = lib.GetFileInfo(a[1], &info);
        for (i = 0; i < sizeof info / sizeof(uint32_t); ++i) fprintf(results, " %u", ((const uint32_t *)&info)[i]);
    } else if (!strcmp(name, "GetM4vHeaderSize")) {
        rc = lib.GetM4vHeaderSize(a[1], &width, &height);
    } else if (!strcmp(name, "MP4FileNew")) {
        rc = lib.MP4FileNew(&writer, a[1]);
    } else if (!strcmp(name, "CreateTrack")) {
        // The writer keeps the temporary file's name, not a copy, until the
        // flush: it must outlive this line.
        static char temps[8][64];
        static int used;
        uint32_t n[9];
        char *temp = strcmp(a[12], "-") ? strncpy(temps[used++ % 8], a[12], 63) : NULL;
        for (i = 0; i < 9; ++i) n[i] = (uint32_t)strtoul(a[i + 2], NULL, 10);
        bytes = Bytes(a[11], &size);
        rc = lib.CreateTrack(file, n[0], (uint16_t)n[1], (uint16_t)n[2], (uint16_t)n[3], n[4], n[5], n[6], n[7],
                             n[8], size, bytes, temp, (uint32_t)atoi(a[13]));
    } else if (!strcmp(name, "AddVideoFrame")) {
        bytes = Bytes(a[2], &size);
        rc = lib.AddVideoFrame(file, size, bytes, (uint32_t)atoi(a[3]), atoi(a[4]));
    } else if (!strcmp(name, "AddAudioFrame")) {
        bytes = Bytes(a[2], &size);
        rc = lib.AddAudioFrame(file, size, bytes, (uint32_t)atoi(a[3]));
    } else if (!strcmp(name, "MP4FileFlush")) {
        rc = lib.MP4FileFlush(file);
    } else if (!strcmp(name, "Mp4AddAudio")) {
        rc = lib.Mp4AddAudio(a[1], a[2], a[3]);
    } else if (!strcmp(name, "Mp4AddVideo")) {
        rc = lib.Mp4AddVideo(a[1], a[2], a[3], (float)atof(a[4]));
    }
    fprintf(results, " -> %d size %u time %u picture %ux%u header %u\n", rc, size, time, width, height, header);
    Keep(&block, size);
    return rc;
}

int main(int argc, char **argv) {
    char line[1024], shown[1024], *a[16], path[1024];
    int missing = 0, n, steps;
    void *module = NULL;
    FILE *calls;
#if defined(_WIN32)
    if (argc == 4) module = (void *)LoadLibraryA(argv[1]);
#else
    if (argc == 4) module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
    if (module == NULL) {
        fprintf(stderr, "usage: host <library> <calls> <results> (and a library that loads)\n");
        return 1;
    }
#define LOAD(name, bytes) *(void **)&lib.name = Find(module, #name, bytes, &missing);
    EXPORTS(LOAD)
    if (missing > 0) return 77;
    snprintf(path, sizeof path, "%s.bin", argv[3]);
    calls = fopen(argv[2], "r");
    results = fopen(argv[3], "wb");
    blocks = fopen(path, "wb");
    if (calls == NULL || results == NULL || blocks == NULL) return 1;
    while (fgets(line, sizeof line, calls) != NULL) {
        if (line[0] == '#' || line[0] == '\n') continue;
        line[strcspn(line, "\r\n")] = '\0';
        snprintf(shown, sizeof shown, "%s", line);
        for (n = 0, a[0] = strtok(line, " "); a[n] != NULL && n < 15;) a[++n] = strtok(NULL, " ");
        // A call ending in "..." is made again while it answers 1 (bounded,
        // so that a library that never reports the end cannot hang the run).
        steps = n > 1 && !strcmp(a[n - 1], "...") ? 100000 : 1;
        if (steps > 1) a[n - 1] = NULL;
        do {
            fputs(shown, results);
        } while (Call(a) == 1 && --steps > 0);
    }
    fflush(stdout);
    return fclose(results) == 0 && fclose(blocks) == 0 ? 0 : 1;
}
