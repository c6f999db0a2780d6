// The order in which people expect names in a file browser: case-insensitive, with runs of
// digits compared by value ("Out 2" before "Out 10").
#pragma once

#include <string_view>

namespace korvane {

// Returns a negative number, zero or a positive number as `a` sorts before, with, or after `b`.
// Letters compare without regard to ASCII case; other bytes compare by value.
int naturalCompare(std::string_view a, std::string_view b);

}  // namespace korvane
