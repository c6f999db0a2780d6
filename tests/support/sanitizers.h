// Test support: which sanitizers this program was built with. AddressSanitizer and
// ThreadSanitizer slow it several times over and own the allocator; UndefinedBehaviorSanitizer's
// dynamic-type check opens a pipe to probe memory, so it misreads objects while the process is out
// of file descriptors.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_SANITIZED 1
#endif
#endif

namespace korvane::test {

#ifdef KORVANE_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

#ifdef KORVANE_SANITIZE_UNDEFINED
inline constexpr bool kUndefinedSanitized = true;
#else
inline constexpr bool kUndefinedSanitized = false;
#endif

}  // namespace korvane::test
