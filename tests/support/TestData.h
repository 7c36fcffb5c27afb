#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace tolvane::test {

// Incompressible bytes, the same for the same seed.
std::string randomBytes(std::size_t size, std::uint64_t seed);
// Highly compressible text of exactly `size` bytes.
std::string textBytes(std::size_t size);

// text converted by glibc's iconv from one encoding to another (names as "CP949", "IBM437"),
// so fixtures do not depend on the code under test. A text it cannot convert fails the test and
// gives an empty text.
std::string converted(const std::string& text, const char* from, const char* to);

// Every entry of a ZIP and its content as libzip reads it (folders keep their trailing "/").
// A ZIP libzip cannot read fails the test and gives no entries.
std::map<std::string, std::string> zipEntries(const std::string& path);

}  // namespace tolvane::test
