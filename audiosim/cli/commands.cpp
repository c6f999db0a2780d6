#include "audiosim/cli/commands.h"

#include "audiosim/cli/device_format.h"
#include "audiosim/cli/wav_file.h"
#include "audiosim/client/remote_hardware.h"
#include "audiosim/daemon/server.h"
#include "audiosim/protocol/operations.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace audiosim::cli {

using namespace platform::audio;
using wire::Message;

namespace {

int fail(const std::string& sentence) {
    std::fprintf(stderr, "audiosim: %s\n", sentence.c_str());
    return 1;
}

// A connection to the daemon with the platform interface over it.
struct Session {
    std::shared_ptr<DaemonConnection> connection;
    std::unique_ptr<RemoteHardware> hardware;
    std::string error;

    Session() {
        connection = DaemonConnection::open(error);
        if (connection) hardware = std::make_unique<RemoteHardware>(connection);
    }
    explicit operator bool() const { return connection != nullptr; }

    // The daemon's answer; nothing (with the sentence printed) when it did not answer.
    std::optional<Message> answer(Message message) {
        auto reply = connection->call(std::move(message));
        if (!reply) fail(kNoAnswer);
        return reply;
    }
    static constexpr const char* kNoAnswer = "The audiosim daemon did not answer.";

    // A request's status; nothing when the daemon did not answer.
    std::optional<OSStatus> status(Message message) {
        const auto reply = answer(std::move(message));
        if (!reply) return std::nullopt;
        return OSStatus(wire::integerField(*reply, "status").value_or(-1));
    }

    // A request whose status must be 0; nothing (with the sentence printed) otherwise.
    std::optional<Message> request(Message message, const std::string& what) {
        auto reply = answer(std::move(message));
        if (!reply) return std::nullopt;
        const auto status = wire::integerField(*reply, "status").value_or(-1);
        if (status != 0) {
            fail(what + " (status " + std::to_string(status) + ").");
            return std::nullopt;
        }
        return reply;
    }

    AudioObjectID deviceId(const std::string& uid) { return deviceForUID(*hardware, uid); }

    // Whether `device` is still plugged in (a device plugged in again has a new id); nothing
    // when the daemon did not answer.
    std::optional<bool> present(AudioObjectID device) {
        PropertyList uid;
        const OSStatus status = hardware->getPropertyObject(device, globalAddress(kAudioDevicePropertyDeviceUID), nullptr, uid);
        if (status == kAudioHardwareNotRunningError) return std::nullopt;
        return status == 0;
    }

    std::string text(AudioObjectID device, FourCharCode selector) {
        PropertyList value;
        hardware->getPropertyObject(device, globalAddress(selector), nullptr, value);
        return value.string() ? *value.string() : std::string();
    }

    int channels(AudioObjectID device, FourCharCode scope) {
        const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope, 0};
        std::uint32_t size = 0;
        if (hardware->getPropertyDataSize(device, address, nullptr, size) != 0 || size < 8) return 0;
        std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 1);
        auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
        if (hardware->getPropertyData(device, address, nullptr, size, list) != 0) return 0;
        int total = 0;
        for (std::uint32_t i = 0; i < buffersWithin(*list, size); ++i) total += int(list->mBuffers[i].mNumberChannels);
        return total;
    }

    double rate(AudioObjectID device) {
        double value = 0;
        std::uint32_t size = sizeof value;
        hardware->getPropertyData(device, globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, size, &value);
        return value;
    }

    AudioObjectID defaultOutput() {
        AudioObjectID id = 0;
        std::uint32_t size = sizeof id;
        hardware->getPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), nullptr,
                                  size, &id);
        return id;
    }
};

#define OPEN_SESSION(session)                               \
    Session session;                                        \
    if (!session) return fail(session.error)

std::string deviceNotFound(const std::string& uid) { return "No device has the UID \"" + uid + "\"."; }

bool onTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void showProgress(const char* verb, const std::string& file, double done, double total) {
    if (!onTerminal()) return;
    std::fprintf(stderr, "\r%s %s · %.1f / %.1f s", verb, file.c_str(), done, total);
    std::fflush(stderr);
}

void endProgress() {
    if (onTerminal()) std::fputc('\n', stderr);
}

// How long a recording or a playback waits for audio to move before it gives up: long enough
// for a loaded machine, short enough that a device or daemon that stopped is reported.
constexpr auto kAudioStall = std::chrono::seconds(5);

// Notices audio that stopped moving: `moved` at every sign of it; `stalled` once none came for
// kAudioStall.
class StallWatch {
public:
    void moved() { last_ = std::chrono::steady_clock::now(); }
    bool stalled() const { return std::chrono::steady_clock::now() - last_ > kAudioStall; }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

std::string stallSeconds() { return std::to_string(kAudioStall.count()) + " s"; }

std::string noAudioFrom(const std::string& uid) {
    return "No audio arrived from \"" + uid + "\" for " + stallSeconds() + "; the recording stopped.";
}

std::string noAudioTakenBy(const std::string& uid) {
    return "No audio was taken by \"" + uid + "\" for " + stallSeconds() + "; playback stopped.";
}

}  // namespace

int server(const std::string& config) {
    try {
        std::string path = config;
        if (path.empty())
            if (const char* fromEnvironment = std::getenv("AUDIOSIM_CONFIG")) path = fromEnvironment;
        Server daemon(path.empty() ? builtinMachine() : loadMachine(path), socketLocation(), stateDirectory());
        return daemon.run();
    } catch (const MachineError& error) {
        return fail(error.what());
    }
}

int devices(bool json) {
    OPEN_SESSION(session);
    std::uint32_t size = 0;
    if (session.hardware->getPropertyDataSize(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), nullptr,
                                              size) != 0)
        return fail("The audiosim daemon did not list its devices.");
    std::vector<AudioObjectID> ids(size / 4);
    session.hardware->getPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), nullptr, size,
                                      ids.data());
    ids.resize(size / 4);
    const AudioObjectID defaultOutput = session.defaultOutput();
    nlohmann::json list = nlohmann::json::array();
    for (const AudioObjectID id : ids) {
        std::uint32_t transport = 0;
        std::uint32_t transportSize = sizeof transport;
        session.hardware->getPropertyData(id, globalAddress(kAudioDevicePropertyTransportType), nullptr, transportSize, &transport);
        list.push_back({{"id", id},
                        {"uid", session.text(id, kAudioDevicePropertyDeviceUID)},
                        {"name", session.text(id, kAudioObjectPropertyName)},
                        {"transport", fourCCText(transport)},
                        {"inputChannels", session.channels(id, kAudioObjectPropertyScopeInput)},
                        {"outputChannels", session.channels(id, kAudioObjectPropertyScopeOutput)},
                        {"nominalRate", session.rate(id)},
                        {"isDefaultOutput", id == defaultOutput}});
    }
    if (json) {
        std::printf("%s\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    }
    std::printf("%-4s %-24s %-30s %-4s %3s %4s %8s\n", "ID", "NAME", "UID", "TRAN", "IN", "OUT", "RATE");
    for (const auto& d : list)
        std::printf("%-4u %-24s %-30s %-4s %3d %4d %8.0f%s\n", d["id"].get<unsigned>(), d["name"].get<std::string>().c_str(),
                    d["uid"].get<std::string>().c_str(), d["transport"].get<std::string>().c_str(),
                    d["inputChannels"].get<int>(), d["outputChannels"].get<int>(), d["nominalRate"].get<double>(),
                    d["isDefaultOutput"].get<bool>() ? "  (default output)" : "");
    return 0;
}

int defaultOutput(const std::optional<std::string>& uid) {
    OPEN_SESSION(session);
    if (!uid) {
        const AudioObjectID id = session.defaultOutput();
        if (id == 0) return fail("There is no default output.");
        std::printf("%s\n", session.text(id, kAudioDevicePropertyDeviceUID).c_str());
        return 0;
    }
    const AudioObjectID id = session.deviceId(*uid);
    if (id == 0) return fail(deviceNotFound(*uid));
    const OSStatus status =
        session.hardware->setPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                                          sizeof id, &id);
    if (status != 0) return fail("\"" + *uid + "\" cannot be the default output (status " + std::to_string(status) + ").");
    return 0;
}

int play(const std::string& file, const std::optional<std::string>& device) {
    std::string error;
    const auto read = readWav(file, error);
    if (!read) return fail(error);
    OPEN_SESSION(session);
    std::string uid = device.value_or("");
    AudioObjectID id = 0;
    if (uid.empty()) {
        id = session.defaultOutput();
        if (id == 0) return fail("There is no default output to play into.");
        uid = session.text(id, kAudioDevicePropertyDeviceUID);
    } else if (id = session.deviceId(uid); id == 0) {
        return fail(deviceNotFound(uid));
    }
    // The daemon plays samples at the device's rate, one file channel per device channel.
    const DeviceFormat format{int(std::lround(session.rate(id))), session.channels(id, kAudioObjectPropertyScopeOutput)};
    const std::string change = describeFit(*read, format);
    const auto audio = fitToDevice(*read, format, error);
    if (!audio) return fail(error);
    if (!change.empty()) std::printf("Playing %s: %s.\n", file.c_str(), change.c_str());
    std::fflush(stdout);
    // Streams the file in half-second pieces, keeping at most about two seconds queued. The
    // playback lives in the daemon that queued it. It fails when the device goes, when that daemon
    // ends, and when the device takes nothing for a while (a daemon that stopped answering too).
    const std::size_t channels = std::size_t(audio->channels);
    const std::size_t piece = std::size_t(audio->rate / 2) * channels;
    const double total = double(audio->frames()) / audio->rate;
    std::uint64_t playback = 0;
    std::uint64_t generation = 0;  // of the connection the playback was queued over; 0 before
    std::size_t sent = 0;          // samples handed over
    std::size_t queued = 0;        // frames handed over and not yet taken, as last heard
    std::size_t taken = 0;         // frames the device has taken, as last heard
    bool playing = false;          // the daemon still holds the playback, as last heard
    StallWatch watch;
    const auto restarted = [&] { return generation != 0 && session.connection->generation() != generation; };
    const auto unplugged = [&] { return session.present(id) == false; };
    const auto lost = [&] {
        return fail(restarted() ? "The audiosim daemon restarted; playback stopped."
                                : "\"" + uid + "\" was unplugged; playback stopped.");
    };
    while (playback || sent < audio->samples.size()) {  // an empty file plays nothing
        bool heard = true;
        if (playback) {
            const auto state = session.connection->call(Message{{"op", op::kPlaybackState}, {"playback", playback}});
            heard = state.has_value();
            if (state) {
                if (restarted()) return lost();
                const auto status = wire::integerField(*state, "status").value_or(-1);
                if (status != 0) return fail("Playback failed (status " + std::to_string(status) + ").");
                playing = state->value("playing", false);
                queued = playing ? std::size_t(wire::unsignedField(*state, "remaining").value_or(0)) : 0;
                if (const std::size_t now = sent / channels - std::min(queued, sent / channels); now > taken) {
                    taken = now;
                    watch.moved();
                }
                // An ending that is not the device's taking the last frame.
                if (!playing && (unplugged() || restarted())) return lost();
                if (!playing && sent >= audio->samples.size()) break;
            }
            if (watch.stalled()) return fail(noAudioTakenBy(uid));
        }
        if (heard && sent < audio->samples.size() && queued < std::size_t(audio->rate) * 2) {
            const std::size_t size = std::min(piece, audio->samples.size() - sent);
            const bool appends = playback && playing;
            Message request{{"op", op::kPlay},
                            {"uid", uid},
                            {"channels", audio->channels},
                            {"data", Message::binary(std::vector<std::uint8_t>(
                                         reinterpret_cast<const std::uint8_t*>(audio->samples.data() + sent),
                                         reinterpret_cast<const std::uint8_t*>(audio->samples.data() + sent + size)))}};
            if (appends) request["append"] = playback;
            const auto reply = appends ? session.connection->callOver(generation, std::move(request))
                                       : session.connection->call(std::move(request));
            // A new playback is known only by the id in its answer. An append without one either went
            // out whole (it follows an answered call, so nothing held it back), and a daemon that
            // answers again has queued it, in order; or it was not sent because the connection
            // broke, and the next answer then comes from another generation.
            if (!reply && !appends) return fail(Session::kNoAnswer);
            if (reply) {
                if (restarted()) return lost();
                const auto status = wire::integerField(*reply, "status").value_or(-1);
                if (status != 0 && unplugged()) return lost();
                if (status != 0)
                    return fail("\"" + uid + "\" cannot play " + file + " (status " + std::to_string(status) + ").");
                playback = wire::unsignedField(*reply, "playback").value_or(0);
                if (!appends) generation = session.connection->generation();
            }
            sent += size;
            queued += size / channels;
            playing = true;
            continue;
        }
        showProgress("Playing", file, double(taken) / audio->rate, total);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    showProgress("Playing", file, total, total);
    endProgress();
    return 0;
}

namespace {

// What a recording callback hands the main thread: a single-producer, single-consumer ring.
struct RecordRing {
    std::vector<float> samples;
    std::atomic<std::size_t> written{0};
    std::atomic<std::size_t> read{0};
    std::atomic<std::size_t> dropped{0};
    int channels = 0;

    static OSStatus capture(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                            AudioBufferList*, const AudioTimeStamp*, void* context) {
        auto* ring = static_cast<RecordRing*>(context);
        if (!input) return 0;
        // Interleave every input buffer's channels into one frame.
        const std::uint32_t frames = input->mNumberBuffers && input->mBuffers[0].mNumberChannels
                                         ? input->mBuffers[0].mDataByteSize / (4 * input->mBuffers[0].mNumberChannels)
                                         : 0;
        std::size_t w = ring->written.load(std::memory_order_relaxed);
        const std::size_t r = ring->read.load(std::memory_order_acquire);
        if (w - r + std::size_t(frames) * std::size_t(ring->channels) > ring->samples.size()) {
            ring->dropped.fetch_add(frames, std::memory_order_relaxed);
            return 0;
        }
        for (std::uint32_t f = 0; f < frames; ++f) {
            int channel = 0;
            for (std::uint32_t b = 0; b < input->mNumberBuffers && channel < ring->channels; ++b) {
                const auto& buffer = input->mBuffers[b];
                const auto* data = static_cast<const float*>(buffer.mData);
                for (std::uint32_t c = 0; c < buffer.mNumberChannels && channel < ring->channels; ++c, ++channel)
                    ring->samples[(w++) % ring->samples.size()] = data ? data[f * buffer.mNumberChannels + c] : 0.0f;
            }
        }
        ring->written.store(w, std::memory_order_release);
        return 0;
    }
};

// Announces on standard output, at once, that audio from now on is recorded.
void announceRecording(const std::string& uid, double seconds) {
    std::printf("Recording \"%s\" for %.1f s…\n", uid.c_str(), seconds);
    std::fflush(stdout);
}

OSStatus silence(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                 const AudioTimeStamp*, void*) {
    return 0;
}

// A registered, started callback that is stopped and destroyed with this object.
struct RunningCallback {
    RemoteHardware& hardware;
    AudioObjectID device;
    AudioDeviceIOProcID proc = nullptr;
    OSStatus status = 0;

    RunningCallback(RemoteHardware& hardware, AudioObjectID device, AudioDeviceIOProc callback, void* context)
        : hardware(hardware), device(device) {
        status = hardware.createIOProcID(device, callback, context, proc);
        if (status == 0) status = hardware.startDevice(device, proc);
    }
    ~RunningCallback() {
        if (!proc) return;
        hardware.stopDevice(device, proc);
        hardware.destroyIOProcID(device, proc);
    }
};

// What the output receives, through its tap. A silent callback keeps the device running for the
// whole recording, so that the tap follows the output's timeline, silence included, even when
// nothing plays into it.
int recordOutput(Session& session, const std::string& uid, AudioObjectID id, WavAudio& audio, std::size_t wanted,
                 const std::string& file, double seconds) {
    RunningCallback keeper(*session.hardware, id, &silence, nullptr);
    if (keeper.status != 0) return fail("Cannot record from \"" + uid + "\" (status " + std::to_string(keeper.status) + ").");
    const auto take = [&] { return session.request(Message{{"op", op::kTakeTap}, {"uid", uid}}, "Cannot tap \"" + uid + "\""); };
    // Only what arrives from now on.
    for (;;) {
        const auto reply = take();
        if (!reply) return 1;
        if (wire::binaryField(*reply, "data")->empty()) break;
    }
    announceRecording(uid, seconds);
    StallWatch watch;
    while (audio.samples.size() < wanted) {
        const auto reply = take();
        if (!reply) return 1;
        const auto* data = wire::binaryField(*reply, "data");
        const std::size_t count = std::min(data->size() / 4, wanted - audio.samples.size());
        const auto* floats = reinterpret_cast<const float*>(data->data());
        audio.samples.insert(audio.samples.end(), floats, floats + count);
        showProgress("Recording", file, double(audio.frames()) / audio.rate, seconds);
        if (!data->empty()) {
            watch.moved();
            continue;
        }
        if (watch.stalled()) return fail(noAudioFrom(uid));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// What the device's input delivers, as a DAW records it.
int recordInput(Session& session, const std::string& uid, AudioObjectID id, WavAudio& audio, std::size_t wanted,
                const std::string& file, double seconds) {
    RecordRing ring;
    ring.channels = audio.channels;
    ring.samples.resize(std::size_t(audio.rate) * std::size_t(audio.channels) * 4);
    // Moves what the callback recorded into `audio`; true when something was there.
    const auto drain = [&] {
        const std::size_t w = ring.written.load(std::memory_order_acquire);
        std::size_t r = ring.read.load(std::memory_order_relaxed);
        const bool some = r < w;
        while (r < w && audio.samples.size() < wanted) audio.samples.push_back(ring.samples[(r++) % ring.samples.size()]);
        ring.read.store(r, std::memory_order_release);
        return some;
    };
    bool stalled = false;
    {
        RunningCallback capture(*session.hardware, id, &RecordRing::capture, &ring);
        if (capture.status != 0)
            return fail("Cannot record from \"" + uid + "\" (status " + std::to_string(capture.status) + ").");
        announceRecording(uid, seconds);
        StallWatch watch;
        for (;;) {
            if (drain()) watch.moved();
            showProgress("Recording", file, double(audio.frames()) / audio.rate, seconds);
            if (audio.samples.size() >= wanted) break;
            stalled = watch.stalled();
            if (stalled) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }  // stopped: the ring is no longer written
    drain();  // what came in after the last look
    if (ring.dropped.load() > 0) std::fprintf(stderr, "audiosim: %zu frames were lost.\n", ring.dropped.load());
    return stalled ? fail(noAudioFrom(uid)) : 0;
}

}  // namespace

int record(const std::string& uid, const std::string& file, double seconds, bool output) {
    OPEN_SESSION(session);
    const AudioObjectID id = session.deviceId(uid);
    if (id == 0) return fail(deviceNotFound(uid));
    WavAudio audio;
    audio.rate = int(std::lround(session.rate(id)));
    audio.channels = session.channels(id, output ? kAudioObjectPropertyScopeOutput : kAudioObjectPropertyScopeInput);
    if (audio.channels == 0) return fail("\"" + uid + "\" has no " + (output ? "outputs." : "inputs."));
    const std::size_t wanted = std::size_t(std::llround(seconds * audio.rate)) * std::size_t(audio.channels);
    audio.samples.reserve(wanted);
    const int recorded = output ? recordOutput(session, uid, id, audio, wanted, file, seconds)
                                : recordInput(session, uid, id, audio, wanted, file, seconds);
    endProgress();
    // A recording that failed part of the way keeps what it got.
    if (recorded != 0 && audio.samples.empty()) return recorded;
    if (const auto error = writeWav(file, audio); !error.empty()) return fail(error);
    if (recorded != 0) {
        std::fprintf(stderr, "audiosim: The first %.1f s were saved to %s.\n",
                     double(audio.frames()) / audio.rate, file.c_str());
        return recorded;
    }
    float peak = 0;
    for (const float sample : audio.samples) peak = std::max(peak, std::isfinite(sample) ? std::fabs(sample) : 0.0f);
    char level[32] = "silence";
    if (peak > 0) std::snprintf(level, sizeof level, "%.1f dBFS", 20 * std::log10(peak));
    std::printf("Recorded %.1f s of %d channel%s at the device's %d Hz to %s · peak %s\n", double(audio.frames()) / audio.rate,
                audio.channels, audio.channels == 1 ? "" : "s", audio.rate, file.c_str(), level);
    return 0;
}

int plug(const std::string& uid, bool plugged) {
    OPEN_SESSION(session);
    const bool listed = session.deviceId(uid) != 0;  // an unplugged device is not listed
    if (!plugged && !listed) return fail(deviceNotFound(uid));
    const auto status = session.status(Message{{"op", plugged ? op::kPlug : op::kUnplug}, {"uid", uid}});
    if (!status) return 1;
    if (*status == 0) return 0;
    if (*status == kAudioHardwareBadDeviceError)
        return fail(listed ? "\"" + uid + "\" cannot be " + (plugged ? "plugged in." : "unplugged.") : deviceNotFound(uid));
    if (plugged && *status == kAudioHardwareIllegalOperationError) return fail("\"" + uid + "\" is already plugged in.");
    return fail((plugged ? "Cannot plug in \"" : "Cannot unplug \"") + uid + "\" (status " + std::to_string(*status) + ").");
}

int setRate(const std::string& uid, double rate) {
    OPEN_SESSION(session);
    if (session.deviceId(uid) == 0) return fail(deviceNotFound(uid));
    return session.request(Message{{"op", op::kSetRate}, {"uid", uid}, {"rate", rate}},
                           "\"" + uid + "\" cannot run at " + std::to_string(std::lround(rate)) + " Hz")
               ? 0
               : 1;
}

int volume(const std::string& uid, const std::optional<double>& level) {
    OPEN_SESSION(session);
    const AudioObjectID id = session.deviceId(uid);
    if (id == 0) return fail(deviceNotFound(uid));
    bool any = false;
    bool set = false;
    for (std::uint32_t element = 0; element <= 64; ++element) {
        const AudioObjectPropertyAddress address{kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element};
        if (!session.hardware->hasProperty(id, address)) continue;
        any = true;
        if (level) {
            bool settable = false;
            if (session.hardware->isPropertySettable(id, address, settable) != 0 || !settable) continue;
            const auto value = float(*level);
            if (const OSStatus status = session.hardware->setPropertyData(id, address, sizeof value, &value); status != 0)
                return fail("Cannot set the volume of \"" + uid + "\" (status " + std::to_string(status) + ").");
            set = true;
        } else {
            float value = 0;
            std::uint32_t size = sizeof value;
            session.hardware->getPropertyData(id, address, nullptr, size, &value);
            std::printf("%s %.3f\n", element == 0 ? "main" : ("channel " + std::to_string(element)).c_str(), value);
        }
    }
    if (!any || (level && !set)) return fail("\"" + uid + "\" has no volume control" + (any ? " that can be set." : "."));
    return 0;
}

int input(const std::string& uid, const InputSignal& signal) {
    Message request{{"op", op::kSetInput}, {"uid", uid}};
    if (signal.sine) {
        request["kind"] = "sine";
        request["frequency"] = *signal.sine;
        request["level"] = signal.level;
    } else if (signal.wav) {
        std::string error;
        const auto audio = readWav(*signal.wav, error);
        if (!audio) return fail(error);
        std::vector<float> mono(audio->frames());
        for (std::size_t f = 0; f < mono.size(); ++f) mono[f] = audio->samples[f * std::size_t(audio->channels)];
        if (mono.size() * 4 > 512 * 1024) return fail(*signal.wav + " is too long for an input loop (at most 131,072 frames).");
        request["kind"] = "samples";
        request["data"] = Message::binary(std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(mono.data()),
                                                                    reinterpret_cast<const std::uint8_t*>(mono.data() + mono.size())));
    } else if (signal.silence) {
        request["kind"] = "silence";
    } else {
        return fail("Say what the input should produce: --sine HZ, --wav FILE or --silence.");
    }
    OPEN_SESSION(session);
    if (session.deviceId(uid) == 0) return fail(deviceNotFound(uid));
    return session.request(std::move(request), "\"" + uid + "\" has no input to change") ? 0 : 1;
}

int permission(const std::optional<std::string>& status, const std::optional<std::string>& answer,
               const std::optional<double>& delay) {
    static const char* const kWords[] = {"not-determined", "restricted", "denied", "authorized"};
    OPEN_SESSION(session);
    if (!status && !answer && !delay) {
        const auto reply = session.request(Message{{"op", op::kPermissionStatus}}, "Cannot read the capture permission");
        if (!reply) return 1;
        const auto value = wire::integerField(*reply, "value").value_or(0);
        std::printf("%s\n", kWords[std::clamp<std::int64_t>(value, 0, 3)]);
        return 0;
    }
    Message request{{"op", op::kPermissionSet}};
    if (status)
        for (int i = 0; i < 4; ++i)
            if (*status == kWords[i]) request["value"] = i;
    if (answer) request["answer"] = *answer == "granted";
    if (delay) request["delay"] = *delay;
    return session.request(std::move(request), "Cannot change the capture permission") ? 0 : 1;
}

int stats(bool json) {
    OPEN_SESSION(session);
    auto reply = session.request(Message{{"op", op::kStats}}, "Cannot read the statistics");
    if (!reply) return 1;
    reply->erase("id");
    reply->erase("status");
    if (json) {
        std::printf("%s\n", reply->dump(2).c_str());
        return 0;
    }
    std::printf("cycles %llu, xruns %llu, clients %llu\n", (unsigned long long)(*reply)["cycles"].get<std::uint64_t>(),
                (unsigned long long)(*reply)["xruns"].get<std::uint64_t>(),
                (unsigned long long)(*reply)["clients"].get<std::uint64_t>());
    for (const auto& d : (*reply)["devices"])
        std::printf("  %-30s cycles %10llu  xruns %llu\n", d["uid"].get<std::string>().c_str(),
                    (unsigned long long)d["cycles"].get<std::uint64_t>(), (unsigned long long)d["xruns"].get<std::uint64_t>());
    return 0;
}

int tone(const std::string& file, double hertz, double seconds, double levelDbfs) {
    WavAudio audio;
    audio.channels = 2;
    audio.rate = 48000;
    const auto frames = std::size_t(std::llround(seconds * audio.rate));
    const double amplitude = std::pow(10.0, levelDbfs / 20.0);
    for (std::size_t f = 0; f < frames; ++f) {
        const auto sample = float(amplitude * std::sin(2 * M_PI * hertz * double(f) / audio.rate));
        audio.samples.push_back(sample);
        audio.samples.push_back(sample);
    }
    if (const auto error = writeWav(file, audio); !error.empty()) return fail(error);
    return 0;
}

}  // namespace audiosim::cli
