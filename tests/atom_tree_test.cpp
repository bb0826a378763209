// The atom tree: helpers, records, reading a file's boxes and the
// hierarchy check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "support/tiny_mp4.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A tree read from bytes through the three passes, released on destruction.
struct LoadedTree {
    Root_atom root{};
    int32_t readResult = 0;
    int32_t extractResult = 0;
    std::string output;

    // `fileSize`: the size the reader is told, when not the bytes' own.
    explicit LoadedTree(const Bytes &bytes, const std::string &name = "in.mp4", uint32_t fileSize = 0) {
        root.file = std::fopen(WriteTemp(name, bytes).c_str(), "rb");
        root.fileSize = fileSize ? fileSize : uint32_t(bytes.size());
        CaptureStdout();
        readResult = ReadAtomTree(&root);
        if (readResult > 0) {
            AllocTreeRecords(&root);
            extractResult = ExtractAtomRecords(&root);
        }
        output = GetCapturedStdout();
    }
    ~LoadedTree() {
        FreeAtomTree(&root);
        if (root.file) std::fclose(root.file);
    }
    AtomNode *Find(const char *top, std::initializer_list<const char *> path = {}) const {
        AtomNode *at = FindTopLevelAtom(&root, top);
        return at == nullptr || path.size() == 0 ? at : FindAtomPath(at, path);
    }
};

// depth:type@offset+size of every node, depth first.
void Flatten(const AtomNode *node, int depth, std::vector<std::string> *out) {
    for (; node; node = node->next) {
        out->push_back(std::to_string(depth) + ":" + node->type + "@" + std::to_string(node->offset) +
                       "+" + std::to_string(node->size));
        Flatten(node->firstChild, depth + 1, out);
    }
}

// An independent walk of the boxes, with its own idea of which boxes hold
// children and where they start.
void Walk(const Bytes &b, uint64_t from, uint64_t to, int depth, std::vector<std::string> *out) {
    static const std::vector<std::pair<std::string, uint32_t>> kContainers = {
        {"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8},  {"dinf", 8}, {"stbl", 8},
        {"edts", 8}, {"dref", 16}, {"stsd", 16}, {"mp4v", 86}, {"mp4a", 36}};
    // Boxes ffmpeg writes that the library does not take: the library stops
    // reading a level at the first of them.  (ffmpeg's udta holds boxes the
    // reader does not accept; the walk does not descend into udta either.)
    static const std::vector<std::string> kForeign = {"pasp", "btrt", "sgpd", "sbgp", "meta"};
    for (uint64_t pos = from; pos + 8 <= to;) {
        const uint32_t size = ReadBigEndian32(&b[pos]);
        const std::string type(reinterpret_cast<const char *>(&b[pos + 4]), 4);
        if (std::find(kForeign.begin(), kForeign.end(), type) != kForeign.end()) return;
        out->push_back(std::to_string(depth) + ":" + type + "@" + std::to_string(pos) + "+" +
                       std::to_string(size));
        for (const auto &[name, header] : kContainers)
            if (name == type) Walk(b, pos + header, pos + size, depth + 1, out);
        pos += size;
    }
}

TEST(AtomHelpers, TypeCodesAndMemory) {
    EXPECT_TRUE(SameAtomType("moovXYZ", "moov"));  // at most four characters
    EXPECT_FALSE(SameAtomType(std::string("url\0", 4).c_str(), "url "));
    char dst[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(CopyAtomType(dst, nullptr));
    EXPECT_TRUE(CopyAtomType(dst, "trakEXTRA"));
    EXPECT_STREQ(dst, "trak");
    void *block = ResizeBuffer(AllocZeroed(4), 0);  // keeps a block of one byte
    ASSERT_NE(block, nullptr);
    FreeIfSet(block);
}

TEST(AtomHelpers, RecordsAndTheirBounds) {
    realStructure *record = reinterpret_cast<realStructure *>(0x1);
    EXPECT_EQ(AllocAtomRecord(0, "moov", &record), -99);
    EXPECT_EQ(record, reinterpret_cast<realStructure *>(0x1));  // untouched
    ASSERT_EQ(AllocAtomRecord(20, "stco", &record), 1);
    EXPECT_EQ(std::memcmp(record->image + 4, "stco", 4), 0);
    StoreU32(record, 12, 0xAABBCCDD);
    EXPECT_EQ(RecordU32(record, 12), 0xAABBCCDDu);
    EXPECT_EQ(record->image[12], 0xAA);  // big-endian
    StoreU32(record, 18, 7);  // would cross the end: dropped
    EXPECT_EQ(RecordU32(record, 17), 0u);
    EXPECT_EQ(RecordBytes(record, 20, 1), nullptr);
    EXPECT_EQ(TableU32(record, 0), 0u);
    ASSERT_TRUE(AllocRecordTable(record, 8));
    StoreTableU32(record, 1, 42);
    StoreTableU32(record, 2, 43);  // outside the table
    EXPECT_EQ(TableU32(record, 1), 42u);
    EXPECT_EQ(TableU32(record, 2), 0u);
    FreeAtomRecord(record);
}

// A small but complete movie: one video track of three samples in one chunk.
Bytes SmallMovie() {
    TrackSpec t = VideoTrack(1, 3);
    t.timescale = 600;
    t.sampleSize = 0;
    t.sizes = {10, 20, 30};
    return TinyMp4({t}, Zeros(60));
}

TEST(AtomReader, FixturesMatchAnIndependentWalk) {
    for (const char *name : {"", "av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4",
                             "long_video.mp4", "xvid.mp4", "mp3.mp4"}) {
        SCOPED_TRACE(*name ? name : "small movie");
        const Bytes bytes = *name ? ReadFileBytes(Fixture(name)) : SmallMovie();
        ASSERT_FALSE(bytes.empty());
        LoadedTree tree(bytes, *name ? name : "small.mp4");
        ASSERT_EQ(tree.readResult, 1);
        EXPECT_EQ(tree.extractResult, 1);
        EXPECT_EQ(tree.output, "");
        std::vector<std::string> ours, walked;
        Flatten(tree.root.firstAtom, 0, &ours);
        Walk(bytes, 0, bytes.size(), 0, &walked);
        EXPECT_EQ(ours, walked);
    }
}

TEST(AtomReader, ReadsEveryBoxWithOffsetsAndRecords) {
    const Bytes movie = SmallMovie();
    LoadedTree tree(movie);
    ASSERT_EQ(tree.extractResult, 1);
    AtomNode *stbl = tree.Find("moov", {"trak", "mdia", "minf", "stbl"});
    ASSERT_NE(stbl, nullptr);
    const realStructure *stsz = FindChildAtom(stbl, "stsz")->realStructure;
    EXPECT_EQ(RecordU32(stsz, 16), 3u);
    EXPECT_EQ(stsz->tableBytes, 12u);
    EXPECT_EQ(TableU32(stsz, 2), 30u);
    EXPECT_EQ(TableU32(FindChildAtom(stbl, "stco")->realStructure, 0), movie.size() - 60);
    EXPECT_EQ(RecordU32(tree.Find("moov", {"trak", "mdia", "mdhd"})->realStructure, 20), 600u);
    // A url of 12 bytes (flag 1, no location) holds no text.
    EXPECT_EQ(tree.Find("moov", {"trak", "mdia", "minf", "dinf", "dref", "url "})->realStructure->table, nullptr);
    // An esds (32 bytes) shorter than its 80-byte record borrows the bytes that follow it.
    AtomNode *esds = FindAtomPath(stbl, {"stsd", "mp4v", "esds"});
    ASSERT_NE(esds, nullptr);
    EXPECT_EQ(std::memcmp(esds->realStructure->image + 4, "esds", 4), 0);
    EXPECT_EQ(std::memcmp(esds->realStructure->image + 36, "stts", 4), 0);
}

TEST(AtomReader, TableAndTextEdgeCases) {
    const Bytes stbl = Box("stbl", {FullBox("stsz", 0, Cat({U32(32), U32(5)})),
                                    FullBox("stco", 0, Cat({U32(1000), U32(7)})),  // 1000 claimed, one held
                                    // 2^30+1 entries claimed: the byte count must not wrap.
                                    FullBox("stss", 0, Cat({U32(0x40000001), U32(1)})),
                                    FullBox("stts", 0, Cat({U32(0)}))});
    LoadedTree tree(Cat({Box("ftyp", Zeros(12)), Box("moov", Box("trak", Box("mdia", Box("minf", stbl))))}));
    ASSERT_EQ(tree.readResult, 1);
    EXPECT_EQ(tree.output,
              "error to read atom[stco] data from file\n"
              "error to read atom[stss] data from file\n");
    for (const char *type : {"stsz", "stco", "stss", "stts"})
        EXPECT_EQ(tree.Find("moov", {"trak", "mdia", "minf", "stbl", type})->realStructure->table, nullptr) << type;
}

// A 3GPP sample entry leaves stsd childless; the rest of stbl is read.
TEST(AtomReader, RejectedAndUnknownTypes) {
    LoadedTree tree(Cat({Box("ftyp", Zeros(12)),
                         Box("moov", {Box("stbl", {Box("stsd", {U32(0), U32(1), Box("s263", Zeros(80))}),
                                                   FullBox("stts", 0, U32(0))})}),
                         Box("free", Zeros(4))}));
    ASSERT_EQ(tree.readResult, 1);
    EXPECT_EQ(tree.Find("moov", {"stbl", "stsd"})->firstChild, nullptr);
    EXPECT_NE(tree.Find("moov", {"stbl", "stts"}), nullptr);
    ASSERT_NE(tree.Find("free"), nullptr);
    EXPECT_EQ(tree.Find("free")->realStructure, nullptr);  // accepted, but no record
}

TEST(AtomReader, BrokenSizesEndTheScanSafely) {
    const Bytes ftyp = Box("ftyp", Zeros(12));
    const struct {
        const char *name;
        Bytes bytes;
        int32_t readResult;
        const char *output;
    } cases[] = {
        {"top size 0", Cat({ftyp, BoxWithSize(0, "mdat", Zeros(8))}), -99, ""},
        {"top size 1", Cat({ftyp, BoxWithSize(1, "mdat", Zeros(16))}), -99, ""},
        {"top size 7", Cat({ftyp, BoxWithSize(7, "mdat", Zeros(8))}), -99, ""},
        {"trailing bytes", Cat({ftyp, Zeros(5)}), -99, "Read data from file error!\n"},
        {"child size 0", Cat({ftyp, Box("moov", {BoxWithSize(0, "mvhd"), Zeros(8)})}), 1, ""},
        {"child past parent", Cat({ftyp, Box("moov", {BoxWithSize(4000, "mvhd", Zeros(4))})}), 1,
         "Read atom[mvhd] data from file error!\natom[mvhd] extract from file error\n"},
        {"top past file", Cat({ftyp, BoxWithSize(0xFFFFFFF0u, "mdat", Zeros(4))}), 1, ""},
        {"unknown top type", Cat({ftyp, Box("meta", Zeros(4))}), -99, ""},
    };
    for (const auto &c : cases) {
        LoadedTree tree(c.bytes);
        EXPECT_EQ(tree.readResult, c.readResult) << c.name;
        EXPECT_EQ(tree.output, c.output) << c.name;
    }
}

TEST(AtomReader, NestingIsBounded) {
    Bytes inner = Box("moov");
    for (int i = 0; i < 5000; ++i) inner = Box("moov", inner);
    LoadedTree tree(Cat({Box("ftyp", Zeros(12)), inner}));
    ASSERT_EQ(tree.readResult, 1);
    int depth = 0;
    for (AtomNode *at = tree.Find("moov"); at; at = at->firstChild) ++depth;
    EXPECT_EQ(depth, kMaxAtomDepth);
}

TEST(AtomReader, EveryTruncationOfAFixtureIsHandled) {
    const Bytes whole = ReadFileBytes(Fixture("av.mp4"));
    ASSERT_GT(whole.size(), 3000u);
    // Every cut inside the header region, then a coarser step through the media.
    for (size_t cut = 1; cut < whole.size(); cut += (cut < 3000 ? 1 : 997)) {
        LoadedTree tree(Bytes(whole.begin(), whole.begin() + long(cut)));
        ASSERT_TRUE(tree.readResult == 1 || tree.readResult == -99) << cut;
    }
}

TEST(AtomReader, RefusesFilesOf2GiB) {
    EXPECT_EQ(LoadedTree(Box("ftyp", Zeros(12)), "small", 0x80000000u).readResult, -99);
}

// A trak with the children the rules ask for, around the given stbl and dref children.
Bytes Trak(const Bytes &stblChildren, const Bytes &drefChildren = Box("url ", Zeros(4))) {
    return Box("trak", {Box("tkhd", Zeros(84)),
                        Box("mdia", {Box("mdhd", Zeros(24)), Box("hdlr", Zeros(28)),
                                     Box("minf", {Box("dinf", Box("dref", Cat({Zeros(8), drefChildren}))),
                                                  Box("stbl", stblChildren)})})});
}

TEST(Validation, ReportsTheFirstBrokenRuleOfEachNode) {
    const Bytes mvhd = FullBox("mvhd", 0, Zeros(96)), iods = FullBox("iods", 0, Zeros(8));
    const Bytes tables = Cat({Box("stts", Zeros(8)), Box("stsz", Zeros(12)), Box("stsc", Zeros(8))});
    const Bytes ok = Trak(Cat({Box("stsd", {Zeros(8), Box("mp4v", {Zeros(78), Box("esds", Zeros(4))})}), tables}));
    const struct {
        const char *name;
        Bytes moov;
        const char *output;
    } cases[] = {
        {"valid", Box("moov", {mvhd, iods, ok}), ""},
        {"no iods", Box("moov", {mvhd, ok, ok}), "\n This atom[moov] must have such type of atom[iods] \n"},
        {"two stsz", Box("moov", {mvhd, iods, Trak(Cat({Box("stsd", Zeros(8)), tables, Box("stsz", Zeros(12))}))}),
         "\n This atom[stbl] must only have one such type of atom[stsz] \n"},
        {"foreign child", Box("moov", {mvhd, iods, Box("trak", {Box("tkhd", Zeros(84)), Box("mvhd", Zeros(100))})}),
         "\n There exist at lest one atom not belong to this atom[trak] \n"},
        // A childless atom is only checked when asked directly.
        {"empty dref", Box("moov", {mvhd, iods, Trak(Cat({Box("stsd", Zeros(8)), tables}), {})}), ""},
    };
    for (const auto &c : cases) {
        LoadedTree tree(Cat({Box("ftyp", Zeros(12)), c.moov, Box("free"), Box("mdat")}));
        ASSERT_EQ(tree.readResult, 1) << c.name;
        CaptureStdout();
        for (AtomNode *atom = tree.root.firstAtom; atom; atom = atom->next) ValidateAtomHierarchy(atom);
        EXPECT_EQ(GetCapturedStdout(), c.output) << c.name;
    }
}

TEST(Validation, LeafWithChildrenIsNotAContainer) {
    AtomNode tkhd{}, mdia{}, dref{}, udta{}, ftyp{};  // udta: every rule optional, still reported
    for (auto [node, type] : {std::pair{&tkhd, "tkhd"}, {&mdia, "mdia"}, {&dref, "dref"}, {&udta, "udta"},
                              {&ftyp, "ftyp"}})
        CopyAtomType(node->type, type);
    tkhd.firstChild = &mdia;
    mdia.parent = &tkhd;
    CaptureStdout();
    EXPECT_FALSE(ValidateAtomHierarchy(&tkhd));
    EXPECT_FALSE(ValidateAtomHierarchy(&dref));
    EXPECT_FALSE(ValidateAtomHierarchy(&udta));
    EXPECT_TRUE(ValidateAtomHierarchy(&ftyp));
    EXPECT_EQ(GetCapturedStdout(),
              "\n This Atom[tkhd] is not a container atom \n"
              "\n Without required child atom at [dref] \n"
              "\n Without required child atom at [udta] \n");
}

}  // namespace
