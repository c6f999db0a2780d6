// PropertyList: the typed value that object-valued audio properties carry (strings, numbers,
// arrays, dictionaries), standing in for the platform's reference-counted objects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform::audio {

class PropertyList {
public:
    using Array = std::vector<PropertyList>;
    using Dictionary = std::map<std::string, PropertyList, std::less<>>;

    PropertyList() = default;  // null: a property that answered with no object
    PropertyList(std::int64_t value) : value_(value) {}
    PropertyList(int value) : value_(std::int64_t(value)) {}
    PropertyList(double value) : value_(value) {}
    PropertyList(std::string value) : value_(std::move(value)) {}
    PropertyList(const char* value) : value_(std::string(value)) {}
    PropertyList(Array value) : value_(std::move(value)) {}
    PropertyList(Dictionary value) : value_(std::move(value)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isNumber() const {
        return std::holds_alternative<std::int64_t>(value_) || std::holds_alternative<double>(value_);
    }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(value_); }

    // Typed views; nothing when the value holds another type. Numbers convert between integer
    // and real as the platform's number objects do; a real that is not integral is no integer.
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
    std::optional<double> real() const;
    std::optional<std::int64_t> integer() const;

    // The entry for `key` of a dictionary; null when absent or when this is no dictionary.
    const PropertyList* find(std::string_view key) const;

    friend bool operator==(const PropertyList&, const PropertyList&) = default;

private:
    std::variant<std::monostate, std::int64_t, double, std::string, Array, Dictionary> value_;
};

}  // namespace platform::audio
