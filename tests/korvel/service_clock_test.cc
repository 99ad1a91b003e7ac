// Waits on the clock of the CANopen services (wait_until_ms): on a virtual source the test moves,
// and on the steady clock towards a moment so far ahead that only done() can end the wait.
#include "service_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

#include "D_korvel.h"

namespace {

std::atomic<std::int64_t> g_virtual_ms{0};

class ServiceClock : public ::testing::Test {
 protected:
  void TearDown() override { korvel::set_millisecond_source(nullptr); }
  void use_virtual(std::int64_t start) {
    g_virtual_ms = start;
    korvel::set_millisecond_source([] { return g_virtual_ms.load(); });
  }
  // Runs wait_until_ms(until) on a thread of its own; its result lands in result_ (-1 while it
  // waits) and every look at done() is counted.
  std::thread waiter(std::int64_t until) {
    return std::thread([this, until] {
      std::unique_lock<std::mutex> lk(mx_);
      result_ = korvel::wait_until_ms(cv_, lk, until, [this] {
        ++looks_;
        return done_;
      });
      returned_at_ = korvel::monotonic_ms();
    });
  }
  void finish() {
    {
      std::lock_guard<std::mutex> lk(mx_);
      done_ = true;
    }
    cv_.notify_all();
  }
  std::mutex mx_;
  std::condition_variable cv_;
  bool done_ = false;  // under mx_
  std::atomic<int> looks_{0};
  std::atomic<int> result_{-1};
  std::int64_t returned_at_ = 0;
};

}  // namespace

TEST_F(ServiceClock, SourceIsUsedWhileInstalledAndTheSteadyClockAfterwards) {
  use_virtual(-5);
  EXPECT_EQ(korvel::monotonic_ms(), -5);
  EXPECT_TRUE(korvel::custom_millisecond_source());
  korvel::set_millisecond_source(nullptr);
  EXPECT_FALSE(korvel::custom_millisecond_source());
  const std::int64_t a = korvel::monotonic_ms();
  EXPECT_GE(korvel::monotonic_ms(), a);
}

TEST_F(ServiceClock, WaitEndsWhenTheVirtualTimeReachesItsMomentOrAtOnce) {
  use_virtual(1000);
  std::unique_lock<std::mutex> lk(mx_);
  // Already there, or already done: no wait at all.
  EXPECT_FALSE(korvel::wait_until_ms(cv_, lk, 1000, [] { return false; }));
  EXPECT_TRUE(korvel::wait_until_ms(cv_, lk, 999999, [] { return true; }));
  lk.unlock();

  std::thread t = waiter(1250);
  while (looks_.load() == 0) std::this_thread::yield();  // it is waiting
  g_virtual_ms = 1249;
  const int looks = looks_.load();
  while (looks_.load() < looks + 2) std::this_thread::yield();  // it saw 1249 and waits on
  EXPECT_EQ(result_.load(), -1);
  g_virtual_ms = 1250;
  t.join();
  EXPECT_EQ(result_.load(), 0);
  EXPECT_EQ(returned_at_, 1250);
}

TEST_F(ServiceClock, DoneEndsAWaitForAMomentFarAheadOnTheSteadyClock) {
  // The largest moment there is: the wait must neither overflow nor spin, only done() ends it.
  std::thread t = waiter(std::numeric_limits<std::int64_t>::max());
  while (looks_.load() == 0) std::this_thread::yield();
  {
    // Taking the lock means the waiter sleeps in the condition variable (or has not looked yet).
    std::lock_guard<std::mutex> lk(mx_);
    EXPECT_EQ(result_.load(), -1);
  }
  finish();
  t.join();
  EXPECT_EQ(result_.load(), 1);
  EXPECT_LE(looks_.load(), 3);  // the first look, the one after the wake-up, a spurious one
}
