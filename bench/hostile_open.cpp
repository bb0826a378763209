// Opens a hostile MP4 file and uses it as a host would: the open (atom
// tree, track searches, sample indexes), a lookup by time and a key-frame
// seek on both served tracks at the start, the middle and past the end, the
// first and the last 1000 samples of each in order, then the close; then
// GetFileInfo on the same file.  bench/hostile.py runs it under
// /usr/bin/time for the peak resident memory.
//
//   hostile_open FILE
// Standard error: ok=1 seconds=... open_seconds=... video_samples=... audio_samples=...
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "corvane2.h"
#include "driver_common.h"

namespace {

void Use(MP4_read_file *handle, int32_t id, int32_t *cursor, uint32_t samples) {
    if (id == 0) return;
    for (int32_t t : {0, 1000, 1 << 20, 1 << 30, 0x7FFFFFFF}) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (GetSample(handle, id, t, &data, &size) >= 0) MP4freeData(&data);
        if (SeekTrack(handle, id, t, &data, &size) >= 0) MP4freeData(&data);
    }
    for (uint32_t from : {0u, samples > 1000 ? samples - 1000 : 0u}) {
        *cursor = int32_t(from);
        for (int i = 0; i < 1000; ++i) {
            uint8_t *data = nullptr;
            uint32_t size = 0, time = 0;
            if (MP4GetNextSample(handle, id, &data, &size, &time) == 1) MP4freeData(&data);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hostile_open FILE\n");
        return 2;
    }
    if (!SilenceLibraryOutput()) return 2;
    const auto start = std::chrono::steady_clock::now();
    MP4_read_file *handle = nullptr;
    const int32_t opened = MP4FileOpen(&handle, argv[1]);
    const double openSeconds = SecondsSince(start);
    const uint32_t video = handle != nullptr ? handle->videoInfo.sampleCount : 0;
    const uint32_t audio = handle != nullptr ? handle->audioInfo.sampleCount : 0;
    if (opened == 1) {
        Use(handle, handle->videoTrackId, &handle->videoCursor, video);
        Use(handle, handle->audioTrackId, &handle->audioCursor, audio);
    }
    MP4FileClose(&handle);
    std::free(handle);
    FileInfo info{};
    GetFileInfo(argv[1], &info);
    std::fflush(stdout);
    std::fprintf(stderr, "ok=%d seconds=%.6f open_seconds=%.6f video_samples=%u audio_samples=%u\n",
                 opened == 1 ? 1 : 0, SecondsSince(start), openSeconds, video, audio);
    return 0;
}
