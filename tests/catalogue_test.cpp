// The atom catalogue and the reading whitelist.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "atom/atom.h"

namespace {

// Every type the catalogue knows besides "root", four characters each.
const std::string kKnownTypes =
    "ftypmoovmvhdiodsmdatskipudtacprtmvextrextraktkhdtrefdpndhintipirmpodsyncedtselstmdiamdhdhdlr"
    "minfvmhdsmhdhmhdnmhddinfdrefurl urn stblstsdsttscttsstszstscstcoco64stssstshstdpmp4vmp4amp4s"
    "s263d263samrdamresdsrtp timstsrosnrohntisdp hinftrpynumptpylmaxrdmeddimmdreptmintmaxpmaxdmax"
    "paytmoofmfhdtraftfhdtrun";

AtomNode NodeOf(const std::string &type) {
    AtomNode node{};
    std::memcpy(node.type, type.data(), 4);
    return node;
}

std::string RulesOf(const AtomTypeInfo &info) {
    std::string out;
    for (uint32_t i = 0; i < info.childCount; ++i) {
        const ChildRule &r = info.childRules[i];
        out += (out.empty() ? "" : ", ") + std::string(r.type, 4) + " " + std::to_string(r.occurrence) +
               "/" + std::to_string(r.required);
    }
    return out;
}

// One row of each shape the reader and the writer rely on: containers with
// their header sizes and child rules (hinf fills every rule slot), sample
// entries, tables with their entry sizes, text, and a plain record.
TEST(Catalogue, AnswersByTypeAlone) {
    const struct {
        const char *type;
        uint32_t headerSize, recordSize;
        uint8_t hasTable;
        uint32_t entrySize;
        const char *rules;  // "type occurrence/required" separated by ", "
    } rows[] = {
        {"moov", 8, 8, 0, 0, "mvhd 1/1, iods 1/1, trak 2/1, udta 2/0, mvex 1/0"},
        {"trak", 8, 8, 0, 0, "tkhd 1/1, tref 1/0, edts 1/0, mdia 1/1, udta 2/0"},
        {"minf", 8, 8, 0, 0, "vmhd 1/0, smhd 1/0, hmhd 1/0, nmhd 1/0, dinf 1/1, stbl 1/1"},
        {"dref", 16, 16, 0, 0, "url  2/0, urn  2/0"},
        {"stbl", 8, 8, 0, 0,
         "stsd 1/1, stts 1/1, ctts 1/0, stsz 1/1, stsc 1/1, stco 1/0, co64 1/0, stss 1/0, "
         "stsh 1/0, stdp 1/0"},
        {"stsd", 16, 16, 0, 0, "samr 2/0, mp4s 2/0, s263 2/0, rtp  2/0, mp4a 2/0, mp4v 2/0"},
        {"hinf", 8, 8, 0, 0,
         "trpy 1/0, nump 1/0, tpyl 1/0, maxr 2/0, dmed 1/0, dimm 1/0, drep 1/0, tmin 1/0, "
         "tmax 1/0, pmax 1/0, dmax 1/0, payt 1/0"},
        {"mp4v", 86, 88, 0, 0, "esds 1/1"},
        {"mp4a", 36, 36, 0, 0, "esds 1/1"},
        {"esds", 0, 80, 0, 0, ""},
        {"stsz", 0, 24, 1, 4, ""},
        {"stsc", 0, 20, 1, 12, ""},
        {"elst", 0, 20, 1, 12, ""},
        {"co64", 0, 20, 1, 8, ""},
        {"url ", 0, 16, 0, 1, ""},
        {"tkhd", 0, 92, 0, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.type);
        AtomNode node = NodeOf(row.type);
        AtomTypeInfo info{};
        ASSERT_EQ(GetAtomTypeInfo(&node, &info), 1);
        EXPECT_EQ(info.headerSize, row.headerSize);
        EXPECT_EQ(info.recordSize, row.recordSize);
        EXPECT_EQ(info.hasTable, row.hasTable);
        EXPECT_EQ(info.entrySize, row.entrySize);
        EXPECT_EQ(RulesOf(info), row.rules);
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
    for (const std::string &type : std::vector<std::string>{"free", "Mp4v", "1abc", "\x80xyz",
                                                             std::string("url\0", 4), "abcd", "meta", "avc1"}) {
        AtomNode node = NodeOf(type);
        AtomTypeInfo info;
        std::memset(&info, 0xA5, sizeof info);
        const AtomTypeInfo before = info;
        EXPECT_EQ(GetAtomTypeInfo(&node, &info), -1) << type;
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << type;
    }
}

// The reader takes every known type but the 3GPP entries and their boxes,
// and "free", which the catalogue does not know.
TEST(Catalogue, WhitelistDiffersOnlyInFreeAnd3gppEntries) {
    ASSERT_EQ(kKnownTypes.size(), 75u * 4);
    for (size_t at = 0; at < kKnownTypes.size(); at += 4) {
        const std::string type = kKnownTypes.substr(at, 4);
        AtomNode node = NodeOf(type);
        AtomTypeInfo info{};
        EXPECT_EQ(GetAtomTypeInfo(&node, &info), 1) << type;
        const bool gpp = type == "s263" || type == "samr" || type == "d263" || type == "damr";
        EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>(type.data())), gpp ? -1 : 1) << type;
    }
    for (const auto &[type, result] : {std::pair<const char *, int32_t>{"free", 1}, {"root", 0}, {"meta", -1},
                                       {"MOOV", -1}, {nullptr, -1}})
        EXPECT_EQ(CheckReadableAtomType(reinterpret_cast<const uint8_t *>(type)), result);
}

}  // namespace
