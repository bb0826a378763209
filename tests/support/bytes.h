// Test helpers: building MP4 boxes as bytes, temporary files, fixtures.
#ifndef CORVANE_TEST_BYTES_H
#define CORVANE_TEST_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Big-endian pieces.
Bytes U32(uint32_t v);
Bytes U16(uint16_t v);
Bytes Str(const std::string &s);  // the characters, no terminator
Bytes Zeros(size_t n);
Bytes Cat(std::initializer_list<Bytes> parts);

// A box: 32-bit size, type, then the payload.
Bytes Box(const std::string &type, const Bytes &payload = {});
Bytes Box(const std::string &type, std::initializer_list<Bytes> payloadParts);
// A full box: version 0, flags, then the payload.
Bytes FullBox(const std::string &type, uint32_t flags, const Bytes &payload = {});
// A box whose size field says `size` whatever its payload.
Bytes BoxWithSize(uint32_t size, const std::string &type, const Bytes &payload = {});
// An esds box: an ES_Descriptor holding a DecoderConfigDescriptor (`configHead`,
// objectTypeIndication to avgBitrate, then a DecoderSpecificInfo of `specific`)
// and an SLConfigDescriptor.  Descriptor lengths take one byte, or the form
// 80 80 80 n when long: the ES_Descriptor's by `longEs`, the others' by `longInner`.
Bytes EsdsBox(bool longEs, bool longInner, const Bytes &configHead, const Bytes &specific);

// Files.
std::string TempDir();                  // a fresh directory for the calling test
std::string WriteTemp(const std::string &name, const Bytes &bytes);  // path in TempDir()
Bytes ReadFileBytes(const std::string &path);
bool FileExists(const std::string &path);
std::string Fixture(const std::string &name);  // path of tests/data/<name>

// Runs a shell command and returns its standard output (empty on failure).
std::string RunCommand(const std::string &command, int *status = nullptr);
bool HaveTool(const std::string &name);

#endif
