#include "router/main_loop.h"
#include "tests/support/descriptor_exhaustion.h"
#include "tests/support/sanitizers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace korvane {
namespace {

// A loop that cannot watch for the quit signals or be woken would leave a helper that ignores
// SIGTERM for ever; it must fail at once instead.
TEST(MainLoop, FailsAtOnceWhenItsDescriptorsCannotBeCreated) {
    if (test::kUndefinedSanitized) GTEST_SKIP() << "the dynamic-type check needs descriptors of its own";
    const struct {
        const char* missing;
        int headroom;
    } cases[] = {{"the signal descriptor", 0}, {"the wake-up descriptor", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        int code = 0;
        {
            test::DescriptorExhaustion exhausted(c.headroom);
            try {
                router::MainLoop loop;
            } catch (const std::system_error& error) {
                code = error.code().value();
            }
        }
        EXPECT_EQ(code, EMFILE);
    }
}

TEST(MainLoop, EndsOnSigtermAfterRunningWhatWasPosted) {
    router::MainLoop loop;
    int ran = 0;
    loop.post([&] {
        ++ran;
        ::raise(SIGTERM);  // blocked in this thread, so it waits on the loop's descriptor
    });
    loop.run();
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace korvane
