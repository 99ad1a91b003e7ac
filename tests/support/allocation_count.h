// allocation_count.h - heap allocations counted through the global operator new, for tests and
// benchmarks that show a path allocates nothing. A program that includes this header links
// allocation_count.cc, which replaces the global operator new and delete.
#ifndef KORVEL_TESTS_ALLOCATION_COUNT_H
#define KORVEL_TESTS_ALLOCATION_COUNT_H

namespace korvel_test {

// Allocations made so far by the calling thread.
long allocations_by_this_thread();
// Allocations made so far by every thread of the process.
long allocations_in_process();

}  // namespace korvel_test

#endif  // KORVEL_TESTS_ALLOCATION_COUNT_H
