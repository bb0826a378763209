#include "support/mp4_walk.h"

#include <sstream>

namespace {

size_t ChildrenStart(const std::string &type) {
    if (type == "stsd" || type == "dref" || type == "mp4s") return 16;
    if (type == "mp4v" || type == "s263") return 86;
    if (type == "mp4a" || type == "samr") return 36;
    return 8;
}

}  // namespace

uint32_t BigEndian32(const Bytes &b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
           b[at + 3];
}

BoxSpan WholeFile(const Bytes &file) { return {0, file.size(), true}; }

BoxSpan ChildBox(const Bytes &file, BoxSpan parent, const std::string &type, int index) {
    if (!parent.found) return {};
    const bool top = parent.at == 0 && parent.size == file.size();
    const std::string parentType =
        top ? "" : std::string(file.begin() + long(parent.at + 4), file.begin() + long(parent.at + 8));
    size_t at = parent.at + (top ? 0 : ChildrenStart(parentType));
    const size_t end = parent.at + parent.size;
    while (at + 8 <= end) {
        const uint32_t size = BigEndian32(file, at);
        if (size < 8 || at + size > end) {
            // mdat's size covers media data only up to the fixed units.
            if (std::string(file.begin() + long(at + 4), file.begin() + long(at + 8)) == type &&
                index == 0)
                return {at, size, true};
            return {};
        }
        if (std::string(file.begin() + long(at + 4), file.begin() + long(at + 8)) == type &&
            index-- == 0)
            return {at, size, true};
        at += size;
    }
    return {};
}

BoxSpan FindBox(const Bytes &file, const std::string &path) {
    BoxSpan span = WholeFile(file);
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        int index = 0;
        const size_t hash = part.find('#');
        if (hash != std::string::npos) {
            index = std::stoi(part.substr(hash + 1));
            part = part.substr(0, hash);
        }
        span = ChildBox(file, span, part, index);
    }
    return span;
}

Bytes BoxBytes(const Bytes &file, BoxSpan box) {
    if (!box.found || box.at + box.size > file.size()) return {};
    return Bytes(file.begin() + long(box.at), file.begin() + long(box.at + box.size));
}
