// GetM4vEsdsData, GetM4aEsdsData and GetVideoEsdsBytes on handles whose
// track trees are assembled in memory, so that every shape of esds can be
// tried; and on a bundled file whose esds is longer than the record.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "read/config.h"
#include "support/read_handle.h"

namespace {

// A track tree trak/mdia/minf/stbl/stsd/<entry>/esds whose esds record holds
// the first 80 bytes of `esds` (zero-padded), in an exact-size image; in
// slot 1 (video) or 2 (audio) of a handle.
class FakeTrack {
public:
    FakeTrack(const char *entryType, const Bytes &esds, bool video = true) {
        image_.assign(80, 0);
        std::copy(esds.begin(), esds.begin() + long(std::min<size_t>(esds.size(), 80)), image_.begin());
        record_ = realStructure{image_.data(), uint32_t(image_.size()), nullptr, 0};
        AtomNode *parent = Add("trak", nullptr);
        for (const char *type : {"mdia", "minf", "stbl", "stsd", entryType}) parent = Add(type, parent);
        Add("esds", parent)->realStructure = &record_;
        track_.mediaType = 1;
        track_.trak = &nodes_.front();
        (video ? file.videoTrackId : file.audioTrackId) = video ? 1 : 2;
        file.tracks[video ? 1 : 2] = &track_;
    }
    MP4_read_file file{};

private:
    AtomNode *Add(const char *type, AtomNode *parent) {
        AtomNode *node = &nodes_.emplace_back();
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
    return EsdsBox(true, true, Cat({{0x20, 0x11, 0x00, 0x08, 0x3C}, U32(200000), U32(123320)}), specific);
}

// A video object and video object layer header of 176x144, 19 bytes.
const Bytes kVideoObject = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xC4,
                            0x8D, 0x88, 0x00, 0xCD, 0x05, 0x84, 0x12, 0x14, 0x43};

TEST(GetM4vEsdsData, ConfigurationFromTheVideoObjectStartCode) {
    const Bytes sequence = {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0xB5, 0x89, 0x13};
    const std::pair<Bytes, int32_t> cases[] = {
        {VisualEsds(Cat({sequence, kVideoObject})), 1},
        {FullBox("esds", 0, {}), -99},
        {VisualEsds({0x00, 0x00, 0x01, 0xB6, 0x10, 0x00}), -99},  // no video object
        // A start code prefix at 77: its fourth byte would lie past the record.
        {VisualEsds(Cat({Zeros(34), {0x00, 0x00, 0x01}})), -99},
        // A video object at 73: its 19-byte header would run past the record.
        {VisualEsds(Cat({Zeros(30), kVideoObject})), -1},
    };
    for (const auto &[esds, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(esds));
        FakeTrack video("mp4v", esds);
        uint8_t buffer[200] = {};
        uint32_t width = 0, height = 0, size = 77;
        const int32_t expected = result;  // clang 14 cannot capture a structured binding
        EXPECT_EQ(Printed([&] { EXPECT_EQ(GetM4vEsdsData(&video.file, buffer, &width, &height, &size), expected); }), "");
        EXPECT_EQ(Bytes(buffer, buffer + (result == 1 ? size : 0)), result == 1 ? kVideoObject : Bytes{});
        EXPECT_EQ(size, result == 1 ? 19u : 77u);
        EXPECT_EQ(width, result == 1 ? 176u : 0u);
        EXPECT_EQ(height, result == 1 ? 144u : 0u);
    }
}

TEST(EsdsLookup, NullBufferNullHandleEmptySlotMissingAtom) {
    FakeTrack video("s263", VisualEsds(kVideoObject)), audio("samr", FullBox("esds", 0, Zeros(40)), false);
    video.file.audioTrackId = 2, video.file.tracks[2] = audio.file.tracks[2];  // both in one handle
    MP4_read_file empty{}, childless{};
    ReadTrack bare{};  // a trak without children misses the first level
    AtomNode trak{};
    CopyAtomType(trak.type, "trak");
    bare.trak = &trak;
    childless.videoTrackId = 1, childless.tracks[1] = &bare;
    // The results of GetM4vEsdsData, GetM4aEsdsData and GetVideoEsdsBytes, then what they printed.
    auto lookups = [](MP4_read_file *handle, uint8_t *buffer) {
        uint32_t w, h, s;
        int32_t r[3];
        const std::string printed = Printed([&] {
            r[0] = GetM4vEsdsData(handle, buffer, &w, &h, &s);
            r[1] = GetM4aEsdsData(handle, buffer, &s);
            r[2] = GetVideoEsdsBytes(handle, buffer, &s);
        });
        return std::to_string(r[0]) + " " + std::to_string(r[1]) + " " + std::to_string(r[2]) + " " + printed;
    };
    uint8_t buffer[200];
    const std::string uncreated = "mp4 file uncreated\n";
    EXPECT_EQ(lookups(nullptr, nullptr), "0 0 0 ");
    EXPECT_EQ(lookups(nullptr, buffer), "-99 -99 -99 " + uncreated + uncreated + uncreated);
    EXPECT_EQ(lookups(&empty, buffer), "-99 -99 -99 ");
    EXPECT_EQ(lookups(&video.file, buffer),
              "-99 -99 -99 Can't find [mp4v] atom\nCan't find [mp4a] atom\nCan't find [mp4v] atom\n");
    EXPECT_EQ(lookups(&childless, buffer), "-99 -99 -99 Can't find [mdia] atom\nCan't find [mdia] atom\n");
}

// GetM4aEsdsData hands out the atom up to the record's 80 bytes,
// GetVideoEsdsBytes the atom from its version byte on, at most 72 bytes.
TEST(GetM4aEsdsData, HandsOutTheAtomUpToTheRecordsEightyBytes) {
    for (bool video : {false, true}) {
        for (uint32_t payload : {20u, 68u, 100u}) {  // 68: exactly the record (and the 72 bytes)
            SCOPED_TRACE(std::to_string(payload) + (video ? " video" : " audio"));
            Bytes esds = FullBox("esds", 0, Zeros(payload));
            for (size_t i = 8; i < esds.size(); ++i) esds[i] = uint8_t(i);
            FakeTrack track(video ? "mp4v" : "mp4a", esds, video);
            const size_t from = video ? 8 : 0, limit = video ? 72 : 80;
            std::vector<uint8_t> buffer(limit + 1, 0xEE);  // limit bytes may be written
            uint32_t size = 0;
            EXPECT_EQ(video ? GetVideoEsdsBytes(&track.file, buffer.data(), &size)
                            : GetM4aEsdsData(&track.file, buffer.data(), &size),
                      1);
            const size_t held = std::min(esds.size() - from, limit);
            EXPECT_EQ(size, video ? held : esds.size());
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + long(held)),
                      Bytes(esds.begin() + long(from), esds.begin() + long(from + held)));
            EXPECT_EQ(buffer[held], 0xEE);
        }
    }
}

TEST(DecoderConfig, BundledFiles) {
    OpenedFile xvid(Fixture("xvid.mp4"));  // an esds of 92 bytes, of which 80 are held
    ASSERT_EQ(xvid.result, 1);
    uint8_t buffer[200] = {};
    uint32_t size = 0;  // width and height: GetFileInfo.BundledFiles
    EXPECT_EQ(GetM4vEsdsData(xvid.handle, buffer, nullptr, nullptr, &size), 1);
    EXPECT_EQ(size, 21u);
    EXPECT_EQ(Printed([&] { EXPECT_EQ(GetM4aEsdsData(xvid.handle, buffer, &size), -99); }), "");
}

}  // namespace
