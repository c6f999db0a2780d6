#include "platform/property_list.h"

#include <cmath>

namespace platform::audio {

std::optional<double> PropertyList::real() const {
    if (const auto* i = std::get_if<std::int64_t>(&value_)) return double(*i);
    if (const auto* d = std::get_if<double>(&value_)) return *d;
    return std::nullopt;
}

std::optional<std::int64_t> PropertyList::integer() const {
    if (const auto* i = std::get_if<std::int64_t>(&value_)) return *i;
    if (const auto* d = std::get_if<double>(&value_)) {
        // The range check keeps the conversion defined; 2^63 itself is out of range.
        if (std::isfinite(*d) && *d == std::trunc(*d) && *d >= -9.223372036854775808e18 &&
            *d < 9.223372036854775808e18)
            return std::int64_t(*d);
    }
    return std::nullopt;
}

const PropertyList* PropertyList::find(std::string_view key) const {
    const auto* dict = dictionary();
    if (!dict) return nullptr;
    const auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

}  // namespace platform::audio
