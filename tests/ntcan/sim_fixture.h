// sim_fixture.h - a clean driver per test and short helpers that read like a bus trace.
#ifndef NTCAN_TESTS_SIM_FIXTURE_H
#define NTCAN_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "canbus/frame_text.h"
#include "ntcan.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "support/driver_calls.h"

// Receive time-out for readers that must be woken: if the wake-up is lost, the test runner's
// time-out fails the test instead of the read quietly succeeding late.
constexpr int kLongerThanTheTestTimeout = 600000;

class SimTest : public ::testing::Test {
 protected:
  // The call record and bus log are test controls; these tests read them.
  void SetUp() override {
    ntcan_test::reset();
    ntcan_test::keep_records(true);
  }
  void TearDown() override {
    ntcan_test::reset();
    ntcan_test::keep_records(false);
  }

  // The shared driver calls (driver_calls.h) under the names these tests use.
  static NTCAN_HANDLE open(int net, std::initializer_list<std::int32_t> ids = {}, int rx_queue = 64,
                           int rx_timeout_ms = 0) {
    return open_handle(net, ids, rx_queue, rx_timeout_ms);
  }
  static void send(NTCAN_HANDLE h, std::initializer_list<const char*> texts) {
    send_frames(h, texts);
  }
  // Everything queued on h, one frame per line.
  static std::string take(NTCAN_HANDLE h) { return canbus::to_string(take_frames(h)); }

  static std::string log(int net) { return canbus::to_string(ntcan_sim::bus_log(net)); }
};

// A clock the test moves by hand.
class ManualClock {
 public:
  ManualClock() {
    ntcan_test::set_time_source([this] { return ns_.load(); });
  }
  ~ManualClock() { ntcan_test::set_time_source(nullptr); }
  void advance(std::int64_t ns) { ns_ += ns; }
  std::int64_t now() const { return ns_.load(); }

 private:
  std::atomic<std::int64_t> ns_{1000000};
};

#endif  // NTCAN_TESTS_SIM_FIXTURE_H
