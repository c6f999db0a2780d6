// DeviceModel: the simulated machine's audio world (devices, the KORVANE virtual device, aggregate
// devices, default outputs, volumes and I/O callbacks) behind the platform audio interface. The
// daemon serves it to its clients; tests use it in process through DeviceModel::connect.
#pragma once

#include "audiosim/model/machine.h"
#include "audiosim/model/wake_word.h"
#include "platform/audio_hardware.h"
#include "platform/clock.h"
#include "platform/property_value.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace audiosim {

using platform::audio::AudioBufferList;
using platform::audio::AudioDeviceIOProc;
using platform::audio::AudioDeviceIOProcID;
using platform::audio::AudioObjectID;
using platform::audio::AudioObjectPropertyAddress;
using platform::audio::OSStatus;
using platform::audio::PropertyList;

using ClientId = std::uint64_t;

struct RenderPlan;
struct PlanMember;
struct PlanRunner;
struct StreamConversion;

// Operations a fault can be attached to.
enum class Operation { Settable, Size, Get, Set, CreateAggregate, DestroyAggregate, CreateIOProc, Start };

inline constexpr std::uint32_t kAnyElement = 0xFFFFFFFF;

// A fault: the matching call fails with `status`, or, with status 0 on an object read, answers
// null. `object`, `selector` and `scope` 0 match anything, as does kAnyElement; `times` < 0
// means until cleared.
struct Fault {
    Operation operation = Operation::Get;
    AudioObjectID object = 0;
    platform::audio::FourCharCode selector = 0;
    platform::audio::FourCharCode scope = 0;
    std::uint32_t element = kAnyElement;
    OSStatus status = platform::audio::kAudioHardwareUnspecifiedError;
    int times = -1;
};

// The KORVANE device's published telemetry, as 'kqst' presents it.
struct KorvaneTelemetry {
    std::array<double, 4> peaks{};  // pre-gain L/R, post-gain L/R
    std::uint64_t writeCounter = 0;
    std::uint64_t readCounter = 0;
};

class DeviceModel {
public:
    DeviceModel(MachineSpec machine, const platform::UptimeClock& clock);
    ~DeviceModel();
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    // A client's view of the machine. Private aggregates and I/O callbacks belong to the client
    // that made them and are destroyed when its connection is dropped.
    std::unique_ptr<platform::audio::AudioHardware> connect();

    // A person at the computer. Each returns 0 or a status.
    OSStatus unplug(std::string_view uid);
    OSStatus plug(std::string_view uid);  // a re-plugged device gets a new object id
    OSStatus setNominalRate(std::string_view uid, double rate);
    OSStatus setInputSignal(std::string_view uid, Signal signal);

    // Fault injection.
    void addFault(const Fault& fault);
    void clearFaults();
    // Aggregates created from now on report no sub-devices and no channels for this long.
    void setAggregateReadyDelay(double seconds);

    // Inspection. Every id lookup ignores visibility: it sees private aggregates too.
    AudioObjectID deviceId(std::string_view uid) const;  // 0 when absent or unplugged
    std::optional<KorvaneTelemetry> korvaneTelemetry() const;
    // Takes what a device's outputs received since the last call, interleaved over all of its
    // output channels (at most the last ten seconds).
    std::vector<float> takeOutputTap(std::string_view uid);
    // Takes at most `maxSamples` of the tap (the oldest).
    std::vector<float> takeOutputTap(std::string_view uid, std::size_t maxSamples);
    std::size_t ioProcCount() const;
    std::size_t aggregateCount() const;

    // Runs one cycle of `device` (a device or an aggregate) at its own position, which then
    // advances by `frames`: its started callbacks get the input of its devices at that position
    // (`input` optionally replaces it, one interleaved buffer per input stream); their output is
    // mixed into its devices' outputs; then each of its devices consumes what reached its output
    // latencyFrames() earlier (taps, the KORVANE processing). Returns the callbacks' mixed output,
    // one interleaved buffer per output stream; empty when the device is gone or the clock
    // thread runs (the two would render the same devices at once). The same code as the clock
    // thread's cycles, driven by hand.
    std::vector<std::vector<float>> step(AudioObjectID device, std::uint32_t frames,
                                         const std::vector<std::vector<float>>* input = nullptr);
    // Frames between a write into an output and its arrival (on a tap, or on KORVANE's input).
    std::int64_t latencyFrames() const { return latency_; }

    struct DeviceStats {
        std::string uid;
        std::uint64_t cycles = 0;
        std::uint64_t xruns = 0;  // cycles the clock thread ran late
    };
    std::vector<DeviceStats> stats() const;

    // Output queues: `samples` (interleaved, `channels` channels, at `rate` Hz; 0 means the
    // device's own rate) play once into the device's output from its next cycle on, converted to
    // the device's rate, appended to playback `appendTo` when it still plays. Returns the
    // playback's id, or 0 when the device is unknown, the data malformed or the rate unusable.
    std::uint64_t enqueuePlayback(std::string_view uid, std::uint32_t channels, std::vector<float> samples,
                                  std::uint64_t appendTo = 0, double rate = 0);
    // Frames of a playback still to play; nothing once it has finished or was cancelled.
    std::optional<std::uint64_t> playbackRemaining(std::uint64_t id) const;
    void cancelPlayback(std::uint64_t id);

    // What a real system keeps across restarts.
    struct PersistentState {
        std::string defaultOutput;
        std::string defaultSystemOutput;
        std::map<std::string, std::map<std::uint32_t, float>> volumes;  // by device UID, then element
        std::vector<PropertyList> publicAggregates;                       // their descriptions
    };
    PersistentState persistentState() const;
    // Applies a saved state; public aggregates are created through `owner`. Entries that no longer
    // fit the machine are skipped.
    void restore(const PersistentState& state, platform::audio::AudioHardware& owner);

    // A real clock thread that runs every device with started callbacks at its nominal rate and
    // buffer size, with real-time scheduling when asked and allowed. Stopping joins it. Its cycles
    // take no lock and allocate nothing; I/O callbacks run on it and must not call the model.
    void startClock(bool realTime = false);
    void stopClock();

private:
    friend class ModelClient;
    struct Stream;
    struct Device;
    struct IOProc;

    // Client entry points; the ModelClient forwards here with its id.
    bool hasProperty(ClientId, AudioObjectID, const AudioObjectPropertyAddress&);
    OSStatus isPropertySettable(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, bool&);
    OSStatus getPropertyDataSize(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                                 std::uint32_t&);
    OSStatus getPropertyData(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                             std::uint32_t&, void*);
    OSStatus setPropertyData(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*);
    OSStatus getPropertyObject(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                               PropertyList&);
    OSStatus setPropertyObject(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList&);
    OSStatus createAggregateDevice(ClientId, const PropertyList&, AudioObjectID&);
    OSStatus destroyAggregateDevice(ClientId, AudioObjectID);
    OSStatus createIOProcID(ClientId, AudioObjectID, AudioDeviceIOProc, void*, AudioDeviceIOProcID&);
    OSStatus destroyIOProcID(ClientId, AudioObjectID, AudioDeviceIOProcID);
    OSStatus startDevice(ClientId, AudioObjectID, AudioDeviceIOProcID);
    OSStatus stopDevice(ClientId, AudioObjectID, AudioDeviceIOProcID);
    void disconnect(ClientId);

    // Everything below runs with mutex_ held.
    OSStatus lookup(ClientId, AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                    platform::audio::PropertyValue&);
    bool settle(Device&);  // true when a pending rate took effect
    Device* visibleDevice(ClientId, AudioObjectID);
    Device* findDevice(AudioObjectID);
    Device* findDevice(std::string_view uid);
    const Stream* findStream(ClientId, AudioObjectID, const Device** owner);
    std::optional<OSStatus> fault(Operation, AudioObjectID, const AudioObjectPropertyAddress&);
    std::vector<Device*> members(const Device&);  // active sub-devices of an aggregate, else itself
    bool aggregateReady(const Device&) const;
    std::vector<const Stream*> streams(const Device&, bool input);
    double nominalRate(const Device&);
    std::uint32_t bufferFrames(const Device&);  // an aggregate's is its clock device's
    bool runningSomewhere(const Device&);
    std::vector<AudioObjectID> visibleDevices(ClientId);
    void assignIds(Device&);
    void repairDefaults();
    void destroyDevice(AudioObjectID);
    // The control side of audio (render_plan.cpp), with mutex_ held.
    void renewAudio(Device&);  // a new DeviceAudio (after the renderer let go of the old one)
    void collectPlaybacks(Device&);
    void describe(RenderPlan&, Device&, std::uint32_t frames, bool driven);
    std::unique_ptr<RenderPlan> buildPlan();
    // Publishes a plan of the current state. With `settled`, returns once the clock thread has
    // adopted it (at once when no clock thread runs, or when called from it), so that nothing
    // the new plan leaves out runs any more.
    void publish(bool settled = false);
    void freeAdoptedPlans();
    void wakeClock();
    // The renderer (device_audio.cpp): the clock thread, or step() while no clock thread runs.
    std::uint32_t presentMembers(const PlanRunner&) const;
public:
    // libsamplerate's source of an input conversion (render_plan.h): the member's next frames.
    // Renderer only.
    static long supplyConversion(void* conversion, float** samples);

private:
    void convertInput(StreamConversion&, const PlanMember&, const PlanRunner&, std::int64_t position,
                      std::uint32_t frames, float* out, std::uint32_t firstChannel) const;
    void convertOutput(StreamConversion&, const PlanMember&, const PlanRunner&, std::int64_t position,
                       std::uint32_t frames, const float* mix, std::uint32_t firstChannel) const;
    void produceInput(const PlanMember&, std::int64_t position, std::uint32_t frames, float* out,
                      std::uint32_t channels, std::uint32_t firstChannel) const;
    void runCycle(RenderPlan&, const PlanRunner&, std::int64_t position,
                  const std::vector<std::vector<float>>* input, std::vector<std::vector<float>>* output) const;
    void consume(const PlanMember&, std::int64_t position, std::uint32_t frames) const;
    void clockLoop();

    const platform::UptimeClock& clock_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<Fault> faults_;
    AudioObjectID nextId_ = 2;
    AudioObjectID defaultOutput_ = 0;
    AudioObjectID defaultSystemOutput_ = 0;
    double aggregateReadyDelay_ = 0;
    ClientId nextClient_ = 1;
    std::uint64_t nextProc_ = 1;
    std::uint64_t nextPlayback_ = 1;
    std::int64_t latency_ = 1024;  // frames between a write into an output and its consumption
    std::int64_t ringFrames_ = 8192;

    // The published plan: swapped by the control side under mutex_, loaded by the renderer.
    std::atomic<RenderPlan*> plan_{nullptr};
    std::vector<std::unique_ptr<RenderPlan>> retired_;  // replaced, perhaps still in use
    std::uint32_t generation_ = 0;
    WakeWord adopted_;                      // the generation the clock thread last adopted
    std::atomic<std::uint32_t> adoptionWaiters_{0};

    std::thread clockThread_;
    bool clockRunning_ = false;             // under mutex_
    std::atomic<bool> clockContinues_{false};
    WakeWord clockSignal_;                  // changed to wake the clock thread early
};

}  // namespace audiosim
