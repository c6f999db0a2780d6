// Test support for the views: the real AudioModel over the in-process device model (the panel
// model's fixture), the views' own preferences in the same defaults store, and helpers that move
// the model and the Qt event loop together without sleeping.
#pragma once

#include "panel/views/interface_preferences.h"
#include "panel/views/panel.h"
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

#include <QCoreApplication>

#include <cmath>
#include <functional>
#include <memory>

namespace korvane::test {

struct ViewSetup : PanelSetup {
    using PanelSetup::PanelSetup;
    ~ViewSetup() {
        panel.reset();
        interface.reset();
    }

    // The model (created when needed) and the views' preferences over the same defaults store.
    views::InterfacePreferences& preferences() {
        if (!model) create();
        if (!interface) interface = std::make_unique<views::InterfacePreferences>(defaults);
        return *interface;
    }

    // Creates the model when needed and the panel over it, sized as the main window opens.
    views::Panel& showPanel(bool compact = false, QString brandImage = {}) {
        preferences().setCompact(compact);
        panel = std::make_unique<views::Panel>(
            views::PanelEnvironment{*model, *interface, applications.mainBundleInfo(), std::move(brandImage)});
        panel->resize(compact ? 420 : 1040, 860);
        panel->show();
        settle();
        return *panel;
    }

    // Runs what the model posted and lets the views take the merged change notification.
    void settle() {
        mainThread.runPending();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    // `count` refresh passes of 50 ms, then the views refresh.
    void runPasses(int count) {
        passes(count);
        settle();
    }

    // Answers the model's latest request as the routing helper would, with `phase`, and lets the
    // model's report poll take it up.
    void report(std::string_view phase, std::string detail = "KORVANE is routing System audio.") {
        RoutingReport report;
        report.revision = model->appliedRevision();
        report.phase = std::string(phase);
        report.detail = std::move(detail);
        report.updated = audio.clock.secondsSinceReferenceDate();
        report.cycles = 1000;
        EXPECT_FALSE(RoutingFiles::write(report, RoutingFiles::kReportFileName));
        runPasses(10);
    }
    // Starts audio and answers it as running.
    void startRunning() {
        if (!model) create();
        model->applyRouting(true);
        report(phase::kRunning);
    }

    // Plays a stereo tone with these linear peaks into the virtual device and runs its cycles,
    // so its telemetry reports them; then one refresh pass reads them.
    void playIntoDriver(double left, double right) {
        constexpr std::uint32_t kFrames = 512;
        std::vector<float> samples(std::size_t(kFrames) * 8 * 2);
        for (std::size_t f = 0; f < samples.size() / 2; ++f) {
            const double phase = std::sin(double(f) * 0.37);
            samples[2 * f] = float(left * (f % 64 == 0 ? 1.0 : phase * 0.9));
            samples[2 * f + 1] = float(right * (f % 64 == 0 ? 1.0 : phase * 0.9));
        }
        audio.model.enqueuePlayback(kKorvane, 2, std::move(samples));
        const auto id = audio.id(kKorvane);
        for (int cycle = 0; cycle < 4; ++cycle) audio.model.step(id, kFrames);
        runPasses(1);
    }

    // Creates the model, arranges a state with `arrange`, shows the panel and lets it follow.
    views::Panel& showArranged(const std::function<void(ViewSetup&)>& arrange) {
        create();
        views::Panel& shown = showPanel();
        arrange(*this);
        settle();
        return shown;
    }

    std::unique_ptr<views::InterfacePreferences> interface;
    std::unique_ptr<views::Panel> panel;
};

// The built-in machine without any physical output: nothing to listen on or recover to.
inline audiosim::MachineSpec machineWithoutPhysicalOutputs() {
    audiosim::MachineSpec machine = audiosim::builtinMachine();
    std::erase_if(machine.devices, [](const audiosim::DeviceSpec& d) { return !d.korvane && !d.outputStreams.empty(); });
    machine.defaultOutput.clear();
    machine.defaultSystemOutput.clear();
    return machine;
}

}  // namespace korvane::test
