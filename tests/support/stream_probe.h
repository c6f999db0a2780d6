// Test support: a test's own PipeWire client that plays a signal into a node and records what a
// node delivers, each block stamped with the graph's clock position, so a test can tell exactly
// which played frame became which recorded one. Its streams ask for a latency of their own (256
// frames unless told): the graph takes the smallest its clients ask for.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
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

    explicit StreamProbe(std::uint32_t latencyFrames = kQuantum);
    ~StreamProbe();
    StreamProbe(const StreamProbe&) = delete;
    StreamProbe& operator=(const StreamProbe&) = delete;

    bool connected() const { return core_ != nullptr; }
    // Plays `signal` into the node named `target` from now on.
    void play(const std::string& target, Signal signal);
    // Plays `signal` of the stream's own frame number (from 0) into the node named `target`,
    // whatever the graph's position or rate; played() tells where each block went out.
    void playFrames(const std::string& target, Signal signal);
    // playFrames of a counter: frame n carries n + 1 (see counterFrame), so what is recorded tells
    // every lost, repeated or reordered frame.
    void playCounter(const std::string& target);
    struct Played {
        std::int64_t position = 0;  // the graph position of the block
        std::uint32_t first = 0;    // the counter value of its first frame (its frame number + 1)
        std::uint32_t frames = 0;
    };
    std::vector<Played> played() const;
    // Records what the node named `target` delivers from now on.
    void record(const std::string& target);
    // Presents itself as a stereo source device named `name` (a USB microphone) that gives `signal`.
    void presentSource(const std::string& name, Signal signal);
    // Records what the sink named `sink` plays (its monitor).
    void recordMonitor(const std::string& sink);
    // What was recorded so far; blocks recorded before the first one that carried sound are left
    // out. A block that waited for a late callback has position -1: its cycle is gone.
    std::vector<Block> recorded() const;
    std::size_t recordedFrames() const;
    // Stops playing (the recording goes on).
    void stopPlaying();

public:
    struct Stream;  // one of the probe's streams (defined in the source)

private:
    enum class Kind { Play, Record, RecordMonitor, Source, Frames };
    Stream* open(const std::string& target, Kind kind);
    static void process(void* data);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::uint32_t latency_;
    Signal signal_;
    std::uint32_t nextCount_ = 0;  // the data thread's: the next frame of playFrames
    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
    std::vector<Played> played_;
    std::size_t frames_ = 0;
};

// The stereo frame that carries counter value `n` (below 2^22), and back: 0 for silence, -1 for a
// frame that is no counter value.
std::array<float, 2> counterFrame(std::uint32_t n);
std::int64_t counterValue(const std::array<float, 2>& frame);

// What a recording of playCounter() shows: every value once and in order from the first heard,
// silence only in runs between them, and how long each value took (recorded position − played
// position). A whole recording without silence between values had one delay throughout; the
// positions of a late client's callbacks may be a cycle off, so the delay is the one most
// values show.
struct CounterCheck {
    std::size_t frames = 0;    // counter values heard
    std::size_t lost = 0;      // values skipped between the first and the last heard
    std::size_t repeated = 0;  // values heard again or out of order
    std::size_t corrupt = 0;   // frames that are neither silence nor a counter value
    std::size_t silenceRuns = 0;          // runs of silence between values
    std::size_t missedCycles = 0;         // cycles the probe's own player or recorder missed
    std::map<std::int64_t, std::size_t> delays;  // delay → values heard with it
    bool whole() const { return frames > 0 && lost == 0 && repeated == 0 && corrupt == 0; }
    std::int64_t delay() const;  // the delay most values show; -1 with none
};
CounterCheck checkCounter(const std::vector<StreamProbe::Block>& recorded, const std::vector<StreamProbe::Played>& played);

// The longest run of consecutive recorded frames, in whole blocks, that are exactly
// `expected(position)`. A run, not every frame: on a loaded machine the test's own client may miss
// a cycle, which the recording shows as silence that is no fault of what is tested.
std::size_t longestMatchingRun(const std::vector<StreamProbe::Block>& blocks,
                               const std::function<std::array<float, 2>(std::int64_t)>& expected);

}  // namespace korvane::test
