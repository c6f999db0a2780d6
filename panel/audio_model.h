// AudioModel: the panel's one model. It holds what the panel shows and remembers (devices, the
// chosen source and listening output, the route as the routing helper reports it, the virtual
// driver's telemetry, the listening volume and the remembered mute levels), runs the 50 ms refresh
// pass, and offers every operation the views call. Plain C++: views subscribe to its change
// notifications and re-read what they show.
//
// Thread contract: main thread only, every member. The one completion that arrives on another
// thread (the helper launch) only posts to the main thread and touches nothing else.
#pragma once

#include "panel/listening_mute_memory.h"
#include "panel/stereo_peak_display.h"
#include "panel/test_tone_player.h"
#include "platform/application_services.h"
#include "platform/audio_services.h"
#include "platform/clock.h"
#include "platform/defaults_store.h"
#include "platform/main_thread.h"
#include "platform/property_list.h"
#include "shared/audio_endpoint.h"
#include "shared/routing_records.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::panel {

// The published properties, in declaration order. Every write of one notifies the observers with
// its name, even when the value does not change.
enum class Property {
    device,
    systemActive,
    inputActive,
    gain,
    mono,
    modeSupported,
    meters,
    rate,
    bufferFrames,
    recoveryMessage,
    error,
    endpoints,
    selectedInput,
    selectedOutput,
    listeningUID,
    listeningLevel,
    listeningSupported,
    peakDisplay,
    rememberDevices,
    automaticallyMatchSampleRate,
    muteMemory,
    dawDeviceMessage,
    routingPhase,
    routingDetail,
};
inline constexpr std::size_t kPropertyCount = std::size_t(Property::routingDetail) + 1;

// Preference keys of the defaults store.
namespace preference {
inline constexpr std::string_view kRememberDevices = "rememberDevices";
inline constexpr std::string_view kAutomaticallyMatchSampleRate = "automaticallyMatchSampleRate";
inline constexpr std::string_view kPreferredInput = "preferredInput";
inline constexpr std::string_view kPreferredOutput = "preferredOutput";
inline constexpr std::string_view kPreferredListening = "preferredListening";
inline constexpr std::string_view kListeningMuteMemory = "listeningMuteMemory";
}  // namespace preference

// The helper program inside the panel's bundle, and how a running one is recognised.
inline constexpr std::string_view kHelperBundlePath = "Contents/Helpers/KORVANE Routing.app";
inline constexpr std::string_view kHelperBundleIdentifier = "audio.ravlin.router";

inline constexpr std::chrono::milliseconds kRefreshInterval{50};
inline constexpr std::int64_t kDiscoveryEvery = 20;    // passes: about once a second
inline constexpr std::int64_t kReportPollEvery = 10;   // passes: about twice a second
inline constexpr double kMeterDecay = 0.8;             // per pass
inline constexpr double kInputActivityWindow = 0.5;    // seconds
inline constexpr float kAudibleLevel = 0.0001f;        // a read volume above this is not muted
inline constexpr std::string_view kInitialRoutingDetail = "Audio starts automatically when your devices are ready.";

// What the model needs of the platform. Every reference must outlive the model. The audio
// hardware is the process's installed instance (platform::audio::hardware()).
struct AudioModelEnvironment {
    platform::MainThread& mainThread;
    const platform::UptimeClock& uptime;    // request grace, peak holds
    const platform::WallClock& wallClock;   // report ages, input activity
    platform::DefaultsStore& defaults;
    platform::ApplicationServices& applications;
    platform::audio::AudioQueueService& queues;  // the test tone
};

// Ends a subscription when destroyed (or reset); safe to outlive the model. Movable.
class Subscription {
public:
    Subscription() = default;
    ~Subscription() { reset(); }
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    void reset();

private:
    friend class AudioModel;
    struct Registry;
    Subscription(std::weak_ptr<Registry> registry, std::uint64_t id) : registry_(std::move(registry)), id_(id) {}
    std::weak_ptr<Registry> registry_;
    std::uint64_t id_ = 0;
};

class AudioModel : public std::enable_shared_from_this<AudioModel> {
public:
    using Observer = std::function<void(Property)>;

    // Effects: builds the model and runs its construction: preferences and the stored route
    // request are read, devices are discovered, the first listening output is chosen, the gain is
    // reset to 0 dB, the 50 ms refresh timer starts (it holds the model weakly) and the automatic
    // start is armed. Main thread.
    static std::shared_ptr<AudioModel> create(AudioModelEnvironment environment);
    ~AudioModel();
    AudioModel(const AudioModel&) = delete;
    AudioModel& operator=(const AudioModel&) = delete;

    // Calls `observer` after every write of a published property, on the main thread, with the
    // property written. An observer may subscribe or unsubscribe others (or itself) while called;
    // it must not destroy the model.
    [[nodiscard]] Subscription observe(Observer observer);

    // Published properties.
    platform::audio::AudioObjectID device() const { return device_; }  // 0: driver missing
    bool systemActive() const { return systemActive_; }
    bool inputActive() const { return inputActive_; }
    double gain() const { return gain_; }  // dB
    bool mono() const { return mono_; }
    bool modeSupported() const { return modeSupported_; }
    const std::array<double, 4>& meters() const { return meters_; }  // linear, decaying
    double rate() const { return rate_; }
    std::uint32_t bufferFrames() const { return bufferFrames_; }
    const std::string& recoveryMessage() const { return recoveryMessage_; }
    const std::string& error() const { return error_; }  // empty: none
    const std::vector<AudioEndpoint>& endpoints() const { return endpoints_; }
    const std::string& selectedInput() const { return selectedInput_; }
    const std::string& selectedOutput() const { return selectedOutput_; }
    const std::string& listeningUID() const { return listeningUID_; }
    float listeningLevel() const { return listeningLevel_; }
    bool listeningSupported() const { return listeningSupported_; }
    const StereoPeakDisplay& peakDisplay() const { return peakDisplay_; }
    bool rememberDevices() const { return rememberDevices_; }
    bool automaticallyMatchSampleRate() const { return automaticallyMatchSampleRate_; }
    const MuteMemoryMap& muteMemory() const { return muteMemory_; }
    const std::string& dawDeviceMessage() const { return dawDeviceMessage_; }
    const std::string& routingPhase() const { return routingPhase_; }
    const std::string& routingDetail() const { return routingDetail_; }

    // Writable properties for the views. The three selections then save the preferences;
    // rememberDevices stores itself and saves them; automaticallyMatchSampleRate stores itself and
    // takes effect with the next request.
    void setSelectedInput(std::string uid);
    void setSelectedOutput(std::string uid);
    void setListeningUID(std::string uid);
    void setRememberDevices(bool remember);
    // The defaults store could not write the preferences: says so in error (the file's place is
    // the store's to tell, on stderr; the error text stays free of paths, as the diagnostics are).
    void showPreferencesNotSaved() {
        setError("Preferences could not be saved. Choices made now will be forgotten when KORVANE quits.");
    }
    void setAutomaticallyMatchSampleRate(bool match);

    // Plain fields (no notification), readable for the application delegate and tests.
    bool launchRoutingPending() const { return launchRoutingPending_; }
    bool isQuitting() const { return isQuitting_; }
    // The application delegate clears it when it gives up waiting for the helper.
    void setIsQuitting(bool quitting) { isQuitting_ = quitting; }
    std::int64_t discoveryTick() const { return discoveryTick_; }
    const std::string& appliedRevision() const { return appliedRevision_; }
    const std::string& appliedInput() const { return appliedInput_; }
    const std::string& appliedOutput() const { return appliedOutput_; }
    bool appliedAutomaticRate() const { return appliedAutomaticRate_; }
    std::optional<double> requestStartedAt() const { return requestStartedAt_; }
    TestTonePlayer& testSound() { return *testSound_; }

    // Derived values.
    // Usable listening outputs among `endpoints`, in their order; computed afresh on every call.
    std::vector<AudioEndpoint> listeningOutputs() const;
    std::string statusText() const;
    // Only while "running": the selections differ from those of the request last written.
    bool hasPendingChanges() const;
    bool isListeningMuted() const;
    float displayedListeningLevel() const;
    std::string listeningHint() const;
    // The physical output that restoreMacOutput would use.
    std::optional<AudioEndpoint> recoveryOutput() const;
    // The selected output's name; "your audio interface" when it is not listed.
    std::string selectedOutputName() const;
    // Plain text for support: versions, driver, route, rate, mode, source, listening, error.
    std::string diagnosticsText() const;

    // The 50 ms pass: discovery every 20th pass, report poll every 10th, driver tracking,
    // automatic start, telemetry.
    void refresh();
    // Stores the three device choices when rememberDevices is on, removes them when off; nothing
    // during construction.
    void savePreferences();

    // Route control. Outcomes in error, routingPhase, routingDetail.
    void applyRouting(bool enabled);
    void prepareForQuit();
    void resumeAutomaticStart();

    // Driver telemetry and controls. Outcomes in gain/mono and error.
    std::optional<platform::audio::PropertyList> readDriverProperty(platform::audio::FourCharCode selector) const;
    void setGain(double gainDb);
    void setMono(bool mono);
    void resetPeaks();
    // " -6.0"-style dB text of a linear level ("%.1f"); "−∞" for 0, negative or non-finite.
    static std::string levelText(double level);
    // Fill fraction 0…1 of a meter over a 60 dB scale.
    static double meterFraction(double level);

    // Listening volume and mute.
    void refreshListening();
    void toggleListeningMute();
    void setListeningLevel(float level);
    void saveMuteMemory();

    // Outcome in error.
    void playTestTone();
    // Outcome in dawDeviceMessage.
    void createDAWDevice();
    // Outcome in recoveryMessage.
    void restoreMacOutput();
    // For the end of the quit sequence, once no helper of this bundle runs: when the computer's
    // default output is still the KORVANE device (its helper died while routing the computer's
    // playback, which nothing would ever play again), points it at recoveryOutput. Volumes, mute
    // memory, the route request and the messages stay as they are; any other default output is
    // the user's and is left alone.
    void restoreOutputLeftOnDriver();
    void refreshDevices();

private:
    explicit AudioModel(AudioModelEnvironment environment);
    void construct();

    // Writes that notify (audio_model.cpp).
    template <class T>
    void write(T& field, T value, Property property) {
        field = std::move(value);
        notify(property);
    }
    void notify(Property property);
    void setError(std::string message) { write(error_, std::move(message), Property::error); }
    void setMeter(std::size_t channel, double value);

    // Pass steps.
    void discoverDevices();
    void pollReport();
    void trackDriverDevice();
    void automaticStart();
    void readTelemetry();
    void resetTelemetry();
    void chooseFirstOutput();
    void forceRefresh();

    // Route control helpers (route_control.cpp).
    std::filesystem::path helperLocation() const;
    void launchHelper(const std::string& revision);
    void launchFailed(const std::string& revision, const std::string& description);

    AudioModelEnvironment environment_;
    std::shared_ptr<Subscription::Registry> observers_;

    // Published properties.
    platform::audio::AudioObjectID device_ = 0;
    bool systemActive_ = false;
    bool inputActive_ = false;
    double gain_ = 0;
    bool mono_ = false;
    bool modeSupported_ = false;
    std::array<double, 4> meters_{};
    double rate_ = 48000;
    std::uint32_t bufferFrames_ = 0;
    std::string recoveryMessage_;
    std::string error_;
    std::vector<AudioEndpoint> endpoints_;
    std::string selectedInput_ = std::string(kSystemPlaybackInputUID);
    std::string selectedOutput_;
    std::string listeningUID_;
    float listeningLevel_ = 0;
    bool listeningSupported_ = false;
    StereoPeakDisplay peakDisplay_;
    bool rememberDevices_ = true;
    bool automaticallyMatchSampleRate_ = true;
    MuteMemoryMap muteMemory_;
    std::string dawDeviceMessage_;
    std::string routingPhase_ = std::string(phase::kStopped);
    std::string routingDetail_ = std::string(kInitialRoutingDetail);

    // Plain fields.
    bool launchRoutingPending_ = false;
    bool isQuitting_ = false;
    bool loadingPreferences_ = true;
    std::shared_ptr<TestTonePlayer> testSound_;
    std::int64_t discoveryTick_ = 0;
    std::string appliedRevision_;
    std::string appliedInput_ = std::string(kSystemPlaybackInputUID);
    std::string appliedOutput_;
    bool appliedAutomaticRate_ = true;
    std::optional<double> requestStartedAt_;
    bool requestWritten_ = false;  // this run has written a request (appliedRevision_ may be an earlier run's)
    double lastWrite_ = -1;
    double lastRead_ = -1;
    double lastReadAt_;  // wall-clock seconds; the distant past at first
    bool statusSeen_ = false;  // the last status read was valid
    std::shared_ptr<platform::ScheduledTask> timer_;
};

}  // namespace korvane::panel
