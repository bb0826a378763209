// The blocks of a track being written: fixed-size sample and key-frame
// tables chained one after another, so that adding a frame never moves the
// entries already made.
#include "write/write.h"

namespace {

void FreeBlockTables(TrackNode *block) {
    FreeIfSet(block->samples);
    FreeIfSet(block->keyFrames);
    block->samples = nullptr;
    block->keyFrames = nullptr;
}

}  // namespace

// Gives the block its tables, or appends a new block that receives them when
// the block already has tables.  Results: 1; -98 when the new block cannot be
// allocated; -96 (samples) or -95 (key frames) when a table cannot be, in
// which case whatever this call allocated is released and unlinked.
//
// The key-frame table holds as many entries as the sample table: a block can
// never hold more key frames than samples, so an all-key-frame video loses no
// key frame however long it is.
int32_t AddSampleTable(TrackNode **block, uint32_t capacity) {
    if (block == nullptr || *block == nullptr || capacity == 0) return -98;
    TrackNode *target = *block;
    TrackNode *created = nullptr;
    if (target->capacity != 0) {
        created = static_cast<TrackNode *>(AllocZeroed(sizeof(TrackNode)));
        if (created == nullptr) return -98;
        TrackNode *last = LastBlockOf(target);
        last->nextBlock = created;
        target = created;
    }
    target->samples = static_cast<FrameEntry *>(AllocZeroed(capacity * sizeof(FrameEntry)));
    target->keyFrames =
        static_cast<KeyFrameEntry *>(AllocZeroed(capacity * sizeof(KeyFrameEntry)));
    const int32_t result = target->samples == nullptr ? -96 : target->keyFrames == nullptr ? -95 : 1;
    if (result != 1) {
        FreeBlockTables(target);
        if (created != nullptr) {
            TrackNode *last = *block;
            while (last->nextBlock != created) last = last->nextBlock;
            last->nextBlock = nullptr;
            FreeIfSet(created);
        }
        return result;
    }
    target->capacity = capacity;
    if (created != nullptr) (*block)->lastBlock = created;
    return 1;
}

TrackNode *LastBlockOf(TrackNode *first) {
    TrackNode *last = first->lastBlock != nullptr ? first->lastBlock : first;
    while (last->nextBlock != nullptr) last = last->nextBlock;
    return last;
}

// Releases every block of a chain with its tables.  The trak subtree is not
// touched: it is released with the file's tree once linked, or by the caller.
void FreeTrackBlocks(TrackNode *first) {
    while (first != nullptr) {
        TrackNode *next = first->nextBlock;
        FreeBlockTables(first);
        FreeIfSet(first);
        first = next;
    }
}

const FrameEntry *SampleAt(const TrackNode *track, uint32_t index) {
    for (const TrackNode *block = track; block != nullptr; block = block->nextBlock) {
        if (index < block->firstSample) return nullptr;
        const uint32_t local = index - block->firstSample;
        if (local < block->sampleCount)
            return local < block->capacity && block->samples ? &block->samples[local] : nullptr;
    }
    return nullptr;
}

const KeyFrameEntry *KeyFrameAt(const TrackNode *track, uint32_t index) {
    for (const TrackNode *block = track; block != nullptr; block = block->nextBlock) {
        if (index < block->firstKeyFrame) return nullptr;
        const uint32_t local = index - block->firstKeyFrame;
        if (local < block->keyFrameCount)
            return local < block->capacity && block->keyFrames ? &block->keyFrames[local] : nullptr;
    }
    return nullptr;
}
