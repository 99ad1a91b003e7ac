// wait_until_ms: to a moment of a virtual source the test moves, and, on the steady clock, to
// the largest moment there is, which only done() can end.
#include "service_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

namespace {
std::atomic<std::int64_t> g_virtual_ms{0};
}  // namespace

TEST(ServiceClock, WaitEndsAtItsMomentOfTheSourceOrWhenDoneWithoutSpinning) {
  std::mutex mx;
  std::condition_variable cv;
  bool done = false;  // under mx
  std::atomic<int> looks{0};
  auto wait = [&](std::int64_t until) {
    std::unique_lock<std::mutex> lk(mx);
    return korvel::wait_until_ms(cv, lk, until, [&] { return ++looks, done; });
  };
  korvel::set_millisecond_source([] { return g_virtual_ms.load(); });
  std::thread virtual_wait([&] { EXPECT_FALSE(wait(1250)); });
  while (looks.load() < 3) std::this_thread::yield();  // waiting, time stands still
  g_virtual_ms = 1250;
  virtual_wait.join();
  EXPECT_GE(korvel::monotonic_ms(), 1250);

  korvel::set_millisecond_source(nullptr);
  looks = 0;
  std::thread far_wait([&] { EXPECT_TRUE(wait(std::numeric_limits<std::int64_t>::max())); });
  while (looks.load() == 0) std::this_thread::yield();
  {
    std::lock_guard<std::mutex> lk(mx);  // the waiter sleeps in cv: a wait that overflowed would
    // return at once, over and over, and look many times
    done = true;
  }
  cv.notify_all();
  far_wait.join();
  EXPECT_LE(looks.load(), 3);  // the first look, the one after the wake-up, a spurious one
}
