// What the KORVANE sink received, held for its source: the source delivers at frame position p
// what the sink received at p − one quantum. Positions are the graph's clock position, scaled to
// the device's rate, so the two streams meet whatever order the graph runs them in.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace korvane::driver {

class DelayLine {
public:
    static constexpr std::uint32_t kFrames = 1u << 15;  // four times the longest quantum (8192)
    static constexpr std::uint32_t kChannels = 2;

    // Data thread; both sides run on the client's one data loop, never at once. Wait-free.
    // Holds `frames` (at most kFrames) interleaved stereo frames received at `position`. A block
    // that does not follow the last one starts the held audio afresh.
    void write(std::int64_t position, const float* block, std::uint32_t frames) {
        if (position != end_) start_ = position;
        copy(position, frames, [&](std::size_t ring, std::size_t offset, std::size_t count) {
            std::memcpy(samples_.data() + ring * kChannels, block + offset * kChannels, count * kChannels * sizeof(float));
        });
        end_ = position + frames;
        start_ = std::max(start_, end_ - std::int64_t(kFrames));
    }

    // Data thread. Fills `out` with the `frames` stereo frames received at `position` onwards;
    // frames never received, or no longer held, are silence.
    void read(std::int64_t position, float* out, std::uint32_t frames) const {
        const std::int64_t from = std::clamp(position, start_, end_);
        const std::int64_t to = std::clamp(position + std::int64_t(frames), start_, end_);
        std::memset(out, 0, std::size_t(frames) * kChannels * sizeof(float));
        if (to <= from) return;
        float* target = out + std::size_t(from - position) * kChannels;
        copy(from, std::uint32_t(to - from), [&](std::size_t ring, std::size_t offset, std::size_t count) {
            std::memcpy(target + offset * kChannels, samples_.data() + ring * kChannels, count * kChannels * sizeof(float));
        });
    }

private:
    // Calls `piece(ringFrame, blockFrame, count)` for the one or two contiguous pieces of the ring
    // that hold [position, position + frames).
    template <class Piece>
    static void copy(std::int64_t position, std::uint32_t frames, Piece piece) {
        const std::size_t first = std::size_t(position) & (kFrames - 1);
        const std::size_t head = std::min<std::size_t>(frames, kFrames - first);
        piece(first, 0, head);
        if (head < frames) piece(0, head, frames - head);
    }

    std::array<float, std::size_t(kFrames) * kChannels> samples_{};
    std::int64_t start_ = 0;  // what is held: [start_, end_)
    std::int64_t end_ = 0;
};

}  // namespace korvane::driver
