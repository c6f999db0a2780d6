// The desktop's words as the routing helper and the panel model produce them: the same failures
// and recovery over the Mac's set and over a Linux desktop's, composed around status codes and
// device names, and a Linux desktop's set naming nothing of the Mac.
#include "panel/daw_setup.h"
#include "platform/wording.h"
#include "router/engine/route_engine_testing.h"
#include "router/router_delegate.h"
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace korvane::test {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;

class InlineMainThread final : public router::MainThread {
public:
    void post(std::function<void()> task) override { task(); }
    void scheduleRepeating(std::chrono::milliseconds, std::function<void()>) override {}
};

// The desktop has not answered yet.
class UndecidedPermission final : public CapturePermission {
public:
    CaptureAuthorization status() override { return CaptureAuthorization::NotDetermined; }
    void requestAccess(std::function<void(bool)>) override {}
};

class AuthorizedPermission final : public CapturePermission {
public:
    CaptureAuthorization status() override { return CaptureAuthorization::Authorized; }
    void requestAccess(std::function<void(bool granted)> completion) override { completion(true); }
};

constexpr AudioObjectPropertyAddress kDefaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                    kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

// The helper's report detail after one poll of the request (`input`, `output`), once `prepare`
// has shaped the machine.
std::string helperDetail(const std::function<void(ModelSetup&)>& prepare, const char* input, const char* output,
                         bool permissionUndecided = false) {
    TestEnvironment environment;
    ModelSetup audio;
    engine::setPauseForTesting(audio.clock.pause());
    InlineMainThread mainThread;
    UndecidedPermission undecided;
    AuthorizedPermission authorized;
    CapturePermission& permission = permissionUndecided ? static_cast<CapturePermission&>(undecided) : authorized;
    auto delegate = std::make_shared<router::RouterDelegate>(
        router::RouterEnvironment{mainThread, audio.clock, audio.clock, permission, audio.clock.pause()});
    EXPECT_EQ(setProperty(kAudioObjectSystemObject, kDefaultOutput, audio.id(kSpeakers)), 0);
    if (prepare) prepare(audio);
    RoutingChoice choice;
    choice.inputUID = input;
    choice.outputUID = output;
    choice.enabled = true;
    EXPECT_FALSE(RoutingFiles::write(choice, RoutingFiles::kChoiceFileName));
    delegate->pollChoice();
    std::string detail = delegate->detail();
    delegate.reset();
    engine::setPauseForTesting({});
    return detail;
}

std::string recoveryMessage(bool switchFails) {
    PanelSetup setup;
    auto& model = setup.create();
    model.setSelectedOutput(kHeadphones);
    if (switchFails)
        setup.audio.model.addFault(Fault{Operation::Set, kAudioObjectSystemObject,
                                         kAudioHardwarePropertyDefaultOutputDevice, 0, audiosim::kAnyElement, -10851});
    model.restoreMacOutput();
    return model.recoveryMessage();
}

std::string dawDeviceFailure() {
    PanelSetup setup;
    auto& model = setup.create();
    const auto endpoints = model.endpoints();
    const auto speakers =
        std::find_if(endpoints.begin(), endpoints.end(), [](const AudioEndpoint& e) { return e.uid == kSpeakers; });
    setup.audio.model.addFault(Fault{Operation::CreateAggregate, 0, 0, 0, audiosim::kAnyElement, 560226676, 1});
    return panel::DAWSetup::create(*speakers, endpoints).error().message;
}

TEST(PlatformWording, TheHelperAndThePanelSpeakTheInstalledDesktopsWords) {
    struct Case {
        const char* name;
        std::function<std::string()> produce;
        std::string mac;
        std::string linuxDesktop;
    };
    const Case cases[] = {
        {"helper: no KORVANE device",
         [] { return helperDetail([](ModelSetup& a) { a.model.unplug(kKorvane); }, "system", kSpeakers); },
         "KORVANE driver is unavailable. Install it and restart your Mac.",
         "KORVANE driver is unavailable. Install it and restart your computer."},
        {"helper: KORVANE cannot become the default output",
         [] {
             return helperDetail(
                 [](ModelSetup& a) { a.model.addFault({Operation::Set, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice}); },
                 "system", kSpeakers);
         },
         "Could not select KORVANE playback as the Mac output.",
         "Could not select KORVANE playback as the computer’s output."},
        {"helper: the engine's start fails, with its status",
         [] {
             return helperDetail([](ModelSetup& a) { a.model.addFault({Operation::Start, 0, 0, 0, audiosim::kAnyElement, 1852797029}); },
                                 kInterface, kSpeakers);
         },
         "Could not start routing. Check microphone permission and device availability (1852797029)",
         "Could not start routing. Check device availability (1852797029)"},
        {"helper: the desktop asks for the microphone", [] { return helperDetail(nullptr, kMicrophone, kSpeakers, true); },
         "Allow KORVANE Routing to access audio in the macOS permission dialog.",
         "Allow KORVANE Routing to access audio in the permission dialog."},
        {"panel: playback restored to a named device", [] { return recoveryMessage(false); },
         "Mac playback now uses Bluetooth Headphones directly. Volume is unchanged; unmute that device when you want to listen.",
         "Computer playback now uses Bluetooth Headphones directly. Volume is unchanged; unmute that device when you want "
         "to listen."},
        {"panel: the output cannot be switched", [] { return recoveryMessage(true); },
         "Could not switch the Mac output (-10851). Choose it in macOS Sound settings.",
         "Could not switch the computer’s output (-10851). Choose it in Sound settings."},
        {"panel: the DAW device cannot be made", dawDeviceFailure,
         "Could not create the DAW device (560226676). Use Audio MIDI Setup to combine KORVANE and your output.",
         "Could not create the DAW device (560226676). Use a PipeWire patchbay to connect KORVANE and your output."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.produce(), c.mac) << "the default set is the Mac's";
        {
            platform::ScopedWording linuxDesktop(platform::kLinuxDesktopWording);
            EXPECT_EQ(c.produce(), c.linuxDesktop);
        }
        EXPECT_EQ(c.produce(), c.mac) << "the scope put the Mac's set back";
    }

    // Every text of a Linux desktop: nothing of the Mac, and permission only where it is asked.
    const std::string_view permissionTexts[] = {platform::kLinuxDesktopWording.microphonePermissionAsked,
                                                platform::kLinuxDesktopWording.microphonePermissionRefused,
                                                platform::kLinuxDesktopWording.microphonePermissionOff};
    for (const auto member : platform::kWordingTexts) {
        const std::string_view text = platform::kLinuxDesktopWording.*member;
        SCOPED_TRACE(text);
        for (const std::string_view word : {"Mac", "Dock", "Finder", "Audio MIDI Setup", "macOS", "Privacy & Security",
                                            "System Settings", "'"})
            EXPECT_EQ(text.find(word), std::string_view::npos) << word;
        if (std::find(std::begin(permissionTexts), std::end(permissionTexts), text) == std::end(permissionTexts)) {
            EXPECT_EQ(text.find("permission"), std::string_view::npos);
        }
        EXPECT_FALSE((platform::kMacWording.*member).empty());
    }
}

}  // namespace
}  // namespace korvane::test
