// Filling the movie-level atoms once the tracks are filled: the trak
// subtrees are linked under moov, ftyp/moov/mvhd/iods/mdat receive their
// fields and sizes, and with the resulting position of the media data the
// chunk offsets become file offsets.
#include <cstdio>

#include "write/write.h"

namespace {

bool Is(const AtomNode *atom, const char *type) { return SameAtomType(atom->type, type); }

// Appends `trak` after `after` in moov's child list.
AtomNode *LinkAfter(AtomNode *moov, AtomNode *after, AtomNode *trak) {
    if (trak == nullptr) return after;
    AtomNode **slot = after != nullptr ? &after->next : &moov->firstChild;
    trak->next = *slot;
    *slot = trak;
    trak->parent = moov;
    return trak;
}

void LinkTracks(AtomNode *moov, MP4_local_file *file) {
    AtomNode *last = moov->firstChild;
    while (last != nullptr && last->next != nullptr) last = last->next;
    TrackNode *video = file->VideoTrackNode, *audio = file->AudioTrackNode;
    TrackNode *od = file->odTrackNode, *scene = file->sceneTrackNode;
    AtomNode *videoTrak = nullptr, *audioTrak = nullptr, *odTrak = nullptr;
    if (video != nullptr) last = videoTrak = LinkAfter(moov, last, video->trakAtom);
    if (audio != nullptr) last = audioTrak = LinkAfter(moov, last, audio->trakAtom);
    if (od != nullptr && (audioTrak != nullptr || videoTrak != nullptr))
        last = odTrak = LinkAfter(moov, last, od->trakAtom);
    if (scene != nullptr && odTrak != nullptr) LinkAfter(moov, last, scene->trakAtom);
}

int32_t FillFtyp(AtomNode *atom, const MP4_local_file *file) {
    realStructure *r = atom->realStructure;
    const bool iso = file->brandFlag == 1;
    StoreBytes(r, 8, iso ? "isom" : "3gp4", 4);
    StoreU32(r, 12, iso ? 0 : 512);
    StoreBytes(r, 16, iso ? "mp41" : "3gp4", 4);
    StoreAtomSize(atom, 20);
    return 20;
}

int32_t FillMvhd(AtomNode *atom, const MP4_local_file *file) {
    realStructure *r = atom->realStructure;
    StoreU32(r, 12, kFixedTimeStamp);
    StoreU32(r, 16, kFixedTimeStamp);
    StoreU32(r, 20, file->movieTimescale);
    StoreU32(r, 24, file->movieDuration);
    StoreU32(r, 28, 0x00010000);
    StoreU16(r, 32, 0x0100);
    StoreBytes(r, 44, kUnityMatrix, sizeof kUnityMatrix);
    StoreU32(r, 104, file->nextTrackId);
    return StoreAtomSize(atom, 108);
}

// The initial object descriptor names the object-descriptor and scene
// tracks by the ids they get when created after the media tracks.
int32_t FillIods(AtomNode *atom, const MP4_local_file *file) {
    const bool both = file->VideoTrackNode != nullptr && file->AudioTrackNode != nullptr;
    const uint8_t a = both ? 3 : 2, b = both ? 4 : 3;
    const uint8_t body[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x80, 0x80, 0x80, 0x19, 0x00, 0x4F,
                            0xFF, 0xFF, 0x0F, 0x01, 0xFF, 0x0E, 0x80, 0x80, 0x80, 0x04, 0x00,
                            0x00, 0x00, a,    0x0E, 0x80, 0x80, 0x80, 0x04, 0x00, 0x00, 0x00,
                            b};
    StoreBytes(atom->realStructure, 8, body, sizeof body);
    return StoreAtomSize(atom, 42);
}

int32_t FillMoov(AtomNode *atom, MP4_local_file *file) {
    uint32_t size = 8;
    for (AtomNode *child = atom->firstChild; child != nullptr; child = child->next) {
        const int32_t result = FillMovieAtomRecord(child, file);
        if (result < 1) {
            std::printf("there is error in [moov]'s child=>[%s]\n", child->type);
            return -99;
        }
        size += uint32_t(result);
    }
    return StoreAtomSize(atom, size);
}

bool IsMovieLevelType(const AtomNode *atom) {
    for (const char *type : {"ftyp", "moov", "mvhd", "iods", "mdat", "trak"})
        if (Is(atom, type)) return true;
    return false;
}

void SetMovieTime(AtomNode *mvhd, const MP4_local_file *file) {
    const TrackNode *timed = file->VideoTrackNode ? file->VideoTrackNode : file->AudioTrackNode;
    if (timed == nullptr) return;
    StoreU32(mvhd->realStructure, 20, timed->timescale);
    StoreU32(mvhd->realStructure, 24, timed->duration);
}

}  // namespace

int32_t FillMovieAtomRecord(AtomNode *atom, MP4_local_file *file) {
    if (atom == nullptr || file == nullptr) return -99;
    if (!IsMovieLevelType(atom)) return -1;
    if (atom->realStructure == nullptr) {
        std::printf("the [%s] atom doesn't have a realStructure\n", atom->type);
        return -99;
    }
    if (Is(atom, "ftyp")) return FillFtyp(atom, file);
    if (Is(atom, "moov")) return FillMoov(atom, file);
    if (Is(atom, "mvhd")) return FillMvhd(atom, file);
    if (Is(atom, "iods")) return FillIods(atom, file);
    if (Is(atom, "mdat")) {
        StoreAtomSize(atom, 8 + file->videoBytes + file->audioBytes);
        return 8;
    }
    return static_cast<int32_t>(RecordU32(atom->realStructure, 0));  // trak, filled before
}

int32_t FillMovieAtoms(Root_atom *root, MP4_local_file *file) {
    AtomNode *moov = FindTopLevelAtom(root, "moov");
    if (moov == nullptr || file == nullptr) {
        std::printf("Can't find [moov] atom from input Root_Atom!\n");
        return -99;
    }
    LinkTracks(moov, file);
    uint32_t dataStart = 0;
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next) {
        const int32_t result = FillMovieAtomRecord(atom, file);
        if (result < 0) {
            std::printf("There is error in [%s] atom\n", atom->type);
            return -99;
        }
        dataStart += uint32_t(result);
    }
    const TrackNode *video = file->VideoTrackNode, *audio = file->AudioTrackNode;
    const uint32_t v = video ? file->videoBytes : 0;
    const uint32_t a = audio ? file->audioBytes : 0;
    const TrackNode *od = file->odTrackNode;
    const uint32_t o = od && od->samples ? od->samples[0].size : 0;
    if (video) {
        ShiftChunkOffsets(video->trakAtom, dataStart);
        SetTrackDuration(video->trakAtom, video->duration);
    }
    if (audio) {
        ShiftChunkOffsets(audio->trakAtom, dataStart + v);
        SetTrackDuration(audio->trakAtom, audio->duration);
    }
    if (video || audio) {
        if (od) ShiftChunkOffsets(od->trakAtom, dataStart + v + a);
        if (file->sceneTrackNode) ShiftChunkOffsets(file->sceneTrackNode->trakAtom, dataStart + v + a + o);
    }
    AtomNode *mvhd = FindChildAtom(moov, "mvhd");
    if (mvhd == nullptr || mvhd->realStructure == nullptr) {
        std::printf("no [mvhd] atom in input [moov] atom's child!!\n");
        return -99;
    }
    SetMovieTime(mvhd, file);
    return 1;
}

int32_t ShiftChunkOffsets(AtomNode *trak, uint32_t delta) {
    if (trak == nullptr || !Is(trak, "trak")) {
        std::printf("This atom not a track atom\n");
        return -99;
    }
    const char *missing = nullptr;
    AtomNode *stco = FindAtomPath(trak, {"mdia", "minf", "stbl", "stco"}, &missing);
    if (stco == nullptr) {
        std::printf("Can't find [%s] atom\n", missing);
        return -99;
    }
    realStructure *r = stco->realStructure;
    const int32_t count = static_cast<int32_t>(RecordU32(r, 12));
    const uint32_t held = r != nullptr ? r->tableBytes / 4 : 0;
    for (int32_t i = 0; i < count && uint32_t(i) < held; ++i)
        StoreTableU32(r, uint32_t(i), TableU32(r, uint32_t(i)) + delta);
    return 1;
}

int32_t SetTrackDuration(AtomNode *trak, uint32_t duration) {
    if (trak == nullptr || !Is(trak, "trak")) {
        std::printf("This atom not a track atom\n");
        return -99;
    }
    AtomNode *tkhd = FindChildAtom(trak, "tkhd");
    if (tkhd == nullptr) {
        std::printf("no [tkhd] atom in input [trak] atom's child!!\n");
        return -99;
    }
    StoreU32(tkhd->realStructure, 28, duration);
    AtomNode *mdia = FindChildAtom(trak, "mdia");
    if (mdia == nullptr) {
        std::printf("no [mdia] atom in input [trak] atom's child!!\n");
        return -99;
    }
    AtomNode *mdhd = FindChildAtom(mdia, "mdhd");
    if (mdhd == nullptr) {
        std::printf("no [mdhd] atom in input [trak] atom's child!!\n");
        return -99;
    }
    StoreU32(mdhd->realStructure, 24, duration);
    return 1;
}
