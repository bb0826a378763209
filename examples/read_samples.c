/* Reads an MP4 file with Corvane2: its tracks, every sample in order, a
 * sample by time, a seek to a key frame, and the key frames both ways.
 *
 *     read_samples FILE.mp4 [LOG]
 *
 * The library prints its diagnostics on standard output (MP4FileOpen alone
 * about 400 lines).  This program writes its report on a copy of standard
 * output and points standard output itself, which it shares with the
 * library, at LOG (by default the null device). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* dup, fdopen, fileno */
#endif
#include <corvane2.h>
#include <stdio.h>
#include <stdlib.h>
#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define fdopen _fdopen
#define fileno _fileno
#define NULL_DEVICE "NUL"
#else
#include <unistd.h>
#define NULL_DEVICE "/dev/null"
#endif

static FILE *report;

/* Reads a track from its cursor to its end; each block goes back. */
static void read_in_order(MP4_read_file *file, int32_t track, const char *name) {
    uint8_t *data;
    uint32_t size, time, count = 0, last = 0;
    unsigned long bytes = 0;
    while (MP4GetNextSample(file, track, &data, &size, &time) == CORVANE_OK) {
        ++count;
        bytes += size;
        last = time;
        MP4freeData(&data);
    }
    fprintf(report, "%s in order: %u samples, %lu bytes, the last at %u\n", name,
            (unsigned)count, bytes, (unsigned)last);
}

/* Key frames from the first to the last, then from the last back. */
static void walk_key_frames(MP4_read_file *file, int32_t video) {
    uint8_t *data;
    uint32_t size;
    unsigned forward = 0, backward = 0;
    GoToBeginOfKeyFrame(file, video);
    while (MP4NextKeyFrame(file, video, &data, &size) == CORVANE_OK) {
        ++forward;
        MP4freeData(&data);
    }
    GoToEndOfKeyFrame(file, video);
    while (MP4PrevKeyFrame(file, video, &data, &size) == CORVANE_OK) {
        ++backward;
        MP4freeData(&data);
    }
    fprintf(report, "key frames: %u forward, %u backward\n", forward, backward);
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: read_samples FILE.mp4 [LOG]\n");
        return 2;
    }
    fflush(stdout);
    report = fdopen(dup(fileno(stdout)), "w");
    if (report == NULL || freopen(argc == 3 ? argv[2] : NULL_DEVICE, "w", stdout) == NULL) {
        perror("read_samples");
        return 1;
    }

    MP4_read_file *file = NULL;
    int32_t opened = MP4FileOpen(&file, argv[1]);
    fprintf(report, "MP4FileOpen: %d\n", (int)opened);
    if (opened == CORVANE_OK) {
        int32_t video = file->videoTrackId, audio = file->audioTrackId;
        const VideoInfo *v = &file->videoInfo;
        if (video != 0) {
            fprintf(report, "video track %d: %ux%u, %u samples, timescale %u, duration %u\n",
                    (int)video, (unsigned)v->width, (unsigned)v->height,
                    (unsigned)v->sampleCount, (unsigned)v->timescale, (unsigned)v->duration);
            read_in_order(file, video, "video");

            /* One second into the track (times are in its timescale). */
            uint8_t *data;
            uint32_t size;
            int32_t at = GetSample(file, video, (int32_t)v->timescale, &data, &size);
            fprintf(report, "GetSample at 1 s: time %d, %u bytes\n", (int)at, (unsigned)size);
            MP4freeData(&data);
            at = SeekTrack(file, video, (int32_t)v->timescale, &data, &size);
            fprintf(report, "SeekTrack to 1 s: key frame at %d, %u bytes, next sample %d\n",
                    (int)at, (unsigned)size, (int)file->videoCursor);
            MP4freeData(&data);
            walk_key_frames(file, video);
        }
        if (audio != 0) {
            fprintf(report, "audio track %d: %u samples, timescale %u, duration %u\n",
                    (int)audio, (unsigned)file->audioInfo.sampleCount,
                    (unsigned)file->audioInfo.timescale, (unsigned)file->audioInfo.duration);
            read_in_order(file, audio, "audio");
        }
    }
    MP4FileClose(&file); /* closes the file; the handle block stays ... */
    free(file);          /* ... and is the caller's to free, after a failure too */
    fclose(report);
    return opened == CORVANE_OK ? 0 : 1;
}
