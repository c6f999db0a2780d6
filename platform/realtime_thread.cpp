#include "platform/realtime_thread.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

bool requestRealTimeScheduling(int priority) {
    const char* setting = std::getenv("AUDIOSIM_REALTIME");
    if (!setting || std::string_view(setting) != "1") return false;
    rlimit limit{};
    if (::getuid() != 0 && ::getrlimit(RLIMIT_RTPRIO, &limit) == 0)
        priority = std::min<int>(priority, int(std::min<rlim_t>(limit.rlim_cur, 99)));
    if (priority < 1) return false;
    sched_param parameters{};
    parameters.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

}  // namespace platform
