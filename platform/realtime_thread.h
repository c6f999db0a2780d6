// Real-time scheduling for audio threads.
#pragma once

namespace platform {

// Real-time priorities of the audio threads: a client's callback thread runs above the daemon's
// clock thread, so that the cycle the clock thread hands it starts at once, even on its core.
inline constexpr int kClockThreadPriority = 20;
inline constexpr int kCallbackThreadPriority = 21;

// With AUDIOSIM_REALTIME=1, asks for real-time scheduling (SCHED_FIFO at `priority`, capped by the
// user's RLIMIT_RTPRIO) for the calling thread, so that ordinary work on the machine does not
// delay its cycles. Returns false when not asked for or refused; the thread then keeps ordinary
// scheduling. It is not the default: on virtual machines a real-time thread woken on an idle
// virtual core starts tens of microseconds later than an ordinary one woken beside its waker.
bool requestRealTimeScheduling(int priority);

}  // namespace platform
