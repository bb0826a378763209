// Opens an MP4 file and hands out every sample of its video and its audio
// track through MP4GetNextSample (each block given back with MP4freeData),
// then closes it: the job measured against ffmpeg's copy demux and cat.
//
// The two tracks are taken in step, as a player would: the next sample comes
// from the track whose last sample lies earlier in time, so the reads run
// through the interleaved media data front to back.
//
//   read_all FILE
// Standard error: ok=1 seconds=... samples=... bytes=... checksum=...
#include <cstdio>
#include <cstdlib>

#include "corvane2.h"
#include "driver_common.h"

namespace {

struct TrackWalk {
    int32_t id = 0;
    uint32_t timescale = 1;
    double lastSeconds = 0;
    bool done = true;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_all FILE\n");
        return 2;
    }
    if (!SilenceLibraryOutput()) return 2;
    const auto start = std::chrono::steady_clock::now();
    MP4_read_file *handle = nullptr;
    if (MP4FileOpen(&handle, argv[1]) != 1) {
        MP4FileClose(&handle);
        std::free(handle);
        std::fprintf(stderr, "ok=0\n");
        return 1;
    }
    TrackWalk walks[2];
    walks[0].id = handle->videoTrackId;
    walks[0].timescale = handle->videoInfo.timescale ? handle->videoInfo.timescale : 1;
    walks[0].done = handle->videoTrackId == 0;
    walks[1].id = handle->audioTrackId;
    walks[1].timescale = handle->audioInfo.timescale ? handle->audioInfo.timescale : 1;
    walks[1].done = handle->audioTrackId == 0;
    uint64_t samples = 0, bytes = 0, checksum = 0;
    while (!walks[0].done || !walks[1].done) {
        TrackWalk &w = walks[0].done ? walks[1]
                       : walks[1].done ? walks[0]
                       : walks[1].lastSeconds < walks[0].lastSeconds ? walks[1]
                                                                      : walks[0];
        uint8_t *data = nullptr;
        uint32_t size = 0, time = 0;
        if (MP4GetNextSample(handle, w.id, &data, &size, &time) != 1) {
            w.done = true;
            continue;
        }
        ++samples;
        bytes += size;
        // Touch the block as a consumer would: its first and last byte.
        if (size > 0) checksum += data[0] + data[size - 1];
        w.lastSeconds = double(time) / w.timescale;
        MP4freeData(&data);
    }
    MP4FileClose(&handle);
    std::free(handle);
    std::fflush(stdout);
    std::fprintf(stderr, "ok=1 seconds=%.6f samples=%llu bytes=%llu checksum=%llu\n",
                 SecondsSince(start), (unsigned long long)samples, (unsigned long long)bytes,
                 (unsigned long long)checksum);
    return 0;
}
