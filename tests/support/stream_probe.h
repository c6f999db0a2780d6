// Test support: a test's own PipeWire client that plays a signal into a node and records what a
// node delivers, each block stamped with the graph's clock position, so a test can tell exactly
// which played frame became which recorded one. Its streams ask for a 256-frame quantum.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace korvane::test {

class StreamProbe {
public:
    static constexpr std::uint32_t kQuantum = 256;
    static constexpr std::uint32_t kRate = 48000;

    // A stereo frame at a graph clock position.
    using Signal = std::function<std::array<float, 2>(std::int64_t position)>;

    struct Block {
        std::int64_t position = 0;
        std::uint32_t quantum = 0;
        std::vector<float> samples;  // interleaved stereo
    };

    StreamProbe();
    ~StreamProbe();
    StreamProbe(const StreamProbe&) = delete;
    StreamProbe& operator=(const StreamProbe&) = delete;

    bool connected() const { return core_ != nullptr; }
    // Plays `signal` into the node named `target` from now on.
    void play(const std::string& target, Signal signal);
    // Records what the node named `target` delivers from now on.
    void record(const std::string& target);
    // Presents itself as a stereo source device named `name` (a USB microphone) that gives `signal`.
    void presentSource(const std::string& name, Signal signal);
    // Records what the sink named `sink` plays (its monitor).
    void recordMonitor(const std::string& sink);
    // What was recorded so far; blocks recorded before the first one that carried sound are left out.
    std::vector<Block> recorded() const;
    std::size_t recordedFrames() const;
    // Stops playing (the recording goes on).
    void stopPlaying();

public:
    struct Stream;  // one of the probe's streams (defined in the source)

private:
    enum class Kind { Play, Record, RecordMonitor, Source };
    Stream* open(const std::string& target, Kind kind);
    static void process(void* data);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::vector<std::unique_ptr<Stream>> streams_;
    Signal signal_;
    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
    std::size_t frames_ = 0;
};

// The longest run of consecutive recorded frames, in whole blocks, that are exactly
// `expected(position)`. A run, not every frame: on a loaded machine the test's own client may miss
// a cycle, which the recording shows as silence that is no fault of what is tested.
std::size_t longestMatchingRun(const std::vector<StreamProbe::Block>& blocks,
                               const std::function<std::array<float, 2>(std::int64_t)>& expected);

}  // namespace korvane::test
