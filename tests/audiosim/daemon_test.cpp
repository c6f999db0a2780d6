#include "audiosim/protocol/operations.h"
#include "audiosim/protocol/paths.h"
#include "shared/audio_device_inventory.h"
#include "shared/driver_contract.h"
#include "shared/listening_volume.h"
#include "tests/audiosim/daemon_test_prelude.h"

#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane {
namespace {

int rawConnect() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, audiosim::socketLocation().socket.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the daemon closes the connection within two seconds.
bool closedByPeer(int fd) {
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);  // a reset when it closed before reading
}

TEST(Daemon, ListsDevicesAndRoundTripsProperties) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    ScopedHardware installed(*hardware);

    const auto endpoints = AudioDeviceInventory::enumerate();
    ASSERT_TRUE(endpoints);
    ASSERT_EQ(endpoints->size(), 6u);
    EXPECT_EQ((*endpoints)[0].name, "Bluetooth Headphones");
    const auto speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
    const auto usb = deviceForUID(*hardware, "USBInterface:2in2out");
    const auto korvane = deviceForUID(*hardware, "audio.ravlin.stereo.v1");

    EXPECT_EQ(ListeningVolume::elements(usb), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(ListeningVolume::setChannelLevels(usb, {0.25f, 0.5f}));
    EXPECT_EQ(ListeningVolume::channelLevels(usb), (std::vector<float>{0.25f, 0.5f}));
    EXPECT_EQ(driver::writeGain(korvane, 6.5), 0);
    EXPECT_EQ(driver::readGain(korvane), 6.5);
    EXPECT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), korvane), 0);
    AudioObjectID current = 0;
    EXPECT_EQ(getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), current), 0);
    EXPECT_EQ(current, korvane);
    std::string output;
    EXPECT_EQ(test::runProgram({test::audiosimProgram(), "default-output"}, &output), 0);
    EXPECT_EQ(output, "audio.ravlin.stereo.v1\n");

    // Errors travel as statuses.
    double rate = 0;
    EXPECT_EQ(getProperty(999, globalAddress(kAudioDevicePropertyNominalSampleRate), rate), kAudioHardwareBadObjectError);
    EXPECT_EQ(setProperty(speakers, globalAddress(kAudioDevicePropertyNominalSampleRate), 12345.0), kAudioDeviceUnsupportedFormatError);
}

TEST(Daemon, PrivateAggregatesAndCallbacksVanishWithTheirClient) {
    DaemonFixture daemon;
    auto observer = daemon.connect();
    {
        auto owner = daemon.connect();
        PropertyList::Dictionary sub;
        sub["uid"] = PropertyList("BuiltInSpeakerDevice");
        PropertyList::Dictionary description;
        description["uid"] = PropertyList("test.private");
        description["name"] = PropertyList("private");
        description["private"] = PropertyList(1);
        description["subdevices"] = PropertyList(PropertyList::Array{PropertyList(sub)});
        AudioObjectID aggregate = 0;
        ASSERT_EQ(owner->createAggregateDevice(description, aggregate), 0);
        EXPECT_EQ(deviceForUID(*owner, "test.private"), aggregate);
        EXPECT_EQ(deviceForUID(*observer, "test.private"), 0u);  // invisible to others
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(owner->createIOProcID(aggregate, [](auto...) -> OSStatus { return 0; }, nullptr, proc), 0);
        ASSERT_EQ(owner->startDevice(aggregate, proc), 0);
        EXPECT_TRUE(waitUntil([&] { return daemonStat(*observer, "cycles") > 0; }));
    }
    EXPECT_TRUE(waitUntil([&] { return daemonStat(*observer, "clients") == 1; }));
    // The UID is free again: the aggregate is gone.
    auto again = daemon.connect();
    PropertyList::Dictionary description;
    description["uid"] = PropertyList("test.private");
    description["name"] = PropertyList("again");
    description["subdevices"] = PropertyList(PropertyList::Array{PropertyList(PropertyList::Dictionary{{"uid", PropertyList("HDMIDisplay:1")}})});
    AudioObjectID aggregate = 0;
    EXPECT_EQ(again->createAggregateDevice(description, aggregate), 0);
}

TEST(Daemon, APlaybackStopsWhenTheConnectionThatQueuedItGoes) {
    DaemonFixture daemon;
    auto observer = daemon.connect();
    const std::vector<std::uint8_t> piece(audiosim::wire::kMaxDataBytes);  // 1.4 s of stereo
    std::uint64_t playback = 0;
    {
        auto player = daemon.connect();
        for (int i = 0; i < 16; ++i) {
            const auto played = player->connection().call(Message{{"op", "play"}, {"uid", "BuiltInSpeakerDevice"},
                                                                   {"channels", 2}, {"append", playback},
                                                                   {"data", Message::binary(piece)}});
            ASSERT_TRUE(played);
            playback = audiosim::wire::unsignedField(*played, "playback").value_or(0);
            ASSERT_NE(playback, 0u);
        }
    }
    const auto playing = [&] {
        const auto state = observer->connection().call(Message{{"op", "playbackState"}, {"playback", playback}});
        return state && state->value("playing", false);
    };
    // 22 s of audio: left to itself, it would still be playing when the wait gives up.
    EXPECT_TRUE(waitUntil([&] { return !playing(); })) << "the playback outlived its connection";
}

TEST(Daemon, AKilledClientsResourcesAreReclaimed) {
    DaemonFixture daemon;
    auto observer = daemon.connect();
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::string error;
        auto hardware = std::make_unique<audiosim::RemoteHardware>(
            std::shared_ptr<audiosim::DaemonConnection>(audiosim::DaemonConnection::open(error)));
        const auto speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
        AudioDeviceIOProcID proc = nullptr;
        hardware->createIOProcID(speakers, [](auto...) -> OSStatus { return 0; }, nullptr, proc);
        const char result = hardware->startDevice(speakers, proc) == 0 ? 'y' : 'n';
        ::write(started[1], &result, 1);
        ::pause();  // until killed
        ::_exit(0);
    }
    ::close(started[1]);
    char result = 0;
    ASSERT_EQ(::read(started[0], &result, 1), 1);  // its callback runs
    ::close(started[0]);
    EXPECT_EQ(result, 'y');
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(waitUntil([&] { return daemonStat(*observer, "clients") == 1; }));
    // The speakers stop running once the killed client's callback is gone.
    std::uint32_t running = 1;
    ScopedHardware installed(*observer);
    EXPECT_TRUE(waitUntil([&] {
        return getProperty(deviceForUID(*observer, "BuiltInSpeakerDevice"), globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere),
                           running) == 0 &&
               running == 0;
    }));
}

TEST(Daemon, MalformedAndOversizedMessagesCloseOnlyTheirConnection) {
    DaemonFixture daemon;
    auto healthy = daemon.connect();
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    };
    const auto frame = [](const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> bytes(4 + payload.size());
        for (int i = 0; i < 4; ++i) bytes[std::size_t(i)] = std::uint8_t(payload.size() >> (8 * i));
        std::copy(payload.begin(), payload.end(), bytes.begin() + 4);
        return bytes;
    };
    const Case cases[] = {
        {"not CBOR", frame({0xFF, 0x00, 0x13, 0x37})},
        {"not an object", frame(Message::to_cbor(Message::array({1, 2})))},
        {"no op", frame(Message::to_cbor(Message{{"id", 1}}))},
        {"id of the wrong type", frame(Message::to_cbor(Message{{"id", "one"}, {"op", "ping"}}))},
        {"oversized length", {0x00, 0x00, 0x20, 0x00}},  // 2 MiB
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = rawConnect();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
        EXPECT_TRUE(closedByPeer(fd));
        ::close(fd);
    }
    // Wrong field types inside a valid request get a status, not a crash.
    const auto reply = healthy->connection().call(Message{{"op", "get"}, {"object", "x"}, {"address", 5}});
    ASSERT_TRUE(reply);
    EXPECT_NE((*reply)["status"].get<int>(), 0);
    EXPECT_EQ(daemonStat(*healthy, "clients"), 1u);
}

TEST(Daemon, RefusesPeersOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    DaemonFixture daemon;
    // Let another user reach the socket, so that only the peer check stands in the way.
    const auto location = audiosim::socketLocation();
    ::chmod(daemon.environment.root().c_str(), 0711);
    ::chmod(daemon.environment.runtimeDirectory().c_str(), 0711);
    ::chmod(location.directory.c_str(), 0711);
    ::chmod(location.socket.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const int fd = rawConnect();
        if (fd < 0) ::_exit(3);
        const auto request = audiosim::wire::encode(Message{{"id", 1}, {"op", "ping"}});
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ::_exit(closedByPeer(fd) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::chmod(location.directory.c_str(), 0700);
}

TEST(Daemon, CallsTimeOutWhenTheDaemonIsStopped) {
    DaemonFixture daemon;
    daemon.environment.set("AUDIOSIM_TIMEOUT_MS", "300");
    auto hardware = daemon.connect();
    ::kill(daemon.daemonPid(), SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    double rate = 0;
    std::uint32_t size = sizeof rate;
    EXPECT_EQ(hardware->getPropertyData(2, globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, size, &rate),
              kAudioHardwareNotRunningError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // a bound against hanging, not a timing figure
    ::kill(daemon.daemonPid(), SIGCONT);
    // The late answer is skipped; once it has arrived, the next call gets its own.
    EXPECT_TRUE(waitUntil([&] {
        size = sizeof rate;
        return hardware->getPropertyData(deviceForUID(*hardware, "BuiltInSpeakerDevice"),
                                         globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, size, &rate) == 0;
    }));
    EXPECT_EQ(rate, 48000.0);
}

TEST(Daemon, TwoClientsStartingAtOnceStartOneDaemon) {
    test::TestEnvironment environment;
    environment.set("XDG_STATE_HOME", (environment.root() / "state").string());
    environment.set("AUDIOSIM_BINARY", test::audiosimProgram());
    environment.set("AUDIOSIM_AUTOSPAWN", "1");
    const auto pidFromNewClient = [] {
        std::string error;
        auto connection = audiosim::DaemonConnection::open(error);
        if (!connection) return -1;
        const auto reply = connection->call(Message{{"op", "ping"}});
        return reply ? (*reply)["pid"].get<int>() : -1;
    };
    // Two processes, released together.
    int pipes[2][2];
    pid_t children[2];
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(::pipe(pipes[i]), 0);
        children[i] = ::fork();
        if (children[i] == 0) {
            char byte;
            ::read(go[0], &byte, 1);
            const int pid = pidFromNewClient();
            ::write(pipes[i][1], &pid, sizeof pid);
            ::_exit(0);
        }
    }
    ::write(go[1], "gg", 2);
    int pids[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        ::read(pipes[i][0], &pids[i], sizeof pids[i]);
        ::waitpid(children[i], nullptr, 0);
    }
    EXPECT_GT(pids[0], 0);
    EXPECT_EQ(pids[0], pids[1]);
    // A third client finds it too, and a second daemon refuses to start beside it.
    EXPECT_EQ(pidFromNewClient(), pids[0]);
    EXPECT_NE(test::runProgram({test::audiosimProgram(), "server"}), 0);
    if (pids[0] > 0) ::kill(pids[0], SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return ::kill(pids[0], 0) != 0; }));
}

TEST(Daemon, AStaleSocketIsReplaced) {
    DaemonFixture daemon;
    ::kill(daemon.daemonPid(), SIGKILL);
    ::waitpid(daemon.daemonPid(), nullptr, 0);
    EXPECT_TRUE(std::filesystem::exists(audiosim::socketLocation().socket));
    std::string error;
    EXPECT_FALSE(audiosim::DaemonConnection::open(error));  // autospawn is off in the fixture
    daemon.startDaemon();
    EXPECT_TRUE(daemon.connect());
}

TEST(Daemon, KeepsDefaultsVolumesAndPublicAggregatesAcrossRestarts) {
    DaemonFixture daemon;
    {
        auto hardware = daemon.connect();
        ScopedHardware installed(*hardware);
        ASSERT_TRUE(ListeningVolume::setLevel(deviceForUID(*hardware, "BuiltInSpeakerDevice"), 0.3f));
        ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                              deviceForUID(*hardware, "HDMIDisplay:1")),
                  0);
        PropertyList::Dictionary description;
        description["uid"] = PropertyList("audio.ravlin.daw.TEST");
        description["name"] = PropertyList("KORVANE + Speakers");
        description["private"] = PropertyList(0);
        description["subdevices"] = PropertyList(PropertyList::Array{
            PropertyList(PropertyList::Dictionary{{"uid", PropertyList("audio.ravlin.stereo.v1")}}),
            PropertyList(PropertyList::Dictionary{{"uid", PropertyList("BuiltInSpeakerDevice")}})});
        AudioObjectID aggregate = 0;
        ASSERT_EQ(hardware->createAggregateDevice(description, aggregate), 0);
    }
    daemon.stopDaemon();
    daemon.startDaemon();
    auto hardware = daemon.connect();
    ScopedHardware installed(*hardware);
    EXPECT_NEAR(*ListeningVolume::level(deviceForUID(*hardware, "BuiltInSpeakerDevice")), 0.3f, 1e-6);
    AudioObjectID current = 0;
    getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), current);
    EXPECT_EQ(current, deviceForUID(*hardware, "HDMIDisplay:1"));
    EXPECT_NE(deviceForUID(*hardware, "audio.ravlin.daw.TEST"), 0u);
}

TEST(Daemon, CapturePermissionIsAskedAndAnswered) {
    DaemonFixture daemon;
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    audiosim::RemoteCapturePermission permission(connection);
    EXPECT_EQ(permission.status(), CaptureAuthorization::Authorized);
    struct Case {
        const char* answer;
        bool granted;
        CaptureAuthorization after;
    };
    for (const auto& c : {Case{"denied", false, CaptureAuthorization::Denied}, Case{"granted", true, CaptureAuthorization::Authorized}}) {
        ASSERT_EQ(test::runProgram({test::audiosimProgram(), "permission", "not-determined", "--answer", c.answer, "--delay", "0.2"}), 0);
        EXPECT_EQ(permission.status(), CaptureAuthorization::NotDetermined);
        std::promise<bool> answered;
        permission.requestAccess([&](bool granted) { answered.set_value(granted); });
        auto future = answered.get_future();
        ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(future.get(), c.granted);
        EXPECT_EQ(permission.status(), c.after);
    }
    std::string output;
    EXPECT_EQ(test::runProgram({test::audiosimProgram(), "permission"}, &output), 0);
    EXPECT_EQ(output, "authorized\n");
}

}  // namespace
}  // namespace korvane
