#include "core/common/ByteCount.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {
namespace {

struct Unit {
    std::string_view name;
    int fractionDigits;
};

constexpr std::array<Unit, 6> units{{
    {"KB", 0},
    {"MB", 1},
    {"GB", 2},
    {"TB", 2},
    {"PB", 2},
    {"EB", 2},
}};

std::uint64_t powerOfTen(int exponent) {
    std::uint64_t value = 1;
    for (int i = 0; i < exponent; ++i) {
        value *= 10;
    }
    return value;
}

void appendNumber(std::string& out, std::uint64_t value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

}  // namespace

std::string formatByteCount(std::int64_t bytes) {
    const std::uint64_t count = bytes < 0 ? 0 : static_cast<std::uint64_t>(bytes);
    std::string out;
    if (count < 1000) {
        appendNumber(out, count);
        out += "바이트";
        return out;
    }

    // Work in integer steps of the last shown digit so that rounding is exact and nothing
    // overflows: one step of unit k with d fraction digits is 10^(3(k+1) - d) bytes, always
    // an even number, so "half" is exact too.
    for (std::size_t k = 0; k < units.size(); ++k) {
        const Unit& unit = units[k];
        const std::uint64_t step = powerOfTen(3 * static_cast<int>(k + 1) - unit.fractionDigits);
        std::uint64_t scaled = count / step;
        if ((count % step) >= step / 2) {
            ++scaled;
        }
        const std::uint64_t fractionScale = powerOfTen(unit.fractionDigits);
        if (scaled >= 1000 * fractionScale && k + 1 < units.size()) {
            continue;
        }

        appendNumber(out, scaled / fractionScale);
        std::uint64_t fraction = scaled % fractionScale;
        int digits = unit.fractionDigits;
        while (digits > 0 && fraction % 10 == 0) {
            fraction /= 10;
            --digits;
        }
        if (digits > 0) {
            out += '.';
            std::string text;
            appendNumber(text, fraction);
            out.append(static_cast<std::size_t>(digits) - text.size(), '0');
            out += text;
        }
        out += ' ';
        out += unit.name;
        return out;
    }
    return out;  // unreachable: the last unit always returns
}

}  // namespace tolvane
