// Opening MP4 files for the reading commands, and saying what is wrong with
// the ones that cannot be read whole.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/platform.h"
#include "read/read.h"

namespace {

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

std::string Plural(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Mp4Input::~Mp4Input() {
    if (handle == nullptr) return;
    MP4FileClose(&handle);
    std::free(handle);
}

std::string PrintableType(const uint8_t *type) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += (type[i] >= 0x20 && type[i] < 0x7F) ? char(type[i]) : '.';
    return out;
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string UnreadableText(const std::string &path) {
    if (path.size() > sizeof(Root_atom::path) - 1)
        return Quoted(path) + " cannot be read: the library opens paths of at most 255 characters";
    FILE *file = OpenFileForReading(path.c_str());
    if (file == nullptr) return "cannot open " + Quoted(path) + ": " + std::strerror(errno);
    const int64_t size = StreamSizeAtEnd(file);
    std::fclose(file);
    if (size == 0) return Quoted(path) + " is empty";
    if (size < 0) return "cannot read " + Quoted(path) + ": its size cannot be taken (not a regular file)";
    if (uint64_t(size) >= kMaxReadableFileSize) return Quoted(path) + " is too large (2 GiB or more)";
    return Quoted(path) + " is not an MP4 file: it does not begin with a box";
}

std::string LeftOutWhat(const LeftOut &l) {
    std::string skipped;
    if (l.skippedBoxes == 1)
        skipped = "box '" + PrintableType(l.firstSkippedType) + "' at offset " +
                  std::to_string(l.firstSkippedOffset) + " (" +
                  Plural(l.firstSkippedSize, "byte", "bytes") + ") is of a type the reader does not know";
    else if (l.skippedBoxes > 1)
        skipped = std::to_string(l.skippedBoxes) +
                  " boxes are of types the reader does not know (the first '" +
                  PrintableType(l.firstSkippedType) + "' at offset " +
                  std::to_string(l.firstSkippedOffset) + ", " + std::to_string(l.skippedBytes) +
                  " bytes in all)";
    std::string trailing;
    if (l.trailingBytes != 0)
        trailing = Plural(l.trailingBytes, "byte", "bytes") + " after the last box (offset " +
                   std::to_string(l.trailingOffset) + ") " + (l.trailingBytes == 1 ? "is" : "are") +
                   " not a box";
    if (skipped.empty() || trailing.empty()) return skipped + trailing;
    return skipped + ", and " + trailing;
}

std::string LeftOutText(const std::string &path, const LeftOut &l) {
    if (l.skippedBoxes == 0 && l.trailingBytes == 0) return "";
    const char *rest = l.skippedBoxes == 0   ? "read the boxes before them"
                       : l.trailingBytes != 0 ? "read the other boxes"
                       : l.skippedBoxes == 1  ? "read the boxes around it"
                                              : "read the boxes around them";
    return path + ": " + LeftOutWhat(l) + "; " + rest;
}

// In file order: each box, then its children, then its next sibling.  The
// tree may be as deep as the file has bytes for (8 a level), so the
// siblings still to look at wait on a stack of their own.
const AtomNode *FirstBoxPastEnd(const AtomNode *first, uint32_t fileSize) {
    std::vector<const AtomNode *> siblingsLeft;
    const AtomNode *node = first;
    while (node != nullptr || !siblingsLeft.empty()) {
        if (node == nullptr) {
            node = siblingsLeft.back();
            siblingsLeft.pop_back();
        }
        if (uint64_t(node->offset) + node->size > fileSize) return node;
        if (node->firstChild == nullptr) {
            node = node->next;
            continue;
        }
        if (node->next != nullptr) siblingsLeft.push_back(node->next);
        node = node->firstChild;
    }
    return nullptr;
}

namespace {

std::string PastEndText(const AtomNode *box, uint32_t fileSize) {
    const uint64_t missing = uint64_t(box->offset) + box->size - fileSize;
    return "box '" + std::string(box->type) + "' at offset " + std::to_string(box->offset) + " (" +
           std::to_string(box->size) + " bytes) ends " + Plural(missing, "byte", "bytes") +
           " past the end of the file";
}

}  // namespace

std::string CutShortText(const std::string &path, const AtomNode *box, uint32_t fileSize) {
    return path + ": cut short: " + PastEndText(box, fileSize);
}

namespace {

bool HasTracks(const MP4_read_file *handle) {
    for (const ReadTrack *track : handle->tracks)
        if (track != nullptr) return true;
    return false;
}

}  // namespace

std::string NoTracksText(const std::string &path, const MP4_read_file *handle) {
    const Root_atom *root = handle->root;
    const AtomNode *cut = FirstBoxPastEnd(root->firstAtom, root->fileSize);
    if (FindTopLevelAtom(root, "moov") == nullptr) {
        if (cut == nullptr) return Quoted(path) + " has no 'moov' box, so no tracks";
        return Quoted(path) + " has no 'moov' box; it is cut short: " +
               PastEndText(cut, root->fileSize);
    }
    if (cut != nullptr && !HasTracks(handle))
        return Quoted(path) + " is cut short before any track: " + PastEndText(cut, root->fileSize);
    return "";
}

std::string OpenMp4(const std::string &path, Mp4Input *input, bool sayCutShort) {
    if (OpenMp4File(&input->handle, path.c_str(), kTolerantRead, &input->leftOut) != 1) {
        MP4FileClose(&input->handle);
        std::free(input->handle);
        input->handle = nullptr;
        return UnreadableText(path);
    }
    const std::string leftOut = LeftOutText(path, input->leftOut);
    if (!leftOut.empty()) Warn(leftOut);
    BoxWalk walk;
    if (WalkBoxes(path, &walk)) {
        input->fragments = FragmentCount(walk, &input->movieExtends);
        input->boxes.swap(walk.top);
    }
    // An initialisation segment (a moov with 'mvex' and no fragment yet) is
    // said as such: "0 'moof' boxes" would read as if fragments were missing.
    if (input->fragments > 0)
        Warn(Quoted(path) + " is fragmented (" + Plural(input->fragments, "'moof' box", "'moof' boxes") +
             "): the library reads the samples of its moov only, none of its fragments");
    else if (input->movieExtends)
        Warn(Quoted(path) + " is the start of a fragmented file (its moov has 'mvex', no 'moof' box "
             "follows): the samples of its fragments are not in this file");
    // Without tracks the command says why, the cut included (NoTracksText).
    const Root_atom *root = input->handle->root;
    if (sayCutShort && HasTracks(input->handle))
        if (const AtomNode *cut = FirstBoxPastEnd(root->firstAtom, root->fileSize))
            Warn(CutShortText(path, cut, root->fileSize));
    return "";
}

namespace {

const char *KindOf(const ReadTrack *track) {
    return track->mediaType == kMediaVideo ? "video" : track->mediaType == kMediaAudio ? "audio" : "other";
}

}  // namespace

std::string NotServedWhy(const Mp4Input &input, int32_t id) {
    const ReadTrack *track = id > 0 && id < MP4_READ_TRACK_SLOTS ? input.handle->tracks[id] : nullptr;
    if (track == nullptr || (track->mediaType != kMediaVideo && track->mediaType != kMediaAudio)) return "";
    if ((input.fragments > 0 || input.movieExtends) && track->sampleCount == 0)
        return "the file is fragmented and the track's samples lie in its fragments ('moof' boxes), "
               "which the library does not read";
    const std::string entry =
        track->trak != nullptr ? SampleEntryOf(input.boxes, track->trak->offset) : std::string();
    const char *served = track->mediaType == kMediaVideo ? "mp4v" : "mp4a";
    if (entry == served) return "";
    if (entry.empty()) return "it has no sample entry";
    const std::string name = SampleEntryName(entry);
    return "its sample entry is '" + entry + "'" + (name.empty() ? "" : " (" + name + ")") +
           "; the library reads " + (track->mediaType == kMediaVideo ? "MPEG-4 Visual" : "MPEG-4 audio") +
           " ('" + served + "')";
}

std::string NotServedText(const std::string &path, const Mp4Input &input, int32_t id) {
    const std::string why = NotServedWhy(input, id);
    if (why.empty()) return "";
    return "track " + std::to_string(id) + " (" + KindOf(input.handle->tracks[id]) + ") of " + Quoted(path) +
           " is not supported: " + why;
}

int32_t ChooseTrack(const Mp4Input &input, const std::string &kind, const std::string &path,
                    std::string *error) {
    const MP4_read_file *handle = input.handle;
    *error = NoTracksText(path, handle);
    if (!error->empty()) return 0;
    const int32_t id = kind == "audio" ? handle->audioTrackId
                       : kind == "video" || handle->videoTrackId != 0 ? handle->videoTrackId
                                                                       : handle->audioTrackId;
    if (id <= 0 || id >= MP4_READ_TRACK_SLOTS || handle->tracks[id] == nullptr) {
        *error = Quoted(path) + " has no " + (kind.empty() ? "video or audio" : kind) + " track";
        return 0;
    }
    *error = NotServedText(path, input, id);
    return error->empty() ? id : 0;
}

std::string UnreadableSampleText(const std::string &path, const Mp4Input &input, int32_t id,
                                 uint32_t number) {
    const std::string head = "sample " + std::to_string(number) + " of " + Quoted(path) + " cannot be read";
    const ReadTrack *track = input.handle->tracks[id];
    if (track == nullptr || number >= track->sampleCount || (track->samples == nullptr && track->computed == nullptr))
        return head;
    // Entries are stored or computed from the tables (a few words of a
    // table can claim millions of samples): SampleAt gives either.
    const SampleEntry s = SampleAt(track, number);
    const uint64_t end = uint64_t(s.offset) + s.size;
    const uint32_t fileSize = input.handle->root != nullptr ? input.handle->root->fileSize : 0;
    if (end > fileSize)
        return head + ": it ends past the end of the file (offset " + std::to_string(s.offset) + ", " +
               Plural(s.size, "byte", "bytes") + "; the file has " + std::to_string(fileSize) +
               "), which is cut short";
    return head;
}
