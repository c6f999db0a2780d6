#include "tests/app/app_test_support.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

namespace korvane::test {
namespace {
int argumentCount = 1;
char programName[] = "korvane_tests";
char* arguments[] = {programName, nullptr};
}  // namespace

int& applicationArgumentCount() { return argumentCount; }
char** applicationArguments() { return arguments; }

EventLoop::EventLoop() {
    if (!QCoreApplication::instance())
        application_ = std::make_unique<QCoreApplication>(applicationArgumentCount(), applicationArguments());
}

EventLoop::~EventLoop() = default;

bool EventLoop::runUntil(const std::function<bool()>& condition, const char* what, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "timed out waiting for " << what;
            return false;
        }
        QEventLoop slice;
        QTimer::singleShot(10, &slice, &QEventLoop::quit);
        slice.exec();
    }
    return true;
}

}  // namespace korvane::test
