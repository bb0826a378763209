// Compile-time checks of what a host sees: the records it reads directly and
// the argument bytes of each export, which are part of the 32-bit export
// names (_CreateTrack@56).  A change to the public header that would move a
// field or change a decoration fails the build here, on every platform where
// the check is meaningful.
#include "corvane2.h"

#include <cstddef>
#include <type_traits>

namespace {

constexpr std::size_t kPtr = sizeof(void *);
constexpr std::size_t AlignUp(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }

// The reading handle: a pointer, five 32-bit words, 400 track pointers and
// the two five-word information blocks.  On 32-bit Windows these are 416
// words: videoTrackId at word 2, tracks at 6, videoInfo at 406, audioInfo at
// 411.  The same formulas in terms of the pointer size hold on 64-bit
// platforms, where hosts of the 64-bit build read the same fields.
constexpr std::size_t kTracksAt = AlignUp(kPtr + 5 * 4, alignof(void *));
constexpr std::size_t kVideoInfoAt = kTracksAt + MP4_READ_TRACK_SLOTS * kPtr;
constexpr std::size_t kAudioInfoAt = kVideoInfoAt + sizeof(VideoInfo);

static_assert(std::is_standard_layout_v<MP4_read_file>);
static_assert(offsetof(MP4_read_file, root) == 0);
static_assert(offsetof(MP4_read_file, audioTrackId) == kPtr);
static_assert(offsetof(MP4_read_file, videoTrackId) == kPtr + 4);
static_assert(offsetof(MP4_read_file, audioCursor) == kPtr + 8);
static_assert(offsetof(MP4_read_file, videoCursor) == kPtr + 12);
static_assert(offsetof(MP4_read_file, keyCursor) == kPtr + 16);
static_assert(offsetof(MP4_read_file, tracks) == kTracksAt);
static_assert(offsetof(MP4_read_file, videoInfo) == kVideoInfoAt);
static_assert(offsetof(MP4_read_file, audioInfo) == kAudioInfoAt);
static_assert(sizeof(VideoInfo) == 5 * 4 && sizeof(AudioInfo) == 5 * 4);
static_assert(sizeof(MP4_read_file) == AlignUp(kAudioInfoAt + sizeof(AudioInfo), alignof(void *)));

// FileInfo is 24 unsigned 32-bit words on every platform.
static_assert(sizeof(FileInfo) == 24 * 4);
static_assert(offsetof(FileInfo, videoHeight) == 6 * 4);
static_assert(offsetof(FileInfo, audioFrameCount) == 10 * 4);
static_assert(offsetof(FileInfo, mpegAudioEmphasis) == 23 * 4);

#if defined(_WIN32) && !defined(_WIN64)
// The layout 32-bit hosts were written against, in words.
static_assert(sizeof(void *) == 4);
static_assert(sizeof(MP4_read_file) == 416 * 4);
static_assert(offsetof(MP4_read_file, videoTrackId) == 2 * 4);
static_assert(offsetof(MP4_read_file, tracks) == 6 * 4);
static_assert(offsetof(MP4_read_file, videoInfo) == 406 * 4);
static_assert(offsetof(MP4_read_file, audioInfo) == 411 * 4);
#endif

// Argument bytes of a __stdcall function as the 32-bit decoration counts
// them: every argument takes a whole number of 4-byte stack slots, and a
// pointer takes one.  Counting pointers as one slot on every platform lets
// 64-bit builds check the same numbers.
template <typename T>
constexpr std::size_t SlotBytes() {
    if constexpr (std::is_pointer_v<T>) {
        return 4;
    } else {
        return AlignUp(sizeof(T), 4);
    }
}

template <typename F>
struct ArgBytesOf;

template <typename R, typename... A>
struct ArgBytesOf<R(A...)> {
    static constexpr std::size_t value = (std::size_t{0} + ... + SlotBytes<A>());
};

// Calling-convention attributes are part of a function's type on 32-bit
// Windows; strip them by matching the prototype against a plain function
// type of the same signature.
template <typename R, typename... A>
constexpr std::size_t ArgBytes(R(CORVANE_CALL *)(A...)) {
    return ArgBytesOf<R(A...)>::value;
}

// Looks at the prototype's type only: nothing is called or linked.
#define CORVANE_ARG_BYTES(function) ArgBytes(static_cast<decltype(&function)>(nullptr))

// The byte counts of the decorated names in src/dll/Corvane2.def.
static_assert(CORVANE_ARG_BYTES(MP4FileOpen) == 8);
static_assert(CORVANE_ARG_BYTES(MP4FileClose) == 4);
static_assert(CORVANE_ARG_BYTES(GetSample) == 20);
static_assert(CORVANE_ARG_BYTES(SeekTrack) == 20);
static_assert(CORVANE_ARG_BYTES(MP4GetNextSample) == 20);
static_assert(CORVANE_ARG_BYTES(MP4NextKeyFrame) == 16);
static_assert(CORVANE_ARG_BYTES(MP4PrevKeyFrame) == 16);
static_assert(CORVANE_ARG_BYTES(GoToBeginOfKeyFrame) == 8);
static_assert(CORVANE_ARG_BYTES(GoToEndOfKeyFrame) == 8);
static_assert(CORVANE_ARG_BYTES(MP4freeData) == 4);
static_assert(CORVANE_ARG_BYTES(GetFileInfo) == 8);
static_assert(CORVANE_ARG_BYTES(GetM4vEsdsData) == 20);
static_assert(CORVANE_ARG_BYTES(GetM4aEsdsData) == 12);
static_assert(CORVANE_ARG_BYTES(GetM4vHeaderSize) == 12);
static_assert(CORVANE_ARG_BYTES(MP4FileNew) == 8);
static_assert(CORVANE_ARG_BYTES(CreateTrack) == 56);
static_assert(CORVANE_ARG_BYTES(AddVideoFrame) == 20);
static_assert(CORVANE_ARG_BYTES(AddAudioFrame) == 16);
static_assert(CORVANE_ARG_BYTES(MP4FileFlush) == 4);
static_assert(CORVANE_ARG_BYTES(Mp4AddAudio) == 12);
static_assert(CORVANE_ARG_BYTES(Mp4AddVideo) == 16);

}  // namespace
