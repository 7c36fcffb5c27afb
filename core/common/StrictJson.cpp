#include "core/common/StrictJson.h"

#include <cstring>
#include <set>
#include <vector>

#include "core/common/Unicode.h"

namespace tolvane::StrictJson {

namespace {
constexpr int maximumDepth = 64;
}

Value parseObject(std::string_view text) {
    // One set of seen keys per open object, to refuse duplicates.
    std::vector<std::set<std::string>> openObjects;
    const auto callback = [&](int depth, Value::parse_event_t event, Value& parsed) {
        if (depth > maximumDepth) {
            throw DecodeError("JSON nesting is too deep");
        }
        switch (event) {
            case Value::parse_event_t::object_start:
                openObjects.emplace_back();
                break;
            case Value::parse_event_t::object_end:
                if (!openObjects.empty()) {
                    openObjects.pop_back();
                }
                break;
            case Value::parse_event_t::key:
                if (!openObjects.empty() &&
                    !openObjects.back().insert(parsed.get<std::string>()).second) {
                    throw DecodeError("duplicate key \"" + parsed.get<std::string>() + "\"");
                }
                break;
            default:
                break;
        }
        return true;
    };
    Value value;
    try {
        value = Value::parse(text.begin(), text.end(), callback, true, false);
    } catch (const Value::exception& error) {
        throw DecodeError(std::string("malformed JSON: ") + error.what());
    }
    if (!value.is_object()) {
        throw DecodeError("JSON value is not an object");
    }
    return value;
}

std::string encode(const OrderedValue& value) {
    try {
        return value.dump();
    } catch (const OrderedValue::exception& error) {
        throw DecodeError(std::string("value cannot be encoded: ") + error.what());
    }
}

namespace {

bool isWhitespace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct Scan {
    bool special;  // a backslash or a control character
    bool ascii;
};

// Eight bytes at a time: rows are mostly long paths, read four times in a pack.
Scan scanText(std::string_view text) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    std::uint64_t special = 0;
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        const std::uint64_t backslashes = word ^ (ones * '\\');
        // Whether a byte is below 0x20, and whether one is zero after the exclusive or: the
        // usual word tests, which may mark more bytes than match but never a word without one.
        special |=
            ((word - ones * 0x20) & ~word & highs) | ((backslashes - ones) & ~backslashes & highs);
        high |= word & highs;
    }
    bool tailSpecial = false;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        tailSpecial = tailSpecial || c == '\\' || c < 0x20;
        high |= c & 0x80;
    }
    return {special != 0 || tailSpecial, high == 0};
}

// Reads the JSON of one flat object in place. Whatever it does not take on (escapes, floats,
// nesting, malformed text, duplicate keys, too many members) makes it give up, leaving the
// decision, and the words of any error, to parseObject.
class FlatParser {
public:
    FlatParser(std::string_view text, FlatObject& object) noexcept : text_(text), object_(object) {}

    bool parse() noexcept {
        object_.source = text_;
        object_.count = 0;
        object_.cursor = 0;
        skipWhitespace();
        if (!take('{')) {
            return false;
        }
        skipWhitespace();
        if (!take('}')) {
            do {
                if (!member()) {
                    return false;
                }
                skipWhitespace();
            } while (take(','));
            if (!take('}')) {
                return false;
            }
        }
        skipWhitespace();
        return at_ == text_.size();
    }

private:
    bool member() noexcept {
        skipWhitespace();
        if (object_.count == FlatObject::maxMembers) {
            return false;
        }
        FlatMember& member = object_.members[object_.count];
        if (!string(member.keyStart, member.keySize)) {
            return false;
        }
        // Keys are compared only where a cheap mark of length and last byte says they may meet.
        const std::string_view key = object_.key(member);
        const std::uint64_t mark = std::uint64_t{1}
                                   << ((key.size() * 7 + (key.empty() ? 0U : key.back())) & 63U);
        if ((marks_ & mark) != 0) {
            for (std::size_t i = 0; i < object_.count; ++i) {
                if (object_.key(object_.members[i]) == key) {
                    return false;
                }
            }
        }
        marks_ |= mark;
        skipWhitespace();
        if (!take(':')) {
            return false;
        }
        skipWhitespace();
        member.textStart = 0;
        member.textSize = 0;
        member.magnitude = 0;
        member.signedValue = 0;
        member.flag = false;
        if (!value(member)) {
            return false;
        }
        ++object_.count;
        return true;
    }

    bool value(FlatMember& member) noexcept {
        if (at_ == text_.size()) {
            return false;
        }
        switch (text_[at_]) {
            case '"':
                member.kind = FlatMember::Kind::text;
                return string(member.textStart, member.textSize);
            case 't':
                member.kind = FlatMember::Kind::boolean;
                member.flag = true;
                return literal("true");
            case 'f':
                member.kind = FlatMember::Kind::boolean;
                return literal("false");
            case 'n':
                member.kind = FlatMember::Kind::null;
                return literal("null");
            default:
                return integer(member);
        }
    }

    // A text between quotes with no escape and no control character, in valid UTF-8.
    bool string(std::size_t& start, std::size_t& size) noexcept {
        if (!take('"')) {
            return false;
        }
        const auto* first = text_.data() + at_;
        const auto* quote = static_cast<const char*>(std::memchr(first, '"', text_.size() - at_));
        if (quote == nullptr) {
            return false;
        }
        start = at_;
        size = static_cast<std::size_t>(quote - first);
        at_ += size + 1;
        const std::string_view bytes(first, size);
        const Scan scan = scanText(bytes);
        return !scan.special && (scan.ascii || Unicode::isValidUTF8(bytes));
    }

    // An integer as JSON writes it; one that does not fit 64 bits is a float to JSON.
    bool integer(FlatMember& member) noexcept {
        const bool negative = take('-');
        const std::size_t start = at_;
        std::uint64_t magnitude = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            const auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                return false;
            }
            magnitude = magnitude * 10 + digit;
            ++at_;
        }
        const std::size_t digits = at_ - start;
        if (digits == 0 || (digits > 1 && text_[start] == '0')) {
            return false;
        }
        if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
            return false;
        }
        if (!negative) {
            member.kind = FlatMember::Kind::unsignedInteger;
            member.magnitude = magnitude;
            return true;
        }
        constexpr auto limit = std::uint64_t{1} << 63;
        if (magnitude > limit) {
            return false;
        }
        member.kind = FlatMember::Kind::signedInteger;
        member.signedValue = magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                                                : -static_cast<std::int64_t>(magnitude);
        return true;
    }

    bool literal(std::string_view word) noexcept {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool take(char c) noexcept {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void skipWhitespace() noexcept {
        while (at_ < text_.size() && isWhitespace(text_[at_])) {
            ++at_;
        }
    }

    std::string_view text_;
    FlatObject& object_;
    std::size_t at_ = 0;
    std::uint64_t marks_ = 0;
};

}  // namespace

const FlatMember* FlatObject::find(std::string_view key) const noexcept {
    for (std::size_t step = 0; step < count; ++step) {
        const std::size_t index = (cursor + step) % count;
        if (this->key(members[index]) == key) {
            cursor = index + 1;
            return &members[index];
        }
    }
    return nullptr;
}

ParsedObject::ParsedObject(std::string_view text) {
    if (!FlatParser(text, flat_).parse()) {
        tree_.emplace(parseObject(text));
    }
}

ObjectReader ParsedObject::reader() const {
    return tree_ ? ObjectReader(*tree_) : ObjectReader(flat_);
}

ObjectReader::ObjectReader(const Value& object) : tree_(&object) {
    if (!object.is_object()) {
        throw DecodeError("JSON value is not an object");
    }
}

const Value* ObjectReader::find(std::string_view key) const {
    const auto it = tree_->find(key);
    if (it == tree_->end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const Value& ObjectReader::required(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) {
        missing(key);
    }
    return *value;
}

const FlatMember& ObjectReader::requiredMember(std::string_view key) const {
    const FlatMember* member = flat_->find(key);
    if (member == nullptr || member->kind == FlatMember::Kind::null) {
        missing(key);
    }
    return *member;
}

ObjectReader::Integer ObjectReader::requiredInteger(std::string_view key) const {
    if (flat_ != nullptr) {
        const FlatMember& member = requiredMember(key);
        if (member.kind == FlatMember::Kind::unsignedInteger) {
            return {true, member.magnitude, 0};
        }
        if (member.kind != FlatMember::Kind::signedInteger) {
            wrongType(key, "an integer");
        }
        return {false, 0, member.signedValue};
    }
    const Value& value = required(key);
    if (value.is_number_unsigned()) {
        return {true, value.get<std::uint64_t>(), 0};
    }
    if (!value.is_number_integer()) {
        wrongType(key, "an integer");
    }
    return {false, 0, value.get<std::int64_t>()};
}

void ObjectReader::missing(std::string_view key) {
    throw DecodeError("missing key \"" + std::string(key) + "\"");
}

void ObjectReader::wrongType(std::string_view key, std::string_view expected) {
    throw DecodeError("value of \"" + std::string(key) + "\" is not " + std::string(expected));
}

void ObjectReader::outOfRange(std::string_view key) {
    throw DecodeError("value of \"" + std::string(key) + "\" is out of range");
}

namespace {
// The reading of a key, or no value when it is absent or null.
template <typename T>
std::optional<T> ifPresent(const ObjectReader& reader, std::string_view key,
                           T (ObjectReader::*read)(std::string_view) const) {
    if (!reader.has(key)) {
        return std::nullopt;
    }
    return (reader.*read)(key);
}
}  // namespace

bool ObjectReader::has(std::string_view key) const {
    if (flat_ != nullptr) {
        const FlatMember* member = flat_->find(key);
        return member != nullptr && member->kind != FlatMember::Kind::null;
    }
    return find(key) != nullptr;
}

std::string ObjectReader::text(std::string_view key) const {
    if (flat_ != nullptr) {
        const FlatMember& member = requiredMember(key);
        if (member.kind != FlatMember::Kind::text) {
            wrongType(key, "a text");
        }
        return std::string(flat_->text(member));
    }
    const Value& value = required(key);
    if (!value.is_string()) {
        wrongType(key, "a text");
    }
    return value.get<std::string>();
}

std::optional<std::string> ObjectReader::optionalText(std::string_view key) const {
    return ifPresent(*this, key, &ObjectReader::text);
}

bool ObjectReader::flag(std::string_view key) const {
    if (flat_ != nullptr) {
        const FlatMember& member = requiredMember(key);
        if (member.kind != FlatMember::Kind::boolean) {
            wrongType(key, "a boolean");
        }
        return member.flag;
    }
    const Value& value = required(key);
    if (!value.is_boolean()) {
        wrongType(key, "a boolean");
    }
    return value.get<bool>();
}

std::optional<bool> ObjectReader::optionalFlag(std::string_view key) const {
    return ifPresent(*this, key, &ObjectReader::flag);
}

double ObjectReader::number(std::string_view key) const {
    if (flat_ != nullptr) {
        const FlatMember& member = requiredMember(key);
        if (member.kind == FlatMember::Kind::unsignedInteger) {
            return static_cast<double>(member.magnitude);
        }
        if (member.kind != FlatMember::Kind::signedInteger) {
            wrongType(key, "a number");
        }
        return static_cast<double>(member.signedValue);
    }
    const Value& value = required(key);
    if (!value.is_number()) {
        wrongType(key, "a number");
    }
    return value.get<double>();
}

std::optional<double> ObjectReader::optionalNumber(std::string_view key) const {
    return ifPresent(*this, key, &ObjectReader::number);
}

ObjectReader ObjectReader::object(std::string_view key) const {
    if (flat_ != nullptr) {
        requiredMember(key);
        wrongType(key, "an object");  // a flat object holds none
    }
    const Value& value = required(key);
    if (!value.is_object()) {
        wrongType(key, "an object");
    }
    return ObjectReader(value);
}

const Value& ObjectReader::array(std::string_view key) const {
    if (flat_ != nullptr) {
        requiredMember(key);
        wrongType(key, "an array");  // a flat object holds none
    }
    const Value& value = required(key);
    if (!value.is_array()) {
        wrongType(key, "an array");
    }
    return value;
}

namespace {
// The letter JSON writes after "\" for the byte, or NUL when it has no short escape.
char shortEscape(char c) noexcept {
    constexpr std::string_view escaped = "\"\\\b\f\n\r\t";
    constexpr std::string_view letters = "\"\\bfnrt";
    const std::size_t at = escaped.find(c);
    return at == std::string_view::npos ? '\0' : letters[at];
}
}  // namespace

ObjectWriter::ObjectWriter() {
    out_.reserve(256);
    out_.push_back('{');
}

void ObjectWriter::appendKey(std::string_view key) {
    if (out_.size() > 1) {
        out_.push_back(',');
    }
    out_.push_back('"');
    out_.append(key);
    out_.append("\":");
}

ObjectWriter& ObjectWriter::text(std::string_view key, std::string_view value) {
    appendKey(key);
    if (!Unicode::isASCII(value) && !Unicode::isValidUTF8(value)) {
        // The tree's encoder words the refusal; a text it took after all is written its way.
        out_.append(encode(OrderedValue(std::string(value))));
        return *this;
    }
    out_.push_back('"');
    std::size_t plain = 0;  // start of the bytes not yet written, which need no escape
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out_.append(value.substr(plain, i - plain));
        plain = i + 1;
        out_.push_back('\\');
        if (const char letter = shortEscape(c); letter != '\0') {
            out_.push_back(letter);
        } else {
            constexpr std::string_view hex = "0123456789abcdef";
            out_.append("u00");
            out_.push_back(hex[static_cast<unsigned char>(c) >> 4]);
            out_.push_back(hex[static_cast<unsigned char>(c) & 0xF]);
        }
    }
    out_.append(value.substr(plain));
    out_.push_back('"');
    return *this;
}

ObjectWriter& ObjectWriter::flag(std::string_view key, bool value) {
    return member(key, value ? "true" : "false");
}

ObjectWriter& ObjectWriter::member(std::string_view key, std::string_view json) {
    appendKey(key);
    out_.append(json);
    return *this;
}

std::string ObjectWriter::finish() {
    out_.push_back('}');
    return std::move(out_);
}

}  // namespace tolvane::StrictJson
