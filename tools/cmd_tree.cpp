// corvane tree: the atom tree of a file, mp4dump style.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "atom/atom.h"
#include "cli.h"
#include "platform/platform.h"

namespace {

std::string Fourcc(const realStructure *r, uint32_t offset) {
    const uint8_t *p = RecordBytes(r, offset, 4);
    if (p == nullptr) return "";
    std::string out;
    for (int i = 0; i < 4; ++i) out += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '.';
    return out;
}

std::string Hex(const realStructure *r, uint32_t offset, uint32_t count) {
    std::string out;
    char byte[4];
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *p = RecordBytes(r, offset + i, 1);
        if (p == nullptr) break;
        std::snprintf(byte, sizeof byte, "%02x", *p);
        out += byte;
    }
    return out;
}

// A decoded field: its name and its value, a number or a text.
struct Field {
    const char *name;
    std::string value;
    bool number;
};

Field Number(const char *name, uint64_t value) { return {name, std::to_string(value), true}; }
Field Text(const char *name, const std::string &value) { return {name, value, false}; }

// The main fields of the boxes the library interprets, from their records.
std::vector<Field> Decoded(const AtomNode *node) {
    const realStructure *r = node->realStructure;
    if (r == nullptr) return {};
    const std::string type = node->type;
    if (type == "ftyp")
        return {Text("major_brand", Fourcc(r, 8)), Number("minor_version", RecordU32(r, 12)),
                Text("compatible_brand", Fourcc(r, 16))};
    if (type == "mvhd")
        return {Number("timescale", RecordU32(r, 20)), Number("duration", RecordU32(r, 24)),
                Number("next_track_ID", RecordU32(r, 104))};
    if (type == "tkhd")
        return {Number("track_ID", RecordU32(r, 20)), Number("duration", RecordU32(r, 28)),
                Number("width", RecordU32(r, 84) >> 16), Number("height", RecordU32(r, 88) >> 16)};
    if (type == "mdhd") return {Number("timescale", RecordU32(r, 20)), Number("duration", RecordU32(r, 24))};
    if (type == "hdlr") return {Text("handler_type", Fourcc(r, 16))};
    if (type == "stsd" || type == "dref" || type == "stts" || type == "stsc" || type == "stco" ||
        type == "stss" || type == "ctts" || type == "elst" || type == "co64")
        return {Number("entry_count", RecordU32(r, 12))};
    if (type == "stsz") return {Number("sample_size", RecordU32(r, 12)), Number("sample_count", RecordU32(r, 16))};
    if (type == "mp4v" || type == "s263") return {Number("width", RecordU16(r, 32)), Number("height", RecordU16(r, 34))};
    if (type == "mp4a" || type == "samr")
        return {Number("channelcount", RecordU16(r, 24)), Number("samplesize", RecordU16(r, 26)),
                Number("samplerate", RecordU32(r, 32) >> 16)};
    if (type == "esds" || type == "iods") {
        const uint32_t held = node->size < r->imageSize ? node->size : r->imageSize;
        return {Text("descriptor", Hex(r, 12, held > 12 ? held - 12 : 0))};
    }
    return {};
}

std::string FieldsText(const std::vector<Field> &fields) {
    std::string out;
    for (const Field &f : fields) out += " " + std::string(f.name) + "=" + f.value;
    return out;
}

std::string FieldsJson(const std::vector<Field> &fields) {
    std::string out;
    for (const Field &f : fields)
        out += std::string(out.empty() ? "" : ", ") + JsonString(f.name) + ": " + (f.number ? f.value : JsonString(f.value));
    return "{" + out + "}";
}

// How far a box runs past the end of the file (0 when it fits).
uint64_t PastEnd(uint64_t offset, uint64_t size, uint64_t fileSize) {
    const uint64_t end = offset + size;
    return end > fileSize ? end - fileSize : 0;
}

// One box of the listing: one the library read (`node`), or one only the
// tool's walk found (`box`), with the walk's view of its children.
struct Entry {
    const AtomNode *node;
    const Box *box;
    const std::vector<Box> *walked;  // the walk's children of this box (null: none known)
    uint64_t offset;
};

bool SameBox(const AtomNode *node, const Box &box) {
    return node->offset == box.offset && std::memcmp(node->type, box.type, 4) == 0;
}

// The boxes of one level: the library's, and among the walk's those it did
// not read that lie whole within the file (what is past the end of the
// file, or not a box at all, the library's view says), in file order.
std::vector<Entry> Level(const AtomNode *first, const std::vector<Box> *walked, uint64_t fileSize) {
    std::vector<Entry> level;
    std::unordered_map<uint64_t, const Box *> walkedAt;  // (a level holds one box per offset)
    if (walked != nullptr)
        for (const Box &box : *walked) walkedAt.emplace(box.offset, &box);
    std::unordered_map<uint64_t, const AtomNode *> readAt;
    for (const AtomNode *node = first; node != nullptr; node = node->next) {
        const auto twin = walkedAt.find(node->offset);
        const bool same = twin != walkedAt.end() && SameBox(node, *twin->second);
        level.push_back({node, nullptr, same ? &twin->second->children : nullptr, node->offset});
        readAt.emplace(node->offset, node);
    }
    if (walked == nullptr) return level;
    for (const Box &box : *walked) {
        const auto read = readAt.find(box.offset);
        if (read != readAt.end() && SameBox(read->second, box)) continue;
        if (!box.pastEnd && box.offset + box.size <= fileSize)
            level.push_back({nullptr, &box, &box.children, box.offset});
    }
    std::stable_sort(level.begin(), level.end(), [](const Entry &x, const Entry &y) { return x.offset < y.offset; });
    return level;
}

struct Listing {
    bool verbose;
    uint64_t fileSize;
};

constexpr const char *kNotRead = " (not read by the library)";

// The children of an entry, as a level of the listing.
std::vector<Entry> ChildrenOf(const Entry &e, uint64_t fileSize) {
    return Level(e.node != nullptr ? e.node->firstChild : nullptr, e.walked, fileSize);
}

// A level being listed: its entries, the next one to list, and its depth.
// Files nest boxes as deep as their bytes allow (a megabyte holds 131,000
// levels), so the listing keeps the levels it is inside on a stack of its
// own, not on the call stack.
struct Frame {
    std::vector<Entry> level;
    size_t next;
    int depth;
};

void PrintTextLine(const Entry &e, int depth, const Listing &l) {
    if (e.node != nullptr) {
        const uint64_t past = PastEnd(e.node->offset, e.node->size, l.fileSize);
        const std::string mark = past ? " (ends " + std::to_string(past) + " bytes past the end of the file)" : "";
        std::fprintf(Out(), "%*s[%s] offset=%u size=%u%s%s\n", depth * 2, "", e.node->type, e.node->offset,
                     e.node->size, l.verbose ? FieldsText(Decoded(e.node)).c_str() : "", mark.c_str());
        return;
    }
    std::fprintf(Out(), "%*s[%s] offset=%llu size=%llu%s\n", depth * 2, "", PrintableType(e.box->type).c_str(),
                 (unsigned long long)e.box->offset, (unsigned long long)e.box->size, kNotRead);
}

// Every entry of `top` and below, each followed by its children one level
// further in.
void PrintText(std::vector<Entry> top, const Listing &l) {
    std::vector<Frame> stack;
    stack.push_back({std::move(top), 0, 0});
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.level.size()) {
            stack.pop_back();
            continue;
        }
        const Entry e = frame.level[frame.next++];
        const int depth = frame.depth;
        PrintTextLine(e, depth, l);
        std::vector<Entry> children = ChildrenOf(e, l.fileSize);
        if (!children.empty()) stack.push_back({std::move(children), 0, depth + 1});
    }
}

// An entry's object up to its children: "{" and its members.
void OpenJsonObject(const Entry &e, int depth, const Listing &l) {
    if (e.node != nullptr) {
        std::fprintf(Out(), "%*s{\"type\": %s, \"offset\": %u, \"size\": %u", depth * 2, "",
                     JsonString(e.node->type).c_str(), e.node->offset, e.node->size);
        if (l.verbose) {
            const std::vector<Field> fields = Decoded(e.node);
            if (!fields.empty()) std::fprintf(Out(), ", \"fields\": %s", FieldsJson(fields).c_str());
        }
        if (const uint64_t past = PastEnd(e.node->offset, e.node->size, l.fileSize))
            std::fprintf(Out(), ", \"pastEnd\": %llu", (unsigned long long)past);
        return;
    }
    std::fprintf(Out(), "%*s{\"type\": %s, \"offset\": %llu, \"size\": %llu, \"notRead\": true", depth * 2, "",
                 JsonString(PrintableType(e.box->type)).c_str(), (unsigned long long)e.box->offset,
                 (unsigned long long)e.box->size);
}

// Closes the object of the entry of `frame` listed last, and the line.
void CloseJsonObject(const Frame &frame) {
    std::fprintf(Out(), frame.next < frame.level.size() ? "},\n" : "}\n");
}

// The array of every entry of `top`, each an object whose "children" array
// holds those one level further in.
void PrintJson(std::vector<Entry> top, const Listing &l) {
    std::fprintf(Out(), "[\n");
    std::vector<Frame> stack;
    stack.push_back({std::move(top), 0, 1});
    while (true) {
        Frame &frame = stack.back();
        if (frame.next == frame.level.size()) {
            const int depth = frame.depth;
            stack.pop_back();
            if (stack.empty()) break;
            // The children array of the entry listed last one level out.
            std::fprintf(Out(), "%*s]", (depth - 1) * 2, "");
            CloseJsonObject(stack.back());
            continue;
        }
        const Entry e = frame.level[frame.next++];
        const int depth = frame.depth;
        OpenJsonObject(e, depth, l);
        std::vector<Entry> children = ChildrenOf(e, l.fileSize);
        if (children.empty()) {
            CloseJsonObject(frame);
            continue;
        }
        std::fprintf(Out(), ", \"children\": [\n");
        stack.push_back({std::move(children), 0, depth + 1});
    }
    std::fprintf(Out(), "]\n");
}

void PrintTree(const Root_atom &root, const std::vector<Box> &walked, bool json, bool verbose,
               const LeftOut &leftOut) {
    const Listing l{verbose, root.fileSize};
    std::vector<Entry> top = Level(root.firstAtom, &walked, root.fileSize);
    if (json) {
        PrintJson(std::move(top), l);
        return;
    }
    PrintText(std::move(top), l);
    if (leftOut.trailingBytes != 0)
        std::fprintf(Out(), "(%u bytes from offset %u are not a box)\n", leftOut.trailingBytes,
                     leftOut.trailingOffset);
}

}  // namespace

// The tree as the library's reader builds it, read tolerantly at the top
// level like the other reading commands: boxes of types the reader does not
// know are passed over and bytes after the last box that are not a box end
// the scan, each said on the error stream.
int RunTree(const Args &args) {
    if (args.positional.size() > 1) return Fail("tree takes one FILE (see corvane tree --help)");
    const std::string path = args.positional.empty() ? DefaultSample() : args.positional[0];
    Root_atom root{};
    root.file = OpenFileForReading(path.c_str());
    if (root.file == nullptr) return Fail(UnreadableText(path));
    // Files of 2 GiB or more are refused, as the reader refuses them.
    const int64_t size = StreamSizeAtEnd(root.file);
    root.fileSize = size > 0 && uint64_t(size) < kMaxReadableFileSize ? uint32_t(size) : 0;
    LeftOut leftOut{};
    const bool ok = root.fileSize > 0 && ReadAtomTreeWith(&root, kTolerantRead, &leftOut) > 0;
    if (ok) {
        const std::string said = LeftOutText(path, leftOut);
        if (!said.empty()) Warn(said);
        if (const AtomNode *cut = FirstBoxPastEnd(root.firstAtom, root.fileSize))
            Warn(CutShortText(path, cut, root.fileSize));
        // The decoded fields come from the records the reader extracts.
        if (args.Has("-v") && AllocTreeRecords(&root) > 0) ExtractAtomRecords(&root);
        BoxWalk walk;
        WalkBoxes(path, &walk);
        PrintTree(root, walk.top, args.Has("--json"), args.Has("-v"), leftOut);
    }
    FreeAtomTree(&root);
    std::fclose(root.file);
    if (!ok) return Fail(UnreadableText(path));
    return 0;
}
