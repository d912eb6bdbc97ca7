#ifndef BENCH_ALLOCCOUNT_H
#define BENCH_ALLOCCOUNT_H

// Counts heap allocations (malloc, calloc, realloc, the aligned variants
// and so operator new) made by the calling thread while counting is on.
// Linking alloccount.cpp into an executable replaces the C library's
// allocator entry points for the whole process.

#include <string>
#include <vector>

namespace alloccount {

// Zeroes the count and forgets traced stacks.
void reset();
// Counting on for this thread; with trace, each allocation keeps its stack.
void resume(bool trace = false);
// Counting off; returns the count since reset().
unsigned long pause();

struct Site {
    std::string where;    // what classify made of the stack
    unsigned long count;
    std::string example;  // one stack of this class, innermost first
};
// The traced stacks summed by class; classify gets the symbol names of one
// stack, innermost first, the allocator itself left out.
std::vector<Site> sites(std::string (*classify)(const std::vector<std::string> &));

} // namespace alloccount

#endif
