// The replaced global allocation functions: every operator new (plain, array, nothrow, aligned)
// and, outside sanitizer builds, which intercept them themselves, the C library's malloc, calloc
// and realloc. Each counts once when its thread counts, then allocates from the C library.
#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool counting = false;
std::atomic<std::size_t> allocations{0};

void count() {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_SANITIZED 1
#endif
#endif

#ifndef KORVANE_SANITIZED
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* malloc(std::size_t size) {
    count();
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t number, std::size_t size) {
    count();
    return __libc_calloc(number, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
    count();
    return __libc_realloc(p, size);
}
namespace {
// Beneath operator new, which counts for itself.
void* uncountedMalloc(std::size_t size) { return __libc_malloc(size); }
}  // namespace
#else
namespace {
void* uncountedMalloc(std::size_t size) { return std::malloc(size); }
}  // namespace
#endif

namespace {

void* allocate(std::size_t size) noexcept {
    count();
    return uncountedMalloc(size ? size : 1);
}
void* allocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
    count();
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t whole = size == 0 ? align : (size + align - 1) / align * align;  // as aligned_alloc takes it
    return std::aligned_alloc(align, whole);
}
template <class Pointer>
Pointer orThrow(Pointer p) {
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return orThrow(allocate(size)); }
void* operator new[](std::size_t size) { return orThrow(allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return orThrow(allocateAligned(size, alignment)); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return orThrow(allocateAligned(size, alignment)); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace korvane::test {

void startCountingAllocations() { counting = true; }
void stopCountingAllocations() { counting = false; }
std::size_t countedAllocations() { return allocations.load(); }
void resetCountedAllocations() { allocations.store(0); }
void allocateOnce() { ::operator delete(::operator new(sizeof(int))); }

}  // namespace korvane::test
