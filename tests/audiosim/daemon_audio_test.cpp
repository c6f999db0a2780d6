#include "audiosim/cli/wav_file.h"
#include "router/engine/route_engine.h"
#include "tests/audiosim/daemon_test_prelude.h"

#include <cmath>
#include <mutex>
#include <utility>

namespace korvane {
namespace {

float peakOf(const std::vector<float>& samples, std::size_t channel, std::size_t channels) {
    float peak = 0;
    for (std::size_t i = channel; i < samples.size(); i += channels) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

TEST(DaemonAudio, WhatPlaysThroughKorvaneIsRecordedSampleExact) {
    DaemonFixture daemon;
    // A second of two different tones, one per channel.
    audiosim::WavAudio tone;
    tone.channels = 2;
    tone.rate = 48000;
    for (int i = 0; i < 48000; ++i) {
        tone.samples.push_back(float(0.5 * std::sin(2 * M_PI * 440 * i / 48000.0)));
        tone.samples.push_back(float(0.25 * std::sin(2 * M_PI * 660 * i / 48000.0 + 0.3)));
    }
    const auto source = (daemon.environment.root() / "tone.wav").string();
    const auto recorded = (daemon.environment.root() / "recorded.wav").string();
    ASSERT_EQ(audiosim::writeWav(source, tone), "");
    const auto program = test::audiosimProgram();
    ASSERT_EQ(test::runProgram({program, "default-output", "audio.ravlin.stereo.v1"}), 0);

    const auto attempt = [&] {
        test::RunningProgram recorder({program, "record", "audio.ravlin.stereo.v1", recorded, "--seconds", "2"});
        if (!recorder.waitForOutput("Recording ")) return false;
        const int played = test::runProgram({program, "play", source});
        if (recorder.wait() != 0) return false;
        std::string error;
        const auto audio = audiosim::readWav(recorded, error);
        if (played != 0 || !audio || audio->channels != 2) return false;
        // Find where the tone begins (its second channel starts at a nonzero sample), then compare.
        std::size_t start = 0;
        while (start < audio->frames() && audio->samples[2 * start + 1] == 0.0f) ++start;
        if (start + tone.frames() > audio->frames()) return false;  // only part of the tone
        for (std::size_t i = 0; i < tone.samples.size(); ++i)
            if (audio->samples[2 * start + i] != tone.samples[i]) return false;
        return true;
    };
    EXPECT_TRUE(daemon.unlessCyclesWereMissed(attempt));
}

TEST(DaemonAudio, AnOutputIsRecordedForTheWholeTimeEvenWhenItsPlaybackEndsFirst) {
    DaemonFixture daemon;
    audiosim::WavAudio tone;
    tone.channels = 2;
    tone.rate = 48000;
    for (int i = 0; i < 2 * 48000; ++i) {
        tone.samples.push_back(float(0.5 * std::sin(2 * M_PI * 440 * i / 48000.0)));
        tone.samples.push_back(tone.samples.back());
    }
    const auto source = (daemon.environment.root() / "tone.wav").string();
    const auto recorded = (daemon.environment.root() / "recorded.wav").string();
    ASSERT_EQ(audiosim::writeWav(source, tone), "");
    const auto program = test::audiosimProgram();
    test::RunningProgram recorder({program, "record", "BuiltInSpeakerDevice", recorded, "--seconds", "3", "--output"});
    ASSERT_TRUE(recorder.waitForOutput("Recording "));
    EXPECT_EQ(test::runProgram({program, "play", source, "--device", "BuiltInSpeakerDevice"}), 0);
    ASSERT_EQ(recorder.wait(), 0);
    std::string error;
    const auto audio = audiosim::readWav(recorded, error);
    ASSERT_TRUE(audio) << error;
    EXPECT_EQ(audio->frames(), 3u * 48000);  // silence after the tone included
    EXPECT_GT(peakOf(audio->samples, 0, 2), 0.4f);
}

TEST(DaemonAudio, ARecordingEndsWithAnErrorWhenItsAudioStopsAndKeepsWhatItGot) {
    // The output is taken from its tap by requests, so it may have nothing yet when the daemon
    // stops; the input's callback has recorded something for certain.
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool savesForCertain;
    };
    for (const auto& c : {Case{"input", {"BuiltInMicrophoneDevice"}, true},
                          Case{"output", {"BuiltInSpeakerDevice", "--output"}, false}}) {
        SCOPED_TRACE(c.name);
        DaemonFixture daemon;
        const auto file = (daemon.environment.root() / "recorded.wav").string();
        std::vector<std::string> arguments{"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", test::audiosimProgram(), "record"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.begin() + 1);
        arguments.push_back(file);
        arguments.insert(arguments.end(), {"--seconds", "600"});
        arguments.insert(arguments.end(), c.options.begin() + 1, c.options.end());
        test::RunningProgram recorder(arguments);
        ASSERT_TRUE(recorder.waitForOutput("Recording "));
        // A cycle that finds the recorder's callback still busy with the one before is an xrun;
        // every other cycle after the first means a callback that finished, so the input has
        // recorded something once a few such cycles have passed.
        auto observer = daemon.connect();
        ASSERT_TRUE(waitUntil([&] { return daemonStat(*observer, "cycles") >= daemonStat(*observer, "xruns") + 6; }));
        ::kill(daemon.daemonPid(), SIGSTOP);  // no more cycles, no more answers
        EXPECT_EQ(recorder.wait(std::chrono::seconds(40)), 1);  // its own failure, not killed by the deadline
        ::kill(daemon.daemonPid(), SIGCONT);
        // What was recorded before is kept.
        const bool saved = recorder.output().find("s were saved to " + file) != std::string::npos;
        if (c.savesForCertain) {
            EXPECT_TRUE(saved) << recorder.output();
        }
        std::string error;
        const auto audio = audiosim::readWav(file, error);
        EXPECT_EQ(audio.has_value(), saved) << error;
        if (audio) {
            EXPECT_GT(audio->frames(), 0u);
        }
    }
}

TEST(DaemonAudio, TheRouteEngineCopiesAHardwareInputToAListeningOutput) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    ScopedHardware installed(*hardware);
    char message[512] = {};
    RouteState* route = RavlinRouteStart(deviceForUID(*hardware, "USBInterface:2in2out"), deviceForUID(*hardware, "BuiltInSpeakerDevice"),
                                         message, sizeof message);
    ASSERT_NE(route, nullptr) << message;
    // Listen until a tenth of a second of the interface's sine has arrived.
    const float expected = float(std::pow(10.0, -12.0 / 20.0));  // its 440 Hz at -12 dBFS
    std::vector<float> heard;
    std::size_t loudFrames = 0;
    waitUntil([&] {
        const auto more = takeTap(*hardware, "BuiltInSpeakerDevice");
        for (std::size_t s = 0; s < more.size(); s += 2) loudFrames += more[s] != 0.0f;
        heard.insert(heard.end(), more.begin(), more.end());
        return loudFrames >= 4800;
    });
    EXPECT_GT(RavlinRouteCycles(route), 0u);
    EXPECT_GT(RavlinRouteMonitorPeak(route), 0.2f);
    RavlinRouteStop(route);
    EXPECT_GE(loudFrames, 4800u);
    EXPECT_NEAR(peakOf(heard, 0, 2), expected, 1e-3);
    EXPECT_NEAR(peakOf(heard, 1, 2), expected, 1e-3);
}

TEST(DaemonAudio, AnOutputQueuePlaysItsBufferOnce) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    std::string error;
    audiosim::RemoteQueueService service(audiosim::DaemonConnection::open(error));
    AudioStreamBasicDescription format = kStereoFloat;
    std::unique_ptr<AudioOutputQueue> queue;
    ASSERT_EQ(service.newOutput(format, queue), 0);
    EXPECT_EQ(queue->setCurrentDevice("NoSuchDevice"), kAudioHardwareBadDeviceError);
    ASSERT_EQ(queue->setCurrentDevice("BTHeadphones:00-11-22"), 0);
    AudioQueueBuffer* buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(4800 * 8, buffer), 0);
    auto* samples = static_cast<float*>(buffer->mAudioData);
    for (int i = 0; i < 4800 * 2; ++i) samples[i] = 0.063095734f;
    buffer->mAudioDataByteSize = 4800 * 8;
    // A witness on the speakers counts the cycles that the clock runs meanwhile.
    std::atomic<std::uint64_t> cycles{0};
    Running witness(*hardware, deviceForUID(*hardware, "BuiltInSpeakerDevice"), &countCalls, &cycles);
    takeTap(*hardware, "BTHeadphones:00-11-22");
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);
    std::size_t loud = 0;
    const auto listen = [&] {
        for (const float s : takeTap(*hardware, "BTHeadphones:00-11-22")) loud += s == 0.063095734f;
    };
    // Every sample once, and no more while half a second of cycles runs after the last.
    EXPECT_TRUE(waitUntil([&] {
        listen();
        return loud >= 4800u * 2;
    }));
    const std::uint64_t from = cycles.load();
    EXPECT_TRUE(waitUntil([&] { return cycles.load() >= from + 48000 / 2 / 512 + 1; }));
    listen();
    EXPECT_EQ(loud, 4800u * 2);
    EXPECT_EQ(queue->dispose(), 0);

    format.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    EXPECT_EQ(service.newOutput(format, queue), audiosim::kAudioFormatUnsupportedDataFormatError);
}

// A queue plays at its own rate on a device at another: as long and as high as it was made.
TEST(DaemonAudio, AnOutputQueuePlaysAtItsOwnRate) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    const AudioObjectID speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
    const double deviceRate = 44100;
    ASSERT_EQ(hardware->setPropertyData(speakers, globalAddress(kAudioDevicePropertyNominalSampleRate),
                                        sizeof deviceRate, &deviceRate), 0);
    std::string error;
    audiosim::RemoteQueueService service(audiosim::DaemonConnection::open(error));
    const AudioStreamBasicDescription format = kStereoFloat;
    std::unique_ptr<AudioOutputQueue> queue;
    ASSERT_EQ(service.newOutput(format, queue), 0);
    ASSERT_EQ(queue->setCurrentDevice("BuiltInSpeakerDevice"), 0);
    AudioQueueBuffer* buffer = nullptr;
    constexpr int kFrames = 4800;  // 0.1 s of 1 kHz: 100 periods
    ASSERT_EQ(queue->allocateBuffer(kFrames * 8, buffer), 0);
    auto* samples = static_cast<float*>(buffer->mAudioData);
    for (int f = 0; f < kFrames; ++f) samples[2 * f] = samples[2 * f + 1] = float(0.5 * std::sin(2 * M_PI * 1000.0 * f / 48000.0));
    buffer->mAudioDataByteSize = kFrames * 8;
    std::atomic<std::uint64_t> cycles{0};
    Running witness(*hardware, speakers, &countCalls, &cycles);  // keeps the speakers running after the tone
    takeTap(*hardware, "BuiltInSpeakerDevice");
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);
    std::vector<float> left;
    std::size_t quietAfterSound = 0;
    EXPECT_TRUE(waitUntil([&] {
        const auto heard = takeTap(*hardware, "BuiltInSpeakerDevice");
        for (std::size_t s = 0; s < heard.size(); s += 2) {
            if (left.empty() && heard[s] == 0.0f) continue;
            left.push_back(heard[s]);
            quietAfterSound = heard[s] == 0.0f ? quietAfterSound + 1 : 0;
        }
        return quietAfterSound > 4410;
    }));
    const std::size_t sounding = left.size() - quietAfterSound;
    std::size_t rises = 0;
    for (std::size_t s = 1; s < sounding; ++s) rises += left[s - 1] < 0.0f && left[s] >= 0.0f;
    EXPECT_NEAR(double(sounding), deviceRate / 10, 40) << "frames at the device's rate";
    EXPECT_NEAR(double(rises), 100, 1) << "periods of the tone";
    EXPECT_EQ(queue->dispose(), 0);
}

// The frequency of the sine that fits `samples` best (a·sin + b·cos + c, searched near
// `near` Hz), and the largest distance of a sample from that sine: a click or a gap shows there.
struct SineFit {
    double frequency = 0;
    double worstResidual = 1;
};

SineFit fitSine(const std::vector<float>& samples, double rate, double near) {
    const auto fit = [&](double frequency, bool worst) {
        const double w = 2 * M_PI * frequency / rate;
        double m[3][4] = {};
        for (std::size_t n = 0; n < samples.size(); ++n) {
            const double basis[3] = {std::sin(w * double(n)), std::cos(w * double(n)), 1.0};
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
                m[r][3] += basis[r] * samples[n];
            }
        }
        for (int p = 0; p < 3; ++p)  // Gauss-Jordan on the normal equations
            for (int r = 0; r < 3; ++r)
                if (r != p) {
                    const double factor = m[r][p] / m[p][p];
                    for (int c = 0; c < 4; ++c) m[r][c] -= factor * m[p][c];
                }
        const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], offset = m[2][3] / m[2][2];
        double sum = 0, largest = 0;
        for (std::size_t n = 0; n < samples.size(); ++n) {
            const double residual = samples[n] - (a * std::sin(w * double(n)) + b * std::cos(w * double(n)) + offset);
            sum += residual * residual;
            largest = std::max(largest, std::fabs(residual));
        }
        return worst ? largest : sum;
    };
    double best = near;
    for (double step : {near * 5e-4, near * 1e-5}) {
        const double centre = best;
        const double span = step == near * 5e-4 ? near * 0.05 : near * 5e-4;
        for (double f = centre - span; f <= centre + span; f += step)
            if (fit(f, false) < fit(best, false)) best = f;
    }
    return {best, fit(best, true)};
}

// What a DAW records from a device's input 1 (test code: its callback may lock).
struct InputRecorder {
    std::mutex mutex;
    std::vector<float> left;

    static OSStatus record(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                           AudioBufferList*, const AudioTimeStamp*, void* context) {
        auto& self = *static_cast<InputRecorder*>(context);
        if (!input || input->mNumberBuffers == 0 || !input->mBuffers[0].mData) return 0;
        const AudioBuffer& buffer = input->mBuffers[0];
        const auto* samples = static_cast<const float*>(buffer.mData);
        std::lock_guard lock(self.mutex);
        for (std::size_t i = 0; i < buffer.mDataByteSize / sizeof(float); i += buffer.mNumberChannels)
            self.left.push_back(samples[i]);
        return 0;
    }
    std::vector<float> take() {
        std::lock_guard lock(mutex);
        return std::exchange(left, {});
    }
};

// An aggregate converts sub-devices that run at other rates than its clock device, as a real one
// with drift compensation does: the interface's 440 Hz arrives clean at the speakers' 48 kHz
// whatever the interface runs at, and a DAW recording KORVANE records it clean after the DAW set
// KORVANE to 96 kHz mid-route.
TEST(DaemonAudio, AnAggregateConvertsMembersAtOtherRates) {
    struct Case {
        double interfaceRate;
        double korvaneRateMidRoute;  // 0: unchanged, and the speakers are heard; else KORVANE is recorded
    };
    for (const Case c : {Case{96000, 0}, Case{44100, 0}, Case{48000, 96000}}) {
        SCOPED_TRACE(c.interfaceRate + c.korvaneRateMidRoute);
        DaemonFixture daemon;
        auto hardware = daemon.connect();
        ScopedHardware installed(*hardware);
        const auto setRate = [&](const char* uid, double rate) {
            return hardware->setPropertyData(deviceForUID(*hardware, uid), globalAddress(kAudioDevicePropertyNominalSampleRate),
                                             sizeof rate, &rate);
        };
        ASSERT_EQ(setRate("USBInterface:2in2out", c.interfaceRate), 0);
        char message[512] = {};
        RouteState* route = RavlinRouteStart(deviceForUID(*hardware, "USBInterface:2in2out"),
                                             deviceForUID(*hardware, "BuiltInSpeakerDevice"), message, sizeof message);
        ASSERT_NE(route, nullptr) << message;
        InputRecorder daw;
        Running recording(*hardware, deviceForUID(*hardware, "audio.ravlin.stereo.v1"), &InputRecorder::record, &daw);
        std::vector<float> heard;
        const auto listen = [&](std::size_t frames) {
            heard.clear();
            return waitUntil([&] {
                if (c.korvaneRateMidRoute > 0) {
                    const auto more = daw.take();
                    heard.insert(heard.end(), more.begin(), more.end());
                } else {
                    const auto more = takeTap(*hardware, "BuiltInSpeakerDevice");
                    for (std::size_t s = 0; s < more.size(); s += 2) heard.push_back(more[s]);
                }
                return heard.size() >= frames;
            });
        };
        ASSERT_TRUE(listen(12000));  // the route settles
        if (c.korvaneRateMidRoute > 0) {
            ASSERT_EQ(setRate("audio.ravlin.stereo.v1", c.korvaneRateMidRoute), 0);
            ASSERT_TRUE(waitUntil([&] {  // a new KORVANE rate shows after a while, as the driver's does
                double rate = 0;
                std::uint32_t size = sizeof rate;
                return hardware->getPropertyData(deviceForUID(*hardware, "audio.ravlin.stereo.v1"),
                                                 globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, size,
                                                 &rate) == 0 &&
                       rate == c.korvaneRateMidRoute;
            }));
            ASSERT_TRUE(listen(24000));  // the DAW follows
        }
        // A cycle a loaded machine made the daemon or a callback miss glitches what is measured:
        // that stretch is heard again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::uint64_t xruns = daemonStat(*hardware, "xruns");
            ASSERT_TRUE(listen(24000));
            if (daemonStat(*hardware, "xruns") == xruns) break;
        }
        RavlinRouteStop(route);
        const SineFit fit = fitSine(heard, c.korvaneRateMidRoute > 0 ? c.korvaneRateMidRoute : 48000, 440);
        EXPECT_NEAR(fit.frequency, 440, 440 * 0.005);
        EXPECT_LT(20 * std::log10(fit.worstResidual), -50) << "dBFS off the fitted sine";
    }
}

}  // namespace
}  // namespace korvane
