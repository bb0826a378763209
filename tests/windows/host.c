/*
 * A host program of Corvane2, written the way Windows hosts use the DLL: it
 * loads the library at run time, looks every export up by name and calls it
 * through its own __stdcall function-pointer types.  Only the records come
 * from corvane2.h.
 *
 * The same source builds for Windows (LoadLibraryA/GetProcAddress) and for
 * Linux (dlopen/dlsym), so one run against Corvane2.dll under Wine and one
 * against libCorvane2.so can be compared line by line.
 *
 *   host <library> <data-dir> <summary-file>
 *
 * It reads the fixtures of <data-dir>, writes its output files into the
 * current directory, and writes a summary free of paths, times and addresses
 * to <summary-file>.  The library's own diagnostics go to standard output and
 * to the debugger output as usual.  Exit status: 0 when the run completed
 * (whatever the library answered), 77 when the library lacks an export,
 * 1 when the library or a fixture cannot be loaded.
 */
#include "corvane2.h"

#include <stdarg.h>
#include <stdint.h>
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

/* The prototypes as a host declares them. */
typedef int32_t(HOST_CALL *MP4FileOpen_t)(MP4_read_file **, const char *);
typedef int32_t(HOST_CALL *MP4FileClose_t)(MP4_read_file **);
typedef int32_t(HOST_CALL *GetSample_t)(MP4_read_file *, int32_t, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *SeekTrack_t)(MP4_read_file *, int32_t, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *MP4GetNextSample_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *,
                                                uint32_t *);
typedef int32_t(HOST_CALL *MP4NextKeyFrame_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *MP4PrevKeyFrame_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *);
typedef int32_t(HOST_CALL *GoToBeginOfKeyFrame_t)(MP4_read_file *, int32_t);
typedef int32_t(HOST_CALL *GoToEndOfKeyFrame_t)(MP4_read_file *, int32_t);
typedef int32_t(HOST_CALL *MP4freeData_t)(uint8_t **);
typedef int32_t(HOST_CALL *GetFileInfo_t)(const char *, FileInfo *);
typedef int32_t(HOST_CALL *GetM4vEsdsData_t)(MP4_read_file *, uint8_t *, uint32_t *, uint32_t *,
                                              uint32_t *);
typedef int32_t(HOST_CALL *GetM4aEsdsData_t)(MP4_read_file *, uint8_t *, uint32_t *);
typedef int32_t(HOST_CALL *GetM4vHeaderSize_t)(const char *, uint32_t *, uint32_t *);
typedef int32_t(HOST_CALL *MP4FileNew_t)(MP4_local_file **, const char *);
typedef int32_t(HOST_CALL *CreateTrack_t)(MP4_local_file *, uint32_t, uint16_t, uint16_t, uint16_t,
                                           uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                           uint32_t, const uint8_t *, const char *, uint32_t);
typedef int32_t(HOST_CALL *AddVideoFrame_t)(MP4_local_file *, uint32_t, const uint8_t *, uint32_t,
                                             int32_t);
typedef int32_t(HOST_CALL *AddAudioFrame_t)(MP4_local_file *, uint32_t, const uint8_t *, uint32_t);
typedef int32_t(HOST_CALL *MP4FileFlush_t)(MP4_local_file *);
typedef int32_t(HOST_CALL *Mp4AddAudio_t)(const char *, const char *, const char *);
typedef int32_t(HOST_CALL *Mp4AddVideo_t)(const char *, const char *, const char *, float);

/* The host's types must be the library's: checked against the header's
 * declarations without calling or linking them. */
#if defined(__GNUC__)
#define SAME_TYPE(name) \
    _Static_assert(__builtin_types_compatible_p(name##_t, __typeof__(&name)), #name);
SAME_TYPE(MP4FileOpen) SAME_TYPE(MP4FileClose) SAME_TYPE(GetSample) SAME_TYPE(SeekTrack)
SAME_TYPE(MP4GetNextSample) SAME_TYPE(MP4NextKeyFrame) SAME_TYPE(MP4PrevKeyFrame)
SAME_TYPE(GoToBeginOfKeyFrame) SAME_TYPE(GoToEndOfKeyFrame) SAME_TYPE(MP4freeData)
SAME_TYPE(GetFileInfo) SAME_TYPE(GetM4vEsdsData) SAME_TYPE(GetM4aEsdsData)
SAME_TYPE(GetM4vHeaderSize) SAME_TYPE(MP4FileNew) SAME_TYPE(CreateTrack)
SAME_TYPE(AddVideoFrame) SAME_TYPE(AddAudioFrame) SAME_TYPE(MP4FileFlush)
SAME_TYPE(Mp4AddAudio) SAME_TYPE(Mp4AddVideo)
#endif

static struct {
    MP4FileOpen_t MP4FileOpen;
    MP4FileClose_t MP4FileClose;
    GetSample_t GetSample;
    SeekTrack_t SeekTrack;
    MP4GetNextSample_t MP4GetNextSample;
    MP4NextKeyFrame_t MP4NextKeyFrame;
    MP4PrevKeyFrame_t MP4PrevKeyFrame;
    GoToBeginOfKeyFrame_t GoToBeginOfKeyFrame;
    GoToEndOfKeyFrame_t GoToEndOfKeyFrame;
    MP4freeData_t MP4freeData;
    GetFileInfo_t GetFileInfo;
    GetM4vEsdsData_t GetM4vEsdsData;
    GetM4aEsdsData_t GetM4aEsdsData;
    GetM4vHeaderSize_t GetM4vHeaderSize;
    MP4FileNew_t MP4FileNew;
    CreateTrack_t CreateTrack;
    AddVideoFrame_t AddVideoFrame;
    AddAudioFrame_t AddAudioFrame;
    MP4FileFlush_t MP4FileFlush;
    Mp4AddAudio_t Mp4AddAudio;
    Mp4AddVideo_t Mp4AddVideo;
} lib;

/* Export name and argument bytes; 32-bit Windows exports are decorated. */
#define EXPORT(name, bytes) {#name, bytes, (void **)&lib.name}
static const struct {
    const char *name;
    int bytes;
    void **slot;
} kExports[] = {
    EXPORT(MP4FileOpen, 8),       EXPORT(MP4FileClose, 4),      EXPORT(GetSample, 20),
    EXPORT(SeekTrack, 20),        EXPORT(MP4GetNextSample, 20), EXPORT(MP4NextKeyFrame, 16),
    EXPORT(MP4PrevKeyFrame, 16),  EXPORT(GoToBeginOfKeyFrame, 8), EXPORT(GoToEndOfKeyFrame, 8),
    EXPORT(MP4freeData, 4),       EXPORT(GetFileInfo, 8),       EXPORT(GetM4vEsdsData, 20),
    EXPORT(GetM4aEsdsData, 12),   EXPORT(GetM4vHeaderSize, 12), EXPORT(MP4FileNew, 8),
    EXPORT(CreateTrack, 56),      EXPORT(AddVideoFrame, 20),    EXPORT(AddAudioFrame, 16),
    EXPORT(MP4FileFlush, 4),      EXPORT(Mp4AddAudio, 12),      EXPORT(Mp4AddVideo, 16),
};

/* Returns the number of exports not found. */
static int LoadExports(const char *path) {
    int missing = 0;
    size_t i;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path);
#else
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
    if (module == NULL) return -1;
    for (i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
        char name[64];
        void *address;
#if defined(_WIN32) && !defined(_WIN64)
        snprintf(name, sizeof name, "_%s@%d", kExports[i].name, kExports[i].bytes);
#else
        snprintf(name, sizeof name, "%s", kExports[i].name);
#endif
#if defined(_WIN32)
        {
            FARPROC proc = GetProcAddress(module, name);
            memcpy(&address, &proc, sizeof address);
        }
#else
        address = dlsym(module, name);
#endif
        if (address == NULL) {
            fprintf(stderr, "missing export %s\n", name);
            ++missing;
        }
        *kExports[i].slot = address;
    }
    return missing;
}

static FILE *summary;

static void Say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(summary, format, args);
    va_end(args);
}

/* 32-bit FNV-1a, running over every byte handed to it. */
static uint32_t Fnv(uint32_t hash, const uint8_t *data, size_t size) {
    size_t i;
    for (i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}
#define FNV_START 2166136261u

typedef struct {
    uint8_t *data;
    size_t size;
} Blob;

static Blob ReadWhole(const char *path) {
    Blob blob = {NULL, 0};
    FILE *file = fopen(path, "rb");
    long size;
    if (file == NULL) return blob;
    if (fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) > 0 && fseek(file, 0, SEEK_SET) == 0) {
        blob.data = (uint8_t *)malloc((size_t)size);
        if (blob.data != NULL && fread(blob.data, 1, (size_t)size, file) == (size_t)size) {
            blob.size = (size_t)size;
        } else {
            free(blob.data);
            blob.data = NULL;
        }
    }
    fclose(file);
    return blob;
}

static void SayFile(const char *name) {
    Blob blob = ReadWhole(name);
    Say("file %s size %lu fnv %08x\n", name, (unsigned long)blob.size,
        Fnv(FNV_START, blob.data, blob.size));
    free(blob.data);
}

static void SayExists(const char *name) {
    FILE *file = fopen(name, "rb");
    Say("left behind %s: %s\n", name, file ? "yes" : "no");
    if (file) fclose(file);
}

/* Bounds the loops over the library's answers, so a library that never
 * reports the end cannot hang the test. */
#define MAX_STEPS 1000000

/* Every sample of a track, in order, until the library answers -1. */
static void WalkSamples(MP4_read_file *handle, const char *what, int32_t trackId) {
    uint32_t count = 0, bytes = 0, hash = FNV_START, times = FNV_START, last = 0;
    int32_t rc = 0;
    int steps;
    for (steps = 0; steps < MAX_STEPS; ++steps) {
        uint8_t *data = NULL;
        uint32_t size = 0, time = 0;
        rc = lib.MP4GetNextSample(handle, trackId, &data, &size, &time);
        if (rc != 1) break;
        ++count;
        bytes += size;
        hash = Fnv(hash, data, size);
        times = Fnv(times, (const uint8_t *)&time, sizeof time);
        last = time;
        lib.MP4freeData(&data);
    }
    Say("%s samples %u bytes %u fnv %08x times %08x last %u end %d\n", what, count, bytes, hash,
        times, last, rc);
}

typedef int32_t(HOST_CALL *KeyStep_t)(MP4_read_file *, int32_t, uint8_t **, uint32_t *);

static void WalkKeyFrames(MP4_read_file *handle, const char *what, int32_t trackId, KeyStep_t step) {
    uint32_t count = 0, bytes = 0, hash = FNV_START;
    int32_t rc = 0;
    int steps;
    for (steps = 0; steps < MAX_STEPS; ++steps) {
        uint8_t *data = NULL;
        uint32_t size = 0;
        rc = step(handle, trackId, &data, &size);
        if (rc != 1) break;
        ++count;
        bytes += size;
        hash = Fnv(hash, data, size);
        lib.MP4freeData(&data);
    }
    Say("%s key frames %u bytes %u fnv %08x end %d\n", what, count, bytes, hash, rc);
}

typedef int32_t(HOST_CALL *TimedGet_t)(MP4_read_file *, int32_t, int32_t, uint8_t **, uint32_t *);

static void SayTimedGet(MP4_read_file *handle, const char *what, TimedGet_t get, int32_t trackId,
                        int32_t time) {
    uint8_t *data = NULL;
    uint32_t size = 0;
    int32_t rc = get(handle, trackId, time, &data, &size);
    Say("%s(%d) -> %d size %u fnv %08x\n", what, time, rc, rc >= 0 ? size : 0,
        rc >= 0 && data ? Fnv(FNV_START, data, size) : 0);
    if (data) lib.MP4freeData(&data);
}

static void ReadFixture(const char *path) {
    MP4_read_file *handle = NULL;
    MP4_read_file *block;
    int32_t rc = lib.MP4FileOpen(&handle, path);
    uint8_t buffer[4096];
    uint32_t width = 0, height = 0, headerSize = 0, size = 0;
    Say("MP4FileOpen -> %d\n", rc);
    if (handle == NULL) return;
    Say("video track %d audio track %d\n", handle->videoTrackId, handle->audioTrackId);
    Say("videoInfo %u %u %u %u %u\n", handle->videoInfo.width, handle->videoInfo.height,
        handle->videoInfo.sampleCount, handle->videoInfo.timescale, handle->videoInfo.duration);
    Say("audioInfo %u %u %u %u %u\n", handle->audioInfo.dataReferenceIndex,
        handle->audioInfo.timescale, handle->audioInfo.duration, handle->audioInfo.sampleCount,
        handle->audioInfo.sampleSize);
    if (rc == 1) {
        int32_t video = handle->videoTrackId, audio = handle->audioTrackId;
        WalkSamples(handle, "video", video);
        WalkSamples(handle, "audio", audio);
        Say("GoToBeginOfKeyFrame -> %d\n", lib.GoToBeginOfKeyFrame(handle, video));
        WalkKeyFrames(handle, "next", video, lib.MP4NextKeyFrame);
        Say("GoToEndOfKeyFrame -> %d\n", lib.GoToEndOfKeyFrame(handle, video));
        WalkKeyFrames(handle, "prev", video, lib.MP4PrevKeyFrame);
        SayTimedGet(handle, "GetSample video", lib.GetSample, video, 0);
        SayTimedGet(handle, "GetSample video", lib.GetSample, video,
                    (int32_t)(handle->videoInfo.duration / 2));
        SayTimedGet(handle, "SeekTrack video", lib.SeekTrack, video,
                    (int32_t)(handle->videoInfo.duration / 2));
        SayTimedGet(handle, "GetSample audio", lib.GetSample, audio,
                    (int32_t)(handle->audioInfo.duration / 3));

        memset(buffer, 0, sizeof buffer);
        rc = lib.GetM4vEsdsData(handle, buffer, &width, &height, &headerSize);
        Say("GetM4vEsdsData -> %d %ux%u header %u fnv %08x\n", rc, width, height, headerSize,
            rc == 1 && headerSize <= sizeof buffer ? Fnv(FNV_START, buffer, headerSize) : 0);
        memset(buffer, 0, sizeof buffer);
        rc = lib.GetM4aEsdsData(handle, buffer, &size);
        Say("GetM4aEsdsData -> %d size %u fnv %08x\n", rc, size,
            rc == 1 && size <= sizeof buffer ? Fnv(FNV_START, buffer, size) : 0);
    }
    /* The library leaves the block to its caller, who frees it with the
     * runtime's free after closing. */
    block = handle;
    Say("MP4FileClose -> %d\n", lib.MP4FileClose(&handle));
    free(block);
}

static void SayFileInfo(const char *name, const char *path) {
    FileInfo info;
    const uint32_t *words = (const uint32_t *)&info;
    int32_t rc;
    size_t i;
    memset(&info, 0xA5, sizeof info);
    rc = lib.GetFileInfo(path, &info);
    Say("GetFileInfo %s -> %d:", name, rc);
    for (i = 0; i < sizeof info / sizeof words[0]; ++i) Say(" %u", words[i]);
    Say("\n");
}

/* Offsets of the frame start codes 00 00 01 B6 (video object planes). */
static size_t FindFrames(const Blob *stream, size_t from, size_t *starts, size_t capacity) {
    size_t count = 0, i;
    for (i = from; i + 4 <= stream->size && count < capacity; ++i) {
        if (stream->data[i] == 0 && stream->data[i + 1] == 0 && stream->data[i + 2] == 1 &&
            stream->data[i + 3] == 0xB6)
            starts[count++] = i;
    }
    return count;
}

static const uint32_t kAdtsRates[12] = {96000, 88200, 64000, 48000, 44100, 32000,
                                        24000, 22050, 16000, 12000, 11025, 8000};

/* Writes a file from the elementary streams, the way an encoder host does. */
static void WriteFromStreams(const char *m4vPath, const char *aacPath) {
    Blob video = ReadWhole(m4vPath), audio = ReadWhole(aacPath);
    MP4_local_file *file = NULL;
    uint32_t width = 0, height = 0, rate = 0;
    int32_t headerSize = lib.GetM4vHeaderSize(m4vPath, &width, &height);
    int32_t rc;
    Say("GetM4vHeaderSize -> %d %ux%u\n", headerSize, width, height);
    if (video.size == 0 || audio.size < 7 || headerSize <= 0 || (size_t)headerSize > video.size) {
        Say("write skipped: fixtures unusable\n");
        goto done;
    }
    if ((audio.data[2] >> 2 & 0x0F) < 12) rate = kAdtsRates[audio.data[2] >> 2 & 0x0F];

    rc = lib.MP4FileNew(&file, "host_streams.mp4");
    Say("MP4FileNew -> %d\n", rc);
    if (rc != 1) goto done;
    Say("CreateTrack type 3 -> %d\n",
        lib.CreateTrack(file, 3, 0, 0, 0, 1000, 0, 0, 0, 0, 0, NULL, NULL, 1));
    Say("CreateTrack video -> %d\n",
        lib.CreateTrack(file, 1, (uint16_t)width, (uint16_t)height, 0, 1000, 0, 0, 0, 0,
                        (uint32_t)headerSize, video.data, "host_tempv.v", 1));
    Say("CreateTrack audio -> %d\n", lib.CreateTrack(file, 2, 0, 0, 0, rate, 0, 0, 0, 0, 7,
                                                     audio.data, "host_tempa.a", 1));
    Say("CreateTrack od -> %d\n",
        lib.CreateTrack(file, 4, 0, 0, 0, 1000, 0, 0, 0, 0, 0, NULL, NULL, 1));
    Say("CreateTrack scene -> %d\n",
        lib.CreateTrack(file, 5, 0, 0, 0, 1000, 0, 0, 0, 0, 0, NULL, NULL, 1));
    {
        /* Video: one frame from each start code to the next, 25 per second
         * in a timescale of 1000; a frame is a key frame when its coding
         * type (top two bits after the start code) is 0, intra. */
        static size_t starts[100000];
        size_t count = FindFrames(&video, (size_t)headerSize, starts, 100000), k;
        uint32_t failed = 0, keys = 0;
        for (k = 0; k < count; ++k) {
            size_t end = k + 1 < count ? starts[k + 1] : video.size;
            int32_t key = starts[k] + 4 < video.size && (video.data[starts[k] + 4] >> 6) == 0;
            keys += (uint32_t)key;
            if (lib.AddVideoFrame(file, (uint32_t)(end - starts[k]), video.data + starts[k],
                                  (uint32_t)(k * 40), key) != 1)
                ++failed;
        }
        Say("AddVideoFrame frames %lu keys %u failed %u\n", (unsigned long)count, keys, failed);
    }
    {
        /* Audio: ADTS frames without CRC; the payload follows the 7-byte
         * header; 1024 samples a frame in a timescale of the sampling rate. */
        size_t at = 0;
        uint32_t frames = 0, failed = 0, time = 0;
        while (at + 7 <= audio.size) {
            const uint8_t *h = audio.data + at;
            size_t length = (size_t)(h[3] & 3) << 11 | (size_t)h[4] << 3 | h[5] >> 5;
            if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0 || length < 7 || at + length > audio.size)
                break;
            if (lib.AddAudioFrame(file, (uint32_t)(length - 7), h + 7, time) != 1) ++failed;
            ++frames;
            time += 1024;
            at += length;
        }
        Say("AddAudioFrame frames %u failed %u consumed %lu of %lu\n", frames, failed,
            (unsigned long)at, (unsigned long)audio.size);
    }
    Say("MP4FileFlush -> %d\n", lib.MP4FileFlush(file));
    SayFile("host_streams.mp4");
    SayExists("host_tempv.v");
    SayExists("host_tempa.a");
done:
    free(video.data);
    free(audio.data);
}

/* Calls whose only effect is a message on the debugger output. */
static void ProvokeWriterMessages(void) {
    MP4_local_file *file = NULL;
    uint8_t byte = 0;
    Say("MP4FileFlush(null) -> %d\n", lib.MP4FileFlush(NULL));
    Say("AddVideoFrame(null) -> %d\n", lib.AddVideoFrame(NULL, 1, &byte, 0, 1));
    Say("AddAudioFrame(null) -> %d\n", lib.AddAudioFrame(NULL, 1, &byte, 0));
    Say("MP4FileNew(no such directory) -> %d\n",
        lib.MP4FileNew(&file, "no_such_directory/out.mp4"));
}

int main(int argc, char **argv) {
    char path[1024];
    int missing;
    if (argc != 4) {
        fprintf(stderr, "usage: host <library> <data-dir> <summary-file>\n");
        return 1;
    }
    missing = LoadExports(argv[1]);
    if (missing < 0) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    if (missing > 0) return 77;
    summary = fopen(argv[3], "wb");
    if (summary == NULL) return 1;

#define DATA(name) (snprintf(path, sizeof path, "%s/%s", argv[2], name), path)
    ReadFixture(DATA("av.mp4"));
    SayFileInfo("av.mp4", DATA("av.mp4"));
    SayFileInfo("audio.mp4", DATA("audio.mp4"));
    {
        char m4v[1024], aac[1024];
        snprintf(m4v, sizeof m4v, "%s", DATA("video.m4v"));
        snprintf(aac, sizeof aac, "%s", DATA("audio.aac"));
        WriteFromStreams(m4v, aac);
        ProvokeWriterMessages();
        Say("Mp4AddAudio -> %d\n", lib.Mp4AddAudio(DATA("av.mp4"), aac, "host_add_audio.mp4"));
        SayFile("host_add_audio.mp4");
        Say("Mp4AddVideo -> %d\n",
            lib.Mp4AddVideo(DATA("av.mp4"), m4v, "host_add_video.mp4", 25.0f));
        SayFile("host_add_video.mp4");
        SayExists("tempv.v");
        SayExists("tempa.a");
    }
    fflush(stdout);
    return fclose(summary) == 0 ? 0 : 1;
}
