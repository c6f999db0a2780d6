// The KORVANE device's audio state, shared by the sink's and the source's process callbacks (the
// data thread or threads) and the status publisher (the main loop). It outlives the streams and
// the connections, so the counters never go back.
#pragma once

#include "driver/frame_fifo.h"
#include "virtual_device/sink_processing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace korvane::driver {

struct DeviceAudio {
    static constexpr std::uint32_t kChannels = FrameFifo::kChannels;
    // The block the sink processes at once; a longer one is processed in pieces.
    static constexpr std::uint32_t kBlockFrames = 8192;
    // The longest quantum a PipeWire server allows unless its configuration says otherwise.
    static constexpr std::uint32_t kDefaultQuantumLimit = 8192;

    // Main loop, while no stream exists. Makes the FIFO room for the longest quantum the server
    // runs (its "default.clock.quantum-limit"): one quantum held and one arriving, twice over.
    void prepare(std::uint32_t quantumLimit) {
        const std::uint32_t frames = 4 * std::clamp<std::uint32_t>(quantumLimit, 1024, 1u << 20);
        if (!fifo || fifo->capacity() < frames) fifo = std::make_unique<FrameFifo>(frames);
    }

    virtual_device::SinkProcessing processing;  // settings: any thread; telemetry: main loop reads
    std::atomic<std::uint64_t> reads{0};        // source cycles that delivered audio to a reader
    // Main loop writes: a link takes the source's output. The graph runs the source with the sink
    // (one group) even when nothing reads it, so its cycles alone say nothing.
    std::atomic<bool> sourceRead{false};

    // Main loop only: the status publisher's count of publications with new peaks, and the
    // writes it had seen by then.
    std::uint64_t publications = 0;
    std::uint64_t writesPublished = 0;

    // The sink's callback pushes, the source's pops (see FrameFifo); made before the streams.
    std::unique_ptr<FrameFifo> fifo = std::make_unique<FrameFifo>(4 * kDefaultQuantumLimit);
    // The sink's callback only: one processed block.
    std::array<float, std::size_t(kBlockFrames) * kChannels> block{};
};

}  // namespace korvane::driver
