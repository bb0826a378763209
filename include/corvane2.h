/*
 * Corvane2: an MP4 reading, writing and remultiplexing library.
 *
 * The 21 functions below are the whole interface.  On 32-bit Windows they use
 * the __stdcall convention and are exported under their decorated names
 * (_MP4FileOpen@8, _CreateTrack@56, ...).  Every result is a signed 32-bit
 * code: 1 for success, negative codes for failures (see each function).
 *
 * Blocks handed to the caller are allocated with malloc: sample blocks are
 * given back with MP4freeData, and the reading handle block is released by the
 * caller with free() after MP4FileClose.
 */
#ifndef CORVANE2_H
#define CORVANE2_H

#include <stdint.h>
#include <stdio.h>

/* The library's version.  The build reads it from here. */
#define CORVANE2_VERSION_MAJOR 2
#define CORVANE2_VERSION_MINOR 0
#define CORVANE2_VERSION_PATCH 0
#define CORVANE2_VERSION_STRING "2.0.0"

#if defined(_WIN32)
#define CORVANE_CALL __stdcall
#else
#define CORVANE_CALL
#endif

#if defined(_WIN32)
#define CORVANE_API
#elif defined(__GNUC__)
#define CORVANE_API __attribute__((visibility("default")))
#else
#define CORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct Root_atom;
struct ReadTrack;
struct TrackNode;

/* Main values of the video track with the highest track_ID. */
typedef struct VideoInfo {
    uint32_t width;
    uint32_t height;
    uint32_t sampleCount;
    uint32_t timescale;
    uint32_t duration;
} VideoInfo;

/* Main values of the audio track with the highest track_ID. */
typedef struct AudioInfo {
    uint32_t dataReferenceIndex;
    uint32_t timescale;
    uint32_t duration;
    uint32_t sampleCount;
    uint32_t sampleSize;
} AudioInfo;

#define MP4_READ_TRACK_SLOTS 400

/* The reading handle: 416 32-bit words on 32-bit hosts. */
typedef struct MP4_read_file {
    struct Root_atom *root;
    int32_t audioTrackId;
    int32_t videoTrackId;
    int32_t audioCursor;
    int32_t videoCursor;
    int32_t keyCursor;
    struct ReadTrack *tracks[MP4_READ_TRACK_SLOTS];
    VideoInfo videoInfo;
    AudioInfo audioInfo;
} MP4_read_file;

/* The writer's handle, created by MP4FileNew and consumed by MP4FileFlush. */
typedef struct MP4_local_file {
    struct Root_atom *root;
    struct TrackNode *VideoTrackNode;
    struct TrackNode *AudioTrackNode;
    struct TrackNode *odTrackNode;
    struct TrackNode *sceneTrackNode;
    uint32_t nextTrackId;
    uint32_t movieTimescale;
    uint32_t movieDuration;
    uint32_t videoSampleTotal;
    uint32_t videoKeyFrameTotal;
    uint32_t videoBytes;
    uint32_t videoBlockSample;
    uint32_t videoBlockKeyFrame;
    FILE *videoTempFile;
    const char *videoTempName;
    uint32_t audioSampleTotal;
    uint32_t audioKeyFrameTotal;
    uint32_t audioBytes;
    uint32_t audioBlockSample;
    uint32_t audioBlockKeyFrame;
    FILE *audioTempFile;
    const char *audioTempName;
    int32_t brandFlag;
} MP4_local_file;

/* Summary of a file, filled by GetFileInfo: 24 unsigned 32-bit words. */
typedef struct FileInfo {
    uint32_t fileSize;
    uint32_t reserved1;
    uint32_t videoAvgBitrate;
    uint32_t videoMaxBitrate;
    uint32_t videoProfileLevel;
    uint32_t reserved5;
    uint32_t videoHeight;
    uint32_t videoWidth;
    uint32_t videoFrameRate;
    uint32_t videoFrameCount;
    uint32_t audioFrameCount;
    uint32_t audioIsMpegAudio;
    uint32_t mpegAudioMode;
    uint32_t audioSampleRate;
    uint32_t audioAvgBitrate;
    uint32_t audioMaxBitrate;
    uint32_t aacProfile;
    uint32_t audioChannels;
    uint32_t reserved18;
    uint32_t audioObjectType;
    uint32_t audioChannelsCopy;
    uint32_t reserved21;
    uint32_t reserved22;
    uint32_t mpegAudioEmphasis;
} FileInfo;

/* Reading: open, close. */
CORVANE_API int32_t CORVANE_CALL MP4FileOpen(MP4_read_file **handle, const char *path);
CORVANE_API int32_t CORVANE_CALL MP4FileClose(MP4_read_file **handle);

/* Sample access. */
CORVANE_API int32_t CORVANE_CALL GetSample(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size);
CORVANE_API int32_t CORVANE_CALL SeekTrack(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size);
CORVANE_API int32_t CORVANE_CALL MP4GetNextSample(MP4_read_file *handle, int32_t trackId,
                                                  uint8_t **data, uint32_t *size, uint32_t *time);
CORVANE_API int32_t CORVANE_CALL MP4NextKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size);
CORVANE_API int32_t CORVANE_CALL MP4PrevKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size);
CORVANE_API int32_t CORVANE_CALL GoToBeginOfKeyFrame(MP4_read_file *handle, int32_t trackId);
CORVANE_API int32_t CORVANE_CALL GoToEndOfKeyFrame(MP4_read_file *handle, int32_t trackId);
CORVANE_API int32_t CORVANE_CALL MP4freeData(uint8_t **data);

/* File information and decoder configuration. */
CORVANE_API int32_t CORVANE_CALL GetFileInfo(const char *path, FileInfo *info);
CORVANE_API int32_t CORVANE_CALL GetM4vEsdsData(MP4_read_file *handle, uint8_t *buffer,
                                                uint32_t *width, uint32_t *height,
                                                uint32_t *headerSize);
CORVANE_API int32_t CORVANE_CALL GetM4aEsdsData(MP4_read_file *handle, uint8_t *buffer,
                                                uint32_t *size);
CORVANE_API int32_t CORVANE_CALL GetM4vHeaderSize(const char *path, uint32_t *width,
                                                  uint32_t *height);

/* Writing. */
CORVANE_API int32_t CORVANE_CALL MP4FileNew(MP4_local_file **handle, const char *path);
CORVANE_API int32_t CORVANE_CALL CreateTrack(MP4_local_file *handle, uint32_t trackType,
                                             uint16_t width, uint16_t height,
                                             uint16_t timeIncrementResolution, uint32_t timescale,
                                             uint32_t profileLevel, uint32_t audioProfile,
                                             uint32_t channelConfig, uint32_t samplingFrequency,
                                             uint32_t decoderConfigLength,
                                             const uint8_t *decoderConfig,
                                             const char *tempFileName, uint32_t codec);
CORVANE_API int32_t CORVANE_CALL AddVideoFrame(MP4_local_file *handle, uint32_t size,
                                               const uint8_t *data, uint32_t time,
                                               int32_t keyFlag);
CORVANE_API int32_t CORVANE_CALL AddAudioFrame(MP4_local_file *handle, uint32_t size,
                                               const uint8_t *data, uint32_t time);
CORVANE_API int32_t CORVANE_CALL MP4FileFlush(MP4_local_file *handle);

/* Remultiplexing. */
CORVANE_API int32_t CORVANE_CALL Mp4AddAudio(const char *sourceMp4, const char *adtsFile,
                                             const char *outputMp4);
CORVANE_API int32_t CORVANE_CALL Mp4AddVideo(const char *sourceMp4, const char *videoStream,
                                             const char *outputMp4, float frameRate);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE2_H */
