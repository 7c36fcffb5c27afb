#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
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

// One member of an object read in place: a key and a scalar, the texts as offsets into the
// parsed text. Plain data, so that a row's members are never cleared before they are filled.
struct FlatMember {
    enum class Kind : std::uint8_t { null, boolean, unsignedInteger, signedInteger, text };
    std::size_t keyStart;
    std::size_t keySize;
    std::size_t textStart;  // a text's bytes, which hold no escapes
    std::size_t textSize;
    std::uint64_t magnitude;
    std::int64_t signedValue;
    Kind kind;
    bool flag;
};

// An object of at most maxMembers scalar members, none of whose keys and texts holds an escape.
struct FlatObject {
    static constexpr std::size_t maxMembers = 32;
    std::string_view source;
    std::array<FlatMember, maxMembers> members;
    std::size_t count = 0;
    // Where the last lookup stopped: decoders ask for the keys in the order they were written.
    mutable std::size_t cursor = 0;

    std::string_view key(const FlatMember& member) const noexcept {
        return source.substr(member.keyStart, member.keySize);
    }
    std::string_view text(const FlatMember& member) const noexcept {
        return source.substr(member.textStart, member.textSize);
    }
    const FlatMember* find(std::string_view key) const noexcept;
};

// Typed access to one decoded object. Required keys must be present with exactly the expected
// type; null counts as absent; unknown keys are ignored. Numbers are never converted: a float or
// a negative number where an unsigned integer is expected is an error, as is a value outside the
// target type's range.
class ObjectReader {
public:
    // Implicit, so that a decoder taking a reader also takes a parsed tree.
    ObjectReader(const Value& object);  // NOLINT(google-explicit-constructor)
    explicit ObjectReader(const FlatObject& object) noexcept : flat_(&object) {}

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
        static_assert(!std::is_same_v<T, bool>, "use flag() for booleans");
        return checkedInteger<T>(key, requiredInteger(key));
    }
    template <std::integral T>
    std::optional<T> optionalInteger(std::string_view key) const {
        if (!has(key)) {
            return std::nullopt;
        }
        return integer<T>(key);
    }

    ObjectReader object(std::string_view key) const;
    const Value& array(std::string_view key) const;

private:
    // An integer as JSON gives it: unsigned when written without a sign and within 64 bits.
    struct Integer {
        bool isUnsigned;
        std::uint64_t magnitude;
        std::int64_t signedValue;
    };

    const Value* find(std::string_view key) const;  // nullptr when absent or null
    const Value& required(std::string_view key) const;
    const FlatMember& requiredMember(std::string_view key) const;
    Integer requiredInteger(std::string_view key) const;
    [[noreturn]] static void missing(std::string_view key);
    [[noreturn]] static void wrongType(std::string_view key, std::string_view expected);
    [[noreturn]] static void outOfRange(std::string_view key);

    template <std::integral T>
    static T checkedInteger(std::string_view key, const Integer& value) {
        if (value.isUnsigned) {
            if (value.magnitude <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                return static_cast<T>(value.magnitude);
            }
        } else {
            const std::int64_t n = value.signedValue;
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
        }
        outOfRange(key);
    }

    // Exactly one of the two is set.
    const Value* tree_ = nullptr;
    const FlatObject* flat_ = nullptr;
};

// parseObject's decoding, without building a tree where none is needed: an object of scalar
// members whose texts hold no escapes (every row this system writes) is read in place, as views
// into `text`, which must outlive it. Anything else goes through parseObject, errors included,
// so both ways accept and refuse the same texts.
class ParsedObject {
public:
    explicit ParsedObject(std::string_view text);
    ParsedObject(const ParsedObject&) = delete;
    ParsedObject& operator=(const ParsedObject&) = delete;

    ObjectReader reader() const;

private:
    FlatObject flat_;
    std::optional<Value> tree_;
};

// Writes the bytes encode() would give for an object built member by member, without the tree:
// keys in the order they are added, the same escapes, and the same DecodeError for a text that
// is not valid UTF-8. Keys are written as given: they must need no escaping.
class ObjectWriter {
public:
    ObjectWriter();

    ObjectWriter& text(std::string_view key, std::string_view value);
    ObjectWriter& flag(std::string_view key, bool value);
    template <std::integral T>
    ObjectWriter& integer(std::string_view key, T value) {
        static_assert(!std::is_same_v<T, bool>, "use flag() for booleans");
        char digits[24];
        const char* end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
        return member(key, std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    // The object's text; the writer is spent.
    std::string finish();

private:
    // Adds a member whose value is already JSON.
    ObjectWriter& member(std::string_view key, std::string_view json);
    void appendKey(std::string_view key);

    std::string out_;
};

}  // namespace tolvane::StrictJson
