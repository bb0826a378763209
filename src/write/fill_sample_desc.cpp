// Filling the sample descriptions: stsd with its one sample entry (mp4v,
// s263, mp4a, samr or mp4s) and the entry's decoder configuration atom
// (esds, d263 or damr), from the codec parameters the track was created with.
#include <cstdio>
#include <cstring>

#include "write/write.h"

namespace {

bool Is(const AtomNode *atom, const char *type) { return SameAtomType(atom->type, type); }

// ------------------------------------------------ esds

uint8_t LowByte(uint32_t value) { return uint8_t(value & 0xFF); }

// The two start codes a configuration may begin with: a visual object
// sequence, or the video object with id 0.
constexpr uint8_t kSequence[4] = {0, 0, 1, 0xB0};
constexpr uint8_t kObject[4] = {0, 0, 1, 0x00};

// The decoder specific information of an MPEG-4 Visual track: the given
// configuration (with the track's profile_and_level_indication), the visual
// object headers put before a bare video object header, or headers built from
// the track's parameters.  Returns its length (at most 62: a track holds at
// most 52 configuration bytes), 0 when the configuration is not supported.
uint32_t VisualDecoderInfo(const TrackNode *track, uint8_t *out) {
    const uint8_t level = LowByte(track->profileLevel);
    const uint8_t prefix[10] = {0, 0, 1, 0xB0, level, 0, 0, 1, 0xB5, 0x09};
    const uint32_t length = track->decoderConfigLength;
    const uint8_t *config = track->decoderConfig;
    if (length > kDecoderConfigBytes) return 0;
    if (length == 0) {
        std::memcpy(out, prefix, 10);
        static constexpr uint8_t kObjectAndLayer[10] = {0, 0, 1, 0x00, 0, 0, 1, 0x20, 0x01, 0x88};
        std::memcpy(out + 10, kObjectAndLayer, 10);
        // 0, 1, vop_time_increment_resolution (16), 1, 0, 1, width (13), 1,
        // height (13): 48 bits.
        const uint64_t bits = (uint64_t(1) << 46) | (uint64_t(track->timeIncrementResolution) << 30) |
                              (uint64_t(5) << 27) | (uint64_t(track->width & 0x1FFF) << 14) |
                              (uint64_t(1) << 13) | uint64_t(track->height & 0x1FFF);
        for (int i = 0; i < 6; ++i) out[20 + i] = uint8_t(bits >> (40 - 8 * i));
        out[26] = 0xA3;
        out[27] = 0x1F;
        return 28;
    }
    if (length >= 4 && std::memcmp(config, kSequence, 4) == 0) {
        std::memcpy(out, config, length);
        if (length > 4) out[4] = level;
        return length;
    }
    if (length >= 4 && std::memcmp(config, kObject, 4) == 0) {
        std::memcpy(out, prefix, 10);
        std::memcpy(out + 10, config, length);
        return length + 10;
    }
    return 0;
}

}  // namespace

bool IsWritableVisualConfig(const uint8_t *config, uint32_t length) {
    if (length == 0) return true;
    if (config == nullptr || length < 4 || length > kDecoderConfigBytes) return false;
    return std::memcmp(config, kSequence, 4) == 0 || std::memcmp(config, kObject, 4) == 0;
}

namespace {

// Makes room for an esds larger than the 80 bytes the catalogue gives it
// (a video configuration of more than 34 bytes, as encoders that put a
// group-of-VOP header or user data before the first VOP produce).  The image
// keeps its bytes; the writer writes the atom's size worth of it.
bool GrowRecordImage(realStructure *record, uint32_t bytes) {
    if (record == nullptr || record->image == nullptr) return false;
    if (record->imageSize >= bytes) return true;
    auto *image = static_cast<uint8_t *>(AllocZeroed(bytes));
    if (image == nullptr) return false;
    std::memcpy(image, record->image, record->imageSize);
    FreeIfSet(record->image);
    record->image = image;
    record->imageSize = bytes;
    return true;
}

int32_t FillVideoEsds(AtomNode *atom, const TrackNode *track) {
    uint8_t info[kDecoderConfigBytes + 10] = {};
    const uint32_t d = VisualDecoderInfo(track, info);
    if (d == 0) return -1;
    if (!GrowRecordImage(atom->realStructure, d + 46)) {
        std::printf("Can't allocate the record of [esds] atom\n");
        return -99;
    }
    uint8_t image[76];
    static constexpr uint8_t kBufferSize[3] = {0x00, 0x28, 0xFE};
    BuildDefaultVisualEsds(image, kBufferSize);
    realStructure *r = atom->realStructure;
    StoreBytes(r, 8, image + 8, 68);
    const uint8_t es[] = {0x03, 0x80, 0x80, 0x80, uint8_t(d + 29), 0x00, 0x01, 0x00,
                          0x04, 0x80, 0x80, 0x80, uint8_t(d + 18), 0x20, 0x11,
                          0x00, 0x28, 0xFE};
    StoreBytes(r, 12, es, sizeof es);
    StoreU32(r, 30, track->maxBitrate);
    StoreU32(r, 34, track->avgBitrate);
    const uint8_t specific[] = {0x05, 0x80, 0x80, 0x80, uint8_t(d)};
    StoreBytes(r, 38, specific, sizeof specific);
    StoreBytes(r, 43, info, d);
    static constexpr uint8_t kSl[3] = {0x06, 0x01, 0x02};
    StoreBytes(r, 43 + d, kSl, 3);
    return StoreAtomSize(atom, d + 46);
}

constexpr uint32_t kSamplingRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};

// The samplingFrequencyIndex of a rate.  Left to this implementation: a
// rate outside the thirteen of the table (the two bytes have no room for an
// explicit one) takes the index of the nearest rate, so that a decoder runs
// the stream at the closest speed it knows (44000 Hz plays as 44100 Hz); a
// rate halfway between two takes the higher one.
uint32_t SamplingFrequencyIndex(uint32_t hz) {
    uint32_t best = 0;
    uint32_t bestDistance = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < 13; ++i) {
        const uint32_t distance = hz > kSamplingRates[i] ? hz - kSamplingRates[i] : kSamplingRates[i] - hz;
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// The two-byte AudioSpecificConfig: from the explicit parameters, else from
// an ADTS header held as configuration, else the configuration's first two
// bytes.
uint16_t AudioSpecificConfig(const TrackNode *track) {
    const uint8_t *c = track->decoderConfig;
    if (track->audioProfile != 0 && track->channelConfig != 0 && track->samplingFrequency != 0)
        return uint16_t(((track->audioProfile + 1) << 11) |
                        (SamplingFrequencyIndex(track->samplingFrequency) << 7) |
                        (track->channelConfig << 3));
    if (c[2] != 0) return AudioSpecificConfigOfAdts(c);
    return uint16_t((c[0] << 8) | c[1]);
}

int32_t FillAudioEsds(AtomNode *atom, const TrackNode *track) {
    const bool bare = track->audioProfile == 0 && track->channelConfig == 0 &&
                      track->samplingFrequency == 0 && track->decoderConfig[0] == 0 &&
                      track->decoderConfigLength == 0;
    realStructure *r = atom->realStructure;
    const uint8_t es[] = {0x03, 0x80, 0x80, 0x80, uint8_t(bare ? 0x18 : 0x1F), 0x00, 0x02, 0x00,
                          0x04, 0x80, 0x80, 0x80, uint8_t(bare ? 0x0D : 0x14),
                          uint8_t(bare ? 0x6B : 0x40), 0x15, 0x00, 0x00, 0xF4};
    StoreBytes(r, 12, es, sizeof es);
    StoreU32(r, 30, track->maxBitrate);
    StoreU32(r, 34, track->avgBitrate);
    static constexpr uint8_t kSl[3] = {0x06, 0x01, 0x02};
    if (bare) {
        StoreBytes(r, 38, kSl, 3);
        return StoreAtomSize(atom, 41);
    }
    const uint8_t specific[] = {0x05, 0x80, 0x80, 0x80, 0x02};
    StoreBytes(r, 38, specific, sizeof specific);
    StoreU16(r, 43, AudioSpecificConfig(track));
    StoreBytes(r, 45, kSl, 3);
    return StoreAtomSize(atom, 48);
}

// The object-descriptor and scene streams have fixed descriptors.
constexpr uint8_t kObjectDescriptorEsds[35] = {
    0x00, 0x00, 0x00, 0x23, 'e',  's',  'd',  's',  0x00, 0x00, 0x00, 0x00,
    0x03, 0x15, 0x00, 0x03, 0x00, 0x04, 0x0D, 0x01, 0x05, 0x00, 0x0C, 0x2F,
    0x00, 0x00, 0x61, 0x78, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02};
constexpr uint8_t kSceneEsds[40] = {
    0x00, 0x00, 0x00, 0x28, 'e',  's',  'd',  's',  0x00, 0x00, 0x00, 0x00, 0x03, 0x1A,
    0x00, 0x04, 0x00, 0x04, 0x12, 0x02, 0x0D, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x40,
    0x00, 0x00, 0x01, 0x40, 0x05, 0x03, 0x00, 0x00, 0x40, 0x06, 0x01, 0x02};

int32_t FillFixedEsds(AtomNode *atom, const uint8_t *bytes, uint32_t size) {
    StoreBytes(atom->realStructure, 8, bytes + 8, size - 8);
    return StoreAtomSize(atom, size);
}

int32_t FillEsds(AtomNode *atom, const TrackNode *track) {
    switch (track->trackType) {
        case kVideoTrack: return FillVideoEsds(atom, track);
        case kAudioTrack: return FillAudioEsds(atom, track);
        case kObjectDescriptorTrack:
            return FillFixedEsds(atom, kObjectDescriptorEsds, sizeof kObjectDescriptorEsds);
        case kSceneTrack: return FillFixedEsds(atom, kSceneEsds, sizeof kSceneEsds);
        default:
            std::printf("unsupport track type while writing esds atom\n");
            return -99;
    }
}

// ------------------------------------------------ 3GPP configuration

int32_t FillD263(AtomNode *atom) {
    realStructure *r = atom->realStructure;
    StoreBytes(r, 8, "HNTR", 4);
    StoreU8(r, 12, 0);
    StoreU8(r, 13, 10);
    StoreU8(r, 14, 0);
    return StoreAtomSize(atom, 15);
}

// mode_set from the header byte of an AMR frame: 8k + 4 names mode k.
uint8_t AmrModeBits(uint8_t header) {
    if ((header & 0x07) == 0x04 && header <= 0x3C) return uint8_t(1u << (header >> 3));
    return 0xFF;
}

int32_t FillDamr(AtomNode *atom, const TrackNode *track) {
    realStructure *r = atom->realStructure;
    StoreBytes(r, 8, "PHLP", 4);
    StoreU8(r, 12, 0);
    StoreU8(r, 13, 0x81);
    StoreU8(r, 14, AmrModeBits(track->decoderConfig[0]));
    StoreU8(r, 15, 0);
    StoreU8(r, 16, 1);
    return StoreAtomSize(atom, 17);
}

// ------------------------------------------------ sample entries

struct EntryRule {
    const char *entry;
    const char *child;
    const char *message;
    uint32_t headerBytes;
};

constexpr EntryRule kEntryRules[] = {
    {"mp4v", "esds", "the mp4v atom does not contain esds child atom\n", 86},
    {"s263", "d263", "the s263 atom does not contain d263 child atom\n", 86},
    {"mp4a", "esds", "the mp4a atom does not contain esds child atom\n", 36},
    {"samr", "damr", "the samr atom does not contain damr child atom\n", 36},
    {"mp4s", "esds", "the mp4s atom does not contain esds child atom\n", 16},
};

const EntryRule *FindEntryRule(const AtomNode *atom) {
    for (const EntryRule &rule : kEntryRules)
        if (Is(atom, rule.entry)) return &rule;
    return nullptr;
}

void StoreEntryFields(AtomNode *atom, const TrackNode *track) {
    realStructure *r = atom->realStructure;
    StoreU16(r, 14, 1);  // data_reference_index
    if (Is(atom, "mp4v") || Is(atom, "s263")) {
        StoreU16(r, 32, track->width);
        StoreU16(r, 34, track->height);
        StoreU32(r, 36, 0x00480000);
        StoreU32(r, 40, 0x00480000);
        StoreU16(r, 48, 1);
        StoreU16(r, 82, 0x0018);
        StoreU16(r, 84, 0xFFFF);
    } else if (Is(atom, "mp4a") || Is(atom, "samr")) {
        StoreU16(r, 24, 2);
        StoreU16(r, 26, 16);
        StoreU32(r, 32, (track->timescale & 0xFFFF) << 16);
    }
}

int32_t FillSampleEntry(AtomNode *atom, TrackNode *track, const EntryRule &rule) {
    AtomNode *child = atom->firstChild;
    if (child == nullptr || !Is(child, rule.child)) {
        std::printf("%s", rule.message);
        return -99;
    }
    const int32_t childSize = FillAtomRecord(child, track);
    if (childSize < 1) return -99;
    StoreEntryFields(atom, track);
    return StoreAtomSize(atom, rule.headerBytes + uint32_t(childSize));
}

int32_t FillStsd(AtomNode *atom, TrackNode *track) {
    AtomNode *entry = atom->firstChild;
    if (entry == nullptr || FindEntryRule(entry) == nullptr) {
        std::printf("the Stsd atom does not contain mp4v or mp4a or mp4s child atom\n");
        return -99;
    }
    const int32_t entrySize = FillAtomRecord(entry, track);
    if (entrySize < 1) return -99;
    StoreU32(atom->realStructure, 12, 1);
    return StoreAtomSize(atom, 16 + uint32_t(entrySize));
}

}  // namespace

uint16_t AudioSpecificConfigOfAdts(const uint8_t *c) {
    const uint32_t objectType = (c[2] >> 6) + 1u;
    const uint32_t index = (c[2] >> 2) & 15u;
    const uint32_t channels = (c[2] & 1u) * 4u + (c[3] >> 6);
    return uint16_t((objectType << 11) | (index << 7) | (channels << 3));
}

int32_t BuildDefaultVisualEsds(uint8_t *buffer, const uint8_t *bufferSizeDB) {
    if (buffer == nullptr) return -1;
    static constexpr uint8_t kHead[27] = {0x00, 0x00, 0x00, 0x40, 0x65, 0x73, 0x64, 0x73, 0x00,
                                          0x00, 0x00, 0x00, 0x03, 0x80, 0x80, 0x80, 0x2F, 0x00,
                                          0x01, 0x00, 0x04, 0x80, 0x80, 0x80, 0x24, 0x20, 0x11};
    static constexpr uint8_t kTail[46] = {
        0x00, 0x08, 0x3C, 0x78, 0x00, 0x02, 0x4C, 0xBB, 0x05, 0x80, 0x80, 0x80,
        0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0x84, 0x40,
        0x07, 0xA8, 0x2C, 0x20, 0x90, 0xA3, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02, 0x00, 0x00};
    std::memcpy(buffer, kHead, sizeof kHead);
    if (bufferSizeDB != nullptr)
        std::memcpy(buffer + 27, bufferSizeDB, 3);
    else
        std::memset(buffer + 27, 0, 3);
    std::memcpy(buffer + 30, kTail, sizeof kTail);
    return 1;
}

int32_t FillSampleDescriptionRecord(AtomNode *atom, TrackNode *track) {
    if (atom == nullptr || track == nullptr || atom->realStructure == nullptr) return -99;
    if (Is(atom, "stsd")) return FillStsd(atom, track);
    if (const EntryRule *rule = FindEntryRule(atom)) return FillSampleEntry(atom, track, *rule);
    if (Is(atom, "esds")) return FillEsds(atom, track);
    if (Is(atom, "d263")) return FillD263(atom);
    if (Is(atom, "damr")) return FillDamr(atom, track);
    return -1;
}
