// The in-memory atom tree: nodes, payload records, the catalogue of known
// atom types, the tree reader and the hierarchy check.
//
// A payload record (realStructure) holds an atom's first bytes exactly as they
// stand in the file: image offset n is atom offset n, every multi-byte field
// stays big-endian and is converted where it is used.  Table and text types
// keep their trailing data in a separate owned buffer beside the image (never
// inside it, so image offsets are the same on 32- and 64-bit hosts).
#ifndef CORVANE_ATOM_H
#define CORVANE_ATOM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

// ---------------------------------------------------------------- records

// Bytes of a file that several records' tables share (see the reader):
// released with the last record that uses them.
struct SharedBytes {
    uint8_t *bytes;
    uint32_t users;
};
// One user lets go of the bytes; the last frees them.
void ReleaseSharedBytes(SharedBytes *shared);

// A trailing table or text is tableBytes long, the length its atom gives.
// Only its first tableHeld bytes are stored: a table that the file ends
// inside (a download cut short, or a count no file could hold) is zeros from
// there on, and zeros cost no memory.  Every read goes through TableU32 and
// TableByte, which give those zeros.
struct realStructure {
    uint8_t *image;       // recordSize bytes, zero-filled, type at offset 4
    uint32_t imageSize;   // bytes allocated for image
    uint8_t *table;       // the stored part of the trailing table or text
    uint32_t tableBytes;  // length of the table or text; 0 and table null when none
    uint32_t tableHeld;   // bytes stored at table (at most tableBytes)
    SharedBytes *shared;  // when set, table points into these bytes; else it is owned
};

struct AtomNode {
    uint32_t size;       // total size, header included, host order
    char type[8];        // four characters, NUL, padding
    uint32_t offset;     // absolute file offset of the first header byte
    AtomNode *next;
    AtomNode *parent;
    AtomNode *firstChild;
    struct realStructure *realStructure;
};

struct Root_atom {
    char path[256];
    uint32_t fileSize;
    FILE *file;
    AtomNode *firstAtom;
};

// ---------------------------------------------------------------- byte order, type codes

uint32_t ReadBigEndian32(const uint8_t *bytes);
uint32_t SwapBytes32(uint32_t word);
uint16_t SwapBytes16(uint16_t word);
bool SameAtomType(const char *a, const char *b);
// The four bytes of a type code as one number (first byte highest).  Two
// codes without a NUL are the same type when their numbers are equal: the
// lookups against the catalogue's codes compare numbers, not strings.
constexpr uint32_t TypeCode(const char *type) {
    return uint32_t(uint8_t(type[0])) << 24 | uint32_t(uint8_t(type[1])) << 16 |
           uint32_t(uint8_t(type[2])) << 8 | uint32_t(uint8_t(type[3]));
}
// A set of type codes (without NULs), sorted once for lookups by halves.
template <size_t N>
struct CodeSet {
    explicit CodeSet(const uint32_t (&list)[N]) {
        for (size_t i = 0; i < N; ++i) {
            size_t at = i;
            for (; at > 0 && codes[at - 1] > list[i]; --at) codes[at] = codes[at - 1];
            codes[at] = list[i];
        }
    }
    bool Holds(uint32_t code) const {
        size_t low = 0, high = N;
        while (low < high) {
            const size_t middle = (low + high) / 2;
            if (codes[middle] < code)
                low = middle + 1;
            else
                high = middle;
        }
        return low < N && codes[low] == code;
    }
    uint32_t codes[N] = {};
};
// Whether a type is one of a set's codes.
template <size_t N>
bool TypeIsOneOf(const char *type, const CodeSet<N> &set) {
    return set.Holds(TypeCode(type));
}
// The code of a four-letter literal, for the tables of codes.
constexpr uint32_t Code(const char (&type)[5]) { return TypeCode(type); }
bool CopyAtomType(char *destination, const char *source);

// ---------------------------------------------------------------- memory

// The largest block one allocation may give.  A process of 32 bits cannot
// hold a block of 2 GiB or more (its whole address space for data is 2 GiB),
// so the library refuses such a block on every build, as the allocation
// there would fail: the results stay those of the failed allocation, whatever
// the machine.
constexpr uint64_t kLargestBlock = 0x7FFFFFFFull;
inline bool BlockFits(uint64_t bytes) { return bytes <= kLargestBlock; }

// A zero-filled block; null when it cannot be had (or would not fit).
void *AllocZeroed(size_t bytes);
void *ResizeBuffer(void *block, int32_t bytes);
void FreeIfSet(void *block);

// ---------------------------------------------------------------- records and subtrees

int32_t AllocAtomRecord(uint32_t recordSize, const char *type, realStructure **out);
int32_t AllocSubtreeRecords(AtomNode *node);
int32_t AllocTreeRecords(Root_atom *root);
int32_t FreeAtomTables(AtomNode *node);
int32_t FreeAtomSubtree(AtomNode *node);

// Releases a record: its trailing buffer, its image and the record itself.
void FreeAtomRecord(realStructure *record);
// Releases every top-level atom of a tree (subtrees, tables, records, nodes)
// and leaves firstAtom null.  The Root_atom itself and its stream are kept.
void FreeAtomTree(Root_atom *root);
// Releases a detached subtree: the node's descendants, then the node with its
// tables and record.
void FreeAtomNode(AtomNode *node);

// Bounds-checked access to a record's image and table, big-endian.
// Reads outside what the record holds give 0 (or null); stores outside it are
// dropped.
uint32_t RecordU32(const realStructure *record, uint32_t offset);
uint16_t RecordU16(const realStructure *record, uint32_t offset);
uint8_t RecordU8(const realStructure *record, uint32_t offset);
const uint8_t *RecordBytes(const realStructure *record, uint32_t offset, uint32_t count);
void StoreU32(realStructure *record, uint32_t offset, uint32_t value);
void StoreU16(realStructure *record, uint32_t offset, uint16_t value);
void StoreU8(realStructure *record, uint32_t offset, uint8_t value);
void StoreBytes(realStructure *record, uint32_t offset, const void *bytes, uint32_t count);
// Word i of the trailing table (byte offset 4 * i); 0 past the bytes stored
// and outside the table.
uint32_t TableU32(const realStructure *record, uint32_t index);
// Byte i of the trailing table or text, the same way.
uint8_t TableByte(const realStructure *record, uint32_t index);
// Entries of `entryBytes` bytes the table has, by its length.
inline uint32_t TableEntries(const realStructure *record, uint32_t entryBytes) {
    return record != nullptr ? record->tableBytes / entryBytes : 0;
}
// Entries of `entryBytes` bytes that have at least one byte stored; every
// entry after them reads as zeros.
inline uint32_t TableEntriesHeld(const realStructure *record, uint32_t entryBytes) {
    if (record == nullptr) return 0;
    return uint32_t((uint64_t(record->tableHeld) + entryBytes - 1) / entryBytes);
}
void StoreTableU32(realStructure *record, uint32_t index, uint32_t value);
// Replaces the trailing buffer by a new zero-filled one of the given size,
// all of it stored.  Returns false (and leaves no buffer) when it cannot be
// allocated.
bool AllocRecordTable(realStructure *record, uint32_t bytes);
// Lets go of the trailing buffer (freed, or its shared bytes given back) and
// leaves the record without one.
void ReleaseRecordTable(realStructure *record);

// ---------------------------------------------------------------- walks

// A stack for the walks over a tree.  A file's atoms may nest as deep as its
// bytes allow, so no walk recurses once per level on the call stack; the
// frames live here, in memory grown with malloc.  Push returns false when
// the memory cannot be had.
template <typename Frame>
struct FrameStack {
    FrameStack() = default;
    FrameStack(const FrameStack &) = delete;
    FrameStack &operator=(const FrameStack &) = delete;
    ~FrameStack() { std::free(frames); }
    bool Push(const Frame &frame) {
        if (count == capacity) {
            const size_t grown = capacity ? 2 * capacity : 16;
            void *more = BlockFits(uint64_t(grown) * sizeof(Frame))
                             ? std::realloc(frames, grown * sizeof(Frame))
                             : nullptr;
            if (more == nullptr) return false;
            frames = static_cast<Frame *>(more);
            capacity = grown;
        }
        frames[count++] = frame;
        return true;
    }
    Frame &Top() { return frames[count - 1]; }
    void Pop() { --count; }
    bool Empty() const { return count == 0; }
    Frame *frames = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

// Visits the descendants of `node` as a walk that recurses into the children
// would: for each child in order, first (when it has children) the child's
// own descendants the same way, their outcome not looked at, then
// visit(child).  A visit that returns false ends its level, as a recursive
// walk returning at once would.  Returns false when a visit of one of
// `node`'s own children did (or when memory for the walk ran out).  The
// visit may release the child it is given.
template <typename Visit>
bool VisitDescendantsAfter(AtomNode *node, Visit visit) {
    struct Frame {
        AtomNode *child;  // the child of this level being walked
        bool entered;     // its descendants have been walked
    };
    FrameStack<Frame> stack;
    if (node == nullptr || !stack.Push({node->firstChild, false})) return node == nullptr;
    while (!stack.Empty()) {
        Frame &frame = stack.Top();
        AtomNode *child = frame.child;
        if (child == nullptr) {
            stack.Pop();
            continue;
        }
        if (!frame.entered && child->firstChild != nullptr) {
            frame.entered = true;
            if (!stack.Push({child->firstChild, false})) return false;
            continue;
        }
        frame.child = child->next;
        frame.entered = false;
        if (!visit(child)) {
            if (stack.count == 1) return false;
            stack.Pop();
        }
    }
    return true;
}

// Navigation: the first child of the given type, or null.
AtomNode *FindChildAtom(const AtomNode *parent, const char *type);
// Follows a path of types one level at a time from `from`'s children.  On a
// missing level returns null and, when `missing` is given, stores the type
// that was not found.
AtomNode *FindAtomPath(const AtomNode *from, std::initializer_list<const char *> path,
                       const char **missing = nullptr);
// The first top-level atom of the given type, or null.
AtomNode *FindTopLevelAtom(const Root_atom *root, const char *type);

// ---------------------------------------------------------------- catalogue

struct ChildRule {
    uint32_t occurrence;  // 1: at most one; 2: any number
    uint8_t required;     // 1: at least one must be present
    char type[4];
};

constexpr uint32_t kMaxChildRules = 12;

struct AtomTypeInfo {
    uint32_t headerSize;
    uint32_t recordSize;
    uint8_t hasTable;
    uint32_t entrySize;
    uint32_t childCount;
    ChildRule childRules[kMaxChildRules];  // rule n is childRules[n - 1]
};

// 1: known and filled; 0: "root" (only the child rules filled); -1: unknown,
// info untouched.
int32_t GetAtomTypeInfo(const AtomNode *node, AtomTypeInfo *info);
void SetChildRule(uint32_t number, uint32_t occurrence, uint8_t required, const char *type,
                  AtomTypeInfo *info);
// The reading whitelist, for the four type bytes of a header just read.
int32_t CheckReadableAtomType(const uint8_t *type);
// The catalogue lookup for a bare four-character code.
int32_t GetAtomTypeInfoForCode(const char *type, AtomTypeInfo *info);

// ---------------------------------------------------------------- reading a file

// Files of this size or more are refused: offsets are unsigned 32-bit and
// streams are positioned with signed 32-bit seeks on the original platform.
constexpr uint64_t kMaxReadableFileSize = 0x80000000ull;

int32_t ReadAtomTree(Root_atom *root);
int32_t ReadTopLevelAtoms(Root_atom *root);

// How the top-level scan treats bytes that do not form a box it reads.
// Exact (what the exports do): a type the whitelist rejects, a size below
// the header or a header cut short fails the scan.  Tolerant (the corvane
// tool): a box of a rejected type whose size is sane (at least the header,
// inside the file) is passed over, and bytes that do not form a box (a
// header cut short, a size below the header, a rejected type with a size
// that is not sane) end the scan as trailing bytes; the scan fails only
// when no box at all is read.  Nested levels are read the same way in both.
struct ReadOptions {
    bool tolerant;
};
constexpr ReadOptions kExactRead{false};
constexpr ReadOptions kTolerantRead{true};

// What a tolerant scan left out: the boxes passed over (the first one named)
// and the trailing bytes.
struct LeftOut {
    uint32_t skippedBoxes;
    uint64_t skippedBytes;
    uint8_t firstSkippedType[4];  // as in the file, not necessarily printable
    uint32_t firstSkippedOffset;
    uint32_t firstSkippedSize;
    uint32_t trailingOffset;
    uint32_t trailingBytes;       // 0: the boxes reach the end of the file
};

// ReadTopLevelAtoms and ReadAtomTree with options; `leftOut` (optional)
// receives what a tolerant scan left out.  With kExactRead they are
// ReadTopLevelAtoms and ReadAtomTree.
int32_t ReadTopLevelAtomsWith(Root_atom *root, ReadOptions options, LeftOut *leftOut);
int32_t ReadAtomTreeWith(Root_atom *root, ReadOptions options, LeftOut *leftOut);
int32_t ReadChildAtoms(FILE *file, AtomNode *parent, uint32_t headerSize);
int32_t ExtractAtomRecords(Root_atom *root);
int32_t ReadAtomRecord(uint32_t count, AtomNode *node, FILE *file, realStructure *record);
int32_t ReadAtomTable(AtomNode *node, const AtomTypeInfo *info, FILE *file);

// ---------------------------------------------------------------- validation

bool ValidateAtomHierarchy(const AtomNode *node);

#endif
