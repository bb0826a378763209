// The writer: a new file's atom tree built from templates, tracks that collect
// frames into fixed-size blocks and spool their bytes to temporary files, the
// fills that turn what was collected into atom records, and the flush that
// writes ftyp, moov, mdat and the media data.
//
// Values stored into records are big-endian (StoreU32/StoreU16 convert);
// the fields of TrackNode, FrameEntry and KeyFrameEntry are host order.
#ifndef CORVANE_WRITE_H
#define CORVANE_WRITE_H

#include <cstdint>
#include <cstdio>

#include "atom/atom.h"
#include "corvane2.h"
#include "read/sample_index.h"

// ---------------------------------------------------------------- records

// One sample of a track being written.
struct FrameEntry {
    uint32_t time;       // decoding time in the track's timescale units
    uint32_t reserved1;  // always 0
    uint32_t offset;     // offset of the frame in the track's temporary file
    uint32_t size;       // bytes
    uint32_t reserved2;  // always 0
};

constexpr uint32_t kDecoderConfigBytes = 52;
constexpr uint32_t kMediaBlockCapacity = 2000;     // video and audio blocks
constexpr uint32_t kSystemsBlockCapacity = 100;    // object descriptor and scene tracks

enum TrackType : uint32_t {
    kVideoTrack = 1,
    kAudioTrack = 2,
    kObjectDescriptorTrack = 4,
    kSceneTrack = 5,
};

// One block of a track.  A track is a chain of blocks linked by nextBlock; the
// handle points at the first.  Both tables of a block hold `capacity` entries:
// a block never has more key frames than samples, so no key frame is ever
// refused for lack of room.
struct TrackNode {
    uint32_t trackId;
    uint32_t firstSample;     // samples held by the blocks before this one
    uint32_t firstKeyFrame;   // key-frame entries held by the blocks before this one
    uint32_t sampleCount;     // entries of samples in use
    uint32_t keyFrameCount;   // entries of keyFrames in use
    uint32_t capacity;        // entries of samples (and of keyFrames); 0: no tables yet
    uint16_t width;
    uint16_t height;
    uint16_t timeIncrementResolution;
    uint32_t timescale;
    uint32_t duration;        // set while the track's stts is filled
    uint32_t trackType;
    TrackNode *nextBlock;
    FrameEntry *samples;
    KeyFrameEntry *keyFrames;
    AtomNode *trakAtom;       // owned by the track until the flush links it under moov
    uint8_t decoderConfig[kDecoderConfigBytes];
    uint32_t decoderConfigLength;
    uint32_t audioProfile;    // AAC audio object type minus 1
    uint32_t channelConfig;
    uint32_t samplingFrequency;
    uint32_t profileLevel;
    uint32_t videoTrackRef;
    uint32_t audioTrackRef;
    uint32_t avgBitrate;
    uint32_t maxBitrate;
    int32_t maxWindowBytes;
    int32_t windowBytes;
    int32_t windowIndex;
    // First block only: the last block of the chain, set by AddSampleTable
    // when it appends one (null while the first block is the only one), so
    // that adding a frame does not walk a chain that grows with the track.
    TrackNode *lastBlock;
};

// ---------------------------------------------------------------- templates

// One entry of an atom template.  Entry 0 is a header whose `parent` word holds
// the number n of atom entries that follow; entries 1..n describe the atoms:
// `parent` is the 1-based number of the parent entry (0 for the top), and a
// parent always comes before its children.  `node` is null in the tables and
// receives the built node in a working copy.
struct AtomTemplate {
    AtomNode *node;
    uint32_t parent;
    char type[5];
};

constexpr uint32_t TemplateAtomCount(const AtomTemplate *table) { return table[0].parent; }

extern const AtomTemplate kRootTemplate[];
extern const AtomTemplate kMpeg4VideoTemplate[];
extern const AtomTemplate kH263VideoTemplate[];
extern const AtomTemplate kAacAudioTemplate[];
extern const AtomTemplate kAmrAudioTemplate[];
extern const AtomTemplate kObjectDescriptorTemplate[];
extern const AtomTemplate kSceneTemplate[];

int32_t BuildTemplateSubtree(AtomNode **top, AtomTemplate *work);
int32_t BuildTrackSubtree(AtomNode **trak, uint32_t trackType, uint32_t codec);
int32_t BuildRootTree(Root_atom *root);

// ---------------------------------------------------------------- tracks and frames

int32_t AddSampleTable(TrackNode **block, uint32_t capacity);
void FreeTrackBlocks(TrackNode *first);
// The last block of the chain that starts at `first`, through the first
// block's lastBlock (then following nextBlock, should more blocks follow).
TrackNode *LastBlockOf(TrackNode *first);
// The sample (key-frame entry) with the given track-wide number, found through
// the chain of blocks; null when the track holds no such entry.
const FrameEntry *SampleAt(const TrackNode *track, uint32_t index);
const KeyFrameEntry *KeyFrameAt(const TrackNode *track, uint32_t index);

// ---------------------------------------------------------------- fills

int32_t FillTrackAtoms(TrackNode *track);
int32_t FillAtomRecord(AtomNode *atom, TrackNode *track);
// The sample descriptions (stsd, its entries and their configuration atoms);
// -1 when the type is not one of them.
int32_t FillSampleDescriptionRecord(AtomNode *atom, TrackNode *track);
int32_t BuildDefaultVisualEsds(uint8_t *buffer, const uint8_t *bufferSizeDB);
// The two-byte AudioSpecificConfig an ADTS header describes (its first 7
// bytes): audioObjectType = profile + 1, the sampling frequency index and
// the channel configuration, high byte first.
uint16_t AudioSpecificConfigOfAdts(const uint8_t *c);
// Whether an MPEG-4 Visual configuration can go into the esds: none at all,
// or one that begins with a visual object sequence (00 00 01 B0) or a video
// object (00 00 01 00) start code.
bool IsWritableVisualConfig(const uint8_t *config, uint32_t length);
// Stores an atom's final size into its record and its node; returns it.
int32_t StoreAtomSize(AtomNode *atom, uint32_t size);

int32_t FillMovieAtoms(Root_atom *root, MP4_local_file *file);
int32_t FillMovieAtomRecord(AtomNode *atom, MP4_local_file *file);
int32_t ShiftChunkOffsets(AtomNode *trak, uint32_t delta);
int32_t SetTrackDuration(AtomNode *trak, uint32_t duration);

// The 36-byte unity matrix of tkhd and mvhd.
extern const uint8_t kUnityMatrix[36];
constexpr uint32_t kFixedTimeStamp = 0x12345678;

// AddVideoFrame and AddAudioFrame for a frame that lies in another open
// file, `size` bytes at `at`: the same entries, checks, messages and
// results, with the bytes copied from file to file (by the kernel where it
// can) instead of through memory.  `from` is left somewhere after them.
int32_t AddVideoFrameFrom(MP4_local_file *handle, uint32_t size, FILE *from, uint64_t at,
                          uint32_t time, int32_t keyFlag);
int32_t AddAudioFrameFrom(MP4_local_file *handle, uint32_t size, FILE *from, uint64_t at,
                          uint32_t time);

// ---------------------------------------------------------------- flush

// Merges the chain of blocks of the video (or audio) track into one block.
int32_t MergeTrackBlocks(MP4_local_file *file, bool video);
int32_t WriteMediaData(MP4_local_file *file);
// Appends the whole temporary file `name` to `out` through the buffer
// `piece`; 1, or -99 after a report when nothing could be copied.
int32_t CopyTempFile(FILE *out, const char *name, uint32_t expected, bool video, uint8_t *piece,
                     size_t pieceBytes);
int32_t WriteAtomList(AtomNode *first, Root_atom *root);
int32_t FreeWrittenSubtree(AtomNode *atom);
void AbandonLocalFile(MP4_local_file *handle);

// The fixed access units of the object-descriptor and scene tracks, chosen by
// which media tracks a file has.  `size` 0 when there is none for that choice.
struct AccessUnit {
    const uint8_t *bytes;
    uint32_t size;
};
AccessUnit ObjectDescriptorUnit(bool hasVideo, bool hasAudio);
AccessUnit SceneUnit(bool hasVideo, bool hasAudio);

#endif
