#include "driver/device_settings.h"

#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

namespace korvane::driver {

namespace {

std::optional<double> number(const spa_pod* value) {
    if (int32_t i; spa_pod_get_int(value, &i) == 0) return double(i);
    if (int64_t l; spa_pod_get_long(value, &l) == 0) return double(l);
    if (float f; spa_pod_get_float(value, &f) == 0) return double(f);
    if (double d; spa_pod_get_double(value, &d) == 0) return d;
    return std::nullopt;
}

std::optional<std::int64_t> integer(const spa_pod* value) {
    if (int32_t i; spa_pod_get_int(value, &i) == 0) return i;
    if (int64_t l; spa_pod_get_long(value, &l) == 0) return l;
    return std::nullopt;
}

void applyParam(std::string_view key, const spa_pod* value, DeviceSettings& settings) {
    if (key == kGainKey) {
        if (const auto gain = number(value); gain && std::isfinite(*gain))
            settings.gainDb = virtual_device::clampGainDb(*gain);
    } else if (key == kModeKey) {
        if (const auto mode = integer(value); mode && (*mode == 0 || *mode == 1))
            settings.mode = virtual_device::ChannelMode(*mode);
    } else if (key == kRateKey) {
        if (const auto rate = integer(value);
            rate && std::find(kSupportedRates.begin(), kSupportedRates.end(), *rate) != kSupportedRates.end())
            settings.rate = std::uint32_t(*rate);
    }
}

}  // namespace

DeviceSettings applyProps(const spa_pod* props, DeviceSettings current) {
    if (!props || !spa_pod_is_object_type(props, SPA_TYPE_OBJECT_Props)) return current;
    const auto* object = reinterpret_cast<const spa_pod_object*>(props);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        if (prop->key != SPA_PROP_params || !spa_pod_is_struct(&prop->value)) continue;
        // Pairs of a string key and a value; an odd last key has no value and is ignored.
        const spa_pod* key = nullptr;
        const void* body = SPA_POD_BODY_CONST(&prop->value);
        const std::uint32_t size = SPA_POD_BODY_SIZE(&prop->value);
        for (auto* item = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, item);
             item = static_cast<const spa_pod*>(spa_pod_next(item))) {
            if (!key) {
                key = item;
                continue;
            }
            if (const char* name; spa_pod_get_string(key, &name) == 0) applyParam(name, item, current);
            key = nullptr;
        }
    }
    return current;
}

bool leavesUnity(const spa_pod* props) {
    if (!props || !spa_pod_is_object_type(props, SPA_TYPE_OBJECT_Props)) return false;
    const auto* object = reinterpret_cast<const spa_pod_object*>(props);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
        case SPA_PROP_volume:
            if (float volume; spa_pod_get_float(&prop->value, &volume) == 0 && volume != 1.0f) return true;
            break;
        case SPA_PROP_mute:
            if (bool mute; spa_pod_get_bool(&prop->value, &mute) == 0 && mute) return true;
            break;
        case SPA_PROP_channelVolumes: {
            uint32_t count = 0;
            const auto* volumes = static_cast<const float*>(spa_pod_get_array(&prop->value, &count));
            const auto* array = reinterpret_cast<const spa_pod_array*>(&prop->value);
            if (volumes && array->body.child.type == SPA_TYPE_Float &&
                std::any_of(volumes, volumes + count, [](float v) { return v != 1.0f; }))
                return true;
            break;
        }
        default:
            break;
        }
    }
    return false;
}

const spa_pod* buildProps(spa_pod_builder& builder, const DeviceSettings& settings) {
    spa_pod_frame object;
    spa_pod_frame params;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&builder, SPA_PROP_params, 0);
    spa_pod_builder_push_struct(&builder, &params);
    spa_pod_builder_string(&builder, kGainKey);
    spa_pod_builder_double(&builder, settings.gainDb);
    spa_pod_builder_string(&builder, kModeKey);
    spa_pod_builder_int(&builder, int32_t(settings.mode));
    spa_pod_builder_string(&builder, kRateKey);
    spa_pod_builder_int(&builder, int32_t(settings.rate));
    spa_pod_builder_pop(&builder, &params);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

}  // namespace korvane::driver
