// The call record, the bus log and the fault switches are test controls: off until a test
// switches them on, and while off a frame call records nothing and allocates nothing.
#include "ntcan/test_controls.h"

#include <gtest/gtest.h>

#include "canbus/frame_text.h"
#include "ntcan.h"
#include "ntcan/sim_bus.h"
#include "support/allocation_count.h"
#include "support/driver_calls.h"

namespace {

constexpr int kNet = 3;

class TestControls : public ::testing::Test {
 protected:
  // Another fixture may have switched the record on in this process; off is the default.
  void SetUp() override {
    ntcan_test::reset();
    ntcan_test::keep_records(false);
  }
  void TearDown() override { ntcan_test::reset(); }

  static NTCAN_HANDLE open(std::int32_t id) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(kNet, 0, 10, 100, 1000, 0, &h), NTCAN_SUCCESS);
    if (id >= 0) {
      EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
    }
    return h;
  }
};

}  // namespace

TEST_F(TestControls, OffByDefaultACallLeavesNoRecordAndNoBusLog) {
  const NTCAN_HANDLE tx = open(-1);
  const NTCAN_HANDLE rx = open(0x181);
  send_frames(tx, {"181#01"});
  CMSG m[4];
  std::int32_t n = 4;
  EXPECT_EQ(canTake(rx, m, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(canClose(tx), NTCAN_SUCCESS);
  EXPECT_TRUE(ntcan_test::calls().empty());
  EXPECT_TRUE(ntcan_sim::bus_log(kNet).empty());

  ntcan_test::keep_records(true);
  n = 4;
  EXPECT_EQ(canTake(rx, m, &n), NTCAN_SUCCESS);
  ntcan_sim::inject(kNet, canbus::frame("181#02"));
  EXPECT_EQ(ntcan_test::calls().size(), 1u);
  EXPECT_EQ(canbus::to_string(ntcan_sim::bus_log(kNet)), "181#02\n");

  ntcan_test::keep_records(false);
  n = 4;
  EXPECT_EQ(canTake(rx, m, &n), NTCAN_SUCCESS);
  ntcan_sim::inject(kNet, canbus::frame("181#03"));
  EXPECT_EQ(ntcan_test::calls().size(), 1u);
  EXPECT_EQ(ntcan_sim::bus_log(kNet).size(), 1u);
}

TEST_F(TestControls, FrameCallsAndStatusAllocateNothingOnceWarm) {
  const NTCAN_HANDLE tx = open(-1);
  const NTCAN_HANDLE rx = open(0x181);
  CMSG out = canbus::frame("181#0102");
  CMSG in[8];
  CAN_IF_STATUS st;
  auto round = [&] {
    for (int i = 0; i < 3; ++i) {
      std::int32_t n = 1;
      ASSERT_EQ(canSend(tx, &out, &n), NTCAN_SUCCESS);
    }
    std::int32_t n = 8;
    ASSERT_EQ(canTake(rx, in, &n), NTCAN_SUCCESS);
    ASSERT_EQ(n, 3);
    n = 8;
    ASSERT_EQ(canTake(rx, in, &n), NTCAN_SUCCESS);  // an empty queue
    ASSERT_EQ(n, 0);
    ASSERT_EQ(canStatus(rx, &st), NTCAN_SUCCESS);
  };
  round();  // queues and scratch buffers reach their working size
  const long before = korvel_test::allocations_by_this_thread();
  for (int i = 0; i < 1000; ++i) round();
  EXPECT_EQ(korvel_test::allocations_by_this_thread() - before, 0);
}
