// The atom tree: helpers, records, reading a file's boxes and the
// hierarchy check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "atom/atom.h"
#include "support/bytes.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A tree read from bytes through the three passes, released on destruction.
struct LoadedTree {
    Root_atom root{};
    int32_t readResult = 0;
    int32_t extractResult = 0;
    std::string output;

    explicit LoadedTree(const Bytes &bytes, const std::string &name = "in.mp4") {
        const std::string path = WriteTemp(name, bytes);
        root.file = std::fopen(path.c_str(), "rb");
        root.fileSize = uint32_t(bytes.size());
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
    AtomNode *Find(std::initializer_list<const char *> path) const {
        auto it = path.begin();
        AtomNode *top = FindTopLevelAtom(&root, *it);
        if (top == nullptr || path.size() == 1) return top;
        std::vector<const char *> rest(it + 1, path.end());
        AtomNode *at = top;
        for (const char *type : rest) at = at ? FindChildAtom(at, type) : nullptr;
        return at;
    }
};

struct Flat {
    int depth;
    std::string type;
    uint32_t offset, size;
    bool operator==(const Flat &o) const {
        return depth == o.depth && type == o.type && offset == o.offset && size == o.size;
    }
};

std::ostream &operator<<(std::ostream &os, const Flat &f) {
    return os << f.depth << ":" << f.type << "@" << f.offset << "+" << f.size;
}

void Flatten(const AtomNode *node, int depth, std::vector<Flat> *out) {
    for (; node; node = node->next) {
        out->push_back({depth, node->type, node->offset, node->size});
        Flatten(node->firstChild, depth + 1, out);
    }
}

// An independent walk of the boxes, with its own idea of which boxes hold
// children and where they start.
void Walk(const Bytes &b, uint64_t from, uint64_t to, int depth, std::vector<Flat> *out) {
    static const std::vector<std::pair<std::string, uint32_t>> kContainers = {
        {"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8},  {"dinf", 8}, {"stbl", 8},
        {"edts", 8}, {"dref", 16}, {"stsd", 16}, {"mp4v", 86}, {"mp4a", 36}};
    // Boxes ffmpeg writes that the library does not take: the library stops
    // reading a level at the first of them.
    static const std::vector<std::string> kForeign = {"pasp", "btrt", "sgpd", "sbgp", "meta"};
    uint64_t pos = from;
    while (pos + 8 <= to) {
        const uint32_t size = ReadBigEndian32(&b[pos]);
        const std::string type(reinterpret_cast<const char *>(&b[pos + 4]), 4);
        if (std::find(kForeign.begin(), kForeign.end(), type) != kForeign.end()) return;
        out->push_back({depth, type, uint32_t(pos), size});
        for (const auto &[name, header] : kContainers)
            if (name == type) Walk(b, pos + header, pos + size, depth + 1, out);
        pos += size;
    }
}

TEST(AtomHelpers, TypeCodesAndMemory) {
    EXPECT_TRUE(SameAtomType("url ", "url "));
    EXPECT_FALSE(SameAtomType("urn ", "url "));
    EXPECT_TRUE(SameAtomType("moovXYZ", "moov"));  // at most four characters
    EXPECT_FALSE(SameAtomType(std::string("url\0", 4).c_str(), "url "));

    char dst[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(CopyAtomType(nullptr, "moov"));
    EXPECT_FALSE(CopyAtomType(dst, nullptr));
    EXPECT_EQ(dst[0], 'x');
    EXPECT_TRUE(CopyAtomType(dst, "trakEXTRA"));
    EXPECT_STREQ(dst, "trak");

    EXPECT_EQ(SwapBytes32(0x11223344u), 0x44332211u);
    EXPECT_EQ(SwapBytes16(0x1122), 0x2211);
    const uint8_t be[] = {0x00, 0x00, 0x02, 0x58};
    EXPECT_EQ(ReadBigEndian32(be), 600u);

    EXPECT_EQ(ResizeBuffer(nullptr, 10), nullptr);
    void *block = AllocZeroed(4);
    block = ResizeBuffer(block, 0);  // keeps a block of one byte
    ASSERT_NE(block, nullptr);
    FreeIfSet(block);
    FreeIfSet(nullptr);
}

TEST(AtomHelpers, RecordsAndTheirBounds) {
    realStructure *record = reinterpret_cast<realStructure *>(0x1);
    EXPECT_EQ(AllocAtomRecord(0, "moov", &record), -99);
    EXPECT_EQ(record, reinterpret_cast<realStructure *>(0x1));  // untouched

    ASSERT_EQ(AllocAtomRecord(20, "stco", &record), 1);
    EXPECT_EQ(std::memcmp(record->image + 4, "stco", 4), 0);
    EXPECT_EQ(RecordU32(record, 0), 0u);
    StoreU32(record, 12, 0xAABBCCDD);
    EXPECT_EQ(RecordU32(record, 12), 0xAABBCCDDu);
    EXPECT_EQ(record->image[12], 0xAA);
    StoreU32(record, 18, 7);  // would cross the end: dropped
    EXPECT_EQ(RecordU32(record, 17), 0u);
    EXPECT_EQ(RecordBytes(record, 20, 1), nullptr);
    EXPECT_EQ(TableU32(record, 0), 0u);
    ASSERT_TRUE(AllocRecordTable(record, 8));
    StoreTableU32(record, 1, 42);
    StoreTableU32(record, 2, 43);  // outside the table
    EXPECT_EQ(TableU32(record, 1), 42u);
    EXPECT_EQ(TableU32(record, 2), 0u);

    AtomNode node{};
    CopyAtomType(node.type, "stco");
    node.realStructure = record;
    EXPECT_EQ(FreeAtomTables(&node), 1);
    EXPECT_EQ(record->table, nullptr);
    CopyAtomType(node.type, "stsz");
    EXPECT_EQ(FreeAtomTables(&node), 1);  // null table: nothing to release
    CopyAtomType(node.type, "abcd");
    EXPECT_EQ(FreeAtomTables(&node), -1);
    EXPECT_EQ(FreeAtomSubtree(&node), 1);  // no children: nothing happens
    FreeAtomRecord(record);
}

// A small but complete movie: one video track.
Bytes SmallMovie() {
    const Bytes stbl = Box(
        "stbl",
        {Box("stsd", {U32(0), U32(1),
                      Box("mp4v", {Zeros(78), Box("esds", {U32(0), Str("ESDSDATA")})})}),
         FullBox("stts", 0, Cat({U32(1), U32(3), U32(1000)})),
         FullBox("stsz", 0, Cat({U32(0), U32(3), U32(10), U32(20), U32(30)})),
         FullBox("stsc", 0, Cat({U32(1), U32(1), U32(3), U32(1)})),
         FullBox("stco", 0, Cat({U32(1), U32(1000)})),
         FullBox("stss", 0, Cat({U32(1), U32(1)}))});
    const Bytes trak = Box(
        "trak",
        {FullBox("tkhd", 1, Cat({Zeros(8), U32(1), Zeros(68)})),
         Box("mdia", {FullBox("mdhd", 0, Cat({Zeros(8), U32(600), U32(3000), Zeros(4)})),
                      FullBox("hdlr", 0, Cat({U32(0), Str("vide"), Zeros(12), Str("name")})),
                      Box("minf", {FullBox("vmhd", 1, Zeros(8)),
                                   Box("dinf", {FullBox("dref", 0, Cat({U32(1),
                                                                        FullBox("url ", 1)}))}),
                                   stbl})})});
    return Cat({Box("ftyp", {Str("isom"), U32(0), Str("mp41")}),
                Box("moov", {FullBox("mvhd", 0, Zeros(96)), FullBox("iods", 0, Zeros(8)), trak}),
                Box("mdat", Zeros(60))});
}

TEST(AtomReader, ReadsEveryBoxWithOffsetsAndRecords) {
    const Bytes bytes = SmallMovie();
    LoadedTree tree(bytes);
    ASSERT_EQ(tree.readResult, 1);
    ASSERT_EQ(tree.extractResult, 1);
    EXPECT_EQ(tree.output, "");

    std::vector<Flat> ours, walked;
    Flatten(tree.root.firstAtom, 0, &ours);
    Walk(bytes, 0, bytes.size(), 0, &walked);
    EXPECT_EQ(ours, walked);

    AtomNode *ftyp = tree.Find({"ftyp"});
    AtomNode *moov = tree.Find({"moov"});
    AtomNode *mdat = tree.Find({"mdat"});
    ASSERT_TRUE(ftyp && moov && mdat);
    EXPECT_EQ(moov->offset, ftyp->size);
    EXPECT_EQ(mdat->offset, ftyp->size + moov->size);

    AtomNode *stbl = tree.Find({"moov", "trak", "mdia", "minf", "stbl"});
    ASSERT_NE(stbl, nullptr);
    const realStructure *stsz = FindChildAtom(stbl, "stsz")->realStructure;
    EXPECT_EQ(RecordU32(stsz, 16), 3u);
    EXPECT_EQ(stsz->tableBytes, 12u);
    EXPECT_EQ(TableU32(stsz, 2), 30u);
    const realStructure *stco = FindChildAtom(stbl, "stco")->realStructure;
    EXPECT_EQ(TableU32(stco, 0), 1000u);
    const realStructure *mdhd = tree.Find({"moov", "trak", "mdia", "mdhd"})->realStructure;
    EXPECT_EQ(RecordU32(mdhd, 20), 600u);
    // A url of 12 bytes (flag 1, no location) holds no text.
    const realStructure *url =
        tree.Find({"moov", "trak", "mdia", "minf", "dinf", "dref", "url "})->realStructure;
    EXPECT_EQ(url->table, nullptr);
    // An esds shorter than its 80-byte record borrows the bytes that follow it.
    AtomNode *esds = FindAtomPath(stbl, {"stsd", "mp4v", "esds"});
    ASSERT_NE(esds, nullptr);
    EXPECT_EQ(std::memcmp(esds->realStructure->image + 12, "ESDSDATA", 8), 0);
    EXPECT_EQ(std::memcmp(esds->realStructure->image + 24, "stts", 4), 0);
}

TEST(AtomReader, FixturesMatchAnIndependentWalk) {
    for (const char *name : {"av.mp4", "av_moov_last.mp4", "audio.mp4", "video.mp4",
                             "long_video.mp4", "xvid.mp4", "mp3.mp4"}) {
        SCOPED_TRACE(name);
        const Bytes bytes = ReadFileBytes(Fixture(name));
        ASSERT_FALSE(bytes.empty());
        LoadedTree tree(bytes, name);
        ASSERT_EQ(tree.readResult, 1);
        EXPECT_EQ(tree.extractResult, 1);
        std::vector<Flat> ours, walked;
        Flatten(tree.root.firstAtom, 0, &ours);
        Walk(bytes, 0, bytes.size(), 0, &walked);
        // ffmpeg's udta holds boxes the reader does not accept; the walk
        // above does not descend into udta either.
        EXPECT_EQ(ours, walked);
    }
}

TEST(AtomReader, TableAndTextEdgeCases) {
    const Bytes bytes = Cat(
        {Box("ftyp", Zeros(12)),
         Box("moov",
             {Box("trak",
                  {Box("mdia",
                       {Box("minf",
                            {Box("stbl",
                                 {FullBox("stsz", 0, Cat({U32(32), U32(5)})),
                                  // Claims 1000 entries but holds one.
                                  FullBox("stco", 0, Cat({U32(1000), U32(7)})),
                                  // Claims 2^30+1 entries: the byte count must not wrap.
                                  FullBox("stss", 0, Cat({U32(0x40000001), U32(1)})),
                                  FullBox("stts", 0, Cat({U32(0)}))})})})})})});
    LoadedTree tree(bytes);
    ASSERT_EQ(tree.readResult, 1);
    EXPECT_EQ(tree.output,
              "error to read atom[stco] data from file\n"
              "error to read atom[stss] data from file\n");
    AtomNode *stbl = tree.Find({"moov", "trak", "mdia", "minf", "stbl"});
    ASSERT_NE(stbl, nullptr);
    EXPECT_EQ(FindChildAtom(stbl, "stsz")->realStructure->table, nullptr);
    EXPECT_EQ(FindChildAtom(stbl, "stco")->realStructure->table, nullptr);
    EXPECT_EQ(FindChildAtom(stbl, "stss")->realStructure->table, nullptr);
    EXPECT_EQ(FindChildAtom(stbl, "stts")->realStructure->table, nullptr);  // 0 entries
}

TEST(AtomReader, RejectedAndUnknownTypes) {
    // A 3GPP sample entry leaves stsd childless; the rest of stbl is read.
    const Bytes gpp = Cat({Box("ftyp", Zeros(12)),
                           Box("moov", {Box("stbl", {Box("stsd", {U32(0), U32(1),
                                                                  Box("s263", Zeros(80))}),
                                                     FullBox("stts", 0, U32(0))})}),
                           Box("free", Zeros(4))});
    LoadedTree tree(gpp);
    ASSERT_EQ(tree.readResult, 1);
    AtomNode *stbl = tree.Find({"moov", "stbl"});
    ASSERT_NE(stbl, nullptr);
    EXPECT_EQ(FindChildAtom(stbl, "stsd")->firstChild, nullptr);
    EXPECT_NE(FindChildAtom(stbl, "stts"), nullptr);
    AtomNode *freeAtom = tree.Find({"free"});
    ASSERT_NE(freeAtom, nullptr);
    EXPECT_EQ(freeAtom->realStructure, nullptr);  // accepted, but no record

    // An unknown type at the top level fails the read, without a message.
    LoadedTree unknown(Cat({Box("ftyp", Zeros(12)), Box("meta", Zeros(4))}));
    EXPECT_EQ(unknown.readResult, -99);
    EXPECT_EQ(unknown.output, "");
}

struct BadSize {
    const char *name;
    Bytes bytes;
    int32_t readResult;
    const char *output;
};

TEST(AtomReader, BrokenSizesEndTheScanSafely) {
    const Bytes ftyp = Box("ftyp", Zeros(12));
    const std::vector<BadSize> cases = {
        {"top size 0", Cat({ftyp, BoxWithSize(0, "mdat", Zeros(8))}), -99, ""},
        {"top size 1", Cat({ftyp, BoxWithSize(1, "mdat", Zeros(16))}), -99, ""},
        {"top size 7", Cat({ftyp, BoxWithSize(7, "mdat", Zeros(8))}), -99, ""},
        {"trailing bytes", Cat({ftyp, Zeros(5)}), -99, "Read data from file error!\n"},
        {"child size 0", Cat({ftyp, Box("moov", {BoxWithSize(0, "mvhd"), Zeros(8)})}), 1, ""},
        {"child past parent",
         Cat({ftyp, Box("moov", {BoxWithSize(4000, "mvhd", Zeros(4))})}), 1, ""},
        {"top past file", Cat({ftyp, BoxWithSize(0xFFFFFFF0u, "mdat", Zeros(4))}), 1, ""},
    };
    for (const BadSize &c : cases) {
        SCOPED_TRACE(c.name);
        LoadedTree tree(c.bytes);
        EXPECT_EQ(tree.readResult, c.readResult);
        if (c.readResult < 0) {
            EXPECT_EQ(tree.output, c.output);
        }
    }
}

TEST(AtomReader, NestingIsBounded) {
    Bytes inner = Box("moov");
    for (int i = 0; i < 5000; ++i) inner = Box("moov", inner);
    LoadedTree tree(Cat({Box("ftyp", Zeros(12)), inner}));
    ASSERT_EQ(tree.readResult, 1);
    int depth = 0;
    for (AtomNode *at = tree.Find({"moov"}); at; at = at->firstChild) ++depth;
    EXPECT_EQ(depth, kMaxAtomDepth);
}

TEST(AtomReader, EveryTruncationOfAFixtureIsHandled) {
    const Bytes whole = ReadFileBytes(Fixture("av.mp4"));
    ASSERT_GT(whole.size(), 3000u);
    // Every cut inside the header region, then a coarser step through the media.
    for (size_t cut = 1; cut < whole.size(); cut += (cut < 3000 ? 1 : 997)) {
        Bytes part(whole.begin(), whole.begin() + long(cut));
        LoadedTree tree(part);
        ASSERT_TRUE(tree.readResult == 1 || tree.readResult == -99) << cut;
    }
}

TEST(AtomReader, RefusesFilesOf2GiB) {
    Root_atom root{};
    root.file = std::fopen(WriteTemp("small", Box("ftyp", Zeros(12))).c_str(), "rb");
    root.fileSize = 0x80000000u;
    EXPECT_EQ(ReadAtomTree(&root), -99);
    std::fclose(root.file);
}

struct ValidationCase {
    const char *name;
    Bytes moov;
    const char *output;
};

TEST(Validation, ReportsTheFirstBrokenRuleOfEachNode) {
    const Bytes mvhd = FullBox("mvhd", 0, Zeros(96));
    const Bytes iods = FullBox("iods", 0, Zeros(8));
    const Bytes okTrak = Box("trak", {FullBox("tkhd", 0, Zeros(80)),
                                      Box("mdia", {Box("mdhd", Zeros(24)), Box("hdlr", Zeros(28)),
                                                   Box("minf", {Box("dinf", {Box("dref", {Zeros(8),
                                                                                          Box("url ", Zeros(4))})}),
                                                                Box("stbl", {Box("stsd", {Zeros(8), Box("mp4v", {Zeros(78), Box("esds", Zeros(4))})}),
                                                                             Box("stts", Zeros(8)), Box("stsz", Zeros(12)),
                                                                             Box("stsc", Zeros(8))})})})});
    const std::vector<ValidationCase> cases = {
        {"valid", Box("moov", {mvhd, iods, okTrak}), ""},
        {"no iods", Box("moov", {mvhd, okTrak, okTrak}),
         "\n This atom[moov] must have such type of atom[iods] \n"},
        {"two stsz",
         Box("moov", {mvhd, iods,
                      Box("trak", {Box("tkhd", Zeros(84)),
                                   Box("mdia", {Box("mdhd", Zeros(24)), Box("hdlr", Zeros(28)),
                                                Box("minf", {Box("dinf", {Box("dref", {Zeros(8), Box("url ", Zeros(4))})}),
                                                             Box("stbl", {Box("stsd", Zeros(8)), Box("stts", Zeros(8)),
                                                                          Box("stsz", Zeros(12)), Box("stsz", Zeros(12)),
                                                                          Box("stsc", Zeros(8))})})})})}),
         "\n This atom[stbl] must only have one such type of atom[stsz] \n"},
        {"foreign child", Box("moov", {mvhd, iods, Box("trak", {Box("tkhd", Zeros(84)), Box("mvhd", Zeros(100))})}),
         "\n There exist at lest one atom not belong to this atom[trak] \n"},
        {"empty dref",
         Box("moov", {mvhd, iods, Box("trak", {Box("tkhd", Zeros(84)),
                                                Box("mdia", {Box("mdhd", Zeros(24)), Box("hdlr", Zeros(28)),
                                                             Box("minf", {Box("dinf", {Box("dref", Zeros(8))}),
                                                                          Box("stbl", {Box("stsd", Zeros(8)), Box("stts", Zeros(8)),
                                                                                       Box("stsz", Zeros(12)), Box("stsc", Zeros(8))})})})})}),
         ""},  // a childless atom is only checked when asked directly
    };
    for (const ValidationCase &c : cases) {
        SCOPED_TRACE(c.name);
        LoadedTree tree(Cat({Box("ftyp", Zeros(12)), c.moov, Box("free"), Box("mdat")}));
        ASSERT_EQ(tree.readResult, 1);
        CaptureStdout();
        for (AtomNode *atom = tree.root.firstAtom; atom; atom = atom->next)
            ValidateAtomHierarchy(atom);
        EXPECT_EQ(GetCapturedStdout(), c.output);
    }
}

TEST(Validation, LeafWithChildrenIsNotAContainer) {
    AtomNode parent{}, child{};
    CopyAtomType(parent.type, "tkhd");
    CopyAtomType(child.type, "mdia");
    parent.firstChild = &child;
    child.parent = &parent;
    CaptureStdout();
    EXPECT_FALSE(ValidateAtomHierarchy(&parent));
    EXPECT_EQ(GetCapturedStdout(), "\n This Atom[tkhd] is not a container atom \n");

    AtomNode dref{}, udta{}, ftyp{};
    CopyAtomType(dref.type, "dref");
    CopyAtomType(udta.type, "udta");  // every rule optional, still reported
    CopyAtomType(ftyp.type, "ftyp");
    CaptureStdout();
    EXPECT_FALSE(ValidateAtomHierarchy(&dref));
    EXPECT_FALSE(ValidateAtomHierarchy(&udta));
    EXPECT_TRUE(ValidateAtomHierarchy(&ftyp));
    EXPECT_EQ(GetCapturedStdout(),
              "\n Without required child atom at [dref] \n"
              "\n Without required child atom at [udta] \n");
}

}  // namespace
