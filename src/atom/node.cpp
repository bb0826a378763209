// Atom nodes, payload records and the small byte-order and memory helpers
// that every subsystem uses.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "atom/atom.h"

// ---------------------------------------------------------------- byte order, type codes

uint32_t ReadBigEndian32(const uint8_t *bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

uint32_t SwapBytes32(uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

uint16_t SwapBytes16(uint16_t word) { return uint16_t((word >> 8) | (word << 8)); }

bool SameAtomType(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return false;
    return std::strncmp(a, b, 4) == 0;
}

bool CopyAtomType(char *destination, const char *source) {
    if (destination == nullptr || source == nullptr) return false;
    std::memcpy(destination, source, 4);
    destination[4] = '\0';
    return true;
}

// ---------------------------------------------------------------- memory

void *AllocZeroed(size_t bytes) {
    if (!BlockFits(bytes)) return nullptr;
    return std::calloc(1, bytes == 0 ? 1 : bytes);
}

void *ResizeBuffer(void *block, int32_t bytes) {
    if (block == nullptr) return nullptr;
    return std::realloc(block, bytes < 1 ? 1 : size_t(bytes));
}

void FreeIfSet(void *block) {
    if (block != nullptr) std::free(block);
}

// ---------------------------------------------------------------- records

int32_t AllocAtomRecord(uint32_t recordSize, const char *type, realStructure **out) {
    if (recordSize == 0) return -99;
    auto *record = static_cast<realStructure *>(AllocZeroed(sizeof(realStructure)));
    uint8_t *image = record ? static_cast<uint8_t *>(AllocZeroed(recordSize)) : nullptr;
    if (image == nullptr) {
        FreeIfSet(record);
        if (out != nullptr) *out = nullptr;
        return -99;
    }
    record->image = image;
    record->imageSize = recordSize;
    if (type != nullptr && recordSize >= 8) std::memcpy(image + 4, type, 4);
    if (out != nullptr) *out = record;
    return 1;
}

namespace {

// Gives a node its record from the catalogue's record size.  Types the
// catalogue does not describe (among readable types only "free") get none.
// Returns false when a described type gets no record.
bool AllocNodeRecord(AtomNode *node) {
    AtomTypeInfo info{};
    if (GetAtomTypeInfo(node, &info) != 1) return true;
    realStructure *record = nullptr;
    AllocAtomRecord(info.recordSize, node->type, &record);
    if (record == nullptr) return false;
    node->realStructure = record;
    return true;
}

bool HasTrailingBuffer(const char *type) {
    static constexpr uint32_t kTypes[] = {Code("ctts"), Code("co64"), Code("elst"), Code("stts"),
                                          Code("stsz"), Code("stsc"), Code("stco"), Code("stss"),
                                          Code("stsh"), Code("stdp"), Code("sdp "), Code("url "),
                                          Code("urn "), Code("mpod")};
    static const CodeSet kSet(kTypes);
    return TypeIsOneOf(type, kSet);
}

bool HasNoBuffer(const char *type) {
    static constexpr uint32_t kTypes[] = {
        Code("cprt"), Code("dref"), Code("dpnd"), Code("dmed"), Code("dimm"), Code("drep"),
        Code("dmax"), Code("esds"), Code("edts"), Code("free"), Code("ftyp"), Code("hdlr"),
        Code("hint"), Code("hnti"), Code("hinf"), Code("iods"), Code("ipir"), Code("mdia"),
        Code("minf"), Code("mdhd"), Code("mdat"), Code("moov"), Code("mvhd"), Code("mp4a"),
        Code("mp4s"), Code("mp4v"), Code("moof"), Code("mfhd"), Code("mvex"), Code("maxr"),
        Code("nmhd"), Code("nump"), Code("pmax"), Code("payt"), Code("rtp "), Code("stbl"),
        Code("stsd"), Code("smhd"), Code("snro"), Code("sync"), Code("skip"), Code("trak"),
        Code("tkhd"), Code("tref"), Code("traf"), Code("tfhd"), Code("trex"), Code("trun"),
        Code("tmin"), Code("tmax"), Code("trpy"), Code("tpyl"), Code("tims"), Code("tsro"),
        Code("udta"), Code("vmhd")};
    static const CodeSet kSet(kTypes);
    return TypeIsOneOf(type, kSet);
}

}  // namespace

// Depth first, each node's descendants before the node; a record that cannot
// be made ends the walk of its level (the siblings after it get none).
int32_t AllocSubtreeRecords(AtomNode *node) {
    if (node == nullptr) return 1;
    const bool whole = VisitDescendantsAfter(node, [](AtomNode *child) {
        if (AllocNodeRecord(child)) return true;
        std::printf("atom[%s] allocate error\n", child->type);
        return false;
    });
    return whole ? 1 : -1;
}

int32_t AllocTreeRecords(Root_atom *root) {
    if (root == nullptr) return -99;
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next) {
        AllocSubtreeRecords(atom);
        if (!AllocNodeRecord(atom)) {
            std::printf("atom[%s] allocate error\n", atom->type);
            return -99;
        }
    }
    return 1;
}

// The trailing buffer is held beside the image, so releasing it is the same
// for every type that has one; the type list only decides the result.
int32_t FreeAtomTables(AtomNode *node) {
    if (node == nullptr) return -1;
    realStructure *record = node->realStructure;
    if (HasTrailingBuffer(node->type)) {
        ReleaseRecordTable(record);
        return 1;
    }
    return HasNoBuffer(node->type) ? 1 : -1;
}

void ReleaseSharedBytes(SharedBytes *shared) {
    if (shared == nullptr || --shared->users != 0) return;
    std::free(shared->bytes);
    std::free(shared);
}

void ReleaseRecordTable(realStructure *record) {
    if (record == nullptr) return;
    if (record->shared != nullptr)
        ReleaseSharedBytes(record->shared);
    else
        FreeIfSet(record->table);
    record->shared = nullptr;
    record->table = nullptr;
    record->tableBytes = 0;
    record->tableHeld = 0;
}

void FreeAtomRecord(realStructure *record) {
    if (record == nullptr) return;
    ReleaseRecordTable(record);
    FreeIfSet(record->image);
    std::free(record);
}

namespace {

// Releases one node with its tables and record, not its descendants.
void FreeOneNode(AtomNode *node) {
    if (node->realStructure != nullptr) {
        FreeAtomTables(node);
        FreeAtomRecord(node->realStructure);
    }
    std::free(node);
}

}  // namespace

// Without a stack, however deep the tree: a node's children are moved in
// front of it in the list still to be released, then the node goes when its
// turn comes again, childless.
int32_t FreeAtomSubtree(AtomNode *node) {
    if (node == nullptr) return 1;
    AtomNode *pending = node->firstChild;
    while (pending != nullptr) {
        AtomNode *first = pending;
        if (first->firstChild != nullptr) {
            AtomNode *last = first->firstChild;
            while (last->next != nullptr) last = last->next;
            last->next = first;
            pending = first->firstChild;
            first->firstChild = nullptr;
            continue;
        }
        pending = first->next;
        FreeOneNode(first);
    }
    return 1;
}

void FreeAtomNode(AtomNode *node) {
    if (node == nullptr) return;
    if (node->firstChild != nullptr) FreeAtomSubtree(node);
    FreeOneNode(node);
}

void FreeAtomTree(Root_atom *root) {
    if (root == nullptr) return;
    while (root->firstAtom != nullptr) {
        AtomNode *atom = root->firstAtom;
        root->firstAtom = atom->next;
        FreeAtomNode(atom);
    }
}

// ---------------------------------------------------------------- bounded record access

namespace {

bool Holds(uint32_t have, uint32_t offset, uint32_t count) {
    return offset <= have && count <= have - offset;
}

}  // namespace

const uint8_t *RecordBytes(const realStructure *record, uint32_t offset, uint32_t count) {
    if (record == nullptr || record->image == nullptr) return nullptr;
    if (!Holds(record->imageSize, offset, count)) return nullptr;
    return record->image + offset;
}

uint32_t RecordU32(const realStructure *record, uint32_t offset) {
    const uint8_t *p = RecordBytes(record, offset, 4);
    return p ? ReadBigEndian32(p) : 0;
}

uint16_t RecordU16(const realStructure *record, uint32_t offset) {
    const uint8_t *p = RecordBytes(record, offset, 2);
    return p ? uint16_t((p[0] << 8) | p[1]) : 0;
}

uint8_t RecordU8(const realStructure *record, uint32_t offset) {
    const uint8_t *p = RecordBytes(record, offset, 1);
    return p ? *p : 0;
}

void StoreBytes(realStructure *record, uint32_t offset, const void *bytes, uint32_t count) {
    if (record == nullptr || record->image == nullptr || bytes == nullptr) return;
    if (!Holds(record->imageSize, offset, count)) return;
    std::memcpy(record->image + offset, bytes, count);
}

void StoreU32(realStructure *record, uint32_t offset, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                              uint8_t(value)};
    StoreBytes(record, offset, bytes, 4);
}

void StoreU16(realStructure *record, uint32_t offset, uint16_t value) {
    const uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
    StoreBytes(record, offset, bytes, 2);
}

void StoreU8(realStructure *record, uint32_t offset, uint8_t value) {
    StoreBytes(record, offset, &value, 1);
}

uint32_t TableU32(const realStructure *record, uint32_t index) {
    if (record == nullptr || record->table == nullptr) return 0;
    const uint64_t at = 4 * uint64_t(index);
    if (at + 4 <= record->tableHeld) return ReadBigEndian32(record->table + at);
    // A word the stored bytes end inside: the file's bytes, then zeros.
    uint8_t word[4] = {};
    for (uint32_t i = 0; i < 4; ++i) word[i] = TableByte(record, uint32_t(at + i));
    return at < record->tableBytes ? ReadBigEndian32(word) : 0;
}

uint8_t TableByte(const realStructure *record, uint32_t index) {
    if (record == nullptr || record->table == nullptr || index >= record->tableHeld) return 0;
    return record->table[index];
}

void StoreTableU32(realStructure *record, uint32_t index, uint32_t value) {
    if (record == nullptr || record->table == nullptr) return;
    if (index >= record->tableHeld / 4) return;
    uint8_t *p = record->table + 4 * size_t(index);
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

bool AllocRecordTable(realStructure *record, uint32_t bytes) {
    if (record == nullptr) return false;
    ReleaseRecordTable(record);
    auto *table = static_cast<uint8_t *>(AllocZeroed(bytes));
    if (table == nullptr) return false;
    record->table = table;
    record->tableBytes = bytes;
    record->tableHeld = bytes;
    return true;
}

// ---------------------------------------------------------------- navigation

AtomNode *FindChildAtom(const AtomNode *parent, const char *type) {
    if (parent == nullptr) return nullptr;
    for (AtomNode *child = parent->firstChild; child != nullptr; child = child->next)
        if (SameAtomType(child->type, type)) return child;
    return nullptr;
}

AtomNode *FindAtomPath(const AtomNode *from, std::initializer_list<const char *> path,
                       const char **missing) {
    const AtomNode *at = from;
    for (const char *type : path) {
        AtomNode *found = FindChildAtom(at, type);
        if (found == nullptr) {
            if (missing != nullptr) *missing = type;
            return nullptr;
        }
        at = found;
    }
    return const_cast<AtomNode *>(at);
}

AtomNode *FindTopLevelAtom(const Root_atom *root, const char *type) {
    if (root == nullptr) return nullptr;
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next)
        if (SameAtomType(atom->type, type)) return atom;
    return nullptr;
}
