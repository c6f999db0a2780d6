#include "driver/status_publisher.h"

#include "driver/loop_timer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvane::driver {

namespace {

constexpr long kPeriodNanoseconds = 25'000'000;

}  // namespace

std::string statusText(const virtual_device::Peaks& peaks, std::uint64_t publications, std::uint64_t reads) {
    char text[160];
    const auto level = [](float peak) { return std::isfinite(peak) && peak > 0 ? double(peak) : 0.0; };
    std::snprintf(text, sizeof text, "[%.9g,%.9g,%.9g,%.9g,%llu,%llu,0]", level(peaks[0]), level(peaks[1]),
                  level(peaks[2]), level(peaks[3]), static_cast<unsigned long long>(publications),
                  static_cast<unsigned long long>(reads));
    return text;
}

StatusPublisher::StatusPublisher(pw_core* core, DeviceAudio& audio, std::function<std::uint32_t()> subject)
    : core_(core), audio_(audio), subjectOf_(std::move(subject)) {
    store_ = pw_context_create_metadata(pw_core_get_context(core_), kMetadataName, nullptr, 0);
    if (store_) {
        metadata_ = pw_impl_metadata_get_implementation(store_);
        static const pw_impl_metadata_events kEvents = {PW_VERSION_IMPL_METADATA_EVENTS, nullptr, nullptr,
                                                        propertyChanged};
        pw_impl_metadata_add_listener(store_, &listener_, &kEvents, this);
        const spa_dict_item items[] = {{PW_KEY_METADATA_NAME, kMetadataName}};
        const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
        exported_ = pw_core_export(core_, PW_TYPE_INTERFACE_Metadata, &dict, metadata_, 0);
    }
    if (!exported_) std::fprintf(stderr, "korvane-driver: could not publish the \"%s\" metadata\n", kMetadataName);
    status_ = statusText(peaks_, audio_.publications, audio_.reads.load(std::memory_order_relaxed));
    timer_ = pw_loop_add_timer(mainLoopOf(core_), [](void* data, uint64_t) { static_cast<StatusPublisher*>(data)->tick(); }, this);
    armTimer(mainLoopOf(core_), timer_, kPeriodNanoseconds, kPeriodNanoseconds);
}

StatusPublisher::~StatusPublisher() {
    if (timer_) pw_loop_destroy_source(mainLoopOf(core_), timer_);
    if (exported_) pw_proxy_destroy(exported_);
    if (store_) {
        spa_hook_remove(&listener_);
        pw_impl_metadata_destroy(store_);
    }
}

void StatusPublisher::setSubject(std::uint32_t sinkNodeId) {
    if (sinkNodeId == subject_) return;
    if (metadata_ && subject_ != SPA_ID_INVALID) pw_metadata_set_property(metadata_, subject_, kStatusKey, nullptr, nullptr);
    subject_ = sinkNodeId;
    publish();
}

// New audio since the last tick raises the publication counter and brings the highest peaks
// since then; otherwise the last peaks stand, and only a change of the read counter is news.
void StatusPublisher::tick() {
    setSubject(subjectOf_());
    const std::uint64_t writes = audio_.processing.writeCount();
    if (writes != audio_.writesPublished) {
        audio_.writesPublished = writes;
        peaks_ = audio_.processing.takeHeldPeaks();
        ++audio_.publications;
    }
    const std::uint64_t reads = audio_.reads.load(std::memory_order_relaxed);
    const bool news = audio_.publications != publicationsShown_ || reads != readsShown_;
    if (!news && !std::exchange(overwritten_, false)) return;  // idle: nothing to format or send
    publicationsShown_ = audio_.publications;
    readsShown_ = reads;
    status_ = statusText(peaks_, audio_.publications, reads);
    publish();
}

void StatusPublisher::publish() {
    if (metadata_ && subject_ != SPA_ID_INVALID)
        pw_metadata_set_property(metadata_, subject_, kStatusKey, "Spa:String:JSON", status_.c_str());
}

int StatusPublisher::propertyChanged(void* data, uint32_t subject, const char* key, const char* /*type*/,
                                     const char* value) {
    auto& self = *static_cast<StatusPublisher*>(data);
    // A key of null clears every key of the subject, ours included.
    const bool ours = subject == self.subject_ && (!key || std::strcmp(key, kStatusKey) == 0);
    if (ours && (!value || self.status_ != value)) self.overwritten_ = true;
    return 0;
}

}  // namespace korvane::driver
