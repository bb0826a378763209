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

// Follows a path of types from the top level; "trak#2" is the third trak.
// Children start after the parent's header and, for sample entries, their
// fixed fields.
BoxSpan FindBox(const Bytes &file, const std::string &path);
uint32_t BigEndian32(const Bytes &bytes, size_t at);
// Bytes written as hexadecimal text; spaces are ignored ("0001 02").
Bytes Hex(const char *text);

#endif
