// Test support: buffer lists built by hand for calling a render callback directly.
#pragma once

#include "platform/audio_types.h"

#include <cstddef>
#include <vector>

namespace korvane::test {

// Interleaved float buffers and the AudioBufferList that points at them.
class RenderBuffers {
public:
    // One buffer per entry: {channels, frames}.
    explicit RenderBuffers(std::vector<std::pair<std::uint32_t, std::uint32_t>> layout) {
        for (const auto& [channels, frames] : layout) data_.emplace_back(std::size_t(channels) * frames, 0.0f);
        storage_.resize(platform::audio::audioBufferListSize(std::uint32_t(layout.size())) / sizeof(platform::audio::AudioBuffer) + 1);
        list()->mNumberBuffers = std::uint32_t(layout.size());
        for (std::size_t i = 0; i < layout.size(); ++i) {
            auto& buffer = list()->mBuffers[i];
            buffer.mNumberChannels = layout[i].first;
            buffer.mDataByteSize = std::uint32_t(data_[i].size() * sizeof(float));
            buffer.mData = data_[i].data();
        }
    }

    platform::audio::AudioBufferList* list() { return reinterpret_cast<platform::audio::AudioBufferList*>(storage_.data()); }
    std::vector<float>& buffer(std::size_t i) { return data_[i]; }
    float& sample(std::size_t buffer, std::uint32_t frame, std::uint32_t channel) {
        return data_[buffer][std::size_t(frame) * list()->mBuffers[buffer].mNumberChannels + channel];
    }
    void fill(float value) {
        for (auto& d : data_) std::fill(d.begin(), d.end(), value);
    }

private:
    std::vector<std::vector<float>> data_;
    std::vector<platform::audio::AudioBuffer> storage_;
};

}  // namespace korvane::test
