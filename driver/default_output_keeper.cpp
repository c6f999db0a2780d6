#include "driver/default_output_keeper.h"

#include "driver/korvane_device.h"
#include "driver/loop_timer.h"
#include "platform/lock_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <utility>

namespace korvane::driver {

using nlohmann::json;

namespace {

constexpr long kStartWindowNanoseconds = 5'000'000'000;
constexpr std::size_t kMaxRecordBytes = 4 * kMaxConfiguredValueBytes;

bool isConfiguredValue(const std::string& value) {
    if (value.size() > kMaxConfiguredValueBytes) return false;
    const json parsed = json::parse(value, nullptr, false);
    return !parsed.is_discarded() && parsed.is_object();
}

}  // namespace

std::string configuredSinkRecordText(const ConfiguredSinkRecord& record) {
    return json{{"configured", record.value ? json(*record.value) : json(nullptr)}}.dump() + "\n";
}

std::optional<ConfiguredSinkRecord> parseConfiguredSinkRecord(const std::string& text, std::string& problem) {
    problem.clear();
    const json root = json::parse(text, nullptr, false);
    const auto configured = root.is_object() ? root.find("configured") : root.end();
    if (root.is_discarded() || !root.is_object() || configured == root.end()) {
        problem = "it is not an object with \"configured\"";
        return std::nullopt;
    }
    if (configured->is_null()) return ConfiguredSinkRecord{};
    if (!configured->is_string() || !isConfiguredValue(configured->get<std::string>())) {
        problem = "\"configured\" is neither null nor the text of a JSON object";
        return std::nullopt;
    }
    return ConfiguredSinkRecord{configured->get<std::string>()};
}

bool namesKorvaneSink(const std::string& value) {
    const json parsed = json::parse(value, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return false;
    const auto name = parsed.find("name");
    return name != parsed.end() && name->is_string() && name->get<std::string>() == kSinkName;
}

DefaultOutputKeeper::DefaultOutputKeeper(pw_core* core, const StateDirectory& state) : core_(core), state_(state) {
    recorded_ = load();
    pw_loop* loop = mainLoopOf(core_);
    windowTimer_ = pw_loop_add_timer(loop, [](void* data, uint64_t) {
        static_cast<DefaultOutputKeeper*>(data)->lookingAtStart_ = false;
    }, this);
    // A connection of its own: measured with 0.3.65, a connection that exports the "korvane"
    // metadata and also binds another metadata object stops answering binds of its own export
    // (a reader of "korvane" waited forever).
    own_ = pw_context_connect(pw_core_get_context(core), nullptr, 0);
    registry_ = own_ ? pw_core_get_registry(own_, PW_VERSION_REGISTRY, 0) : nullptr;
    if (registry_) {
        static const pw_registry_events kEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS, .global = globalAdded, .global_remove = globalRemoved};
        pw_registry_add_listener(registry_, &registryListener_, &kEvents, this);
        static const pw_core_events kCoreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.done = done;
            return events;
        }();
        pw_core_add_listener(own_, &coreListener_, &kCoreEvents, this);
        registrySync_ = pw_core_sync(own_, PW_ID_CORE, 0);
    }
}

void DefaultOutputKeeper::done(void* data, uint32_t id, int seq) {
    auto& self = *static_cast<DefaultOutputKeeper*>(data);
    if (id != PW_ID_CORE) return;
    if (seq == self.registrySync_) self.registryKnown_ = true;
    // The metadata that was already there has told its values: the look at the start is over.
    if (seq == self.metadataSync_ && !self.metadataNew_) self.lookingAtStart_ = false;
}

DefaultOutputKeeper::~DefaultOutputKeeper() {
    unbind();
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (own_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(own_);
    }
    pw_loop_destroy_source(mainLoopOf(core_), windowTimer_);
}

void DefaultOutputKeeper::unbind() {
    if (!metadata_) return;
    spa_hook_remove(&metadataListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
    metadata_ = nullptr;
    metadataId_ = SPA_ID_INVALID;
}

void DefaultOutputKeeper::globalAdded(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                                      const spa_dict* props) {
    auto& self = *static_cast<DefaultOutputKeeper*>(data);
    if (self.metadata_ || std::strcmp(type, PW_TYPE_INTERFACE_Metadata) != 0) return;
    const char* name = props ? spa_dict_lookup(props, PW_KEY_METADATA_NAME) : nullptr;
    if (!name || std::strcmp(name, "default") != 0) return;
    self.metadata_ = static_cast<pw_metadata*>(
        pw_registry_bind(self.registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!self.metadata_) return;
    self.metadataId_ = id;
    static const pw_metadata_events kEvents = {PW_VERSION_METADATA_EVENTS, property};
    pw_metadata_add_listener(self.metadata_, &self.metadataListener_, &kEvents, &self);
    self.metadataNew_ = self.registryKnown_;
    if (self.metadataNew_) armTimer(mainLoopOf(self.core_), self.windowTimer_, kStartWindowNanoseconds);
    self.metadataSync_ = pw_core_sync(self.own_, PW_ID_CORE, 0);
}

// The session manager started anew: its new "default" metadata is bound when it appears.
void DefaultOutputKeeper::globalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<DefaultOutputKeeper*>(data);
    if (id == self.metadataId_) self.unbind();
}

int DefaultOutputKeeper::property(void* data, uint32_t subject, const char* key, const char*, const char* value) {
    auto& self = *static_cast<DefaultOutputKeeper*>(data);
    // A key of null clears every key of the subject.
    if (subject == 0 && (!key || std::strcmp(key, kConfiguredSinkKey) == 0)) self.seen(key ? value : nullptr);
    return 0;
}

// An absence seen while looking at the start is no news: a session manager that has just started
// sets its remembered value a moment later, and a record of absence would hide the one before.
void DefaultOutputKeeper::seen(const char* value) {
    if (value && namesKorvaneSink(value)) {
        if (std::exchange(lookingAtStart_, false)) putBack();
        return;
    }
    if (!value) {
        if (!lookingAtStart_) record({});
        return;
    }
    lookingAtStart_ = false;
    if (isConfiguredValue(value)) record({std::string(value)});
}

void DefaultOutputKeeper::putBack() {
    std::error_code error;
    platform::LockFile::Outcome outcome;
    // Taken and let go at once: only whether someone else holds it matters.
    platform::LockFile::acquire(kRoutingLockName, error, outcome);
    if (outcome == platform::LockFile::Outcome::held) {
        std::printf("korvane-driver: a route runs; the default output stays on KORVANE\n");
        std::fflush(stdout);
        return;
    }
    if (outcome == platform::LockFile::Outcome::failed) {
        std::fprintf(stderr, "korvane-driver: cannot tell whether a route runs (%s); the default output stays\n",
                     error.message().c_str());
        return;
    }
    const ConfiguredSinkRecord previous = recorded_.value_or(ConfiguredSinkRecord{});
    if (previous.value)
        pw_metadata_set_property(metadata_, 0, kConfiguredSinkKey, "Spa:String:JSON", previous.value->c_str());
    else
        pw_metadata_set_property(metadata_, 0, kConfiguredSinkKey, nullptr, nullptr);
    std::printf("korvane-driver: the default output was left on KORVANE; put back %s\n",
                previous.value ? previous.value->c_str() : "the session's own choice");
    std::fflush(stdout);
}

void DefaultOutputKeeper::record(const ConfiguredSinkRecord& record) {
    if (recorded_ == record) return;
    if (const std::string error = state_.write(kDefaultOutputStateFile, configuredSinkRecordText(record));
        !error.empty()) {
        std::fprintf(stderr, "korvane-driver: %s\n", error.c_str());
        return;
    }
    recorded_ = record;
}

std::optional<ConfiguredSinkRecord> DefaultOutputKeeper::load() {
    const StateDirectory::Read read = state_.read(kDefaultOutputStateFile, kMaxRecordBytes);
    std::string problem = read.problem;
    if (read.outcome == StateDirectory::Read::Outcome::absent) return std::nullopt;
    if (read.outcome == StateDirectory::Read::Outcome::read) {
        if (auto record = parseConfiguredSinkRecord(read.text, problem)) return record;
    }
    std::fprintf(stderr, "korvane-driver: %s is not a record of the default output: %s. %s\n",
                 (state_.path() / kDefaultOutputStateFile).c_str(), problem.c_str(),
                 state_.setAside(kDefaultOutputStateFile).c_str());
    return std::nullopt;
}

}  // namespace korvane::driver
