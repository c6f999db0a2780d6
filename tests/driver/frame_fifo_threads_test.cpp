// The FIFO between KORVANE's two callbacks when they run on two threads at once, as PipeWire 1.x
// may run them: each graph cycle both threads do their part concurrently, and every frame still
// arrives once, in order.
#include "driver/frame_fifo.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

TEST(FrameFifoThreads, EveryFrameOnceInOrderWhenBothSidesRunAtOnce) {
    constexpr int kCycles = 20000;
    const std::uint32_t quanta[] = {64, 256, 1024, 128};
    korvane::driver::FrameFifo fifo(4 * 1024);
    std::barrier cycle(2);
    std::vector<std::uint32_t> heard;
    heard.reserve(std::size_t(kCycles) * 1024);
    std::uint32_t pushed = 0;
    std::thread producer([&] {
        std::vector<float> block(2 * 1024);
        std::uint32_t next = 1;
        for (int c = 0; c < kCycles; ++c) {
            const std::uint32_t quantum = quanta[(c / 5000) % 4];
            for (std::uint32_t f = 0; f < quantum; ++f) block[2 * f] = block[2 * f + 1] = float(next++);
            cycle.arrive_and_wait();  // the cycle begins: both sides run
            const std::uint32_t key = std::uint32_t(c) + 1;
            fifo.push(key, block.data(), quantum / 2);  // in two pieces, as a long block is
            fifo.push(key, block.data() + quantum, quantum - quantum / 2);
            cycle.arrive_and_wait();  // the cycle ends when both are done
        }
        pushed = next - 1;
    });
    std::vector<float> out(2 * 1024);
    for (int c = 0; c < kCycles; ++c) {
        const std::uint32_t quantum = quanta[(c / 5000) % 4];
        cycle.arrive_and_wait();
        fifo.pop(std::uint32_t(c) + 1, out.data(), quantum);
        for (std::uint32_t f = 0; f < quantum; ++f) heard.push_back(std::uint32_t(out[2 * f]));
        cycle.arrive_and_wait();
    }
    producer.join();
    std::uint32_t expected = 1;
    for (const std::uint32_t number : heard) {
        if (number == 0) continue;
        ASSERT_EQ(number, expected);
        ++expected;
    }
    // Everything but what the FIFO still holds: at most the longest quantum.
    EXPECT_GE(expected - 1 + 1024, pushed);
    EXPECT_EQ(fifo.dropped(), 0u);
}
