// Sample access: samples by time, by key-frame seek, one after another and
// from key frame to key frame, served from the flat index built at open time
// with one seek and one read each.
//
// Cursors: videoCursor and audioCursor number the next sample of their track
// to hand out; keyCursor is the next entry of the video key-frame table, one
// cursor for both directions.
//
// Left to this implementation, where the index gives no answer:
//   - GetSample or SeekTrack on a track without samples, and SeekTrack on a
//     video track without key frames asked for a time above 0, return -99
//     without reading or moving any cursor, with the caller's block null and
//     size 0;
//   - a key-frame seek that lands before the first entry (a time before the
//     first key frame, or times past 2^31, which compare as negative) sets
//     keyCursor to that entry's index plus one, 0, and hands out the key
//     frame of entry 0 instead of reading before the table.
//
// Memory for a sample: the block or buffer a sample needs is a block of
// 2 GiB or more for a size near 2^32, which a 32-bit process cannot have, so
// such a sample gives the allocation failure on every build (see
// kLargestBlock).  A sample that does not lie wholly inside the file cannot
// be read in full: its read fails, and only the bytes the file holds of it
// are read (into the reader's buffer, where they stay, as a read that falls
// short leaves them) or none (into a block that is released again), so no
// memory is reserved for bytes the file does not have.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/read.h"

namespace {

enum class Branch { Video, Audio, Other };

// The checks every function makes first: a handle, a track in the slot, and
// which of the served tracks the id names.  0 when they pass.
int32_t CheckTrack(const MP4_read_file *handle, int32_t trackId, int32_t emptyCode,
                   ReadTrack **track, Branch *branch) {
    if (handle == nullptr) {
        std::printf("mp4 file uncreated\n");
        return -99;
    }
    if (trackId < 0 || trackId >= MP4_READ_TRACK_SLOTS || handle->tracks[trackId] == nullptr) {
        std::printf("No such track id [%d]\n", trackId);
        return emptyCode;
    }
    *track = handle->tracks[trackId];
    if (trackId == handle->videoTrackId)
        *branch = Branch::Video;
    else if (trackId == handle->audioTrackId)
        *branch = Branch::Audio;
    else
        *branch = Branch::Other;
    return 0;
}

FILE *StreamOf(const MP4_read_file *handle) {
    return handle->root != nullptr ? handle->root->file : nullptr;
}

bool SampleInFile(const MP4_read_file *handle, const SampleEntry &entry) {
    if (StreamOf(handle) == nullptr) return false;
    return uint64_t(entry.offset) + entry.size <= handle->root->fileSize;
}

// The bytes of a sample that the file holds: all of it, a first part, or none.
uint32_t BytesInFile(const MP4_read_file *handle, const SampleEntry &entry) {
    if (StreamOf(handle) == nullptr || entry.offset >= handle->root->fileSize) return 0;
    const uint32_t left = handle->root->fileSize - entry.offset;
    return entry.size < left ? entry.size : left;
}

// Whether a buffer of the sample's size and 10 bytes more, as the reader's
// buffer grows, is a block a 32-bit process can hold.
bool BufferFits(uint32_t size) { return BlockFits(uint64_t(size) + 10); }

// Moves the stream to `offset`.  A sample that starts where the previous one
// ended (the common case in a walk through interleaved chunks) needs no seek;
// a seek would make the stream drop its buffer and cost a system call.
bool MoveTo(FILE *file, uint32_t offset) {
    const long here = std::ftell(file);
    if (here >= 0 && uint64_t(here) == offset) return true;
    return std::fseek(file, long(offset), SEEK_SET) == 0;
}

// One seek (when needed) and one read of the whole sample.
bool ReadSampleBytes(const MP4_read_file *handle, const SampleEntry &entry, uint8_t *into) {
    FILE *file = StreamOf(handle);
    if (file == nullptr || !SampleInFile(handle, entry)) return false;
    if (!MoveTo(file, entry.offset)) return false;
    if (entry.size == 0) return true;
    return into != nullptr && std::fread(into, 1, entry.size, file) == entry.size;
}

const char *KindName(Branch branch) { return branch == Branch::Video ? "video" : "audio"; }

// Binary search with signed comparisons: the index of the entry with the
// greatest time not above t, among `count` entries whose time `timeOf` gives;
// -1 when t is below the first entry's time.
template <typename TimeOf>
int32_t SearchTime(int32_t t, int32_t count, TimeOf timeOf) {
    int32_t low = 0;
    int32_t high = count - 1;
    int32_t middle = 0;
    while (low <= high) {
        middle = low + (high - low) / 2;
        const int32_t at = int32_t(timeOf(middle));
        if (t == at) return middle;
        if (t < at)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return t < int32_t(timeOf(middle)) ? middle - 1 : middle;
}

// The end bound of both lookups is the signed 32-bit product of the timescale
// and the sample count, wrapping as such a product does: past 2^31 (48 kHz
// audio after about 16 minutes) it turns negative, and every positive time
// then lands on the last entry.
bool PastEnd(int32_t t, uint32_t timescale, uint32_t count) {
    return t >= int32_t(timescale * count);
}

int32_t SampleAtTime(const ReadTrack *track, uint32_t timescale, int32_t t) {
    const uint32_t n = track->sampleCount;
    if (t <= 0) return 0;
    if (PastEnd(t, timescale, n)) return int32_t(n - 1);
    // Sample 0 has time 0, below every t searched for: the search never
    // lands before it.
    const int32_t found =
        SearchTime(t, int32_t(n), [track](int32_t i) { return SampleAt(track, uint32_t(i)).time; });
    return found < 0 ? 0 : found;
}

// Sets the cursor to `number`, leaves it one past, and hands the sample out in
// a fresh block of its exact size.
int32_t HandOutSample(MP4_read_file *handle, const ReadTrack *track, Branch branch,
                      int32_t number, uint8_t **data, uint32_t *size) {
    int32_t &cursor = branch == Branch::Video ? handle->videoCursor : handle->audioCursor;
    cursor = number;
    std::printf("cursor is [%d]\n", cursor);
    const SampleEntry entry = SampleAt(track, uint32_t(number));
    *size = entry.size;
    ++cursor;
    *data = nullptr;
    const char *failure = nullptr;
    uint8_t *block = nullptr;
    if (!BlockFits(entry.size))
        failure = "error to allocate a memory in Get Next Sample at sample - %s-[%d]";
    else if (!SampleInFile(handle, entry))
        failure = "error to read sample from file in Get Next Sample at sample - %s-[%d]";
    else if ((block = static_cast<uint8_t *>(std::calloc(entry.size ? entry.size : 1, 1))) == nullptr)
        failure = "error to allocate a memory in Get Next Sample at sample - %s-[%d]";
    else if (!ReadSampleBytes(handle, entry, block))
        failure = "error to read sample from file in Get Next Sample at sample - %s-[%d]";
    if (failure != nullptr) {
        std::printf(failure, KindName(branch), number);
        std::free(block);
        *size = 0;
        return -99;
    }
    *data = block;
    return int32_t(entry.time);
}

// Whether the first argument starts with a servable track and out pointers.
int32_t BeginLookup(MP4_read_file *handle, int32_t trackId, uint8_t **data, uint32_t *size,
                    ReadTrack **track, Branch *branch) {
    const int32_t checked = CheckTrack(handle, trackId, -99, track, branch);
    if (checked != 0) return checked;
    if (*branch == Branch::Other || data == nullptr || size == nullptr) return -99;
    if ((*track)->sampleCount == 0 || (*track)->samples == nullptr) {
        *data = nullptr;
        *size = 0;
        return -99;
    }
    return 0;
}

// Where the sequential reader puts a sample.  The internal readers' callers
// pass their reusable SampleBuffer, which grows when a sample does not fit
// and carries the key flag.  MP4GetNextSample instead has the sample read
// straight into the block of its exact size that the host receives: the
// bytes and the block are those that a copy out of a fresh buffer would give,
// without the buffer's allocation, the zeroing of the block and the copy,
// which for large samples cost more than the read itself (two fresh blocks of
// a 2.4 MB sample meant page faults on every byte of both).
struct SampleTarget {
    SampleBuffer *buffer = nullptr;  // the reader's buffer, or
    bool toBlock = false;            // a block of the sample's size, malloc'ed
    uint8_t *block = nullptr;        //   here and owned by the caller
    // Above this size (when not 0) a sample is left in the file for the
    // caller to copy from there: its offset is given back and only its
    // first five bytes are read into the buffer, since the key flag of a
    // video track without sync samples comes from the fifth.
    uint32_t inPlaceAbove = 0;
    uint32_t offset = 0;
};

uint8_t *ReserveBlock(uint32_t size) {
    void *block = size > 0 ? std::malloc(size) : std::calloc(1, 1);
    // The same message as a reader's buffer that cannot grow.
    if (block == nullptr) DebugOutput("realloc failed\n");
    return static_cast<uint8_t *>(block);
}

// Makes room for the sample and reads it.  0 on success, 1 when memory is
// short, 2 when the bytes cannot be read.
int32_t ReadInto(const MP4_read_file *handle, const SampleEntry &entry, SampleTarget *target) {
    if (!BufferFits(entry.size)) return 1;
    target->offset = entry.offset;
    if (!SampleInFile(handle, entry)) {
        // The read falls short: into a block, nothing stays; into the
        // buffer, the bytes the file holds, as such a read leaves them.
        const uint32_t held = BytesInFile(handle, entry);
        if (target->toBlock || held == 0) return 2;
        return ReadInto(handle, SampleEntry{entry.time, entry.offset, held}, target) == 1 ? 1 : 2;
    }
    if (target->inPlaceAbove != 0 && entry.size > target->inPlaceAbove)
        return ReadInto(handle, SampleEntry{entry.time, entry.offset, 5}, target);
    uint8_t *into = nullptr;
    if (target->toBlock) {
        into = target->block = ReserveBlock(entry.size);
        if (into == nullptr) return 1;
    } else {
        SampleBuffer *buffer = target->buffer;
        if (buffer == nullptr) return 1;
        if (buffer->capacity < entry.size || buffer->data == nullptr)
            if (GrowSampleBuffer(buffer, entry.size) != 1) return 1;
        into = buffer->data;
    }
    if (ReadSampleBytes(handle, entry, into)) return 0;
    if (target->toBlock) {
        std::free(target->block);
        target->block = nullptr;
    }
    return 2;
}

int32_t ReadIntoBuffer(const MP4_read_file *handle, const SampleEntry &entry,
                       SampleBuffer *buffer) {
    SampleTarget target;
    target.buffer = buffer;
    return ReadInto(handle, entry, &target);
}

// What differs between the video and the audio branch of the sequential
// reader: the cursor, the messages and the results.
struct TrackBranch {
    int32_t MP4_read_file::*cursor;
    const char *endMessage;
    int32_t endResult;
    const char *allocMessage;
    const char *readMessage;
    int32_t failResult;
};

constexpr TrackBranch kVideoBranch = {
    &MP4_read_file::videoCursor,
    "End of video track , frame num - video- [%d]\n",
    -84,
    "error to allocate a memory in Get Next Sample at sample - video-[%d]",
    "error to read sample from file in Get Next Sample at sample - video-[%d]",
    -85};

constexpr TrackBranch kAudioBranch = {
    &MP4_read_file::audioCursor,
    "End of audio track , frame num - audio-[%d]",
    -83,
    "error to allocate a memory in Get Next Sample at sample - audio-[%d]",
    "error to read sample from file in Get Next Sample at sample - audio-[%d]",
    -86};

// Hands out the sample at the branch's cursor and moves the cursor on, also
// when the sample cannot be read.
int32_t ReadAtCursor(MP4_read_file *handle, const ReadTrack *track, SampleTarget *target,
                     uint32_t *size, uint32_t *time, const TrackBranch &branch) {
    const int32_t cursor = handle->*branch.cursor;
    if (uint32_t(cursor) >= track->sampleCount) {
        std::printf(branch.endMessage, cursor);
        return branch.endResult;
    }
    const SampleEntry entry = SampleAt(track, uint32_t(cursor));
    *time = entry.time;
    *size = entry.size;
    ++(handle->*branch.cursor);
    const int32_t read = ReadInto(handle, entry, target);
    if (read != 0) {
        std::printf(read == 1 ? branch.allocMessage : branch.readMessage, cursor);
        *size = 0;
        return branch.failResult;
    }
    return 1;
}

int32_t NextVideoSample(MP4_read_file *handle, ReadTrack *track, SampleTarget *target,
                        uint32_t *size, uint32_t *time) {
    const int32_t cursor = handle->videoCursor;
    const int32_t result = ReadAtCursor(handle, track, target, size, time, kVideoBranch);
    if (result != 1 || target->toBlock) return result;  // the key flag is a buffer's
    SampleBuffer *buffer = target->buffer;
    if (track->keyFrameCount == 0) {
        // No sync-sample table: an MPEG-4 Visual VOP whose coding type (the
        // two top bits after the 4-byte start code) is 0 is an I-VOP.  The
        // byte is taken from the buffer whatever the sample's size: a sample
        // shorter than 5 bytes leaves there what the buffer held before.
        buffer->keyFlag = buffer->capacity > 4 && (buffer->data[4] & 0xC0) == 0 ? 1 : 0;
    } else {
        uint32_t index = 0;  // searched from the first key frame
        buffer->keyFlag = FindKeySample(uint32_t(cursor), track, &index);
    }
    return 1;
}

int32_t NextAudioSample(MP4_read_file *handle, ReadTrack *track, SampleTarget *target,
                        uint32_t *size, uint32_t *time) {
    return ReadAtCursor(handle, track, target, size, time, kAudioBranch);
}

// The video track of a step from key frame to key frame, or the result that
// stops the step (0 when it may go on).
int32_t KeyStepTrack(MP4_read_file *handle, int32_t trackId, const uint32_t *size,
                     ReadTrack **track) {
    Branch branch = Branch::Other;
    const int32_t checked = CheckTrack(handle, trackId, -99, track, &branch);
    if (checked != 0) return checked;
    return branch == Branch::Video && size != nullptr ? 0 : -99;
}

// Reads the key frame of entry `index` into the buffer, after telling its
// sample number: its decoding time, or -99 after the given message.
int32_t ReadKeyFrame(const MP4_read_file *handle, const ReadTrack *track, int32_t index,
                     SampleBuffer *buffer, uint32_t *size, const char *readMessage) {
    const uint32_t number = track->keyFrames[index].sampleNumber;
    std::printf("cursor is [%d]\n", int32_t(number));
    const SampleEntry entry = SampleAt(track, number);
    *size = entry.size;
    const int32_t read = ReadIntoBuffer(handle, entry, buffer);
    if (read == 1) {
        std::printf("error to allocate a memory in Get Next key Sample at sample - video-[%d]",
                    index);
        *size = 0;
        return -99;
    }
    if (read == 2) {
        std::printf(readMessage, index);
        *size = 0;
        return -99;
    }
    return int32_t(entry.time);
}

// Hands the content of a reader's buffer out in a fresh block of its size.
bool HandOutBuffer(const SampleBuffer *buffer, uint32_t size, uint8_t **data) {
    if (data == nullptr) return false;
    auto *block = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (block == nullptr) return false;
    std::memset(block, 0, size ? size : 1);
    if (size > 0) std::memcpy(block, buffer->data, size);
    *data = block;
    return true;
}

// The wrappers' buffer: created, used for one sample, released.
SampleBuffer *NewBuffer() {
    auto *buffer = static_cast<SampleBuffer *>(std::calloc(1, sizeof(SampleBuffer)));
    if (buffer != nullptr) InitSampleBuffer(buffer);
    return buffer;
}

void DeleteBuffer(SampleBuffer *buffer) {
    if (buffer == nullptr) return;
    ReleaseSampleBuffer(buffer);
    std::free(buffer);
}

using KeyReader = int32_t (*)(MP4_read_file *, int32_t, SampleBuffer *, uint32_t *);

// As MP4GetNextSample, a null byte or size pointer gives -1 with keyCursor
// unmoved.
int32_t WrapKeyReader(KeyReader reader, MP4_read_file *handle, int32_t trackId, uint8_t **data,
                      uint32_t *size) {
    if (handle != nullptr && (data == nullptr || size == nullptr)) return -1;
    SampleBuffer *buffer = NewBuffer();
    uint32_t localSize = 0;
    uint32_t *sizeOut = size != nullptr ? size : &localSize;
    const int32_t result = reader(handle, trackId, buffer, sizeOut);
    const bool ok = result >= 0 && buffer != nullptr && HandOutBuffer(buffer, *sizeOut, data);
    DeleteBuffer(buffer);
    return ok ? 1 : -1;
}

}  // namespace

// ---------------------------------------------------------------- internal readers

namespace {

// The walk of FindKeySample, entry by entry: from `start` upward or
// downward, stopping at an entry with the sample number (1) or at one that
// has passed it in the direction of travel, or at either end (0).
int32_t WalkKeyTable(uint32_t sampleNumber, const KeyFrameEntry *keys, uint32_t count,
                     uint32_t start, bool upward, uint32_t *index) {
    for (int64_t i = start; i >= 0 && i < int64_t(count); i += upward ? 1 : -1) {
        const uint32_t at = keys[i].sampleNumber;
        if (at == sampleNumber) {
            *index = uint32_t(i);
            return 1;
        }
        if (upward ? at > sampleNumber : at < sampleNumber) return 0;
    }
    return 0;
}

// The walk gives the same answer as a search by halves wherever it runs over
// entries in ascending order, and from the first entry upward over the
// running maximum of any table: the walk stops at the first entry that
// reaches the sample number, which is where the running maximum first does.
// Searching by halves keeps reading a whole track (a key-flag search per
// sample) from growing with the square of its length.
int32_t SearchKeyTable(uint32_t sampleNumber, const ReadTrack *track, uint32_t start, bool upward,
                       uint32_t *index) {
    const KeyFrameEntry *keys = track->keyFrames;
    const uint32_t count = track->keyFrameCount;
    auto below = [](const KeyFrameEntry &e, uint32_t n) { return e.sampleNumber < n; };
    const KeyFrameEntry *at = nullptr;
    if (track->keyRunningMax == nullptr) {
        if (upward) {
            at = std::lower_bound(keys + start, keys + count, sampleNumber, below);
            if (at == keys + count) return 0;
        } else {
            // Downward the walk stops at the last entry not above the number.
            const KeyFrameEntry *end = std::upper_bound(
                keys, keys + start + 1, sampleNumber,
                [](uint32_t n, const KeyFrameEntry &e) { return n < e.sampleNumber; });
            if (end == keys) return 0;
            at = end - 1;
        }
    } else if (upward && start == 0) {
        const uint32_t *running = track->keyRunningMax;
        const uint32_t *reach = std::lower_bound(running, running + count, sampleNumber);
        if (reach == running + count) return 0;
        at = keys + (reach - running);
    } else {
        return WalkKeyTable(sampleNumber, keys, count, start, upward, index);
    }
    if (at->sampleNumber != sampleNumber) return 0;
    *index = uint32_t(at - keys);
    return 1;
}

}  // namespace

// Returns 1 on a match; `index` starts the walk and receives the entry.
// Left to this implementation: a start index past the table finds nothing.
int32_t FindKeySample(uint32_t sampleNumber, const ReadTrack *track, uint32_t *index) {
    if (track == nullptr || index == nullptr || track->keyFrames == nullptr) return 0;
    if (*index >= track->keyFrameCount) return 0;
    const bool upward = sampleNumber >= track->keyFrames[*index].sampleNumber;
    return SearchKeyTable(sampleNumber, track, *index, upward, index);
}

namespace {

// GetNextSample with the sample's destination left open.
int32_t NextSample(MP4_read_file *handle, int32_t trackId, SampleTarget *target, uint32_t *size,
                   uint32_t *time) {
    ReadTrack *track = nullptr;
    Branch branch = Branch::Other;
    const int32_t checked = CheckTrack(handle, trackId, -100, &track, &branch);
    if (checked != 0) return checked;
    uint32_t localSize = 0;
    uint32_t localTime = 0;
    if (size == nullptr) size = &localSize;
    if (time == nullptr) time = &localTime;
    if (branch == Branch::Video) return NextVideoSample(handle, track, target, size, time);
    if (branch == Branch::Audio) return NextAudioSample(handle, track, target, size, time);
    return -100;
}

}  // namespace

int32_t GetNextSample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                      uint32_t *size, uint32_t *time) {
    SampleTarget target;
    target.buffer = buffer;
    return NextSample(handle, trackId, &target, size, time);
}

int32_t GetNextSampleInPlace(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                             uint32_t *size, uint32_t *time, uint32_t inPlaceAbove,
                             uint32_t *offset) {
    SampleTarget target;
    target.buffer = buffer;
    target.inPlaceAbove = inPlaceAbove < 5 ? 5 : inPlaceAbove;
    const int32_t result = NextSample(handle, trackId, &target, size, time);
    *offset = target.offset;
    return result;
}

int32_t GetNextKeySample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                         uint32_t *size) {
    ReadTrack *track = nullptr;
    const int32_t checked = KeyStepTrack(handle, trackId, size, &track);
    if (checked != 0) return checked;
    if (handle->keyCursor < 0) handle->keyCursor = 0;
    if (int64_t(handle->keyCursor) >= int64_t(track->keyFrameCount)) {
        std::printf("End of video track , key frame num - video- [%d]\n", handle->keyCursor);
        return -10;
    }
    const int32_t index = handle->keyCursor;
    ++handle->keyCursor;
    return ReadKeyFrame(handle, track, index, buffer, size,
                        "error to read sample from file in Get Next key Sample at sample - "
                        "video-[%d]");
}

int32_t GetPrevKeySample(MP4_read_file *handle, int32_t trackId, SampleBuffer *buffer,
                         uint32_t *size) {
    ReadTrack *track = nullptr;
    const int32_t checked = KeyStepTrack(handle, trackId, size, &track);
    if (checked != 0) return checked;
    if (int64_t(handle->keyCursor) >= int64_t(track->keyFrameCount))
        handle->keyCursor = int32_t(track->keyFrameCount) - 1;
    if (handle->keyCursor < 0) {
        std::printf("Begin of video track ,key frame num - video- [%d]\n", handle->keyCursor);
        return -11;
    }
    const int32_t index = handle->keyCursor;
    --handle->keyCursor;
    return ReadKeyFrame(handle, track, index, buffer, size,
                        "error to read sample from file in Get Prev key Sample at sample - "
                        "video-[%d]");
}

// ---------------------------------------------------------------- exports

extern "C" {

CORVANE_API int32_t CORVANE_CALL GetSample(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size) {
    ReadTrack *track = nullptr;
    Branch branch = Branch::Other;
    const int32_t begun = BeginLookup(handle, trackId, data, size, &track, &branch);
    if (begun != 0) return begun;
    const uint32_t timescale = branch == Branch::Video ? handle->videoInfo.timescale
                                                       : handle->audioInfo.timescale;
    return HandOutSample(handle, track, branch, SampleAtTime(track, timescale, time), data, size);
}

CORVANE_API int32_t CORVANE_CALL SeekTrack(MP4_read_file *handle, int32_t trackId, int32_t time,
                                           uint8_t **data, uint32_t *size) {
    ReadTrack *track = nullptr;
    Branch branch = Branch::Other;
    const int32_t begun = BeginLookup(handle, trackId, data, size, &track, &branch);
    if (begun != 0) return begun;
    if (branch == Branch::Audio)
        return HandOutSample(handle, track, branch,
                             SampleAtTime(track, handle->audioInfo.timescale, time), data, size);
    const uint32_t keys = track->keyFrameCount;
    uint32_t sample = 0;
    if (time <= 0) {
        // The first entry names the sample; a track without key-frame
        // entries has a zero-filled (or empty) array: sample 0.
        sample = keys > 0 ? track->keyFrames[0].sampleNumber : 0;
    } else if (keys == 0) {
        *data = nullptr;
        *size = 0;
        return -99;
    } else if (PastEnd(time, handle->videoInfo.timescale, track->sampleCount)) {
        sample = track->keyFrames[keys - 1].sampleNumber;
    } else {
        const int32_t entry = SearchTime(time, int32_t(keys),
                                         [track](int32_t i) { return track->keyFrames[i].time; });
        handle->keyCursor = entry + 1;
        sample = track->keyFrames[entry < 0 ? 0 : entry].sampleNumber;
    }
    return HandOutSample(handle, track, branch, int32_t(sample), data, size);
}

// A null byte pointer, size or time pointer gives -1 before anything is read
// or any cursor moves (after the null-handle message when the handle is null
// too): a sample handed out where the caller cannot take it would be lost.
CORVANE_API int32_t CORVANE_CALL MP4GetNextSample(MP4_read_file *handle, int32_t trackId,
                                                  uint8_t **data, uint32_t *size,
                                                  uint32_t *time) {
    if (handle != nullptr && (data == nullptr || size == nullptr || time == nullptr)) return -1;
    SampleTarget target;
    target.toBlock = true;
    uint32_t localSize = 0;
    uint32_t *sizeOut = size != nullptr ? size : &localSize;
    const int32_t result = NextSample(handle, trackId, &target, sizeOut, time);
    if (result == 1 && data != nullptr) {
        *data = target.block;
        return 1;
    }
    std::free(target.block);
    return -1;
}

CORVANE_API int32_t CORVANE_CALL MP4NextKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size) {
    return WrapKeyReader(GetNextKeySample, handle, trackId, data, size);
}

CORVANE_API int32_t CORVANE_CALL MP4PrevKeyFrame(MP4_read_file *handle, int32_t trackId,
                                                 uint8_t **data, uint32_t *size) {
    return WrapKeyReader(GetPrevKeySample, handle, trackId, data, size);
}

CORVANE_API int32_t CORVANE_CALL GoToBeginOfKeyFrame(MP4_read_file *handle, int32_t trackId) {
    ReadTrack *track = nullptr;
    Branch branch = Branch::Other;
    const int32_t checked = CheckTrack(handle, trackId, -99, &track, &branch);
    if (checked != 0) return checked;
    if (branch != Branch::Video) return -99;
    handle->keyCursor = 0;
    return 1;
}

CORVANE_API int32_t CORVANE_CALL GoToEndOfKeyFrame(MP4_read_file *handle, int32_t trackId) {
    ReadTrack *track = nullptr;
    Branch branch = Branch::Other;
    const int32_t checked = CheckTrack(handle, trackId, -99, &track, &branch);
    if (checked != 0) return checked;
    if (branch != Branch::Video) return -99;
    handle->keyCursor = int32_t(track->keyFrameCount) - 1;
    return 1;
}

CORVANE_API int32_t CORVANE_CALL MP4freeData(uint8_t **data) {
    if (data == nullptr || *data == nullptr) return 1;
    std::free(*data);
    *data = nullptr;
    return 1;
}

}  // extern "C"
