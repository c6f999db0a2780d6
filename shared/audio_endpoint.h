// AudioEndpoint: one audio device as listed, a plain value copied freely.
#pragma once

#include "platform/audio_types.h"
#include "shared/driver_contract.h"

#include <string>

namespace korvane {

struct AudioEndpoint {
    platform::audio::AudioObjectID id = 0;  // valid for one run of the audio system
    std::string uid;
    std::string name;
    double nominalRate = 0;  // Hz; 0 when it could not be read
    platform::audio::FourCharCode transport = 0;  // 0 when it could not be read
    int inputChannels = 0;
    int outputChannels = 0;

    bool isKorvane() const { return uid == driver::kDeviceUID; }
    // Neither virtual nor aggregate.
    bool isPhysical() const {
        return transport != platform::audio::kAudioDeviceTransportTypeVirtual &&
               transport != platform::audio::kAudioDeviceTransportTypeAggregate;
    }

    friend bool operator==(const AudioEndpoint&, const AudioEndpoint&) = default;
};

}  // namespace korvane
