// Test support: Xvfb on a free display number, which it chooses itself and reports (-displayfd).
#pragma once

#include <string>
#include <sys/types.h>

namespace korvane::test {

class VirtualDisplay {
public:
    // Starts Xvfb and waits (up to 20 s) for its display number; name() is empty when it failed.
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace korvane::test
