#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tolvane::StrictJson {

// Encoding keeps the order in which fields are added.
using OrderedValue = nlohmann::ordered_json;
using Value = nlohmann::json;

// A stored record that cannot be decoded: malformed JSON, a missing key, a wrong type or an
// integer out of range. The message names the offending key.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses text holding exactly one JSON object. Duplicate keys and nesting deeper than 64
// levels are refused, so a record can never mean two things.
Value parseObject(std::string_view text);

// Compact single-line JSON. A text that is not valid UTF-8 throws DecodeError instead of being
// written as a record nobody could read back.
std::string encode(const OrderedValue& value);

// Typed access to one decoded object. Required keys must be present with exactly the expected
// type; null counts as absent; unknown keys are ignored. Numbers are never converted: a float or
// a negative number where an unsigned integer is expected is an error, as is a value outside the
// target type's range.
class ObjectReader {
public:
    explicit ObjectReader(const Value& object);

    bool has(std::string_view key) const;  // present and not null

    std::string text(std::string_view key) const;
    std::optional<std::string> optionalText(std::string_view key) const;

    bool flag(std::string_view key) const;
    std::optional<bool> optionalFlag(std::string_view key) const;

    // Any JSON number, as a double.
    double number(std::string_view key) const;
    std::optional<double> optionalNumber(std::string_view key) const;

    template <std::integral T>
    T integer(std::string_view key) const {
        return checkedInteger<T>(key, required(key));
    }
    template <std::integral T>
    std::optional<T> optionalInteger(std::string_view key) const {
        const Value* value = find(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        return checkedInteger<T>(key, *value);
    }

    ObjectReader object(std::string_view key) const;
    const Value& array(std::string_view key) const;

    const Value& value() const noexcept { return object_; }

private:
    const Value* find(std::string_view key) const;  // nullptr when absent or null
    const Value& required(std::string_view key) const;
    [[noreturn]] static void wrongType(std::string_view key, std::string_view expected);

    template <std::integral T>
    static T checkedInteger(std::string_view key, const Value& value) {
        if constexpr (std::is_same_v<T, bool>) {
            static_assert(!std::is_same_v<T, bool>, "use flag() for booleans");
        }
        if (value.is_number_unsigned()) {
            const auto n = value.get<std::uint64_t>();
            if (n <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                return static_cast<T>(n);
            }
        } else if (value.is_number_integer()) {
            const auto n = value.get<std::int64_t>();
            if constexpr (std::is_signed_v<T>) {
                if (n >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
                    n <= static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
                    return static_cast<T>(n);
                }
            } else {
                if (n >= 0 && static_cast<std::uint64_t>(n) <= std::numeric_limits<T>::max()) {
                    return static_cast<T>(n);
                }
            }
        } else {
            wrongType(key, "an integer");
        }
        throw DecodeError("value of \"" + std::string(key) + "\" is out of range");
    }

    const Value& object_;
};

}  // namespace tolvane::StrictJson
