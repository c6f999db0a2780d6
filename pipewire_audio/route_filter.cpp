#include "pipewire_audio/route_filter.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

namespace korvane::pipewire_audio {

using namespace platform::audio;

namespace {

constexpr std::uint32_t kMaxFrames = 8192;  // PipeWire's largest quantum
constexpr double kSetupSeconds = 3.0;

AudioBufferList* listIn(std::vector<std::byte>& storage) { return reinterpret_cast<AudioBufferList*>(storage.data()); }

std::vector<std::byte> bufferListStorage(std::size_t buffers) {
    std::vector<std::byte> storage(audioBufferListSize(std::uint32_t(std::max<std::size_t>(buffers, 1))));
    listIn(storage)->mNumberBuffers = std::uint32_t(buffers);
    return storage;
}

}  // namespace

RouteFilter::RouteFilter(GraphConnection& connection, AudioObjectID device, std::vector<ChannelPort> inputs,
                         std::vector<ChannelPort> outputs, AudioDeviceIOProc proc, void* clientData)
    : connection_(connection), device_(device), inputs_(std::move(inputs)), outputs_(std::move(outputs)), proc_(proc),
      clientData_(clientData), inputList_(bufferListStorage(inputs_.size())),
      outputList_(bufferListStorage(outputs_.size())), silence_(kMaxFrames, 0.0f), discard_(kMaxFrames, 0.0f) {}

std::unique_ptr<RouteFilter> RouteFilter::start(GraphConnection& connection, AudioObjectID device,
                                                std::vector<ChannelPort> inputs, std::vector<ChannelPort> outputs,
                                                AudioDeviceIOProc proc, void* clientData, OSStatus& status) {
    std::unique_ptr<RouteFilter> filter(
        new RouteFilter(connection, device, std::move(inputs), std::move(outputs), proc, clientData));
    connection.addUser(filter.get());
    status = kAudioHardwareNoError;
    if (!connection.connected()) status = kAudioHardwareNotRunningError;
    else if (!filter->makeNode() || !filter->link()) status = kAudioHardwareUnspecifiedError;
    if (status != kAudioHardwareNoError) return nullptr;
    return filter;
}

RouteFilter::~RouteFilter() {
    release();
    connection_.removeUser(this);
}

bool RouteFilter::makeNode() {
    static const pw_filter_events events = {.version = PW_VERSION_FILTER_EVENTS, .process = &RouteFilter::onProcess};
    filter_ = pw_filter_new(connection_.core(), "KORVANE routing",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex",
                                              PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, "audio.korvane.route",
                                              PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_ALWAYS_PROCESS, "true",
                                              nullptr));
    if (!filter_) return false;
    pw_filter_add_listener(filter_, &listener_, &events, this);
    const auto addPorts = [this](pw_direction direction, std::size_t count, std::vector<void*>& ports) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::string name = (direction == PW_DIRECTION_INPUT ? "input_" : "output_") + std::to_string(i + 1);
            void* port = pw_filter_add_port(filter_, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof(int),
                                            pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                              PW_KEY_PORT_NAME, name.c_str(), nullptr),
                                            nullptr, 0);
            if (!port) return false;
            ports.push_back(port);
        }
        return true;
    };
    if (!addPorts(PW_DIRECTION_INPUT, inputs_.size(), inputPorts_) ||
        !addPorts(PW_DIRECTION_OUTPUT, outputs_.size(), outputPorts_))
        return false;
    active_.store(true, std::memory_order_seq_cst);
    return pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) >= 0;
}

bool RouteFilter::link() {
    // The node's ports appear in the registry shortly after it connects.
    std::uint32_t node = SPA_ID_INVALID;
    const bool ready = connection_.waitFor(
        [&] {
            node = pw_filter_get_node_id(filter_);
            return node != SPA_ID_INVALID && connection_.graph().channelPorts(node, false).size() == inputs_.size() &&
                   connection_.graph().channelPorts(node, true).size() == outputs_.size();
        },
        kSetupSeconds);
    if (!ready) return false;
    const auto filterInputs = connection_.graph().channelPorts(node, false);
    const auto filterOutputs = connection_.graph().channelPorts(node, true);
    const auto makeLink = [this](std::uint32_t outNode, std::uint32_t outPort, std::uint32_t inNode, std::uint32_t inPort) {
        pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
        auto* link = static_cast<pw_proxy*>(pw_core_create_object(connection_.core(), "link-factory",
                                                                   PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
        if (link) links_.push_back(link);
        return link != nullptr;
    };
    for (std::size_t i = 0; i < inputs_.size(); ++i)
        if (!makeLink(inputs_[i].node, inputs_[i].port, node, filterInputs[i]->id)) return false;
    for (std::size_t i = 0; i < outputs_.size(); ++i)
        if (!makeLink(node, filterOutputs[i]->id, outputs_[i].node, outputs_[i].port)) return false;
    return connection_.roundTrip();
}

void RouteFilter::release() {
    active_.store(false, std::memory_order_seq_cst);
    while (inCallback_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    for (pw_proxy* link : links_) pw_proxy_destroy(link);
    links_.clear();
    if (filter_) {
        spa_hook_remove(&listener_);
        pw_filter_destroy(filter_);
        filter_ = nullptr;
    }
}

void RouteFilter::connectionLost() { release(); }

void RouteFilter::nodeRemoved(std::uint32_t node) {
    const auto member = [node](const ChannelPort& channel) { return channel.node == node; };
    if (std::any_of(inputs_.begin(), inputs_.end(), member) || std::any_of(outputs_.begin(), outputs_.end(), member))
        active_.store(false, std::memory_order_seq_cst);  // an unplugged member ends the callbacks, as on the platform
}

// Data thread. Allocates, locks and logs nothing.
void RouteFilter::onProcess(void* data, spa_io_position* position) {
    auto* self = static_cast<RouteFilter*>(data);
    self->inCallback_.fetch_add(1, std::memory_order_seq_cst);
    if (self->active_.load(std::memory_order_seq_cst) && position) {
        const auto frames = std::uint32_t(std::min<std::uint64_t>(position->clock.duration, kMaxFrames));
        AudioBufferList* input = listIn(self->inputList_);
        AudioBufferList* output = listIn(self->outputList_);
        for (std::size_t i = 0; i < self->inputPorts_.size(); ++i) {
            void* buffer = pw_filter_get_dsp_buffer(self->inputPorts_[i], frames);
            input->mBuffers[i] = {1, frames * 4, buffer ? buffer : self->silence_.data()};
        }
        for (std::size_t i = 0; i < self->outputPorts_.size(); ++i) {
            void* buffer = pw_filter_get_dsp_buffer(self->outputPorts_[i], frames);
            if (!buffer) buffer = self->discard_.data();
            std::memset(buffer, 0, frames * sizeof(float));  // channels the callback leaves alone stay silent
            output->mBuffers[i] = {1, frames * 4, buffer};
        }
        const AudioTimeStamp now{self->sampleTime_, position->clock.nsec};
        self->sampleTime_ += frames;
        self->proc_(self->device_, &now, input, &now, output, &now, self->clientData_);
    }
    self->inCallback_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace korvane::pipewire_audio
