// Opens an MP4 file (atom tree, 400 track searches, sample indexes) and
// closes it again: the job measured against ffprobe's open.
//
//   open_index FILE
// Standard error: ok=1 seconds=... video_samples=... audio_samples=...
#include <cstdio>
#include <cstdlib>

#include "corvane2.h"
#include "driver_common.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: open_index FILE\n");
        return 2;
    }
    if (!SilenceLibraryOutput()) return 2;
    const auto start = std::chrono::steady_clock::now();
    MP4_read_file *handle = nullptr;
    const int32_t opened = MP4FileOpen(&handle, argv[1]);
    const uint32_t video = handle != nullptr ? handle->videoInfo.sampleCount : 0;
    const uint32_t audio = handle != nullptr ? handle->audioInfo.sampleCount : 0;
    MP4FileClose(&handle);
    std::free(handle);
    std::fflush(stdout);
    std::fprintf(stderr, "ok=%d seconds=%.6f video_samples=%u audio_samples=%u\n",
                 opened == 1 ? 1 : 0, SecondsSince(start), video, audio);
    return opened == 1 ? 0 : 1;
}
