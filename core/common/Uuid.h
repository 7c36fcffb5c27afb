#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// A version 4 UUID. Text is the canonical 8-4-4-4-12 form in upper case.
class Uuid {
public:
    Uuid() = default;  // the nil UUID
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // A new random version 4 UUID from getrandom(2).
    static Uuid random();
    // Exactly 36 characters in the 8-4-4-4-12 layout with hex digits of either case; anything
    // else is refused.
    static std::optional<Uuid> parse(std::string_view text);

    std::string text() const;
    const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace tolvane
