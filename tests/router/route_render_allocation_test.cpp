// Proves that the render callback allocates nothing: this program replaces the global allocation
// functions and counts what the calling thread allocates while the callback runs.
#include "router/engine/route_state.h"
#include "tests/router/render_buffers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void* allocate(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (counting) ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (counting) ++allocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// C allocations too, through the C library's own entry points.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* malloc(std::size_t size) {
    if (counting) ++allocations;
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    if (counting) ++allocations;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
    if (counting) ++allocations;
    return __libc_realloc(p, size);
}
#endif

namespace {

TEST(RouteRenderAllocation, TheCallbackAllocatesNothing) {
    // Every path: stereo, mono and wide sources, padding, a wide listening output, non-finite data.
    for (const std::uint32_t sourceChannels : {1u, 2u, 4u}) {
        korvane::test::RenderBuffers input({{2, 512}, {sourceChannels, 300}});
        korvane::test::RenderBuffers output({{2, 512}, {8, 512}});
        input.fill(0.25f);
        input.sample(1, 3, 0) = std::numeric_limits<float>::quiet_NaN();
        RouteState route;
        route.hasInput = route.hasListening = true;
        route.monoInput = sourceChannels == 1;
        route.inputChannel = 2;
        route.listenChannel = 2;

        counting = true;
        for (int cycle = 0; cycle < 100; ++cycle)
            korvane::engine::routeRender(0, nullptr, input.list(), nullptr, output.list(), nullptr, &route);
        counting = false;
        EXPECT_EQ(allocations, 0u);
        EXPECT_EQ(route.cycles.load(), 100u);
    }
    // The counter itself works.
    counting = true;
    delete new int(3);
    counting = false;
    EXPECT_GE(allocations, 1u);
}

}  // namespace
