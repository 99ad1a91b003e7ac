// driver_clock.cc - the driver's time: the steady clock in ns, or a source a test installed.
#include "driver_clock.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "ntcan/test_controls.h"

namespace ntcan_driver {
namespace {

struct Clock {
  std::mutex mx;
  std::shared_ptr<const ntcan_test::TimeSource> source;  // null: steady clock
  // Whether source is set, readable without mx: the steady clock, the usual case, is then
  // read without any lock that every net's calls would share.
  std::atomic<bool> custom{false};
};

// Never destroyed: detached threads may ask for the time while the process exits.
Clock& clock() {
  static Clock* c = new Clock;
  return *c;
}

}  // namespace

bool custom_time_source() { return clock().custom.load(std::memory_order_acquire); }

std::int64_t clock_now() {
  auto& c = clock();
  std::shared_ptr<const ntcan_test::TimeSource> s;
  if (c.custom.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(c.mx);
    s = c.source;
  }
  if (s) return (*s)();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace ntcan_driver

namespace ntcan_test {

void set_time_source(TimeSource source) {
  auto& c = ntcan_driver::clock();
  std::shared_ptr<const TimeSource> s;
  if (source) s = std::make_shared<const TimeSource>(std::move(source));
  std::lock_guard<std::mutex> lock(c.mx);
  c.custom.store(s != nullptr, std::memory_order_release);
  c.source = std::move(s);
}

std::int64_t now() { return ntcan_driver::clock_now(); }

}  // namespace ntcan_test
