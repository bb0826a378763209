#include "support/mp4_config.h"

#include <algorithm>

#include "support/mp4_walk.h"

namespace {

// Bits of a byte string, most significant first; past the end, zeros and
// `over` set.
struct BitStream {
    const Bytes &bytes;
    size_t at;  // in bits
    bool over = false;
    uint32_t Take(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++at) {
            over = over || at / 8 >= bytes.size();
            value = value << 1 | (over ? 0u : (bytes[at / 8] >> (7 - at % 8)) & 1u);
        }
        return value;
    }
};

uint32_t Be(const Bytes &b, size_t at, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
    return v;
}

// A descriptor (ISO/IEC 14496-1): a tag, a size of one to four bytes of
// seven bits each (a set top bit: another byte follows), the payload.
struct Descriptor {
    bool ok = false;
    uint8_t tag = 0;
    size_t body = 0, end = 0;
};

Descriptor ReadDescriptor(const Bytes &b, size_t at, size_t end) {
    Descriptor d;
    if (at >= end) return d;
    d.tag = b[at++];
    size_t size = 0;
    for (int i = 0; i < 4 && at < end; ++i) {
        size = size << 7 | (b[at] & 0x7F);
        if ((b[at++] & 0x80) == 0) {
            d.body = at;
            d.end = at + size;
            d.ok = d.end <= end;
            break;
        }
    }
    return d;
}

void ReadLayer(const Bytes &b, size_t from, VisualConfig *v) {
    BitStream s{b, from * 8};
    s.Take(1 + 8);  // random_accessible_vol, video_object_type_indication
    const uint32_t verid = s.Take(1) ? s.Take(4 + 3) >> 3 : 1;
    if (s.Take(4) == 15) s.Take(16);  // pixel aspect ratio
    if (s.Take(1)) {  // vol_control_parameters: chroma_format, low_delay, vbv_parameters
        s.Take(3);
        if (s.Take(1)) s.Take(79);
    }
    const uint32_t shape = s.Take(2);
    if (shape == 3 && verid != 1) s.Take(4);
    s.Take(1);
    v->resolution = s.Take(16);
    s.Take(1);
    if (s.Take(1)) {  // fixed_vop_rate: an increment of the bits resolution - 1 needs, at least one
        int bits = 1;
        while (bits < 16 && (v->resolution - 1) >> bits != 0) ++bits;
        s.Take(bits);
    }
    if (shape != 0) return;
    s.Take(1);
    v->width = s.Take(13);
    s.Take(1);
    v->height = s.Take(13);
    v->layer = !s.over;
}

}  // namespace

uint32_t SamplingFrequency(uint32_t index) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    return index < 13 ? kRates[index] : 0;
}

EsDescriptor ParseEsds(const Bytes &box) {
    EsDescriptor e;
    if (box.size() < 12 || std::string(box.begin() + 4, box.begin() + 8) != "esds") return e;
    const size_t end = std::min<size_t>(box.size(), Be(box, 0, 4));
    const Descriptor es = ReadDescriptor(box, 12, end);
    if (!es.ok || es.tag != 3 || es.end < es.body + 3) return e;
    const uint8_t flags = box[es.body + 2];
    size_t at = es.body + 3 + (flags & 0x80 ? 2 : 0);    // dependsOn_ES_ID
    if (flags & 0x40) at += 1 + Be(box, at, 1);          // URL
    at += flags & 0x20 ? 2 : 0;                          // OCR_ES_Id
    const Descriptor config = ReadDescriptor(box, at, es.end);
    if (!config.ok || config.tag != 4 || config.end < config.body + 13) return e;
    e.found = true;
    e.objectTypeIndication = box[config.body];
    e.streamType = box[config.body + 1] >> 2;
    const Descriptor specific = ReadDescriptor(box, config.body + 13, config.end);
    if ((e.hasSpecificInfo = specific.ok && specific.tag == 5))
        e.specificInfo.assign(box.begin() + long(specific.body), box.begin() + long(specific.end));
    const Descriptor sl = ReadDescriptor(box, config.end, es.end);
    if (sl.ok && sl.tag == 6 && sl.end > sl.body) e.slPredefined = box[sl.body];
    return e;
}

AudioSpecific ParseAudioSpecificConfig(const Bytes &config) {
    AudioSpecific a;
    BitStream s{config, 0};
    a.objectType = s.Take(5);
    if (a.objectType == 31) a.objectType = 32 + s.Take(6);
    a.frequencyIndex = s.Take(4);
    if (a.frequencyIndex == 15) s.Take(24);
    a.channels = s.Take(4);
    a.valid = !s.over;
    return a;
}

VisualConfig ParseVisualConfig(const Bytes &b) {
    VisualConfig v;
    for (size_t i = 0; i + 4 <= b.size() && !v.layer; ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
        if (b[i + 3] == 0xB0 && !v.sequence && i + 4 < b.size()) {
            v.sequence = true;
            v.profileLevel = b[i + 4];
        } else if (b[i + 3] >= 0x20 && b[i + 3] <= 0x2F) {
            ReadLayer(b, i + 4, &v);
            break;
        }
    }
    return v;
}

TrackBoxes ReadTrackBoxes(const Bytes &file, int index) {
    TrackBoxes t;
    const std::string trak = "moov/trak#" + std::to_string(index), stbl = trak + "/mdia/minf/stbl";
    const BoxSpan tkhd = FindBox(file, trak + "/tkhd"), mdhd = FindBox(file, trak + "/mdia/mdhd"),
                  stsd = FindBox(file, stbl + "/stsd"), stsz = FindBox(file, stbl + "/stsz");
    if (!tkhd.found || !mdhd.found || !stsd.found || stsd.size < 24) return t;
    t.found = true;
    t.tkhdWidth = BigEndian32(file, tkhd.at + 84) >> 16;
    t.tkhdHeight = BigEndian32(file, tkhd.at + 88) >> 16;
    t.timescale = BigEndian32(file, mdhd.at + 20);
    // The first sample entry follows stsd's version, flags and entry_count.
    const size_t entry = stsd.at + 16;
    t.entry = std::string(file.begin() + long(entry + 4), file.begin() + long(entry + 8));
    const bool visual = t.entry == "mp4v";
    t.entryWidth = visual ? Be(file, entry + 32, 2) : 0;
    t.entryHeight = visual ? Be(file, entry + 34, 2) : 0;
    t.sampleRate = t.entry == "mp4a" ? Be(file, entry + 32, 2) : 0;
    const BoxSpan esds = FindBox(file, stbl + "/stsd/" + t.entry + "/esds");
    if (esds.found) t.esds.assign(file.begin() + long(esds.at), file.begin() + long(esds.at + esds.size));
    const uint32_t size = stsz.found ? BigEndian32(file, stsz.at + 12) : 0;
    for (uint32_t i = 0; stsz.found && i < BigEndian32(file, stsz.at + 16) && i < file.size(); ++i)
        t.sampleSizes.push_back(size != 0 ? size : BigEndian32(file, stsz.at + 20 + 4 * size_t(i)));
    return t;
}
