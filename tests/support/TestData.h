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

// Every entry of a ZIP and its content as libzip reads it (folders keep their trailing "/").
// A ZIP libzip cannot read fails the test and gives no entries.
std::map<std::string, std::string> zipEntries(const std::string& path);

}  // namespace tolvane::test
