// GetM4vEsdsData, GetM4aEsdsData and GetVideoEsdsBytes on handles whose
// track trees are assembled in memory, so that every shape of esds can be
// tried; and on the bundled files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "read/config.h"
#include "read/read.h"
#include "support/bytes.h"

namespace {

// A track tree trak/mdia/minf/stbl/stsd/<entry>/esds whose esds record holds
// the first 80 bytes of `esds` (zero-padded), in an exact-size image.
class FakeTrack {
public:
    FakeTrack(const char *entryType, const Bytes &esds, uint32_t imageSize = 80) {
        image_.assign(imageSize, 0);
        for (size_t i = 0; i < esds.size() && i < image_.size(); ++i) image_[i] = esds[i];
        record_ = realStructure{image_.data(), uint32_t(image_.size()), nullptr, 0};
        AtomNode *parent = Add("trak", nullptr);
        for (const char *type : {"mdia", "minf", "stbl", "stsd"}) parent = Add(type, parent);
        parent = Add(entryType, parent);
        Add("esds", parent)->realStructure = &record_;
        track_.mediaType = 1;
        track_.trak = &nodes_.front();
    }
    ReadTrack *track() { return &track_; }

private:
    AtomNode *Add(const char *type, AtomNode *parent) {
        nodes_.emplace_back();
        AtomNode *node = &nodes_.back();
        CopyAtomType(node->type, type);
        node->parent = parent;
        if (parent) parent->firstChild = node;
        return node;
    }
    std::deque<AtomNode> nodes_;
    std::vector<uint8_t> image_;
    realStructure record_{};
    ReadTrack track_{};
};

// An esds atom around an MPEG-4 Visual decoder configuration, with the
// descriptor lengths in the four-byte form.
Bytes VisualEsds(const Bytes &specific) {
    auto lengthOf = [](size_t n) { return Bytes{0x80, 0x80, 0x80, uint8_t(n)}; };
    const Bytes config = Cat({{0x20, 0x11, 0x00, 0x08, 0x3C}, U32(200000), U32(123320), {0x05},
                              lengthOf(specific.size()), specific});
    const Bytes es = Cat({{0x00, 0x01, 0x00, 0x04}, lengthOf(config.size()), config,
                          {0x06, 0x80, 0x80, 0x80, 0x01, 0x02}});
    return FullBox("esds", 0, Cat({{0x03}, lengthOf(es.size()), es}));
}

// A video object and video object layer header of 176x144 (the bundled
// sample's), 19 bytes.
const Bytes kVideoObject = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xC4,
                            0x8D, 0x88, 0x00, 0xCD, 0x05, 0x84, 0x12, 0x14, 0x43};
const Bytes kSequenceAndObject = {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0xB5, 0x89,
                                  0x13};

struct Handle {
    MP4_read_file file{};
    Handle(ReadTrack *video, ReadTrack *audio) {
        if (video) file.videoTrackId = 1, file.tracks[1] = video;
        if (audio) file.audioTrackId = 2, file.tracks[2] = audio;
    }
};

TEST(GetM4vEsdsData, ConfigurationFromTheVideoObjectStartCode) {
    FakeTrack video("mp4v", VisualEsds(Cat({kSequenceAndObject, kVideoObject})));
    Handle handle(video.track(), nullptr);
    uint8_t buffer[200] = {};
    uint32_t width = 0, height = 0, size = 0;
    EXPECT_EQ(GetM4vEsdsData(&handle.file, buffer, &width, &height, &size), 1);
    EXPECT_EQ(width, 176u);
    EXPECT_EQ(height, 144u);
    EXPECT_EQ(size, kVideoObject.size());
    EXPECT_EQ(Bytes(buffer, buffer + size), kVideoObject);
}

TEST(GetM4vEsdsData, Failures) {
    struct Case {
        const char *name;
        Bytes esds;
        int32_t result;
    };
    const Case cases[] = {
        {"twelve_bytes", FullBox("esds", 0, {}), -99},
        {"no_video_object", VisualEsds({0x00, 0x00, 0x01, 0xB6, 0x10, 0x00}), -99},
        // A start code prefix at 77: its fourth byte would lie past the record.
        {"scan_past_record", VisualEsds(Cat({Zeros(34), {0x00, 0x00, 0x01}})), -99},
        // A video object at 73: its 19-byte header would run past the record.
        {"header_past_record", VisualEsds(Cat({Zeros(30), kVideoObject})), -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeTrack video("mp4v", c.esds);
        Handle handle(video.track(), nullptr);
        uint8_t buffer[200] = {};
        uint32_t width = 0, height = 0, size = 77;
        testing::internal::CaptureStdout();
        EXPECT_EQ(GetM4vEsdsData(&handle.file, buffer, &width, &height, &size), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(size, 77u);
    }
}

TEST(EsdsLookup, NullBufferNullHandleEmptySlotMissingAtom) {
    FakeTrack video("s263", VisualEsds(kVideoObject));
    FakeTrack audio("samr", FullBox("esds", 0, Zeros(40)));
    Handle wrongEntries(video.track(), audio.track());
    Handle empty(nullptr, nullptr);
    uint8_t buffer[200];
    uint32_t a = 0, b = 0, c = 0;
    struct Case {
        const char *name;
        int32_t (*call)(MP4_read_file *, uint8_t *);
        MP4_read_file *handle;
        bool withBuffer;
        int32_t result;
        std::string printed;
    };
    static uint32_t w, h, s;
    auto video4v = [](MP4_read_file *f, uint8_t *p) { return GetM4vEsdsData(f, p, &w, &h, &s); };
    auto audio4a = [](MP4_read_file *f, uint8_t *p) { return GetM4aEsdsData(f, p, &s); };
    auto videoBytes = [](MP4_read_file *f, uint8_t *p) { return GetVideoEsdsBytes(f, p, &s); };
    const Case cases[] = {
        {"m4v_null_buffer", video4v, nullptr, false, 0, ""},
        {"m4a_null_buffer", audio4a, nullptr, false, 0, ""},
        {"bytes_null_buffer", videoBytes, nullptr, false, 0, ""},
        {"m4v_null_handle", video4v, nullptr, true, -99, "mp4 file uncreated\n"},
        {"m4a_null_handle", audio4a, nullptr, true, -99, "mp4 file uncreated\n"},
        {"bytes_null_handle", videoBytes, nullptr, true, -99, "mp4 file uncreated\n"},
        {"m4v_no_video", video4v, &empty.file, true, -99, ""},
        {"m4a_no_audio", audio4a, &empty.file, true, -99, ""},
        {"m4v_missing_mp4v", video4v, &wrongEntries.file, true, -99, "Can't find [mp4v] atom\n"},
        {"m4a_missing_mp4a", audio4a, &wrongEntries.file, true, -99, "Can't find [mp4a] atom\n"},
        {"bytes_missing_mp4v", videoBytes, &wrongEntries.file, true, -99,
         "Can't find [mp4v] atom\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        testing::internal::CaptureStdout();
        EXPECT_EQ(k.call(k.handle, k.withBuffer ? buffer : nullptr), k.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), k.printed);
    }
    // A trak without children misses the first level.
    ReadTrack bare{};
    AtomNode trak{};
    CopyAtomType(trak.type, "trak");
    bare.trak = &trak;
    Handle childless(&bare, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetM4vEsdsData(&childless.file, buffer, &a, &b, &c), -99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't find [mdia] atom\n");
}

TEST(GetM4aEsdsData, HandsOutTheAtomUpToTheRecordsEightyBytes) {
    for (uint32_t payload : {20u, 60u, 100u}) {
        SCOPED_TRACE(payload);
        Bytes esds = FullBox("esds", 0, Zeros(payload));
        for (size_t i = 12; i < esds.size(); ++i) esds[i] = uint8_t(i);
        FakeTrack audio("mp4a", esds);
        Handle handle(nullptr, audio.track());
        std::vector<uint8_t> buffer(80, 0xEE);  // exactly what may be written
        uint32_t size = 0;
        EXPECT_EQ(GetM4aEsdsData(&handle.file, buffer.data(), &size), 1);
        EXPECT_EQ(size, esds.size());
        const size_t held = std::min<size_t>(esds.size(), 80);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + held),
                  Bytes(esds.begin(), esds.begin() + held));
        if (held < 80) {
            EXPECT_EQ(buffer[held], 0xEE);
        }
    }
}

TEST(GetVideoEsdsBytes, FromTheVersionByteAtMostSeventyTwo) {
    for (uint32_t payload : {20u, 100u}) {
        SCOPED_TRACE(payload);
        Bytes esds = FullBox("esds", 0, Zeros(payload));
        for (size_t i = 8; i < esds.size(); ++i) esds[i] = uint8_t(i);
        FakeTrack video("mp4v", esds);
        Handle handle(video.track(), nullptr);
        std::vector<uint8_t> buffer(72, 0xEE);
        uint32_t size = 0;
        EXPECT_EQ(GetVideoEsdsBytes(&handle.file, buffer.data(), &size), 1);
        EXPECT_EQ(size, std::min<size_t>(esds.size() - 8, 72));
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size),
                  Bytes(esds.begin() + 8, esds.begin() + 8 + size));
    }
}

// ---------------------------------------------------------------- bundled files

struct Opened {
    MP4_read_file *handle = nullptr;
    explicit Opened(const std::string &name) {
        testing::internal::CaptureStdout();
        result = MP4FileOpen(&handle, Fixture(name).c_str());
        testing::internal::GetCapturedStdout();
    }
    ~Opened() {
        if (handle) MP4FileClose(&handle), std::free(handle);
    }
    int32_t result = 0;
};

TEST(DecoderConfig, BundledFiles) {
    {
        Opened av("av.mp4");
        ASSERT_EQ(av.result, 1);
        uint8_t buffer[200] = {};
        uint32_t width = 0, height = 0, size = 0;
        EXPECT_EQ(GetM4vEsdsData(av.handle, buffer, &width, &height, &size), 1);
        EXPECT_EQ(width, 176u);
        EXPECT_EQ(height, 144u);
        EXPECT_EQ(Bytes(buffer, buffer + size), kVideoObject);
        EXPECT_EQ(GetM4aEsdsData(av.handle, buffer, &size), 1);
        EXPECT_EQ(size, 54u);
        // The AudioSpecificConfig (LC, 44100 Hz, mono) in the DecoderSpecificInfo.
        EXPECT_EQ(Bytes(buffer + 43, buffer + 48), Bytes({0x12, 0x08, 0x56, 0xE5, 0x00}));
    }
    {
        Opened xvid("xvid.mp4");  // an esds of 92 bytes, of which 80 are held
        ASSERT_EQ(xvid.result, 1);
        uint8_t buffer[200] = {};
        uint32_t width = 0, height = 0, size = 0;
        EXPECT_EQ(GetM4vEsdsData(xvid.handle, buffer, &width, &height, &size), 1);
        EXPECT_EQ(width, 160u);
        EXPECT_EQ(height, 120u);
        EXPECT_EQ(size, 21u);
        testing::internal::CaptureStdout();
        EXPECT_EQ(GetM4aEsdsData(xvid.handle, buffer, &size), -99);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

}  // namespace
