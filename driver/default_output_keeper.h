// Keeps a route that ended without putting the default output back (a crash, a logout mid-route)
// from leaving KORVANE as the configured default of every later login: the session manager
// remembers "default.configured.audio.sink" of the "default" metadata across logins.
//
// While connected, every value of that key other than KORVANE's sink (its absence included) is
// recorded in the saved state, exactly as written. When the driver connects and finds the key
// naming KORVANE's sink while no route holds the routing lock, it puts the recorded value back
// (with no record, it removes the key). Only then: a user may choose KORVANE later on purpose.
#pragma once

#include "driver/state_directory.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::driver {

inline constexpr const char* kConfiguredSinkKey = "default.configured.audio.sink";
inline constexpr const char* kDefaultOutputStateFile = "default-output.json";
inline constexpr std::size_t kMaxConfiguredValueBytes = 4096;
// The routing helper's lock, held while a route runs (the helper defines it; the driver only looks).
inline constexpr const char* kRoutingLockName = "audio.korvane.routing.lock";

// The record: absent (no record), {"configured": null} (the key was absent) or
// {"configured": "<the value's exact text>"} (a JSON object of at most kMaxConfiguredValueBytes).
struct ConfiguredSinkRecord {
    std::optional<std::string> value;  // nullopt: the key was absent
    bool operator==(const ConfiguredSinkRecord&) const = default;
};
std::string configuredSinkRecordText(const ConfiguredSinkRecord& record);
std::optional<ConfiguredSinkRecord> parseConfiguredSinkRecord(const std::string& text, std::string& problem);
// True when a value of the key names KORVANE's sink.
bool namesKorvaneSink(const std::string& value);

class DefaultOutputKeeper {
public:
    // Main loop. `state` must outlive it. The look at the key that may put it back is at the
    // values the "default" metadata holds when this connection first sees it; when that metadata
    // is new (the session manager has just started), at any value set within a few seconds, since
    // the session manager restores its remembered value just after it starts. A value a program
    // sets later (the panel choosing KORVANE right after starting this driver) is never put back.
    DefaultOutputKeeper(pw_core* core, const StateDirectory& state);
    ~DefaultOutputKeeper();
    DefaultOutputKeeper(const DefaultOutputKeeper&) = delete;
    DefaultOutputKeeper& operator=(const DefaultOutputKeeper&) = delete;

private:
    void seen(const char* value);
    void putBack();
    void record(const ConfiguredSinkRecord& record);
    std::optional<ConfiguredSinkRecord> load();
    void unbind();

    static void globalAdded(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                            const spa_dict* props);
    static void globalRemoved(void* data, uint32_t id);
    static int property(void* data, uint32_t subject, const char* key, const char* type, const char* value);
    static void done(void* data, uint32_t id, int seq);

    pw_core* core_;
    pw_core* own_ = nullptr;
    const StateDirectory& state_;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    pw_metadata* metadata_ = nullptr;  // the "default" metadata, bound
    spa_hook metadataListener_{};
    std::uint32_t metadataId_ = SPA_ID_INVALID;
    spa_hook coreListener_{};
    int registrySync_ = -1;  // answered once the registry has told of every existing global
    int metadataSync_ = -1;  // answered once the bound metadata has told its current values
    bool registryKnown_ = false;
    bool metadataNew_ = false;  // it appeared after the registry's first answer
    spa_source* windowTimer_ = nullptr;
    bool lookingAtStart_ = true;  // the first value on this connection is still to be judged
    std::optional<ConfiguredSinkRecord> recorded_;  // as saved
};

}  // namespace korvane::driver
