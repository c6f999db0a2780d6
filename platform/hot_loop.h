// KORVANE_HOT_LOOP marks a real-time loop worth optimising on its own: kept out of line, and built
// for AVX2 as well as the baseline, the better one chosen once when the program loads.
// ThreadSanitizer cannot start a program whose functions are chosen at load time, so its builds
// have the baseline only. Clang refuses noinline beside target_clones; it never inlines a function
// with clones anyway. Such functions cannot be templates.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANE_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KORVANE_THREAD_SANITIZER)
#define KORVANE_HOT_LOOP [[gnu::noinline]]
#elif defined(__clang__)
#define KORVANE_HOT_LOOP [[gnu::target_clones("avx2", "default")]]
#else
#define KORVANE_HOT_LOOP [[gnu::noinline, gnu::target_clones("avx2", "default")]]
#endif
