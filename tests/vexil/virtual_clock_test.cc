// Virtual clock: sleepers woken in deadline order, deterministic advances, timekeepers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "vexil/vexil_host.h"

namespace {

constexpr std::int64_t kSecond = 1000000000LL;

// A background loop that sleeps `period_s` seconds of framework time per round and records
// the virtual time of each wake-up, until told to stop.
struct Sleeper {
  explicit Sleeper(int period_s) : period(period_s) {
    thread = std::thread([this] {
      for (;;) {
        VEXILsleep(period, 0);
        if (stop.load()) return;
        std::lock_guard<std::mutex> lk(mx);
        wakes.push_back(vexil::clock().now());
      }
    });
  }
  std::vector<vexil::Timestamp> seen() {
    std::lock_guard<std::mutex> lk(mx);
    return wakes;
  }
  int period;
  std::atomic<bool> stop{false};
  std::mutex mx;
  std::vector<vexil::Timestamp> wakes;
  std::thread thread;
};

TEST(VirtualClock, SixtySecondsThroughPeriodicSleepersAreExact) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  const vexil::Timestamp t0 = vc.now();
  Sleeper one(1), other(1), three(3);
  ASSERT_TRUE(vc.wait_for_sleepers(3));

  vc.advance(60 * kSecond);
  EXPECT_EQ(vc.now(), t0 + 60 * kSecond);
  const auto a = one.seen(), b = other.seen(), c = three.seen();
  ASSERT_EQ(a.size(), 60u);
  ASSERT_EQ(b.size(), 60u);
  ASSERT_EQ(c.size(), 20u);
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k], t0 + static_cast<std::int64_t>(k + 1) * kSecond);
    EXPECT_EQ(b[k], a[k]);
  }
  for (std::size_t k = 0; k < c.size(); ++k)
    EXPECT_EQ(c[k], t0 + static_cast<std::int64_t>(3 * (k + 1)) * kSecond);
  EXPECT_EQ(vc.deadlines(), (std::vector<vexil::Timestamp>{t0 + 61 * kSecond, t0 + 61 * kSecond,
                                                           t0 + 63 * kSecond}));

  // Woken once more, they end: advance must not wait for them forever.
  for (Sleeper* s : {&one, &other, &three}) s->stop = true;
  vc.advance(3 * kSecond);
  EXPECT_EQ(vc.sleepers(), 0);
  for (Sleeper* s : {&one, &other, &three}) s->thread.join();
  EXPECT_EQ(one.seen().size(), 60u);
}

TEST(VirtualClock, ThreadThatEndsAfterItsWakeUpDoesNotHoldUpAdvance) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  const vexil::Timestamp t0 = vc.now();
  std::atomic<vexil::Timestamp> woke{0};
  std::thread t([&] {
    VEXILsleep(5, 0);
    woke = vexil::clock().now();
  });
  ASSERT_TRUE(vc.wait_for_sleepers(1));
  EXPECT_EQ(vc.deadlines(), std::vector<vexil::Timestamp>{t0 + 5 * kSecond});
  vc.advance(10 * kSecond);
  EXPECT_EQ(woke.load(), t0 + 5 * kSecond);
  EXPECT_EQ(vc.now(), t0 + 10 * kSecond);
  EXPECT_EQ(vc.sleepers(), 0);
  t.join();
}

TEST(VirtualClock, TimekeeperSleepAdvancesAndWakesOthersOnTheWay) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  const vexil::Timestamp t0 = vc.now();
  Sleeper one(1);
  ASSERT_TRUE(vc.wait_for_sleepers(1));
  VEXILsleep(2, 500000);
  EXPECT_EQ(vc.now(), t0 + 2 * kSecond + 500000000LL);
  EXPECT_EQ(one.seen().size(), 2u);
  VEXILsleep(0, 0);
  VEXILsleep(-3, 0);  // nothing happens
  EXPECT_EQ(vc.now(), t0 + 2 * kSecond + 500000000LL);
  one.stop = true;
  vc.advance(kSecond);
  one.thread.join();
}

TEST(VirtualClock, QueryStepAppliesToTimekeepersOnly) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  vc.set_query_step(kSecond);
  const std::time_t first = VEXILtime();
  EXPECT_EQ(VEXILtime(), first + 1);

  std::time_t seen_a = 0, seen_b = 0;
  std::thread other([&] {
    seen_a = VEXILtime();
    seen_b = VEXILtime();
    VEXILsleep(0, 0);  // returns at once: a zero sleep does not register
  });
  other.join();
  EXPECT_EQ(seen_a, first + 1);
  EXPECT_EQ(seen_b, seen_a);
  EXPECT_EQ(vc.sleepers(), 0);

  vc.set_query_step(0);
  EXPECT_EQ(VEXILtime(), first + 1);
}

TEST(VirtualClock, InstallReturnsOneClockAndMakesTheCallerATimekeeper) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  EXPECT_EQ(&vexil::clock(), &vc);
  const vexil::Timestamp t0 = vc.now();
  std::thread helper([&] {
    vexil::VirtualClock& again = vexil::VirtualClock::install();
    EXPECT_EQ(&again, &vc);
    VEXILsleep(4, 0);  // a timekeeper now: advances instead of blocking
  });
  helper.join();
  EXPECT_EQ(vc.now(), t0 + 4 * kSecond);
  EXPECT_EQ(vc.sleepers(), 0);

  // A later thread (which may well get the ended helper's id) sleeps like any other.
  std::thread later([] { VEXILsleep(1, 0); });
  ASSERT_TRUE(vc.wait_for_sleepers(1));
  EXPECT_EQ(vc.now(), t0 + 4 * kSecond);
  vc.advance(kSecond);
  later.join();
}

TEST(VirtualClock, OwnClockRestoresTheRealClockWhenDestroyed) {
  {
    vexil::VirtualClock own(42);
    vexil::set_clock(&own);
    EXPECT_EQ(vexil::clock().now(), 42);
  }
  EXPECT_GT(vexil::clock().now(), 1600000000LL * kSecond);
}

}  // namespace
