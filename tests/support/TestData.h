#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane::test {

// Incompressible bytes, the same for the same seed.
std::string randomBytes(std::size_t size, std::uint64_t seed);
// Highly compressible text of exactly `size` bytes.
std::string textBytes(std::size_t size);

}  // namespace tolvane::test
