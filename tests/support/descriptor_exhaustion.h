// Test support: leaves exactly `headroom` file descriptors free in this process for its lifetime,
// so that the next calls that create descriptors fail with EMFILE, as they do in a process that
// has run out. Restores the limit and closes its fillers when it ends. One thread only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace korvane::test {

class DescriptorExhaustion {
public:
    explicit DescriptorExhaustion(int headroom) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 2;
        if (DIR* directory = ::opendir("/proc/self/fd")) {
            while (const dirent* entry = ::readdir(directory)) highest = std::max(highest, std::atoi(entry->d_name));
            ::closedir(directory);
        }
        // Descriptors are numbered below the limit: fill every free number, then free `headroom`.
        rlimit lowered = saved_;
        lowered.rlim_cur = rlim_t(highest + 1 + headroom);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
        for (int i = 0; i < headroom && !fillers_.empty(); ++i) {
            ::close(fillers_.back());
            fillers_.pop_back();
        }
    }
    ~DescriptorExhaustion() {
        for (const int fd : fillers_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorExhaustion(const DescriptorExhaustion&) = delete;
    DescriptorExhaustion& operator=(const DescriptorExhaustion&) = delete;

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

}  // namespace korvane::test
