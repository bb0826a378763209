// The tool's own walk of a file's boxes, apart from the library's reader:
// what `tree` shows of the boxes the reader does not read (types it does not
// know, and everything inside them), the sample entry of each track, and
// whether a file is fragmented.
//
// ISO/IEC 14496-12 boxes: a 32-bit size and a type, a size of 1 followed by
// a 64-bit size, a size of 0 for "to the end of the enclosing box".  The
// walk descends into the container types and the sample entries of stsd;
// the other boxes are listed with their type and size only.  The number of
// boxes is bounded by the bytes of the file (every box has a header of 8
// bytes); the depth only by that number: boxes may nest as deep as a file
// has bytes for (131,000 levels in a megabyte), so the walk keeps the levels
// it is inside on a stack of its own, and a box's children are released
// level by level (see ~Box), never by one call per level.
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/platform.h"

namespace {

bool Is(const uint8_t *type, const char *code) { return std::memcmp(type, code, 4) == 0; }

bool IsAnyOf(const uint8_t *type, std::initializer_list<const char *> codes) {
    for (const char *code : codes)
        if (Is(type, code)) return true;
    return false;
}

// Sample entries by the kind of their fields before the child boxes:
// visual entries have 78 bytes of fields, audio entries 28 (a QuickTime
// sound description of version 1 or 2 has 16 or 36 more), others 8.
bool IsVisualEntry(const uint8_t *t) {
    return IsAnyOf(t, {"mp4v", "s263", "h263", "avc1", "avc3", "hvc1", "hev1", "av01", "vp08", "vp09",
                       "encv", "jpeg", "mjpa", "mjp2"});
}

bool IsAudioEntry(const uint8_t *t) {
    return IsAnyOf(t, {"mp4a", "samr", "sawb", "enca", ".mp3", "ac-3", "ec-3", "Opus", "fLaC", "alac"});
}

bool IsContainer(const uint8_t *t) {
    return IsAnyOf(t, {"moov", "trak", "mdia", "minf", "stbl", "dinf", "edts", "udta", "mvex", "moof",
                       "traf", "mfra", "tref", "ilst", "sinf", "schi", "gmhd", "meta", "stsd", "dref"});
}

struct Walker {
    FILE *file;
    uint64_t fileSize;
    uint64_t boxesLeft;  // no more boxes than 8-byte headers fit in the file, with some room
};

bool ReadAt(FILE *file, uint64_t offset, uint8_t *bytes, size_t count) {
    return SetStreamPosition(file, offset) && std::fread(bytes, 1, count, file) == count;
}

uint32_t Be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Where the children of a container or sample entry begin, after its own
// fields.  0 when the box has no children the walk knows of.
uint64_t FirstChildAt(Walker *w, const Box &box, const uint8_t *parentType) {
    const uint64_t body = box.offset + box.header;
    if (Is(box.type, "stsd") || Is(box.type, "dref")) return body + 8;  // version, flags, entry_count
    if (Is(box.type, "meta")) {
        // A full box in ISO files; QuickTime's meta has no version and flags:
        // its first child's type stands right after the header.
        uint8_t peek[8];
        if (ReadAt(w->file, body, peek, sizeof peek) && Is(peek + 4, "hdlr")) return body;
        return body + 4;
    }
    if (IsContainer(box.type)) return body;
    if (parentType != nullptr && Is(parentType, "ilst")) return body;  // metadata items hold data boxes
    if (parentType == nullptr || !Is(parentType, "stsd")) return 0;
    if (IsVisualEntry(box.type)) return body + 78;
    if (IsAudioEntry(box.type)) {
        uint8_t version[2];
        if (!ReadAt(w->file, body + 8, version, sizeof version)) return 0;
        const uint32_t v = uint32_t(version[0]) << 8 | version[1];
        return body + 28 + (v == 1 ? 16 : v == 2 ? 36 : 0);
    }
    if (Is(box.type, "mp4s")) return body + 8;
    return 0;
}

// The header of the box at `at` of a level that ends at `end`; false when
// there is none (the level ends there): no room for a header, no box left
// to take, bytes that cannot be read, or a size smaller than the header.
bool ReadBoxHeader(Walker *w, uint64_t at, uint64_t end, Box *box) {
    if (at + 8 > end || w->boxesLeft == 0) return false;
    uint8_t head[16];
    if (!ReadAt(w->file, at, head, 8)) return false;
    std::memcpy(box->type, head + 4, 4);
    box->offset = at;
    box->header = 8;
    box->size = Be32(head);
    if (box->size == 1) {
        if (at + 16 > end || !ReadAt(w->file, at + 8, head + 8, 8)) return false;
        box->size = uint64_t(Be32(head + 8)) << 32 | Be32(head + 12);
        box->header = 16;
    } else if (box->size == 0) {
        box->size = end - at;
    }
    return box->size >= box->header;
}

// A level being walked: where its next box would start, where it ends,
// the type of the box it lies in (none at the top), and where its boxes go.
struct Level {
    uint64_t at;
    uint64_t end;
    uint8_t parentType[4];
    bool inBox;
    std::vector<Box> *boxes;
};

// The boxes from 0 to `end` into `top`, each level in file order, a box's
// children walked before its next sibling.  A box that runs past the end of
// its level is the level's last.
void WalkFrom(Walker *w, uint64_t end, std::vector<Box> *top) {
    std::vector<Level> stack;
    stack.push_back({0, end, {}, false, top});
    while (!stack.empty()) {
        Level &level = stack.back();
        Box box{};
        if (!ReadBoxHeader(w, level.at, level.end, &box)) {
            stack.pop_back();
            continue;
        }
        --w->boxesLeft;
        box.pastEnd = box.size > level.end - level.at;
        const uint64_t boxEnd = box.pastEnd ? level.end : level.at + box.size;
        const uint64_t children = FirstChildAt(w, box, level.inBox ? level.parentType : nullptr);
        level.at = box.pastEnd ? level.end : boxEnd;
        level.boxes->push_back(std::move(box));
        Box &added = level.boxes->back();
        // The level's vector takes no box while the children are walked, so
        // `added` stays where it is.
        if (children != 0 && children < boxEnd) {
            Level inner{children, boxEnd, {}, true, &added.children};
            std::memcpy(inner.parentType, added.type, 4);
            stack.push_back(inner);
        }
    }
}

}  // namespace

Box::~Box() {
    if (children.empty()) return;
    // The whole subtree, one level after another: each vector is emptied of
    // its boxes' children before it is released.
    std::vector<std::vector<Box>> pending;
    pending.push_back(std::move(children));
    while (!pending.empty()) {
        std::vector<Box> level = std::move(pending.back());
        pending.pop_back();
        for (Box &box : level)
            if (!box.children.empty()) pending.push_back(std::move(box.children));
    }
}

bool WalkBoxes(const std::string &path, BoxWalk *walk) {
    *walk = BoxWalk{};
    FILE *file = OpenFileForReading(path.c_str());
    if (file == nullptr) return false;
    const int64_t size = StreamSizeAtEnd(file);
    if (size > 0) {
        walk->fileSize = uint64_t(size);
        Walker w{file, walk->fileSize, walk->fileSize / 8 + 64};
        WalkFrom(&w, walk->fileSize, &walk->top);
    }
    std::fclose(file);
    return size >= 0;
}

const Box *FindBox(const std::vector<Box> &level, const char *type) {
    for (const Box &box : level)
        if (Is(box.type, type)) return &box;
    return nullptr;
}

const Box *FindBoxAt(const std::vector<Box> &level, uint64_t offset) {
    for (const Box &box : level)
        if (box.offset == offset) return &box;
    return nullptr;
}

// ---------------------------------------------------------------- what the library serves

namespace {

struct EntryName {
    const char *type;
    const char *name;
};

constexpr EntryName kEntryNames[] = {
    {"mp4v", "MPEG-4 Visual"}, {"s263", "H.263"},       {"h263", "H.263"},
    {"avc1", "H.264"},         {"avc3", "H.264"},       {"hvc1", "H.265"},
    {"hev1", "H.265"},         {"av01", "AV1"},         {"vp08", "VP8"},
    {"vp09", "VP9"},           {"jpeg", "JPEG"},        {"mjpa", "Motion JPEG"},
    {"encv", "encrypted video"}, {"mp4a", "MPEG-4 audio"}, {"samr", "AMR"},
    {"sawb", "AMR-WB"},        {".mp3", "MP3"},         {"ac-3", "AC-3"},
    {"ec-3", "E-AC-3"},        {"Opus", "Opus"},        {"fLaC", "FLAC"},
    {"alac", "ALAC"},          {"enca", "encrypted audio"}, {"mp4s", "MPEG-4 systems"},
    {"tx3g", "3GPP timed text"}, {"wvtt", "WebVTT"},    {"stpp", "TTML"},
};

}  // namespace

std::string SampleEntryOf(const std::vector<Box> &top, uint64_t trakOffset) {
    const Box *moov = FindBox(top, "moov");
    const Box *box = moov != nullptr ? FindBoxAt(moov->children, trakOffset) : nullptr;
    for (const char *type : {"mdia", "minf", "stbl", "stsd"})
        box = box != nullptr ? FindBox(box->children, type) : nullptr;
    if (box == nullptr || box->children.empty()) return "";
    return PrintableType(box->children.front().type);
}

std::string SampleEntryName(const std::string &type) {
    for (const EntryName &e : kEntryNames)
        if (type == e.type) return e.name;
    return "";
}

uint32_t FragmentCount(const BoxWalk &walk, bool *movieExtends) {
    uint32_t count = 0;
    for (const Box &box : walk.top) count += Is(box.type, "moof") ? 1 : 0;
    const Box *moov = FindBox(walk.top, "moov");
    *movieExtends = moov != nullptr && FindBox(moov->children, "mvex") != nullptr;
    return count;
}
