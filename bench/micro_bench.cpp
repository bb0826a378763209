// Micro benchmarks of the inner pieces, on synthetic files of n samples per
// track (n = 10^3 .. 10^6), so that any per-sample cost that grows with the
// track length shows as a per-sample counter that grows with n:
//   - OpenIndex: MP4FileOpen + MP4FileClose (tree, tables, 400 track
//     searches, both sample indexes);
//   - BuildVideoIndex / BuildAudioIndex: one index build over the tables
//     already loaded;
//   - GetSample: a time lookup (binary search) and the read of one sample;
//   - GetSampleNearStart: the same lookup (its binary search takes as many
//     steps wherever the time lies) with the reads kept to the first 100
//     samples (about 3 KB, served from the stream's buffer),
//     so that the per-lookup cost shows the search rather than the stream
//     refilling its buffer at a random place of a larger file;
//   - GetNextSample: the internal reader's walk with a reused buffer;
//   - AddFrames: AddVideoFrame and AddAudioFrame for n frames each (blocks,
//     bit rates, temporary files);
//   - Flush: MP4FileFlush of a file of n video and n audio frames (block
//     merge, track and movie fills, the atom tree and the media copy).
// The library's standard output goes to /dev/null for the whole run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "bench/synthetic_mp4.h"
#include "read/read.h"
#include "write/write.h"

namespace {

std::string TempPath(uint32_t n) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/corvane_bench_" + std::to_string(getpid()) + "_" +
           std::to_string(n) + ".mp4";
}

// One synthetic file per size, written on first use, removed at exit.
const std::string &FileOf(uint32_t n) {
    static std::map<uint32_t, std::string> files;
    auto it = files.find(n);
    if (it != files.end()) return it->second;
    const std::string path = TempPath(n);
    if (!synthetic::WriteFile(path, synthetic::Build(n))) std::abort();
    static struct Cleanup {
        ~Cleanup() {
            for (auto &f : files) std::remove(f.second.c_str());
        }
    } cleanup;
    return files.emplace(n, path).first->second;
}

struct Opened {
    explicit Opened(uint32_t n) {
        if (MP4FileOpen(&handle, FileOf(n).c_str()) != 1) std::abort();
    }
    ~Opened() {
        MP4FileClose(&handle);
        std::free(handle);
    }
    MP4_read_file *handle = nullptr;
};

void PerSample(benchmark::State &state, double samplesPerIteration) {
    state.counters["per_sample"] = benchmark::Counter(
        samplesPerIteration * double(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_OpenIndex(benchmark::State &state) {
    const uint32_t n = uint32_t(state.range(0));
    const std::string &path = FileOf(n);
    for (auto _ : state) {
        MP4_read_file *handle = nullptr;
        if (MP4FileOpen(&handle, path.c_str()) != 1) state.SkipWithError("open failed");
        MP4FileClose(&handle);
        std::free(handle);
    }
    PerSample(state, 2.0 * n);
}

void BuildIndex(benchmark::State &state, bool video) {
    const uint32_t n = uint32_t(state.range(0));
    Opened file(n);
    ReadTrack **slot = &file.handle->tracks[video ? 1 : 2];
    for (auto _ : state) {
        const int32_t built = video ? BuildVideotrackIndex(slot) : BuildAudiotrackIndex(slot);
        if (built != 1 || (*slot)->sampleCount != n) state.SkipWithError("index");
        benchmark::ClobberMemory();
    }
    PerSample(state, n);
}
void BM_BuildVideoIndex(benchmark::State &state) { BuildIndex(state, true); }
void BM_BuildAudioIndex(benchmark::State &state) { BuildIndex(state, false); }

// Lookups at random times over the first `span` samples of an n-sample track
// (span 0: the whole track).
void LookUpSamples(benchmark::State &state, uint32_t n, uint32_t span) {
    Opened file(n);
    std::mt19937 random(7);
    std::uniform_int_distribution<int32_t> times(1, int32_t(span ? span : n) * 40 - 1);
    for (auto _ : state) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (GetSample(file.handle, 1, times(random), &data, &size) < 0)
            state.SkipWithError("GetSample");
        MP4freeData(&data);
    }
    state.counters["per_lookup"] = benchmark::Counter(
        double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_GetSample(benchmark::State &state) { LookUpSamples(state, uint32_t(state.range(0)), 0); }

void BM_GetSampleNearStart(benchmark::State &state) {
    LookUpSamples(state, uint32_t(state.range(0)), 100);
}

void BM_GetNextSample(benchmark::State &state) {
    const uint32_t n = uint32_t(state.range(0));
    Opened file(n);
    SampleBuffer buffer{};
    InitSampleBuffer(&buffer);
    for (auto _ : state) {
        file.handle->videoCursor = 0;
        uint32_t size = 0, time = 0;
        while (GetNextSample(file.handle, 1, &buffer, &size, &time) == 1) {
        }
    }
    ReleaseSampleBuffer(&buffer);
    PerSample(state, n);
}

// A writer with a video and an audio track whose temporary files live in the
// temporary directory.
struct NewFile {
    NewFile() {
        const std::string base = TempPath(0);
        out = base + ".out.mp4";
        video = base + ".v";
        audio = base + ".a";
        if (MP4FileNew(&handle, out.c_str()) != 1) std::abort();
        static const uint8_t kVol[] = {0, 0, 1, 0xB0, 1, 0, 0, 1, 0xB5, 0x09};
        CreateTrack(handle, kVideoTrack, 176, 144, 0, 1000, 0, 0, 0, 0, sizeof kVol, kVol,
                    video.c_str(), 1);
        static const uint8_t kAdts[] = {0xFF, 0xF1, 0x50, 0x40, 0x01, 0x7F, 0xFC};
        CreateTrack(handle, kAudioTrack, 0, 0, 0, 44100, 0, 0, 0, 0, sizeof kAdts, kAdts,
                    audio.c_str(), 1);
        CreateTrack(handle, kObjectDescriptorTrack, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr,
                    nullptr, 1);
        CreateTrack(handle, kSceneTrack, 0, 0, 0, 1000, 0, 0, 0, 0, 0, nullptr, nullptr, 1);
    }
    void AddFrames(uint32_t n) {
        static uint8_t frame[64] = {0, 0, 1, 0xB6};
        for (uint32_t k = 0; k < n; ++k) {
            AddVideoFrame(handle, synthetic::kVideoSize(k), frame, k * 40, k % 25 == 0 ? 1 : 0);
            AddAudioFrame(handle, synthetic::kAudioSize(k), frame, k * 1024);
        }
    }
    ~NewFile() {
        if (handle != nullptr) MP4FileFlush(handle);
        for (const std::string &f : {out, video, audio}) std::remove(f.c_str());
    }
    MP4_local_file *handle = nullptr;
    std::string out, video, audio;
};

void BM_AddFrames(benchmark::State &state) {
    const uint32_t n = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        {
            NewFile file;
            state.ResumeTiming();
            file.AddFrames(n);
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    PerSample(state, 2.0 * n);
}

void BM_Flush(benchmark::State &state) {
    const uint32_t n = uint32_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        {
            NewFile file;
            file.AddFrames(n);
            state.ResumeTiming();
            MP4FileFlush(file.handle);
            file.handle = nullptr;
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    PerSample(state, 2.0 * n);
}

}  // namespace

BENCHMARK(BM_OpenIndex)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildVideoIndex)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildAudioIndex)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetSample)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_GetSampleNearStart)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_GetNextSample)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_AddFrames)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flush)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    // The library prints its diagnostics to standard output, which goes to
    // /dev/null; the report goes to standard error (and to the file that
    // --benchmark_out names).
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
