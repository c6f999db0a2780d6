// Test support: counts the heap allocations of the threads that ask for it, to prove that
// real-time code allocates nothing. Its source replaces the global allocation functions, so it is
// linked only into the programs that count (each such test is a program of its own).
#pragma once

#include <cstddef>

namespace korvane::test {

// Counts every allocation the calling thread makes from now on, until stopCountingAllocations.
// Any thread, an audio thread included: it sets a thread-local flag, nothing more.
void startCountingAllocations();
void stopCountingAllocations();

// Allocations counted so far on every thread, since the start or the last reset. Any thread.
std::size_t countedAllocations();
void resetCountedAllocations();

// Allocates and frees once, through operator new. A `delete new T` the compiler may leave out
// (it elides paired new-expressions); this call it may not. Proves that the counting works.
void allocateOnce();

}  // namespace korvane::test
