// Random UUIDs in their canonical upper-case text form, and recognising that form.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A fresh random UUID: 36 characters, upper-case hexadecimal, hyphenated.
std::string newUUIDString();

// Whether `text` is a UUID in its 36-character hyphenated form (either case).
bool isUUIDString(std::string_view text);

}  // namespace platform
