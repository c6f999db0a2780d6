#include "panel/views/interface_preferences.h"

namespace korvane::views {

InterfacePreferences::InterfacePreferences(platform::DefaultsStore& store, QObject* parent)
    : QObject(parent), store_(store) {}

bool InterfacePreferences::compact() const { return store_.boolValue(kCompactKey).value_or(kCompactDefault); }

void InterfacePreferences::setCompact(bool compact) {
    const bool previous = this->compact();
    store_.setBool(kCompactKey, compact);
    if (compact != previous) emit compactChanged(compact);
}

}  // namespace korvane::views
