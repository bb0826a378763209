// Ending a file: the tracks' blocks are merged, the records filled, the atom
// tree written record by record, the temporary files copied after the mdat
// header, the fixed object-descriptor and scene access units appended, and
// everything the handle owned released.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "write/write.h"

namespace {

constexpr uint8_t kOdBoth[33] = {0x01, 0x80, 0x80, 0x80, 0x1C, 0x11, 0x80, 0x80, 0x80, 0x09, 0x05,
                                 0x1F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x01, 0x11, 0x80, 0x80,
                                 0x80, 0x09, 0x02, 0x9F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x02};
constexpr uint8_t kOdVideo[10] = {0x01, 0x08, 0x01, 0x06, 0x00, 0xDF, 0x0F, 0x02, 0x00, 0x01};
constexpr uint8_t kOdAudio[10] = {0x01, 0x08, 0x01, 0x06, 0x01, 0x1F, 0x0F, 0x02, 0x00, 0x01};
constexpr uint8_t kSceneBoth[16] = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x72,
                                    0x61, 0x04, 0x88, 0x50, 0x45, 0x05, 0x3F, 0x00};
constexpr uint8_t kSceneVideo[38] = {0xC0, 0x10, 0x13, 0x01, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x01, 0x2E, 0x08, 0x50, 0x3B, 0xFF, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x04, 0x50, 0x0F, 0xA0, 0x83, 0xF8,
                                     0x00, 0x00, 0x03, 0xF8, 0x00, 0x00, 0x0F, 0xC0};
constexpr uint8_t kSceneAudio[17] = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x02, 0x56, 0xFF,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xC0};
// An object-descriptor track without media tracks still has a 10-byte
// sample; its content is not defined, so it is written as zeros.
constexpr uint8_t kOdNone[10] = {};

constexpr size_t kCopyPiece = 1 << 20;

}  // namespace

AccessUnit ObjectDescriptorUnit(bool hasVideo, bool hasAudio) {
    if (hasVideo && hasAudio) return {kOdBoth, sizeof kOdBoth};
    if (hasVideo) return {kOdVideo, sizeof kOdVideo};
    if (hasAudio) return {kOdAudio, sizeof kOdAudio};
    return {kOdNone, sizeof kOdNone};
}

AccessUnit SceneUnit(bool hasVideo, bool hasAudio) {
    if (hasVideo && hasAudio) return {kSceneBoth, sizeof kSceneBoth};
    if (hasVideo) return {kSceneVideo, sizeof kSceneVideo};
    if (hasAudio) return {kSceneAudio, sizeof kSceneAudio};
    return {nullptr, 0};
}

namespace {

// Writes `count` bytes of `bytes` (only the `held` first ones exist; the rest
// are written as zeros, so the bytes written always match the sizes already
// stored in the records).
uint32_t WritePadded(FILE *out, const uint8_t *bytes, uint32_t held, uint32_t count) {
    static const uint8_t kZeros[256] = {};
    const uint32_t real = bytes != nullptr ? (held < count ? held : count) : 0;
    if (real > 0) std::fwrite(bytes, 1, real, out);
    for (uint32_t left = count - real; left > 0;) {
        const uint32_t piece = left < sizeof kZeros ? left : uint32_t(sizeof kZeros);
        std::fwrite(kZeros, 1, piece, out);
        left -= piece;
    }
    return count;
}

bool TableKnownToWriter(const AtomNode *atom) {
    for (const char *type : {"stts", "stsc", "stco", "stss", "elst", "stsz", "mpod"})
        if (SameAtomType(atom->type, type)) return true;
    return false;
}

// What the flush says about one temporary file.
struct TempFileMessages {
    const char *size;    // its size differs from the bytes counted
    const char *reopen;  // it cannot be opened again for reading
};

}  // namespace

// Copies a temporary file after what has been written: its whole content,
// whatever the bytes counted for it, by the kernel where the platform can
// (the bytes then never pass through the process), else in pieces of
// `pieceBytes`, so that the memory used does not grow with the file.  A file whose size differs from
// `expected` is reported and copied unchanged all the same (the mdat size
// and the chunk offsets then no longer match the data).  Left to this
// implementation: a file that cannot be reopened or measured, or a flush
// without a copy buffer, is reported and nothing is written for it.  A
// piece that reads short is written out with zeros, as a zeroed buffer of
// the file's size would be.
int32_t CopyTempFile(FILE *out, const char *name, uint32_t expected, bool video, uint8_t *piece,
                     size_t pieceBytes) {
    const TempFileMessages m = video
        ? TempFileMessages{"error in video tempfile!\n", "Can't reopen video tempfile!\n"}
        : TempFileMessages{"error in audio tempfile!\n", "Can't reopen audio tempfile!\n"};
    FILE *in = name != nullptr ? OpenFileForReading(name) : nullptr;
    if (in == nullptr) {
        std::printf("%s", m.reopen);
        return -99;
    }
    const int64_t size = StreamSizeAtEnd(in);
    if (size < 0 || std::fseek(in, 0, SEEK_SET) != 0) {  // reported as a size that differs
        std::printf("%s", m.size);
        std::fclose(in);
        return -99;
    }
    if (size != int64_t(expected)) std::printf("%s", m.size);
    if (piece == nullptr || pieceBytes == 0) {
        std::printf("Can't allocate the copy buffer for the tempfile!\n");
        std::fclose(in);
        return -99;
    }
    AppendFileBytes(out, in, uint64_t(size), piece, pieceBytes);
    std::fclose(in);
    return 1;
}

namespace {

// The access unit of an object-descriptor or scene track.  Never more than
// the size entered when the track was created is written: when the media
// tracks changed since, the unit chosen now is cut to that size or padded
// with zeros.
void WriteSystemsUnit(FILE *out, const TrackNode *track, AccessUnit unit) {
    if (track == nullptr || track->samples == nullptr) return;
    WritePadded(out, unit.bytes, unit.size, track->samples[0].size);
}

}  // namespace

int32_t WriteAtomList(AtomNode *first, Root_atom *root) {
    if (root == nullptr || root->file == nullptr) return -99;
    for (AtomNode *atom = first; atom != nullptr; atom = atom->next) {
        AtomTypeInfo info{};
        const bool known = GetAtomTypeInfo(atom, &info) == 1;
        const realStructure *r = atom->realStructure;
        const uint8_t *image = r != nullptr ? r->image : nullptr;
        const uint32_t imageBytes = r != nullptr ? r->imageSize : 0;
        const uint32_t w = !known ? 0 : info.headerSize != 0 ? info.headerSize : atom->size;
        uint32_t written = 0;
        if (known && (info.hasTable & 0xFF) != 0) {
            const uint32_t fixed = info.recordSize - 4 < w ? info.recordSize - 4 : w;
            written += WritePadded(root->file, image, imageBytes, fixed);
            if (!TableKnownToWriter(atom)) {
                std::printf("error occuring in writing [%s]atom\n", atom->type);
                root->fileSize += written;
                return -99;
            }
            written += WritePadded(root->file, r ? r->table : nullptr, r ? r->tableBytes : 0,
                                   w - fixed);
        } else if (SameAtomType(atom->type, "mdat")) {
            written += WritePadded(root->file, image, imageBytes, 8);
        } else {
            written += WritePadded(root->file, image, imageBytes, w);
        }
        root->fileSize += written;
        if (atom->firstChild != nullptr) WriteAtomList(atom->firstChild, root);
    }
    return 1;
}

int32_t WriteMediaData(MP4_local_file *file) {
    if (file == nullptr || file->root == nullptr) return -99;
    Root_atom *root = file->root;
    if (root->file == nullptr) return -99;
    root->fileSize = 0;
    WriteAtomList(root->firstAtom, root);
    const bool video = file->VideoTrackNode != nullptr, audio = file->AudioTrackNode != nullptr;
    uint8_t *piece = video || audio ? static_cast<uint8_t *>(std::malloc(kCopyPiece)) : nullptr;
    if (video) CopyTempFile(root->file, file->videoTempName, file->videoBytes, true, piece, kCopyPiece);
    if (audio) CopyTempFile(root->file, file->audioTempName, file->audioBytes, false, piece, kCopyPiece);
    std::free(piece);
    WriteSystemsUnit(root->file, file->odTrackNode, ObjectDescriptorUnit(video, audio));
    WriteSystemsUnit(root->file, file->sceneTrackNode, SceneUnit(video, audio));
    // Only regular files: a temporary name that names a device (/dev/null,
    // say) was written through, not created, and stays.
    RemoveRegularFile(file->videoTempName);
    RemoveRegularFile(file->audioTempName);
    std::fclose(root->file);
    root->file = nullptr;
    return 1;
}

int32_t FreeWrittenSubtree(AtomNode *atom) {
    if (atom == nullptr) return 1;
    AtomNode *child = atom->firstChild;
    atom->firstChild = nullptr;
    while (child != nullptr) {
        AtomNode *next = child->next;
        FreeAtomNode(child);  // descendants, table, record, node
        child = next;
    }
    return 1;
}

// Merges a track's chain into one block holding every sample (and, for
// video, every key frame).  When the merged tables cannot be allocated the
// failure is reported and the chain is kept: the fills find every entry
// through the chain all the same.
int32_t MergeTrackBlocks(MP4_local_file *file, bool video) {
    if (file == nullptr) return -99;
    TrackNode **slot = video ? &file->VideoTrackNode : &file->AudioTrackNode;
    TrackNode *first = *slot;
    if (first == nullptr) return -99;
    const uint32_t total = video ? file->videoSampleTotal : file->audioSampleTotal;
    const uint32_t keys = video ? file->videoKeyFrameTotal : 0;
    auto *merged = static_cast<TrackNode *>(AllocZeroed(sizeof(TrackNode)));
    auto *samples = static_cast<FrameEntry *>(AllocZeroed(size_t(total) * sizeof(FrameEntry)));
    auto *keyFrames =
        video ? static_cast<KeyFrameEntry *>(AllocZeroed(size_t(keys) * sizeof(KeyFrameEntry)))
              : nullptr;
    if (merged == nullptr || samples == nullptr || (video && keyFrames == nullptr)) {
        DebugOutput("Can't merge the blocks of the track in MP4FileFlush(...) \n");
        FreeIfSet(merged);
        FreeIfSet(samples);
        FreeIfSet(keyFrames);
        return -99;
    }
    *merged = *first;
    merged->sampleCount = total;
    merged->capacity = total;
    merged->nextBlock = nullptr;
    merged->lastBlock = nullptr;
    merged->samples = samples;
    merged->keyFrames = keyFrames;
    if (video) merged->keyFrameCount = keys;
    // Each block's entries go where its first numbers say, as far as both
    // its own tables and the merged ones reach: after a replaced track the
    // handle's totals and the blocks' numbers need not agree.
    for (const TrackNode *b = first; b != nullptr; b = b->nextBlock) {
        if (b->samples != nullptr && b->sampleCount <= b->capacity && b->firstSample <= total &&
            b->sampleCount <= total - b->firstSample)
            std::memcpy(samples + b->firstSample, b->samples, b->sampleCount * sizeof(FrameEntry));
        if (video && b->keyFrames != nullptr && b->keyFrameCount <= b->capacity &&
            b->firstKeyFrame <= keys && b->keyFrameCount <= keys - b->firstKeyFrame)
            std::memcpy(keyFrames + b->firstKeyFrame, b->keyFrames,
                        b->keyFrameCount * sizeof(KeyFrameEntry));
    }
    FreeTrackBlocks(first);
    *slot = merged;
    return 1;
}

namespace {

void CloseTempFile(FILE **tempFile, const char **tempName) {
    if (*tempFile != nullptr) {
        std::fclose(*tempFile);
        *tempFile = nullptr;
    } else {
        // Never created by this handle: neither read back nor removed.
        *tempName = nullptr;
    }
}

// A trak subtree that the movie fill did not link under moov (an
// object-descriptor or scene track without media tracks) still belongs to
// its track.
void FreeUnlinkedTrak(TrackNode *track) {
    if (track != nullptr && track->trakAtom != nullptr && track->trakAtom->parent == nullptr)
        FreeAtomNode(track->trakAtom);
}

void FreeFileTree(Root_atom *root) {
    while (root->firstAtom != nullptr) {
        AtomNode *atom = root->firstAtom;
        root->firstAtom = atom->next;
        FreeWrittenSubtree(atom);
        FreeAtomRecord(atom->realStructure);
        FreeIfSet(atom);
    }
    if (root->file != nullptr) std::fclose(root->file);
    FreeIfSet(root);
}

}  // namespace

// Writes the file and releases the handle.  Only a null handle fails: every
// step runs whatever the earlier ones gave, and failures on the way are
// reported where they happen.  Temporary files that could not be created
// are neither read nor removed.
extern "C" CORVANE_API int32_t CORVANE_CALL MP4FileFlush(MP4_local_file *handle) {
    if (handle == nullptr) {
        DebugOutput("the input localfile is empty!\n");
        return -99;
    }
    if (handle->VideoTrackNode != nullptr) {
        MergeTrackBlocks(handle, true);
        CloseTempFile(&handle->videoTempFile, &handle->videoTempName);
    }
    if (handle->AudioTrackNode != nullptr) {
        MergeTrackBlocks(handle, false);
        CloseTempFile(&handle->audioTempFile, &handle->audioTempName);
    }
    if (handle->VideoTrackNode != nullptr) FillTrackAtoms(handle->VideoTrackNode);
    if (handle->AudioTrackNode != nullptr) FillTrackAtoms(handle->AudioTrackNode);
    if (TrackNode *od = handle->odTrackNode) {
        if (handle->VideoTrackNode != nullptr) od->videoTrackRef = handle->VideoTrackNode->trackId;
        if (handle->AudioTrackNode != nullptr) od->audioTrackRef = handle->AudioTrackNode->trackId;
        FillTrackAtoms(od);
    }
    if (handle->sceneTrackNode != nullptr) FillTrackAtoms(handle->sceneTrackNode);
    if (handle->root != nullptr) {
        FillMovieAtoms(handle->root, handle);
        WriteMediaData(handle);
    }
    for (TrackNode *track : {handle->VideoTrackNode, handle->AudioTrackNode, handle->odTrackNode,
                             handle->sceneTrackNode})
        FreeUnlinkedTrak(track);
    if (handle->root != nullptr) FreeFileTree(handle->root);
    for (TrackNode *track : {handle->VideoTrackNode, handle->AudioTrackNode, handle->odTrackNode,
                             handle->sceneTrackNode})
        FreeTrackBlocks(track);
    FreeIfSet(handle);
    return 1;
}

// Releases a handle without writing anything: the output stream and the
// temporary files are closed and left on disk as they are, and every block,
// atom and record is freed.  For callers that must give up on a file.
void AbandonLocalFile(MP4_local_file *handle) {
    if (handle == nullptr) return;
    for (FILE *temp : {handle->videoTempFile, handle->audioTempFile})
        if (temp != nullptr) std::fclose(temp);
    for (TrackNode *track : {handle->VideoTrackNode, handle->AudioTrackNode, handle->odTrackNode,
                             handle->sceneTrackNode}) {
        if (track != nullptr && track->trakAtom != nullptr) FreeAtomNode(track->trakAtom);
        FreeTrackBlocks(track);
    }
    if (handle->root != nullptr) {
        FreeAtomTree(handle->root);
        if (handle->root->file != nullptr) std::fclose(handle->root->file);
        FreeIfSet(handle->root);
    }
    FreeIfSet(handle);
}
