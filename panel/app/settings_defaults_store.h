// The panel's per-user defaults store over QSettings: organization "RAVLIN", application "KORVANE",
// so $XDG_CONFIG_HOME/RAVLIN/KORVANE.conf. The file keeps each value's type (a JSON object of
// booleans, strings and {"data": base64} objects), so a value of the wrong type reads as absent
// rather than being converted. A file that cannot be read as preferences is set aside as
// "KORVANE.conf.bad" before a new one replaces it; a save that fails is told once.
#pragma once

#include "platform/defaults_store.h"

#include <QSettings>

#include <functional>
#include <memory>

namespace korvane::app {

class SettingsDefaultsStore final : public platform::DefaultsStore {
public:
    // Main thread only. Creates the RAVLIN folder (0700) when missing.
    SettingsDefaultsStore();
    ~SettingsDefaultsStore() override;  // writes what is pending

    std::optional<bool> boolValue(std::string_view key) const override;
    std::optional<std::string> stringValue(std::string_view key) const override;
    std::optional<std::string> dataValue(std::string_view key) const override;
    void setBool(std::string_view key, bool value) override;
    void setString(std::string_view key, std::string_view value) override;
    void setData(std::string_view key, std::string_view bytes) override;
    void remove(std::string_view key) override;

    // Writes pending changes to the file now. Every change is also written at once, so that a
    // failure is found while the user can still be told.
    void sync();
    QString fileName() const;

    // The first save that fails prints one line on stderr and calls `handler` (at once, when a save
    // has already failed); later failures say nothing more.
    void onSaveFailure(std::function<void()> handler);
    bool saveFailed() const { return saveFailed_; }

private:
    void saved();

    std::unique_ptr<QSettings> settings_;
    std::function<void()> onSaveFailure_;
    bool saveFailed_ = false;
};

}  // namespace korvane::app
