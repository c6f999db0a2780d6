// An I/O callback running on PipeWire: one pw_filter node with a mono DSP port per channel of the
// device (inputs: its capture channels in order; outputs: its playback channels in order), linked
// by this process to exactly those ports. Each cycle hands the callback PipeWire's own port
// buffers as a buffer list of one mono buffer per channel, so nothing is copied.
#pragma once

#include "pipewire_audio/graph_connection.h"
#include "platform/audio_types.h"

#include <pipewire/filter.h>

#include <atomic>
#include <memory>
#include <vector>

namespace korvane::pipewire_audio {

// A channel of a member device: the port of `node` that carries it.
struct ChannelPort {
    std::uint32_t node = 0;
    std::uint32_t port = 0;
};

class RouteFilter final : public ConnectionUser {
public:
    // Lock held, not on the loop thread. Makes the node, waits for its ports and links them.
    // Nothing, with the status in `status`, when that fails.
    static std::unique_ptr<RouteFilter> start(GraphConnection& connection, platform::audio::AudioObjectID device,
                                              std::vector<ChannelPort> inputs, std::vector<ChannelPort> outputs,
                                              platform::audio::AudioDeviceIOProc proc, void* clientData,
                                              platform::audio::OSStatus& status);
    // Lock held. Returns once no callback can run any more, then removes the node and its links.
    ~RouteFilter() override;
    RouteFilter(const RouteFilter&) = delete;
    RouteFilter& operator=(const RouteFilter&) = delete;

    // Lock held: whether callbacks still run (a member's node has not gone, the server is there).
    bool running() const { return active_.load(std::memory_order_relaxed); }

    void connectionLost() override;
    void nodeRemoved(std::uint32_t node) override;

private:
    RouteFilter(GraphConnection& connection, platform::audio::AudioObjectID device, std::vector<ChannelPort> inputs,
                std::vector<ChannelPort> outputs, platform::audio::AudioDeviceIOProc proc, void* clientData);
    bool makeNode();
    bool link();
    // Stops the callbacks and waits for one in progress; then releases every PipeWire object.
    void release();
    static void onProcess(void* data, spa_io_position* position);

    GraphConnection& connection_;
    const platform::audio::AudioObjectID device_;
    const std::vector<ChannelPort> inputs_;
    const std::vector<ChannelPort> outputs_;
    const platform::audio::AudioDeviceIOProc proc_;
    void* const clientData_;

    pw_filter* filter_ = nullptr;
    spa_hook listener_{};
    std::vector<void*> inputPorts_;
    std::vector<void*> outputPorts_;
    std::vector<pw_proxy*> links_;

    // Built before the first cycle; touched afterwards by the data thread only.
    std::vector<std::byte> inputList_;
    std::vector<std::byte> outputList_;
    std::vector<float> silence_;  // for an input without a buffer
    std::vector<float> discard_;  // for an output without one
    double sampleTime_ = 0;

    // The gate between the data thread and stop: seq_cst on both sides, so that either stop sees
    // a cycle inside or the cycle sees that it must not call.
    std::atomic<bool> active_{false};
    std::atomic<int> inCallback_{0};
};

}  // namespace korvane::pipewire_audio
