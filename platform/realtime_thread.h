// Real-time scheduling for audio threads.
#pragma once

namespace platform {

// Asks for real-time scheduling (SCHED_FIFO) for the calling thread, as audio threads do, so that
// ordinary work on the machine does not delay its cycles. Returns false when the system refuses
// (no privilege); the thread then keeps its ordinary scheduling.
bool requestRealTimeScheduling();

}  // namespace platform
