// The catalogue of atom types the library knows: where children begin, how
// large the payload record is, whether trailing data follows, and which child
// types an atom may or must hold.  Beside it, the reading whitelist.
#include <cstring>

#include "atom/atom.h"

namespace {

struct RuleEntry {
    const char *type;
    uint8_t occurrence;
    uint8_t required;
};

struct TypeEntry {
    const char *type;
    uint32_t headerSize;
    uint32_t recordSize;
    uint8_t hasTable;
    uint32_t entrySize;
    uint8_t ruleCount;
    RuleEntry rules[kMaxChildRules];
};

// "root" is the pseudo-atom above the top level; it answers 0 and only its
// rules are given.  Record sizes are what the reader copies from the start of
// an atom, whatever its own size.
constexpr TypeEntry kCatalogue[] = {
    {"root", 0, 0, 0, 0, 7,
     {{"ftyp", 1, 1}, {"moov", 1, 1}, {"mdat", 2, 0}, {"free", 2, 0}, {"skip", 2, 0},
      {"udta", 2, 0}, {"moof", 2, 0}}},
    // File and movie structure.
    {"ftyp", 0, 20, 0, 0, 0, {}},
    {"moov", 8, 8, 0, 0, 5,
     {{"mvhd", 1, 1}, {"iods", 1, 1}, {"trak", 2, 1}, {"udta", 2, 0}, {"mvex", 1, 0}}},
    {"mvhd", 0, 108, 0, 0, 0, {}},
    {"iods", 0, 44, 0, 0, 0, {}},
    {"mdat", 0, 8, 0, 0, 0, {}},
    {"skip", 0, 8, 0, 0, 0, {}},
    {"udta", 8, 8, 0, 0, 3, {{"cprt", 2, 0}, {"hnti", 1, 0}, {"hinf", 1, 0}}},
    {"cprt", 0, 16, 0, 0, 0, {}},
    {"mvex", 8, 8, 0, 0, 1, {{"trex", 2, 1}}},
    {"trex", 0, 32, 0, 0, 0, {}},
    // Track structure.
    {"trak", 8, 8, 0, 0, 5,
     {{"tkhd", 1, 1}, {"tref", 1, 0}, {"edts", 1, 0}, {"mdia", 1, 1}, {"udta", 2, 0}}},
    {"tkhd", 0, 92, 0, 0, 0, {}},
    {"tref", 8, 8, 0, 0, 5,
     {{"dpnd", 1, 0}, {"hint", 1, 0}, {"ipir", 1, 0}, {"mpod", 1, 0}, {"sync", 1, 0}}},
    {"dpnd", 0, 12, 1, 4, 0, {}},
    {"hint", 0, 12, 1, 4, 0, {}},
    {"ipir", 0, 12, 1, 4, 0, {}},
    {"mpod", 0, 12, 1, 4, 0, {}},
    {"sync", 0, 12, 1, 4, 0, {}},
    {"edts", 8, 8, 0, 0, 1, {{"elst", 1, 1}}},
    {"elst", 0, 20, 1, 12, 0, {}},
    {"mdia", 8, 8, 0, 0, 3, {{"mdhd", 1, 1}, {"hdlr", 1, 1}, {"minf", 1, 1}}},
    {"mdhd", 0, 32, 0, 0, 0, {}},
    {"hdlr", 0, 36, 0, 0, 0, {}},
    {"minf", 8, 8, 0, 0, 6,
     {{"vmhd", 1, 0}, {"smhd", 1, 0}, {"hmhd", 1, 0}, {"nmhd", 1, 0}, {"dinf", 1, 1},
      {"stbl", 1, 1}}},
    {"vmhd", 0, 20, 0, 0, 0, {}},
    {"smhd", 0, 16, 0, 0, 0, {}},
    {"hmhd", 0, 28, 0, 0, 0, {}},
    {"nmhd", 0, 12, 0, 0, 0, {}},
    {"dinf", 8, 8, 0, 0, 1, {{"dref", 1, 1}}},
    {"dref", 16, 16, 0, 0, 2, {{"url ", 2, 0}, {"urn ", 2, 0}}},
    {"url ", 0, 16, 0, 1, 0, {}},
    {"urn ", 0, 16, 0, 1, 0, {}},
    // Sample table.
    {"stbl", 8, 8, 0, 0, 10,
     {{"stsd", 1, 1}, {"stts", 1, 1}, {"ctts", 1, 0}, {"stsz", 1, 1}, {"stsc", 1, 1},
      {"stco", 1, 0}, {"co64", 1, 0}, {"stss", 1, 0}, {"stsh", 1, 0}, {"stdp", 1, 0}}},
    {"stsd", 16, 16, 0, 0, 6,
     {{"samr", 2, 0}, {"mp4s", 2, 0}, {"s263", 2, 0}, {"rtp ", 2, 0}, {"mp4a", 2, 0},
      {"mp4v", 2, 0}}},
    {"stts", 0, 20, 1, 8, 0, {}},
    {"ctts", 0, 20, 1, 8, 0, {}},
    {"stsz", 0, 24, 1, 4, 0, {}},
    {"stsc", 0, 20, 1, 12, 0, {}},
    {"stco", 0, 20, 1, 4, 0, {}},
    {"co64", 0, 20, 1, 8, 0, {}},
    {"stss", 0, 20, 1, 4, 0, {}},
    {"stsh", 0, 20, 1, 8, 0, {}},
    {"stdp", 0, 20, 1, 4, 0, {}},
    // Sample entries and decoder configuration.
    {"mp4v", 86, 88, 0, 0, 1, {{"esds", 1, 1}}},
    {"mp4a", 36, 36, 0, 0, 1, {{"esds", 1, 1}}},
    {"mp4s", 16, 16, 0, 0, 1, {{"esds", 1, 1}}},
    {"s263", 86, 88, 0, 0, 1, {{"d263", 1, 1}}},
    {"d263", 0, 80, 0, 0, 0, {}},
    {"samr", 36, 36, 0, 0, 1, {{"damr", 1, 1}}},
    {"damr", 0, 20, 0, 0, 0, {}},
    {"esds", 0, 80, 0, 0, 0, {}},
    // Hint tracks.
    {"rtp ", 24, 24, 0, 0, 3, {{"tims", 1, 1}, {"tsro", 1, 0}, {"snro", 1, 0}}},
    {"tims", 0, 12, 0, 0, 0, {}},
    {"tsro", 0, 12, 0, 0, 0, {}},
    {"snro", 0, 12, 0, 0, 0, {}},
    {"hnti", 8, 8, 0, 0, 2, {{"sdp ", 1, 0}, {"rtp ", 1, 0}}},
    {"sdp ", 0, 12, 0, 1, 0, {}},
    {"hinf", 8, 8, 0, 0, 12,
     {{"trpy", 1, 0}, {"nump", 1, 0}, {"tpyl", 1, 0}, {"maxr", 2, 0}, {"dmed", 1, 0},
      {"dimm", 1, 0}, {"drep", 1, 0}, {"tmin", 1, 0}, {"tmax", 1, 0}, {"pmax", 1, 0},
      {"dmax", 1, 0}, {"payt", 1, 0}}},
    {"trpy", 0, 16, 0, 0, 0, {}},
    {"nump", 0, 16, 0, 0, 0, {}},
    {"tpyl", 0, 16, 0, 0, 0, {}},
    {"maxr", 0, 16, 0, 0, 0, {}},
    {"dmed", 0, 16, 0, 0, 0, {}},
    {"dimm", 0, 16, 0, 0, 0, {}},
    {"drep", 0, 16, 0, 0, 0, {}},
    {"tmin", 0, 12, 0, 0, 0, {}},
    {"tmax", 0, 12, 0, 0, 0, {}},
    {"pmax", 0, 12, 0, 0, 0, {}},
    {"dmax", 0, 12, 0, 0, 0, {}},
    {"payt", 0, 12, 0, 0, 0, {}},
    // Movie fragments.
    {"moof", 8, 8, 0, 0, 2, {{"mfhd", 1, 1}, {"traf", 2, 0}}},
    {"mfhd", 0, 16, 0, 0, 0, {}},
    {"traf", 8, 8, 0, 0, 2, {{"tfhd", 1, 1}, {"trun", 2, 0}}},
    {"tfhd", 0, 16, 0, 0, 0, {}},
    {"trun", 0, 16, 0, 0, 0, {}},
};

// Only codes that begin with a lower-case letter can be known.
bool BeginsLowerCase(const char *type) {
    const signed char first = static_cast<signed char>(type[0]);
    return first >= 'a' && first <= 'z';
}

constexpr size_t kTypeCount = sizeof kCatalogue / sizeof kCatalogue[0];

void StoreRules(const TypeEntry &entry, AtomTypeInfo *info) {
    info->childCount = entry.ruleCount;
    for (uint32_t i = 0; i < entry.ruleCount; ++i)
        SetChildRule(i + 1, entry.rules[i].occurrence, entry.rules[i].required, entry.rules[i].type,
                     info);
}

// The catalogue's codes as numbers, sorted, each with its entry and its
// rules already laid out as GetAtomTypeInfo hands them: every atom of a file
// is looked up several times while it is read.
struct TypeIndex {
    TypeIndex() {
        for (size_t i = 0; i < kTypeCount; ++i) {
            const uint32_t code = TypeCode(kCatalogue[i].type);
            size_t at = i;
            for (; at > 0 && codes[at - 1] > code; --at) {
                codes[at] = codes[at - 1];
                entries[at] = entries[at - 1];
            }
            codes[at] = code;
            entries[at] = &kCatalogue[i];
        }
        for (size_t i = 0; i < kTypeCount; ++i) StoreRules(*entries[i], &rules[i]);
    }
    uint32_t codes[kTypeCount] = {};
    const TypeEntry *entries[kTypeCount] = {};
    AtomTypeInfo rules[kTypeCount] = {};  // childCount and childRules of each
};

const TypeIndex &Index() {
    static const TypeIndex index;
    return index;
}

// The position of a code in the index, or kTypeCount.
size_t FindType(const char *type) {
    if (type == nullptr || !BeginsLowerCase(type)) return kTypeCount;
    const TypeIndex &index = Index();
    const uint32_t code = TypeCode(type);
    size_t low = 0, high = kTypeCount;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (index.codes[middle] < code)
            low = middle + 1;
        else
            high = middle;
    }
    return low < kTypeCount && index.codes[low] == code ? low : kTypeCount;
}

const TypeEntry *FindTypeEntry(const char *type) {
    const size_t at = FindType(type);
    return at < kTypeCount ? Index().entries[at] : nullptr;
}

// Rules 1 to childCount and childCount, as StoreRules gives them.
void CopyRules(size_t at, AtomTypeInfo *info) {
    const AtomTypeInfo &laid = Index().rules[at];
    info->childCount = laid.childCount;
    std::memcpy(info->childRules, laid.childRules, laid.childCount * sizeof(ChildRule));
}

bool IsType(const char *type, const char (&code)[5]) { return TypeCode(type) == Code(code); }

}  // namespace

void SetChildRule(uint32_t number, uint32_t occurrence, uint8_t required, const char *type,
                  AtomTypeInfo *info) {
    if (info == nullptr || number < 1 || number > kMaxChildRules) return;
    ChildRule &rule = info->childRules[number - 1];
    rule.occurrence = occurrence;
    rule.required = required;
    if (type != nullptr) std::memcpy(rule.type, type, 4);
}

int32_t GetAtomTypeInfoForCode(const char *type, AtomTypeInfo *info) {
    if (type == nullptr) return -1;
    char code[5];
    CopyAtomType(code, type);
    const size_t at = FindType(code);
    if (at == kTypeCount || info == nullptr) return -1;
    CopyRules(at, info);
    if (IsType(code, "root")) return 0;
    const TypeEntry *entry = Index().entries[at];
    info->headerSize = entry->headerSize;
    info->recordSize = entry->recordSize;
    info->hasTable = entry->hasTable;
    info->entrySize = entry->entrySize;
    return 1;
}

int32_t GetAtomTypeInfo(const AtomNode *node, AtomTypeInfo *info) {
    if (node == nullptr) return -1;
    return GetAtomTypeInfoForCode(node->type, info);
}

// The reader accepts what the catalogue knows, plus "free", but not the 3GPP
// sample entries and their configuration boxes: files that hold them are read
// without them.
int32_t CheckReadableAtomType(const uint8_t *type) {
    if (type == nullptr) return -1;
    char code[5];
    CopyAtomType(code, reinterpret_cast<const char *>(type));
    if (!BeginsLowerCase(code)) return -1;
    if (IsType(code, "free")) return 1;
    static constexpr uint32_t kRejected[] = {Code("s263"), Code("samr"), Code("d263"), Code("damr")};
    static const CodeSet kRejectedSet(kRejected);
    if (TypeIsOneOf(code, kRejectedSet)) return -1;
    const TypeEntry *entry = FindTypeEntry(code);
    if (entry == nullptr) return -1;
    return IsType(code, "root") ? 0 : 1;
}
