// The order in which people expect names in a file browser: by the user's language, without
// regard to case, with runs of digits compared by value ("Out 2" before "Out 10", "Écouteurs"
// before "Zebra" in English and French alike).
#pragma once

#include <memory>
#include <string_view>

namespace korvane {

class NaturalOrder {
public:
    // `locale` names the collation language ("sv", "de_DE.UTF-8"); empty takes the user's
    // (LC_ALL, else LC_COLLATE, else LANG). "C", "POSIX" and no setting at all mean the
    // language-neutral order, not the byte order that the C locale stands for.
    explicit NaturalOrder(std::string_view locale = {});
    ~NaturalOrder();
    NaturalOrder(const NaturalOrder&) = delete;
    NaturalOrder& operator=(const NaturalOrder&) = delete;

    // A negative number, zero or a positive number as `a` sorts before, with, or after `b`. Both
    // are UTF-8; ill-formed bytes compare as replacement characters. Any thread.
    int compare(std::string_view a, std::string_view b) const;

private:
    struct Collation;
    std::unique_ptr<Collation> collation_;  // null only when ICU has no data: byte order then
};

// `NaturalOrder` for the user's locale, made once per process. Any thread.
int naturalCompare(std::string_view a, std::string_view b);

}  // namespace korvane
