// Small hand-built MP4 files for the reader's tests: ftyp, moov (mvhd, iods,
// one trak per TrackSpec) and mdat, with sample tables given entry by entry.
#ifndef CORVANE_TEST_TINY_MP4_H
#define CORVANE_TEST_TINY_MP4_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

struct TrackSpec {
    uint32_t id = 1;
    std::string handler = "vide";       // hdlr handler_type
    std::string entry = "mp4v";         // sample entry type, "" for none
    uint16_t width = 176, height = 144;
    uint32_t timescale = 1000, duration = 0;
    std::vector<std::array<uint32_t, 2>> stts;  // (sample_count, sample_delta)
    std::vector<std::array<uint32_t, 2>> stsc;  // (first_chunk, samples_per_chunk)
    uint32_t sampleSize = 0, sampleCount = 0;   // stsz
    std::vector<uint32_t> sizes;                // stsz table (used when sampleSize is 0)
    std::vector<uint32_t> chunks;               // stco, relative to mdat's payload when
    bool relativeOffsets = true;                //   relativeOffsets, else absolute
    bool hasStss = true;
    std::vector<uint32_t> stss;                 // sync sample numbers, from 1
    bool hasTkhd = true;
    std::string omit;                           // an stbl child left out
    Bytes extraStbl;                            // appended to stbl
};

// `samples` samples of 10 bytes, 100 units apart, in one chunk at the start
// of mdat; the first is a sync sample.
inline TrackSpec VideoTrack(uint32_t id, uint32_t samples) {
    TrackSpec t;
    t.id = id;
    t.stts = {{samples, 100}};
    t.stsc = {{1, samples}};
    t.sampleSize = 10;
    t.sampleCount = samples;
    t.chunks = {0};
    t.stss = {1};
    return t;
}

inline TrackSpec AudioTrack(uint32_t id, uint32_t samples) {
    TrackSpec t = VideoTrack(id, samples);
    t.handler = "soun";
    t.entry = "mp4a";
    t.timescale = 44100;
    t.hasStss = false;
    return t;
}

inline Bytes CountedTable(size_t count, const std::vector<uint32_t> &words) {
    Bytes out = U32(uint32_t(count));
    for (uint32_t w : words) out = Cat({out, U32(w)});
    return out;
}

inline Bytes SampleEntryBox(const TrackSpec &t) {
    if (t.entry.empty()) return {};
    const Bytes esds = FullBox("esds", 0, Zeros(20));
    if (t.entry == "mp4a")
        return Box(t.entry, {Zeros(6), U16(1), Zeros(8), U16(2), U16(16), Zeros(4),
                             U32(t.timescale << 16), esds});
    return Box(t.entry, {Zeros(6), U16(1), Zeros(16), U16(t.width), U16(t.height),
                         U32(0x00480000), U32(0x00480000), U32(0), U16(1), Zeros(32),
                         U16(0x18), U16(0xFFFF), esds});
}

inline Bytes StblBox(const TrackSpec &t, uint32_t base) {
    std::vector<uint32_t> stts, stsc, offsets = t.chunks;
    for (auto &e : t.stts) stts.insert(stts.end(), {e[0], e[1]});
    for (auto &e : t.stsc) stsc.insert(stsc.end(), {e[0], e[1], 1});
    if (t.relativeOffsets)
        for (uint32_t &o : offsets) o += base;
    const Bytes stsz = Cat({U32(t.sampleSize),
                            CountedTable(t.sampleCount, t.sampleSize ? std::vector<uint32_t>{} : t.sizes)});
    Bytes out = FullBox("stsd", 0, Cat({U32(t.entry.empty() ? 0 : 1), SampleEntryBox(t)}));
    const std::pair<std::string, Bytes> parts[] = {
        {"stts", CountedTable(t.stts.size(), stts)}, {"stss", CountedTable(t.stss.size(), t.stss)},
        {"stsc", CountedTable(t.stsc.size(), stsc)}, {"stsz", stsz},
        {"stco", CountedTable(offsets.size(), offsets)}};
    for (const auto &[type, body] : parts)
        if (type != t.omit && (type != "stss" || t.hasStss)) out = Cat({out, FullBox(type, 0, body)});
    return Box("stbl", Cat({out, t.extraStbl}));
}

inline Bytes TrakBox(const TrackSpec &t, uint32_t base) {
    const Bytes tkhd = FullBox("tkhd", 1, Cat({U32(0), U32(0), U32(t.id), U32(0), U32(t.duration),
                                               Zeros(52), U32(t.width << 16), U32(t.height << 16)}));
    const Bytes mdhd = FullBox("mdhd", 0, Cat({U32(0), U32(0), U32(t.timescale), U32(t.duration),
                                               U16(0x55C4), U16(0)}));
    const Bytes hdlr = FullBox("hdlr", 0, Cat({U32(0), Str(t.handler.substr(0, 4)), Zeros(12),
                                               Str("h"), Zeros(1)}));
    const Bytes mhd = t.handler == "soun" ? FullBox("smhd", 0, Zeros(4))
                                          : FullBox("vmhd", 1, Zeros(8));
    const Bytes dinf = Box("dinf", FullBox("dref", 0, Cat({U32(1), FullBox("url ", 1)})));
    const Bytes mdia = Box("mdia", {mdhd, hdlr, Box("minf", {mhd, dinf, StblBox(t, base)})});
    return t.hasTkhd ? Box("trak", {tkhd, mdia}) : Box("trak", {mdia});
}

inline Bytes FtypBox() { return Box("ftyp", {Str("isom"), U32(0x200), Str("isommp41")}); }

inline Bytes MoovBox(const std::vector<TrackSpec> &tracks, uint32_t base) {
    const Bytes mvhd = FullBox("mvhd", 0, Cat({U32(0), U32(0), U32(1000), U32(0), U32(0x00010000),
                                               U16(0x0100), Zeros(10 + 36 + 24), U32(9)}));
    const Bytes iods = FullBox("iods", 0, Cat({Bytes{0x10, 0x07, 0x00, 0x4F}, Bytes(5, 0xFF)}));
    Bytes body = Cat({mvhd, iods});
    for (const TrackSpec &t : tracks) body = Cat({body, TrakBox(t, base)});
    return Box("moov", body);
}

// ftyp + moov + mdat(payload); relative chunk offsets are made absolute.
inline Bytes TinyMp4(const std::vector<TrackSpec> &tracks, const Bytes &payload) {
    const Bytes ftyp = FtypBox();
    const uint32_t base = uint32_t(ftyp.size() + MoovBox(tracks, 0).size() + 8);
    return Cat({ftyp, MoovBox(tracks, base), Box("mdat", payload)});
}

#endif
