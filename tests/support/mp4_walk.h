// Finding boxes in the bytes of a written MP4 file, for byte-level checks.
#ifndef CORVANE_TEST_MP4_WALK_H
#define CORVANE_TEST_MP4_WALK_H

#include <string>

#include "support/bytes.h"

struct BoxSpan {
    size_t at = 0;    // offset of the box's first byte
    size_t size = 0;  // the box's size, header included
    bool found = false;
};

// The whole file, as the parent of the top-level boxes.
BoxSpan WholeFile(const Bytes &file);
// The index-th child of the given type (children start after the parent's
// header and, for sample entries, their fixed fields).
BoxSpan ChildBox(const Bytes &file, BoxSpan parent, const std::string &type, int index = 0);
// Follows a path of types from the top level; "trak#2" is the third trak.
BoxSpan FindBox(const Bytes &file, const std::string &path);
Bytes BoxBytes(const Bytes &file, BoxSpan box);
uint32_t BigEndian32(const Bytes &bytes, size_t at);

#endif
