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

// How far a box runs past the end of the file (0 when it fits).
uint64_t PastEnd(const AtomNode *node, uint32_t fileSize) {
    const uint64_t end = uint64_t(node->offset) + node->size;
    return end > fileSize ? end - fileSize : 0;
}

void PrintNode(const AtomNode *node, int depth, bool verbose, uint32_t fileSize) {
    const uint64_t past = PastEnd(node, fileSize);
    const std::string mark =
        past ? " (ends " + std::to_string(past) + " bytes past the end of the file)" : "";
    std::fprintf(Out(), "%*s[%s] offset=%u size=%u%s%s\n", depth * 2, "", node->type, node->offset,
                 node->size, verbose ? Decoded(node).c_str() : "", mark.c_str());
    for (const AtomNode *child = node->firstChild; child; child = child->next)
        PrintNode(child, depth + 1, verbose, fileSize);
}

void PrintJson(const AtomNode *node, int depth, uint32_t fileSize) {
    std::fprintf(Out(), "%*s{\"type\": %s, \"offset\": %u, \"size\": %u", depth * 2, "",
                 JsonString(node->type).c_str(), node->offset, node->size);
    if (const uint64_t past = PastEnd(node, fileSize))
        std::fprintf(Out(), ", \"pastEnd\": %llu", (unsigned long long)past);
    if (node->firstChild) {
        std::fprintf(Out(), ", \"children\": [\n");
        for (const AtomNode *child = node->firstChild; child; child = child->next) {
            PrintJson(child, depth + 1, fileSize);
            std::fprintf(Out(), child->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "%*s]", depth * 2, "");
    }
    std::fprintf(Out(), "}");
}

void PrintTree(const Root_atom &root, bool json, bool verbose, const LeftOut &leftOut) {
    if (json) {
        std::fprintf(Out(), "[\n");
        for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next) {
            PrintJson(atom, 1, root.fileSize);
            std::fprintf(Out(), atom->next ? ",\n" : "\n");
        }
        std::fprintf(Out(), "]\n");
        return;
    }
    for (const AtomNode *atom = root.firstAtom; atom; atom = atom->next)
        PrintNode(atom, 0, verbose, root.fileSize);
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
        PrintTree(root, args.Has("--json"), args.Has("-v"), leftOut);
    }
    FreeAtomTree(&root);
    std::fclose(root.file);
    if (!ok) return Fail(UnreadableText(path));
    return 0;
}
