// Test helpers: bytes, temporary files, fixtures, commands.
#ifndef CORVANE_TEST_BYTES_H
#define CORVANE_TEST_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

std::string TempDir();                                               // a fresh directory for the calling test
std::string WriteTemp(const std::string &name, const Bytes &bytes);  // path in TempDir()
Bytes ReadFileBytes(const std::string &path);
bool FileExists(const std::string &path);
std::string Fixture(const std::string &name);  // path of tests/data/<name>

// Runs a shell command and returns its standard output (empty on failure).
std::string RunCommand(const std::string &command, int *status = nullptr);
bool HaveTool(const std::string &name);

#endif
