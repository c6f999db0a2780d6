// Driver telemetry: the status snapshot turned into meters, peaks and input activity; gain and
// channel mode writes; the level texts and meter fractions.
#include "tests/panel/panel_fixture.h"

#include <cmath>
#include <limits>

namespace korvane::test {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using panel::AudioModel;
using panel::StereoPeakDisplay;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The virtual device's status snapshot as the test sets it; everything else from the model.
class StatusHardware final : public ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    OSStatus getPropertyObject(AudioObjectID o, const Address& a, const PropertyList* q, PropertyList& v) override {
        if (a.mSelector == fourCC("kqst") && status) {
            v = *status;
            return 0;
        }
        return inner_.getPropertyObject(o, a, q, v);
    }
    void set(std::array<double, 4> peaks, double written, double read) {
        status = PropertyList(PropertyList::Array{peaks[0], peaks[1], peaks[2], peaks[3], written, read, 0.0});
    }
    std::optional<PropertyList> status;
};

struct TelemetrySetup : PanelSetup {
    TelemetrySetup() : status(*audio.client), installed(status) {}
    StatusHardware status;
    platform::audio::ScopedHardware installed;
};

TEST(StereoPeakDisplay, HoldClipAndIgnoredInput) {
    StereoPeakDisplay display;
    display.update(std::vector<double>{0.9, 1.0, 0.999, kNaN}, 100.0);
    EXPECT_EQ(display.peaks, (std::array<double, 4>{0.9, 1.0, 0.999, 0}));
    EXPECT_EQ(display.clipped, (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(display.deadlines[0], 102.0);

    struct Step {
        double level;
        double now;
        double heldPeak;
    };
    const Step steps[] = {
        {0.5, 101.9, 0.9},   // a larger peak is still held
        {0.5, 102.0, 0.5},   // the hold expired: the current level, with a hold of its own
        {0.7, 102.1, 0.7},   // a higher level replaces it at once
        {0.7, 104.05, 0.7},  // an equal level restarts the hold
        {0.1, 106.0, 0.7},
        {-3, 106.05, 0.0},   // negative counts as 0
    };
    for (const auto& step : steps) {
        display.update(std::vector<double>{step.level, 0, 0, 0}, step.now);
        EXPECT_EQ(display.peaks[0], step.heldPeak) << "at " << step.now;
    }
    EXPECT_TRUE(display.clipped[1]);  // until reset

    const auto before = display;
    display.update(std::vector<double>{1, 1, 1}, 200);
    display.update(std::vector<double>{1, 1, 1, 1, 1}, 200);
    display.update(std::vector<double>{1, 1, 1, 1}, kInfinity);
    EXPECT_EQ(display, before);
    display.reset();
    EXPECT_EQ(display, StereoPeakDisplay{});
}

TEST(MeterScale, LevelTextAndMeterFraction) {
    struct Case {
        double level;
        const char* text;
        double fraction;
    };
    const Case cases[] = {
        {1.0, "0.0", 1.0},
        {0.5, "-6.0", (20 * std::log10(0.5) + 60) / 60},
        {2.0, "6.0", 1.0},
        {0.001, "-60.0", 0.0},
        {0.0001, "-80.0", 0.0},
        {0.0, "−∞", 0.0},
        {-1.0, "−∞", 0.0},
        {kNaN, "−∞", 0.0},
        {kInfinity, "−∞", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioModel::levelText(c.level), c.text) << c.level;
        EXPECT_NEAR(AudioModel::meterFraction(c.level), c.fraction, 1e-12) << c.level;
    }
    EXPECT_EQ(AudioModel::meterFraction(0.001), 0.0);
}

TEST(DriverTelemetry, StatusDrivesMetersPeaksAndActivity) {
    TelemetrySetup setup;
    setup.status.set({0, 0, 0, 0}, 0, 10);
    auto& model = setup.create();
    EXPECT_FALSE(model.inputActive());  // the first status only primes the read counter

    setup.status.set({0.5, 0.25, 1.0, kNaN}, 1, 10);
    setup.passes(1);
    EXPECT_EQ(model.meters(), (std::array<double, 4>{0.5, 0.25, 1.0, 0.0}));
    EXPECT_EQ(model.peakDisplay().clipped, (std::array<bool, 4>{false, false, true, false}));
    EXPECT_FALSE(model.inputActive());

    // The write counter stands still: zero levels, the meters decay by 0.8 per pass, peaks stay held.
    setup.passes(2);
    EXPECT_NEAR(model.meters()[0], 0.5 * 0.8 * 0.8, 1e-12);
    EXPECT_EQ(model.peakDisplay().peaks[0], 0.5);

    // The read counter moves: input activity for 0.5 s of wall-clock time.
    setup.status.set({0, 0, 0, 0}, 2, 11);
    setup.passes(1);
    EXPECT_TRUE(model.inputActive());
    setup.passes(9);  // 0.45 s later
    EXPECT_TRUE(model.inputActive());
    setup.passes(2);  // 0.55 s
    EXPECT_FALSE(model.inputActive());
}

TEST(DriverTelemetry, MalformedStatusIsNoStatus) {
    const std::vector<std::pair<const char*, PropertyList>> cases = {
        {"six slots", PropertyList(PropertyList::Array{0.5, 0.5, 0.5, 0.5, 2.0, 12.0})},
        {"eight slots", PropertyList(PropertyList::Array{0.5, 0.5, 0.5, 0.5, 2.0, 12.0, 0.0, 0.0})},
        {"a string slot", PropertyList(PropertyList::Array{0.5, 0.5, "0.5", 0.5, 2.0, 12.0, 0.0})},
        {"no array", PropertyList(0.5)},
        {"null", PropertyList()},
    };
    for (const auto& [name, status] : cases) {
        SCOPED_TRACE(name);
        TelemetrySetup setup;
        auto& model = setup.create();
        setup.status.set({0.9, 0.9, 1.0, 0.9}, 1, 10);
        setup.passes(1);
        setup.status.set({0.9, 0.9, 1.0, 0.9}, 2, 11);
        setup.passes(1);
        ASSERT_TRUE(model.inputActive());
        setup.status.status = status;
        setup.passes(1);
        EXPECT_EQ(model.meters(), (std::array<double, 4>{}));
        EXPECT_EQ(model.peakDisplay(), StereoPeakDisplay{});
        EXPECT_FALSE(model.inputActive());
        // The counters restarted: the next read change only primes again.
        setup.status.set({0, 0, 0, 0}, 3, 12);
        setup.passes(1);
        EXPECT_FALSE(model.inputActive());
    }
}

TEST(DriverTelemetry, SystemActiveFollowsTheDefaultOutput) {
    PanelSetup setup;
    auto& model = setup.create();
    const auto setDefault = [](AudioObjectID id) {
        ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id), 0);
    };
    EXPECT_FALSE(model.systemActive());
    setDefault(model.device());
    setup.passes(1);
    EXPECT_TRUE(model.systemActive());

    const AudioObjectID listening = setup.createAggregate("audio.korvane.listen.1", "listen", kKorvane, kSpeakers);
    setDefault(listening);
    setup.passes(1);
    EXPECT_TRUE(model.systemActive());

    setDefault(setup.audio.id(kHeadphones));
    setup.passes(1);
    EXPECT_FALSE(model.systemActive());
}

TEST(DriverControls, GainIsClampedAndFailuresAreReported) {
    struct Case {
        double requested;
        std::optional<double> written;
    };
    const Case cases[] = {{20, 12}, {-100, -60}, {-6.5, -6.5}, {kNaN, std::nullopt}, {kInfinity, std::nullopt}};
    PanelSetup setup;
    auto& model = setup.create();
    const AudioObjectID korvane = model.device();
    for (const auto& c : cases) {
        ASSERT_EQ(setup.audio.client->setPropertyObject(korvane, globalAddress(fourCC("kqgd")), PropertyList(3.0)), 0);
        model.setGain(c.requested);
        PropertyList stored;
        ASSERT_EQ(setup.audio.client->getPropertyObject(korvane, globalAddress(fourCC("kqgd")), nullptr, stored), 0);
        EXPECT_EQ(stored.real(), c.written.value_or(3.0)) << c.requested;
        if (c.written) {
            EXPECT_EQ(model.gain(), *c.written);
        }
    }

    setup.audio.model.addFault(Fault{Operation::Set, korvane, fourCC("kqgd"), 0, audiosim::kAnyElement, -50, 1});
    model.setGain(0);
    EXPECT_EQ(model.error(), "Could not change gain (-50).");
    EXPECT_EQ(model.gain(), -6.5);
    model.setGain(0);
    EXPECT_EQ(model.error(), "");
    EXPECT_EQ(model.gain(), 0);
}

TEST(DriverControls, ChannelMode) {
    PanelSetup setup;
    auto& model = setup.create();
    ASSERT_TRUE(model.modeSupported());
    model.setMono(true);
    EXPECT_TRUE(model.mono());
    setup.passes(1);
    EXPECT_TRUE(model.mono());  // read back from the driver

    const AudioObjectID korvane = model.device();
    setup.audio.model.addFault(Fault{Operation::Set, korvane, fourCC("kqmo"), 0, audiosim::kAnyElement, 1852797029, 1});
    model.setMono(false);
    EXPECT_EQ(model.error(), "Could not change channel mode (1852797029).");
    EXPECT_TRUE(model.mono());

    // Without the mode property nothing is written, even with the device present.
    setup.audio.model.addFault(Fault{Operation::Get, korvane, fourCC("kqmo")});
    setup.passes(1);
    EXPECT_FALSE(model.modeSupported());
    EXPECT_TRUE(model.mono());  // keeps its value
    model.setMono(false);
    EXPECT_TRUE(model.mono());
    EXPECT_EQ(model.error(), "Could not change channel mode (1852797029).");
}

TEST(DriverTelemetry, FailedReadsKeepTheLastValues) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);
    const double rate = model.rate();
    const auto frames = model.bufferFrames();
    ASSERT_EQ(rate, 48000);
    ASSERT_EQ(frames, 512u);
    const AudioObjectID korvane = model.device();
    for (const char* selector : {"nsrt", "fsiz", "kqgd"})
        setup.audio.model.addFault(Fault{Operation::Get, korvane, fourCCFromText(selector)});
    setup.passes(3);
    EXPECT_EQ(model.rate(), rate);
    EXPECT_EQ(model.bufferFrames(), frames);
    EXPECT_EQ(model.gain(), 0);
    EXPECT_EQ(model.error(), "");
}

}  // namespace
}  // namespace korvane::test
