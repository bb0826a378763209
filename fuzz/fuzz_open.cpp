// Fuzz target: an arbitrary file through the reader.  The bytes are written
// to a file, opened with MP4FileOpen, and every way of reaching the samples
// is walked: one after another on both served tracks, key frame to key frame
// in both directions, lookups by time and key-frame seeks at awkward times,
// and the decoder configuration of both tracks.  Every block handed out is
// read in full, so a block shorter than the size it was handed out with is
// caught by AddressSanitizer.  The same file is then opened with the
// tolerant top-level scan of the corvane tool and walked again: it must
// open whatever the exact open opens, and leave nothing out of such a file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvane2.h"
#include "fuzz_support.h"
#include "read/read.h"

namespace {

volatile uint32_t gSink;

// Touches every byte of a block and gives it back.
void Consume(uint8_t **data, uint32_t size) {
    if (*data == nullptr) {
        if (size != 0) std::abort();  // a size with no block would be a lie
        return;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) sum += (*data)[i];
    gSink = sum;
    MP4freeData(data);
    if (*data != nullptr) std::abort();
}

// A file of a few bytes may claim hundreds of millions of samples (empty
// ones read without fail), so a walk takes at most this many steps from
// each end of a track.
constexpr uint32_t kWalkSteps = 4096;

// The cursor's value `back` steps before the end of `count`, when the walk
// has come that far.
int32_t NearTheEnd(int32_t cursor, uint32_t count, uint32_t back) {
    return count > back && uint32_t(cursor) < count - back ? int32_t(count - back) : cursor;
}

void WalkSamples(MP4_read_file *handle, int32_t trackId) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    uint32_t time = 0;
    const ReadTrack *track = trackId >= 0 && trackId < MP4_READ_TRACK_SLOTS ? handle->tracks[trackId] : nullptr;
    const uint32_t count = track != nullptr ? track->sampleCount : 0;
    for (uint32_t step = 0; MP4GetNextSample(handle, trackId, &data, &size, &time) == 1; ++step) {
        Consume(&data, size);
        if (step + 1 == kWalkSteps) {
            int32_t &cursor = trackId == handle->videoTrackId ? handle->videoCursor : handle->audioCursor;
            cursor = NearTheEnd(cursor, count, kWalkSteps);
        }
    }
}

void WalkKeyFrames(MP4_read_file *handle, int32_t trackId) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    const ReadTrack *track = trackId >= 0 && trackId < MP4_READ_TRACK_SLOTS ? handle->tracks[trackId] : nullptr;
    const uint32_t keys = track != nullptr ? track->keyFrameCount : 0;
    GoToBeginOfKeyFrame(handle, trackId);
    for (uint32_t step = 0; MP4NextKeyFrame(handle, trackId, &data, &size) == 1; ++step) {
        Consume(&data, size);
        if (step + 1 == kWalkSteps) handle->keyCursor = NearTheEnd(handle->keyCursor, keys, kWalkSteps);
    }
    GoToEndOfKeyFrame(handle, trackId);
    for (uint32_t step = 0; MP4PrevKeyFrame(handle, trackId, &data, &size) == 1; ++step) {
        Consume(&data, size);
        if (step + 1 == kWalkSteps && handle->keyCursor > int32_t(kWalkSteps))
            handle->keyCursor = int32_t(kWalkSteps);
    }
}

void LookUpTimes(MP4_read_file *handle, int32_t trackId) {
    static const int32_t kTimes[] = {INT32_MIN, -1, 0, 1, 999, 40000, 1 << 24, INT32_MAX};
    for (int32_t t : kTimes) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (GetSample(handle, trackId, t, &data, &size) >= 0) Consume(&data, size);
        MP4freeData(&data);
        if (SeekTrack(handle, trackId, t, &data, &size) >= 0) Consume(&data, size);
        MP4freeData(&data);
        // After a seek the sequential readers go on from the cursor.
        uint32_t time = 0;
        if (MP4GetNextSample(handle, trackId, &data, &size, &time) == 1) Consume(&data, size);
        if (MP4NextKeyFrame(handle, trackId, &data, &size) == 1) Consume(&data, size);
        if (MP4PrevKeyFrame(handle, trackId, &data, &size) == 1) Consume(&data, size);
    }
}

// The decoder configuration, into heap blocks of exactly the size the
// functions promise to stay within (the esds record's 72 bytes after its
// header for video, its 80 bytes for audio).
void TakeConfiguration(MP4_read_file *handle) {
    auto *video = static_cast<uint8_t *>(std::malloc(72));
    uint32_t width = 0, height = 0, headerSize = 0;
    if (GetM4vEsdsData(handle, video, &width, &height, &headerSize) == 1 && headerSize > 72)
        std::abort();
    GetM4vEsdsData(handle, video, nullptr, nullptr, nullptr);
    std::free(video);
    auto *audio = static_cast<uint8_t *>(std::malloc(80));
    uint32_t size = 0;
    GetM4aEsdsData(handle, audio, &size);  // size: the atom's, the copy at most 80
    GetM4aEsdsData(handle, audio, nullptr);
    std::free(audio);
}

void WalkTrack(MP4_read_file *handle, int32_t trackId) {
    WalkSamples(handle, trackId);
    WalkKeyFrames(handle, trackId);
    LookUpTimes(handle, trackId);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SilenceStdout();
    return 0;
}

namespace {

// What a tolerant open reports lies inside the file.
void CheckLeftOut(const LeftOut &l, size_t size) {
    if (uint64_t(l.trailingOffset) + l.trailingBytes > size || l.skippedBytes > size ||
        (l.skippedBoxes == 0) != (l.skippedBytes == 0))
        std::abort();
}

void OpenTolerantly(const std::string &path, size_t size, bool exactOpened) {
    MP4_read_file *handle = nullptr;
    LeftOut leftOut{};
    const int32_t opened = OpenMp4File(&handle, path.c_str(), kTolerantRead, &leftOut);
    if (exactOpened && (opened != 1 || leftOut.skippedBoxes != 0 || leftOut.trailingBytes != 0))
        std::abort();
    if (opened == 1) {
        CheckLeftOut(leftOut, size);
        WalkTrack(handle, handle->videoTrackId);
        if (handle->audioTrackId != handle->videoTrackId) WalkTrack(handle, handle->audioTrackId);
    }
    MP4FileClose(&handle);
    std::free(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::WriteScratch("input.mp4", data, size);
    MP4_read_file *handle = nullptr;
    const bool exactOpened = MP4FileOpen(&handle, path.c_str()) == 1;
    if (exactOpened) {
        WalkTrack(handle, handle->videoTrackId);
        if (handle->audioTrackId != handle->videoTrackId) WalkTrack(handle, handle->audioTrackId);
        TakeConfiguration(handle);
        // Ids that name no served track, or no slot at all.
        for (int32_t id : {-1, 0, 3, 399, 400}) {
            uint8_t *block = nullptr;
            uint32_t blockSize = 0;
            uint32_t time = 0;
            if (MP4GetNextSample(handle, id, &block, &blockSize, &time) == 1)
                Consume(&block, blockSize);
        }
    }
    MP4FileClose(&handle);
    std::free(handle);
    OpenTolerantly(path, size, exactOpened);
    return 0;
}
