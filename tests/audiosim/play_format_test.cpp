// Files at another sample rate or channel count than the device's, played through the real daemon
// and heard on the device's output.
#include "audiosim/cli/wav_file.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

namespace korvane {
namespace {

using test::DaemonFixture;

constexpr double kToneHz = 440.0;
constexpr float kToneLevel = 0.5f;

audiosim::WavAudio tone(int rate, int channels, double seconds) {
    audiosim::WavAudio audio;
    audio.rate = rate;
    audio.channels = channels;
    for (int f = 0; f < int(seconds * rate); ++f)
        for (int c = 0; c < channels; ++c) audio.samples.push_back(kToneLevel * float(std::sin(2 * M_PI * kToneHz * f / rate)));
    return audio;
}

// The tone's frequency in one channel, from its rising zero crossings while it is loud (away from
// its onset and end, where a converter rings).
double frequencyOf(const audiosim::WavAudio& audio, int channel) {
    const auto sample = [&](std::size_t frame) { return audio.samples[frame * std::size_t(audio.channels) + std::size_t(channel)]; };
    std::size_t loudFrom = audio.frames();
    std::size_t loudTo = 0;
    for (std::size_t f = 0; f < audio.frames(); ++f)
        if (std::fabs(sample(f)) > kToneLevel / 2) {
            loudFrom = std::min(loudFrom, f);
            loudTo = f;
        }
    const std::size_t margin = std::size_t(audio.rate / 50);
    if (loudTo < loudFrom + 4 * margin) return 0;
    std::size_t first = 0;
    std::size_t last = 0;
    int crossings = 0;
    for (std::size_t f = loudFrom + margin; f < loudTo - margin; ++f)
        if (sample(f - 1) < 0 && sample(f) >= 0) {
            if (crossings++ == 0) first = f;
            last = f;
        }
    return crossings < 2 ? 0 : double(crossings - 1) * audio.rate / double(last - first);
}

TEST(PlayFormat, AFileIsPlayedAtItsOwnPitchAndAMonoFileOnBothChannels) {
    const struct {
        const char* name;
        int rate;
        int channels;
    } cases[] = {
        {"44.1 kHz stereo", 44100, 2},
        {"8 kHz stereo", 8000, 2},
        {"96 kHz stereo", 96000, 2},
        {"48 kHz mono", 48000, 1},
        {"44.1 kHz mono", 44100, 1},
    };
    DaemonFixture daemon;
    const auto program = test::audiosimProgram();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = (daemon.environment.root() / "tone.wav").string();
        const auto heard = (daemon.environment.root() / "heard.wav").string();
        ASSERT_EQ(audiosim::writeWav(source, tone(c.rate, c.channels, 1.0)), "");
        std::string said;
        std::string recorderSaid;
        std::optional<audiosim::WavAudio> audio;
        double frequencies[2] = {0, 0};
        // A cycle the daemon missed on a loaded machine cuts the tone, which changes its crossings.
        daemon.unlessCyclesWereMissed([&] {
            test::RunningProgram recorder({program, "record", "BuiltInSpeakerDevice", heard, "--seconds", "2", "--output"});
            if (!recorder.waitForOutput("Recording ")) return false;
            if (test::runProgram({program, "play", source, "--device", "BuiltInSpeakerDevice"}, &said) != 0) return false;
            if (recorder.wait() != 0) return false;
            recorderSaid = recorder.output();
            std::string error;
            audio = audiosim::readWav(heard, error);
            if (!audio || audio->channels != 2) return false;
            for (int channel = 0; channel < 2; ++channel) frequencies[channel] = frequencyOf(*audio, channel);
            return std::fabs(frequencies[0] - kToneHz) < kToneHz * 0.005 && std::fabs(frequencies[1] - kToneHz) < kToneHz * 0.005;
        });
        if (c.rate != 48000) {
            EXPECT_NE(said.find("converted to the device's 48000 Hz"), std::string::npos) << said;
        }
        EXPECT_NE(recorderSaid.find("at the device's 48000 Hz"), std::string::npos) << recorderSaid;
        ASSERT_TRUE(audio);
        EXPECT_EQ(audio->rate, 48000);
        EXPECT_EQ(audio->channels, 2);
        EXPECT_NEAR(frequencies[0], kToneHz, kToneHz * 0.005) << "left";
        EXPECT_NEAR(frequencies[1], kToneHz, kToneHz * 0.005) << "right";
    }
}

}  // namespace
}  // namespace korvane
