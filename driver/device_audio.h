// The KORVANE device's audio state, shared by the sink's and the source's process callbacks (the
// data thread) and the status publisher (the main loop). It outlives the streams, which are made
// anew when the rate changes or the server comes back, so the counters never go back.
#pragma once

#include "driver/delay_line.h"
#include "virtual_device/sink_processing.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace korvane::driver {

struct DeviceAudio {
    static constexpr std::uint32_t kMaxBlockFrames = 8192;

    virtual_device::SinkProcessing processing;  // settings: any thread; telemetry: main loop reads
    std::atomic<std::uint64_t> reads{0};        // source cycles that delivered audio to a reader
    // Main loop writes: a link takes the source's output. The graph runs the source with the sink
    // (one group) even when nothing reads it, so its cycles alone say nothing.
    std::atomic<bool> sourceRead{false};

    // Main loop only: the status publisher's count of publications with new peaks, and the
    // writes it had seen by then.
    std::uint64_t publications = 0;
    std::uint64_t writesPublished = 0;

    // Data thread only.
    DelayLine delay;
    std::array<float, std::size_t(kMaxBlockFrames) * DelayLine::kChannels> block{};  // one processed block
};

}  // namespace korvane::driver
