/*
 * Corvane2: an MP4 reading, writing and remultiplexing library.
 *
 * The 21 functions below are the whole interface: reading (MP4FileOpen to
 * MP4freeData), describing files and streams (GetFileInfo to
 * GetM4vHeaderSize), writing (MP4FileNew to MP4FileFlush) and
 * remultiplexing (Mp4AddAudio, Mp4AddVideo).  docs/api.md has the results
 * of every function in one table, and examples/ two small host programs.
 *
 * Calling convention.  On 32-bit Windows every function is __stdcall and is
 * exported under its decorated name (_MP4FileOpen@8, _CreateTrack@56, ...);
 * the 64-bit DLL exports the plain names, and libCorvane2.so the plain C
 * symbols.  Every result is a signed 32-bit code: CORVANE_OK (1) for success
 * and negative codes for failures, except where a function says otherwise
 * (GetSample and SeekTrack answer a time, GetM4vHeaderSize a size).
 *
 * Memory.  Blocks handed to the caller are allocated with the C runtime's
 * malloc (msvcrt.dll on Windows): each sample block goes back through
 * MP4freeData, and the reading handle block is released by the caller with
 * free() after MP4FileClose.  The writer's handle is released by
 * MP4FileFlush.  The library never keeps a pointer to the caller's memory
 * beyond the call, with one exception: CreateTrack's temporary file name,
 * which must stay valid until MP4FileFlush.
 *
 * Diagnostics.  The library writes plain-text messages, which hosts rely on
 * and which never change:
 *   - the reader (MP4FileOpen and everything that reads a file or a handle)
 *     and the code that fills the atoms during MP4FileFlush print on
 *     standard output with printf.  MP4FileOpen alone prints about 400 lines
 *     ("file is [...]", "file size [...]", then one line for every track id
 *     from 0 to 399 it looks for).  docs/api.md shows how a host keeps them
 *     apart from its own output;
 *   - the writer's entry points (MP4FileNew, CreateTrack, AddVideoFrame,
 *     AddAudioFrame, MP4FileFlush) write their messages to the debugger
 *     output: OutputDebugStringA on Windows, standard error (unbuffered)
 *     elsewhere.  A successful write prints nothing.
 * Each function below says which messages it writes and where ("stdout" and
 * "debugger").  A message quoted without "\n" ends without a line feed.
 *
 * Threads.  The library creates no thread and takes no lock.  A handle, with
 * its cursors and its one file position, belongs to one thread at a time;
 * different handles may be used on different threads at once (the MPEG-4
 * Visual header parser keeps its state per call).  Messages of calls running
 * at once interleave.
 *
 * Files and the working directory.  Relative paths resolve against the
 * working directory at the time of each call; paths are narrow strings (on
 * Windows in the ANSI code page, as fopen takes them).  The remultiplexing
 * calls keep their frames in "tempv.v" and "tempa.a" in the working
 * directory, so two of them must not run at once in the same directory.
 * The library reads no configuration: no environment variable, file or
 * registry key.
 *
 * Limits.  Files of 2 GiB or more are not read; only the 32-bit box size and
 * the version 0 box layouts are read (times, durations and offsets are
 * 32-bit); track ids 0 to 399 are looked for.  Video tracks are read when
 * their sample entry is "mp4v" (MPEG-4 Visual) and audio tracks when it is
 * "mp4a"; H.263 ("s263") and AMR ("samr") tracks are written but not read.
 */
#ifndef CORVANE2_H
#define CORVANE2_H

#include <stdint.h>
#include <stdio.h>

/* The library's version.  The build reads it from here, so the header, the
   shared library, the DLL's version resource and the packages agree. */
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

/* ------------------------------------------------------------------ results */

/* Success, for every function that answers a code. */
#define CORVANE_OK 1
/* The failure of most functions (each says when). */
#define CORVANE_FAILED (-99)
/* MP4GetNextSample, MP4NextKeyFrame, MP4PrevKeyFrame: no sample handed out,
   at the end of the track or after any failure. */
#define CORVANE_NO_SAMPLE (-1)
/* GetM4vEsdsData, GetM4vHeaderSize: an MPEG-4 Visual header (or stream) the
   library does not handle. */
#define CORVANE_NOT_HANDLED (-1)
/* GetM4vEsdsData, GetM4aEsdsData: the output buffer pointer is null. */
#define CORVANE_NO_BUFFER 0
/* GetM4vHeaderSize: its working buffer could not be allocated. */
#define CORVANE_NO_MEMORY 0
/* GetFileInfo. */
#define CORVANE_INFO_CANNOT_OPEN (-11)
#define CORVANE_INFO_NO_RECORD (-12)
#define CORVANE_INFO_NOT_READABLE (-21)
/* Mp4AddAudio, Mp4AddVideo. */
#define CORVANE_REMUX_BAD_ARGUMENT (-1)
#define CORVANE_REMUX_SOURCE_UNREADABLE (-11)
#define CORVANE_REMUX_NO_CONFIG (-12)
#define CORVANE_REMUX_SAMPLE_UNREADABLE (-21)
#define CORVANE_REMUX_BAD_STREAM (-31)
#define CORVANE_REMUX_BAD_FRAME_RATE (-32)
#define CORVANE_REMUX_CANNOT_CREATE (-41)

/* ------------------------------------------------------------ writer values */

/* CreateTrack's trackType. */
#define CORVANE_TRACK_VIDEO 1
#define CORVANE_TRACK_AUDIO 2
#define CORVANE_TRACK_OBJECT_DESCRIPTOR 4
#define CORVANE_TRACK_SCENE 5

/* CreateTrack's codec for video and audio tracks: MPEG-4 writes the sample
   entries "mp4v" (MPEG-4 Visual) and "mp4a" (AAC); 3GPP writes "s263"
   (H.263) and "samr" (AMR). */
#define CORVANE_CODEC_MPEG4 1
#define CORVANE_CODEC_3GPP 2

/* AddVideoFrame's keyFlag: exactly this value marks a key frame. */
#define CORVANE_KEY_FRAME 1

/* The most decoder configuration bytes CreateTrack takes. */
#define CORVANE_MAX_DECODER_CONFIG 52

#ifdef __cplusplus
extern "C" {
#endif

struct Root_atom;
struct ReadTrack;
struct TrackNode;

/* Main values of the video track with the highest track_ID: the width and
   height of its "mp4v" sample entry, its sample count, and the timescale
   (units per second) and duration (in those units) of its "mdhd". */
typedef struct VideoInfo {
    uint32_t width;
    uint32_t height;
    uint32_t sampleCount;
    uint32_t timescale;
    uint32_t duration;
} VideoInfo;

/* Main values of the audio track with the highest track_ID: the
   data_reference_index of its "mp4a" sample entry, its "mdhd" timescale and
   duration, its sample count, and the size of every sample when all are
   alike (else 0). */
typedef struct AudioInfo {
    uint32_t dataReferenceIndex;
    uint32_t timescale;
    uint32_t duration;
    uint32_t sampleCount;
    uint32_t sampleSize;
} AudioInfo;

#define MP4_READ_TRACK_SLOTS 400

/*
 * The reading handle, made by MP4FileOpen: 416 32-bit words on 32-bit hosts.
 * A host reads its fields and leaves them alone, except that it may set a
 * cursor to choose the next sample.
 *   root           the open file; null after a failed open
 *   audioTrackId   track_ID of the audio track the sample functions serve
 *                  (the lowest other than 0), 0 when there is none
 *   videoTrackId   the same for the video track
 *   audioCursor    number (from 0) of the next audio sample MP4GetNextSample
 *                  hands out
 *   videoCursor    the same for the video track
 *   keyCursor      index (from 0) of the video key-frame entry that the next
 *                  MP4NextKeyFrame or MP4PrevKeyFrame hands out
 *   tracks         one slot per track_ID 0 to 399, null when the file has no
 *                  such track (the records are the library's own)
 *   videoInfo      the video track with the highest track_ID (see VideoInfo)
 *   audioInfo      the audio track with the highest track_ID (see AudioInfo)
 * In a file with one track of each kind, the ids and the info blocks name
 * the same tracks.
 */
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

/*
 * The writer's handle, made by MP4FileNew and released by MP4FileFlush.  The
 * counters (videoSampleTotal, videoBytes, ...) are the frames and bytes
 * added so far.  Three fields are the host's to set before MP4FileFlush; the
 * library never changes them:
 *   brandFlag       1: "ftyp" gets the major brand "isom", minor version 0
 *                   and the compatible brand "mp41"; any other value (0
 *                   after MP4FileNew): "3gp4", 512 and "3gp4"
 *   movieTimescale, movieDuration
 *                   the "mvhd" timescale and duration of a file without
 *                   video and audio tracks (otherwise those of the video
 *                   track, else of the audio track)
 */
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

/*
 * Summary of a file, filled by GetFileInfo: 24 unsigned 32-bit words.  Bit
 * rates are in bits per second as the file's "esds" atoms state them.  Words
 * 2 to 9 stay 0 when the file has no video track, words 10 to 23 when it has
 * no audio track, and any value whose source is missing stays 0.
 *   fileSize            the file's size in bytes
 *   videoAvgBitrate, videoMaxBitrate
 *   videoProfileLevel   profile_and_level_indication of the video
 *                       configuration (as this library writes it)
 *   videoHeight, videoWidth
 *                       of the video object layer header
 *   videoFrameRate      whole frames per second: timescale x frame count /
 *                       duration, truncated (0 when the duration is 0)
 *   videoFrameCount, audioFrameCount
 *                       sample counts
 *   audioIsMpegAudio    1 for MPEG-1/2 audio (MP3), 0 for AAC
 *   mpegAudioMode       MPEG audio: the mode of the first frame's header
 *   audioSampleRate     in Hz, from the AAC configuration
 *   audioAvgBitrate, audioMaxBitrate
 *   aacProfile          audioObjectType - 1 (1 for AAC-LC)
 *   audioChannels       AAC: the channel configuration; MPEG audio: 2 for
 *                       the modes stereo and joint stereo, else 1
 *   reserved18          1 when the audio configuration was read
 *   audioObjectType     of the AAC configuration (2 for AAC-LC)
 *   audioChannelsCopy   the same as audioChannels
 *   mpegAudioEmphasis   MPEG audio: the emphasis of the first frame's header
 *   reserved1, reserved5, reserved21, reserved22: always 0
 */
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

/* ================================================================== reading */

/*
 * MP4FileOpen: opens an MP4 file for reading.  It loads the whole box tree
 * with every sample table, finds the tracks by track_ID (0 to 399) and
 * indexes the samples of every video and audio track; the sample functions
 * then serve the tracks named by videoTrackId and audioTrackId.
 *
 * handle  address of the caller's handle variable.  It receives a new
 *         handle block in every case, failure included (then with a null
 *         root); it stays null only when the block itself cannot be
 *         allocated.  The caller calls MP4FileClose and then free()s the
 *         block, after a failure as well.
 * path    the file, at most 255 characters.
 *
 * Results:
 *   CORVANE_OK      the file is open and indexed
 *   CORVANE_FAILED  the file cannot be opened, is empty, is 2 GiB or more,
 *                   or is not an MP4 file the reader takes (bytes that do
 *                   not form a box, a top-level box of an unknown type); a
 *                   path of more than 255 characters, a null path or a null
 *                   handle variable
 *
 * Messages (stdout): "file is [%s]\n" with the path; "file size [%d]\n";
 * then for every track id from 0 to 399 one of "got track [%d]\n",
 * "Can't find such track[%d] atom\n" or "Can't find such track [%d] atom\n";
 * the checks of the box hierarchy, lines that begin with "\n " (for
 * example "\n Without required child atom at [%s] \n"); a track's missing
 * boxes ("Can't find [%s] atom\n"); on failure one of
 * "Can't open the file - %s \n", "file size be zero!!\n",
 * "file parse error, may not a mp4 file\n",
 * "mp4 file atom hierarchy tree memory inital error\n",
 * "extracting mp4 file error\n", after any message of the step that failed
 * (such as "Read data from file error!\n" or
 * "error to read atom[%s] data from file\n").
 *
 * Files written with object-descriptor and scene-description tracks (as
 * Mp4AddAudio and Mp4AddVideo write them) end with those tracks' two access
 * units after "mdat", outside any box; MP4FileOpen refuses them
 * (CORVANE_FAILED after "file parse error, may not a mp4 file\n").
 */
CORVANE_API int32_t CORVANE_CALL MP4FileOpen(MP4_read_file **handle, const char *path);

/*
 * MP4FileClose: closes the file and releases everything MP4FileOpen built,
 * except the handle block itself, which the caller then releases with free().
 * The handle's fields are left as they were.  Call it once per handle; a
 * null variable or a null handle is ignored.
 *
 * Results:
 *   CORVANE_OK  always
 */
CORVANE_API int32_t CORVANE_CALL MP4FileClose(MP4_read_file **handle);

/* ============================================================ sample access
 *
 * The sample functions serve the video track named by the handle's
 * videoTrackId and the audio track named by audioTrackId; trackId is one of
 * the two.  Times are decoding times in the track's timescale (units per
 * second: videoInfo.timescale, audioInfo.timescale), 0 for the first sample.
 * Each sample is handed out in a fresh malloc'ed block of exactly its size
 * (a block of one byte for an empty sample), which the caller gives back
 * with MP4freeData.
 *
 * Cursors.  videoCursor and audioCursor hold the number of the next sample
 * that MP4GetNextSample hands out; GetSample and SeekTrack leave them one
 * past the sample they hand out.  keyCursor is ONE cursor for both
 * directions: MP4NextKeyFrame hands out the key frame at the cursor and
 * moves it forward, MP4PrevKeyFrame hands out the key frame at the cursor and
 * moves it back.  So MP4NextKeyFrame followed by MP4PrevKeyFrame hands out
 * the key frame after the one just handed out, not the one before it.
 *
 * The track checks.  Every function below but MP4freeData first fails, in
 * this order, on:
 *   a null handle, after "mp4 file uncreated\n" (stdout);
 *   an id outside 0 to 399 or whose slot holds no track, after
 *   "No such track id [%d]\n" (stdout);
 *   an id that is neither videoTrackId nor audioTrackId, without a message.
 * The key-frame functions serve the video track only: the audio track's id
 * fails there without a message.
 */

/*
 * GetSample: hands out the sample with the greatest decoding time not above
 * `time`: the first sample for a time of 0 or less, the last one for a time
 * at or above the timescale times the sample count.  Sets the track's cursor
 * one past it.
 *
 * trackId  videoTrackId or audioTrackId
 * time     in the track's timescale
 * data     receives the sample block (null on failure)
 * size     receives the sample's size in bytes (0 on failure)
 *
 * Results:
 *   >=0             the decoding time of the sample handed out
 *   CORVANE_FAILED  the track checks; null data or size pointers; a track
 *                   without samples; a sample that cannot be read or
 *                   allocated (the cursor is then past it)
 *
 * Messages (stdout): "cursor is [%d]\n" with the number of the sample chosen
 * (before it is read); then, when it cannot be read or allocated,
 *   "error to read sample from file in Get Next Sample at sample - video-[%d]"
 *   "error to allocate a memory in Get Next Sample at sample - video-[%d]"
 * with the sample number ("audio-[%d]" for the audio track).
 */
CORVANE_API int32_t CORVANE_CALL GetSample(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size);

/*
 * SeekTrack: on the video track, hands out the key frame with the greatest
 * decoding time not above `time` (the first key frame for a time of 0 or
 * less, the last one for a time at or above the timescale times the sample
 * count), sets videoCursor one past it and, when the time lies inside the
 * track, keyCursor to the next key frame's entry.  On the audio track it does
 * what GetSample does.  Arguments as GetSample.
 *
 * Results:
 *   >=0             the decoding time of the sample handed out
 *   CORVANE_FAILED  as GetSample; also a time above 0 on a video track
 *                   without key frames
 *
 * Messages: as GetSample.
 */
CORVANE_API int32_t CORVANE_CALL SeekTrack(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size);

/*
 * MP4GetNextSample: hands out the sample at the track's cursor (videoCursor
 * or audioCursor) and advances the cursor, also when the sample cannot be
 * read.  A loop of calls until CORVANE_NO_SAMPLE reads a track in order.
 *
 * trackId  videoTrackId or audioTrackId
 * data     receives the sample block (left as it was on failure)
 * size     receives the sample's size in bytes
 * time     receives the sample's decoding time in the track's timescale
 *
 * Results:
 *   CORVANE_OK         a sample was handed out
 *   CORVANE_NO_SAMPLE  the end of the track; the track checks; null data,
 *                      size or time pointers (nothing moves); a sample that
 *                      cannot be read or allocated
 *
 * Messages (stdout): at the end of the track
 *   "End of video track , frame num - video- [%d]\n"
 *   "End of audio track , frame num - audio-[%d]"
 * with the cursor; when the sample cannot be read or allocated, the messages
 * of GetSample.
 */
CORVANE_API int32_t CORVANE_CALL MP4GetNextSample(MP4_read_file *handle, int32_t trackId,
                                                  uint8_t **data, uint32_t *size, uint32_t *time);

/*
 * MP4NextKeyFrame: hands out the video key frame of the entry at keyCursor
 * and moves keyCursor forward (see Cursors above).  A negative keyCursor
 * starts at the first key frame.  videoCursor does not move; the key frame's
 * time is not handed out (GetSample or the index give it).
 *
 * trackId  videoTrackId
 * data     receives the sample block (left as it was on failure)
 * size     receives the sample's size in bytes
 *
 * Results:
 *   CORVANE_OK         a key frame was handed out
 *   CORVANE_NO_SAMPLE  past the last key frame; the track checks (the
 *                      audio track's id included); null data or size
 *                      pointers; a sample that cannot be read or allocated
 *
 * Messages (stdout): "cursor is [%d]\n" with the sample number;
 * past the last key frame
 *   "End of video track , key frame num - video- [%d]\n" with keyCursor;
 * when the key frame cannot be read or allocated
 *   "error to read sample from file in Get Next key Sample at sample - video-[%d]"
 *   "error to allocate a memory in Get Next key Sample at sample - video-[%d]"
 * with the key-frame entry.  (debugger): "alloc failed\n" or
 * "realloc failed\n" when the reading buffer cannot be allocated.
 */
CORVANE_API int32_t CORVANE_CALL MP4NextKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size);

/*
 * MP4PrevKeyFrame: hands out the video key frame of the entry at keyCursor
 * and moves keyCursor back (see Cursors above).  A keyCursor past the last
 * entry starts at the last key frame.  Arguments as MP4NextKeyFrame.
 *
 * Results:
 *   CORVANE_OK         a key frame was handed out
 *   CORVANE_NO_SAMPLE  before the first key frame; otherwise as
 *                      MP4NextKeyFrame
 *
 * Messages (stdout): "cursor is [%d]\n" with the sample number;
 * before the first key frame
 *   "Begin of video track ,key frame num - video- [%d]\n" with keyCursor;
 * when the key frame cannot be read or allocated
 *   "error to read sample from file in Get Prev key Sample at sample - video-[%d]"
 *   "error to allocate a memory in Get Next key Sample at sample - video-[%d]"
 * with the key-frame entry.  (debugger) as MP4NextKeyFrame.
 */
CORVANE_API int32_t CORVANE_CALL MP4PrevKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size);

/*
 * GoToBeginOfKeyFrame: sets keyCursor to 0, so that the next MP4NextKeyFrame
 * hands out the first key frame.
 *
 * Results:
 *   CORVANE_OK      keyCursor was set
 *   CORVANE_FAILED  the track checks (the audio track's id included)
 */
CORVANE_API int32_t CORVANE_CALL GoToBeginOfKeyFrame(MP4_read_file *handle, int32_t trackId);

/*
 * GoToEndOfKeyFrame: sets keyCursor to the last key-frame entry, so that the
 * next MP4PrevKeyFrame hands out the last key frame.
 *
 * Results:
 *   CORVANE_OK      keyCursor was set
 *   CORVANE_FAILED  the track checks (the audio track's id included)
 */
CORVANE_API int32_t CORVANE_CALL GoToEndOfKeyFrame(MP4_read_file *handle, int32_t trackId);

/*
 * MP4freeData: frees a block that a sample function handed out and sets the
 * caller's pointer to null.  A null pointer (or a null address) is ignored.
 *
 * Results:
 *   CORVANE_OK  always
 */
CORVANE_API int32_t CORVANE_CALL MP4freeData(uint8_t **data);

/* ========================================== file information, configuration */

/*
 * GetFileInfo: opens the file at `path` with MP4FileOpen, fills `info` (see
 * FileInfo) and closes the file again.  It prints what MP4FileOpen and the
 * reading functions print (stdout), about 400 lines.
 *
 * path  the file
 * info  the caller's record; cleared before it is filled (not touched when
 *       the file cannot be opened)
 *
 * Results:
 *   CORVANE_OK                 the record is filled
 *   CORVANE_INFO_CANNOT_OPEN   the file cannot be opened for reading, or
 *                              the path is null
 *   CORVANE_INFO_NO_RECORD     the record pointer is null
 *   CORVANE_INFO_NOT_READABLE  MP4FileOpen refuses the file (the record
 *                              stays cleared)
 */
CORVANE_API int32_t CORVANE_CALL GetFileInfo(const char *path, FileInfo *info);

/*
 * GetM4vEsdsData: the decoder configuration of the video track: the video
 * object and video object layer headers of MPEG-4 Visual from the track's
 * "esds", without the visual object sequence and visual object headers that
 * may stand before them; and the picture size read from them.
 *
 * buffer      receives the header bytes; 80 bytes always suffice
 * width, height
 *             receive video_object_layer_width and _height (possibly set
 *             also when the result is CORVANE_NOT_HANDLED)
 * headerSize  receives the number of bytes written to buffer
 * Null width, height or headerSize pointers are skipped.
 *
 * Results:
 *   CORVANE_OK           the header is in the buffer
 *   CORVANE_NO_BUFFER    the buffer pointer is null (nothing else is done)
 *   CORVANE_FAILED       a null handle; no video track; a box of the path
 *                        trak/mdia/minf/stbl/stsd/mp4v/esds is missing; the
 *                        "esds" is too short or holds no video object start
 *                        code
 *   CORVANE_NOT_HANDLED  a video object layer header that is not
 *                        rectangular, uses sprites, more than 8 bits,
 *                        quarter-sample motion, complexity estimation,
 *                        NEWPRED, reduced-resolution planes or scalability;
 *                        or one that runs past the "esds"
 *
 * Messages (stdout): "mp4 file uncreated\n"; "Can't find [%s] atom\n" with
 * the box that is missing.
 */
CORVANE_API int32_t CORVANE_CALL GetM4vEsdsData(MP4_read_file *handle, uint8_t *buffer,
                                                uint32_t *width, uint32_t *height,
                                                uint32_t *headerSize);

/*
 * GetM4aEsdsData: the audio track's "esds" box, from its size field on: the
 * ES descriptor with the AAC AudioSpecificConfig and the bit rates.
 *
 * buffer  receives the box's bytes, at most 80 (the reader keeps the first
 *         80 bytes of an "esds"): give 80 bytes
 * size    receives the box's size as stored (which may exceed the bytes
 *         copied); a null pointer is skipped
 *
 * Results:
 *   CORVANE_OK         the bytes are in the buffer
 *   CORVANE_NO_BUFFER  the buffer pointer is null (nothing else is done)
 *   CORVANE_FAILED     a null handle; no audio track; a box of the path
 *                      trak/mdia/minf/stbl/stsd/mp4a/esds is missing
 *
 * Messages (stdout): "mp4 file uncreated\n"; "Can't find [%s] atom\n" with
 * the box that is missing.
 */
CORVANE_API int32_t CORVANE_CALL GetM4aEsdsData(MP4_read_file *handle, uint8_t *buffer,
                                                uint32_t *size);

/*
 * GetM4vHeaderSize: the configuration header at the start of an MPEG-4
 * Visual elementary stream file: the number of bytes from the start of the
 * file to the end of the video object layer header, that is the bytes a
 * writer passes to CreateTrack as the decoder configuration.  The stream
 * must begin with a video object start code (00 00 01 00 to 1F) or a visual
 * object sequence start code (00 00 01 B0); only its first 500 bytes are
 * read.
 *
 * path    the stream file
 * width, height
 *         receive video_object_layer_width and _height; null pointers are
 *         skipped
 *
 * Results:
 *   >0                   the header size in bytes
 *   CORVANE_NOT_HANDLED  the file cannot be opened (or the path is null),
 *                        begins with another start code, or its video
 *                        object layer header is not handled (as
 *                        GetM4vEsdsData)
 *   CORVANE_NO_MEMORY    the working buffer could not be allocated
 *
 * Messages (stdout): "Unable to new memory [bitstream]\n" with
 * CORVANE_NO_MEMORY.
 */
CORVANE_API int32_t CORVANE_CALL GetM4vHeaderSize(const char *path, uint32_t *width,
                                                  uint32_t *height);

/* ================================================================== writing
 *
 * A file is written in four steps: MP4FileNew creates it; CreateTrack adds
 * the tracks; AddVideoFrame and AddAudioFrame add the encoded frames, which
 * go to one temporary file per track; MP4FileFlush writes the boxes and the
 * media data, deletes the temporary files and releases the handle.  Nothing
 * but the empty output file exists on disk before the flush; a handle
 * cannot be abandoned without a flush.
 */

/*
 * MP4FileNew: creates (or truncates) the output file and the writer's handle
 * with the file's top-level boxes ("ftyp", "moov" with "mvhd" and "iods",
 * "mdat").
 *
 * handle  address of the caller's handle variable; receives the handle, or
 *         null on failure
 * path    the output file, at most 254 characters
 *
 * Results:
 *   CORVANE_OK      the handle is ready for CreateTrack
 *   CORVANE_FAILED  a null handle variable; the file cannot be created, or
 *                   the path is null or longer than 254 characters; no
 *                   memory (a file already created stays, empty)
 *
 * Messages (debugger): "the input parameter for MP4_local_file is empty\n",
 * "Can not create new file in MP4FileNew(...) \n",
 * "Can't allocate memory for MP4_local_file in MP4FileNew(...) \n",
 * "Can't allocate memory for Root_atom in MP4FileNew(...) \n",
 * "Error occur for create atom subtree in MP4FileNew(...) \n".
 */
CORVANE_API int32_t CORVANE_CALL MP4FileNew(MP4_local_file **handle, const char *path);

/*
 * CreateTrack: adds a track.  Tracks get the ids 1, 2, ... in the order they
 * are created.  Create the video and audio tracks first: the one sample of an
 * object-descriptor or scene-description track is sized by the media tracks
 * that exist when it is created.  A second track of a type replaces the
 * first (whose frames are dropped).  Object-descriptor and scene tracks are
 * optional: players read files without them, and a file without them is one
 * MP4FileOpen reads back (see MP4FileOpen).
 *
 * handle            the writer's handle
 * trackType         CORVANE_TRACK_VIDEO, _AUDIO, _OBJECT_DESCRIPTOR, _SCENE
 * width, height     video: the picture size in pixels (below 8192 when the
 *                   video configuration is built, see decoderConfig)
 * timeIncrementResolution
 *                   MPEG-4 video without decoderConfig: the
 *                   vop_time_increment_resolution of the built header
 * timescale         units per second of the frame times (video: 1000 for
 *                   milliseconds; audio: the sampling rate, so that an AAC
 *                   frame lasts 1024 units); not 0 for audio
 * profileLevel      MPEG-4 video: profile_and_level_indication; it replaces
 *                   the one in decoderConfig's visual object sequence header
 * audioProfile      AAC: the audio object type - 1 (1 for AAC-LC)
 * channelConfig     AAC: the channel configuration (1 mono, 2 stereo)
 * samplingFrequency AAC: in Hz, one of the rates 96000 to 7350 of AAC
 * decoderConfigLength, decoderConfig
 *                   the decoder configuration, at most
 *                   CORVANE_MAX_DECODER_CONFIG bytes, copied:
 *                   - MPEG-4 video: the stream's headers up to the end of
 *                     the video object layer header (GetM4vHeaderSize says
 *                     how many), beginning with 00 00 01 B0 or 00 00 01 00;
 *                     or none (0, null): a header is built from width,
 *                     height and timeIncrementResolution;
 *                   - AAC: none, with audioProfile, channelConfig and
 *                     samplingFrequency; or the first 7 bytes of an ADTS
 *                     frame, with those three 0; or the 2-byte
 *                     AudioSpecificConfig;
 *                   - AMR: its first byte is the header byte of an AMR
 *                     frame (the mode);
 *                   - object-descriptor and scene tracks: not used
 * tempFileName      video and audio: the temporary file for the track's
 *                   frames, created now and deleted by MP4FileFlush.  The
 *                   string is not copied: keep it valid until the flush.  A
 *                   relative name resolves against the working directory
 *                   both now and at the flush.  Not used by the other types
 * codec             video and audio: CORVANE_CODEC_MPEG4 or
 *                   CORVANE_CODEC_3GPP; not used by the other types
 *
 * Results:
 *   CORVANE_OK      the track was added
 *   CORVANE_FAILED  a track type other than the four; a null handle; an
 *                   audio timescale of 0; a decoder configuration longer
 *                   than CORVANE_MAX_DECODER_CONFIG bytes, or a length
 *                   without bytes; MPEG-4 video: a configuration that
 *                   begins with neither 00 00 01 B0 nor 00 00 01 00, or a
 *                   width or height of 8192 or more without configuration;
 *                   a codec other than the two; no memory.  Only the last
 *                   two use up a track id
 *
 * Messages: "unsupport track type\n" (stdout); the others to the debugger:
 * "the input parameter for MP4_local_file is empty\n",
 * "A timescale of 0 is refused in CreateTrack(...) \n",
 * "The decoder configuration is too long in CreateTrack(...) \n",
 * "The decoder configuration is not an MPEG-4 Visual header in CreateTrack(...) \n",
 * "The frame size does not fit the video object layer in CreateTrack(...) \n",
 * "Can't create atom HierarchySubTree in CreateTrack(...) \n" (the codec),
 * "Can't allocate memory for TrackNode in CreateTrack(...) \n",
 * "Can't create Sample and KeyFrame table in CreateTrack(...) \n",
 * "Can't allocate atom subtree's realstructure in CreateTrack(...) \n",
 * "atom[trak] allocate error\n".
 * A temporary file that cannot be created is not reported here: the track's
 * first frame fails.
 */
CORVANE_API int32_t CORVANE_CALL CreateTrack(MP4_local_file *handle, uint32_t trackType,
                                             uint16_t width, uint16_t height,
                                             uint16_t timeIncrementResolution, uint32_t timescale,
                                             uint32_t profileLevel, uint32_t audioProfile,
                                             uint32_t channelConfig, uint32_t samplingFrequency,
                                             uint32_t decoderConfigLength,
                                             const uint8_t *decoderConfig,
                                             const char *tempFileName, uint32_t codec);

/*
 * AddVideoFrame: adds one encoded frame to the video track: its bytes go to
 * the track's temporary file before the call returns (the caller keeps its
 * buffer).  Frames come in decoding order, with times that do not decrease
 * (not checked).  The track's bit rates are kept up to date.
 *
 * size     the frame's size in bytes
 * data     the frame's bytes (for MPEG-4 Visual: one video object plane with
 *          its start code, 00 00 01 B6)
 * time     the frame's decoding time in the track's timescale
 * keyFlag  CORVANE_KEY_FRAME for a key frame (an intra-coded plane), any
 *          other value for the others
 *
 * Results:
 *   CORVANE_OK      the frame was added
 *   CORVANE_FAILED  a null handle; no video track; the bytes could not be
 *                   written to the temporary file (also a null data pointer
 *                   with a size, or a temporary file that could not be
 *                   created): the frame stays counted (it cannot be taken
 *                   back) and the flush reports the temporary file; no
 *                   memory for the track's tables
 *
 * Messages (debugger): "the input parameter for MP4_local_file is empty\n",
 * "there is no VideoTrackNode in the input MP4_local_file\n",
 * "the size of data written to temp video file is error!\n",
 * "Can't create Sample and KeyFrame table for VideoTrackNode in AddVideoFrame(...) \n".
 * (stdout): "this bug" for a frame at 133 seconds exactly.
 */
CORVANE_API int32_t CORVANE_CALL AddVideoFrame(MP4_local_file *handle, uint32_t size,
                                               const uint8_t *data, uint32_t time,
                                               int32_t keyFlag);

/*
 * AddAudioFrame: adds one encoded audio frame (for AAC a raw frame, without
 * its ADTS header) to the audio track, as AddVideoFrame does.
 *
 * Results:
 *   CORVANE_OK      the frame was added
 *   CORVANE_FAILED  a null handle; no audio track; the bytes could not be
 *                   written (as AddVideoFrame); no memory for the track's
 *                   tables
 *
 * Messages (debugger): "the input parameter for MP4_local_file is empty\n",
 * "there is no AudioTrackNode in the input MP4_local_file\n",
 * "the size of data written to temp audio file is error!\n",
 * "Can't create Sample and KeyFrame table for AudiTrackNode in AddAudioFrame(...) \n".
 * (stdout): "this bug" for a frame at 133 seconds exactly.
 */
CORVANE_API int32_t CORVANE_CALL AddAudioFrame(MP4_local_file *handle, uint32_t size,
                                               const uint8_t *data, uint32_t time);

/*
 * MP4FileFlush: writes the file: "ftyp", "moov" with every track, the
 * "mdat" with the video frames and then the audio frames, and after the
 * "mdat" the one access unit of each object-descriptor and scene track.  It
 * deletes the temporary files, closes the output and releases the handle
 * with everything it owns, whatever happens on the way: do not use the
 * handle afterwards.
 *
 * Results:
 *   CORVANE_OK      the handle was released (problems on the way are only
 *                   reported by the messages)
 *   CORVANE_FAILED  a null handle
 *
 * Messages: "the input localfile is empty!\n" (debugger) for a null handle;
 * "Can't merge the blocks of the track in MP4FileFlush(...) \n",
 * "The input TrackNode is empty\n" and "This atom is not a track atom\n"
 * (debugger); the box-filling code's messages (stdout), among them
 * "error in video tempfile!\n" and "error in audio tempfile!\n" for a
 * temporary file that does not hold the bytes added,
 * "Can't reopen video tempfile!\n", "Can't reopen audio tempfile!\n".
 */
CORVANE_API int32_t CORVANE_CALL MP4FileFlush(MP4_local_file *handle);

/* ========================================================== remultiplexing
 *
 * Both calls make a new MP4 file of four tracks (video, audio, object
 * descriptor, scene description) from one track of an MP4 file and a raw
 * elementary stream, with the reader and the writer above: they print what
 * those print.  They keep their frames in the temporary files "tempv.v" and
 * "tempa.a" of the working directory, overwriting files of those names and
 * deleting them at the end: never run two at once in the same directory.
 * The files they write end with the object-descriptor and scene access
 * units after "mdat", which players read and MP4FileOpen refuses.
 */

/*
 * Mp4AddAudio: the video track of `sourceMp4` with the AAC stream in ADTS
 * framing of `adtsFile`, written to `outputMp4`.  The audio frames get times
 * 0, 1024, 2048, ... in a timescale of the stream's sampling rate.
 *
 * Results:
 *   CORVANE_OK                       the new file was written
 *   CORVANE_REMUX_BAD_ARGUMENT       a null path, or the ADTS file cannot
 *                                    be opened
 *   CORVANE_REMUX_BAD_STREAM         the ADTS file does not begin with a
 *                                    usable ADTS header, is 2 GiB or more,
 *                                    or its frames end before its end (the
 *                                    new file is then deleted); the video
 *                                    configuration is longer than 52 bytes
 *   CORVANE_REMUX_SOURCE_UNREADABLE  MP4FileOpen refuses the source
 *   CORVANE_REMUX_NO_CONFIG          the source's video track has no usable
 *                                    MPEG-4 Visual configuration
 *   CORVANE_REMUX_SAMPLE_UNREADABLE  a video sample of the source cannot be
 *                                    read (the new file stays empty)
 *   CORVANE_REMUX_CANNOT_CREATE      the new file or a track cannot be
 *                                    created (what the call created is
 *                                    removed)
 */
CORVANE_API int32_t CORVANE_CALL Mp4AddAudio(const char *sourceMp4, const char *adtsFile,
                                             const char *outputMp4);

/*
 * Mp4AddVideo: the audio track of `sourceMp4` with the MPEG-4 Visual
 * elementary stream of `videoStream`, written to `outputMp4`.  Video frame k
 * (from 0) gets the time 1000 x k / frameRate, truncated, in a timescale of
 * 1000; a frame is a key frame when it is an intra-coded plane.
 *
 * frameRate  frames per second, above 0 (29.97 is fine)
 *
 * Results:
 *   CORVANE_OK                       the new file was written
 *   CORVANE_REMUX_BAD_ARGUMENT       a null path, or the stream file cannot
 *                                    be opened
 *   CORVANE_REMUX_BAD_FRAME_RATE     a frame rate of 0, below 0 or not a
 *                                    number
 *   CORVANE_REMUX_BAD_STREAM         GetM4vHeaderSize fails on the stream;
 *                                    its header is longer than 52 bytes or
 *                                    does not begin with 00 00 01; it holds
 *                                    no video object plane; it is 2 GiB or
 *                                    more; or its frames could not all be
 *                                    copied (the new file is then deleted)
 *   CORVANE_REMUX_SOURCE_UNREADABLE  MP4FileOpen refuses the source
 *   CORVANE_REMUX_NO_CONFIG          the source's audio track has no usable
 *                                    AAC configuration
 *   CORVANE_REMUX_SAMPLE_UNREADABLE  an audio sample of the source cannot be
 *                                    read (the new file stays empty)
 *   CORVANE_REMUX_CANNOT_CREATE      the new file or a track cannot be
 *                                    created (what the call created is
 *                                    removed)
 */
CORVANE_API int32_t CORVANE_CALL Mp4AddVideo(const char *sourceMp4, const char *videoStream,
                                             const char *outputMp4, float frameRate);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE2_H */
