#include "core/common/StrictJson.h"

#include <set>
#include <vector>

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

ObjectReader::ObjectReader(const Value& object) : object_(object) {
    if (!object_.is_object()) {
        throw DecodeError("JSON value is not an object");
    }
}

const Value* ObjectReader::find(std::string_view key) const {
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const Value& ObjectReader::required(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) {
        throw DecodeError("missing key \"" + std::string(key) + "\"");
    }
    return *value;
}

void ObjectReader::wrongType(std::string_view key, std::string_view expected) {
    throw DecodeError("value of \"" + std::string(key) + "\" is not " + std::string(expected));
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
    return find(key) != nullptr;
}

std::string ObjectReader::text(std::string_view key) const {
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
    const Value& value = required(key);
    if (!value.is_object()) {
        wrongType(key, "an object");
    }
    return ObjectReader(value);
}

const Value& ObjectReader::array(std::string_view key) const {
    const Value& value = required(key);
    if (!value.is_array()) {
        wrongType(key, "an array");
    }
    return value;
}

}  // namespace tolvane::StrictJson
