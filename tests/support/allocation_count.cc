// allocation_count.cc - the global operator new and delete, counting every allocation.
#include "allocation_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local long g_by_this_thread = 0;
std::atomic<long> g_in_process{0};
}  // namespace

void* operator new(std::size_t size) {
  ++g_by_this_thread;
  g_in_process.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The other forms too: a sanitizer's own nothrow or array new would otherwise pair with the
// free() below (std::stable_sort takes its buffer with the nothrow form).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++g_by_this_thread;
  g_in_process.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& n) noexcept {
  return operator new(size, n);
}
// These replace the global deletes, so free() matches the malloc() above; GCC cannot tell once
// it inlines them into a delete expression.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace korvel_test {

long allocations_by_this_thread() { return g_by_this_thread; }
long allocations_in_process() { return g_in_process.load(std::memory_order_relaxed); }

}  // namespace korvel_test
