#include "support/TestData.h"

#include <random>

namespace tolvane::test {

std::string randomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(generator() & 0xff);
    }
    return out;
}

std::string textBytes(std::size_t size) {
    static const std::string line = "Every entry is read once: hashed, checked and compressed.\n";
    std::string out;
    out.reserve(size + line.size());
    while (out.size() < size) {
        out += line;
    }
    out.resize(size);
    return out;
}

}  // namespace tolvane::test
