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
    uint32_t sampleSize = 0;                    // stsz sample_size
    uint32_t sampleCount = 0;                   // stsz sample_count
    std::vector<uint32_t> sizes;                // stsz table (used when sampleSize is 0)
    std::vector<uint32_t> chunks;               // stco, relative to mdat's payload when
    bool relativeOffsets = true;                //   relativeOffsets, else absolute
    bool hasStss = true;
    std::vector<uint32_t> stss;                 // sync sample numbers, from 1
    bool hasTkhd = true;
    std::vector<std::string> omit;              // stbl children left out
    Bytes extraStbl;                            // appended to stbl
};

inline Bytes Table32(const std::vector<uint32_t> &words) {
    Bytes out = U32(uint32_t(words.size()));
    for (uint32_t w : words) {
        Bytes b = U32(w);
        out.insert(out.end(), b.begin(), b.end());
    }
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

inline bool Omitted(const TrackSpec &t, const std::string &type) {
    for (const std::string &o : t.omit)
        if (o == type) return true;
    return false;
}

inline Bytes StblBox(const TrackSpec &t, uint32_t base) {
    Bytes stts = U32(uint32_t(t.stts.size()));
    for (auto &e : t.stts) stts = Cat({stts, U32(e[0]), U32(e[1])});
    Bytes stsc = U32(uint32_t(t.stsc.size()));
    for (auto &e : t.stsc) stsc = Cat({stsc, U32(e[0]), U32(e[1]), U32(1)});
    Bytes stsz = Cat({U32(t.sampleSize), U32(t.sampleCount)});
    if (t.sampleSize == 0)
        for (uint32_t s : t.sizes) stsz = Cat({stsz, U32(s)});
    std::vector<uint32_t> offsets = t.chunks;
    if (t.relativeOffsets)
        for (uint32_t &o : offsets) o += base;
    Bytes out = FullBox("stsd", 0, Cat({U32(t.entry.empty() ? 0 : 1), SampleEntryBox(t)}));
    const std::pair<const char *, Bytes> parts[] = {
        {"stts", FullBox("stts", 0, stts)},  {"stss", FullBox("stss", 0, Table32(t.stss))},
        {"stsc", FullBox("stsc", 0, stsc)},  {"stsz", FullBox("stsz", 0, stsz)},
        {"stco", FullBox("stco", 0, Table32(offsets))}};
    for (const auto &p : parts) {
        if (Omitted(t, p.first) || (std::string(p.first) == "stss" && !t.hasStss)) continue;
        out = Cat({out, p.second});
    }
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
    const Bytes minf = Box("minf", {mhd, dinf, StblBox(t, base)});
    const Bytes mdia = Box("mdia", {mdhd, hdlr, minf});
    return t.hasTkhd ? Box("trak", {tkhd, mdia}) : Box("trak", {mdia});
}

inline Bytes FtypBox() { return Box("ftyp", {Str("isom"), U32(0x200), Str("isommp41")}); }

inline Bytes MoovBox(const std::vector<TrackSpec> &tracks, uint32_t base, const Bytes &tail = {}) {
    const Bytes mvhd = FullBox("mvhd", 0, Cat({U32(0), U32(0), U32(1000), U32(0), U32(0x00010000),
                                               U16(0x0100), Zeros(10 + 36 + 24), U32(9)}));
    const Bytes iods = FullBox("iods", 0, Cat({Bytes{0x10, 0x07, 0x00, 0x4F}, Bytes(5, 0xFF)}));
    Bytes body = Cat({mvhd, iods});
    for (const TrackSpec &t : tracks) body = Cat({body, TrakBox(t, base)});
    return Box("moov", Cat({body, tail}));
}

// ftyp + moov + mdat(payload); relative chunk offsets are made absolute.
inline Bytes TinyMp4(const std::vector<TrackSpec> &tracks, const Bytes &payload,
                     const Bytes &moovTail = {}) {
    const Bytes ftyp = FtypBox();
    const uint32_t base = uint32_t(ftyp.size() + MoovBox(tracks, 0, moovTail).size() + 8);
    return Cat({ftyp, MoovBox(tracks, base, moovTail), Box("mdat", payload)});
}

#endif
