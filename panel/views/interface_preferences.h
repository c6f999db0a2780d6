// The views' own preference: the compact layout, stored under "compactInterface" in the panel's
// defaults store. One instance is shared by the main panel and every settings view, so a change
// made in one shows in the others at once.
#pragma once

#include "platform/defaults_store.h"

#include <QObject>

#include <string_view>

namespace korvane::views {

class InterfacePreferences final : public QObject {
    Q_OBJECT
public:
    static constexpr std::string_view kCompactKey = "compactInterface";
    static constexpr bool kCompactDefault = false;

    // `store` must outlive this object. Main thread.
    explicit InterfacePreferences(platform::DefaultsStore& store, QObject* parent = nullptr);

    // The stored value; the default when the key is absent or holds another type.
    bool compact() const;
    // Stores the value and, when it differs from the previous one, emits compactChanged.
    void setCompact(bool compact);

signals:
    void compactChanged(bool compact);

private:
    platform::DefaultsStore& store_;
};

}  // namespace korvane::views
