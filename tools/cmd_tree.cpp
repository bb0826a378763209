// corvane tree: the atom tree of a file, mp4dump style.
#include <cstdio>
#include <cstring>
#include <string>
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

std::string Field(const char *name, uint64_t value) {
    return " " + std::string(name) + "=" + std::to_string(value);
}

// The main fields of the boxes the library interprets, from their records.
std::string Decoded(const AtomNode *node) {
    const realStructure *r = node->realStructure;
    if (r == nullptr) return "";
    const std::string type = node->type;
    if (type == "ftyp")
        return " major_brand=" + Fourcc(r, 8) + Field("minor_version", RecordU32(r, 12)) +
               " compatible_brand=" + Fourcc(r, 16);
    if (type == "mvhd")
        return Field("timescale", RecordU32(r, 20)) + Field("duration", RecordU32(r, 24)) +
               Field("next_track_ID", RecordU32(r, 104));
    if (type == "tkhd")
        return Field("track_ID", RecordU32(r, 20)) + Field("duration", RecordU32(r, 28)) +
               Field("width", RecordU32(r, 84) >> 16) + Field("height", RecordU32(r, 88) >> 16);
    if (type == "mdhd")
        return Field("timescale", RecordU32(r, 20)) + Field("duration", RecordU32(r, 24));
    if (type == "hdlr") return " handler_type=" + Fourcc(r, 16);
    if (type == "stsd" || type == "dref" || type == "stts" || type == "stsc" || type == "stco" ||
        type == "stss" || type == "ctts" || type == "elst" || type == "co64")
        return Field("entry_count", RecordU32(r, 12));
    if (type == "stsz")
        return Field("sample_size", RecordU32(r, 12)) + Field("sample_count", RecordU32(r, 16));
    if (type == "mp4v" || type == "s263")
        return Field("width", RecordU16(r, 32)) + Field("height", RecordU16(r, 34));
    if (type == "mp4a" || type == "samr")
        return Field("channelcount", RecordU16(r, 24)) + Field("samplesize", RecordU16(r, 26)) +
               Field("samplerate", RecordU32(r, 32) >> 16);
    if (type == "esds" || type == "iods") {
        const uint32_t held = node->size < r->imageSize ? node->size : r->imageSize;
        return " descriptor=" + Hex(r, 12, held > 12 ? held - 12 : 0);
    }
    return "";
}

void PrintNode(const AtomNode *node, int depth, bool verbose) {
    std::fprintf(Out(), "%*s[%s] offset=%u size=%u%s\n", depth * 2, "", node->type, node->offset,
                 node->size, verbose ? Decoded(node).c_str() : "");
    for (const AtomNode *child = node->firstChild; child; child = child->next)
        PrintNode(child, depth + 1, verbose);
}

void PrintJson(const AtomNode *node, int depth) {
    std::fprintf(Out(), "%*s{\"type\": \"%s\", \"offset\": %u, \"size\": %u", depth * 2, "",
                 node->type, node->offset, node->size);
    if (node->firstChild) {
        std::fprintf(Out(), ", \"children\": [\n");
        for (const AtomNode *child = node->firstChild; child; child = child->next) {
            PrintJson(child, depth + 1);
            std::fprintf(Out(), child->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "%*s]", depth * 2, "");
    }
    std::fprintf(Out(), "}");
}

// Reads the tree as the library does, but keeps the top-level boxes found
// before bytes that do not form a box the library knows: files written with
// object-descriptor and scene tracks end with their two access units after
// mdat, outside any box.  Returns false when no box could be read at all;
// `unread` receives the offset of such trailing bytes (0 when none).
bool ReadForDisplay(Root_atom *root, uint64_t *unread) {
    *unread = 0;
    const int32_t top = ReadTopLevelAtoms(root);
    if (root->firstAtom == nullptr) return false;
    const AtomNode *last = root->firstAtom;
    for (AtomNode *atom = root->firstAtom; atom; atom = atom->next) {
        AtomTypeInfo info{};
        if (GetAtomTypeInfo(atom, &info) == 1 && info.headerSize != 0)
            ReadChildAtoms(root->file, atom, info.headerSize);
        last = atom;
    }
    if (top < 0) *unread = uint64_t(last->offset) + last->size;
    return true;
}

}  // namespace

int RunTree(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    const bool json = TakeFlag(args, "--json");
    const bool verbose = TakeFlag(args, "-v");
    if (args.size() > 1) return Fail("tree takes one FILE");
    const std::string path = args.empty() ? DefaultSample() : args[0];
    Root_atom root{};
    root.file = OpenFileForReading(path.c_str());
    if (root.file == nullptr) return Fail("cannot open '" + path + "'");
    // Files of 2 GiB or more are refused, as the reader refuses them.
    const int64_t size = StreamSizeAtEnd(root.file);
    root.fileSize = size > 0 && uint64_t(size) < kMaxReadableFileSize ? uint32_t(size) : 0;
    uint64_t unread = 0;
    const bool ok = root.fileSize > 0 && ReadForDisplay(&root, &unread);
    // The decoded fields come from the records the reader extracts.
    if (ok && verbose && AllocTreeRecords(&root) > 0) ExtractAtomRecords(&root);
    if (ok && json) {
        std::fprintf(Out(), "[\n");
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) {
            PrintJson(atom, 1);
            std::fprintf(Out(), atom->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "]\n");
    } else if (ok) {
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) PrintNode(atom, 0, verbose);
        if (unread != 0 && unread < uint64_t(size))
            std::fprintf(Out(), "(%llu bytes from offset %llu are not a box)\n",
                         (unsigned long long)(uint64_t(size) - unread), (unsigned long long)unread);
    }
    FreeAtomTree(&root);
    std::fclose(root.file);
    if (!ok) return Fail("'" + path + "' is not an MP4 file this tool can read");
    return 0;
}
