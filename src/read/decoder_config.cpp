// The decoder configuration of an open file's tracks, as held by the esds
// atom below the track's sample entry (trak/mdia/minf/stbl/stsd/mp4v|mp4a/esds):
// for MPEG-4 Visual the video object and video object layer headers, for AAC
// the whole esds with its AudioSpecificConfig.
//
// The esds payload record holds the atom's first 80 bytes (kEsdsRecordBytes);
// nothing here reads beyond what the record holds.
#include <cstdio>
#include <cstring>

#include "read/config.h"
#include "read/read.h"

namespace {

constexpr int32_t kFailed = -99;

// The esds record of the track in `trackId`'s slot, below the sample entry
// `entryType`.  -99 for a null handle (after "mp4 file uncreated\n"), an empty
// slot (silently), or a missing atom on the path (after "Can't find [%s]
// atom\n" with the type looked for).
int32_t FindTrackEsds(const MP4_read_file *handle, int32_t trackId, const char *entryType,
                      const realStructure **record) {
    if (handle == nullptr) {
        std::printf("mp4 file uncreated\n");
        return kFailed;
    }
    if (trackId < 0 || trackId >= MP4_READ_TRACK_SLOTS) return kFailed;
    const ReadTrack *track = handle->tracks[trackId];
    if (track == nullptr) return kFailed;
    const char *missing = "mdia";
    const AtomNode *esds =
        FindAtomPath(track->trak, {"mdia", "minf", "stbl", "stsd", entryType, "esds"}, &missing);
    if (esds == nullptr) {
        std::printf("Can't find [%s] atom\n", missing);
        return kFailed;
    }
    if (esds->realStructure == nullptr || esds->realStructure->image == nullptr) return kFailed;
    *record = esds->realStructure;
    return 1;
}

// Bytes of the record that may be read: its image, at most 80.
uint32_t RecordBytesHeld(const realStructure *record) {
    return record->imageSize < kEsdsRecordBytes ? record->imageSize : kEsdsRecordBytes;
}

bool IsVideoObjectStartCode(const uint8_t *p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] < 0x20;
}

}  // namespace

// The video object and video object layer headers of the video track's
// esds, from the first video object start code (00 00 01 0x) on; any visual
// object sequence and visual object headers before it are left out.  The
// start code is looked for at the atom's size - 12 positions from the version
// byte on, and only where its four bytes lie inside the 80-byte record: none
// found gives -99.  A header that would run past the record, or that
// ParseVolHeader does not handle, gives -1 (width and height may then already
// be stored).  `buffer` must hold the header; 200 bytes always do, as the
// record holds 80.  Null width, height or size pointers are skipped.
int32_t CORVANE_CALL GetM4vEsdsData(MP4_read_file *handle, uint8_t *buffer, uint32_t *width,
                                    uint32_t *height, uint32_t *headerSize) {
    if (buffer == nullptr) return 0;
    const realStructure *record = nullptr;
    const int32_t found =
        FindTrackEsds(handle, handle ? handle->videoTrackId : 0, "mp4v", &record);
    if (found != 1) return found;

    const int64_t positions = int64_t(RecordU32(record, 0)) - 12;
    if (positions < 1) return kFailed;
    const uint32_t held = RecordBytesHeld(record);
    for (uint32_t p = 8; p < 8 + positions; ++p) {
        const uint8_t *start = RecordBytes(record, p, 4);
        if (start == nullptr || p + 4 > held) return kFailed;
        if (!IsVideoObjectStartCode(start)) continue;
        uint32_t size = 0;
        if (ParseVolHeader(start, held - p, width, height, &size) < 0) return -1;
        std::memcpy(buffer, start, size);
        if (headerSize != nullptr) *headerSize = size;
        return 1;
    }
    return kFailed;
}

// The audio track's esds atom from its size field on.  `size` receives the
// atom's size as stored; the bytes copied are that many, but never more than
// the 80 the record holds (EsdsBytesHeld(size)), so `buffer` needs 80 bytes.
int32_t CORVANE_CALL GetM4aEsdsData(MP4_read_file *handle, uint8_t *buffer, uint32_t *size) {
    if (buffer == nullptr) return 0;
    const realStructure *record = nullptr;
    const int32_t found =
        FindTrackEsds(handle, handle ? handle->audioTrackId : 0, "mp4a", &record);
    if (found != 1) return found;
    const uint32_t atomSize = RecordU32(record, 0);
    uint32_t count = EsdsBytesHeld(atomSize);
    if (count > RecordBytesHeld(record)) count = RecordBytesHeld(record);
    std::memcpy(buffer, RecordBytes(record, 0, count), count);
    if (size != nullptr) *size = atomSize;
    return 1;
}

// The video track's esds from its version byte on: the atom's size - 8
// bytes, at most the 72 the record holds after the header.  `size` receives
// the number of bytes copied (0 for an atom of 8 bytes or less).
int32_t GetVideoEsdsBytes(MP4_read_file *handle, uint8_t *buffer, uint32_t *size) {
    if (buffer == nullptr) return 0;
    const realStructure *record = nullptr;
    const int32_t found =
        FindTrackEsds(handle, handle ? handle->videoTrackId : 0, "mp4v", &record);
    if (found != 1) return found;
    const uint32_t atomSize = RecordU32(record, 0);
    const uint32_t held = RecordBytesHeld(record);
    uint32_t count = atomSize > 8 ? atomSize - 8 : 0;
    if (count > (held > 8 ? held - 8 : 0)) count = held > 8 ? held - 8 : 0;
    if (count > 0) std::memcpy(buffer, RecordBytes(record, 8, count), count);
    *size = count;
    return 1;
}
