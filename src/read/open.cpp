// Opening an MP4 file for reading: the whole atom tree with its records and
// tables is loaded, tracks are looked for by track_ID 0 to 399, and every
// video and audio track gets its sample index.  Closing releases all of it
// except the handle block, which belongs to the caller.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/read.h"

namespace {

constexpr size_t kMaxPathLength = sizeof(Root_atom::path) - 1;

// The read stream's buffer.  Sample access jumps back and forth between the
// chunks of the video and the audio track, which lie side by side in the
// media data; a buffer of a few file-system blocks serves many of those
// jumps without reading the file again, where the default (one block) is
// refilled on nearly every one.  Sample bytes beyond the buffer's size are
// read by the stream straight into the destination.  A larger buffer costs
// more on a random jump (GetSample, SeekTrack), where the stream refills the
// whole buffer at the new place: measured on the one-hour file and the
// lookup micro benchmark, 16 KiB reads every sample in 0.10 s against 0.14 s
// with 4 KiB (64 KiB: 0.08 s) while a random GetSample costs 1-3 us against
// 1-2 us (64 KiB: 2-5 us).
//
// The buffer lives in the same allocation as the Root_atom, right after it,
// so it is released with the Root_atom, after the stream is closed.
constexpr size_t kReadBufferBytes = 16 * 1024;

Root_atom *NewReadRoot() {
    return static_cast<Root_atom *>(std::calloc(1, sizeof(Root_atom) + kReadBufferBytes));
}

void UseReadBuffer(Root_atom *root) {
    char *buffer = reinterpret_cast<char *>(root) + sizeof(Root_atom);
    std::setvbuf(root->file, buffer, _IOFBF, kReadBufferBytes);
}

void ReleaseTracks(MP4_read_file *handle) {
    for (ReadTrack *&slot : handle->tracks)
        if (slot != nullptr) FreeTrackIndex(&slot);
}

// Closes the stream and releases the tree and the Root_atom.
void ReleaseRoot(Root_atom *root) {
    if (root == nullptr) return;
    if (root->file != nullptr) std::fclose(root->file);
    root->file = nullptr;
    FreeAtomTree(root);
    std::free(root);
}

int32_t FailOpen(MP4_read_file *handle, Root_atom *root) {
    ReleaseTracks(handle);
    ReleaseRoot(root);
    handle->root = nullptr;
    return -99;
}

// Loads the atom tree: steps from the file size to the extraction.
bool LoadFile(Root_atom *root, const char *path, ReadOptions options, LeftOut *leftOut) {
    root->file = OpenFileForReading(path);
    if (root->file == nullptr) {
        std::printf("Can't open the file - %s \n", path);
        return false;
    }
    UseReadBuffer(root);
    const int64_t size = StreamSizeAtEnd(root->file);
    if (size == 0) {
        std::printf("file size be zero!!\n");
        return false;
    }
    if (size < 0 || uint64_t(size) >= kMaxReadableFileSize) {
        std::printf("file parse error, may not a mp4 file\n");
        return false;
    }
    root->fileSize = uint32_t(size);
    std::printf("file size [%d]\n", int32_t(size));
    if (ReadAtomTreeWith(root, options, leftOut) <= 0) {
        std::printf("file parse error, may not a mp4 file\n");
        return false;
    }
    for (const AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next)
        ValidateAtomHierarchy(atom);
    if (AllocTreeRecords(root) <= 0) {
        std::printf("mp4 file atom hierarchy tree memory inital error\n");
        return false;
    }
    if (ExtractAtomRecords(root) <= 0) {
        std::printf("extracting mp4 file error\n");
        return false;
    }
    return true;
}

// A track's sample count for its arrays, taken as the signed count the
// allocation is given (a count of 2^31 or more is below 1: no arrays).
// Left to this implementation: a track whose information step failed gets 0
// (no arrays) rather than what another track left in the info block.
int32_t IndexCapacity(int32_t infoResult, uint32_t sampleCount) {
    return infoResult == 1 ? int32_t(sampleCount) : 0;
}

void IndexTrack(MP4_read_file *handle, int32_t id) {
    ReadTrack **slot = &handle->tracks[id];
    ReadTrack *track = *slot;
    if (track->mediaType == kMediaVideo) {
        const int32_t info = GetVideoTrackInfo(track->trak, &handle->videoInfo);
        AllocVideoIndex(slot, IndexCapacity(info, handle->videoInfo.sampleCount));
        BuildVideotrackIndex(slot);
        if (handle->videoTrackId == 0) handle->videoTrackId = id;
    } else if (track->mediaType == kMediaAudio) {
        const int32_t info = GetAudioTrackInfo(track->trak, &handle->audioInfo);
        AllocAudioIndex(slot, IndexCapacity(info, handle->audioInfo.sampleCount));
        BuildAudiotrackIndex(slot);
        if (handle->audioTrackId == 0) handle->audioTrackId = id;
    }
}

// Finds the tracks by track_ID; false only when a record cannot be allocated.
bool FindTracks(MP4_read_file *handle, Root_atom *root) {
    for (ReadTrack *&slot : handle->tracks) slot = nullptr;
    handle->audioTrackId = 0;
    handle->videoTrackId = 0;
    for (int32_t id = 0; id < MP4_READ_TRACK_SLOTS; ++id) {
        AtomNode *trak = nullptr;
        if (FindTrackById(root, id, &trak) != 1) continue;
        auto *track = static_cast<ReadTrack *>(std::calloc(1, sizeof(ReadTrack)));
        if (track == nullptr) {
            std::printf("Can't create track node in track [%d]\n", id);
            return false;
        }
        handle->tracks[id] = track;
        GetTrackMediaType(trak, &track->mediaType);
        track->trak = trak;
        IndexTrack(handle, id);
    }
    return true;
}

}  // namespace

// Left to this implementation: a handle block that cannot be allocated
// leaves the caller's variable null and gives -99; a path of more than 255
// characters (or a null path) is refused with -99 after
// "Can't open the file - %s \n"; a file of 2 GiB or more (or one whose size
// cannot be taken) with "file parse error, may not a mp4 file\n".  A file cut
// short inside its "moov" opens: each level keeps the atoms read before the
// end of the file.
int32_t OpenMp4File(MP4_read_file **handleOut, const char *path, ReadOptions options,
                    LeftOut *leftOut) {
    if (leftOut != nullptr) *leftOut = LeftOut{};
    if (handleOut == nullptr) return -99;
    auto *handle = static_cast<MP4_read_file *>(std::calloc(1, sizeof(MP4_read_file)));
    *handleOut = handle;
    if (handle == nullptr) return -99;
    Root_atom *root = NewReadRoot();
    if (root == nullptr) {
        std::printf("Can't allocate memory for Root_atom in mp4fileopen(...) \n");
        return -99;
    }
    const char *shown = path != nullptr ? path : "(null)";
    std::printf("file is [%s]\n", shown);
    if (path == nullptr || std::strlen(path) > kMaxPathLength) {
        std::printf("Can't open the file - %s \n", shown);
        return FailOpen(handle, root);
    }
    std::memcpy(root->path, path, std::strlen(path) + 1);
    if (!LoadFile(root, path, options, leftOut) || !FindTracks(handle, root))
        return FailOpen(handle, root);
    handle->audioCursor = 0;
    handle->videoCursor = 0;
    handle->keyCursor = 0;
    handle->root = root;
    return 1;
}

extern "C" {

CORVANE_API int32_t CORVANE_CALL MP4FileOpen(MP4_read_file **handleOut, const char *path) {
    return OpenMp4File(handleOut, path, kExactRead, nullptr);
}

CORVANE_API int32_t CORVANE_CALL MP4FileClose(MP4_read_file **handleIn) {
    if (handleIn == nullptr || *handleIn == nullptr) return 1;
    MP4_read_file *handle = *handleIn;
    ReleaseTracks(handle);
    ReleaseRoot(handle->root);
    return 1;
}

}  // extern "C"
