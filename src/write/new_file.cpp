// Starting a new file: the writer's handle with the top-level atoms, and the
// tracks with their blocks, trak subtrees and temporary files.
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
    auto *file = static_cast<MP4_local_file *>(AllocZeroed(sizeof(MP4_local_file)));
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

bool IsTableSamplingFrequency(uint32_t hz) {
    for (uint32_t rate : {96000u, 88200u, 64000u, 48000u, 44100u, 32000u, 24000u, 22050u, 16000u,
                          12000u, 11025u, 8000u, 7350u})
        if (rate == hz) return true;
    return false;
}

// Parameters the file could not carry faithfully.  A track holds at most 52
// configuration bytes (the esds record grows when an MPEG-4 video
// configuration needs more than its 80 bytes, so every configuration that is
// accepted here is written whole).  The built video object layer header
// has 13-bit width and height fields, so without a configuration a frame of
// 8192 or more is refused.  A timescale of 0 would make frame times
// meaningless (and the bit rates divide by it).  An AAC sampling frequency
// outside the thirteen indexed rates has no two-byte AudioSpecificConfig.
const char *RefusalReason(const MP4_local_file *file, const TrackArguments &a) {
    const bool media = a.trackType == kVideoTrack || a.trackType == kAudioTrack;
    if (media && (a.trackType == kVideoTrack ? file->VideoTrackNode : file->AudioTrackNode))
        return "The file already has a track of this type in CreateTrack(...) \n";
    if (a.trackType == kObjectDescriptorTrack && file->odTrackNode != nullptr)
        return "The file already has a track of this type in CreateTrack(...) \n";
    if (a.trackType == kSceneTrack && file->sceneTrackNode != nullptr)
        return "The file already has a track of this type in CreateTrack(...) \n";
    if (media && a.timescale == 0) return "A timescale of 0 is refused in CreateTrack(...) \n";
    if (a.decoderConfigLength > kDecoderConfigBytes ||
        (a.decoderConfigLength > 0 && a.decoderConfig == nullptr))
        return "The decoder configuration is too long in CreateTrack(...) \n";
    if (a.trackType == kVideoTrack && a.codec == 1) {
        if (a.decoderConfigLength == 0 && (a.width >= 8192 || a.height >= 8192))
            return "The frame size does not fit the video object layer in CreateTrack(...) \n";
        // The sample description is built around the configuration's start
        // code; one without it would leave moov unwritable at the flush.
        if (!IsWritableVisualConfig(a.decoderConfig, a.decoderConfigLength))
            return "The decoder configuration is not an MPEG-4 Visual header in CreateTrack(...) \n";
    }
    if (a.trackType == kAudioTrack && a.codec == 1 && a.audioProfile != 0 &&
        a.channelConfig != 0 && a.samplingFrequency != 0 &&
        !IsTableSamplingFrequency(a.samplingFrequency))
        return "The sampling frequency has no AAC index in CreateTrack(...) \n";
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

void AttachTrack(MP4_local_file *file, TrackNode *track, const TrackArguments &a) {
    switch (a.trackType) {
        case kVideoTrack:
            file->VideoTrackNode = track;
            StoreCodecParameters(track, a);
            track->videoTrackRef = track->trackId;
            track->profileLevel = a.profileLevel;
            file->videoTempName = a.tempFileName;
            file->videoTempFile = a.tempFileName ? OpenFileForWriting(a.tempFileName) : nullptr;
            break;
        case kAudioTrack:
            file->AudioTrackNode = track;
            StoreCodecParameters(track, a);
            track->audioProfile = a.audioProfile;
            track->channelConfig = a.channelConfig;
            track->samplingFrequency = a.samplingFrequency;
            track->audioTrackRef = track->trackId;
            file->audioTempName = a.tempFileName;
            file->audioTempFile = a.tempFileName ? OpenFileForWriting(a.tempFileName) : nullptr;
            break;
        case kObjectDescriptorTrack:
            EnterSystemsSample(file, track);
            file->odTrackNode = track;
            break;
        default:
            EnterSystemsSample(file, track);
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

// Adds a track built from the template of its type and codec.  Refused up
// front with -99 (no id used, handle unchanged), each with its own debugger
// message: a second track of a type the file already has (the handle keeps
// one of each); a video or audio track with timescale 0; a decoder
// configuration of more than 52 bytes; an MPEG-4 video track without configuration whose
// width or height is 8192 or more; an MPEG-4 video configuration that begins
// with neither a visual object sequence nor a video object start code; an AAC track whose explicit parameters
// name a sampling frequency without index.  A null temporary-file name is
// handled as a file that could not be opened.
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
    if (const char *reason = RefusalReason(handle, a)) {
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
