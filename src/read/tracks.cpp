// Track discovery: finding a "trak" by the track_ID of its "tkhd", its media
// type from the "hdlr", the main values of video and audio tracks, and the
// allocation of a track's sample and key-frame arrays.
//
// All fields are read at their version 0 offsets through the bounds-checked
// record accessors, so a record shorter than expected reads as zeros.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "read/read.h"

namespace {

// tkhd: track_ID.  mdhd: timescale, duration.  hdlr: handler_type.
constexpr uint32_t kTkhdTrackId = 20;
constexpr uint32_t kMdhdTimescale = 20;
constexpr uint32_t kMdhdDuration = 24;
constexpr uint32_t kHdlrType = 16;
// Visual sample entry: width, height.  Audio sample entry: data_reference_index.
constexpr uint32_t kMp4vWidth = 32;
constexpr uint32_t kMp4vHeight = 34;
constexpr uint32_t kMp4aDataRef = 14;
// stsz: sample_size, sample_count.
constexpr uint32_t kStszSampleSize = 12;
constexpr uint32_t kStszSampleCount = 16;

bool IsType(const AtomNode *node, const char *type) {
    return node != nullptr && SameAtomType(node->type, type);
}

// Walks a path of types below `from`; prints the level that is missing.
AtomNode *WalkPath(const AtomNode *from, std::initializer_list<const char *> path) {
    const char *missing = nullptr;
    AtomNode *found = FindAtomPath(from, path, &missing);
    if (found == nullptr) std::printf("Can't find [%s] atom\n", missing ? missing : "");
    return found;
}

bool CheckTrak(const AtomNode *trak) {
    if (IsType(trak, "trak")) return true;
    std::printf("This atom not a track atom\n");
    return false;
}

struct Handler {
    char code[5];
    int32_t mediaType;
};
constexpr Handler kHandlers[] = {{"vide", kMediaVideo},
                                 {"soun", kMediaAudio},
                                 {"hint", kMediaHint},
                                 {"odsm", kMediaOd},
                                 {"sdsm", kMediaScene}};

// The "stsz" among the children of the "stbl" that holds the sample entry.
const realStructure *FindStsz(const AtomNode *trak) {
    const AtomNode *stbl = FindAtomPath(trak, {"mdia", "minf", "stbl"});
    const AtomNode *stsz = FindChildAtom(stbl, "stsz");
    if (stsz == nullptr) {
        std::printf("Can't find [%s] atom\n", "stsz");
        return nullptr;
    }
    return stsz->realStructure;
}

// Records the track's media timescale and duration.
template <typename Info>
bool ReadMediaHeader(const AtomNode *trak, Info *info) {
    const AtomNode *mdhd = WalkPath(trak, {"mdia", "mdhd"});
    if (mdhd == nullptr) return false;
    info->timescale = RecordU32(mdhd->realStructure, kMdhdTimescale);
    info->duration = RecordU32(mdhd->realStructure, kMdhdDuration);
    return true;
}

}  // namespace

// Searches the children of the first "moov" for the "trak" whose "tkhd"
// carries `id`.  A "trak" without "tkhd" ends the search.
int32_t FindTrackById(Root_atom *root, int32_t id, AtomNode **trak) {
    if (root == nullptr || root->firstAtom == nullptr) {
        std::printf("This root atom is empty\n");
        return -99;
    }
    const AtomNode *moov = FindTopLevelAtom(root, "moov");
    if (moov == nullptr) {
        std::printf("Can't find moov atom\n");
        return -99;
    }
    for (AtomNode *child = moov->firstChild; child != nullptr; child = child->next) {
        if (IsType(child, "trak")) {
            const AtomNode *tkhd = FindChildAtom(child, "tkhd");
            if (tkhd == nullptr) {
                std::printf("Can't find tkhd atom\n");
                return -99;
            }
            if (RecordU32(tkhd->realStructure, kTkhdTrackId) == uint32_t(id)) {
                if (trak != nullptr) *trak = child;
                std::printf("got track [%d]\n", id);
                return 1;
            }
        } else if (child->next == nullptr) {
            std::printf("Can't find such track [%d] atom\n", id);
            return -99;
        }
    }
    std::printf("Can't find such track[%d] atom\n", id);
    return -99;
}

int32_t GetTrackMediaType(AtomNode *trak, int32_t *mediaType) {
    if (!CheckTrak(trak)) return -99;
    const AtomNode *hdlr = WalkPath(trak, {"mdia", "hdlr"});
    if (hdlr == nullptr) return -99;
    char code[5] = {};
    if (const uint8_t *bytes = RecordBytes(hdlr->realStructure, kHdlrType, 4))
        std::memcpy(code, bytes, 4);
    for (const Handler &h : kHandlers)
        if (std::memcmp(code, h.code, 4) == 0) {
            if (mediaType != nullptr) *mediaType = h.mediaType;
            return 1;
        }
    std::printf("Unknown media type [%s]\n", code);
    if (mediaType != nullptr) *mediaType = kMediaUnknown;
    return -99;
}

int32_t GetVideoTrackInfo(AtomNode *trak, VideoInfo *info) {
    if (!CheckTrak(trak) || info == nullptr) return -99;
    if (!ReadMediaHeader(trak, info)) return -99;
    const AtomNode *entry = WalkPath(trak, {"mdia", "minf", "stbl", "stsd", "mp4v"});
    if (entry == nullptr) return -99;
    info->height = RecordU16(entry->realStructure, kMp4vHeight);
    info->width = RecordU16(entry->realStructure, kMp4vWidth);
    const realStructure *stsz = FindStsz(trak);
    if (stsz == nullptr) return -99;
    info->sampleCount = RecordU32(stsz, kStszSampleCount);
    return 1;
}

int32_t GetAudioTrackInfo(AtomNode *trak, AudioInfo *info) {
    if (!CheckTrak(trak) || info == nullptr) return -99;
    if (!ReadMediaHeader(trak, info)) return -99;
    const AtomNode *entry = WalkPath(trak, {"mdia", "minf", "stbl", "stsd", "mp4a"});
    if (entry == nullptr) return -99;
    info->dataReferenceIndex = RecordU16(entry->realStructure, kMp4aDataRef);
    const realStructure *stsz = FindStsz(trak);
    if (stsz == nullptr) return -99;
    info->sampleSize = RecordU32(stsz, kStszSampleSize);
    info->sampleCount = RecordU32(stsz, kStszSampleCount);
    return 1;
}

namespace {

// Arrays from this size on come from the system's pages.  A count a file
// claims but does not fill leaves most of them untouched.
constexpr uint64_t kPagedArrayBytes = uint64_t(1) << 20;

}  // namespace

void *AllocIndexArray(uint64_t count, size_t entryBytes) {
    const uint64_t bytes = count * entryBytes;
    if (count == 0 || !BlockFits(bytes)) return nullptr;
    if (bytes >= kPagedArrayBytes) return AllocZeroedPages(size_t(bytes));
    return std::calloc(size_t(count), entryBytes);
}

void FreeIndexArray(void *array, uint64_t count, size_t entryBytes) {
    if (count * entryBytes >= kPagedArrayBytes)
        FreeZeroedPages(array, size_t(count * entryBytes));
    else
        std::free(array);
}

// capacity is the count, as soon as the count is taken; a failed allocation
// leaves the record in its slot without arrays, so nothing released is used
// or released again.
int32_t AllocVideoIndex(ReadTrack **slot, int32_t count) {
    if (count < 1) return -97;
    if (slot == nullptr || *slot == nullptr) return -96;
    ReadTrack *track = *slot;
    track->capacity = uint32_t(count);
    track->samples = static_cast<SampleEntry *>(AllocIndexArray(uint32_t(count), sizeof(SampleEntry)));
    if (track->samples == nullptr) return -96;
    const uint32_t keys = uint32_t(count) / 2;
    if (keys > 0) {
        track->keyFrames = static_cast<KeyFrameEntry *>(AllocIndexArray(keys, sizeof(KeyFrameEntry)));
        if (track->keyFrames == nullptr) {
            FreeIndexArray(track->samples, track->capacity, sizeof(SampleEntry));
            track->samples = nullptr;
            return -95;
        }
        track->keyFrameSlots = keys;
    }
    return 1;
}

int32_t AllocAudioIndex(ReadTrack **slot, int32_t count) {
    if (count < 1) return -97;
    if (slot == nullptr || *slot == nullptr) return -96;
    ReadTrack *track = *slot;
    track->capacity = uint32_t(count);
    track->samples = static_cast<SampleEntry *>(AllocIndexArray(uint32_t(count), sizeof(SampleEntry)));
    if (track->samples == nullptr) return -96;
    return 1;
}

int32_t FreeTrackIndex(ReadTrack **slot) {
    if (slot == nullptr || *slot == nullptr) return 1;
    ReadTrack *track = *slot;
    *slot = nullptr;
    FreeComputedIndex(track->computed);
    std::free(track->keyRunningMax);
    FreeIndexArray(track->keyFrames, track->keyFrameSlots, sizeof(KeyFrameEntry));
    if (track->samples != nullptr) FreeIndexArray(track->samples, track->capacity, sizeof(SampleEntry));
    std::free(track);
    return 1;
}
