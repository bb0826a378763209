// Adding frames: each frame is entered in the last block of its track, its
// bytes go to the track's temporary file, and the track's bit rates follow
// one-second windows of the time line.
#include <cstdio>
#include <limits>

#include "platform/platform.h"
#include "write/write.h"

namespace {

// Float-to-integer conversion that is always defined: a rate that is not a
// number (a frame at time 0 of a track with timescale 0) is stored as 0, and
// one beyond 32 bits (a huge first frame a few ticks into the track)
// saturates.  Every other value truncates as a plain conversion would.
uint32_t TruncateToU32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
}

// The frame's time in seconds, in single precision.  With a timescale of 0
// (accepted for video tracks) the result is what the division gives in IEEE
// arithmetic, +inf, or NaN at time 0, produced here without dividing by 0.
float SecondsOf(uint32_t time, uint32_t timescale) {
    if (timescale == 0)
        return time == 0 ? std::numeric_limits<float>::quiet_NaN()
                         : std::numeric_limits<float>::infinity();
    return static_cast<float>(time) / static_cast<float>(timescale);
}

// Appends a block after `last`, taking over the track's constants and the
// running maximum; the window starts again at 0.
TrackNode *ExtendTrack(TrackNode *first, TrackNode *last, uint32_t sampleTotal,
                       uint32_t keyFrameTotal) {
    TrackNode *chain = first;
    if (AddSampleTable(&chain, kMediaBlockCapacity) != 1) return nullptr;
    TrackNode *added = last->nextBlock;
    added->trakAtom = last->trakAtom;
    added->trackId = last->trackId;
    added->width = last->width;
    added->height = last->height;
    added->trackType = last->trackType;
    added->timescale = last->timescale;
    added->maxBitrate = last->maxBitrate;
    added->maxWindowBytes = last->maxWindowBytes;
    added->firstSample = sampleTotal;
    added->firstKeyFrame = keyFrameTotal;
    return added;
}

// Counts the frame into the one-second windows of block b.  A frame outside
// the current window closes it and opens the next one (one step, whatever
// the gap).  A time that is not a number (see SecondsOf) lies in no window.
// The 32-bit counters wrap instead of overflowing.
void CountIntoWindow(TrackNode *b, float seconds, uint32_t size, uint32_t sampleTotal) {
    if (sampleTotal == 1) {
        b->maxWindowBytes = 0;
        b->windowBytes = 0;
        b->windowIndex = 0;
    }
    const float low = static_cast<float>(b->windowIndex);
    const float high = static_cast<float>(int64_t(b->windowIndex) + 1);
    if (low <= seconds && seconds <= high) {
        b->windowBytes = static_cast<int32_t>(static_cast<uint32_t>(b->windowBytes) + size);
        return;
    }
    b->windowIndex = static_cast<int32_t>(static_cast<uint32_t>(b->windowIndex) + 1u);
    if (b->windowBytes > b->maxWindowBytes) b->maxWindowBytes = b->windowBytes;
    b->windowBytes = static_cast<int32_t>(size);
}

// With a timescale of 0 the seconds are +inf or NaN, both "not 0": the
// average is then 0 (bits over +inf; NaN stored as 0) and the maximum is
// taken from the windows as usual.
void UpdateVideoBitrates(TrackNode *first, TrackNode *b, uint32_t time, uint32_t size,
                         uint32_t sampleTotal, uint32_t bytes) {
    const float seconds = SecondsOf(time, b->timescale);
    CountIntoWindow(b, seconds, size, sampleTotal);
    if (seconds != 0.0f) {
        const float bits = static_cast<float>(static_cast<uint32_t>(bytes * 8u));
        first->avgBitrate = TruncateToU32(bits / seconds);
        first->maxBitrate = static_cast<uint32_t>(b->maxWindowBytes) * 8u;
    }
    if (seconds == 133.0f) std::printf("this bug");
}

void UpdateAudioBitrates(TrackNode *first, TrackNode *b, uint32_t time, uint32_t size,
                         uint32_t sampleTotal, uint32_t bytes) {
    const float seconds = SecondsOf(time, b->timescale);
    CountIntoWindow(b, seconds, size, sampleTotal);
    const uint32_t whole = b->timescale ? time / b->timescale : 0;
    if (whole != 0) {
        first->avgBitrate = static_cast<uint32_t>(bytes * 8u) / whole;
        first->maxBitrate = TruncateToU32(static_cast<float>(b->maxWindowBytes) * 8.0f);
    } else {
        first->avgBitrate = 0;
        first->maxBitrate = 0;
    }
    if (seconds == 133.0f) std::printf("this bug");
}

// The per-track fields of the handle that adding a frame moves.
struct TrackCounters {
    uint32_t &sampleTotal, &keyFrameTotal, &bytes, &blockSample, &blockKeyFrame;
};

enum class AddResult { kEntered, kNoRoom, kExtendFailed };

// Enters the frame into the last block (extending the chain when the track
// reaches a multiple of the block size).  The handle's next free positions
// are trusted only as far as the block's tables reach: a block they have
// filled (an earlier extension failed, or a replaced track left positions
// that the new track's first block does not have room for) is extended
// first; if that fails the frame is not entered at all, so no entry is ever
// written past a table.
AddResult EnterFrame(TrackNode *first, TrackCounters c, uint32_t size, uint32_t time, bool key,
                     TrackNode **last) {
    TrackNode *b = LastBlockOf(first);
    if (c.blockSample >= b->capacity || c.blockKeyFrame >= b->capacity) {
        TrackNode *added = ExtendTrack(first, b, c.sampleTotal, c.keyFrameTotal);
        if (added == nullptr) return AddResult::kNoRoom;
        b = added;
        c.blockSample = 0;
        c.blockKeyFrame = 0;
    }
    b->samples[c.blockSample] = FrameEntry{time, 0, c.bytes, size, 0};
    if (key) {
        b->keyFrames[c.blockKeyFrame] = KeyFrameEntry{time, c.sampleTotal};
        ++c.keyFrameTotal;
        ++c.blockKeyFrame;
        b->keyFrameCount = c.blockKeyFrame;
    }
    ++c.blockSample;
    ++c.sampleTotal;
    c.bytes += size;
    b->sampleCount = c.blockSample;
    *last = b;
    if (c.sampleTotal % kMediaBlockCapacity == 0) {
        TrackNode *added = ExtendTrack(first, b, c.sampleTotal, c.keyFrameTotal);
        if (added == nullptr) return AddResult::kExtendFailed;
        c.blockSample = 0;
        c.blockKeyFrame = 0;
        *last = added;
    }
    return AddResult::kEntered;
}

// Where a frame's bytes are: in memory at `data`, or, when `from` is set,
// in another open file at `at` (a sample of a file being remultiplexed).
struct FrameBytes {
    const uint8_t *data;
    FILE *from;
    uint64_t at;
};

// Appends `size` bytes of `from` at `at` to the temporary file; the kernel
// copies them where it can.  Fails when either stream did not advance by the
// whole size (the source became shorter, the disk is full).
bool CopyFrameFromFile(FILE *tempFile, FILE *from, uint64_t at, uint32_t size) {
    if (size == 0) return true;
    const int64_t before = StreamPosition(tempFile);
    if (before < 0 || !SetStreamPosition(from, at)) return false;
    uint8_t piece[16384];
    AppendFileBytes(tempFile, from, size, piece, sizeof piece);
    return StreamPosition(tempFile) == before + int64_t(size) &&
           StreamPosition(from) == int64_t(at + size);
}

// One write of the frame's bytes.  Left to this implementation: on a track
// whose temporary file could not be created the write fails like a short
// one, whatever the size.  A frame with a size but no bytes (a null data
// pointer) fails the same way rather than being read from address 0.  An
// empty frame needs no bytes.
bool WriteFrame(FILE *tempFile, const FrameBytes &bytes, uint32_t size) {
    if (tempFile == nullptr) return false;
    if (bytes.from != nullptr) return CopyFrameFromFile(tempFile, bytes.from, bytes.at, size);
    if (size > 0 && bytes.data == nullptr) return false;
    return std::fwrite(bytes.data, 1, size, tempFile) == size;
}

struct FrameTrack {
    TrackNode *first;
    FILE *tempFile;
    TrackCounters counters;
    bool video;
};

// The steps shared by both tracks: the entry first (the frame's time, offset
// and size, and its key-frame entry), then the bit rates, then the bytes.
// A frame whose bytes cannot be written stays entered and counted, as a
// frame with a failed block extension does; the flush reports the
// temporary file that does not hold what was counted.
int32_t AddFrame(FrameTrack t, uint32_t size, const FrameBytes &bytes, uint32_t time, bool key) {
    TrackNode *last = nullptr;
    if (EnterFrame(t.first, t.counters, size, time, key, &last) != AddResult::kEntered) {
        DebugOutput(t.video
            ? "Can't create Sample and KeyFrame table for VideoTrackNode in AddVideoFrame(...) \n"
            : "Can't create Sample and KeyFrame table for AudiTrackNode in AddAudioFrame(...) \n");
        return -99;
    }
    if (t.video)
        UpdateVideoBitrates(t.first, last, time, size, t.counters.sampleTotal, t.counters.bytes);
    else
        UpdateAudioBitrates(t.first, last, time, size, t.counters.sampleTotal, t.counters.bytes);
    if (!WriteFrame(t.tempFile, bytes, size)) {
        DebugOutput(t.video ? "the size of data written to temp video file is error!\n"
                            : "the size of data written to temp audio file is error!\n");
        return -99;
    }
    return 1;
}

int32_t AddVideo(MP4_local_file *handle, uint32_t size, const FrameBytes &bytes, uint32_t time,
                 int32_t keyFlag) {
    if (handle == nullptr) {
        DebugOutput("the input parameter for MP4_local_file is empty\n");
        return -99;
    }
    if (handle->VideoTrackNode == nullptr) {
        DebugOutput("there is no VideoTrackNode in the input MP4_local_file\n");
        return -99;
    }
    const FrameTrack t{handle->VideoTrackNode, handle->videoTempFile,
                       {handle->videoSampleTotal, handle->videoKeyFrameTotal, handle->videoBytes,
                        handle->videoBlockSample, handle->videoBlockKeyFrame},
                       true};
    return AddFrame(t, size, bytes, time, keyFlag == 1);
}

int32_t AddAudio(MP4_local_file *handle, uint32_t size, const FrameBytes &bytes, uint32_t time) {
    if (handle == nullptr) {
        DebugOutput("the input parameter for MP4_local_file is empty\n");
        return -99;
    }
    if (handle->AudioTrackNode == nullptr) {
        DebugOutput("there is no AudioTrackNode in the input MP4_local_file\n");
        return -99;
    }
    const FrameTrack t{handle->AudioTrackNode, handle->audioTempFile,
                       {handle->audioSampleTotal, handle->audioKeyFrameTotal, handle->audioBytes,
                        handle->audioBlockSample, handle->audioBlockKeyFrame},
                       false};
    return AddFrame(t, size, bytes, time, false);
}

}  // namespace

int32_t AddVideoFrameFrom(MP4_local_file *handle, uint32_t size, FILE *from, uint64_t at,
                          uint32_t time, int32_t keyFlag) {
    return AddVideo(handle, size, FrameBytes{nullptr, from, at}, time, keyFlag);
}

int32_t AddAudioFrameFrom(MP4_local_file *handle, uint32_t size, FILE *from, uint64_t at,
                          uint32_t time) {
    return AddAudio(handle, size, FrameBytes{nullptr, from, at}, time);
}

extern "C" CORVANE_API int32_t CORVANE_CALL AddVideoFrame(MP4_local_file *handle, uint32_t size,
                                                          const uint8_t *data, uint32_t time,
                                                          int32_t keyFlag) {
    return AddVideo(handle, size, FrameBytes{data, nullptr, 0}, time, keyFlag);
}

extern "C" CORVANE_API int32_t CORVANE_CALL AddAudioFrame(MP4_local_file *handle, uint32_t size,
                                                          const uint8_t *data, uint32_t time) {
    return AddAudio(handle, size, FrameBytes{data, nullptr, 0}, time);
}
