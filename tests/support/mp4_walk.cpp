#include "support/mp4_walk.h"

#include <sstream>

namespace {

std::string TypeAt(const Bytes &file, size_t at) {
    return std::string(file.begin() + long(at + 4), file.begin() + long(at + 8));
}

size_t ChildrenStart(const std::string &type) {
    if (type == "stsd" || type == "dref" || type == "mp4s") return 16;
    if (type == "mp4v" || type == "s263") return 86;
    if (type == "mp4a" || type == "samr") return 36;
    return 8;
}

BoxSpan ChildBox(const Bytes &file, BoxSpan parent, const std::string &type, int index) {
    if (!parent.found) return {};
    const size_t end = parent.at + parent.size;
    size_t at = parent.size == file.size() ? 0 : parent.at + ChildrenStart(TypeAt(file, parent.at));
    for (uint32_t size = 0; at + 8 <= end; at += size) {
        size = BigEndian32(file, at);
        const bool match = TypeAt(file, at) == type && index-- == 0;
        // mdat's size covers the media data only, not the units after it.
        if (size < 8 || at + size > end) return match ? BoxSpan{at, size, true} : BoxSpan{};
        if (match) return {at, size, true};
    }
    return {};
}

}  // namespace

uint32_t BigEndian32(const Bytes &b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

Bytes Hex(const char *text) {
    Bytes b;
    for (const char *p = text; *p; p += *p == ' ' ? 1 : 2)
        if (*p != ' ') b.push_back(uint8_t(std::stoi(std::string(p, 2), nullptr, 16)));
    return b;
}

BoxSpan FindBox(const Bytes &file, const std::string &path) {
    BoxSpan span{0, file.size(), true};
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        const size_t hash = part.find('#');
        const int index = hash == std::string::npos ? 0 : std::stoi(part.substr(hash + 1));
        span = ChildBox(file, span, part.substr(0, hash), index);
    }
    return span;
}
