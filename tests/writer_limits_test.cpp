// The writer when memory runs out while a track grows: the block that
// should follow a full one cannot be allocated.  The frame that filled the
// block stays entered (its bytes are not written) and the call fails; every
// later frame is refused, not entered, while no block can be appended.  Run
// in a child whose address space is limited and then used up.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvane2.h"
#include "support/bytes.h"

// Linked in by AddressSanitizer, which reserves address space of its own.
extern "C" __attribute__((weak)) void __asan_init(void);

namespace {

struct Results {
    int32_t lastOfBlock, afterIt;  // frames 2000 and 2001
    uint32_t samples, bytes;       // the handle's totals after both
};

// Takes every byte malloc can still give, largest pieces first.
void **UseUpMemory(size_t *count) {
    static void *held[1 << 16];
    *count = 0;
    for (size_t size = size_t(1) << 20; size >= 16; size /= 2)
        while (*count < sizeof held / sizeof *held && (held[*count] = std::malloc(size)) != nullptr) ++*count;
    return held;
}

// Grows the stack now, while it still may: in the full address space it
// could not grow.
void TouchStack() {
    volatile char pages[256 * 1024];
    for (size_t i = 0; i < sizeof pages; i += 4096) pages[i] = 1;
}

// In the child: 1999 frames, then the address space limited to what the
// process uses and 4 MiB, and those used up; frames 2000 and 2001.
Results AddFramesPastABlock(const std::string &dir) {
    Results r{};
    MP4_local_file *file = nullptr;
    const std::string out = dir + "/out.mp4", temp = dir + "/temp.v";
    const uint8_t frame[10] = {0, 0, 1, 0xB6, 0x10};
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1 || MP4FileNew(&file, out.c_str()) != 1 ||
        CreateTrack(file, 1, 176, 144, 1000, 1000, 1, 0, 0, 0, 0, nullptr, temp.c_str(), 1) != 1)
        return r;
    std::fclose(statm);
    for (uint32_t k = 0; k < 1999; ++k) AddVideoFrame(file, sizeof frame, frame, 40 * k, 1);
    TouchStack();
    const rlim_t room = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(4) << 20);
    const rlimit limit{room, room};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return r;
    size_t count = 0;
    void **held = UseUpMemory(&count);
    r.lastOfBlock = AddVideoFrame(file, sizeof frame, frame, 40 * 1999, 0);
    r.afterIt = AddVideoFrame(file, sizeof frame, frame, 40 * 2000, 0);
    r.samples = file->videoSampleTotal;
    r.bytes = file->videoBytes;
    for (size_t i = 0; i < count; ++i) std::free(held[i]);
    MP4FileFlush(file);
    return r;
}

TEST(WriterLimits, NoFrameIsEnteredPastAFullBlock) {
    const char *preload = std::getenv("LD_PRELOAD");
    if (__asan_init != nullptr || (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr))
        GTEST_SKIP() << "address space limits do not apply under AddressSanitizer or valgrind";
    const std::string dir = TempDir();
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        const std::string said = dir + "/stderr";
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(said.c_str(), "w", stderr)) _exit(1);
        const Results r = AddFramesPastABlock(dir);
        _exit(write(channel[1], &r, sizeof r) == ssize_t(sizeof r) ? 0 : 1);
    }
    close(channel[1]);
    Results r{};
    const ssize_t got = read(channel[0], &r, sizeof r);
    close(channel[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(got, ssize_t(sizeof r));
    EXPECT_EQ(r.lastOfBlock, -99);
    EXPECT_EQ(r.afterIt, -99);
    EXPECT_EQ(r.samples, 2000u);
    EXPECT_EQ(r.bytes, 20000u);
    const Bytes said = ReadFileBytes(dir + "/stderr");
    const std::string message = "Can't create Sample and KeyFrame table for VideoTrackNode in AddVideoFrame(...) \n";
    EXPECT_EQ(std::string(said.begin(), said.end()).substr(0, 2 * message.size()), message + message);
}

}  // namespace
