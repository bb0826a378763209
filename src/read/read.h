// The reading side: track records, the flat sample index and the reusable
// sample buffer behind the exported sample functions.
//
// Invariants every function of this folder keeps for a ReadTrack, whatever
// the file held:
//   sampleCount <= capacity, and samples is non-null whenever sampleCount > 0;
//   entry k < sampleCount is SampleAt(track, k): stored in samples, or, for a
//   track whose tables claim far more samples than they have bytes, computed
//   from the tables kept in `computed` (samples then stays as allocated);
//   keyFrameCount entries of keyFrames are valid (keyFrames non-null when it
//   is > 0), each naming an entry of samples (one below sampleCount when the
//   index was built; all zero when a table was missing), in the order of the
//   file's sync-sample table, which need not be ascending.
// Sample access relies on them instead of re-checking the atom tables.
#ifndef CORVANE_READ_H
#define CORVANE_READ_H

#include <cstdint>

#include "atom/atom.h"
#include "corvane2.h"
#include "read/sample_index.h"

// Media types of a track, from its handler type.
constexpr int32_t kMediaVideo = 1;   // "vide"
constexpr int32_t kMediaAudio = 2;   // "soun"
constexpr int32_t kMediaHint = 3;    // "hint"
constexpr int32_t kMediaOd = 4;      // "odsm"
constexpr int32_t kMediaScene = 5;   // "sdsm"
constexpr int32_t kMediaUnknown = -99;

struct ComputedIndex;

// One track found in the file; owned by the handle's slot.
struct ReadTrack {
    int32_t mediaType;
    uint32_t sampleCount;     // samples in the index
    uint32_t keyFrameCount;   // entries of keyFrames in use (video only)
    uint32_t capacity;        // SampleEntry slots of samples
    SampleEntry *samples;
    KeyFrameEntry *keyFrames; // video only
    AtomNode *trak;
    // Kept beside the record's own fields: for a key-frame table that is not
    // in ascending order, entry i is the largest sample number among entries
    // 0..i, so that the key-flag search stays logarithmic; null for an
    // ascending table.
    uint32_t *keyRunningMax;
    // The sample tables in closed form when the entries are not stored in
    // samples (see the sample index); null when they are.
    ComputedIndex *computed;
    // Entries allocated for keyFrames (capacity / 2, or more once grown).
    uint32_t keyFrameSlots;
};

// The index's arrays: zero-filled, null when they cannot be had (also for a
// block of 2 GiB or more, see kLargestBlock).  Large ones come straight from
// the system and cost memory only where entries are written.
void *AllocIndexArray(uint64_t count, size_t entryBytes);
void FreeIndexArray(void *array, uint64_t count, size_t entryBytes);

// A buffer reused across GetNextSample calls; grows only when a larger
// sample comes.
struct SampleBuffer {
    uint32_t capacity;  // bytes data can hold
    int32_t keyFlag;    // 1 when the last video sample read is a key frame
    uint8_t *data;
};

// 11 zeroed bytes; -92 (after "alloc failed\n" on the debugger output) when
// they cannot be had.
int32_t InitSampleBuffer(SampleBuffer *buffer);
// Resizes data to n + 10 bytes; -91 (after "realloc failed\n") when that
// fails or when the buffer holds no data yet.
int32_t GrowSampleBuffer(SampleBuffer *buffer, uint32_t n);
// Frees data; 1.
int32_t ReleaseSampleBuffer(SampleBuffer *buffer);
inline uint8_t *SampleBufferData(const SampleBuffer *buffer) { return buffer->data; }
inline uint32_t SampleBufferCapacity(const SampleBuffer *buffer) { return buffer->capacity; }
inline int32_t SampleBufferKeyFlag(const SampleBuffer *buffer) { return buffer->keyFlag; }
inline void SetSampleBufferKeyFlag(SampleBuffer *buffer, int32_t flag) { buffer->keyFlag = flag; }

// ---------------------------------------------------------------- open

// MP4FileOpen with the top-level scan's options (MP4FileOpen reads exactly);
// `leftOut` (optional) receives what a tolerant scan left out.  Results,
// messages and the handle are those of MP4FileOpen.
int32_t OpenMp4File(MP4_read_file **handleOut, const char *path, ReadOptions options,
                    LeftOut *leftOut);

// The words of GetFileInfo for a handle already open (cleared beforehand by
// the caller); reads the first audio sample of an MPEG audio track.
void FillFileInfo(MP4_read_file *handle, FileInfo *info);

// ---------------------------------------------------------------- tracks

int32_t FindTrackById(Root_atom *root, int32_t id, AtomNode **trak);
int32_t GetTrackMediaType(AtomNode *trak, int32_t *mediaType);
int32_t GetVideoTrackInfo(AtomNode *trak, VideoInfo *info);
int32_t GetAudioTrackInfo(AtomNode *trak, AudioInfo *info);
int32_t AllocVideoIndex(ReadTrack **slot, int32_t count);
int32_t AllocAudioIndex(ReadTrack **slot, int32_t count);
int32_t FreeTrackIndex(ReadTrack **slot);

// ---------------------------------------------------------------- sample index

int32_t BuildVideotrackIndex(ReadTrack **slot);
int32_t BuildAudiotrackIndex(ReadTrack **slot);
// Entry k (below sampleCount) of a track's index.
SampleEntry SampleAt(const ReadTrack *track, uint32_t k);
void FreeComputedIndex(ComputedIndex *index);

// ---------------------------------------------------------------- sample access

int32_t GetNextSample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                      uint32_t *size, uint32_t *time);
// GetNextSample, with the same cursor move, checks, messages, results and
// key flag, for a caller that copies large samples from the file itself: a
// sample above `inPlaceAbove` bytes is not read whole (only its first five
// bytes go to the buffer); `offset` gives where it lies in the handle's
// stream.
int32_t GetNextSampleInPlace(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                             uint32_t *size, uint32_t *time, uint32_t inPlaceAbove,
                             uint32_t *offset);
int32_t GetNextKeySample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                         uint32_t *size);
int32_t GetPrevKeySample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                         uint32_t *size);
int32_t FindKeySample(uint32_t sampleNumber, const ReadTrack *track, uint32_t *index);

#endif
