// Loading a file's atom hierarchy: a scan of the atom headers that builds the
// tree, then (after records are allocated) an extraction pass that copies each
// atom's leading bytes and its table or text into its record.
//
// Every size read from the file is checked before it is used: sizes below the
// 8-byte header end the scan of their level, nesting and the number of nodes
// are bounded, and no table is allocated for more bytes than the whole file
// holds.
//
// A child is looked for only inside its parent's extent, but a child's own
// size is not compared with its parent's end: the last child of a level may
// run past it, and its own children are then read where it says they are.
#include <cstdio>
#include <cstring>

#include "atom/atom.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kHeaderBytes = 8;

// All positioning is absolute: to the start, then forward.
bool SeekTo(FILE *file, uint64_t position) {
    if (position > kMaxReadableFileSize) return false;
    return std::fseek(file, static_cast<long>(position), SEEK_SET) == 0;
}

struct Header {
    uint32_t size;
    char type[5];
};

// The 8 bytes of a header as they stand in the file.
struct RawHeader {
    uint8_t size[4];
    uint8_t type[4];
};

bool ReadRawHeader(FILE *file, RawHeader *raw) {
    return std::fread(raw->size, 1, 4, file) == 4 && std::fread(raw->type, 1, 4, file) == 4;
}

// Reads the 8-byte header at the stream position.  0: read; -99: short read;
// -1: the whitelist rejects the type.
int32_t ReadHeader(FILE *file, Header *header) {
    RawHeader raw;
    if (!ReadRawHeader(file, &raw)) {
        std::printf("Read data from file error!\n");
        return -99;
    }
    if (CheckReadableAtomType(raw.type) < 0) return -1;
    header->size = ReadBigEndian32(raw.size);
    CopyAtomType(header->type, reinterpret_cast<const char *>(raw.type));
    return 0;
}

// The header at `position`; a position the stream cannot reach reads as a
// short header (it lies past the end of any readable file).
int32_t ReadHeaderAt(FILE *file, uint64_t position, Header *header) {
    if (!SeekTo(file, position)) {
        std::printf("Read data from file error!\n");
        return -99;
    }
    return ReadHeader(file, header);
}

AtomNode *NewNode(const Header &header, uint32_t offset, AtomNode *parent) {
    auto *node = static_cast<AtomNode *>(AllocZeroed(sizeof(AtomNode)));
    if (node == nullptr) return nullptr;
    node->size = header.size;
    CopyAtomType(node->type, header.type);
    node->offset = offset;
    node->parent = parent;
    return node;
}

int Depth(const AtomNode *node) {
    int depth = 0;
    for (; node != nullptr; node = node->parent) ++depth;
    return depth;
}

uint64_t FileSizeOf(FILE *file) {
    const long here = std::ftell(file);
    const int64_t size = StreamSizeAtEnd(file);
    if (here >= 0) std::fseek(file, here, SEEK_SET);
    return size < 0 ? 0 : uint64_t(size);
}

bool IsType(const AtomNode *node, const char *type) { return SameAtomType(node->type, type); }

// Where a table type keeps its entry count, and whether it has a counted
// table at all (the rest of the types with trailing data hold a text).
enum class Trailing { None, Counted, Text, Unknown };

Trailing TrailingKind(const AtomNode *node) {
    for (const char *t : {"ctts", "co64", "elst", "stts", "stsz", "stsc", "stco", "stss", "stsh",
                          "stdp"})
        if (IsType(node, t)) return Trailing::Counted;
    for (const char *t : {"sdp ", "url ", "urn "})
        if (IsType(node, t)) return Trailing::Text;
    if (FreeAtomTables(const_cast<AtomNode *>(node)) == 1) return Trailing::None;
    return Trailing::Unknown;
}

// Reads `bytes` of trailing data from `position` into a new zero-filled
// buffer of the record.  A table or text cut short by the end of the file (a
// download that stopped early) keeps zeros where the file has no bytes: the
// read is not required to deliver them all.
//
// Left to this implementation: trailing data larger than the whole file
// cannot be such a table cut short, only a corrupt count or size; it is not
// read, like a table whose size does not fill its atom, so that no file can
// make the reader reserve memory out of all proportion to its size.
bool ReadTrailing(FILE *file, realStructure *record, uint64_t position, uint64_t bytes) {
    if (bytes > FileSizeOf(file)) return false;
    if (bytes == 0) return true;  // an empty table or text leaves no buffer
    if (!AllocRecordTable(record, uint32_t(bytes))) return false;
    if (SeekTo(file, position)) std::fread(record->table, 1, size_t(bytes), file);
    return true;
}

int32_t ExtractNode(AtomNode *node, FILE *file);

// Extracts the descendants of a node, depth first: -1 when a record of the
// subtree could not be read.
int32_t ExtractSubtree(AtomNode *node, FILE *file) {
    for (AtomNode *child = node->firstChild; child != nullptr; child = child->next) {
        if (child->firstChild != nullptr) ExtractSubtree(child, file);
        if (ExtractNode(child, file) < 0) return -1;
    }
    return 1;
}

// Reads one atom's record and table.  Atoms without a record are skipped.
int32_t ExtractNode(AtomNode *node, FILE *file) {
    if (node->realStructure == nullptr) return 1;
    AtomTypeInfo info{};
    if (GetAtomTypeInfo(node, &info) != 1) return 1;
    const uint32_t count = info.entrySize != 0 ? info.recordSize - 4 : info.recordSize;
    if (ReadAtomRecord(count, node, file, node->realStructure) < 0) {
        std::printf("atom[%s] extract from file error\n", node->type);
        return -99;
    }
    if (info.entrySize != 0) ReadAtomTable(node, &info, file);
    return 1;
}

// Left to this implementation: the number of nodes one scan may make.  A
// child that runs past its parent is read where it says its children are,
// and the levels above go on after the parent's end, over those same bytes:
// every such overrun reads the bytes behind it once more, so a few hundred
// nested overruns in a small file would make nodes without end.  No file
// whose atoms stay inside one another comes near the bound: it has at most
// one header per 8 bytes.
struct ScanBudget {
    uint64_t nodesLeft;
};

ScanBudget BudgetFor(uint64_t fileSize) { return ScanBudget{fileSize / 4 + 1024}; }

int32_t ScanChildren(FILE *file, AtomNode *parent, uint32_t headerSize, ScanBudget *budget);

// Descends into an atom when the catalogue says it holds children.
void ReadChildrenOf(FILE *file, AtomNode *node, ScanBudget *budget) {
    AtomTypeInfo info{};
    if (GetAtomTypeInfo(node, &info) == 1 && info.headerSize != 0 &&
        Depth(node) < kMaxAtomDepth)
        ScanChildren(file, node, info.headerSize, budget);
}

int32_t ScanChildren(FILE *file, AtomNode *parent, uint32_t headerSize, ScanBudget *budget) {
    if (file == nullptr || parent == nullptr) return -99;
    const uint64_t parentEnd = uint64_t(parent->offset) + parent->size;
    uint64_t pos = uint64_t(parent->offset) + headerSize;
    AtomNode *last = nullptr;
    while (pos < parentEnd) {
        if (budget->nodesLeft == 0) return -99;
        Header header{};
        const int32_t read = ReadHeaderAt(file, pos, &header);
        if (read < 0) return read;
        if (header.size < kHeaderBytes) return -99;
        AtomNode *node = NewNode(header, uint32_t(pos), parent);
        if (node == nullptr) return -99;
        --budget->nodesLeft;
        if (last == nullptr)
            parent->firstChild = node;
        else
            last->next = node;
        last = node;
        ReadChildrenOf(file, node, budget);
        pos += header.size;
    }
    return 1;
}

// Notes a top-level box that a tolerant scan passes over.
void PassOver(const RawHeader &raw, uint32_t offset, uint32_t size, LeftOut *left) {
    if (left->skippedBoxes++ == 0) {
        std::memcpy(left->firstSkippedType, raw.type, 4);
        left->firstSkippedOffset = offset;
        left->firstSkippedSize = size;
    }
    left->skippedBytes += size;
}

}  // namespace

int32_t ReadAtomTree(Root_atom *root) { return ReadAtomTreeWith(root, kExactRead, nullptr); }

int32_t ReadAtomTreeWith(Root_atom *root, ReadOptions options, LeftOut *leftOut) {
    if (root == nullptr || root->file == nullptr) return -99;
    if (ReadTopLevelAtomsWith(root, options, leftOut) < 0) return -99;
    ScanBudget budget = BudgetFor(root->fileSize);
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next)
        ReadChildrenOf(root->file, atom, &budget);
    return 1;
}

int32_t ReadTopLevelAtoms(Root_atom *root) { return ReadTopLevelAtomsWith(root, kExactRead, nullptr); }

int32_t ReadTopLevelAtomsWith(Root_atom *root, ReadOptions options, LeftOut *leftOut) {
    LeftOut left{};
    if (leftOut != nullptr) *leftOut = left;
    if (root == nullptr || root->file == nullptr) return -99;
    root->firstAtom = nullptr;
    if (!SeekTo(root->file, 0)) return -99;
    if (root->fileSize == 0) return 1;
    if (root->fileSize >= kMaxReadableFileSize) return -99;
    AtomNode *last = nullptr;
    uint64_t total = 0;
    while (total < root->fileSize) {
        RawHeader raw;
        if (!ReadRawHeader(root->file, &raw)) {
            if (options.tolerant) break;
            std::printf("Read data from file error!\n");
            return -99;
        }
        const uint32_t size = ReadBigEndian32(raw.size);
        const bool sane = size >= kHeaderBytes && total + size <= root->fileSize;
        if (CheckReadableAtomType(raw.type) < 0) {
            if (!options.tolerant) return -1;
            if (!sane) break;
            PassOver(raw, uint32_t(total), size, &left);
        } else {
            // A size below the header (0 and 1 included: the to-end-of-file
            // and 64-bit forms are not supported) would not advance the scan.
            if (size < kHeaderBytes) {
                if (options.tolerant) break;
                return -99;
            }
            Header header{size, {}};
            CopyAtomType(header.type, reinterpret_cast<const char *>(raw.type));
            AtomNode *node = NewNode(header, uint32_t(total), nullptr);
            if (node == nullptr) return -99;
            if (last == nullptr)
                root->firstAtom = node;
            else
                last->next = node;
            last = node;
        }
        total += size;
        if (total < root->fileSize && !SeekTo(root->file, total)) return -99;
    }
    if (total < root->fileSize) {  // only a tolerant scan stops before the end
        left.trailingOffset = uint32_t(total);
        left.trailingBytes = uint32_t(root->fileSize - total);
    }
    if (leftOut != nullptr) *leftOut = left;
    // A tolerant scan that found no box at all has read nothing of the file.
    return root->firstAtom == nullptr && options.tolerant ? -99 : 1;
}

int32_t ReadChildAtoms(FILE *file, AtomNode *parent, uint32_t headerSize) {
    ScanBudget budget = BudgetFor(file != nullptr ? FileSizeOf(file) : 0);
    return ScanChildren(file, parent, headerSize, &budget);
}

int32_t ExtractAtomRecords(Root_atom *root) {
    if (root == nullptr || root->file == nullptr) return -99;
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next) {
        ExtractSubtree(atom, root->file);
        if (ExtractNode(atom, root->file) < 0) return -99;
    }
    return 1;
}

int32_t ReadAtomRecord(uint32_t count, AtomNode *node, FILE *file, realStructure *record) {
    if (node == nullptr) return -99;
    const bool fits = record != nullptr && record->image != nullptr && count <= record->imageSize;
    if (!fits || file == nullptr || !SeekTo(file, node->offset) ||
        std::fread(record->image, 1, count, file) != count) {
        std::printf("Read atom[%s] data from file error!\n", node->type);
        return -99;
    }
    return 1;
}

int32_t ReadAtomTable(AtomNode *node, const AtomTypeInfo *info, FILE *file) {
    if (node == nullptr || info == nullptr || file == nullptr) return -99;
    realStructure *record = node->realStructure;
    if (record == nullptr) return -99;
    const Trailing kind = TrailingKind(node);
    if (kind == Trailing::None) return 1;
    if (kind == Trailing::Unknown) return -1;
    FreeIfSet(record->table);
    record->table = nullptr;
    record->tableBytes = 0;
    const uint32_t fixed = info->recordSize - 4;
    const uint64_t start = uint64_t(node->offset) + fixed;
    if (kind == Trailing::Text) {
        if (node->size <= fixed) return 1;
        const uint64_t length = node->size - fixed;
        if (!ReadTrailing(file, record, start, length)) {
            std::printf("error to read atom[%s] data from file\n", node->type);
            return -99;
        }
        return 1;
    }
    uint64_t count = RecordU32(record, 12);
    if (IsType(node, "stsz")) {
        if (count != 0) return 1;  // one size for every sample: no table
        count = RecordU32(record, 16);
    }
    const uint64_t bytes = count * info->entrySize;
    if (fixed + bytes != node->size || !ReadTrailing(file, record, start, bytes)) {
        std::printf("error to read atom[%s] data from file\n", node->type);
        return -99;
    }
    return 1;
}
