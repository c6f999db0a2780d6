#include "shared/natural_order.h"

#include <cstdlib>
#include <string>
#include <unicode/coll.h>
#include <unicode/locid.h>

namespace korvane {

namespace {

// The collation locale the user asked for: "de_DE.UTF-8@euro" → "de_DE"; the C locale → root.
icu::Locale collationLocale(std::string_view requested) {
    std::string name(requested);
    if (name.empty()) {
        for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"})
            if (const char* value = std::getenv(variable); value && *value) {
                name = value;
                break;
            }
    }
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return icu::Locale::getRoot();
    icu::Locale locale(name.c_str());
    return locale.isBogus() ? icu::Locale::getRoot() : locale;
}

}  // namespace

struct NaturalOrder::Collation {
    std::unique_ptr<icu::Collator> collator;
};

NaturalOrder::NaturalOrder(std::string_view locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(collationLocale(locale), status));
    if (U_FAILURE(status) || !collator) return;
    // Secondary strength: letters and accents count, case does not.
    collator->setStrength(icu::Collator::SECONDARY);
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    if (U_SUCCESS(status)) collation_ = std::make_unique<Collation>(Collation{std::move(collator)});
}

NaturalOrder::~NaturalOrder() = default;

int NaturalOrder::compare(std::string_view a, std::string_view b) const {
    if (collation_) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result =
            collation_->collator->compareUTF8(icu::StringPiece(a.data(), std::int32_t(a.size())),
                                   icu::StringPiece(b.data(), std::int32_t(b.size())), status);
        if (U_SUCCESS(status)) return result;
    }
    const int result = a.compare(b);
    return (result > 0) - (result < 0);
}

int naturalCompare(std::string_view a, std::string_view b) {
    static const NaturalOrder order;
    return order.compare(a, b);
}

}  // namespace korvane
