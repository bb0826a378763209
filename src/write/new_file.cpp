// Starting a new file: the writer's handle with the top-level atoms, and the
// tracks with their blocks, trak subtrees and temporary files.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "write/write.h"

namespace {

constexpr size_t kMaxPathCharacters = 254;

void AbandonNewFile(MP4_local_file *file, Root_atom *root) {
    if (root->file != nullptr) std::fclose(root->file);
    FreeAtomTree(root);
    FreeIfSet(root);
    FreeIfSet(file);
}

// The temporary files' stream buffers.  Frames of a few kilobytes are each
// larger than the default buffer (one file-system block), so every frame
// went out in a write call of its own: 90,000 of them for an hour of
// 320x240 video.  With 128 KiB the bytes go out in large writes; they reach
// the file later than the frame's call, as small frames' bytes already did.
// The buffers live in the handle's own block, after the record the host
// sees, so that they are released with the handle, after the flush (or an
// abandoned handle) has closed the files.
constexpr size_t kTempBufferBytes = 128 * 1024;
constexpr size_t kHandleBytes = sizeof(MP4_local_file) + 2 * kTempBufferBytes;

char *TempBuffer(MP4_local_file *file, bool video) {
    return reinterpret_cast<char *>(file) + sizeof(MP4_local_file) + (video ? 0 : kTempBufferBytes);
}

}  // namespace

// Creates the handle, opens the output file for binary writing and builds
// ftyp, moov (mvhd, iods) and mdat with their records.  A path longer than
// 254 characters (or none) is refused with -99 rather than cut, with the
// message of a file that cannot be created.  A null handle variable is
// refused with -99 before anything is created: the handle could not be
// handed out, and would be lost with its open file.
extern "C" CORVANE_API int32_t CORVANE_CALL MP4FileNew(MP4_local_file **handle, const char *path) {
    if (handle == nullptr) {
        DebugOutput("the input parameter for MP4_local_file is empty\n");
        return -99;
    }
    auto *file = static_cast<MP4_local_file *>(AllocZeroed(kHandleBytes));
    if (handle != nullptr) *handle = file;
    if (file == nullptr) {
        DebugOutput("Can't allocate memory for MP4_local_file in MP4FileNew(...) \n");
        return -99;
    }
    auto *root = static_cast<Root_atom *>(AllocZeroed(sizeof(Root_atom)));
    if (root == nullptr) {
        DebugOutput("Can't allocate memory for Root_atom in MP4FileNew(...) \n");
        FreeIfSet(file);
        if (handle != nullptr) *handle = nullptr;
        return -99;
    }
    const bool pathFits = path != nullptr && std::strlen(path) <= kMaxPathCharacters;
    if (pathFits) {
        std::strncpy(root->path, path, kMaxPathCharacters);
        root->file = OpenFileForWriting(root->path);
    }
    if (root->file == nullptr) {
        DebugOutput("Can not create new file in MP4FileNew(...) \n");
        AbandonNewFile(file, root);
        if (handle != nullptr) *handle = nullptr;
        return -99;
    }
    if (BuildRootTree(root) != 1 || AllocTreeRecords(root) != 1) {
        DebugOutput("Error occur for create atom subtree in MP4FileNew(...) \n");
        AbandonNewFile(file, root);
        if (handle != nullptr) *handle = nullptr;
        return -99;
    }
    file->root = root;
    file->nextTrackId = 1;
    return 1;
}

namespace {

struct TrackArguments {
    uint32_t trackType;
    uint16_t width, height, timeIncrementResolution;
    uint32_t timescale, profileLevel, audioProfile, channelConfig, samplingFrequency;
    uint32_t decoderConfigLength;
    const uint8_t *decoderConfig;
    const char *tempFileName;
    uint32_t codec;
};

// Parameters refused before any id is used, each with its own message.
// Every refusal rests on a case the format leaves to this implementation, or
// on memory safety; everything else is accepted as given.
//
// - A video or audio track keeps at most 52 configuration bytes; what to do
//   with a longer configuration is left to this implementation, and it is
//   refused rather than cut (a cut configuration no decoder could use).
// - A configuration length above 0 with no bytes behind it: nothing could be
//   copied.  (Object-descriptor and scene tracks keep no configuration, so
//   for them neither of these two is looked at.)
// - An MPEG-4 video track without configuration whose width or height is
//   8192 or more: the built video object layer header has 13-bit fields, and
//   refusing such a size is left to this implementation.
// - An MPEG-4 video configuration that begins with neither a visual object
//   sequence nor a video object start code: its esds cannot be built, and
//   whether to refuse it up front is left to this implementation.  Refused,
//   since otherwise the flush writes a moov of size 0 and every frame given
//   is lost.
// - An audio track with timescale 0: its bit-rate step would divide by it;
//   left to this implementation to refuse it or leave its rates at 0.
//   Refused.  Video, object-descriptor and scene tracks with timescale 0 are
//   accepted (see the video bit rates in frames.cpp).
const char *RefusalReason(const TrackArguments &a) {
    const bool media = a.trackType == kVideoTrack || a.trackType == kAudioTrack;
    if (a.trackType == kAudioTrack && a.timescale == 0)
        return "A timescale of 0 is refused in CreateTrack(...) \n";
    if (media && (a.decoderConfigLength > kDecoderConfigBytes ||
                  (a.decoderConfigLength > 0 && a.decoderConfig == nullptr)))
        return "The decoder configuration is too long in CreateTrack(...) \n";
    if (a.trackType == kVideoTrack && a.codec == 1) {
        if (a.decoderConfigLength == 0 && (a.width >= 8192 || a.height >= 8192))
            return "The frame size does not fit the video object layer in CreateTrack(...) \n";
        if (!IsWritableVisualConfig(a.decoderConfig, a.decoderConfigLength))
            return "The decoder configuration is not an MPEG-4 Visual header in CreateTrack(...) \n";
    }
    return nullptr;
}

// The one sample of an object-descriptor or scene track, entered at creation:
// its size is that of the fixed access unit for the media tracks present now.
void EnterSystemsSample(const MP4_local_file *file, TrackNode *track) {
    const bool video = file->VideoTrackNode != nullptr;
    const bool audio = file->AudioTrackNode != nullptr;
    const AccessUnit unit = track->trackType == kObjectDescriptorTrack
                                ? ObjectDescriptorUnit(video, audio)
                                : SceneUnit(video, audio);
    track->sampleCount = 1;
    track->keyFrameCount = 1;
    track->samples[0] = FrameEntry{0, 0, 0, unit.size, 0};
    track->samples[1] = FrameEntry{0, 0, 0, unit.size, 0};
    track->keyFrames[0] = KeyFrameEntry{0, 0};
}

void StoreCodecParameters(TrackNode *track, const TrackArguments &a) {
    if (a.decoderConfigLength > 0) std::memcpy(track->decoderConfig, a.decoderConfig, a.decoderConfigLength);
    track->decoderConfigLength = a.decoderConfigLength;
}

bool SameName(const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// A later track of a type the file already has takes the handle's pointer,
// and the earlier track can never be written: its blocks, tables and trak
// subtree are released here.
void ReleaseReplacedTrack(TrackNode *replaced) {
    if (replaced == nullptr) return;
    FreeAtomNode(replaced->trakAtom);
    FreeTrackBlocks(replaced);
}

// The replaced track's temporary stream is closed.  Its file, which this
// library created, would never be read: it is removed, unless the new track
// or the other media track was given the same name (the file is theirs now).
// A file the library could not create is not touched.
void ReleaseReplacedTempFile(FILE **stream, const char *name, const char *newName,
                             const char *otherName) {
    if (*stream == nullptr) return;
    std::fclose(*stream);
    *stream = nullptr;
    if (name != nullptr && !SameName(name, newName) && !SameName(name, otherName))
        RemoveRegularFile(name);
}

FILE *OpenTempFile(const char *name, char *buffer) {
    FILE *file = name != nullptr ? OpenFileForWriting(name) : nullptr;
    if (file != nullptr) std::setvbuf(file, buffer, _IOFBF, kTempBufferBytes);
    return file;
}

// Hangs the track on the handle.  The handle's running totals of the type
// (videoSampleTotal, videoBytes, videoBlockSample, ...) are the host's to
// see and are not reset when a track is replaced: the new track's frames are
// entered from where they stand.
void AttachTrack(MP4_local_file *file, TrackNode *track, const TrackArguments &a) {
    switch (a.trackType) {
        case kVideoTrack:
            if (file->VideoTrackNode != nullptr) {
                ReleaseReplacedTrack(file->VideoTrackNode);
                ReleaseReplacedTempFile(&file->videoTempFile, file->videoTempName, a.tempFileName,
                                        file->audioTempName);
            }
            file->VideoTrackNode = track;
            StoreCodecParameters(track, a);
            track->videoTrackRef = track->trackId;
            track->profileLevel = a.profileLevel;
            file->videoTempName = a.tempFileName;
            file->videoTempFile = OpenTempFile(a.tempFileName, TempBuffer(file, true));
            break;
        case kAudioTrack:
            if (file->AudioTrackNode != nullptr) {
                ReleaseReplacedTrack(file->AudioTrackNode);
                ReleaseReplacedTempFile(&file->audioTempFile, file->audioTempName, a.tempFileName,
                                        file->videoTempName);
            }
            file->AudioTrackNode = track;
            StoreCodecParameters(track, a);
            track->audioProfile = a.audioProfile;
            track->channelConfig = a.channelConfig;
            track->samplingFrequency = a.samplingFrequency;
            track->audioTrackRef = track->trackId;
            file->audioTempName = a.tempFileName;
            file->audioTempFile = OpenTempFile(a.tempFileName, TempBuffer(file, false));
            break;
        case kObjectDescriptorTrack:
            EnterSystemsSample(file, track);
            ReleaseReplacedTrack(file->odTrackNode);
            file->odTrackNode = track;
            break;
        default:
            EnterSystemsSample(file, track);
            ReleaseReplacedTrack(file->sceneTrackNode);
            file->sceneTrackNode = track;
            break;
    }
}

// Steps that can fail once the block exists: tables, trak subtree, records.
// On failure the block is released with everything built for it.
int32_t BuildTrack(TrackNode *track, uint32_t codec) {
    const uint32_t capacity = track->trackType <= kAudioTrack ? kMediaBlockCapacity
                                                              : kSystemsBlockCapacity;
    TrackNode *block = track;
    const char *failure = nullptr;
    AtomNode *trak = nullptr;
    if (AddSampleTable(&block, capacity) != 1) {
        failure = "Can't create Sample and KeyFrame table in CreateTrack(...) \n";
    } else if (BuildTrackSubtree(&trak, track->trackType, codec) != 1) {
        failure = "Can't create atom HierarchySubTree in CreateTrack(...) \n";
    } else {
        ValidateAtomHierarchy(trak);
        AtomTypeInfo info{};
        if (AllocSubtreeRecords(trak) != 1) {
            failure = "Can't allocate atom subtree's realstructure in CreateTrack(...) \n";
        } else if (GetAtomTypeInfo(trak, &info) != 1 ||
                   AllocAtomRecord(info.recordSize, trak->type, &trak->realStructure) != 1) {
            failure = "atom[trak] allocate error\n";
        }
    }
    if (failure == nullptr) {
        track->trakAtom = trak;
        return 1;
    }
    DebugOutput(failure);
    FreeAtomNode(trak);
    FreeTrackBlocks(track);
    return -99;
}

}  // namespace

// Adds a track built from the template of its type and codec.  A track of a
// type the file already has replaces the earlier one (see AttachTrack).  The
// refusals of RefusalReason come before anything is allocated: -99, no id
// used, handle unchanged.  A null temporary-file name is handled as a file
// that could not be opened.
extern "C" CORVANE_API int32_t CORVANE_CALL CreateTrack(
    MP4_local_file *handle, uint32_t trackType, uint16_t width, uint16_t height,
    uint16_t timeIncrementResolution, uint32_t timescale, uint32_t profileLevel,
    uint32_t audioProfile, uint32_t channelConfig, uint32_t samplingFrequency,
    uint32_t decoderConfigLength, const uint8_t *decoderConfig, const char *tempFileName,
    uint32_t codec) {
    if (trackType != kVideoTrack && trackType != kAudioTrack &&
        trackType != kObjectDescriptorTrack && trackType != kSceneTrack) {
        std::printf("unsupport track type\n");
        return -99;
    }
    if (handle == nullptr) {
        DebugOutput("the input parameter for MP4_local_file is empty\n");
        return -99;
    }
    const TrackArguments a{trackType,     width,           height,       timeIncrementResolution,
                           timescale,     profileLevel,    audioProfile, channelConfig,
                           samplingFrequency, decoderConfigLength, decoderConfig, tempFileName,
                           codec};
    if (const char *reason = RefusalReason(a)) {
        DebugOutput(reason);
        return -99;
    }
    auto *track = static_cast<TrackNode *>(AllocZeroed(sizeof(TrackNode)));
    if (track == nullptr) {
        DebugOutput("Can't allocate memory for TrackNode in CreateTrack(...) \n");
        return -99;
    }
    track->trackId = handle->nextTrackId++;
    track->trackType = trackType;
    track->width = width;
    track->height = height;
    track->timeIncrementResolution = timeIncrementResolution;
    track->timescale = timescale;
    if (BuildTrack(track, codec) != 1) return -99;
    AttachTrack(handle, track, a);
    return 1;
}
