// Loading a file's atom hierarchy: a scan of the atom headers that builds the
// tree, then (after records are allocated) an extraction pass that copies each
// atom's leading bytes and its table or text into its record.
//
// Positions and sizes are unsigned 32-bit and wrap as such: an atom's end is
// its offset plus its size modulo 2^32, so a size near 2^32 ends before the
// atom begins (it has no children) and a child whose end wraps sends its
// level's scan back to an earlier position.
//
// A child is looked for only inside its parent's extent, but a child's own
// size is not compared with its parent's end: the last child of a level may
// run past it, and its own children are then read where it says they are.
// The levels above go on after the parent's end, over the bytes that child
// covered: those bytes are read again, once for every such ancestor.
//
// The scan goes as deep as the atoms nest, with its levels on a stack of its
// own rather than on the call stack.  Where the scan as written would never
// end, it is ended (the choices below say where), and the number of nodes
// read again is bounded; no other size read from the file is trusted with
// memory: a table or text costs only the bytes the file holds of it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "atom/atom.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kHeaderBytes = 8;

// All positioning is absolute: to the start, then forward.  A position of
// 2 GiB or more lies past the end of every file the reader takes.
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

// Headers and records are a few bytes each at positions all over the file:
// in file order while the scan goes down and along, backward while the
// extraction comes back up, and again where levels read the same bytes
// again.  They are read through pages of the file held here (a seek on the
// stream costs a system call even where the stream's buffer holds the
// bytes): up to kPages pages of kPageBytes, a page's slot given by its
// number, each read the first time it is asked for.  A page that cannot be
// had is read from the stream each time.
constexpr uint32_t kPageBytes = 4096;
constexpr uint32_t kPages = 256;

class FileWindow {
public:
    explicit FileWindow(FILE *file_) : file(file_) {}
    FileWindow(const FileWindow &) = delete;
    FileWindow &operator=(const FileWindow &) = delete;
    ~FileWindow() {
        for (Page &page : pages_) std::free(page.bytes);
    }
    // Copies up to `count` bytes from `position`; the count delivered (fewer
    // at the end of the file).
    uint32_t Read(uint32_t position, void *into, uint32_t count) {
        auto *out = static_cast<uint8_t *>(into);
        uint32_t delivered = 0;
        while (delivered < count) {
            const uint64_t at = uint64_t(position) + delivered;
            const Page *page = PageOf(at / kPageBytes);
            if (page == nullptr) return delivered + Direct(at, out + delivered, count - delivered);
            const uint32_t within = uint32_t(at % kPageBytes);
            if (within >= page->length) break;
            const uint32_t take = page->length - within < count - delivered ? page->length - within
                                                                            : count - delivered;
            std::memcpy(out + delivered, page->bytes + within, take);
            delivered += take;
        }
        return delivered;
    }
    FILE *const file;

private:
    struct Page {
        uint64_t number;
        uint32_t length;  // bytes of the page in the file
        uint8_t *bytes;   // null until the slot is first used
    };
    const Page *PageOf(uint64_t number) {
        Page &page = pages_[number % kPages];
        if (page.bytes != nullptr && page.number == number) return &page;
        if (page.bytes == nullptr) page.bytes = static_cast<uint8_t *>(std::malloc(kPageBytes));
        if (page.bytes == nullptr || !SeekTo(file, number * kPageBytes)) return nullptr;
        page.number = number;
        page.length = uint32_t(std::fread(page.bytes, 1, kPageBytes, file));
        return &page;
    }
    uint32_t Direct(uint64_t position, uint8_t *into, uint32_t count) {
        if (!SeekTo(file, position)) return 0;
        return uint32_t(std::fread(into, 1, count, file));
    }
    Page pages_[kPages] = {};
};

// Reads the 8-byte header at `position`.  0: read; -99: short read
// ("Read data from file error!"); -1: the whitelist rejects the type.
int32_t ReadHeaderAt(FileWindow *window, uint32_t position, Header *header) {
    RawHeader raw;
    if (window->Read(position, &raw, 8) != 8) {
        std::printf("Read data from file error!\n");
        return -99;
    }
    if (CheckReadableAtomType(raw.type) < 0) return -1;
    header->size = ReadBigEndian32(raw.size);
    CopyAtomType(header->type, reinterpret_cast<const char *>(raw.type));
    return 0;
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

uint64_t FileSizeOf(FILE *file) {
    const long here = std::ftell(file);
    const int64_t size = StreamSizeAtEnd(file);
    if (here >= 0) std::fseek(file, here, SEEK_SET);
    return size < 0 ? 0 : uint64_t(size);
}

bool IsType(const AtomNode *node, const char *type) { return SameAtomType(node->type, type); }

// The catalogue's offset of an atom's first child; 0 when it holds none.
uint32_t ChildOffsetOf(const AtomNode *node) {
    AtomTypeInfo info{};
    return GetAtomTypeInfo(node, &info) == 1 ? info.headerSize : 0;
}

// ---------------------------------------------------------------- positions seen

// A set of 32-bit positions: open addressing over slots that hold the
// position plus one (0: empty), in memory grown with malloc.  A set of all
// zeros is empty.
struct PositionSet {
    uint64_t *slots;
    size_t capacity;  // a power of two, or 0
    size_t count;
};

size_t HomeOf(const PositionSet &set, uint32_t position) {
    return size_t(position * 2654435761u) & (set.capacity - 1);
}

bool SetContains(const PositionSet &set, uint32_t position) {
    if (set.capacity == 0) return false;
    for (size_t i = HomeOf(set, position);; i = (i + 1) & (set.capacity - 1)) {
        if (set.slots[i] == 0) return false;
        if (set.slots[i] == uint64_t(position) + 1) return true;
    }
}

void PlaceKey(PositionSet *set, uint64_t key) {
    size_t i = HomeOf(*set, uint32_t(key - 1));
    while (set->slots[i] != 0) i = (i + 1) & (set->capacity - 1);
    set->slots[i] = key;
}

bool GrowSet(PositionSet *set) {
    const size_t capacity = set->capacity ? 2 * set->capacity : 64;
    if (!BlockFits(uint64_t(capacity) * sizeof(uint64_t))) return false;
    auto *slots = static_cast<uint64_t *>(std::calloc(capacity, sizeof(uint64_t)));
    if (slots == nullptr) return false;
    const PositionSet old = *set;
    set->slots = slots;
    set->capacity = capacity;
    for (size_t i = 0; i < old.capacity; ++i)
        if (old.slots[i] != 0) PlaceKey(set, old.slots[i]);
    std::free(old.slots);
    return true;
}

// False when the memory to hold the position cannot be had.
bool SetInsert(PositionSet *set, uint32_t position) {
    if (SetContains(*set, position)) return true;
    if (2 * (set->count + 1) > set->capacity && !GrowSet(set)) return false;
    PlaceKey(set, uint64_t(position) + 1);
    ++set->count;
    return true;
}

// Backward-shift deletion: the slots after the one emptied move back when
// their probe run would otherwise be broken.
void SetErase(PositionSet *set, uint32_t position) {
    if (set->capacity == 0) return;
    const size_t mask = set->capacity - 1;
    size_t i = HomeOf(*set, position);
    while (set->slots[i] != uint64_t(position) + 1) {
        if (set->slots[i] == 0) return;
        i = (i + 1) & mask;
    }
    set->slots[i] = 0;
    --set->count;
    for (size_t j = (i + 1) & mask; set->slots[j] != 0; j = (j + 1) & mask) {
        const size_t home = HomeOf(*set, uint32_t(set->slots[j] - 1));
        const bool stays = i < j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        set->slots[i] = set->slots[j];
        set->slots[j] = 0;
        i = j;
    }
}

void FreeSet(PositionSet *set) {
    std::free(set->slots);
    *set = PositionSet{};
}

// The positions one level has read, kept from the moment it needs them:
// while no end wraps past 2^32 a level's positions only grow, so none can
// come again.  At the first wrap the level's atoms so far (the list from
// `first`) are noted, then every one after.  False when memory runs out.
bool NoteLevelPosition(PositionSet *seen, bool *wrapped, const AtomNode *first, uint32_t position,
                       uint32_t next) {
    if (!*wrapped && next <= position) {
        *wrapped = true;
        for (const AtomNode *node = first; node != nullptr; node = node->next)
            if (!SetInsert(seen, node->offset)) return false;
    }
    return !*wrapped || SetInsert(seen, position);
}

// ---------------------------------------------------------------- trailing data

// Where a table type keeps its entry count, and whether it has a counted
// table at all (the rest of the types with trailing data hold a text).
enum class Trailing { None, Counted, Text, Unknown };

Trailing TrailingKind(const AtomNode *node) {
    static constexpr uint32_t kCounted[] = {Code("ctts"), Code("co64"), Code("elst"), Code("stts"),
                                            Code("stsz"), Code("stsc"), Code("stco"), Code("stss"),
                                            Code("stsh"), Code("stdp")};
    static constexpr uint32_t kText[] = {Code("sdp "), Code("url "), Code("urn ")};
    static const CodeSet kCountedSet(kCounted);
    static const CodeSet kTextSet(kText);
    if (TypeIsOneOf(node->type, kCountedSet)) return Trailing::Counted;
    if (TypeIsOneOf(node->type, kTextSet)) return Trailing::Text;
    if (FreeAtomTables(const_cast<AtomNode *>(node)) == 1) return Trailing::None;
    return Trailing::Unknown;
}

// Where the tables of one extraction come from.  Tables are copies of the
// file's bytes, each its own; tables of atoms that lie apart hold no more
// bytes together than the file has.  Atoms that overlap (a child running
// past its parent, nodes read again) can make many tables of the same bytes:
// once the copies would pass the size of the file, the file is held whole,
// once, and the tables after that point into it.
struct TableSource {
    FILE *file;
    uint64_t fileSize;
    uint64_t copied;      // bytes of the copies made so far
    SharedBytes *whole;   // the file's bytes, held by the source and the tables
    bool wholeFailed;     // no memory for them: copies go on
};

void EndTableSource(TableSource *source) {
    ReleaseSharedBytes(source->whole);
    source->whole = nullptr;
}

// The whole file, read once (a short read leaves zeros).
SharedBytes *WholeFile(TableSource *source) {
    if (source->whole != nullptr || source->wholeFailed) return source->whole;
    auto *whole = static_cast<SharedBytes *>(std::calloc(1, sizeof(SharedBytes)));
    if (whole != nullptr) whole->bytes = static_cast<uint8_t *>(AllocZeroed(size_t(source->fileSize)));
    if (whole == nullptr || whole->bytes == nullptr) {
        std::free(whole);
        source->wholeFailed = true;
        return nullptr;
    }
    if (SeekTo(source->file, 0)) std::fread(whole->bytes, 1, size_t(source->fileSize), source->file);
    whole->users = 1;  // the source's
    source->whole = whole;
    return whole;
}

// Reads `bytes` of trailing data from `position` into the record.  The table
// or text is that long, zero-filled, and holds the file's bytes where the
// file has them: one that the file ends inside (a download that stopped
// early, or a count no file could hold) reads as zeros from there on.  Only
// the bytes the file holds are stored, so a count costs memory in proportion
// to the file, not to itself.  False when the block for `bytes` could not be
// had: 2 GiB or more (see kLargestBlock), or no memory for what is stored.
bool ReadTrailing(TableSource *source, realStructure *record, uint32_t position, uint32_t bytes) {
    if (!BlockFits(bytes)) return false;
    const uint64_t inFile = position < source->fileSize ? source->fileSize - position : 0;
    const uint32_t held = uint32_t(bytes < inFile ? bytes : inFile);
    if (held > 0 && source->copied + held > source->fileSize) {
        if (SharedBytes *whole = WholeFile(source)) {
            ++whole->users;
            record->shared = whole;
            record->table = whole->bytes + position;
            record->tableBytes = bytes;
            record->tableHeld = held;
            return true;
        }
    }
    // A table of which the file holds nothing still has a (1-byte) buffer:
    // a table that was read has one.
    auto *stored = static_cast<uint8_t *>(AllocZeroed(held));
    if (stored == nullptr) return false;
    if (held > 0 && SeekTo(source->file, position)) std::fread(stored, 1, held, source->file);
    source->copied += held;
    record->table = stored;
    record->tableBytes = bytes;
    record->tableHeld = held;
    return true;
}

// ReadAtomTable from a source of tables.
int32_t ReadTable(AtomNode *node, const AtomTypeInfo *info, TableSource *source) {
    if (node == nullptr || info == nullptr || source->file == nullptr) return -99;
    realStructure *record = node->realStructure;
    if (record == nullptr) return -99;
    const Trailing kind = TrailingKind(node);
    if (kind == Trailing::None) return 1;
    if (kind == Trailing::Unknown) return -1;
    ReleaseRecordTable(record);
    const uint32_t fixed = info->recordSize - 4;
    const uint32_t start = node->offset + fixed;
    if (kind == Trailing::Text) {
        // An atom shorter than its image gives a length that wraps to near
        // 2^32: a block no allocation gives.
        const uint32_t length = node->size - fixed;
        if (length == 0) return 1;
        return ReadTrailing(source, record, start, length) ? 1 : -99;
    }
    uint32_t count = RecordU32(record, 12);
    if (IsType(node, "stsz")) {
        if (count != 0) return 1;  // one size for every sample: no table
        count = RecordU32(record, 16);
    }
    // 32-bit sizes: a count of 2^30 or more 4-byte entries wraps, and its
    // byte count is what the atom's size is compared with.
    const uint32_t bytes = count * info->entrySize;
    if (fixed + bytes != node->size) {
        std::printf("error to read atom[%s] data from file\n", node->type);
        return -99;
    }
    if (bytes == 0) return 1;  // an empty table leaves no buffer
    return ReadTrailing(source, record, start, bytes) ? 1 : -99;
}

// ---------------------------------------------------------------- extraction

// ReadAtomRecord through the window.
int32_t ReadRecord(uint32_t count, AtomNode *node, FileWindow *window, realStructure *record) {
    const bool fits = record != nullptr && record->image != nullptr && count <= record->imageSize;
    if (!fits || window->Read(node->offset, record->image, count) != count) {
        std::printf("Read atom[%s] data from file error!\n", node->type);
        return -99;
    }
    return 1;
}

// Reads one atom's record and table.  Atoms without a record are skipped.
int32_t ExtractNode(AtomNode *node, FileWindow *window, TableSource *tables) {
    if (node->realStructure == nullptr) return 1;
    AtomTypeInfo info{};
    if (GetAtomTypeInfo(node, &info) != 1) return 1;
    const uint32_t count = info.entrySize != 0 ? info.recordSize - 4 : info.recordSize;
    if (ReadRecord(count, node, window, node->realStructure) < 0) {
        std::printf("atom[%s] extract from file error\n", node->type);
        return -99;
    }
    if (info.entrySize != 0) ReadTable(node, &info, tables);
    return 1;
}

// Extracts the descendants of a node, depth first; a record that cannot be
// read ends the extraction of its level.  -1 when that happened among the
// node's own children.
int32_t ExtractSubtree(AtomNode *node, FileWindow *window, TableSource *tables) {
    const bool whole = VisitDescendantsAfter(
        node, [&](AtomNode *child) { return ExtractNode(child, window, tables) >= 0; });
    return whole ? 1 : -1;
}

// ---------------------------------------------------------------- the scan

// Left to this implementation: how many nodes are read again.  A child that
// runs past its parent has its children read where they are, and the levels
// above go on after the parent's end, over the same bytes, so nested
// overruns read the bytes behind them again and again: the number of nodes
// doubles with every 16 bytes of such nesting (a 176-byte atom makes 3,070,
// a 500-byte one would make more than a 32-bit process could hold).
//
// Every top-level atom may make one node per 8 of its bytes in the file (and
// one more), which is as many as a tree whose atoms stay inside their
// parents can have; the nodes beyond that, the bytes read again, come from
// one allowance for the whole file.  So the nodes of one atom never take
// those of another, and no file's tree has more nodes than this allowance
// and one per 4 bytes (a file of top-level atoms of 8 bytes has one per 8).
// The allowance is reached by about 256 bytes of nested overruns.
constexpr uint64_t kRereadNodes = uint64_t(1) << 16;

struct ScanBudget {
    uint64_t own;    // nodes of this top-level atom
    uint64_t *pool;  // nodes read again, for the whole file
};

ScanBudget BudgetOf(const AtomNode *top, uint64_t fileSize, uint64_t *pool) {
    const uint64_t inFile = top->offset < fileSize ? fileSize - top->offset : 0;
    const uint64_t covered = top->size < inFile ? top->size : inFile;
    return ScanBudget{covered / 8 + 1, pool};
}

bool TakeNode(ScanBudget *budget) {
    if (budget->own > 0) {
        --budget->own;
        return true;
    }
    if (*budget->pool == 0) return false;
    --*budget->pool;
    return true;
}

// One level of the scan: the children of `parent` from `next` while before
// `end` (both 32-bit positions).
struct Level {
    AtomNode *parent;
    AtomNode *last;  // the last child made
    uint32_t next;
    uint32_t end;
    bool done;
    bool wrapped;       // an end of this level wrapped past 2^32
    PositionSet seen;   // the level's positions, from the first wrap on
};

// Reads the descendants of `top`, whose children begin `childOffset` bytes
// after its start, depth first in file order.  The result is that of the
// scan of top's own level: 1, -1 when it ended at a type the whitelist
// rejects, -99 when it ended at a header cut short.
int32_t ScanSubtree(FileWindow *window, AtomNode *top, uint32_t childOffset, ScanBudget *budget) {
    int32_t result = 1;
    FrameStack<Level> levels;
    PositionSet path{};  // positions of the atoms whose children are being read
    auto enter = [&](AtomNode *node, uint32_t offset) {
        const uint32_t first = node->offset + offset;
        const uint32_t end = node->offset + node->size;
        if (offset == 0 || !(first < end)) return;
        if (!SetInsert(&path, node->offset)) return;
        if (!levels.Push(Level{node, nullptr, first, end, false, false, PositionSet{}}))
            SetErase(&path, node->offset);
    };
    enter(top, childOffset);
    while (!levels.Empty()) {
        Level &level = levels.Top();
        if (level.done) {
            SetErase(&path, level.parent->offset);
            FreeSet(&level.seen);
            levels.Pop();
            continue;
        }
        const uint32_t pos = level.next;
        level.done = true;  // unless a child is read and the level goes on
        if ((level.wrapped && SetContains(level.seen, pos)) || SetContains(path, pos)) continue;
        Header header{};
        const int32_t read = ReadHeaderAt(window, pos, &header);
        if (read < 0 && levels.count == 1) result = read;
        if (read < 0 || header.size < kHeaderBytes) continue;
        if (!TakeNode(budget)) {
            while (!levels.Empty()) {
                FreeSet(&levels.Top().seen);
                levels.Pop();
            }
            break;
        }
        AtomNode *node = NewNode(header, pos, level.parent);
        if (node == nullptr) continue;
        if (level.last == nullptr)
            level.parent->firstChild = node;
        else
            level.last->next = node;
        level.last = node;
        const uint32_t next = pos + header.size;
        if (!NoteLevelPosition(&level.seen, &level.wrapped, level.parent->firstChild, pos, next))
            continue;
        level.next = next;
        level.done = !(next < level.end);
        enter(node, ChildOffsetOf(node));  // `level` may move: not used after this
    }
    FreeSet(&path);
    return result;
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
    uint64_t pool = kRereadNodes;
    FileWindow window(root->file);
    for (AtomNode *atom = root->firstAtom; atom != nullptr; atom = atom->next) {
        ScanBudget budget = BudgetOf(atom, root->fileSize, &pool);
        ScanSubtree(&window, atom, ChildOffsetOf(atom), &budget);
    }
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
    uint32_t total = 0;
    FileWindow window(root->file);
    PositionSet seen{};
    bool wrapped = false;
    bool again = false;  // the next position was read before
    while (total < root->fileSize) {
        if (wrapped && SetContains(seen, total)) {
            again = true;
            break;
        }
        RawHeader raw;
        if (window.Read(total, &raw, 8) != 8) {
            if (options.tolerant) break;
            std::printf("Read data from file error!\n");
            FreeSet(&seen);
            return -99;
        }
        const uint32_t size = ReadBigEndian32(raw.size);
        const bool sane = size >= kHeaderBytes && uint64_t(total) + size <= root->fileSize;
        if (CheckReadableAtomType(raw.type) < 0) {
            if (!options.tolerant) {
                FreeSet(&seen);
                return -1;
            }
            if (!sane) break;
            PassOver(raw, total, size, &left);
        } else {
            if (size < kHeaderBytes) {
                if (options.tolerant) break;
                FreeSet(&seen);
                return -99;
            }
            Header header{size, {}};
            CopyAtomType(header.type, reinterpret_cast<const char *>(raw.type));
            AtomNode *node = NewNode(header, total, nullptr);
            if (node == nullptr) {
                FreeSet(&seen);
                return -99;
            }
            if (last == nullptr)
                root->firstAtom = node;
            else
                last->next = node;
            last = node;
        }
        const uint32_t next = total + size;
        if (!NoteLevelPosition(&seen, &wrapped, root->firstAtom, total, next)) {
            again = true;  // cannot tell: ended as if it came again
            break;
        }
        total = next;
    }
    FreeSet(&seen);
    if (total < root->fileSize && !again) {  // only a tolerant scan stops before the end
        left.trailingOffset = total;
        left.trailingBytes = root->fileSize - total;
    }
    if (leftOut != nullptr) *leftOut = left;
    // A tolerant scan that found no box at all has read nothing of the file.
    return root->firstAtom == nullptr && options.tolerant ? -99 : 1;
}

int32_t ReadChildAtoms(FILE *file, AtomNode *parent, uint32_t headerSize) {
    if (file == nullptr || parent == nullptr) return -99;
    uint64_t pool = kRereadNodes;
    ScanBudget budget = BudgetOf(parent, FileSizeOf(file), &pool);
    FileWindow window(file);
    return ScanSubtree(&window, parent, headerSize, &budget);
}

int32_t ExtractAtomRecords(Root_atom *root) {
    if (root == nullptr || root->file == nullptr) return -99;
    FileWindow window(root->file);
    TableSource tables{root->file, root->fileSize, 0, nullptr, false};
    int32_t result = 1;
    for (AtomNode *atom = root->firstAtom; atom != nullptr && result == 1; atom = atom->next) {
        ExtractSubtree(atom, &window, &tables);
        if (ExtractNode(atom, &window, &tables) < 0) result = -99;
    }
    EndTableSource(&tables);
    return result;
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
    if (file == nullptr) return -99;
    TableSource tables{file, FileSizeOf(file), 0, nullptr, false};
    const int32_t result = ReadTable(node, info, &tables);
    EndTableSource(&tables);
    return result;
}
