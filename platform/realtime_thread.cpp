#include "platform/realtime_thread.h"

#include <algorithm>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

bool requestRealTimeScheduling() {
    // A modest priority within what the user may have: above ordinary threads, below the kernel's own.
    int priority = 20;
    rlimit limit{};
    if (::getuid() != 0 && ::getrlimit(RLIMIT_RTPRIO, &limit) == 0)
        priority = std::min<int>(priority, int(std::min<rlim_t>(limit.rlim_cur, 99)));
    if (priority < 1) return false;
    sched_param parameters{};
    parameters.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

}  // namespace platform
