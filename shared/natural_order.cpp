#include "shared/natural_order.h"

namespace korvane {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

unsigned char fold(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// The digit run starting at `i`, without its leading zeros; advances `i` past the run.
std::string_view digitRun(std::string_view text, std::size_t& i) {
    while (i < text.size() && text[i] == '0' && i + 1 < text.size() && isDigit(text[i + 1])) ++i;
    const std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    return text.substr(start, i - start);
}

}  // namespace

int naturalCompare(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::string_view x = digitRun(a, i);
            const std::string_view y = digitRun(b, j);
            // Without leading zeros the longer run is the larger number; equal lengths compare
            // digit by digit. Numbers of any length work, as nothing is converted.
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (const int c = x.compare(y); c != 0) return c < 0 ? -1 : 1;
            continue;
        }
        const unsigned char x = fold(a[i]);
        const unsigned char y = fold(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace korvane
