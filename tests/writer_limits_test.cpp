// The writer when memory runs out while a track grows: the block that
// should follow a full one cannot be allocated.  The frame that filled the
// block stays entered (its bytes are not written) and the call fails; a
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
    int32_t lastOfBlock = 0, afterIt = 0;  // frames 2000 and 2001
    uint32_t samples = 0, bytes = 0;       // the handle's totals after both
};

// In the child: 1999 frames; the stack grown while it may; the address space
// limited to what the process uses and 4 MiB, and that used up by malloc,
// largest pieces first; frames 2000 and 2001.
Results AddFramesPastABlock(const std::string &dir) {
    Results r;
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
    volatile char stack[256 * 1024];
    for (size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 1;
    const rlim_t room = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(4) << 20);
    const rlimit limit{room, room};
    const bool limited = setrlimit(RLIMIT_AS, &limit) == 0;
    static void *held[1 << 16];
    size_t count = 0;
    for (size_t size = size_t(1) << 20; limited && size >= 16; size /= 2)
        while (count < sizeof held / sizeof *held && (held[count] = std::malloc(size)) != nullptr) ++count;
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
    const std::string dir = TempDir(), said = dir + "/stderr";
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(said.c_str(), "w", stderr)) _exit(1);
        const Results r = AddFramesPastABlock(dir);
        _exit(write(channel[1], &r, sizeof r) == ssize_t(sizeof r) ? 0 : 1);
    }
    close(channel[1]);
    Results r;
    const ssize_t got = read(channel[0], &r, sizeof r);
    close(channel[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == ssize_t(sizeof r)) << status;
    EXPECT_TRUE(r.lastOfBlock == -99 && r.afterIt == -99) << r.lastOfBlock << " " << r.afterIt;
    EXPECT_TRUE(r.samples == 2000 && r.bytes == 20000) << r.samples << " " << r.bytes;
    const Bytes text = ReadFileBytes(said);
    const std::string message = "Can't create Sample and KeyFrame table for VideoTrackNode in AddVideoFrame(...) \n";
    EXPECT_EQ(std::string(text.begin(), text.end()).substr(0, 2 * message.size()), message + message);
}

}  // namespace
