// A synthetic MP4 file of any length for the micro benchmarks: ftyp, moov
// (one MPEG-4 video track and one AAC track, each with n samples in chunks of
// five, a sync sample every 25th video sample) and mdat.  Built in one pass
// with sizes patched afterwards, so a million samples take a moment.
#ifndef CORVANE_BENCH_SYNTHETIC_MP4_H
#define CORVANE_BENCH_SYNTHETIC_MP4_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace synthetic {

class Writer {
public:
    void U8(uint8_t v) { bytes.push_back(v); }
    void U16(uint16_t v) { U8(uint8_t(v >> 8)), U8(uint8_t(v)); }
    void U32(uint32_t v) { U16(uint16_t(v >> 16)), U16(uint16_t(v)); }
    void Zeros(size_t n) { bytes.insert(bytes.end(), n, 0); }
    void Type(const char *t) { bytes.insert(bytes.end(), t, t + 4); }
    void Open(const char *type) {
        open.push_back(bytes.size());
        U32(0);
        Type(type);
    }
    void OpenFull(const char *type, uint32_t flags = 0) {
        Open(type);
        U32(flags);
    }
    void Close() {
        const size_t start = open.back();
        open.pop_back();
        const uint32_t size = uint32_t(bytes.size() - start);
        for (int i = 0; i < 4; ++i) bytes[start + i] = uint8_t(size >> (24 - 8 * i));
    }
    std::vector<uint8_t> bytes;
    std::vector<size_t> open;
};

constexpr uint32_t kPerChunk = 5;
constexpr uint32_t kVideoSize(uint32_t k) { return 20 + k % 23; }
constexpr uint32_t kAudioSize(uint32_t k) { return 8 + k % 7; }

struct Track {
    bool video;
    uint32_t id;
    uint32_t samples;
    uint32_t firstOffset;  // absolute offset of the track's first sample
};

inline void SampleEntry(Writer &w, bool video) {
    w.OpenFull("stsd");
    w.U32(1);
    w.Open(video ? "mp4v" : "mp4a");
    w.Zeros(6);
    w.U16(1);
    if (video) {
        w.Zeros(16);
        w.U16(176), w.U16(144);
        w.U32(0x00480000), w.U32(0x00480000), w.U32(0), w.U16(1);
        w.Zeros(32);
        w.U16(0x18), w.U16(0xFFFF);
    } else {
        w.Zeros(8);
        w.U16(1), w.U16(16), w.Zeros(4), w.U32(44100u << 16);
    }
    w.OpenFull("esds");
    w.Zeros(20);
    w.Close();
    w.Close();
    w.Close();
}

inline void SampleTables(Writer &w, const Track &t) {
    w.Open("stbl");
    SampleEntry(w, t.video);
    w.OpenFull("stts");
    w.U32(1), w.U32(t.samples), w.U32(t.video ? 40 : 1024);
    w.Close();
    if (t.video) {
        w.OpenFull("stss");
        const uint32_t keys = (t.samples + 24) / 25;
        w.U32(keys);
        for (uint32_t i = 0; i < keys; ++i) w.U32(1 + 25 * i);
        w.Close();
    }
    w.OpenFull("stsc");
    w.U32(1), w.U32(1), w.U32(kPerChunk), w.U32(1);
    w.Close();
    w.OpenFull("stsz");
    w.U32(0), w.U32(t.samples);
    for (uint32_t k = 0; k < t.samples; ++k) w.U32(t.video ? kVideoSize(k) : kAudioSize(k));
    w.Close();
    w.OpenFull("stco");
    const uint32_t chunks = (t.samples + kPerChunk - 1) / kPerChunk;
    w.U32(chunks);
    uint32_t offset = t.firstOffset;
    for (uint32_t k = 0; k < t.samples; ++k) {
        if (k % kPerChunk == 0) w.U32(offset);
        offset += t.video ? kVideoSize(k) : kAudioSize(k);
    }
    w.Close();
    w.Close();
}

inline void TrackBox(Writer &w, const Track &t) {
    w.Open("trak");
    w.OpenFull("tkhd", 1);
    w.U32(0), w.U32(0), w.U32(t.id), w.U32(0), w.U32(0);
    w.Zeros(52);
    w.U32(176u << 16), w.U32(144u << 16);
    w.Close();
    w.Open("mdia");
    w.OpenFull("mdhd");
    w.U32(0), w.U32(0), w.U32(t.video ? 1000 : 44100), w.U32(t.samples * (t.video ? 40 : 1024));
    w.U16(0x55C4), w.U16(0);
    w.Close();
    w.OpenFull("hdlr");
    w.U32(0), w.Type(t.video ? "vide" : "soun"), w.Zeros(12), w.U8('h'), w.U8(0);
    w.Close();
    w.Open("minf");
    if (t.video) {
        w.OpenFull("vmhd", 1);
        w.Zeros(8);
    } else {
        w.OpenFull("smhd");
        w.Zeros(4);
    }
    w.Close();
    w.Open("dinf");
    w.OpenFull("dref");
    w.U32(1);
    w.OpenFull("url ", 1);
    w.Close();
    w.Close();
    w.Close();
    SampleTables(w, t);
    w.Close();
    w.Close();
    w.Close();
}

inline uint64_t MediaBytes(bool video, uint32_t n) {
    uint64_t total = 0;
    for (uint32_t k = 0; k < n; ++k) total += video ? kVideoSize(k) : kAudioSize(k);
    return total;
}

// The whole file; the moov is built twice, the second time with the media
// offsets that the first one's size gives.
inline std::vector<uint8_t> Build(uint32_t n) {
    uint32_t base = 0;
    Writer w;
    for (int pass = 0; pass < 2; ++pass) {
        w = Writer();
        w.Open("ftyp");
        w.Type("isom"), w.U32(0x200), w.Type("isom"), w.Type("mp41");
        w.Close();
        w.Open("moov");
        w.OpenFull("mvhd");
        w.U32(0), w.U32(0), w.U32(1000), w.U32(n * 40), w.U32(0x00010000), w.U16(0x0100);
        w.Zeros(10 + 36 + 24);
        w.U32(3);
        w.Close();
        const uint32_t videoBytes = uint32_t(MediaBytes(true, n));
        TrackBox(w, {true, 1, n, base});
        TrackBox(w, {false, 2, n, base + videoBytes});
        w.Close();
        base = uint32_t(w.bytes.size() + 8);
    }
    w.Open("mdat");
    for (uint32_t k = 0; k < n; ++k) w.Zeros(kVideoSize(k));
    for (uint32_t k = 0; k < n; ++k) w.Zeros(kAudioSize(k));
    w.Close();
    return std::move(w.bytes);
}

inline bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace synthetic

#endif
