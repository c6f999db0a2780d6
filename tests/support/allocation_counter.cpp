// Counting allocations. Outside sanitizer builds the global allocation functions are replaced:
// every operator new (plain, array, nothrow, aligned) and the C library's malloc, calloc and
// realloc count once when their thread counts, then allocate from the C library. Sanitizer builds
// keep the sanitizer's own allocator (and its checks) and count through its allocation hook.
#include "tests/support/allocation_counter.h"
#include "tests/support/sanitizers.h"

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

#ifdef KORVANE_SANITIZED
// A sanitizer owns the allocation functions; its allocator calls this hook on the allocating
// thread for every allocation, malloc and operator new alike.
#include <sanitizer/allocator_interface.h>

namespace {

void countAllocation(const volatile void*, std::size_t) { count(); }
void ignoreFree(const volatile void*) {}
[[maybe_unused]] const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(countAllocation, ignoreFree);

}  // namespace

#else
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
void* allocate(std::size_t size) noexcept {
    count();
    return __libc_malloc(size ? size : 1);
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
#endif

namespace korvane::test {

void startCountingAllocations() { counting = true; }
void stopCountingAllocations() { counting = false; }
std::size_t countedAllocations() { return allocations.load(); }
void resetCountedAllocations() { allocations.store(0); }
void allocateOnce() { ::operator delete(::operator new(sizeof(int))); }

}  // namespace korvane::test
