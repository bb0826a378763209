// The atom catalogue and the reading whitelist.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "atom/atom.h"

namespace {

AtomNode NodeOf(const char *type) {
    AtomNode node{};
    CopyAtomType(node.type, type);
    return node;
}

struct Row {
    const char *type;
    int32_t result;
    uint32_t headerSize, recordSize;
    uint8_t hasTable;
    uint32_t entrySize;
    const char *rules;  // "type occurrence/required" separated by ", "
};

// The whole table, as the catalogue must answer it.
const Row kRows[] = {
    {"ftyp", 1, 0, 20, 0, 0, ""},
    {"moov", 1, 8, 8, 0, 0, "mvhd 1/1, iods 1/1, trak 2/1, udta 2/0, mvex 1/0"},
    {"mvhd", 1, 0, 108, 0, 0, ""},
    {"iods", 1, 0, 44, 0, 0, ""},
    {"mdat", 1, 0, 8, 0, 0, ""},
    {"skip", 1, 0, 8, 0, 0, ""},
    {"udta", 1, 8, 8, 0, 0, "cprt 2/0, hnti 1/0, hinf 1/0"},
    {"cprt", 1, 0, 16, 0, 0, ""},
    {"mvex", 1, 8, 8, 0, 0, "trex 2/1"},
    {"trex", 1, 0, 32, 0, 0, ""},
    {"trak", 1, 8, 8, 0, 0, "tkhd 1/1, tref 1/0, edts 1/0, mdia 1/1, udta 2/0"},
    {"tkhd", 1, 0, 92, 0, 0, ""},
    {"tref", 1, 8, 8, 0, 0, "dpnd 1/0, hint 1/0, ipir 1/0, mpod 1/0, sync 1/0"},
    {"dpnd", 1, 0, 12, 1, 4, ""},
    {"hint", 1, 0, 12, 1, 4, ""},
    {"ipir", 1, 0, 12, 1, 4, ""},
    {"mpod", 1, 0, 12, 1, 4, ""},
    {"sync", 1, 0, 12, 1, 4, ""},
    {"edts", 1, 8, 8, 0, 0, "elst 1/1"},
    {"elst", 1, 0, 20, 1, 12, ""},
    {"mdia", 1, 8, 8, 0, 0, "mdhd 1/1, hdlr 1/1, minf 1/1"},
    {"mdhd", 1, 0, 32, 0, 0, ""},
    {"hdlr", 1, 0, 36, 0, 0, ""},
    {"minf", 1, 8, 8, 0, 0, "vmhd 1/0, smhd 1/0, hmhd 1/0, nmhd 1/0, dinf 1/1, stbl 1/1"},
    {"vmhd", 1, 0, 20, 0, 0, ""},
    {"smhd", 1, 0, 16, 0, 0, ""},
    {"hmhd", 1, 0, 28, 0, 0, ""},
    {"nmhd", 1, 0, 12, 0, 0, ""},
    {"dinf", 1, 8, 8, 0, 0, "dref 1/1"},
    {"dref", 1, 16, 16, 0, 0, "url  2/0, urn  2/0"},
    {"url ", 1, 0, 16, 0, 1, ""},
    {"urn ", 1, 0, 16, 0, 1, ""},
    {"stbl", 1, 8, 8, 0, 0,
     "stsd 1/1, stts 1/1, ctts 1/0, stsz 1/1, stsc 1/1, stco 1/0, co64 1/0, stss 1/0, "
     "stsh 1/0, stdp 1/0"},
    {"stsd", 1, 16, 16, 0, 0, "samr 2/0, mp4s 2/0, s263 2/0, rtp  2/0, mp4a 2/0, mp4v 2/0"},
    {"stts", 1, 0, 20, 1, 8, ""},
    {"ctts", 1, 0, 20, 1, 8, ""},
    {"stsz", 1, 0, 24, 1, 4, ""},
    {"stsc", 1, 0, 20, 1, 12, ""},
    {"stco", 1, 0, 20, 1, 4, ""},
    {"co64", 1, 0, 20, 1, 8, ""},
    {"stss", 1, 0, 20, 1, 4, ""},
    {"stsh", 1, 0, 20, 1, 8, ""},
    {"stdp", 1, 0, 20, 1, 4, ""},
    {"mp4v", 1, 86, 88, 0, 0, "esds 1/1"},
    {"mp4a", 1, 36, 36, 0, 0, "esds 1/1"},
    {"mp4s", 1, 16, 16, 0, 0, "esds 1/1"},
    {"s263", 1, 86, 88, 0, 0, "d263 1/1"},
    {"d263", 1, 0, 80, 0, 0, ""},
    {"samr", 1, 36, 36, 0, 0, "damr 1/1"},
    {"damr", 1, 0, 20, 0, 0, ""},
    {"esds", 1, 0, 80, 0, 0, ""},
    {"rtp ", 1, 24, 24, 0, 0, "tims 1/1, tsro 1/0, snro 1/0"},
    {"tims", 1, 0, 12, 0, 0, ""},
    {"tsro", 1, 0, 12, 0, 0, ""},
    {"snro", 1, 0, 12, 0, 0, ""},
    {"hnti", 1, 8, 8, 0, 0, "sdp  1/0, rtp  1/0"},
    {"sdp ", 1, 0, 12, 0, 1, ""},
    {"hinf", 1, 8, 8, 0, 0,
     "trpy 1/0, nump 1/0, tpyl 1/0, maxr 2/0, dmed 1/0, dimm 1/0, drep 1/0, tmin 1/0, "
     "tmax 1/0, pmax 1/0, dmax 1/0, payt 1/0"},
    {"trpy", 1, 0, 16, 0, 0, ""},
    {"nump", 1, 0, 16, 0, 0, ""},
    {"tpyl", 1, 0, 16, 0, 0, ""},
    {"maxr", 1, 0, 16, 0, 0, ""},
    {"dmed", 1, 0, 16, 0, 0, ""},
    {"dimm", 1, 0, 16, 0, 0, ""},
    {"drep", 1, 0, 16, 0, 0, ""},
    {"tmin", 1, 0, 12, 0, 0, ""},
    {"tmax", 1, 0, 12, 0, 0, ""},
    {"pmax", 1, 0, 12, 0, 0, ""},
    {"dmax", 1, 0, 12, 0, 0, ""},
    {"payt", 1, 0, 12, 0, 0, ""},
    {"moof", 1, 8, 8, 0, 0, "mfhd 1/1, traf 2/0"},
    {"mfhd", 1, 0, 16, 0, 0, ""},
    {"traf", 1, 8, 8, 0, 0, "tfhd 1/1, trun 2/0"},
    {"tfhd", 1, 0, 16, 0, 0, ""},
    {"trun", 1, 0, 16, 0, 0, ""},
};

std::string RulesOf(const AtomTypeInfo &info) {
    std::string out;
    for (uint32_t i = 0; i < info.childCount; ++i) {
        const ChildRule &r = info.childRules[i];
        if (!out.empty()) out += ", ";
        out += std::string(r.type, 4) + " " + std::to_string(r.occurrence) + "/" +
               std::to_string(r.required);
    }
    return out;
}

TEST(Catalogue, AnswersEveryRowOfTheTable) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.type);
        AtomNode node = NodeOf(row.type);
        AtomTypeInfo info{};
        ASSERT_EQ(GetAtomTypeInfo(&node, &info), row.result);
        EXPECT_EQ(info.headerSize, row.headerSize);
        EXPECT_EQ(info.recordSize, row.recordSize);
        EXPECT_EQ(info.hasTable, row.hasTable);
        EXPECT_EQ(info.entrySize, row.entrySize);
        EXPECT_EQ(RulesOf(info), row.rules);
        // The answer depends on the type alone.
        node.size = 12345;
        node.offset = 99;
        AtomTypeInfo again{};
        GetAtomTypeInfo(&node, &again);
        EXPECT_EQ(std::memcmp(&info, &again, sizeof info), 0);
    }
}

TEST(Catalogue, RootFillsOnlyItsRules) {
    AtomNode node = NodeOf("root");
    AtomTypeInfo info{};
    info.headerSize = 77;
    info.recordSize = 66;
    EXPECT_EQ(GetAtomTypeInfo(&node, &info), 0);
    EXPECT_EQ(info.headerSize, 77u);
    EXPECT_EQ(info.recordSize, 66u);
    EXPECT_EQ(RulesOf(info), "ftyp 1/1, moov 1/1, mdat 2/0, free 2/0, skip 2/0, udta 2/0, moof 2/0");
}

TEST(Catalogue, UnknownTypesLeaveInfoUntouched) {
    for (const char *type : {"free", "Mp4v", "1abc", "\x80xyz", "url\0", "abcd", "meta", "avc1"}) {
        AtomNode node{};
        std::memcpy(node.type, type, 4);
        AtomTypeInfo info;
        std::memset(&info, 0xA5, sizeof info);
        AtomTypeInfo before = info;
        EXPECT_EQ(GetAtomTypeInfo(&node, &info), -1) << type;
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << type;
    }
}

TEST(Catalogue, WhitelistDiffersOnlyInFreeAnd3gppEntries) {
    for (const Row &row : kRows) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(row.type);
        const bool gpp = std::string(row.type) == "s263" || std::string(row.type) == "samr" ||
                         std::string(row.type) == "d263" || std::string(row.type) == "damr";
        EXPECT_EQ(CheckReadableAtomType(bytes), gpp ? -1 : 1) << row.type;
    }
    EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>("free")), 1);
    EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>("root")), 0);
    EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>("meta")), -1);
    EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>("MOOV")), -1);
    EXPECT_EQ(CheckReadableAtomType(nullptr), -1);
}

}  // namespace
